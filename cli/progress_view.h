#pragma once
#include <chrono>
#include <cstdint>
#include <ostream>
#include <string>
#include <string_view>

namespace vandrel {

/// Shows the filter's progress on a stream: on a terminal, one bar per stage redrawn in
/// place ("pass 1 [#######.......] 52%  0:03 elapsed, 0:02 left"); elsewhere, a plain line
/// at every tenth of a stage, so that a log reads in order. Calling thread only.
class ProgressView {
 public:
  ProgressView(std::ostream& out, bool terminal) : out_(out), terminal_(terminal) {}
  ~ProgressView() { finish(); }
  ProgressView(const ProgressView&) = delete;
  ProgressView& operator=(const ProgressView&) = delete;

  /// `done` of `total` units of `stage`; a new stage ends the previous one.
  void update(std::string_view stage, std::int64_t done, std::int64_t total);
  /// Ends the current bar's line, if any.
  void finish();

 private:
  using Clock = std::chrono::steady_clock;
  std::ostream& out_;
  bool terminal_;
  std::string stage_;
  Clock::time_point stage_start_{};
  int shown_tenths_ = -1;
  bool bar_open_ = false;
  Clock::time_point last_draw_{};
};

/// "m:ss" (or "h:mm:ss") of a duration in seconds.
std::string clock_text(double seconds);

}  // namespace vandrel
