#include "Vandrel_multicore_mex.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include <limits>
#include <vector>

#include "vandrel/error.h"
#include "core/pipeline.h"
#include "mex/mex_host.h"

namespace {

constexpr int input_count = 3;
constexpr int max_output_count = 1;
constexpr const char* built_for_version = "9.7.0.1216025 (R2019b) Update 1";

// The entry function's name, as errors and the plug-in description give it.
constexpr const char* function_name = "Vandrel";
// The host release the plug-in is built for, and the interface it uses (separate complex).
constexpr unsigned int built_for_release = 0x2019B;
constexpr unsigned int separate_complex_api_version = 0x8000000;

// Set while a call runs: a host function that calls the plug-in again is refused.
bool call_in_progress = false;

void check_counts(int nlhs, int nrhs) {
  const std::string name = function_name;
  if (nrhs != input_count) {
    throw vandrel::Error("EMLRT:runTime:WrongNumberOfInputs",
                         std::to_string(input_count) + " inputs required for entry-point '" + name + "'.");
  }
  if (nlhs > max_output_count) {
    throw vandrel::Error("EMLRT:runTime:TooManyOutputArguments", "Too many output arguments for entry-point '" + name + "'.");
  }
}

// MATLAB's serial date number of the moment this file was compiled (local time): days
// since the start of year 0, 1 January of year 0 being day 1.
double build_serial_date() {
  const char* date = __DATE__;  // "Mmm dd yyyy"
  const char* time = __TIME__;  // "hh:mm:ss"
  static const char months[] = "JanFebMarAprMayJunJulAugSepOctNovDec";
  const long month = (std::strstr(months, std::string(date, 3).c_str()) - months) / 3 + 1;
  const long day = std::atol(date + 4);
  const long year = std::atol(date + 7);
  // Days from 1 January 1970 to the date, in the proleptic Gregorian calendar.
  const long y = month <= 2 ? year - 1 : year;
  const long era = (y >= 0 ? y : y - 399) / 400;
  const long year_of_era = y - era * 400;
  const long day_of_year = (153 * (month > 2 ? month - 3 : month + 9) + 2) / 5 + day - 1;
  const long day_of_era = year_of_era * 365 + year_of_era / 4 - year_of_era / 100 + day_of_year;
  const long unix_days = era * 146097 + day_of_era - 719468;
  constexpr double serial_date_of_1970 = 719529.0;
  const double seconds = static_cast<double>(std::atol(time)) * 3600.0 + static_cast<double>(std::atol(time + 3)) * 60.0 +
                         static_cast<double>(std::atol(time + 6));
  return serial_date_of_1970 + static_cast<double>(unix_days) + seconds / 86400.0;
}

// Where the entry function's source lies on the build machine: beside this file's folder.
std::string entry_source_path() {
  std::string path = __FILE__;
  const std::size_t mex_folder = path.find_last_of("/\\");
  const std::size_t root = mex_folder == std::string::npos ? std::string::npos : path.find_last_of("/\\", mex_folder - 1);
  path.resize(root == std::string::npos ? 0 : root + 1);
  return path + "core/pipeline.cpp";
}

template <std::size_t N>
void copy_text(char (&to)[N], const char* from) {
  std::snprintf(to, N, "%s", from);
}

float read_single_scalar(const mxArray* a, const std::string& name) {
  vandrel::check_host_value(a, vandrel::ValueClass::Single, false,
                            {vandrel::Extent::fixed(1), vandrel::Extent::fixed(1)}, name);
  return *static_cast<const float*>(mxGetData(a));
}

// Converts the arguments, filters and returns the result; the caller's arrays are never
// modified.
void filter_call(const mxArray* const inputs[3], mxArray* outputs[1]) {
  const mxArray* cloud = inputs[0];
  vandrel::check_host_value(cloud, vandrel::ValueClass::Single, false,
                            {vandrel::Extent::any(), vandrel::Extent::fixed(3)}, "pcd_noi");
  const float sigma = read_single_scalar(inputs[1], "sigma_pcd");
  const float density = read_single_scalar(inputs[2], "dens_pcd");
  const std::size_t n = mxGetM(cloud);
  if (n > static_cast<std::size_t>(std::numeric_limits<std::int32_t>::max())) {
    throw vandrel::Error("Vandrel:tooManyPoints",
                         "pcd_noi has " + std::to_string(n) + " rows, more than the filter can take.");
  }
  // Host matrices are column-major; the filter takes x, y, z triples.
  const auto* xyz = static_cast<const float*>(mxGetData(cloud));
  std::vector<vandrel::Point> points(n);
  for (std::size_t i = 0; i < n; ++i) points[i] = {xyz[i], xyz[n + i], xyz[2 * n + i]};

  vandrel::MexHost host;
  points = vandrel::filter_cloud(host, points, sigma, density);

  mxArray* out = mxCreateNumericMatrix(n, 3, mxSINGLE_CLASS, mxREAL);
  auto* filtered = static_cast<float*>(mxGetData(out));
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t c = 0; c < 3; ++c) filtered[i + n * c] = points[i][c];
  }
  outputs[0] = out;
}

}  // namespace

