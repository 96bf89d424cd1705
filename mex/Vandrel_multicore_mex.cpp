#include "Vandrel_multicore_mex.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>
#include <string>

#include "runtime/Vandrel_api.h"
#include "runtime/Vandrel_data.h"
#include "runtime/Vandrel_initialize.h"
#include "runtime/Vandrel_terminate.h"
#include "api/error.h"

namespace {

constexpr int input_count = 3;
constexpr int max_output_count = 1;
constexpr const char* built_for_version = "9.7.0.1216025 (R2019b) Update 1";

#ifdef _OPENMP
// Runs the host's function under the global lock; an exception releases the lock on
// its way out.
void lock_and_run(void (*function)(void* data), void* data) {
  omp_set_lock(&vandrel::global_lock);
  try {
    function(data);
  } catch (...) {
    omp_unset_lock(&vandrel::global_lock);
    throw;
  }
  omp_unset_lock(&vandrel::global_lock);
}
#endif

void check_counts(int nlhs, int nrhs) {
  const std::string name = vandrel::context_record.function_name;
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
  const double seconds = std::atol(time) * 3600.0 + std::atol(time + 3) * 60.0 + std::atol(time + 6);
  return serial_date_of_1970 + static_cast<double>(unix_days) + seconds / 86400.0;
}

// Where the entry function's source lies on the build machine: beside this file's folder.
std::string entry_source_path() {
  std::string path = __FILE__;
  const std::size_t mex_folder = path.find_last_of("/\\");
  const std::size_t root = mex_folder == std::string::npos ? std::string::npos : path.find_last_of("/\\", mex_folder - 1);
  path.resize(root == std::string::npos ? 0 : root + 1);
  return path + "source_code_withOctree/Vandrel.cpp";
}

template <std::size_t N>
void copy_text(char (&to)[N], const char* from) {
  std::snprintf(to, N, "%s", from);
}

}  // namespace

namespace vandrel {

void mexFunctionCreateRootTLS() {
#ifdef _OPENMP
  root_context.emplace(context_record, &lock_and_run);
#else
  root_context.emplace(context_record, nullptr);
#endif
}

}  // namespace vandrel

VANDREL_EXPORT void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  // A failure is copied out of its exception: raising the host error does not return,
  // so nothing with a destructor may be alive by then.
  char error_id[128] = "";
  char error_text[2048] = "";

  mexAtExit(&vandrel::Vandrel_atexit);
#ifdef _OPENMP
  omp_init_lock(&vandrel::global_lock);
  omp_init_nest_lock(&vandrel::global_nest_lock);
#endif
  vandrel::Vandrel_initialize();
  try {
    check_counts(nlhs, nrhs);
    vandrel::Vandrel_api(prhs, nlhs, plhs);
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
  vandrel::Vandrel_terminate();
#ifdef _OPENMP
  omp_destroy_nest_lock(&vandrel::global_nest_lock);
  omp_destroy_lock(&vandrel::global_lock);
#endif
  if (error_id[0] != '\0') mexErrMsgIdAndTxt(error_id, "%s", error_text);
}

VANDREL_EXPORT mxArray* emlrtMexFcnProperties() {
  const char* fields[] = {"Version", "ResolvedFunctions", "EntryPoints", "CoverageInfo"};
  const char* entry_fields[] = {"Name", "NumberOfInputs", "NumberOfOutputs", "ConstantInputs", "FullPath", "TimeStamp"};
  const char* filter_functions[] = {"Vandrel",
                                    "Split_PCD_Octree_v3",
                                    "SquareNeighNormal_ICI_Denoising_recur_m2c_Mar06_2_temp",
                                    "local_coordinate_for_ICI",
                                    "find_index_in_anisotropic_square_v2",
                                    "FindIndexSquare_c",
                                    "polynom_kernel_ICI_octant_single_est_order1"};
  constexpr mwSize function_count = sizeof filter_functions / sizeof filter_functions[0];

  mxArray* resolved = mxCreateCellMatrix(1, function_count);
  for (mwSize k = 0; k < function_count; ++k) mxSetCell(resolved, k, mxCreateString(filter_functions[k]));

  mxArray* entry = mxCreateStructMatrix(1, 1, 6, entry_fields);
  mxSetField(entry, 0, "Name", mxCreateString(vandrel::context_record.function_name));
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

VANDREL_EXPORT std::int64_t vandrel_live_allocations() { return vandrel::MexHost::live_allocations(); }
