#include "cli/progress_view.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace vandrel {

std::string clock_text(double seconds) {
  const auto total = static_cast<long long>(std::max(0.0, std::round(seconds)));
  char text[32];
  if (total >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", total / 3600, total / 60 % 60, total % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", total / 60, total % 60);
  }
  return text;
}

void ProgressView::update(std::string_view stage, std::int64_t done, std::int64_t total) {
  const Clock::time_point now = Clock::now();
  if (stage != stage_) {
    finish();
    stage_ = std::string(stage);
    stage_start_ = now;
    shown_tenths_ = -1;
  }
  const double share = total > 0 ? static_cast<double>(done) / static_cast<double>(total) : 1.0;
  const double elapsed = std::chrono::duration<double>(now - stage_start_).count();
  const std::string left = share > 0.0 && share < 1.0 ? ", " + clock_text(elapsed / share - elapsed) + " left" : "";
  const int percent = static_cast<int>(std::floor(share * 100.0));
  if (terminal_) {
    // Redrawn at most ten times a second, and always at the end.
    if (bar_open_ && done < total && now - last_draw_ < std::chrono::milliseconds(100)) return;
    constexpr int width = 30;
    const int filled = static_cast<int>(share * width);
    out_ << '\r' << stage_ << " [" << std::string(static_cast<std::size_t>(filled), '#')
         << std::string(static_cast<std::size_t>(width - filled), '.') << "] " << percent << "%  "
         << clock_text(elapsed) << " elapsed" << left << "\x1b[K" << std::flush;
    bar_open_ = true;
    last_draw_ = now;
    return;
  }
  const int tenths = static_cast<int>(std::floor(share * 10.0));
  if (tenths <= shown_tenths_) return;
  shown_tenths_ = tenths;
  out_ << stage_ << ": " << percent << "% (" << clock_text(elapsed) << " elapsed" << left << ")\n" << std::flush;
}

void ProgressView::finish() {
  if (bar_open_) out_ << '\n' << std::flush;
  bar_open_ = false;
}

}  // namespace vandrel
