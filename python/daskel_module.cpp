// daskel._core, the compiled half of the Python package daskel: the solver (daskel::solver) and the
// segmentation method (daskel::segment), called on numpy arrays.
//
// The Python half (daskel/_solve.py, daskel/_segment.py) checks every argument and converts it
// to what these functions take; here only what memory safety rests on is checked again. The
// interpreter lock is released while the C++ runs, so other Python threads (a Dask worker's, for
// one) go on meanwhile.
#include <pybind11/numpy.h>
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "segment/segment.hpp"
#include "solver/solver.hpp"

namespace py = pybind11;

namespace {

// A Volume as numpy holds it: rows x cols x phases float32 in Fortran order, so that element
// (i, j, k) lies at i + rows * j + rows * cols * k, where the solver expects it.
using Volume = py::array_t<float, py::array::f_style>;

constexpr int64_t kMaxElements = std::numeric_limits<int32_t>::max();

void require(bool condition, const char* what) {
  if (!condition) throw py::value_error(std::string("daskel._core: ") + what);
}

[[noreturn]] void raiseMemoryError(const std::string& message) {
  PyErr_SetString(PyExc_MemoryError, message.c_str());
  throw py::error_already_set();
}

// Whether the solver takes a rows x cols x phases Volume: at least 2 x 2 x 1, at most 2^31 - 1
// elements. rows * cols counts the pixels of an array, which numpy keeps within int64.
bool solvableSize(int64_t rows, int64_t cols, int64_t phases) {
  return rows >= 2 && cols >= 2 && phases >= 1 && rows * cols <= kMaxElements / phases;
}

std::string sizeText(int64_t rows, int64_t cols, int64_t phases) {
  return std::to_string(rows) + " x " + std::to_string(cols) + " x " + std::to_string(phases);
}

// A thread count as runSolver takes it: 0 chooses, 1 is the calling thread alone.
void requireThreadCount(int32_t threads) {
  require(threads >= 0 && threads <= daskel::kMaxSolverThreads,
          "threads must be from 0 to daskel._core.MAX_THREADS");
}

// The kernels read whole floats and doubles: an array that numpy keeps at an address that is not
// a multiple of its element's size (a view into a byte buffer) is copied by the Python half.
void requireAligned(const py::array& array, const char* what) {
  require(array.attr("flags").attr("aligned").cast<bool>(), what);
}

// Ctrl-C during a call. Python's own handler only notes the signal; PyErr_CheckSignals, on the
// main thread, raises it as KeyboardInterrupt. The solver asks before every outer iteration (and
// the segmentation before every round), and a raised exception ends the call.
class Interruption {
 public:
  // Signals reach Python's handlers on the main thread only; on any other there is nothing to
  // ask for, and the lock is not taken.
  Interruption() {
    const py::module_ threading = py::module_::import("threading");
    const py::object mainThread = threading.attr("main_thread")().attr("ident");
    onMainThread_ = mainThread.equal(threading.attr("get_ident")());
  }

  daskel::StopRequest request() {
    if (!onMainThread_) return {};
    return {[](void* context) { return static_cast<Interruption*>(context)->raised(); }, this};
  }

  // With the lock held again: the exception of the signal, if one was raised.
  void rethrow() const {
    if (raised_) throw py::error_already_set();
  }

 private:
  bool raised() {
    const py::gil_scoped_acquire locked;
    raised_ = PyErr_CheckSignals() != 0;
    return raised_;
  }

