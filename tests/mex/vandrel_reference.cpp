// Filters a cloud with the stand-alone library, for comparison with the plug-in.
//   vandrel_reference INPUT OUTPUT SIGMA DENSITY
// INPUT and OUTPUT hold raw float32 N x 3 matrices, column-major (all x, then all y,
// then all z); SIGMA and DENSITY are decimal texts that read back to the plug-in's
// single values (9 significant digits suffice). The loops run on one thread. An INPUT named
// *.f64 holds float64 values instead, filtered by the library's double-precision denoise,
// and OUTPUT then receives float64 values too.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <string>
#include <vector>

#include "vandrel/vandrel.h"

namespace {

// The float64 variant: column-major doubles in and out.
int filter_doubles(const char* input, const char* output, float sigma, float density) {
  std::ifstream in(input, std::ios::binary | std::ios::ate);
  const std::streamoff bytes = in ? static_cast<std::streamoff>(in.tellg()) : -1;
  if (bytes < 0 || bytes % static_cast<std::streamoff>(3 * sizeof(double)) != 0) {
    std::fprintf(stderr, "vandrel_reference: %s does not hold an N x 3 float64 matrix\n", input);
    return 1;
  }
  const auto count = static_cast<std::size_t>(bytes / static_cast<std::streamoff>(3 * sizeof(double)));
  std::vector<double> xyz(3 * count);
  in.seekg(0);
  in.read(reinterpret_cast<char*>(xyz.data()), bytes);
  std::vector<vandrel::PointD> points(count);
  for (std::size_t i = 0; i < count; ++i) points[i] = {xyz[i], xyz[count + i], xyz[2 * count + i]};
  vandrel::DenoiseOptions options;
  options.threads = 1;
  points = vandrel::denoise(points, sigma, density, options);
  for (std::size_t i = 0; i < count; ++i) {
    for (std::size_t c = 0; c < 3; ++c) xyz[i + count * c] = points[i][c];
  }
  std::ofstream file(output, std::ios::binary);
  file.write(reinterpret_cast<const char*>(xyz.data()), static_cast<std::streamsize>(xyz.size() * sizeof(double)));
  if (!file) {
    std::fprintf(stderr, "vandrel_reference: cannot write %s\n", output);
    return 1;
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: vandrel_reference INPUT OUTPUT SIGMA DENSITY\n");
    return 2;
  }
  try {
    const std::string input = argv[1];
    if (input.size() > 4 && input.substr(input.size() - 4) == ".f64")
      return filter_doubles(argv[1], argv[2], std::strtof(argv[3], nullptr), std::strtof(argv[4], nullptr));
    std::ifstream in(argv[1], std::ios::binary | std::ios::ate);
    const std::streamoff bytes = in ? static_cast<std::streamoff>(in.tellg()) : -1;
    if (bytes < 0 || bytes % static_cast<std::streamoff>(3 * sizeof(float)) != 0) {
      std::fprintf(stderr, "vandrel_reference: %s does not hold an N x 3 float32 matrix\n", argv[1]);
      return 1;
    }
    const std::int64_t n = bytes / static_cast<std::streamoff>(3 * sizeof(float));
    std::vector<float> xyz(static_cast<std::size_t>(3 * n));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(xyz.data()), bytes);

    vandrel::DenoiseOptions options;
    options.threads = 1;
    // The file is column-major, as Octave writes a matrix; the library takes triples.
    const auto count = static_cast<std::size_t>(n);
    std::vector<vandrel::Point> points(count);
    for (std::size_t i = 0; i < count; ++i) points[i] = {xyz[i], xyz[count + i], xyz[2 * count + i]};
    points = vandrel::denoise(points, std::strtof(argv[3], nullptr), std::strtof(argv[4], nullptr), options);
    std::vector<float> out(3 * count);
    for (std::size_t i = 0; i < count; ++i) {
      for (std::size_t c = 0; c < 3; ++c) out[i + count * c] = points[i][c];
    }

    std::ofstream file(argv[2], std::ios::binary);
    file.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size() * sizeof(float)));
    if (!file) {
      std::fprintf(stderr, "vandrel_reference: cannot write %s\n", argv[2]);
      return 1;
    }
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vandrel_reference: %s\n", e.what());
    return 1;
  }
  return 0;
}
