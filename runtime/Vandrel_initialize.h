#pragma once

namespace vandrel {

/// Starts a call of the plug-in: creates the run-time context (the host and the calling
/// thread's clean-up stack) and clears the host's allocation count. Calling thread only,
/// after the global locks exist; paired with Vandrel_terminate.
void Vandrel_initialize();

}  // namespace vandrel
