// Command line of daskel-segment.
#ifndef DASKEL_TOOLS_SEGMENT_OPTIONS_HPP
#define DASKEL_TOOLS_SEGMENT_OPTIONS_HPP

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "solver/solver.hpp"

namespace daskel::segment {

constexpr int32_t kMinPhases = 2;
constexpr int32_t kMaxPhases = 16;
constexpr int32_t kMaxRounds = 1000;
constexpr int32_t kMaxThreads = kMaxSolverThreads;
// Images of more pixels than this would not fit the solver's 32-bit element count even with the
// fewest phases.
constexpr int64_t kPixelCeiling = std::numeric_limits<int32_t>::max() / kMinPhases;

// The defaults, chosen on the pictures of bench/segment_quality.py (2 to 5 phases, clean to noise
// of 0.8 times the gap between neighbouring intensities, thin lines and text) and checked on
// other such pictures. A smaller penalty lets each sweep move the labelling further towards the
// data, which keeps thin structures that a larger one diffuses away.
constexpr int32_t kDefaultPhases = 3;
constexpr float kDefaultTvWeight = 0.4f;
constexpr float kDefaultPenalty = 2.0f;
constexpr int32_t kDefaultRounds = 8;
// Larger images are refused before they are decoded, so that a small file cannot claim gigabytes
// (a segmentation needs about 100 bytes per pixel with three phases); --max-pixels raises it.
constexpr int64_t kDefaultMaxPixels = 50'000'000;

struct Options {
  std::string input;
  std::string output;
  std::string labels;      // empty: not written
  std::string softPrefix;  // empty: not written
  int32_t phases = kDefaultPhases;
  std::vector<float> levels;  // increasing; empty: k-means
  float tvWeight = kDefaultTvWeight;
  float penalty = kDefaultPenalty;
  int32_t rounds = kDefaultRounds;
  int64_t maxPixels = kDefaultMaxPixels;
  int32_t threads = 0;  // of each solve: 0 chooses (solver/solver.hpp), 1 the calling thread
  bool quiet = false;
  bool help = false;
};

// Parses the arguments after the program name. Returns false with a one-line `error` for an
// unknown option, a missing or malformed value, a value out of range, or a wrong number of file
// names. With --help the file names may be missing.
bool parseOptions(const std::vector<std::string>& args, Options& options, std::string& error);

// The --help text.
std::string usageText();

}  // namespace daskel::segment

#endif  // DASKEL_TOOLS_SEGMENT_OPTIONS_HPP
