#pragma once
#include "mex/Vandrel_multicore_mex.h"

/// Interface handshake the host reads before it loads the plug-in: writes the host
/// release the plug-in is built for (131483, 0x2019B) to `built_by_rel` and the version
/// of the array interface it uses, separate real and imaginary parts (134217728,
/// 0x8000000), to `target_api_version`.
VANDREL_EXPORT void mexfilerequiredapiversion(unsigned int* built_by_rel, unsigned int* target_api_version);
