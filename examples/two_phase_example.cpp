// Solves a small two-phase problem with the host-free library and prints the labelling.
//
// A 4 x 5 grid whose phase 0 costs nothing and phase 1 costs 1 at every pixel, started from the
// uniform labelling: the solver settles on phase 0 everywhere.
#include <algorithm>
#include <cstdio>
#include <daskel/solver.hpp>
#include <vector>

namespace {

void printToStderr(const char* message) {
  std::fputs(message, stderr);
}

}  // namespace

int main() {
  constexpr int32_t rows = 4;
  constexpr int32_t cols = 5;
  constexpr int32_t phases = 2;
  constexpr int32_t slice = rows * cols;

  std::vector<float> costs(slice * phases, 0.0f);
  std::fill(costs.begin() + slice, costs.end(), 1.0f);
  std::vector<float> u(slice * phases);

  daskel::SolverState state{};
  if (!daskel::initSolverState(state, rows, cols, phases, 0.5f, 1.0f, costs.data(), u.data(),
                               printToStderr)) {
    daskel::releaseSolverState(state);
    return 1;
  }
  std::fill(u.begin(), u.end(), 0.5f);  // the uniform initial labelling
  const int32_t iterations = daskel::runSolver(state);
  daskel::releaseSolverState(state);

  std::printf("outer iterations: %d\n", iterations);
  for (int32_t k = 0; k < phases; ++k) {
    std::printf("phase %d:\n", k);
    for (int32_t i = 0; i < rows; ++i) {
      for (int32_t j = 0; j < cols; ++j) std::printf(" %.9g", u[i + rows * j + slice * k]);
      std::printf("\n");
    }
  }
  return 0;
}
