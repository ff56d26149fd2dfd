// Host-free core of DASKEL_mex: soft multi-phase labelling by split Bregman with isotropic
// total variation.
//
// A Volume is rows x cols x phases 32-bit floats in column-major order: element (i, j, k) lies at
// i + rows * j + rows * cols * k. The pixel index p = i + rows * j addresses one position in every
// phase slice. The letter x marks differences from column to column (index step rows), the letter
// y differences from row to row (index step 1).
//
// The volumes the state owns (dx, dy, bx, by, outerPrev) keep their phase slices `phaseStride`
// elements apart instead: element (i, j, k) lies at i + rows * j + phaseStride * k. The stride is
// rows * cols, or a little more where slices of that size would share cache sets.
//
// Typical use:
//
//   daskel::SolverState state{};
//   if (daskel::initSolverState(state, rows, cols, phases, tvWeight, penalty, costs, u, print)) {
//     std::copy(u0, u0 + state.volumeSize, u);
//     daskel::runSolver(state);
//   }
//   daskel::releaseSolverState(state);
//
// Results are bit-identical on every build: all arithmetic follows one fixed sequence of IEEE
// operations, and the library is compiled without fused multiply-adds.
#ifndef DASKEL_SOLVER_SOLVER_HPP
#define DASKEL_SOLVER_SOLVER_HPP

#include <cstddef>
#include <cstdint>

