// Command line of daskel-segment.
#include "tools/daskel-segment/options.hpp"

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <map>

namespace daskel::tool {
namespace {

using segment::kMaxPhases;
using segment::kMinPhases;

// strtol and strtof skip leading blanks; a value on the command line may not have any.
bool startsWithoutBlank(const std::string& text) {
  return !text.empty() && std::isspace(static_cast<unsigned char>(text[0])) == 0;
}

// A whole number; one beyond the range of long long reads as the nearest end of that range.
bool parseInteger(const std::string& text, long long& value) {
  if (!startsWithoutBlank(text)) return false;
  char* end = nullptr;
  value = std::strtoll(text.c_str(), &end, 10);
  return end != text.c_str() && *end == '\0';
}

// A whole number, taken into the range of int32_t: beyond it every setting refuses it anyway, in
// segment::checkSettings' words.
bool parseSetting(const std::string& name, const std::string& text, int32_t& value,
                  std::string& error) {
  long long parsed = 0;
  if (!parseInteger(text, parsed)) {
    error = name + " takes a whole number, not '" + text + "'";
    return false;
  }
  constexpr long long low = std::numeric_limits<int32_t>::min();
  constexpr long long high = std::numeric_limits<int32_t>::max();
  value = static_cast<int32_t>(std::clamp(parsed, low, high));
  return true;
}

// A number as a 32-bit float, rounded to nearest. Text beyond the range of floats reads as what
// strtof makes of it (infinity, or 0 or a subnormal), and "nan" and "inf" as themselves, so that
// segment::checkSettings judges every value.
bool parseFloat(const std::string& text, float& value) {
  if (!startsWithoutBlank(text)) return false;
  char* end = nullptr;
  value = std::strtof(text.c_str(), &end);
  return end != text.c_str() && *end == '\0';
}

bool parseSetting(const std::string& name, const std::string& text, float& value,
                  std::string& error) {
  if (parseFloat(text, value)) return true;
  error = name + " takes a number, not '" + text + "'";
  return false;
}

// Intensities separated by commas, sorted.
bool parseLevels(const std::string& text, std::vector<float>& levels, std::string& error) {
  levels.clear();
  std::size_t begin = 0;
  for (;;) {
    const std::size_t comma = text.find(',', begin);
    const std::string item = text.substr(begin, comma == std::string::npos ? comma : comma - begin);
    float level = 0.0f;
    if (!parseFloat(item, level)) {
      error = "--levels takes intensities between 0 and 1 separated by commas, not '" + text + "'";
      return false;
    }
    levels.push_back(level);
    if (comma == std::string::npos) break;
    begin = comma + 1;
  }
  std::sort(levels.begin(), levels.end());
  return true;
}

bool parseMaxPixels(const std::string& text, int64_t& value, std::string& error) {
  constexpr int64_t low = 4;
  long long parsed = 0;
  if (parseInteger(text, parsed) && parsed >= low && parsed <= kPixelCeiling) {
    value = parsed;
    return true;
  }
  error = "--max-pixels takes a whole number from " + std::to_string(low) + " to " +
          std::to_string(kPixelCeiling) + ", not '" + text + "'";
  return false;
}

// The options that take a value, each named "--" and the segment::Settings field's name where it
// sets one.
bool takesValue(const std::string& name) {
  for (const char* option : {"--phases", "--levels", "--tv", "--penalty", "--rounds",
                             "--max-pixels", "--threads", "--window", "--labels", "--soft"}) {
    if (name == option) return true;
  }
  return false;
}

}  // namespace

bool parseOptions(const std::vector<std::string>& args, Options& options, std::string& error) {
  options = Options{};
  segment::Settings& settings = options.settings;
  std::vector<std::string> files;
  std::map<std::string, std::string> givenText;  // the text of each option given, by its name
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
    if (arg == "--version") {
      options.version = true;
      continue;
    }
    if (arg == "--quiet" || arg == "-q") {
      options.quiet = true;
      continue;
    }
    // Options with a value: "--name value" or "--name=value".
    const std::size_t equals = arg.find('=');
    const std::string name = arg.substr(0, equals);
    if (!takesValue(name)) {
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
    givenText[name] = value;
    bool parsed = true;
    if (name == "--phases") {
      parsed = parseSetting(name, value, settings.phases, error);
    } else if (name == "--levels") {
      parsed = parseLevels(value, settings.levels, error);
    } else if (name == "--tv") {
      parsed = parseSetting(name, value, settings.tvWeight, error);
    } else if (name == "--penalty") {
      parsed = parseSetting(name, value, settings.penalty, error);
    } else if (name == "--rounds") {
      parsed = parseSetting(name, value, settings.rounds, error);
    } else if (name == "--threads") {
      parsed = parseSetting(name, value, settings.threads, error);
    } else if (name == "--window") {
      parsed = parseSetting(name, value, settings.window, error);
    } else if (name == "--max-pixels") {
      parsed = parseMaxPixels(value, options.maxPixels, error);
    } else if (value.empty()) {
      error = name + " needs a file name";
      parsed = false;
    } else if (name == "--labels" && value == "-") {
      error = "--labels cannot go to standard output; only OUTPUT can be '-'";
      parsed = false;
    } else if (name == "--labels") {
      options.labels = value;
    } else {
      options.softPrefix = value;
    }
    if (!parsed) return false;
  }
  // --levels alone sets the number of phases.
  const auto levelCount = static_cast<int32_t>(settings.levels.size());
  if (levelCount > 0 && givenText.count("--phases") == 0) {
    if (levelCount < kMinPhases || levelCount > kMaxPhases) {
      error = "--levels takes from " + std::to_string(kMinPhases) + " to " +
              std::to_string(kMaxPhases) + " intensities";
      return false;
    }
    settings.phases = levelCount;
  }
  if (const segment::SettingsProblem problem = segment::checkSettings(settings)) {
    const std::string name = "--" + problem.setting;
    error = name + " " + problem.requirement + "; got '" + givenText[name] + "'";
    return false;
  }
  if (options.help || options.version) return true;
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
  const segment::Settings d;
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
                "  --max-pixels N  refuse larger images (each page of a stack) before decoding\n"
                "                  them (default %lld; about 100 bytes of memory per pixel\n"
                "                  with 3 phases)\n"
                "  --threads N     threads of each solve, 1 to %d, at most the CPUs this process\n"
                "                  may use; 0 (the default) takes those CPUs, or fewer where\n"
                "                  DASKEL_NUM_THREADS asks for fewer\n"
                "  --window W      segment the means of W x W windows (W odd, at most %d); 1\n"
                "                  the pixels themselves; 0 (the default) chooses 1, or about\n"
                "                  one period of a fine texture (stripes, checks)\n",
                segment::kMinPhases, segment::kMaxPhases, d.phases, static_cast<double>(d.tvWeight),
                static_cast<double>(d.penalty), d.rounds, static_cast<long long>(kDefaultMaxPixels),
                segment::kMaxThreads, segment::kMaxWindow);
  return std::string(
             "Usage: daskel-segment INPUT OUTPUT [options]\n"
             "\n"
             "Splits the image INPUT into K regions of similar intensity with the DASKEL\n"
             "split-Bregman solver, and writes each pixel's most likely phase to OUTPUT as a\n"
             "colour image. INPUT is a PNG (8- or 16-bit), a TIFF (8- or 16-bit, or 32-bit\n"
             "floating point in [0, 1]) or a JPEG, grey or colour (colour counts by its\n"
             "luminance), told apart by its first bytes; - reads it from standard input. Each\n"
             "page of a multi-page TIFF is segmented on its own, and every output then has one\n"
             "page per input page. Outputs are PNG or TIFF files by their extension (.png,\n"
             ".tif, .tiff); a stack needs TIFF outputs. Phases are numbered from 0 by\n"
             "increasing intensity. Data costs are squared distances to the phase intensities\n"
             "divided by twice the noise variance, which is estimated from the image, so the\n"
             "defaults suit images of any contrast.\n"
             "\n"
             "Options:\n") +
         defaults +
         "  --labels FILE   also write the phase numbers 0, 1, ... as an 8-bit grey image\n"
         "  --soft PREFIX   also write each phase's soft map to PREFIX0.png, PREFIX1.png, ...\n"
         "                  (.tif for a TIFF OUTPUT; 0 to 255 for weights 0 to 1)\n"
         "  --quiet         print nothing but errors\n"
         "  --help          show this text\n"
         "  --version       print the version\n"
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

}  // namespace daskel::tool
