// Nanoseconds per element per outer iteration of the solver, beside the straightforward
// oracle kernels and a plain C version of the same rules in the same process, on one thread and
// on several, and the ratio to the memory floor.
//
// The floor: an outer iteration has to move about 23 volume-sized float arrays through memory
// (two sweeps reading costs, u, dx, dy, bx, by and writing u; the shrinkage reading u, bx, by
// and writing dx, dy, bx, by; the snapshot; the change measure), 92 bytes per element. At start
// the benchmark measures one core's streaming bandwidth with a triad a = b + s c over three large
// float arrays; floor = 92 bytes / bandwidth. Columns:
//   ns_el_it  thread processor time in nanoseconds per element (rows * cols * phases) per outer
//             iteration; for a single kernel, per element per call
//   x_floor   ns_el_it divided by the floor (whole calls only)
// Rows: call (a whole solve on one thread, set-up and release included), sweep (one labelling
// sweep), sweeps (the two sweeps of an outer iteration, as the driver runs them), shrink
// (shrinkage and Bregman update without the change measure), and versus: whole calls by the wall
// clock, alternating in every iteration the plain C solver (bench/plain_solver.c, -O2), the
// library on one thread, on two and on all (the automatic count), with the medians of each:
//   plain, t1, t2, tall   ns per element per outer iteration
//   x_plain               plain / t1
//   speedup2, speedup_all t1 / t2, t1 / tall
//   floor1, floor2, floor_all  t1, t2, tall divided by the floor
// A versus row stops with an error where a result differs from the plain solver's in any bit.
//
// Run: build/bench/daskel_bench [--benchmark_filter=REGEX] [--benchmark_repetitions=N]; the
// kernels run at the level that DASKEL_KERNELS picks, as in every call of the library.
#include <benchmark/benchmark.h>
#include <time.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "bench/plain_solver.h"
#include "oracle/oracle.hpp"
#include "solver/kernels.hpp"
#include "solver/solver.hpp"

namespace {

constexpr double kFloorBytesPerElement = 92.0;
double floorNsPerElement = 0.0;  // set by main from the triad

using Clock = std::chrono::steady_clock;

// The calling thread's processor time (user and system, so first touches of pages count), which
// the other work on a shared machine disturbs less than wall time.
double threadNs() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return 1e9 * static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_nsec);
}

double triadBytesPerNs() {
  const std::size_t n = std::size_t{1} << 25;  // 128 MiB per array
  std::vector<float> a(n, 0.0f);
  std::vector<float> b(n, 1.0f);
  std::vector<float> c(n, 2.0f);
  double best = 0.0;
  for (int rep = 0; rep < 5; ++rep) {
    const float scale = 0.5f + static_cast<float>(rep);
    const auto start = Clock::now();
    for (std::size_t i = 0; i < n; ++i) a[i] = b[i] + scale * c[i];
    benchmark::ClobberMemory();
    const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
    best = std::max(best, 3.0 * 4.0 * static_cast<double>(n) / ns);
  }
  benchmark::DoNotOptimize(a.data());
  return best;
}

struct Size {
  int32_t rows;
  int32_t cols;
  int32_t phases;
  std::size_t elements() const {
    return static_cast<std::size_t>(rows) * static_cast<std::size_t>(cols) *
           static_cast<std::size_t>(phases);
  }
  std::string name() const {
    return std::to_string(rows) + "x" + std::to_string(cols) + "x" + std::to_string(phases);
  }
};

// Costs and an initial labelling of a noisy piecewise-constant image with `phases` regions.
struct Input {
  std::vector<float> costs;
  std::vector<float> u0;
  explicit Input(const Size& s) : costs(s.elements()), u0(s.elements()) {
    std::mt19937 random(12345u);
    std::normal_distribution<float> noise(0.0f, 0.3f);
    const int32_t slice = s.rows * s.cols;
    for (int32_t j = 0; j < s.cols; ++j) {
      for (int32_t i = 0; i < s.rows; ++i) {
        const int32_t p = i + s.rows * j;
        const float level = static_cast<float>((i / 64 + j / 48) % s.phases) + noise(random);
        for (int32_t k = 0; k < s.phases; ++k) {
          const float distance = level - static_cast<float>(k);
          costs[p + slice * k] = 0.1f * distance * distance;
          u0[p + slice * k] = 1.0f / static_cast<float>(s.phases);
        }
      }
    }
  }
};

