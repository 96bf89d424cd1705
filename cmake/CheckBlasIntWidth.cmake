# The filter passes BLAS and LAPACK dimensions as `blas_int`. Check that the library
# found takes 32-bit integers (LP64, Debian's libopenblas0-openmp): an ILP64 library
# would read the guard word below as the high half of n and fail the check.
set(_src "${CMAKE_BINARY_DIR}/check_blas_int_width.c")
file(WRITE "${_src}" "
#include <stdint.h>
#include <stdio.h>
float sdot_(const int32_t* n, const float* x, const int32_t* incx, const float* y, const int32_t* incy);
int main(void) {
  int32_t n_and_guard[2] = {3, 0x40000000};
  int32_t one_and_guard[2] = {1, 0x40000000};
  float x[3] = {1.0f, 2.0f, 3.0f}, y[3] = {4.0f, 5.0f, 6.0f};
  float d = sdot_(&n_and_guard[0], x, &one_and_guard[0], y, &one_and_guard[0]);
  printf(\"%g\\\\n\", (double)d);
  return d == 32.0f ? 0 : 1;
}
")
try_run(_run_result _compile_result "${CMAKE_BINARY_DIR}/check_blas_int_width" "${_src}"
  LINK_LIBRARIES ${BLAS_LIBRARIES}
  COMPILE_OUTPUT_VARIABLE _compile_output RUN_OUTPUT_VARIABLE _run_output)
if(NOT _compile_result)
  message(FATAL_ERROR "Could not link a BLAS check program against ${BLAS_LIBRARIES}:\n${_compile_output}")
endif()
if(NOT _run_result EQUAL 0)
  message(FATAL_ERROR "The BLAS library ${BLAS_LIBRARIES} does not take 32-bit integers (LP64); "
    "install Debian's libopenblas-openmp-dev (run scripts/install-deps.sh).")
endif()
message(STATUS "BLAS takes 32-bit integers (LP64): ${BLAS_LIBRARIES}")