namespace daskel {

// Receives each diagnostic line, including its final line feed.
using PrintRoutine = void (*)(const char* message);

// Where the working buffers come from. `obtain` must return `count * elementSize` zero-filled
// bytes, or null on failure; `release` gets back each non-null buffer. A default-constructed
// source (both routines null) uses calloc and free. A source must give both routines
// or neither: one with only one of them is refused by initSolverState.
struct BufferSource {
  void* (*obtain)(std::size_t count, std::size_t elementSize, void* context) = nullptr;
  void (*release)(void* buffer, void* context) = nullptr;
  void* context = nullptr;
};

// The working state of one solve. `SolverState state{};` is a valid empty state.
struct SolverState {
  int32_t rows = 0;              // M
  int32_t cols = 0;              // N
  int32_t phases = 0;            // K
  int32_t sliceSize = 0;         // M * N, pixels per phase
  int32_t volumeSize = 0;        // M * N * K, elements per Volume
  int32_t phaseStride = 0;       // elements from one phase slice to the next in an owned volume
  float tvWeight = 0.0f;         // weight of the total-variation term
  float penalty = 0.0f;          // split penalty
  float threshold2 = 0.0f;       // (tvWeight / penalty)^2, the squared shrink threshold
  float inv4Penalty = 0.0f;      // 1 / (4 penalty)
  float inv3Penalty = 0.0f;      // 1 / (3 penalty)
  float inv2Penalty = 0.0f;      // 1 / (2 penalty)
  const float* costs = nullptr;  // borrowed: one data-cost image per phase
  float* u = nullptr;            // borrowed: the labelling, updated in place
  float* dx = nullptr;           // owned: split gradient, x component
  float* dy = nullptr;           // owned: split gradient, y component
  float* bx = nullptr;           // owned: Bregman variable, x component
  float* by = nullptr;           // owned: Bregman variable, y component
  float* outerPrev = nullptr;    // owned: u at the start of the current outer iteration
  float* multiplier = nullptr;   // owned: one slice, per-pixel coupling of the phases
  float* paddedU = nullptr;      // owned where phaseStride > sliceSize: runSolver's copy of u
  BufferSource buffers{};        // the source the owned buffers came from
};

// Fills `state` for a solve of the given size and requests its six zero-filled buffers, in the
// order dx, dy, bx, by, outerPrev, multiplier. Every failed request passes
// "Memory allocation failure\n" to `print` (when not null) and the remaining requests are still
// made. Returns true when all six buffers were obtained; after a failed request the state keeps
// the buffers it did obtain, for releaseSolverState.
//
// Where the phase slices are padded (phaseStride > sliceSize), one more volume is requested
// after the six, paddedU, in which runSolver keeps a copy of u laid out as the owned volumes. It
// is optional: where it is refused, nothing is printed, and runSolver reads u where it is, to
// the same bits.
//
// Buffers that `state` still holds from an earlier set-up are released first, through the source
// they came from, so a state can be set up again without leaking. A state that is a copy of
// another shares the other's buffers and must not be set up again while the other is in use.
//
// The sizes must satisfy rows >= 2, cols >= 2, phases >= 1 with rows * cols * phases within the
// int32 range, `costs` and `u` must be non-null and `buffers` must give both of its routines or
// neither; otherwise nothing is requested, the state is left empty and the result is false.
// `costs` and `u` must hold rows * cols * phases elements.
//
// The labelling is defined for a finite tvWeight and a finite penalty of at least the smallest
// normal float, 1.17549e-38 (std::numeric_limits<float>::min()): the reciprocals of a smaller
// positive penalty overflow and make the labelling NaN. Like the costs and u0, these values are
// taken as they are.
bool initSolverState(SolverState& state, int32_t rows, int32_t cols, int32_t phases, float tvWeight,
                     float penalty, const float* costs, float* u, PrintRoutine print,
                     BufferSource buffers = BufferSource{});

// A caller's way to end a solve early, from another thread or a signal handler that sets a flag
// `requested` reads, or from a host that keeps its own (a pending interrupt). `requested` (when
// not null) is called with `context` on the thread that called runSolver, before every outer
// iteration that the stop rule lets run; returning true ends the solve there.
struct StopRequest {
  bool (*requested)(void* context) = nullptr;
  void* context = nullptr;
};

// Runs the split-Bregman iteration on the labelling in `state.u` (at most five outer iterations
// of two labelling sweeps and one shrinkage pass) and returns the number of outer iterations run.
// A state without all of its buffers is left untouched and gives 0.
//
// Where `stop` asks to end the solve, runSolver returns at once with the labelling of the outer
// iterations done so far in `state.u` (u0 where none was), its threads joined; the state keeps
// its buffers for releaseSolverState.
//
// `threads` is the number of threads the call may use: 1 runs it on the calling thread alone,
// 0 (or less) chooses, taking the environment variable DASKEL_NUM_THREADS where it holds a whole
// number from 1, else the CPUs this process may run on (its affinity mask, within its cgroup's
// CPU quota). No count takes more threads than those CPUs: more would only take turns on them.
// Grids too small to share leave threads out: at most one per eight interior columns is used,
// and the automatic count takes one per 262144 elements at most. The threads are started and
// joined within the call; the result is the same, bit for bit, for every count.
int32_t runSolver(SolverState& state, int32_t threads = 0, StopRequest stop = StopRequest{});

// The most threads a call of runSolver uses, however many CPUs there are.
constexpr int32_t kMaxSolverThreads = 256;

// Releases the owned buffers, in the order they were requested, and clears their pointers.
// Buffers that were never obtained are skipped, so this is safe on an empty or partly set-up
// state and idempotent. The borrowed `costs` and `u` are left alone.
void releaseSolverState(SolverState& state);

// Square root from the float's bit pattern and two Newton-Raphson steps on the reciprocal root.
// Falls short of the true root by up to about 4.7e-6 of it; the solver's only square root.
float approxSqrt(float x);

// One Gauss-Seidel pass over the labelling: rewrites every pixel's phase values in place,
// clamped to [0, 1] and renormalised to sum to one. Like runSolver, it leaves a state without
// all of its buffers untouched.
void labelSweep(SolverState& state);

// Isotropic shrinkage of the shifted gradient into dx, dy and the Bregman update of bx, by.
void shrinkUpdate(SolverState& state);

}  // namespace daskel

#endif  // DASKEL_SOLVER_SOLVER_HPP
