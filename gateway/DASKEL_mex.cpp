// MEX driver of DASKEL_mex: u = DASKEL_mex(costs, params, u0).
//
// Checks the inputs, creates the single-precision result [rows, cols, phases], sets up the
// working state, copies u0 into the result and runs the host-free solver on it in place. Every
// fault is raised as a host error with an identifier "DASKEL_mex:..." before any data is read,
// and leaves no output behind. Built for GNU Octave (DASKEL_MEX_OCTAVE), the solve also ends at
// the user's interrupt. The help text is in DASKEL_mex.m.
#include <cmath>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "mex.h"
#include "solver/solver.hpp"

#if defined(DASKEL_MEX_OCTAVE)
#include <octave/quit.h>
#endif

namespace {

enum { IN_COSTS = 0, IN_PARAMS, IN_U0, IN_END };
enum { OUT_U = 0, OUT_END };
enum { PARAM_ROWS = 0, PARAM_COLS, PARAM_PHASES, PARAM_TV_WEIGHT, PARAM_PENALTY, PARAM_END };

const char* const kInputNames[IN_END] = {"costs", "params", "u0"};
const char* const kDimensionNames[PARAM_TV_WEIGHT] = {"rows", "cols", "phases"};
const int32_t kDimensionMinimum[PARAM_TV_WEIGHT] = {2, 2, 1};
constexpr int64_t kMaxVolume = std::numeric_limits<int32_t>::max();
// The solver's reciprocals of the penalty overflow below the smallest normal float.
constexpr float kMinPenalty = std::numeric_limits<float>::min();

#if defined(__GNUC__)
#define DASKEL_PRINTF_LIKE __attribute__((format(printf, 2, 3)))
#else
#define DASKEL_PRINTF_LIKE
#endif

// Raises a host error. The message is formatted here so that every host shows the same text.
[[noreturn]] void fail(const char* id, const char* format, ...) DASKEL_PRINTF_LIKE;
void fail(const char* id, const char* format, ...) {
  char message[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  mexErrMsgIdAndTxt(id, "%s", message);
  std::abort();  // not reached: the host does not come back from mexErrMsgIdAndTxt
}

// A float as the host shows it: NaN, Inf, -Inf, or the digits that tell it apart.
struct ValueText {
  char text[32];
};
ValueText describe(float value) {
  ValueText out{};
  if (std::isnan(value)) {
    std::snprintf(out.text, sizeof out.text, "NaN");
  } else if (std::isinf(value)) {
    std::snprintf(out.text, sizeof out.text, "%s", value > 0.0f ? "Inf" : "-Inf");
  } else {
    std::snprintf(out.text, sizeof out.text, "%.9g", value);
  }
  return out;
}

// Whether a block of `bytes` can be had just now. When the host cannot allocate an array it
// raises its own error, which has no identifier (Octave: "DASKEL_mex: failed to allocate N bytes
// of memory"); asking the C allocator for the same size first lets the usual shortage, where the
// memory is simply not there, raise DASKEL_mex:outOfMemory instead.
bool blockAvailable(std::size_t bytes) {
  void* trial = std::malloc(bytes);
  std::free(trial);
  return trial != nullptr;
}

void printToHost(const char* message) {
  mexPrintf("%s", message);
}

// The user's interrupt (Ctrl-C), which the solver asks for before every outer iteration. Octave's
// signal handler, on a thread of its own, counts a pending interrupt in octave_interrupt_state.
// MATLAB shows a MEX file no pending interrupt, so there the solve runs to its end and MATLAB
// takes the interrupt once the call has returned.
#if defined(DASKEL_MEX_OCTAVE)
bool interruptPending(void* /*context*/) {
  return octave_interrupt_state > 0;
}
const daskel::StopRequest kHostInterrupt{interruptPending, nullptr};

// Hands the pending interrupt to Octave, which unwinds the call as it does its own code.
// octave_quit throws Octave's interrupt exception: the handler that counted the interrupt also
// set octave_signal_caught. The exception is thrown here directly should the flag have been
// taken already.
[[noreturn]] void raiseInterrupt() {
  octave_quit();
  throw octave::interrupt_exception();
}
#else
const daskel::StopRequest kHostInterrupt{};
#endif

void checkRealSingle(const mxArray* array, int position) {
  if (mxIsSingle(array) && !mxIsComplex(array) && !mxIsSparse(array)) return;
  fail("DASKEL_mex:inputNotRealSingle",
       "Input %d (%s) must be a real, non-sparse single-precision array; got a%s%s %s array.",
       position + 1, kInputNames[position], mxIsComplex(array) ? " complex" : "",
       mxIsSparse(array) ? " sparse" : "", mxGetClassName(array));
}

// One of params(1..3), truncated toward zero. The value must be finite and inside the int32
// range first: a float outside it has no int32 truncation.
int32_t dimensionFrom(const float* params, int element) {
  const float value = params[element];
  const char* name = kDimensionNames[element];
  if (!std::isfinite(value) || !(value > -2147483649.0 && value < 2147483648.0)) {
    fail("DASKEL_mex:invalidDimension",
         "params(%d) (%s) must be a finite number within the int32 range; got %s.", element + 1,
         name, describe(value).text);
  }
  const auto dimension = static_cast<int32_t>(value);
  if (dimension < kDimensionMinimum[element]) {
    fail("DASKEL_mex:invalidDimension",
         "params(%d) (%s) must be at least %d after truncation toward zero; got %s, which "
         "truncates to %d.",
         element + 1, name, kDimensionMinimum[element], describe(value).text, dimension);
  }
  return dimension;
}

void checkHoldsVolume(const mxArray* array, int position, int32_t volumeSize) {
  const std::size_t elements = mxGetNumberOfElements(array);
  if (elements >= static_cast<std::size_t>(volumeSize)) return;
  fail("DASKEL_mex:inputTooSmall",
       "Input %d (%s) must hold at least rows*cols*phases = %d elements; got %llu.", position + 1,
       kInputNames[position], volumeSize, static_cast<unsigned long long>(elements));
}

}  // namespace

void mexFunction(int nlhs, mxArray* plhs[], int nrhs, const mxArray* prhs[]) {
  // Inputs beyond the third are ignored; the result is produced also when nlhs is 0.
  if (nrhs < IN_END) {
    fail("DASKEL_mex:notEnoughInputs", "Three inputs expected (costs, params, u0); got %d.", nrhs);
  }
  if (nlhs > OUT_END) {
    fail("DASKEL_mex:tooManyOutputs", "One output (u) is returned; %d were requested.", nlhs);
  }
  for (int position = 0; position < IN_END; ++position) checkRealSingle(prhs[position], position);

  // params may have any shape; elements beyond the fifth are ignored.
  const std::size_t paramCount = mxGetNumberOfElements(prhs[IN_PARAMS]);
  if (paramCount < PARAM_END) {
    fail("DASKEL_mex:paramsTooShort",
         "Input 2 (params) must hold at least 5 elements [rows, cols, phases, tvWeight, "
         "penalty]; got %llu.",
         static_cast<unsigned long long>(paramCount));
  }
  const auto* params = static_cast<const float*>(mxGetData(prhs[IN_PARAMS]));
  const int32_t rows = dimensionFrom(params, PARAM_ROWS);
  const int32_t cols = dimensionFrom(params, PARAM_COLS);
  const int32_t phases = dimensionFrom(params, PARAM_PHASES);
  // Each factor is below 2^31, so rows * cols fits in 64 bits; it is checked before the third
  // factor could overflow them.
  const int64_t sliceSize = int64_t{rows} * cols;
  if (sliceSize > kMaxVolume || sliceSize * phases > kMaxVolume) {
    fail("DASKEL_mex:volumeTooLarge", "rows*cols*phases must not exceed %lld; got %d*%d*%d.",
         static_cast<long long>(kMaxVolume), rows, cols, phases);
  }
  const auto volumeSize = static_cast<int32_t>(sliceSize * phases);
  checkHoldsVolume(prhs[IN_COSTS], IN_COSTS, volumeSize);
  checkHoldsVolume(prhs[IN_U0], IN_U0, volumeSize);

  const float tvWeight = params[PARAM_TV_WEIGHT];
  if (!std::isfinite(tvWeight)) {
    fail("DASKEL_mex:invalidTvWeight", "params(4) (tvWeight) must be finite; got %s.",
         describe(tvWeight).text);
  }
  const float penalty = params[PARAM_PENALTY];
  if (!std::isfinite(penalty) || !(penalty > 0.0f)) {
    fail("DASKEL_mex:invalidPenalty",
         "params(5) (penalty) must be a finite positive number; got %s.", describe(penalty).text);
  }
  if (penalty < kMinPenalty) {
    fail("DASKEL_mex:penaltyTooSmall",
         "params(5) (penalty) must be at least %.9g, the smallest normal single; got %s.",
         static_cast<double>(kMinPenalty), describe(penalty).text);
  }

  // The result, [rows, cols, phases]; a trailing phase dimension of 1 is dropped by the host.
  // It is created before the working buffers exist, so that an error the host raises from its
  // own allocation leaves nothing of this call behind.
  const std::size_t resultBytes = static_cast<std::size_t>(volumeSize) * sizeof(float);
  const mwSize dims[3] = {static_cast<mwSize>(rows), static_cast<mwSize>(cols),
                          static_cast<mwSize>(phases)};
  mxArray* result =
      blockAvailable(resultBytes) ? mxCreateNumericArray(3, dims, mxSINGLE_CLASS, mxREAL) : nullptr;
  if (result == nullptr) {
    fail("DASKEL_mex:outOfMemory", "The %d x %d x %d result could not be created.", rows, cols,
         phases);
  }
  auto* u = static_cast<float*>(mxGetData(result));
  const auto* costs = static_cast<const float*>(mxGetData(prhs[IN_COSTS]));
  const auto* u0 = static_cast<const float*>(mxGetData(prhs[IN_U0]));

  // The working buffers are requested before u0 is copied. Each failed request has printed
  // its line; the unfinished result is discarded rather than returned.
  daskel::SolverState state{};
  if (!daskel::initSolverState(state, rows, cols, phases, tvWeight, penalty, costs, u,
                               printToHost)) {
    daskel::releaseSolverState(state);
    mxDestroyArray(result);
    fail("DASKEL_mex:outOfMemory",
         "Not enough memory for the working buffers of a %d x %d x %d labelling.", rows, cols,
         phases);
  }
  // Bit patterns pass unchanged, NaN payloads and negative zeros included.
  std::memcpy(u, u0, static_cast<std::size_t>(volumeSize) * sizeof(float));
  // On the automatic count of threads (DASKEL_NUM_THREADS, else the CPUs this process may use),
  // all of them joined before the call returns.
  daskel::runSolver(state, 0, kHostInterrupt);
  daskel::releaseSolverState(state);
#if defined(DASKEL_MEX_OCTAVE)
  // An interrupt ended the solve, or came after its last outer iteration: the labelling is
  // discarded, never returned, and the interrupt goes on once nothing of the call is left.
  if (interruptPending(nullptr)) {
    mxDestroyArray(result);
    raiseInterrupt();
  }
#endif
  plhs[OUT_U] = result;
}
