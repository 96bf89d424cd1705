#pragma once
#include <cstdint>

// The reference-argument BLAS interface: every argument by address. The build checks
// that the library takes 32-bit integers (LP64), the width of Debian's OpenBLAS.
namespace vandrel {
using blas_int = std::int32_t;
}

extern "C" {
void sgemm_(const char* transa, const char* transb, const vandrel::blas_int* m, const vandrel::blas_int* n,
            const vandrel::blas_int* k, const float* alpha, const float* a, const vandrel::blas_int* lda,
            const float* b, const vandrel::blas_int* ldb, const float* beta, float* c,
            const vandrel::blas_int* ldc);
float sdot_(const vandrel::blas_int* n, const float* x, const vandrel::blas_int* incx, const float* y,
            const vandrel::blas_int* incy);
void strsm_(const char* side, const char* uplo, const char* transa, const char* diag, const vandrel::blas_int* m,
            const vandrel::blas_int* n, const float* alpha, const float* a, const vandrel::blas_int* lda, float* b,
            const vandrel::blas_int* ldb);
}
