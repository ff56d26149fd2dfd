// Command line of daskel-segment.
#ifndef DASKEL_TOOLS_SEGMENT_OPTIONS_HPP
#define DASKEL_TOOLS_SEGMENT_OPTIONS_HPP

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "segment/settings.hpp"

namespace daskel::tool {

// Images of more pixels than this would not fit the solver's 32-bit element count even with the
// fewest phases.
constexpr int64_t kPixelCeiling = std::numeric_limits<int32_t>::max() / segment::kMinPhases;
// Larger images are refused before they are decoded, so that a small file cannot claim gigabytes
// (a segmentation needs about 100 bytes per pixel with three phases); --max-pixels raises it.
constexpr int64_t kDefaultMaxPixels = 50'000'000;

struct Options {
  std::string input;
  std::string output;
  std::string labels;          // empty: not written
  std::string softPrefix;      // empty: not written
  segment::Settings settings;  // levels sorted
  int64_t maxPixels = kDefaultMaxPixels;
  bool quiet = false;
  bool help = false;
  bool version = false;
};

// Parses the arguments after the program name. Returns false with a one-line `error` for an
// unknown option, a missing or malformed value, settings that segment::checkSettings refuses (with
// its words), or a wrong number of file names. With --help or --version the file names may be
// missing.
bool parseOptions(const std::vector<std::string>& args, Options& options, std::string& error);

// The --help text.
std::string usageText();

}  // namespace daskel::tool

#endif  // DASKEL_TOOLS_SEGMENT_OPTIONS_HPP