void report(benchmark::State& state, double ns, double units, bool whole) {
  const double perUnit = ns / units;
  state.counters["ns_el_it"] = perUnit;
  if (whole) state.counters["x_floor"] = perUnit / floorNsPerElement;
}

// One whole call: set-up with zero-filled buffers, copy of u0, the iteration, release. The
// simple row is the straightforward solver as a whole: oracle kernels and calloc'd buffers.
// Returns the outer iterations.
int32_t solveOnce(const Size& size, const Input& input, std::vector<float>& u, bool fast,
                  int32_t threads) {
  daskel::SolverState s{};
  // The straightforward solver takes its zero-filled buffers from calloc, as a plain
  // implementation does; the library from its default source.
  daskel::initSolverState(s, size.rows, size.cols, size.phases, 0.5f, 1.0f, input.costs.data(),
                          u.data(), nullptr,
                          fast ? daskel::BufferSource{} : daskel::oracle::callocBuffers());
  std::copy(input.u0.begin(), input.u0.end(), u.begin());
  const int32_t iterations = fast ? daskel::runSolver(s, threads) : daskel::oracle::runSolver(s);
  daskel::releaseSolverState(s);
  benchmark::DoNotOptimize(u.data());
  return iterations;
}

// Whole calls on the calling thread, by its processor time.
void wholeCall(benchmark::State& state, Size size, bool fast) {
  const Input input(size);
  std::vector<float> u(size.elements());
  double ns = 0.0;
  double units = 0.0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the loop idiom
    const double start = threadNs();
    const int32_t iterations = solveOnce(size, input, u, fast, 1);
    ns += threadNs() - start;
    units += static_cast<double>(size.elements()) * iterations;
  }
  report(state, ns, units, true);
}

double median(std::vector<double> values) {
  std::sort(values.begin(), values.end());
  const std::size_t n = values.size();
  return n == 0 ? 0.0 : n % 2 == 1 ? values[n / 2] : 0.5 * (values[n / 2 - 1] + values[n / 2]);
}

// Whole calls by the wall clock, the plain C solver and the library on 1, 2 and all threads in
// turn within every iteration, so that a disturbance of the machine touches all of them alike.
void versus(benchmark::State& state, Size size) {
  const Input input(size);
  std::vector<float> u(size.elements());
  std::vector<float> plainU(size.elements());
  const struct {
    const char* name;
    int32_t threads;  // 0: the automatic count; -1: the plain C solver
  } runs[] = {{"plain", -1}, {"t1", 1}, {"t2", 2}, {"tall", 0}};
  std::vector<double> nsPerUnit[4];
  int32_t round = 0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the loop idiom
    // Each round starts one later in the list, so that every run follows each of the others
    // equally often: a call just after the plain solver's frees pays more for its fresh pages.
    for (int turn = 0; turn < 4; ++turn) {
      const int r = (turn + round) % 4;
      const auto start = Clock::now();
      int32_t iterations = 0;
      if (runs[r].threads < 0) {
        std::copy(input.u0.begin(), input.u0.end(), plainU.begin());
        iterations = plainSolve(size.rows, size.cols, size.phases, 0.5f, 1.0f,
                                input.costs.data(), plainU.data());
      } else {
        iterations = solveOnce(size, input, u, true, runs[r].threads);
      }
      const double ns = std::chrono::duration<double, std::nano>(Clock::now() - start).count();
      nsPerUnit[r].push_back(ns / (static_cast<double>(size.elements()) * iterations));
      if (runs[r].threads >= 0 && u != plainU) {
        state.SkipWithError((std::string(runs[r].name) + " differs from the plain solver").c_str());
        return;
      }
    }
    ++round;
  }
  const double plain = median(nsPerUnit[0]);
  const double t1 = median(nsPerUnit[1]);
  const double t2 = median(nsPerUnit[2]);
  const double all = median(nsPerUnit[3]);
  state.counters["plain"] = plain;
  state.counters["t1"] = t1;
  state.counters["t2"] = t2;
  state.counters["tall"] = all;
  state.counters["x_plain"] = plain / t1;
  state.counters["speedup2"] = t1 / t2;
  state.counters["speedup_all"] = t1 / all;
  state.counters["floor1"] = t1 / floorNsPerElement;
  state.counters["floor2"] = t2 / floorNsPerElement;
  state.counters["floor_all"] = all / floorNsPerElement;
}

