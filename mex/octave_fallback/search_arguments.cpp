#include "search_arguments.h"

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <type_traits>

#include "vandrel/error.h"

namespace vandrel {
namespace {

bool is_word(const mxArray* given, const char* word) {
  const std::size_t length = std::strlen(word);
  if (!mxIsChar(given) || mxGetNumberOfDimensions(given) != 2 || mxGetM(given) != 1 || mxGetN(given) != length) {
    return false;
  }
  const mxChar* text = mxGetChars(given);
  for (std::size_t k = 0; k < length; ++k) {
    // mxChar is char in Octave and a 16-bit unit in MATLAB.
    const auto code = static_cast<std::uint32_t>(static_cast<std::make_unsigned_t<mxChar>>(text[k]));
    if (code > 127 || std::tolower(static_cast<int>(code)) != std::tolower(static_cast<unsigned char>(word[k]))) {
      return false;
    }
  }
  return true;
}

template <std::size_t N>
void copy_text(char (&to)[N], const char* from) {
  std::snprintf(to, N, "%s", from);
}

}  // namespace

PointsArgument points_argument(const char* function, const mxArray* argument, int position) {
  if (!mxIsSingle(argument) || mxIsComplex(argument) || mxIsSparse(argument) ||
      mxGetNumberOfDimensions(argument) != 2 || mxGetN(argument) != 3) {
    throw Error(search_error_id, std::string(function) + ": argument " + std::to_string(position) +
                                     " must be a real single N x 3 matrix");
  }
  const auto rows = static_cast<std::int64_t>(mxGetM(argument));
  if (rows > std::numeric_limits<std::int32_t>::max()) {
    throw Error(search_error_id, std::string(function) + ": argument " + std::to_string(position) +
                                     " has more than 2147483647 rows");
  }
  return {static_cast<const float*>(mxGetData(argument)), rows};
}

void check_options(const char* function, std::initializer_list<const mxArray*> given,
                   std::initializer_list<const char*> words) {
  bool match = given.size() == words.size();
  std::string list;
  auto word = words.begin();
  for (const mxArray* option : given) {
    match = match && is_word(option, *word);
    ++word;
  }
  for (const char* w : words) list += (list.empty() ? "" : ", ") + std::string(w);
  if (!match) throw Error(search_error_id, std::string(function) + ": only the options " + list + " are supported");
}

void check_output_count(const char* function, int nlhs) {
  if (nlhs > 1) throw Error(search_error_id, std::string(function) + ": returns one output only");
}

void run_search(SearchFunction search, int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  // Raising the host error need not return, so nothing with a destructor may be alive
  // by then: the failure is copied out of its exception first.
  char error_id[64] = "";
  char error_text[512] = "";
  try {
    search(nlhs, plhs, nrhs, prhs);
  } catch (const Error& e) {
    copy_text(error_id, e.identifier().c_str());
    copy_text(error_text, e.what());
  } catch (const std::bad_alloc&) {
    copy_text(error_id, "Vandrel:outOfMemory");
    copy_text(error_text, "Out of memory.");
  }
  if (error_id[0] != '\0') mexErrMsgIdAndTxt(error_id, "%s", error_text);
}

}  // namespace vandrel
