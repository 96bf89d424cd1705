#pragma once
// A host for unit tests: the stand-alone host with its console captured in memory.
#include <mutex>
#include <string>

#include "host/native_host.h"

namespace vandrel::fixtures {

class CapturingHost : public NativeHost {
 public:
  explicit CapturingHost(NativeHostOptions options = {}) : NativeHost(with_capture(options, this)) {}
  std::string console() {
    std::lock_guard<std::mutex> lock(mutex_);
    return text_;
  }

 private:
  static NativeHostOptions with_capture(NativeHostOptions options, CapturingHost* self) {
    options.console = [self](std::string_view s) {
      std::lock_guard<std::mutex> lock(self->mutex_);
      self->text_.append(s);
    };
    return options;
  }
  std::mutex mutex_;
  std::string text_;
};

}  // namespace vandrel::fixtures
