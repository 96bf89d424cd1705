#include "numeric/products.h"

#include <algorithm>
#include <limits>

#include "numeric/blas.h"

namespace vandrel {
namespace {

const char no_trans = 'N';
const char trans = 'T';
const float one = 1.0f;
const float zero = 0.0f;

constexpr std::size_t mean_block = 1024;

float sum_left_to_right(std::span<const float> x) {
  float s = x[0];
  for (std::size_t k = 1; k < x.size(); ++k) s += x[k];
  return s;
}

}  // namespace

float mean(std::span<const float> x) {
  if (x.empty()) return std::numeric_limits<float>::quiet_NaN();
  float total = sum_left_to_right(x.first(std::min(x.size(), mean_block)));
  for (std::size_t begin = mean_block; begin < x.size(); begin += mean_block) {
    total += sum_left_to_right(x.subspan(begin, std::min(mean_block, x.size() - begin)));
  }
  return total / static_cast<float>(x.size());
}

Matrix3 gram(std::span<const float> a, std::int32_t n) {
  Matrix3 c{};
  const blas_int three = 3;
  const blas_int rows = n;
  sgemm_(&trans, &no_trans, &three, &three, &rows, &one, a.data(), &rows, a.data(), &rows, &zero, c.data(), &three);
  return c;
}

void multiply(std::span<const float> a, std::int32_t n, const Matrix3& m, std::span<float> c) {
  if (n == 0) return;
  const blas_int rows = n;
  const blas_int three = 3;
  sgemm_(&no_trans, &no_trans, &rows, &three, &three, &one, a.data(), &rows, m.data(), &three, &zero, c.data(), &rows);
}

void multiply(std::span<const float> a, std::int32_t n, const std::array<float, 3>& x, std::span<float> y) {
  if (n == 0) return;
  const blas_int rows = n;
  const blas_int single = 1;
  const blas_int three = 3;
  sgemm_(&no_trans, &no_trans, &rows, &single, &three, &one, a.data(), &rows, x.data(), &three, &zero, y.data(),
         &rows);
}

std::array<float, 3> multiply(const Matrix3& m, const std::array<float, 3>& x) {
  std::array<float, 3> y{};
  const blas_int single = 1;
  const blas_int three = 3;
  sgemm_(&no_trans, &trans, &three, &single, &three, &one, m.data(), &three, x.data(), &single, &zero, y.data(),
         &three);
  return y;
}

std::array<float, 3> multiply_as_row(const Matrix3& m, const std::array<float, 3>& x) {
  std::array<float, 3> y{};
  const blas_int single = 1;
  const blas_int three = 3;
  sgemm_(&no_trans, &trans, &single, &three, &three, &one, x.data(), &single, m.data(), &three, &zero, y.data(),
         &single);
  return y;
}

float dot(std::span<const float> x, std::span<const float> y) {
  if (x.empty()) return 0.0f;
  const auto count = static_cast<blas_int>(x.size());
  const blas_int stride = 1;
  return sdot_(&count, x.data(), &stride, y.data(), &stride);
}

void combine_rows(const std::array<float, 3>& row, std::span<const float> phi, std::int32_t n, std::span<float> kernel) {
  const blas_int single = 1;
  const blas_int three = 3;
  const blas_int cols = n;
  sgemm_(&no_trans, &no_trans, &single, &cols, &three, &one, row.data(), &single, phi.data(), &three, &zero,
         kernel.data(), &single);
}

std::array<float, 3> combine_columns(std::span<const float> phi, std::int32_t n, std::span<const float> w) {
  std::array<float, 3> c{};
  const blas_int three = 3;
  const blas_int single = 1;
  const blas_int count = n;
  sgemm_(&no_trans, &no_trans, &three, &single, &count, &one, phi.data(), &three, w.data(), &count, &zero, c.data(),
         &three);
  return c;
}

}  // namespace vandrel
