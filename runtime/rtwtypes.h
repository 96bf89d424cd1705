#pragma once
#include <cstdint>

// Element types of the filter's arrays, named as the rest of the code base names them.
using real32_T = float;
using real_T = double;
using int32_T = std::int32_t;
using boolean_T = bool;

/// A complex single-precision value.
struct creal32_T {
  float re;
  float im;
};
