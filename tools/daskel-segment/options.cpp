// Command line of daskel-segment.
#include "tools/daskel-segment/options.hpp"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace daskel::segment {
namespace {

bool parseInt(const std::string& text, int32_t& value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const long parsed = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed < INT32_MIN || parsed > INT32_MAX) return false;
  value = static_cast<int32_t>(parsed);
  return true;
}

bool parseFloat(const std::string& text, float& value) {
  if (text.empty()) return false;
  errno = 0;
  char* end = nullptr;
  const float parsed = std::strtof(text.c_str(), &end);
  if (errno != 0 || *end != '\0' || !std::isfinite(parsed)) return false;
  value = parsed;
  return true;
}

bool parseLevels(const std::string& text, std::vector<float>& levels, std::string& error) {
  levels.clear();
  std::size_t begin = 0;
  for (;;) {
    const std::size_t comma = text.find(',', begin);
    const std::string item = text.substr(begin, comma == std::string::npos ? comma : comma - begin);
    float level = 0.0f;
    if (!parseFloat(item, level) || level < 0.0f || level > 1.0f) {
      error = "--levels takes intensities between 0 and 1 separated by commas, not '" + text + "'";
      return false;
    }
    levels.push_back(level);
    if (comma == std::string::npos) break;
    begin = comma + 1;
  }
  std::sort(levels.begin(), levels.end());
  if (std::adjacent_find(levels.begin(), levels.end()) != levels.end()) {
    error = "--levels must not repeat an intensity";
    return false;
  }
  return true;
}

}  // namespace

bool parseOptions(const std::vector<std::string>& args, Options& options, std::string& error) {
  options = Options{};
  std::vector<std::string> files;
  bool phasesGiven = false;
  for (std::size_t a = 0; a < args.size(); ++a) {
    const std::string& arg = args[a];
    if (arg.size() < 2 || arg[0] != '-') {
      files.push_back(arg);
      continue;
    }
    if (arg == "--help" || arg == "-h") {
      options.help = true;
      continue;
    }
    if (arg == "--quiet" || arg == "-q") {
      options.quiet = true;
      continue;
    }
    // Options with a value: "--name value" or "--name=value".
    const std::size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    if (name != "--phases" && name != "--levels" && name != "--tv" && name != "--penalty" &&
        name != "--rounds" && name != "--labels" && name != "--soft") {
      error = "unknown option '" + arg + "'";
      return false;
    }
    std::string value;
    if (equals != std::string::npos) {
      value = arg.substr(equals + 1);
    } else if (a + 1 < args.size()) {
      value = args[++a];
    } else {
      error = name + " needs a value";
      return false;
    }
    if (name == "--phases") {
      if (!parseInt(value, options.phases) || options.phases < kMinPhases ||
          options.phases > kMaxPhases) {
        error = "--phases takes a whole number from " + std::to_string(kMinPhases) + " to " +
                std::to_string(kMaxPhases) + ", not '" + value + "'";
        return false;
      }
      phasesGiven = true;
    } else if (name == "--levels") {
      if (!parseLevels(value, options.levels, error)) return false;
    } else if (name == "--tv") {
      if (!parseFloat(value, options.tvWeight) || options.tvWeight < 0.0f) {
        error = "--tv takes a number of at least 0, not '" + value + "'";
        return false;
      }
    } else if (name == "--penalty") {
      if (!parseFloat(value, options.penalty) || !(options.penalty > 0.0f)) {
        error = "--penalty takes a number greater than 0, not '" + value + "'";
        return false;
      }
    } else if (name == "--rounds") {
      if (!parseInt(value, options.rounds) || options.rounds < 1 || options.rounds > kMaxRounds) {
        error = "--rounds takes a whole number from 1 to " + std::to_string(kMaxRounds) +
                ", not '" + value + "'";
        return false;
      }
    } else if (value.empty()) {
      error = name + " needs a file name";
      return false;
    } else if (name == "--labels") {
      options.labels = value;
    } else {
      options.softPrefix = value;
    }
  }
  if (!options.levels.empty()) {
    const auto count = static_cast<int32_t>(options.levels.size());
    if (count < kMinPhases || count > kMaxPhases) {
      error = "--levels takes from " + std::to_string(kMinPhases) + " to " +
              std::to_string(kMaxPhases) + " intensities";
      return false;
    }
    if (phasesGiven && count != options.phases) {
      error = "--phases " + std::to_string(options.phases) + " but --levels gives " +
              std::to_string(count) + " intensities";
      return false;
    }
    options.phases = count;
  }
  if (options.help) return true;
  if (files.size() != 2) {
    error = files.size() < 2
                ? "needs an INPUT and an OUTPUT file name"
                : "takes two file names, INPUT and OUTPUT, not " + std::to_string(files.size());
    return false;
  }
  options.input = files[0];
  options.output = files[1];
  return true;
}

std::string usageText() {
  const Options d;
  char defaults[2048];
  std::snprintf(defaults, sizeof defaults,
                "  --phases K      number of phases, %d to %d (default %d)\n"
                "  --levels a,b,.. starting phase intensities on a 0 (black) to 1 (white) scale,\n"
                "                  instead of k-means; sets K\n"
                "  --tv W          weight of the total variation, larger gives smoother regions\n"
                "                  (default %g)\n"
                "  --penalty P     split penalty of the solver (default %g)\n"
                "  --rounds R      solver calls; each after the first re-estimates the phase\n"
                "                  intensities and goes on from the labelling (default %d)\n",
                kMinPhases, kMaxPhases, d.phases, static_cast<double>(d.tvWeight),
                static_cast<double>(d.penalty), d.rounds);
  return std::string(
             "Usage: daskel-segment INPUT OUTPUT [options]\n"
             "\n"
             "Splits the PNG image INPUT (8- or 16-bit, grey or colour; colour counts by its\n"
             "luminance) into K regions of similar intensity with the DASKEL split-Bregman\n"
             "solver, and writes each pixel's most likely phase to OUTPUT as a colour PNG.\n"
             "Phases are numbered from 0 by increasing intensity. Data costs are squared\n"
             "distances to the phase intensities divided by twice the noise variance, which\n"
             "is estimated from the image, so the defaults suit images of any contrast.\n"
             "\n"
             "Options:\n") +
         defaults +
         "  --labels FILE   also write the phase numbers 0, 1, ... as an 8-bit grey PNG\n"
         "  --soft PREFIX   also write each phase's soft map to PREFIX0.png, PREFIX1.png, ...\n"
         "                  (0 to 255 for weights 0 to 1)\n"
         "  --quiet         print nothing but errors\n"
         "  --help          show this text\n";
}

}  // namespace daskel::segment
