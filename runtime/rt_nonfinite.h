#pragma once
#include <limits>

namespace vandrel {

// Non-finite constants shared by every module (read only, so safe on any thread).
inline constexpr double rtInf = std::numeric_limits<double>::infinity();
inline constexpr double rtMinusInf = -std::numeric_limits<double>::infinity();
inline constexpr double rtNaN = std::numeric_limits<double>::quiet_NaN();
inline constexpr float rtInfF = std::numeric_limits<float>::infinity();
inline constexpr float rtMinusInfF = -std::numeric_limits<float>::infinity();
inline constexpr float rtNaNF = std::numeric_limits<float>::quiet_NaN();

}  // namespace vandrel
