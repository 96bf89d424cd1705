#include "Vandrel_initialize.h"

#include "mex/Vandrel_multicore_mex.h"
#include "mex/mex_host.h"

namespace vandrel {

void Vandrel_initialize() {
  mexFunctionCreateRootTLS();
  MexHost::clear_allocation_count();
}

}  // namespace vandrel
