#pragma once
// The stand-alone host's options for a library call: shared by denoise and the tiled
// filter, not part of the installed API.
#include "api/vandrel.h"
#include "host/native_host.h"

namespace vandrel {

/// Checks the thread count (0 to 1024: "Vandrel:invalidThreads") and builds the host
/// options from the call's options. The returned options refer to `options`.
NativeHostOptions host_options_for(const DenoiseOptions& options);

/// The threads a call runs on: options.threads, or OpenMP's default for 0.
int thread_count(const DenoiseOptions& options);

}  // namespace vandrel
