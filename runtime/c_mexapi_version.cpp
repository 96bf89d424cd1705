#include "c_mexapi_version.h"

#include "Vandrel_data.h"

namespace {
constexpr unsigned int separate_complex_api_version = 0x8000000;
}

void mexfilerequiredapiversion(unsigned int* built_by_rel, unsigned int* target_api_version) {
  *built_by_rel = vandrel::context_record.api_version;
  *target_api_version = separate_complex_api_version;
}
