#pragma once
#include <string>

#include "Vandrel_types.h"
#include "host.h"

namespace vandrel {

/// A new real single host value with the extents and column-major elements of a 2-D array.
Value to_host_single_matrix(const emxArray_real32_T* a);

/// Calls the host's `feval` with exactly three arguments after the function name and
/// returns its one output.
Value feval(Context& ctx, const std::string& function, Value arg1, Value arg2, Value arg3);

/// Checks that a host output is a real double scalar, naming it `name` on a mismatch,
/// and returns its value. Only on the calling thread.
double read_double_scalar(const Value& v, const std::string& name);

/// Prints through the host's fprintf to standard output (file identifier 1) with one
/// argument; `format` holds the escapes the host's fprintf expands (a backslash-n ends
/// the line). The call's output is checked as "<output of feval>" and discarded.
void host_fprintf(Context& ctx, const char* format, Value argument);

}  // namespace vandrel
