// Filters a cloud with the library directly, for comparison with the Python module.
//   vandrel_python_reference INPUT OUTPUT THREADS [SIGMA DENSITY]
// INPUT and OUTPUT hold raw float32 N x 3 matrices, column-major (all x, then all y, then
// all z). SIGMA and DENSITY are decimal texts that read back to the module's single values
// (9 significant digits suffice); without them both are estimated, density first, and
// printed to standard output as "density sigma" with 9 significant digits.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <vector>

#include "api/estimate.h"
#include "api/vandrel.h"
#include "runtime/error.h"

int main(int argc, char** argv) {
  if (argc != 4 && argc != 6) {
    std::fprintf(stderr, "usage: vandrel_python_reference INPUT OUTPUT THREADS [SIGMA DENSITY]\n");
    return 2;
  }
  try {
    std::ifstream in(argv[1], std::ios::binary | std::ios::ate);
    const std::streamoff bytes = in ? static_cast<std::streamoff>(in.tellg()) : -1;
    if (bytes < 0 || bytes % static_cast<std::streamoff>(3 * sizeof(float)) != 0) {
      std::fprintf(stderr, "vandrel_python_reference: %s does not hold an N x 3 float32 matrix\n", argv[1]);
      return 1;
    }
    const std::int64_t n = bytes / static_cast<std::streamoff>(3 * sizeof(float));
    std::vector<float> xyz(static_cast<std::size_t>(3 * n));
    in.seekg(0);
    in.read(reinterpret_cast<char*>(xyz.data()), bytes);

    float sigma = 0.0f;
    float density = 0.0f;
    if (argc == 6) {
      sigma = std::strtof(argv[4], nullptr);
      density = std::strtof(argv[5], nullptr);
    } else {
      density = vandrel::estimate_density(xyz.data(), n);
      sigma = vandrel::estimate_sigma(xyz.data(), n);
      std::printf("%.9g %.9g\n", static_cast<double>(density), static_cast<double>(sigma));
    }
    vandrel::DenoiseOptions options;
    options.threads = std::atoi(argv[3]);
    const std::vector<float> out = vandrel::denoise(xyz.data(), n, sigma, density, options);

    std::ofstream file(argv[2], std::ios::binary);
    file.write(reinterpret_cast<const char*>(out.data()), static_cast<std::streamsize>(out.size() * sizeof(float)));
    if (!file) {
      std::fprintf(stderr, "vandrel_python_reference: cannot write %s\n", argv[2]);
      return 1;
    }
  } catch (const vandrel::Error& e) {
    std::fprintf(stderr, "vandrel_python_reference: %s: %s\n", e.identifier().c_str(), e.what());
    return 1;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "vandrel_python_reference: %s\n", e.what());
    return 1;
  }
  return 0;
}
