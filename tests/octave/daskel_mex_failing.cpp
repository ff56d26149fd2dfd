// A test build of DASKEL_mex whose working-buffer requests fail on demand.
//
//   DASKEL_mex_failing(failMask, costs, params, u0, ...)
//     runs the unchanged gateway on (costs, params, u0, ...); the r-th buffer request of the
//     call (r = 0..5, in request order) fails when bit r of failMask is set.
//   counts = DASKEL_mex_failing()
//     [buffers obtained and not yet released, requests made by the last call].
//
// The gateway object is compiled with mexFunction renamed to gatewayMexFunction, and the module
// is linked with --wrap=calloc,--wrap=free, so every allocation of the solver comes through here
// while the gateway and the solver stay exactly as shipped.
#include <cstdint>
#include <cstdlib>

#include "mex.h"

#undef mexFunction  // mex.h above declared the renamed gateway entry, gatewayMexFunction

extern "C" void* __real_calloc(std::size_t count, std::size_t size);
extern "C" void __real_free(void* pointer);

namespace {

uint32_t failMask = 0;
int requestsMade = 0;
int outstanding = 0;

}  // namespace

extern "C" void* __wrap_calloc(std::size_t count, std::size_t size) {
  const int request = requestsMade++;
  if (request < 32 && (failMask >> request & 1u) != 0) return nullptr;
  void* memory = __real_calloc(count, size);
  if (memory != nullptr) ++outstanding;
  return memory;
}

extern "C" void __wrap_free(void* pointer) {
  if (pointer != nullptr) --outstanding;
  __real_free(pointer);
}

extern "C" void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  if (nrhs == 0) {
    plhs[0] = mxCreateDoubleMatrix(1, 2, mxREAL);
    double* counts = mxGetPr(plhs[0]);
    counts[0] = outstanding;
    counts[1] = requestsMade;
    return;
  }
  failMask = static_cast<uint32_t>(mxGetScalar(prhs[0]));
  requestsMade = 0;
  gatewayMexFunction(nlhs, plhs, nrhs - 1, prhs + 1);
}
