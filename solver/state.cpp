// Set-up and tear-down of the working state.
#include <array>
#include <cstdlib>
#include <limits>

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
  if (rows < 2 || cols < 2 || phases < 1) return false;
  const int64_t elements = int64_t{rows} * cols * phases;  // cannot overflow 64 bits
  return elements <= std::numeric_limits<int32_t>::max();
}

float* obtainZeroed(const BufferSource& buffers, int32_t count) {
  const auto n = static_cast<std::size_t>(count);
  void* memory = buffers.obtain != nullptr ? buffers.obtain(n, sizeof(float), buffers.context)
                                           : std::calloc(n, sizeof(float));
  return static_cast<float*>(memory);
}

void releaseBuffer(const BufferSource& buffers, float* buffer) {
  if (buffer == nullptr) return;
  if (buffers.release != nullptr) {
    buffers.release(buffer, buffers.context);
  } else {
    std::free(buffer);
  }
}

}  // namespace

bool initSolverState(SolverState& state, int32_t rows, int32_t cols, int32_t phases, float tvWeight,
                     float penalty, const float* costs, float* u, PrintRoutine print,
                     BufferSource buffers) {
  state = SolverState{};
  if (!sizesWithinLimits(rows, cols, phases) || costs == nullptr || u == nullptr) return false;

  state.rows = rows;
  state.cols = cols;
  state.phases = phases;
  state.sliceSize = rows * cols;
  state.volumeSize = state.sliceSize * phases;
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
  for (BufferField buffer : ownedBuffers()) {
    const int32_t count = buffer == &SolverState::multiplier ? state.sliceSize : state.volumeSize;
    state.*buffer = obtainZeroed(buffers, count);
    if (state.*buffer == nullptr) {
      complete = false;
      if (print != nullptr) print("Memory allocation failure\n");
    }
  }
  return complete;
}

void releaseSolverState(SolverState& state) {
  for (BufferField buffer : ownedBuffers()) {
    releaseBuffer(state.buffers, state.*buffer);
    state.*buffer = nullptr;
  }
}

}  // namespace daskel
