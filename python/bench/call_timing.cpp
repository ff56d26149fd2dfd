// Processor time of the solver called from C++, for python_bench.py to set beside the same call
// made from Python.
//
//   daskel_call_timing INPUT CALLS
//
// INPUT holds one problem as the reference program of the tests reads it: int32 rows, cols,
// phases, float32 tvWeight, penalty, then rows*cols*phases float32 costs and as many u0, in
// column-major order. Each call is what the MEX gateway does: set-up with zero-filled buffers,
// the copy of u0 into the result, the iteration, release. Prints the median of the calling
// thread's processor time per call, in seconds: on a shared machine it varies less than wall time.
#include <time.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "solver/solver.hpp"

namespace {

double threadSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s INPUT CALLS\n", argv[0]);
    return 2;
  }
  std::FILE* in = std::fopen(argv[1], "rb");
  int32_t dims[3] = {};
  float weights[2] = {};
  bool ok = in != nullptr && std::fread(dims, sizeof dims, 1, in) == 1 &&
            std::fread(weights, sizeof weights, 1, in) == 1;
  const int64_t volume = ok ? int64_t{dims[0]} * dims[1] * dims[2] : 0;
  ok = ok && volume > 0 && volume <= INT32_MAX;
  std::vector<float> costs(ok ? volume : 0);
  std::vector<float> u0(ok ? volume : 0);
  ok = ok && std::fread(costs.data(), sizeof(float), costs.size(), in) == costs.size() &&
       std::fread(u0.data(), sizeof(float), u0.size(), in) == u0.size();
  if (in != nullptr) std::fclose(in);
  const int calls = std::atoi(argv[2]);
  if (!ok || calls < 1) {
    std::fprintf(stderr, "%s: cannot read the problem, or CALLS is not positive\n", argv[0]);
    return 2;
  }

  std::vector<double> seconds;
  for (int call = 0; call < calls; ++call) {
    const double start = threadSeconds();
    const std::unique_ptr<float[]> u(new float[u0.size()]);  // as numpy's, not zero-filled
    daskel::SolverState state{};
    if (!daskel::initSolverState(state, dims[0], dims[1], dims[2], weights[0], weights[1],
                                 costs.data(), u.get(), nullptr)) {
      std::fprintf(stderr, "%s: not enough memory\n", argv[0]);
      return 1;
    }
    std::memcpy(u.get(), u0.data(), u0.size() * sizeof(float));
    daskel::runSolver(state);
    daskel::releaseSolverState(state);
    seconds.push_back(threadSeconds() - start);
  }
  std::nth_element(seconds.begin(), seconds.begin() + calls / 2, seconds.end());
  std::printf("%.9f\n", seconds[calls / 2]);
  return 0;
}
