// Reads the plug-in's exported functions as the host's loader would:
//   [properties, api_version] = mex_exports_probe(plugin_path)
// properties   what emlrtMexFcnProperties returns
// api_version  1 x 2 double: the two values mexfilerequiredapiversion writes
// When the host has loaded the plug-in already, this is the same loaded instance.
#include <dlfcn.h>

#include <cstdint>

#include "mex.h"

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  if (nrhs != 1 || !mxIsChar(prhs[0])) mexErrMsgIdAndTxt("probe:usage", "usage: mex_exports_probe(plugin_path)");
  char* path = mxArrayToString(prhs[0]);
  void* plugin = dlopen(path, RTLD_NOW | RTLD_LOCAL);
  mxFree(path);
  if (plugin == nullptr) mexErrMsgIdAndTxt("probe:load", "%s", dlerror());

  auto* properties = reinterpret_cast<mxArray* (*)()>(dlsym(plugin, "emlrtMexFcnProperties"));
  auto* api_version = reinterpret_cast<void (*)(unsigned int*, unsigned int*)>(dlsym(plugin, "mexfilerequiredapiversion"));
  auto* entry = dlsym(plugin, "mexFunction");
  if (properties == nullptr || api_version == nullptr || entry == nullptr) {
    dlclose(plugin);
    mexErrMsgIdAndTxt("probe:symbol", "the plug-in does not export all three functions");
  }
  unsigned int built_by_rel = 0;
  unsigned int target_api_version = 0;
  api_version(&built_by_rel, &target_api_version);

  plhs[0] = properties();
  if (nlhs > 1) {
    plhs[1] = mxCreateDoubleMatrix(1, 2, mxREAL);
    mxGetPr(plhs[1])[0] = built_by_rel;
    mxGetPr(plhs[1])[1] = target_api_version;
  }
  dlclose(plugin);
}
