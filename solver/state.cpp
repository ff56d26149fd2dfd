// Set-up and tear-down of the working state.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdlib>
#include <limits>

#include "solver/huge_pages.hpp"
#include "solver/solver.hpp"

namespace daskel {
namespace {

using BufferField = float* SolverState::*;

// The owned buffers in request order; release walks the same list.
std::array<BufferField, 6> ownedBuffers() {
  return {&SolverState::dx, &SolverState::dy,        &SolverState::bx,
          &SolverState::by, &SolverState::outerPrev, &SolverState::multiplier};
}

bool sizesWithinLimits(int32_t rows, int32_t cols, int32_t phases) {
  constexpr int64_t kMaxElements = std::numeric_limits<int32_t>::max();
  if (rows < 2 || cols < 2 || phases < 1) return false;
  // Two factors below 2^31 cannot overflow 64 bits, three can: the slice is checked first.
  const int64_t slice = int64_t{rows} * cols;
  return slice <= kMaxElements && slice * phases <= kMaxElements;
}

// Both routines or neither: a buffer from one allocator must go back to the same one.
bool usableSource(const BufferSource& buffers) {
  return (buffers.obtain == nullptr) == (buffers.release == nullptr);
}

// A zero-filled buffer of `count` floats, the `requestIndex`th of the state's requests: from the
// caller's source, else the default one (huge pages for large buffers, solver/huge_pages.hpp,
// calloc for the others).
float* obtainZeroed(const BufferSource& buffers, int32_t count, int requestIndex) {
  const auto n = static_cast<std::size_t>(count);
  void* memory = nullptr;
  if (buffers.obtain != nullptr) {
    memory = buffers.obtain(n, sizeof(float), buffers.context);
  } else if (detail::takesHugePages(n * sizeof(float))) {
    memory = detail::obtainInHugePages(n * sizeof(float), requestIndex);
  } else {
    memory = std::calloc(n, sizeof(float));
  }
  return static_cast<float*>(memory);
}

void releaseBuffer(const BufferSource& buffers, float* buffer, int32_t count) {
  if (buffer == nullptr) return;
  if (buffers.release != nullptr) {
    buffers.release(buffer, buffers.context);
  } else if (detail::takesHugePages(static_cast<std::size_t>(count) * sizeof(float))) {
    detail::releaseFromHugePages(buffer);
  } else {
    std::free(buffer);
  }
}

int32_t bufferCount(const SolverState& state, BufferField buffer) {
  return buffer == &SolverState::multiplier ? state.sliceSize : state.phases * state.phaseStride;
}

// The span of one way of each cache level (48 KiB of 12 ways, 1 MiB of 8, 32 MiB of 16 on the
// development machine), and how close two phase starts may lie modulo it before their lines
// compete for the same sets: a block of a sweep reads some 64 rows of each phase at once, and the
// last level holds whole stretches of columns between the two sweeps. Buffers from the default
// source are placed in huge pages, so that their offsets modulo 2 MiB are those of the memory
// the last level indexes. 2 MiB has room for 16 phases 128 KiB apart, so no more are checked.
struct WaySpan {
  int64_t span;
  int64_t near;
  int32_t phasesChecked;
};
constexpr WaySpan kWaySpans[] = {{int64_t{4} << 10, 256, 64},
                                 {int64_t{128} << 10, int64_t{4} << 10, 64},
                                 {int64_t{2} << 20, int64_t{128} << 10, 16}};
// More phases than this starting near each other in some way span share too many sets.
constexpr int32_t kMostSharing = 4;
// Where a phase's left, own and right columns also start on the same sets of the first level, more
// phases than this do. Warm solves of 1024^2 x 3 and x 4 (4 KiB columns) ran 1.07 and 1.17 times
// faster padded, 1024^2 x 2 1.08 times slower.
constexpr int32_t kMostSharingWithColumns = 2;

// Whether the columns a sweep's gathering reads together (left, own, right) start on the same sets
// of the 4 KiB way: whether a column's bytes are within a cache line of a multiple of 4 KiB.
bool columnsShareSets(int64_t columnBytes) {
  constexpr int64_t kWay = int64_t{4} << 10;
  constexpr int64_t kLine = 64;
  const int64_t apart = columnBytes % kWay;
  return std::min(apart, kWay - apart) < kLine;
}

// Whether phase slices `strideBytes` apart would start on the same cache sets: whether more than
// the most sharing of the first phases lie within `near` of each other modulo one of the way spans.
bool phasesShareSets(int64_t strideBytes, int32_t phases, int64_t columnBytes) {
  for (const WaySpan& way : kWaySpans) {
    const int32_t checked = std::min(phases, way.phasesChecked);
    const bool firstLevel = way.span == kWaySpans[0].span;
    const int32_t most =
        firstLevel && columnsShareSets(columnBytes) ? kMostSharingWithColumns : kMostSharing;
    for (int32_t a = 0; a < checked; ++a) {
      int32_t near = 0;
      for (int32_t b = 0; b < checked; ++b) {
        const int64_t apart = ((b - a) * strideBytes % way.span + way.span) % way.span;
        if (std::min(apart, way.span - apart) < way.near) ++near;
      }
      if (near > most) return true;
    }
  }
  return false;
}

// Where consecutive phase slices of an owned volume start: rows * cols elements apart, unless
// the phases would share cache sets in a slice of 64 KiB or more (smaller ones stay cached
// whole). Such slices are padded to an odd number of 4 KiB pages and 256 bytes more, the first
// such number whose phase starts lie apart in every way span: up to 16 phases then start 256
// bytes apart modulo 4 KiB, in different 4 KiB parts of 128 KiB, and far apart modulo 2 MiB.
// Where no number of up to 64 pages more does, the first odd one is taken; where the padded
// volume would leave the int32 range, the slices stay unpadded. Sweeps of 1024^2 x 16 took 1.6
// times as long per element as 1000^2 x 16 unpadded, 1.3 to 1.45 times with the phases one page
// apart modulo 2 MiB (1025 pages), 1.03 to 1.10 times 17 pages apart (1041).
int32_t phaseStrideFor(int32_t rows, int32_t sliceSize, int32_t phases) {
  constexpr int64_t kPageFloats = 1024;  // 4 KiB
  constexpr int64_t kShiftFloats = 64;   // 256 bytes, four cache lines
  constexpr int64_t kMostExtraPages = 64;
  constexpr int64_t kFloatBytes = sizeof(float);
  const int64_t sliceBytes = int64_t{sliceSize} * kFloatBytes;
  const int64_t columnBytes = int64_t{rows} * kFloatBytes;
  if (sliceBytes < (int64_t{64} << 10) || !phasesShareSets(sliceBytes, phases, columnBytes)) {
    return sliceSize;
  }
  int64_t firstPages = (int64_t{sliceSize} + kPageFloats - 1) / kPageFloats;
  if (firstPages % 2 == 0) ++firstPages;
  int64_t stride = firstPages * kPageFloats + kShiftFloats;
  for (int64_t pages = firstPages; pages <= firstPages + kMostExtraPages; pages += 2) {
    const int64_t candidate = pages * kPageFloats + kShiftFloats;
    if (!phasesShareSets(candidate * kFloatBytes, phases, columnBytes)) {
      stride = candidate;
      break;
    }
  }
  if (stride * phases > std::numeric_limits<int32_t>::max()) return sliceSize;
  return static_cast<int32_t>(stride);
}

void releasePaddedCopy(SolverState& state) {
  releaseBuffer(state.buffers, state.paddedU, state.phases * state.phaseStride);
  state.paddedU = nullptr;
}

}  // namespace

bool initSolverState(SolverState& state, int32_t rows, int32_t cols, int32_t phases, float tvWeight,
                     float penalty, const float* costs, float* u, PrintRoutine print,
                     BufferSource buffers) {
  releaseSolverState(state);  // a state set up before gives its buffers back first
  state = SolverState{};
  if (!sizesWithinLimits(rows, cols, phases) || costs == nullptr || u == nullptr ||
      !usableSource(buffers)) {
    return false;
  }

  state.rows = rows;
  state.cols = cols;
  state.phases = phases;
  state.sliceSize = rows * cols;
  state.volumeSize = state.sliceSize * phases;
  state.phaseStride = phaseStrideFor(rows, state.sliceSize, phases);
  state.tvWeight = tvWeight;
  state.penalty = penalty;

  // The quotient and the products stay in double; only the stored constants are rounded.
  const double quotient = static_cast<double>(tvWeight) / static_cast<double>(penalty);
  state.threshold2 = static_cast<float>(quotient * quotient);
  state.inv4Penalty = static_cast<float>(1.0 / (4.0 * static_cast<double>(penalty)));
  state.inv3Penalty = static_cast<float>(1.0 / (3.0 * static_cast<double>(penalty)));
  state.inv2Penalty = static_cast<float>(1.0 / (2.0 * static_cast<double>(penalty)));

  state.costs = costs;
  state.u = u;
  state.buffers = buffers;

  bool complete = true;
  int requestIndex = 0;
  for (BufferField buffer : ownedBuffers()) {
    state.*buffer = obtainZeroed(buffers, bufferCount(state, buffer), requestIndex++);
    if (state.*buffer == nullptr) {
      complete = false;
      if (print != nullptr) print("Memory allocation failure\n");
    }
  }
  if (complete && state.phaseStride != state.sliceSize) {
    state.paddedU = obtainZeroed(buffers, state.phases * state.phaseStride, requestIndex);
  }
  return complete;
}

void releaseSolverState(SolverState& state) {
  releasePaddedCopy(state);
  for (BufferField buffer : ownedBuffers()) {
    releaseBuffer(state.buffers, state.*buffer, bufferCount(state, buffer));
    state.*buffer = nullptr;
  }
}

}  // namespace daskel
