#pragma once

namespace vandrel {

/// Ends a call of the plug-in: writes the console output that worker threads left
/// buffered, then destroys the run-time context, freeing every array still registered on
/// its clean-up stack. Calling thread only, before the global locks are destroyed.
void Vandrel_terminate();

/// Exit hook, run by the host when it unloads the plug-in: destroys a run-time context
/// that a call left behind, so that none outlives the plug-in. Writes nothing.
void Vandrel_atexit();

}  // namespace vandrel
