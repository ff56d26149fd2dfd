// A test build of DASKEL_mex whose allocations fail on demand.
//
//   DASKEL_mex_failing(failMask, costs, params, u0, ...)
//     runs the unchanged gateway on (costs, params, u0, ...); the r-th buffer request of the
//     call (r = 0..5, in request order) fails when bit r of failMask is set. Bit 6 fails the
//     gateway's malloc, its trial of the result's size; bit 7 makes the host's creation of the
//     result raise an error without identifier, as Octave's does when it runs out of memory.
//   counts = DASKEL_mex_failing()
//     [blocks obtained and not yet released, buffer requests made by the last call].
//
// The gateway object is compiled with mexFunction renamed to gatewayMexFunction, and the module
// is linked with --wrap for calloc, malloc, free and mxCreateNumericArray, so every allocation
// of the gateway and the solver comes through here while both stay exactly as shipped.
#include <cstdint>
#include <cstdlib>

#include "mex.h"

#undef mexFunction  // mex.h above declared the renamed gateway entry, gatewayMexFunction

extern "C" void* __real_calloc(std::size_t count, std::size_t size);
extern "C" void* __real_malloc(std::size_t size);
extern "C" void __real_free(void* pointer);
extern "C" mxArray* __real_mxCreateNumericArray(mwSize ndim, const mwSize* dims,
                                                 mxClassID classid, mxComplexity flag);

namespace {

constexpr uint32_t kFailMalloc = 1u << 6;
constexpr uint32_t kHostRaisesForResult = 1u << 7;

uint32_t failMask = 0;
int requestsMade = 0;
int outstanding = 0;

}  // namespace

extern "C" void* __wrap_malloc(std::size_t size) {
  if ((failMask & kFailMalloc) != 0) return nullptr;
  void* memory = __real_malloc(size);
  if (memory != nullptr) ++outstanding;
  return memory;
}

extern "C" mxArray* __wrap_mxCreateNumericArray(mwSize ndim, const mwSize* dims,
                                                 mxClassID classid, mxComplexity flag) {
  if ((failMask & kHostRaisesForResult) != 0) {
    mexErrMsgTxt("DASKEL_mex: failed to allocate the result (simulated)");
  }
  return __real_mxCreateNumericArray(ndim, dims, classid, flag);
}

extern "C" void* __wrap_calloc(std::size_t count, std::size_t size) {
  const int request = requestsMade++;
  if (request < 6 && (failMask >> request & 1u) != 0) return nullptr;
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
