// Denoises a noisy patch of the plane z = 0 through the installed headers and library:
// prints the library version and how far the points lie from the plane before and after.
#include <vandrel/error.h>
#include <vandrel/estimate.h>
#include <vandrel/vandrel.h>

#include <cmath>
#include <cstdio>
#include <random>
#include <span>
#include <string>
#include <vector>

namespace {

double rms_height(std::span<const vandrel::Point> points) {
  double sum = 0.0;
  for (const vandrel::Point& p : points) sum += double(p[2]) * double(p[2]);
  return std::sqrt(sum / double(points.size()));
}

}  // namespace

int main() {
  constexpr int side = 20;  // 400 points, 0.05 apart
  constexpr float spacing = 0.05f;
  constexpr float sigma = 0.01f;
  std::mt19937 random(20260101u);
  std::normal_distribution<float> noise(0.0f, sigma);
  std::vector<vandrel::Point> noisy;
  for (int i = 0; i < side; ++i)
    for (int j = 0; j < side; ++j) noisy.push_back({float(i) * spacing, float(j) * spacing, noise(random)});

  try {
    const float density = vandrel::estimate_density(noisy);
    const std::vector<vandrel::Point> filtered =
        vandrel::denoise(noisy, sigma, 1.0f / (spacing * spacing), {.threads = 2});
    if (filtered.size() != noisy.size()) {
      std::fprintf(stderr, "denoise returned %zu points for %zu\n", filtered.size(), noisy.size());
      return 1;
    }
    std::printf("vandrel %s\n", vandrel::version);
    std::printf("estimated density %.6g\n", double(density));
    std::printf("rms height before %.6g after %.6g\n", rms_height(noisy), rms_height(filtered));
  } catch (const vandrel::Error& error) {
    std::fprintf(stderr, "%s: %s\n", error.identifier().c_str(), error.what());
    return 1;
  }

  // The error type crosses the installed library's boundary with its identifier.
  try {
    vandrel::denoise(noisy, -1.0f, 400.0f);
    std::fprintf(stderr, "a negative sigma was accepted\n");
    return 1;
  } catch (const vandrel::Error& error) {
    std::printf("negative sigma: %s\n", error.identifier().c_str());
  }
  return 0;
}