VANDREL_EXPORT void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  // A failure is copied out of its exception: raising the host error does not return,
  // so nothing with a destructor may be alive by then.
  char error_id[128] = "";
  char error_text[2048] = "";
  bool entered = false;

  try {
    if (call_in_progress) {
      throw vandrel::Error("Vandrel:reentered",
                           "Vandrel_multicore_mex was called again from a host function it called (for instance "
                           "a rangesearch or knnsearch on the path that calls it); it cannot run inside itself.");
    }
    check_counts(nlhs, nrhs);
    call_in_progress = entered = true;
    filter_call(prhs, plhs);
  } catch (const vandrel::Error& e) {
    copy_text(error_id, e.identifier().c_str());
    copy_text(error_text, e.what());
  } catch (const std::bad_alloc&) {
    copy_text(error_id, "Vandrel:outOfMemory");
    copy_text(error_text, "Out of memory.");
  } catch (const std::exception& e) {
    copy_text(error_id, "Vandrel:internal");
    copy_text(error_text, e.what());
  } catch (...) {
    copy_text(error_id, "Vandrel:internal");
    copy_text(error_text, "The filter stopped on an unexpected exception.");
  }
  if (entered) call_in_progress = false;
  if (error_id[0] != '\0') mexErrMsgIdAndTxt(error_id, "%s", error_text);
}

VANDREL_EXPORT mxArray* emlrtMexFcnProperties() {
  const char* fields[] = {"Version", "ResolvedFunctions", "EntryPoints", "CoverageInfo"};
  const char* entry_fields[] = {"Name", "NumberOfInputs", "NumberOfOutputs", "ConstantInputs", "FullPath", "TimeStamp"};
  const char* filter_functions[] = {function_name,      "filter_cloud",  "root_block",
                                    "block_pass",       "local_frame",   "estimate_point",
                                    "select_in_quadrant_box", "fit_plane", "fuse_estimates"};
  constexpr mwSize function_count = sizeof filter_functions / sizeof filter_functions[0];

  mxArray* resolved = mxCreateCellMatrix(1, function_count);
  for (mwSize k = 0; k < function_count; ++k) mxSetCell(resolved, k, mxCreateString(filter_functions[k]));

  mxArray* entry = mxCreateStructMatrix(1, 1, 6, entry_fields);
  mxSetField(entry, 0, "Name", mxCreateString(function_name));
  mxSetField(entry, 0, "NumberOfInputs", mxCreateDoubleScalar(input_count));
  mxSetField(entry, 0, "NumberOfOutputs", mxCreateDoubleScalar(max_output_count));
  mxSetField(entry, 0, "ConstantInputs", mxCreateLogicalMatrix(1, input_count));
  mxSetField(entry, 0, "FullPath", mxCreateString(entry_source_path().c_str()));
  mxSetField(entry, 0, "TimeStamp", mxCreateDoubleScalar(build_serial_date()));

  mxArray* properties = mxCreateStructMatrix(1, 1, 4, fields);
  mxSetField(properties, 0, "Version", mxCreateString(built_for_version));
  mxSetField(properties, 0, "ResolvedFunctions", resolved);
  mxSetField(properties, 0, "EntryPoints", entry);
  return properties;
}

VANDREL_EXPORT void mexfilerequiredapiversion(unsigned int* built_by_release, unsigned int* target_api_version) {
  *built_by_release = built_for_release;
  *target_api_version = separate_complex_api_version;
}
