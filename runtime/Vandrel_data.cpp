#include "Vandrel_data.h"

namespace vandrel {

const ContextRecord context_record{0x2019B, "Vandrel"};

std::optional<RootContext> root_context;

#ifdef _OPENMP
omp_lock_t global_lock;
omp_nest_lock_t global_nest_lock;
#endif

}  // namespace vandrel
