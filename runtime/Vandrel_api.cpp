#include "Vandrel_api.h"

#include <cstdint>
#include <cstring>
#include <limits>
#include <string>

#include "Vandrel_data.h"
#include "mex/mex_host.h"
#include "runtime/Vandrel_emxutil.h"
#include "api/error.h"
#include "source_code_withOctree/Vandrel.h"

namespace vandrel {
namespace {

float read_single_scalar(const mxArray* a, const std::string& name) {
  check_host_value(a, ValueClass::Single, false, {Extent::fixed(1), Extent::fixed(1)}, name);
  return *static_cast<const float*>(mxGetData(a));
}

// Registered on the clean-up stack, so that an error frees the private duplicate too.
void destroy_host_array(Context& /*ctx*/, void* handle) {
  auto** a = static_cast<mxArray**>(handle);
  if (*a == nullptr) return;
  mxDestroyArray(*a);
  *a = nullptr;
}

// The result is copied rather than handed over: its storage comes from the C heap (worker
// threads allocate too), and only storage from the host's own allocator can become an
// array's data.
mxArray* to_host_matrix(const emxArray_real32_T* result) {
  const auto rows = static_cast<mwSize>(result->size[0]);
  const auto cols = static_cast<mwSize>(result->size[1]);
  mxArray* out = mxCreateNumericMatrix(rows, cols, mxSINGLE_CLASS, mxREAL);
  if (rows * cols > 0) std::memcpy(mxGetData(out), result->data, rows * cols * sizeof(float));
  return out;
}

}  // namespace

void Vandrel_api(const mxArray* const inputs[3], int /*output_count*/, mxArray* outputs[1]) {
  Context& ctx = root_context->ctx;
  emxArray_real32_T* pcd_noi = nullptr;
  emxArray_real32_T* result = nullptr;
  mxArray* duplicate = nullptr;
  CleanupScope scope(ctx);
  emxInit_real32_T(ctx, &pcd_noi, 2, true);
  emxInit_real32_T(ctx, &result, 2, true);
  ctx.push(&duplicate, destroy_host_array);

  // The filter scales its input in place: it works on a private duplicate, and the
  // input cloud borrows the duplicate's storage.
  duplicate = mxDuplicateArray(inputs[0]);
  check_host_value(duplicate, ValueClass::Single, false, {Extent::any(), Extent::fixed(3)}, "pcd_noi");
  const mwSize rows = mxGetM(duplicate);
  if (rows > static_cast<mwSize>(std::numeric_limits<std::int32_t>::max() / 3)) {
    throw Error("Vandrel:tooManyPoints", "pcd_noi has " + std::to_string(rows) + " rows, more than the filter can take.");
  }
  pcd_noi->data = static_cast<float*>(mxGetData(duplicate));
  pcd_noi->size[0] = static_cast<std::int32_t>(rows);
  pcd_noi->size[1] = 3;
  pcd_noi->capacity = pcd_noi->size[0] * 3;
  pcd_noi->ownsData = false;

  const float sigma_pcd = read_single_scalar(inputs[1], "sigma_pcd");
  const float dens_pcd = read_single_scalar(inputs[2], "dens_pcd");
  Vandrel(ctx, pcd_noi, sigma_pcd, dens_pcd, result);

  outputs[0] = to_host_matrix(result);
  emxFree_real32_T(ctx, &result);
  emxFree_real32_T(ctx, &pcd_noi);
  destroy_host_array(ctx, &duplicate);
}

}  // namespace vandrel
