// The host-free library call that the Octave tests compare DASKEL_mex with.
//
//   daskel_reference INPUT OUTPUT
//
// INPUT holds int32 rows, cols, phases, float32 tvWeight, penalty, then rows*cols*phases
// float32 costs and as many u0, all little-endian as the host writes them. OUTPUT receives the
// rows*cols*phases float32 of the result. Exit status 0 on success.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

#include "solver/solver.hpp"

namespace {

void printToStderr(const char* message) {
  std::fputs(message, stderr);
}

template <typename T>
bool readAll(std::FILE* file, T* data, std::size_t count) {
  return std::fread(data, sizeof(T), count, file) == count;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: %s INPUT OUTPUT\n", argv[0]);
    return 2;
  }
  std::FILE* in = std::fopen(argv[1], "rb");
  if (in == nullptr) {
    std::perror(argv[1]);
    return 2;
  }
  int32_t dims[3];
  float weights[2];
  bool ok = readAll(in, dims, 3) && readAll(in, weights, 2);
  const int64_t volume = ok ? int64_t{dims[0]} * dims[1] * dims[2] : 0;
  ok = ok && volume > 0 && volume <= INT32_MAX;
  std::vector<float> costs(ok ? volume : 0);
  std::vector<float> u0(ok ? volume : 0);
  ok = ok && readAll(in, costs.data(), costs.size()) && readAll(in, u0.data(), u0.size());
  std::fclose(in);
  if (!ok) {
    std::fprintf(stderr, "%s: malformed input\n", argv[1]);
    return 2;
  }

  std::vector<float> u(u0.size());
  daskel::SolverState state{};
  if (!daskel::initSolverState(state, dims[0], dims[1], dims[2], weights[0], weights[1],
                               costs.data(), u.data(), printToStderr)) {
    daskel::releaseSolverState(state);
    return 1;
  }
  std::memcpy(u.data(), u0.data(), u0.size() * sizeof(float));
  daskel::runSolver(state);
  daskel::releaseSolverState(state);

  std::FILE* out = std::fopen(argv[2], "wb");
  if (out == nullptr || std::fwrite(u.data(), sizeof(float), u.size(), out) != u.size()) {
    std::perror(argv[2]);
    return 2;
  }
  return std::fclose(out) == 0 ? 0 : 2;
}