  bool onMainThread_ = false;
  bool raised_ = false;
};

// u, iterations = solve(costs, u0, tv_weight, penalty, threads): the gateway's steps on a new
// result array. The working buffers are requested before u0 is copied into the result.
py::tuple solve(const Volume& costs, const Volume& u0, float tvWeight, float penalty,
                int32_t threads) {
  require(costs.ndim() == 3 && u0.ndim() == 3, "costs and u0 must be 3-dimensional");
  for (py::ssize_t axis = 0; axis < 3; ++axis) {
    require(costs.shape(axis) == u0.shape(axis), "costs and u0 must have one shape");
  }
  const int64_t rows = costs.shape(0);
  const int64_t cols = costs.shape(1);
  const int64_t phases = costs.shape(2);
  require(solvableSize(rows, cols, phases),
          "costs must be at least 2 x 2 x 1 with at most 2^31 - 1 elements");
  requireThreadCount(threads);
  requireAligned(costs, "costs must be aligned");
  requireAligned(u0, "u0 must be aligned");

  Volume u({rows, cols, phases});
  float* result = u.mutable_data();
  const float* costData = costs.data();
  const float* u0Data = u0.data();
  daskel::SolverState state{};
  int32_t iterations = 0;
  bool ready = false;
  Interruption interruption;
  {
    py::gil_scoped_release unlocked;
    ready = daskel::initSolverState(state, static_cast<int32_t>(rows), static_cast<int32_t>(cols),
                                    static_cast<int32_t>(phases), tvWeight, penalty, costData,
                                    result, nullptr);
    if (ready) {
      // Bit patterns pass unchanged, NaN payloads and negative zeros included.
      std::memcpy(result, u0Data, static_cast<std::size_t>(state.volumeSize) * sizeof(float));
      iterations = daskel::runSolver(state, threads, interruption.request());
    }
    daskel::releaseSolverState(state);
  }
  interruption.rethrow();
  if (!ready) {
    raiseMemoryError("not enough memory for the working buffers of a " +
                     sizeText(rows, cols, phases) + " solve");
  }
  return py::make_tuple(std::move(u), iterations);
}

template <typename Sample>
double largestSample() {
  if constexpr (std::numeric_limits<Sample>::is_integer) {
    return std::numeric_limits<Sample>::max();
  } else {
    return 1.0;  // floating-point images already lie in [0, 1]
  }
}

// The pixels of a rows x cols x channels image as intensities in [0, 1], as daskel-segment reads
// a PNG: one or two channels are grey (and alpha), three or four are colour (and alpha), which
// counts by its luma; samples are divided by the largest value of their type.
template <typename Sample>
daskel::segment::GreyImage greyImageOf(const py::array& array) {
  const auto samples = py::array_t<Sample>::ensure(array);
  const auto at = samples.template unchecked<3>();
  const double maxSample = largestSample<Sample>();
  daskel::segment::GreyImage image;
  image.rows = static_cast<int32_t>(at.shape(0));
  image.cols = static_cast<int32_t>(at.shape(1));
  const bool colour = at.shape(2) >= 3;
  image.values.resize(static_cast<std::size_t>(image.rows) * static_cast<std::size_t>(image.cols));
  for (py::ssize_t j = 0; j < at.shape(1); ++j) {
    for (py::ssize_t i = 0; i < at.shape(0); ++i) {
      image.values[static_cast<std::size_t>(i + at.shape(0) * j)] =
          colour ? daskel::segment::lumaIntensity(at(i, j, 0), at(i, j, 1), at(i, j, 2), maxSample)
                 : daskel::segment::greyIntensity(at(i, j, 0), maxSample);
    }
  }
  return image;
}

daskel::segment::GreyImage greyImageOf(const py::array& array) {
  if (py::isinstance<py::array_t<uint8_t>>(array)) return greyImageOf<uint8_t>(array);
  if (py::isinstance<py::array_t<uint16_t>>(array)) return greyImageOf<uint16_t>(array);
  if (py::isinstance<py::array_t<double>>(array)) return greyImageOf<double>(array);
  throw py::type_error("daskel._core: the image must be uint8, uint16 or float64");
}

// Copies a vector into a new numpy array of the given shape, in Fortran order.
template <typename T>
py::array_t<T, py::array::f_style> arrayOf(const std::vector<T>& values,
                                           std::vector<py::ssize_t> shape) {
  py::array_t<T, py::array::f_style> array(std::move(shape));
  std::memcpy(array.mutable_data(), values.data(), values.size() * sizeof(T));
  return array;
}

daskel::segment::Settings settingsOf(int32_t phases, const std::vector<float>& levels,
                                     float tvWeight, float penalty, int32_t rounds, int32_t threads,
                                     int32_t window) {
  daskel::segment::Settings settings;
  settings.phases = phases;
  settings.levels = levels;
  settings.tvWeight = tvWeight;
  settings.penalty = penalty;
  settings.rounds = rounds;
  settings.threads = threads;
  settings.window = window;
  return settings;
}

// check_settings(phases, levels, tv, penalty, rounds, threads, window): None, or
// (setting, requirement) for the first one that daskel::segment refuses, in the words
// daskel-segment shows.
py::object checkSettings(int32_t phases, const std::vector<float>& levels, float tvWeight,
                         float penalty, int32_t rounds, int32_t threads, int32_t window) {
  const daskel::segment::SettingsProblem problem = daskel::segment::checkSettings(
      settingsOf(phases, levels, tvWeight, penalty, rounds, threads, window));
  if (!problem) return py::none();
  return py::make_tuple(problem.setting, problem.requirement);
}

// labels, levels, u = segment(image, phases, levels, tv, penalty, rounds, threads, window): the
// method on a rows x cols x channels image; `levels` empty lets k-means choose them.
py::tuple segment(const py::array& image, int32_t phases, const std::vector<float>& levels,
                  float tvWeight, float penalty, int32_t rounds, int32_t threads, int32_t window) {
  require(image.ndim() == 3 && image.shape(2) >= 1 && image.shape(2) <= 4,
          "the image must be rows x cols x channels, with 1 to 4 channels");
  const int64_t rows = image.shape(0);
  const int64_t cols = image.shape(1);
  const daskel::segment::Settings settings =
      settingsOf(phases, levels, tvWeight, penalty, rounds, threads, window);
  if (const daskel::segment::SettingsProblem problem = daskel::segment::checkSettings(settings)) {
    throw py::value_error("daskel._core: " + problem.message());
  }
  require(daskel::segment::imageFits(rows, cols, phases),
          "the image must be at least 2 x 2, with at most 2^31 - 1 pixels times phases");
  requireAligned(image, "the image must be aligned");

  // Every shortage, the solver's buffers or any other allocation, gets the same message.
  char needed[32];
  std::snprintf(needed, sizeof needed, "%.2g",
                static_cast<double>(daskel::segment::approximateBytes(rows * cols, phases)) / 1e9);
  const std::string outOfMemory = "not enough memory to segment a " + std::to_string(rows) + " x " +
                                  std::to_string(cols) + " image in " + std::to_string(phases) +
                                  " phases (about " + needed + " GB)";
  try {
    const daskel::segment::GreyImage grey = greyImageOf(image);
    daskel::segment::Result result;
    bool segmented = false;
    Interruption interruption;
    {
      py::gil_scoped_release unlocked;
      segmented = daskel::segment::segmentImage(grey, settings, result, nullptr, nullptr,
                                                interruption.request());
    }
    interruption.rethrow();
    if (!segmented) raiseMemoryError(outOfMemory);
    return py::make_tuple(arrayOf(result.labels, {rows, cols}), arrayOf(result.levels, {phases}),
                          arrayOf(result.u, {rows, cols, phases}));
  } catch (const std::bad_alloc&) {
    raiseMemoryError(outOfMemory);
  }
}

}  // namespace

