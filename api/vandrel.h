#pragma once
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace vandrel {

/// Library version, as the front ends report it.
inline constexpr const char* version = "1.0.0";

struct DenoiseOptions {
  /// Threads for the per-point loops; 0 takes OpenMP's default.
  int threads = 0;
  /// Receives the filter's console lines (pass and progress lines); empty discards them.
  std::function<void(std::string_view)> console;
};

/// Denoises a point cloud with the stand-alone host.
///   xyz      column-major N x 3 single matrix (all x, then all y, then all z)
///   n        number of points, 0 <= n <= 16777216
///   sigma    noise standard deviation in the cloud's units, finite and >= 0
///   density  points per unit area, finite and > 0 (the cloud is scaled by its square root)
/// Returns the filtered cloud in the same layout and row order. Throws vandrel::Error
/// (identifier and message) on invalid arguments. Does not modify `xyz`. Reentrant.
std::vector<float> denoise(const float* xyz, std::int64_t n, float sigma, float density,
                           const DenoiseOptions& options = {});

}  // namespace vandrel