// One kernel on a state that two outer iterations have brought to a realistic condition.
void kernel(benchmark::State& state, Size size,
            const std::function<void(daskel::SolverState&)>& run) {
  const Input input(size);
  std::vector<float> u(input.u0);
  daskel::SolverState s{};
  daskel::initSolverState(s, size.rows, size.cols, size.phases, 0.5f, 1.0f, input.costs.data(),
                          u.data(), nullptr);
  for (int n = 0; n < 2; ++n) {
    daskel::labelSweep(s);
    daskel::labelSweep(s);
    daskel::shrinkUpdate(s);
  }
  // Where the grid is padded, the kernels run as runSolver runs them: on the padded copy of u.
  daskel::SolverState onCopy = s.paddedU != nullptr ? daskel::detail::withPaddedCopy(s) : s;
  double ns = 0.0;
  double units = 0.0;
  for (auto _ : state) {  // NOLINT(clang-analyzer-deadcode.DeadStores): the loop idiom
    const double start = threadNs();
    run(onCopy);
    ns += threadNs() - start;
    units += static_cast<double>(size.elements());
  }
  daskel::releaseSolverState(s);
  report(state, ns, units, false);
}

// The two sweeps of an outer iteration as the straightforward solver runs them.
void sweepTwiceSimply(daskel::SolverState& s) {
  daskel::oracle::labelSweep(s);
  daskel::oracle::labelSweep(s);
}

void registerAll() {
  std::vector<Size> sizes;
  for (int32_t side : {256, 1000, 1024, 2048}) {
    for (int32_t phases : {2, 4, 8, 16}) sizes.push_back({side, side, phases});
  }
  sizes.push_back({512, 512, 8});
  sizes.push_back({300, 2000, 3});
  // The plain solver takes up to 120 ns per element-iteration, some seconds a call at 2^24.
  const Size versusSizes[] = {{1000, 1000, 4}, {1024, 1024, 4}, {512, 512, 8},  {2048, 2048, 4},
                              {1000, 1000, 16}, {1024, 1024, 16}, {300, 2000, 3}, {256, 256, 4}};
  for (const Size& size : versusSizes) {
    benchmark::RegisterBenchmark(("versus/" + size.name()).c_str(), versus, size)
        ->Iterations(size.elements() >= (std::size_t{1} << 23) ? 4 : 8)  // whole rounds of the four
        ->Unit(benchmark::kMillisecond);
  }
  // The oracle takes up to 190 ns per element-iteration: it runs where that stays a few seconds.
  const std::size_t oracleLimit = std::size_t{1} << 24;
  for (const Size& size : sizes) {
    const bool withOracle = size.elements() <= oracleLimit;
    const int64_t iterations = size.elements() >= (std::size_t{1} << 22) ? 1 : 3;
    const std::string n = size.name();
    benchmark::RegisterBenchmark(("call/fast/" + n).c_str(), wholeCall, size, true)
        ->Iterations(iterations)
        ->Unit(benchmark::kMillisecond);
    if (withOracle) {
      benchmark::RegisterBenchmark(("call/simple/" + n).c_str(), wholeCall, size, false)
          ->Iterations(iterations)
          ->Unit(benchmark::kMillisecond);
    }
    const struct {
      const char* name;
      void (*run)(daskel::SolverState&);
      bool simple;
    } kernels[] = {{"sweep/fast/", daskel::labelSweep, false},
                   {"sweep/simple/", daskel::oracle::labelSweep, true},
                   {"sweeps/fast/", daskel::detail::sweepLabelsTwice, false},
                   {"sweeps/simple/", sweepTwiceSimply, true},
                   {"shrink/fast/", daskel::shrinkUpdate, false},
                   {"shrink/simple/", daskel::oracle::shrinkUpdate, true}};
    for (const auto& k : kernels) {
      if (k.simple && !withOracle) continue;
      benchmark::RegisterBenchmark((k.name + n).c_str(), kernel, size, k.run)
          ->Iterations(iterations)
          ->Unit(benchmark::kMillisecond);
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  benchmark::Initialize(&argc, argv);
  const double bandwidth = triadBytesPerNs();
  floorNsPerElement = kFloorBytesPerElement / bandwidth;
  std::printf("triad bandwidth %.2f GB/s; floor %.2f ns per element per outer iteration\n",
              bandwidth, floorNsPerElement);
  std::printf("kernels: %s (DASKEL_KERNELS=scalar|sse2|avx2 picks another)\n",
              daskel::detail::kernelLevelName(daskel::detail::activeKernelLevel()));
  registerAll();
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
