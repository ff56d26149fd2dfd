// The settings of a segmentation: their defaults, their limits and the one check of them that
// every front end (the command-line tool, Python) shows its users.
#ifndef DASKEL_SEGMENT_SETTINGS_HPP
#define DASKEL_SEGMENT_SETTINGS_HPP

#include <cstdint>
#include <string>
#include <vector>

#include "solver/solver.hpp"

namespace daskel::segment {

constexpr int32_t kMinPhases = 2;
constexpr int32_t kMaxPhases = 16;
constexpr int32_t kMaxRounds = 1000;
constexpr int32_t kMaxThreads = kMaxSolverThreads;
constexpr int32_t kMaxWindow = 99;

// The defaults were chosen on the pictures of bench/segment_quality.py (2 to 5 phases, clean to
// noise of 0.8 times the gap between neighbouring intensities, thin lines and text) and checked
// on other such pictures. A smaller penalty lets each sweep move the labelling further towards
// the data, which keeps thin structures that a larger one diffuses away.
struct Settings {
  int32_t phases = 3;
  std::vector<float> levels;  // starting intensities in [0, 1], distinct; empty: k-means chooses
  float tvWeight = 0.4f;
  float penalty = 2.0f;
  int32_t rounds = 8;
  int32_t threads = 0;  // of each solver call: 0 chooses, 1 the calling thread (runSolver)
  // Side of the windows whose means are segmented: 0 chooses (1 unless the image is texture,
  // textureWindow), 1 the pixels' own intensities, an odd side from 3 to kMaxWindow those means.
  int32_t window = 0;
};

// What checkSettings found wrong: the setting's name as every front end spells it, less its
// decoration ("penalty": --penalty on the command line, penalty= in Python), and what the setting
// must be ("must be a whole number from 2 to 16"). Each front end adds how the value was given.
struct SettingsProblem {
  std::string setting;  // empty: nothing wrong
  std::string requirement;

  explicit operator bool() const { return !setting.empty(); }
  std::string message() const { return setting + " " + requirement; }
};

// The first problem of `settings`, in the order of the fields; none for settings that
// segmentImage takes. Penalties below the smallest normal float are refused: their reciprocals,
// which the solver multiplies by, overflow.
SettingsProblem checkSettings(const Settings& settings);

}  // namespace daskel::segment

#endif  // DASKEL_SEGMENT_SETTINGS_HPP
