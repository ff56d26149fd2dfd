// Entry points of the kernels that the driver schedules differently from the public calls, and
// the choice of their instruction-set level.
#ifndef DASKEL_SOLVER_KERNELS_HPP
#define DASKEL_SOLVER_KERNELS_HPP

#include "solver/solver.hpp"

namespace daskel::detail {

class Wavefront;  // solver/team.hpp

// Whether `state` has the caller's costs and u and all six buffers it owns (dx, dy, bx, by,
// outerPrev, multiplier): runSolver and labelSweep leave a state without them alone.
inline bool hasAllBuffers(const SolverState& s) {
  return s.costs != nullptr && s.u != nullptr && s.dx != nullptr && s.dy != nullptr &&
         s.bx != nullptr && s.by != nullptr && s.outerPrev != nullptr && s.multiplier != nullptr;
}

// The shape of the sweeps' schedule (solver/sweep.cpp, solver/README.md), which the driver needs
// to share the work out: interior columns run in bands of kBandColumns, each column kSkewRows
// rows behind the one before; a band's columns run in SIMD lanes up to kLaneMaxPhases phases.
// A band fills and drains its skew in (kBandColumns - 1) kSkewRows steps, which short columns
// pay in full and which spaces the pairs of the wavefront: 8 rows swept 10 to 21 % faster than
// 16 on columns of 32 to 128 rows, 4 to 8 % on 300 x 2000 x 3 and 512^2 x 8, and within 2 to 5 %
// of it, either way, on tall columns of a power-of-two size. With the recurrence unrolled and the
// trailing sweep interleaved (solver/sweep.cpp), 2 rows solved 300 x 2000 x 3 7 to 8 % faster
// than 8 (avx2 and avx512), 256^2 x 4 5 %, 512^2 x 8 1 to 2 %, 1000^2 x 4 within 1 %, and two
// threads within 2 %; 1 row was no faster than 2, 3 rows slower.
constexpr int32_t kBandColumns = 8;
constexpr int32_t kSkewRows = 2;
constexpr int32_t kLaneMaxPhases = 16;

// The pairs of bands in which the driver's two sweeps run, the second sweep's band one column to
// the left of the first's and trailing it: one per full lane band of the first sweep; 0 where
// the grid is too small for one or has too many phases for the lanes, and the two sweeps run
// one after the other.
int32_t bandPairs(const SolverState& state);

// Whether a sweep forms the multipliers or finds them already in `state.multiplier`. They read
// only dx, dy, bx, by and costs, none of which a sweep changes, so the second sweep of an outer
// iteration may reuse what the first stored.
enum class Multipliers { compute, reuse };

void sweepLabels(SolverState& state, Multipliers multipliers);

// Two sweeps in a row, the second reusing the multipliers of the first: what
// sweepLabels(compute) then sweepLabels(reuse) give, in one schedule.
void sweepLabelsTwice(SolverState& state);

// One member's part of an outer iteration's sweeps: the snapshot outerPrev = u, then the two
// sweeps of sweepLabelsTwice, as a wavefront of band pairs over the members of `wavefront`'s
// team (null: member 0 alone), which must all call it.
void sweepIteration(SolverState& state, Wavefront* wavefront, int32_t member);

// The three sums of the change measure, each accumulated in index order.
struct ChangeSums {
  double previousSquares = 0.0;  // sum of outerPrev^2
  double currentSquares = 0.0;   // sum of u^2
  double changeSquares = 0.0;    // sum of (u - outerPrev)^2
};

// shrinkUpdate, and in the same pass over u the sums of the change measure against outerPrev.
// With `knownPreviousSquares`, the sum of outerPrev^2 is taken from there instead: when outerPrev
// is a copy of the u of the pass before, it is that pass's sum of u^2, the same terms added in
// the same order.
ChangeSums shrinkAndMeasure(SolverState& state, const double* knownPreviousSquares = nullptr);

// Whether a pass over columns shrinks them or only adds them to the change sums.
enum class Shrink { no, yes };

// `state` with u replaced by its padded copy (paddedU), which is filled from it: u then keeps its
// phase slices phaseStride apart, as the owned volumes do, so that no volume's phases share cache
// sets (the costs, read once per sweep, stay where they are), and the result's sliceSize is that
// stride. runSolver solves on it and then copies the labelling back with copyLabellingBack.
SolverState withPaddedCopy(const SolverState& state);
void copyLabellingBack(SolverState& state);

// How many threads runSolver(state, threads) takes for its team.
int32_t teamSize(const SolverState& state, int32_t threads);

// ---- Instruction-set levels (solver/lanes.hpp) ----

// The levels in increasing width. Every level gives the same bits.
enum class KernelLevel { scalar, sse2, avx2, avx512 };

const char* kernelLevelName(KernelLevel level);

// The widest level that this build has and this processor runs.
KernelLevel bestKernelLevel();

// The level named by `requested` ("scalar", "sse2", "avx2" or "avx512") when it is not beyond
// `best`;
// `best` for a null or unknown name and for a level beyond it.
KernelLevel chooseKernelLevel(const char* requested, KernelLevel best);

// The level every kernel call runs at: chooseKernelLevel of the environment variable
// DASKEL_KERNELS and bestKernelLevel(), taken once per process.
KernelLevel activeKernelLevel();

// Which sums of the change measure a shrinkage pass forms besides the shrinkage.
enum class Measure {
  none,
  all,
  withoutPrevious,  // the sum of outerPrev^2 is known from the pass before (left at 0 here)
};

// The kernels of one level; each level's compile of sweep.cpp and shrink.cpp defines them.
template <KernelLevel level>
void sweepLabelsAt(SolverState& state, Multipliers multipliers);
template <KernelLevel level>
void sweepLabelsTwiceAt(SolverState& state);
template <KernelLevel level>
void sweepIterationAt(SolverState& state, Wavefront* wavefront, int32_t member);
template <KernelLevel level>
ChangeSums shrinkPassAt(SolverState& state, Measure measure);
template <KernelLevel level>
ChangeSums shrinkColumnsAt(SolverState& state, Shrink shrink, Measure measure, int32_t begin,
                           int32_t end, ChangeSums sums);

struct LevelKernels {
  void (*sweepLabels)(SolverState&, Multipliers);
  void (*sweepLabelsTwice)(SolverState&);
  void (*sweepIteration)(SolverState&, Wavefront*, int32_t member);
  ChangeSums (*shrinkPass)(SolverState&, Measure);
  // The columns [begin, end) of the volume, counted over the phases (column j of phase k is
  // k * cols + j), in index order: shrunk, and added to the change sums that `measure` names,
  // which go on from `sums`.
  ChangeSums (*shrinkColumns)(SolverState&, Shrink, Measure, int32_t begin, int32_t end,
                              ChangeSums sums);
};

// The kernels of `level`; those of the scalar level for a level this build lacks. A level
// beyond bestKernelLevel() may use instructions the processor lacks.
const LevelKernels& levelKernels(KernelLevel level);

// The kernels of activeKernelLevel().
const LevelKernels& activeKernels();

// runSolver on a team of `members` threads (at most one per pair of bands), however many CPUs
// this process may use, where runSolver takes no more than those: the tests run teams of more
// members than the machine has CPUs. `kernels` are those of one level (levelKernels), so that
// one process can solve at every level the processor has.
int32_t runOnTeam(SolverState& state, int32_t members, StopRequest stop = StopRequest{},
                  const LevelKernels& kernels = activeKernels());

}  // namespace daskel::detail

#endif  // DASKEL_SOLVER_KERNELS_HPP
