#include "api/vandrel.h"

#include "host/native_host.h"
#include "runtime/Vandrel_emxutil.h"
#include "source_code_withOctree/Vandrel.h"

namespace vandrel {

std::vector<float> denoise(const float* xyz, std::int64_t n, float sigma, float density,
                           const DenoiseOptions& options) {
  NativeHostOptions host_options;
  host_options.threads = options.threads;
  host_options.console = options.console ? options.console : [](std::string_view) {};
  NativeHost host(host_options);
  Context ctx(host);
  CleanupScope scope(ctx);

  // The filter scales its input in place: give it a copy that borrows our storage.
  std::vector<float> input(xyz, xyz + 3 * n);
  emxArray_real32_T* cloud = nullptr;
  emxArray_real32_T* result = nullptr;
  emxInit_real32_T(ctx, &cloud, 2, true);
  emxInit_real32_T(ctx, &result, 2, true);
  if (n > 16777216) {
    // Vandrel rejects it; the extent must still fit the array's 32-bit size fields.
    cloud->size[0] = 16777217;
  } else {
    cloud->data = input.data();
    cloud->size[0] = static_cast<std::int32_t>(n);
    cloud->capacity = static_cast<std::int32_t>(3 * n);
    cloud->ownsData = false;
  }
  cloud->size[1] = 3;
  Vandrel(ctx, cloud, sigma, density, result);

  std::vector<float> out(result->data, result->data + 3 * n);
  emxFree_real32_T(ctx, &result);
  emxFree_real32_T(ctx, &cloud);
  return out;
}

}  // namespace vandrel
