// A solve-sized problem that owns its arrays, for tests that drive the kernels directly.
#ifndef DASKEL_TESTS_TEST_PROBLEM_HPP
#define DASKEL_TESTS_TEST_PROBLEM_HPP

#include <cstdint>
#include <cstring>
#include <random>
#include <vector>

#include "solver/solver.hpp"

namespace daskel::testing {

inline uint32_t bitsOf(float x) {
  uint32_t bits = 0;
  std::memcpy(&bits, &x, sizeof bits);
  return bits;
}

// Costs, labelling and a set-up state; the state is released on destruction.
struct Problem {
  Problem(int32_t rows, int32_t cols, int32_t phases, float tvWeight = 0.5f, float penalty = 1.0f)
      : costs(static_cast<std::size_t>(rows) * cols * phases, 0.0f), u(costs.size(), 0.0f) {
    ready = initSolverState(state, rows, cols, phases, tvWeight, penalty, costs.data(), u.data(),
                            nullptr);
  }
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
