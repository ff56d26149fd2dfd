// A solve-sized problem that owns its arrays, for tests that drive the kernels directly.
#ifndef DASKEL_TESTS_TEST_PROBLEM_HPP
#define DASKEL_TESTS_TEST_PROBLEM_HPP

#include <cmath>
#include <cstdint>
#include <cstring>
#include <random>
#include <sstream>
#include <string>
#include <vector>

#include "solver/solver.hpp"

namespace daskel::testing {

inline uint32_t bitsOf(float x) {
  uint32_t bits = 0;
  std::memcpy(&bits, &x, sizeof bits);
  return bits;
}

// Whether two floats are the same value: the same bits, or both NaN (whose payloads the
// kernels need not keep).
inline bool sameValue(float a, float b) {
  return (std::isnan(a) && std::isnan(b)) || bitsOf(a) == bitsOf(b);
}

// Elements of an owned volume, its padding included.
inline int32_t ownedVolumeSize(const SolverState& s) {
  return s.phases * s.phaseStride;
}

// The first element in which a buffer of `got` differs from that of `want`, located as
// (row, column, phase), or "" when u, dx, dy, bx, by, outerPrev and the multipliers all agree.
// The owned volumes are compared with their padding, which no kernel may write.
inline std::string firstStateDifference(const SolverState& got, const SolverState& want) {
  const struct {
    const char* name;
    const float* got;
    const float* want;
    int32_t count;
    int32_t stride;  // from one phase slice to the next
  } buffers[] = {
      {"u", got.u, want.u, got.volumeSize, got.sliceSize},
      {"dx", got.dx, want.dx, ownedVolumeSize(got), got.phaseStride},
      {"dy", got.dy, want.dy, ownedVolumeSize(got), got.phaseStride},
      {"bx", got.bx, want.bx, ownedVolumeSize(got), got.phaseStride},
      {"by", got.by, want.by, ownedVolumeSize(got), got.phaseStride},
      {"outerPrev", got.outerPrev, want.outerPrev, ownedVolumeSize(got), got.phaseStride},
      {"multiplier", got.multiplier, want.multiplier, got.sliceSize, got.sliceSize}};
  for (const auto& b : buffers) {
    for (int32_t e = 0; e < b.count; ++e) {
      if (sameValue(b.got[e], b.want[e])) continue;
      const int32_t p = e % b.stride;
      std::ostringstream text;
      text.precision(9);
      text << b.name << " differs at ";
      if (p < got.sliceSize) {
        text << "(" << p % got.rows << ", " << p / got.rows << ", " << e / b.stride << ")";
      } else {
        text << "padding element " << p << " of phase " << e / b.stride;
      }
      text << ": " << b.got[e] << " instead of " << b.want[e];
      return text.str();
    }
  }
  return "";
}

// The sizes of a grid.
struct Shape {
  int32_t rows, cols, phases;
};

inline std::string describe(const Shape& shape) {
  return std::to_string(shape.rows) + "x" + std::to_string(shape.cols) + "x" +
         std::to_string(shape.phases);
}

// Costs, labelling and a set-up state; the state is released on destruction.
struct Problem {
  Problem(int32_t rows, int32_t cols, int32_t phases, float tvWeight = 0.5f, float penalty = 1.0f)
      : costs(static_cast<std::size_t>(rows) * cols * phases, 0.0f), u(costs.size(), 0.0f) {
    ready = initSolverState(state, rows, cols, phases, tvWeight, penalty, costs.data(), u.data(),
                            nullptr);
  }
  Problem(const Shape& shape, float tvWeight, float penalty)
      : Problem(shape.rows, shape.cols, shape.phases, tvWeight, penalty) {}
  ~Problem() { releaseSolverState(state); }
  Problem(const Problem&) = delete;
  Problem& operator=(const Problem&) = delete;

  int32_t at(int32_t i, int32_t j, int32_t k = 0) const {
    return i + state.rows * j + state.sliceSize * k;
  }
  std::vector<float> volume(const float* data) const {
    return std::vector<float>(data, data + state.volumeSize);
  }

  std::vector<float> costs;
  std::vector<float> u;
  SolverState state{};
  bool ready = false;
};

inline void fillUniform(float* data, std::size_t count, float low, float high, std::mt19937& rng) {
  std::uniform_real_distribution<float> value(low, high);
  for (std::size_t e = 0; e < count; ++e) data[e] = value(rng);
}

}  // namespace daskel::testing

#endif  // DASKEL_TESTS_TEST_PROBLEM_HPP
