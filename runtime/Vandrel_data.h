#pragma once
#include <cstdint>
#include <optional>

#ifdef _OPENMP
#include <omp.h>
#endif

#include "mex/mex_host.h"
#include "runtime/host.h"

namespace vandrel {

/// Constant description of the plug-in, handed to every call's run-time context.
struct ContextRecord {
  std::uint32_t api_version;  // host release the plug-in is built for (0x2019B)
  const char* function_name;  // the entry function, as errors and the plug-in description name it
};

/// One call's run-time context: the host over the MEX interface and the calling
/// thread's clean-up stack. Created by Vandrel_initialize, destroyed by Vandrel_terminate;
/// destroying it frees every array still registered on the stack.
struct RootContext {
  RootContext(const ContextRecord& record_in, LockerFunction locker) : record(record_in), host(locker), ctx(host) {}
  const ContextRecord& record;
  MexHost host;
  Context ctx;
};

extern const ContextRecord context_record;

/// The context of the call in progress; empty between calls.
extern std::optional<RootContext> root_context;

#ifdef _OPENMP
/// Taken by the locker function the host serialises its services with. Both locks exist
/// only while a call runs.
extern omp_lock_t global_lock;
extern omp_nest_lock_t global_nest_lock;
#endif

}  // namespace vandrel