PYBIND11_MODULE(_core, m) {
  m.doc() = "The compiled half of daskel; call daskel.solve and daskel.segment instead.";
  m.def("solve", &solve, py::arg("costs").noconvert(), py::arg("u0").noconvert(),
        py::arg("tv_weight"), py::arg("penalty"), py::arg("threads"));
  m.def("segment", &segment, py::arg("image"), py::arg("phases"), py::arg("levels"), py::arg("tv"),
        py::arg("penalty"), py::arg("rounds"), py::arg("threads"), py::arg("window"));
  m.def("check_settings", &checkSettings, py::arg("phases"), py::arg("levels"), py::arg("tv"),
        py::arg("penalty"), py::arg("rounds"), py::arg("threads"), py::arg("window"));
  // The method's defaults and limits, so that Python states the same ones.
  const daskel::segment::Settings defaults;
  m.attr("DEFAULT_PHASES") = defaults.phases;
  m.attr("DEFAULT_TV_WEIGHT") = defaults.tvWeight;
  m.attr("DEFAULT_PENALTY") = defaults.penalty;
  m.attr("DEFAULT_ROUNDS") = defaults.rounds;
  m.attr("MIN_PHASES") = daskel::segment::kMinPhases;
  m.attr("MAX_PHASES") = daskel::segment::kMaxPhases;
  m.attr("MAX_THREADS") = daskel::kMaxSolverThreads;
  m.attr("MAX_ROUNDS") = daskel::segment::kMaxRounds;
}
