#pragma once
// The fixed inputs of the golden-output tests, generated from fixed seeds, and the digest
// used for intermediate stages. The recorded outputs live in tests/data/golden/.
#include <cmath>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <limits>
#include <random>
#include <span>
#include <string>
#include <vector>

namespace vandrel::golden {

struct Case {
  std::string name;
  std::vector<float> points;  // row-major x, y, z
  float sigma;
  float density;
  bool stage_digests;  // whether the intermediate stages are recorded too
};

/// FNV-1a over raw bytes: a change of any bit changes the digest.
class Digest {
 public:
  void add(const void* data, std::size_t bytes) {
    const auto* p = static_cast<const unsigned char*>(data);
    for (std::size_t k = 0; k < bytes; ++k) value_ = (value_ ^ p[k]) * 1099511628211ull;
  }
  template <class T>
  void add(std::span<const T> values) {
    add(values.data(), values.size_bytes());
  }
  template <class T>
  void add_value(T v) {
    add(&v, sizeof v);
  }
  std::uint64_t value() const { return value_; }

 private:
  std::uint64_t value_ = 14695981039346656037ull;
};

inline std::vector<float> read_xyz(const std::string& path) {
  std::ifstream in(path);
  std::vector<float> points;
  double x, y, z;
  while (in >> x >> y >> z) {
    points.push_back(static_cast<float>(x));
    points.push_back(static_cast<float>(y));
    points.push_back(static_cast<float>(z));
  }
  return points;
}

inline std::vector<float> plane(int n, float side, float sigma, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(0.0f, side);
  std::normal_distribution<float> noise(0.0f, sigma);
  std::vector<float> p;
  for (int i = 0; i < n; ++i) {
    const float x = u(rng) + noise(rng);
    const float y = u(rng) + noise(rng);
    const float z = noise(rng);
    p.insert(p.end(), {x, y, z});
  }
  return p;
}

inline std::vector<float> sphere(int n, float radius, float sigma, unsigned seed) {
  std::mt19937 rng(seed);
  std::normal_distribution<double> direction(0.0, 1.0);
  std::normal_distribution<float> noise(0.0f, sigma);
  std::vector<float> p;
  for (int i = 0; i < n; ++i) {
    double d[3] = {direction(rng), direction(rng), direction(rng)};
    const double length = std::sqrt(d[0] * d[0] + d[1] * d[1] + d[2] * d[2]);
    for (double c : d) p.push_back(static_cast<float>(c / length * radius) + noise(rng));
  }
  return p;
}

// Points spread evenly over the six faces of a cube of the given side: sharp edges and corners.
inline std::vector<float> cube(int n, float side, float sigma, unsigned seed) {
  std::mt19937 rng(seed);
  std::uniform_real_distribution<float> u(0.0f, side);
  std::normal_distribution<float> noise(0.0f, sigma);
  std::vector<float> p;
  for (int i = 0; i < n; ++i) {
    const int face = i % 6;
    float q[3] = {u(rng), u(rng), u(rng)};
    q[face % 3] = face < 3 ? 0.0f : side;
    for (float c : q) p.push_back(c + noise(rng));
  }
  return p;
}

// An exact square grid of integer coordinates: many equal distances, ties broken by row.
inline std::vector<float> grid(int columns, int rows) {
  std::vector<float> p;
  for (int i = 0; i < columns * rows; ++i) {
    p.insert(p.end(), {static_cast<float>(i % columns), static_cast<float>(i / columns), 0.0f});
  }
  return p;
}

inline std::vector<Case> cases(const std::string& data_dir) {
  std::vector<Case> all;
  all.push_back({"bunny", read_xyz(data_dir + "/bunny_20k_noisy.xyz"), 0.005f, 22707.0f, false});
  all.push_back({"plane", plane(3000, 1.0f, 0.01f, 11), 0.01f, 3000.0f, true});
  all.push_back({"sphere", sphere(3000, 1.0f, 0.02f, 12), 0.02f, 3000.0f / 12.566371f, true});
  all.push_back({"cube", cube(3000, 1.0f, 0.01f, 13), 0.01f, 500.0f, true});
  all.push_back({"grid", grid(60, 60), 0.4f, 1.0f, true});
  std::vector<float> holes = plane(2000, 1.0f, 0.01f, 14);
  for (std::size_t i = 0; i < holes.size() / 3; i += 37) holes[3 * i + (i % 3)] = std::numeric_limits<float>::quiet_NaN();
  all.push_back({"nan_rows", holes, 0.01f, 2000.0f, false});
  all.push_back({"small", plane(40, 1.0f, 0.01f, 15), 0.01f, 40.0f, false});
  all.push_back({"noise_free", plane(2000, 1.0f, 0.0f, 16), 0.0f, 2000.0f, false});
  std::vector<float> far = plane(2000, 1.0f, 0.01f, 17);
  for (std::size_t i = 0; i < far.size(); i += 3) {
    far[i] += 1000.0f;
    far[i + 1] += 2000.0f;
    far[i + 2] += 500.0f;
  }
  all.push_back({"far_away", far, 0.01f, 2000.0f, false});
  return all;
}

}  // namespace vandrel::golden
