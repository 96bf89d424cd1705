#include "Vandrel_terminate.h"

#include "Vandrel_data.h"

namespace vandrel {

void Vandrel_terminate() {
  if (!root_context) return;
  root_context->host.flush_console();
  root_context.reset();
}

void Vandrel_atexit() { root_context.reset(); }

}  // namespace vandrel
