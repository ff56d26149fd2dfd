// Set-up and tear-down of the working state.
#include <array>
#include <cstdint>
#include <cstdlib>
#include <limits>

#if defined(__linux__)
#include <sys/mman.h>
#endif

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

// The default source. Large buffers come from their own anonymous mapping (zero-filled by the
// system) marked for transparent huge pages: faulting in 4 KiB pages one by one costs more than
// a whole outer iteration on a large grid. Each buffer starts at a different offset within its
// page, so that equal indices of different buffers do not share cache sets. Small buffers, and
// systems without that advice, use calloc and free; the size alone tells which, so release needs
// no record of the choice.
#if defined(__linux__) && defined(MADV_HUGEPAGE)
constexpr std::size_t kHugePage = std::size_t{2} << 20;
constexpr std::size_t kMappedFrom = std::size_t{256} << 10;  // bytes
constexpr std::size_t kHeader = 64;                          // keeps the mapping's base and length
constexpr std::size_t kStagger = 17 * 64;                    // between consecutive buffers

bool mapped(std::size_t bytes) {
  return bytes >= kMappedFrom;
}

void* obtainMapped(std::size_t bytes, int requestIndex) {
  const std::size_t offset = kHeader + kStagger * static_cast<std::size_t>(requestIndex);
  // Whole huge pages from the first aligned address on, the buffer's last page included: a
  // mapping that ends within a huge page's span faults that part in small pages, one by one.
  const std::size_t hugePages = (offset + bytes + kHugePage - 1) / kHugePage;
  const std::size_t length = (hugePages + 1) * kHugePage;
  void* base = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (base == MAP_FAILED) return nullptr;
  const auto start = reinterpret_cast<std::uintptr_t>(base);
  const std::uintptr_t aligned = (start + kHugePage - 1) & ~std::uintptr_t{kHugePage - 1};
  // Only advice: where the system declines, the mapping still works with small pages.
  madvise(reinterpret_cast<void*>(aligned), length - (aligned - start), MADV_HUGEPAGE);
  auto* header = reinterpret_cast<std::uintptr_t*>(aligned + offset - kHeader);
  header[0] = start;
  header[1] = length;
  return reinterpret_cast<void*>(aligned + offset);
}

void releaseMapped(void* buffer) {
  const auto* header =
      reinterpret_cast<const std::uintptr_t*>(static_cast<char*>(buffer) - kHeader);
  munmap(reinterpret_cast<void*>(header[0]), static_cast<std::size_t>(header[1]));
}
#else
bool mapped(std::size_t) {
  return false;
}
void* obtainMapped(std::size_t, int) {
  return nullptr;
}
void releaseMapped(void*) {}
#endif

float* obtainZeroed(const BufferSource& buffers, int32_t count, int requestIndex) {
  const auto n = static_cast<std::size_t>(count);
  void* memory = nullptr;
  if (buffers.obtain != nullptr) {
    memory = buffers.obtain(n, sizeof(float), buffers.context);
  } else if (mapped(n * sizeof(float))) {
    memory = obtainMapped(n * sizeof(float), requestIndex);
  } else {
    memory = std::calloc(n, sizeof(float));
  }
  return static_cast<float*>(memory);
}

void releaseBuffer(const BufferSource& buffers, float* buffer, int32_t count) {
  if (buffer == nullptr) return;
  if (buffers.release != nullptr) {
    buffers.release(buffer, buffers.context);
  } else if (mapped(static_cast<std::size_t>(count) * sizeof(float))) {
    releaseMapped(buffer);
  } else {
    std::free(buffer);
  }
}

int32_t bufferCount(const SolverState& state, BufferField buffer) {
  return buffer == &SolverState::multiplier ? state.sliceSize : state.volumeSize;
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
  return complete;
}

void releaseSolverState(SolverState& state) {
  for (BufferField buffer : ownedBuffers()) {
    releaseBuffer(state.buffers, state.*buffer, bufferCount(state, buffer));
    state.*buffer = nullptr;
  }
}

}  // namespace daskel
