// Command line of daskel-segment.
#include "tools/daskel-segment/options.hpp"

#include <algorithm>
#include <cerrno>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>

namespace daskel::segment {
namespace {

// How a number on the command line was read.
enum class Number { ok, malformed, tooSmall, tooLarge };

// strtol and strtof skip leading blanks; a value on the command line may not have any.
bool startsWithoutBlank(const std::string& text) {
  return !text.empty() && std::isspace(static_cast<unsigned char>(text[0])) == 0;
}

template <typename Integer>
bool parseInteger(const std::string& text, Integer& value) {
  if (!startsWithoutBlank(text)) return false;
  errno = 0;
  char* end = nullptr;
  const long long parsed = std::strtoll(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || parsed < std::numeric_limits<Integer>::min() ||
      parsed > std::numeric_limits<Integer>::max()) {
    return false;
  }
  value = static_cast<Integer>(parsed);
  return true;
}

// Reads the value of a whole-number option from `low` to `high`; otherwise `error` says so.
template <typename Integer>
bool parseIntegerOption(const std::string& name, const std::string& text, Integer low,
                        Integer high, Integer& value, std::string& error) {
  Integer parsed = 0;
  if (parseInteger(text, parsed) && parsed >= low && parsed <= high) {
    value = parsed;
    return true;
  }
  error = name + " takes a whole number from " + std::to_string(low) + " to " +
          std::to_string(high) + ", not '" + text + "'";
  return false;
}

// A finite float. Values that underflow to zero or to a subnormal, or overflow, are told apart
// from malformed text, so that the message can say what is wrong with them.
Number parseFloat(const std::string& text, float& value) {
  if (!startsWithoutBlank(text)) return Number::malformed;
  errno = 0;
  char* end = nullptr;
  const float parsed = std::strtof(text.c_str(), &end);
  if (*end != '\0') return Number::malformed;
  if (errno == ERANGE) {
    return std::fabs(parsed) < std::numeric_limits<float>::min() ? Number::tooSmall
                                                                  : Number::tooLarge;
  }
  if (errno != 0 || !std::isfinite(parsed)) return Number::malformed;
  value = parsed;
  return Number::ok;
}

// The message for a number outside the range of floats; empty for any other outcome.
std::string floatRangeError(const std::string& name, const std::string& text, Number number) {
  char limit[32];
  if (number == Number::tooSmall) {
    std::snprintf(limit, sizeof limit, "%g", static_cast<double>(std::numeric_limits<float>::min()));
    return name + " '" + text + "' is too close to 0 for a 32-bit float (use 0 or at least " +
           limit + ")";
  }
  if (number == Number::tooLarge) {
    std::snprintf(limit, sizeof limit, "%g", static_cast<double>(std::numeric_limits<float>::max()));
    return name + " '" + text + "' is too large for a 32-bit float (at most " + limit + ")";
  }
  return std::string();
}

// Reads the value of a float option that `accept` admits; otherwise `error` says why not, with
// `requirement` ("a number of at least 0") for values that are in range but not admitted.
template <typename Accept>
bool parseFloatOption(const std::string& name, const std::string& text, const char* requirement,
                      Accept accept, float& value, std::string& error) {
  float parsed = 0.0f;
  const Number number = parseFloat(text, parsed);
  if (number == Number::ok && accept(parsed)) {
    value = parsed;
    return true;
  }
  error = floatRangeError(name, text, number);
  if (error.empty()) error = name + " takes " + requirement + ", not '" + text + "'";
  return false;
}

bool parseLevels(const std::string& text, std::vector<float>& levels, std::string& error) {
  levels.clear();
  std::size_t begin = 0;
  for (;;) {
    const std::size_t comma = text.find(',', begin);
    const std::string item = text.substr(begin, comma == std::string::npos ? comma : comma - begin);
    float level = 0.0f;
    const Number number = parseFloat(item, level);
    if (number != Number::ok || level < 0.0f || level > 1.0f) {
      error = floatRangeError("--levels", item, number);
      if (error.empty()) {
        error =
            "--levels takes intensities between 0 and 1 separated by commas, not '" + text + "'";
      }
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
  bool optionsEnded = false;  // after "--" every argument is a file name, '-' first or not
  for (std::size_t a = 0; a < args.size(); ++a) {
    const std::string& arg = args[a];
    if (optionsEnded || arg.size() < 2 || arg[0] != '-') {
      files.push_back(arg);
      continue;
    }
    if (arg == "--") {
      optionsEnded = true;
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
        name != "--rounds" && name != "--max-pixels" && name != "--threads" && name != "--labels" &&
        name != "--soft") {
      error = "unknown option '" + arg + "'";
      return false;
    }
    std::string value;
    if (equals != std::string::npos) {
      value = arg.substr(equals + 1);
    } else if (a + 1 < args.size() && args[a + 1].rfind("--", 0) != 0) {
      value = args[++a];
    } else {
      error = name + " needs a value";
      return false;
    }
    if (name == "--phases") {
      if (!parseIntegerOption(name, value, kMinPhases, kMaxPhases, options.phases, error)) {
        return false;
      }
      phasesGiven = true;
    } else if (name == "--levels") {
      if (!parseLevels(value, options.levels, error)) return false;
    } else if (name == "--tv") {
      if (!parseFloatOption(
              name, value, "a number of at least 0", [](float v) { return v >= 0.0f; },
              options.tvWeight, error)) {
        return false;
      }
    } else if (name == "--penalty") {
      if (!parseFloatOption(
              name, value, "a number greater than 0", [](float v) { return v > 0.0f; },
              options.penalty, error)) {
        return false;
      }
    } else if (name == "--rounds") {
      if (!parseIntegerOption(name, value, 1, kMaxRounds, options.rounds, error)) return false;
    } else if (name == "--threads") {
      if (!parseIntegerOption(name, value, 0, kMaxThreads, options.threads, error)) return false;
    } else if (name == "--max-pixels") {
      if (!parseIntegerOption<int64_t>(name, value, 4, kPixelCeiling, options.maxPixels, error)) {
        return false;
      }
    } else if (value.empty()) {
      error = name + " needs a file name";
      return false;
    } else if (name == "--labels" && value == "-") {
      error = "--labels cannot go to standard output; only OUTPUT can be '-'";
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
                "                  intensities and goes on from the labelling (default %d)\n"
                "  --max-pixels N  refuse larger images before decoding them (default %lld;\n"
                "                  about 100 bytes of memory per pixel with 3 phases)\n"
                "  --threads N     threads of each solve, 1 to %d; 0 (the default) chooses:\n"
                "                  DASKEL_NUM_THREADS if set, else the CPUs this process may use\n",
                kMinPhases, kMaxPhases, d.phases, static_cast<double>(d.tvWeight),
                static_cast<double>(d.penalty), d.rounds, static_cast<long long>(d.maxPixels),
                kMaxThreads);
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
         "  --help          show this text\n"
         "  --              every later argument is a file name, even one that starts with -\n"
         "\n"
         "Output files appear only when all of them are complete; a failed or interrupted\n"
         "run leaves none, nor any temporary file. OUTPUT - writes the colour PNG to\n"
         "standard output, and the report then goes to standard error. An output that is\n"
         "a symbolic link is followed: the file it points to is replaced and the link\n"
         "stays. An existing output keeps its permissions; a read-only one (no write\n"
         "permission), a folder, a broken link, and an output that is the same file as\n"
         "INPUT or as another output (however spelt) are refused before any work.\n";
}

}  // namespace daskel::segment
