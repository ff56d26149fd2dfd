// The outer split-Bregman loop and its stop rule, run by the team of threads of one call.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>

#include "solver/cpu_count.hpp"
#include "solver/kernels.hpp"
#include "solver/solver.hpp"
#include "solver/team.hpp"

namespace daskel {
namespace {

using detail::ChangeSums;
using detail::Measure;
using detail::Shrink;

constexpr int32_t kMaxOuterIterations = 5;
constexpr float kStopTolerance = 1e-6f;
// Measures before the first iteration: far apart, so that the first stop test goes on.
constexpr float kInitialMeasure = 1e11f;
constexpr float kInitialPreviousMeasure = 1e10f;

// Elements per member below which the automatic count takes no further member. Below some
// 2^18 elements a second thread gains nothing on the development machine (256 x 256 x 2 and
// x 4, 200 x 300 x 3: 0.88 to 1.13 times one thread's speed), while 512 x 512 x 4 gains 1.4x:
// the team's start, its rounds and the wavefront's fill cost as much as they save.
constexpr int64_t kElementsPerAutomaticMember = int64_t{1} << 18;
// Elements in a chunk of the shrinkage that the members share out.
constexpr int32_t kShrinkChunkElements = 1 << 14;

// Squared change relative to the product of the two sums of squares.
float changeMeasure(const ChangeSums& sums) {
  return static_cast<float>(sums.changeSquares / (sums.previousSquares * sums.currentSquares));
}

// The snapshot and the two sweeps of an outer iteration, as a wavefront over the team.
void sweepTogether(SolverState& s, detail::Team& team, detail::Wavefront& wavefront,
                   const detail::LevelKernels& kernels) {
  detail::Wavefront* shared = team.members() > 1 ? &wavefront : nullptr;
  if (shared != nullptr) shared->beginRound(std::max(1, detail::bandPairs(s)));
  auto sweep = [&](int32_t member) { kernels.sweepIteration(s, shared, member); };
  team.run(sweep);
}

// The shrinkage and the change sums of an outer iteration over the team. The sums are chains of
// additions in index order, which only one member can form: member 0 adds every chunk of
// columns in order and shrinks those it takes from the front, while the other members shrink
// chunks from the back, until the two ends meet.
ChangeSums shrinkAndMeasureTogether(SolverState& s, detail::Team& team, Measure measure,
                                    const detail::LevelKernels& kernels) {
  const int32_t columns = s.phases * s.cols;
  const int32_t perChunk = std::max(1, kShrinkChunkElements / s.rows);
  const int32_t chunks = (columns + perChunk - 1) / perChunk;
  detail::TwoEndedChunks queue(chunks);
  ChangeSums sums;
  auto shrink = [&](int32_t member) {
    const auto columnsOf = [&](int32_t chunk, Shrink what, Measure sumsToAdd, ChangeSums from) {
      return kernels.shrinkColumns(s, what, sumsToAdd, chunk * perChunk,
                                   std::min(columns, (chunk + 1) * perChunk), from);
    };
    if (member == 0) {
      for (int32_t chunk = 0; chunk < chunks; ++chunk) {
        const Shrink what = queue.takeFront() == chunk ? Shrink::yes : Shrink::no;
        sums = columnsOf(chunk, what, measure, sums);
      }
      return;
    }
    for (int32_t chunk = queue.takeBack(); chunk >= 0; chunk = queue.takeBack()) {
      columnsOf(chunk, Shrink::yes, Measure::none, ChangeSums{});
    }
  };
  team.run(shrink);
  return sums;
}

bool stopRequested(const StopRequest& stop) {
  return stop.requested != nullptr && stop.requested(stop.context);
}

// The outer loop on a state with all of its buffers, on a team of `members` threads.
int32_t solve(SolverState& state, int32_t members, const StopRequest& stop,
              const detail::LevelKernels& kernels) {
  detail::Team team(members);
  detail::Wavefront wavefront(team);
  float measure = kInitialMeasure;
  float previousMeasure = kInitialPreviousMeasure;
  int32_t outerIteration = 0;
  double lastSquares = 0.0;  // sum of u^2 of the last change measure
  for (;;) {
    // Go on only while the measure still moves; a NaN difference stops the loop too.
    const double d = std::fabs(static_cast<double>(measure) - static_cast<double>(previousMeasure));
    if (!(d > static_cast<double>(kStopTolerance))) break;
    if (outerIteration >= kMaxOuterIterations) break;
    if (stopRequested(stop)) break;

    // The sweeps take the snapshot outerPrev = u as they first read u, and the second reuses the
    // multipliers of the first: nothing they read has changed.
    sweepTogether(state, team, wavefront, kernels);
    // The shrinkage does not change u, so the change measure can be summed in the same pass.
    // From the second iteration on, outerPrev is the u of the last pass, whose sum of squares
    // that pass has formed.
    ChangeSums sums = shrinkAndMeasureTogether(
        state, team, outerIteration > 0 ? Measure::withoutPrevious : Measure::all, kernels);
    if (outerIteration > 0) sums.previousSquares = lastSquares;
    lastSquares = sums.currentSquares;

    ++outerIteration;
    previousMeasure = measure;
    measure = changeMeasure(sums);
  }
  return outerIteration;
}

// `count` floats of every phase slice, from slices `fromStride` apart to slices `toStride` apart.
void copySlices(float* to, int32_t toStride, const float* from, int32_t fromStride, int32_t count,
                int32_t phases) {
  for (int32_t k = 0; k < phases; ++k) {
    std::memcpy(to + static_cast<std::size_t>(toStride) * k,
                from + static_cast<std::size_t>(fromStride) * k,
                static_cast<std::size_t>(count) * sizeof(float));
  }
}

}  // namespace

namespace detail {

// The members of the team: those asked for (0 or less: the automatic count), but no more than
// the CPUs this process may run on (more members than CPUs only take turns, and at 256 on 2 CPUs
// took 16 times as long) nor than the pairs of bands that the sweeps can run at once; the
// automatic count also leaves out members that would have too little to do.
int32_t teamSize(const SolverState& s, int32_t threads) {
  if (threads == 1) return 1;
  const int32_t units = std::clamp(bandPairs(s), 1, kMaxThreads);
  if (threads > 1) return std::min(units, threadsFor(threads));
  const int64_t worthwhile = std::max<int64_t>(1, s.volumeSize / kElementsPerAutomaticMember);
  const auto cap = static_cast<int32_t>(std::min<int64_t>(units, worthwhile));
  return cap == 1 ? 1 : std::min(cap, automaticThreadCount());
}

SolverState withPaddedCopy(const SolverState& s) {
  copySlices(s.paddedU, s.phaseStride, s.u, s.sliceSize, s.sliceSize, s.phases);
  SolverState copy = s;
  copy.u = s.paddedU;
  copy.sliceSize = s.phaseStride;
  return copy;
}

void copyLabellingBack(SolverState& s) {
  copySlices(s.u, s.sliceSize, s.paddedU, s.phaseStride, s.sliceSize, s.phases);
}

int32_t runOnTeam(SolverState& state, int32_t members, StopRequest stop,
                  const LevelKernels& kernels) {
  if (!hasAllBuffers(state)) return 0;
  members = std::clamp(members, 1, std::clamp(bandPairs(state), 1, kMaxThreads));
  // Without the copy (none needed, or none obtained) the kernels read u where it is: the same
  // bits.
  if (state.paddedU == nullptr) return solve(state, members, stop, kernels);
  SolverState padded = withPaddedCopy(state);
  const int32_t iterations = solve(padded, members, stop, kernels);
  copyLabellingBack(state);
  return iterations;
}

}  // namespace detail

int32_t runSolver(SolverState& state, int32_t threads, StopRequest stop) {
  if (!detail::hasAllBuffers(state)) return 0;
  return detail::runOnTeam(state, detail::teamSize(state, threads), stop);
}

}  // namespace daskel
