// daskel-segment: segments an image (PNG, TIFF or JPEG; each page of a TIFF stack on its own)
// into regions of similar intensity with the DASKEL solver.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "segment/segment.hpp"
#include "tools/daskel-segment/image_io.hpp"
#include "tools/daskel-segment/options.hpp"
#include "tools/daskel-segment/outputs.hpp"

namespace {

using daskel::segment::GreyImage;
using daskel::tool::ImageFormat;
using daskel::tool::NamedPath;
using daskel::tool::Options;
using daskel::tool::OutputSet;
using Clock = std::chrono::steady_clock;

// Run time from which every round is reported: on the progress line where standard error is a
// terminal, else by a line of the report.
constexpr double kProgressSeconds = 1.0;

// One colour per phase, told apart easily.
constexpr std::array<std::array<uint8_t, 3>, daskel::segment::kMaxPhases> kPalette{{
    {31, 119, 180},
    {255, 127, 14},
    {44, 160, 44},
    {214, 39, 40},
    {148, 103, 189},
    {140, 86, 75},
    {227, 119, 194},
    {127, 127, 127},
    {188, 189, 34},
    {23, 190, 207},
    {174, 199, 232},
    {255, 187, 120},
    {152, 223, 138},
    {255, 152, 150},
    {197, 176, 213},
    {196, 156, 148},
}};

// A line on a terminal that says how far the run is, rewritten in place.
class ProgressLine {
 public:
  // Shows nothing until a terminal is given.
  void showOn(std::FILE* terminal) { terminal_ = terminal; }
  void show(const std::string& text) {
    if (terminal_ == nullptr) return;
    // Blanks cover what is left of a longer line before.
    const std::size_t blanks = shown_ > text.size() ? shown_ - text.size() : 0;
    std::fprintf(terminal_, "\r%s%*s", text.c_str(), static_cast<int>(blanks), "");
    std::fflush(terminal_);
    shown_ = text.size();
  }
  // Blanks the line and leaves the cursor at its start, for whatever is printed next.
  void clear() {
    if (terminal_ == nullptr || shown_ == 0) return;
    std::fprintf(terminal_, "\r%*s\r", static_cast<int>(shown_), "");
    std::fflush(terminal_);
    shown_ = 0;
  }

 private:
  std::FILE* terminal_ = nullptr;
  std::size_t shown_ = 0;
};

ProgressLine progressLine;

int fail(const std::string& message) {
  progressLine.clear();
  std::fprintf(stderr, "daskel-segment: %s\n", message.c_str());
  return 1;
}

// Both ways of running out, a failed solver buffer and a failed allocation elsewhere.
constexpr char kOutOfMemory[] = "not enough memory for this image and number of phases";

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

// Decimals that show the levels apart at any range: three, or two significant digits of the
// smallest gap between them where that needs more (0.00153 0.00381 0.00610 for levels 100, 250
// and 400 of 65535), at most nine.
int levelDecimals(const std::vector<float>& levels) {
  double gap = 1.0;
  for (std::size_t k = 1; k < levels.size(); ++k) {
    gap = std::min(gap, std::fabs(static_cast<double>(levels[k]) - levels[k - 1]));
  }
  if (!(gap > 0.0)) return 3;
  return std::clamp(1 - static_cast<int>(std::floor(std::log10(gap))), 3, 9);
}

std::string levelList(const std::vector<float>& levels) {
  const int decimals = levelDecimals(levels);
  std::string text;
  char item[32];
  for (float level : levels) {
    std::snprintf(item, sizeof item, "%s%.*f", text.empty() ? "" : " ", decimals,
                  static_cast<double>(level));
    text += item;
  }
  return text;
}

// OUTPUT, then --labels, then the --soft maps, in the order they are written. The soft maps are
// PNG files, or TIFF files where OUTPUT is one.
std::vector<NamedPath> outputPaths(const Options& options, ImageFormat outputFormat) {
  std::vector<NamedPath> paths = {{"OUTPUT", options.output}};
  if (!options.labels.empty()) paths.push_back({"--labels", options.labels});
  if (!options.softPrefix.empty()) {
    const char* extension = outputFormat == ImageFormat::tiff ? ".tif" : ".png";
    for (int32_t k = 0; k < options.settings.phases; ++k) {
      paths.push_back({"--soft", options.softPrefix + std::to_string(k) + extension});
    }
  }
  return paths;
}

std::vector<uint8_t> colourImage(const std::vector<uint8_t>& labels) {
  std::vector<uint8_t> colours(labels.size() * 3);
  for (std::size_t p = 0; p < labels.size(); ++p) {
    for (int c = 0; c < 3; ++c) colours[3 * p + c] = kPalette[labels[p]][c];
  }
  return colours;
}

// Phase k's weights as 8-bit grey, 0 to 255 for 0 to 1.
std::vector<uint8_t> softMap(const std::vector<float>& u, int32_t slice, int32_t k) {
  std::vector<uint8_t> soft(static_cast<std::size_t>(slice));
  for (int32_t p = 0; p < slice; ++p) {
    soft[p] = static_cast<uint8_t>(u[p + static_cast<std::size_t>(slice) * k] * 255.0f + 0.5f);
  }
  return soft;
}

// What the report says of one page.
struct PageReport {
  int32_t rows = 0;
  int32_t cols = 0;
  std::vector<float> levels;
  std::vector<double> shares;
  int32_t rounds = 0;
  int32_t outerIterations = 0;
  double seconds = 0.0;
  int32_t window = 1;
};

// The input as messages name it, with the page when there are several: "'a.tif' (page 2 of 3)".
std::string pageName(const daskel::tool::ImageReader& input, int32_t page) {
  std::string name = "'" + input.name() + "'";
  if (input.pages() > 1) {
    name += " (page " + std::to_string(page + 1) + " of " + std::to_string(input.pages()) + ")";
  }
  return name;
}

// Whether the solver takes `image` in `phases` phases; false with `error` set.
bool checkImageSize(const GreyImage& image, int32_t phases, const std::string& name,
                    std::string& error) {
  if (image.rows < 2 || image.cols < 2) {
    error = name + " is " + std::to_string(image.cols) + " x " + std::to_string(image.rows) +
            " pixels; it must be at least 2 x 2";
    return false;
  }
  const std::int64_t elements = std::int64_t{image.rows} * image.cols * phases;
  if (elements > std::numeric_limits<int32_t>::max()) {
    error = name + " is too large for " + std::to_string(phases) + " phases";
    return false;
  }
  return true;
}

void printReport(std::FILE* report, const std::string& name, int32_t pages,
                 const std::vector<PageReport>& reports, const daskel::segment::Settings& settings,
                 const std::string& written) {
  for (std::size_t page = 0; page < reports.size(); ++page) {
    const PageReport& r = reports[page];
    if (pages == 1) {
      std::fprintf(report, "%s: %d x %d pixels, %d phases\n", name.c_str(), r.cols, r.rows,
                   settings.phases);
    } else {
      std::fprintf(report, "%s (page %zu of %d): %d x %d pixels, %d phases\n", name.c_str(),
                   page + 1, pages, r.cols, r.rows, settings.phases);
    }
    std::fprintf(report, "phase  intensity  pixels\n");
    const int decimals = levelDecimals(r.levels);
    for (int32_t k = 0; k < settings.phases; ++k) {
      std::fprintf(report, "%5d  %9.*f  %5.1f %%\n", k, decimals, static_cast<double>(r.levels[k]),
                   100.0 * r.shares[k]);
    }
    if (r.window > 1) {
      std::fprintf(report, "texture: the phases of the means of %d x %d windows\n", r.window,
                   r.window);
    }
    // Rounds end early once they settle; the count says how many ran.
    const char* rounds = r.rounds == 1 ? "round" : "rounds";
    if (r.rounds < settings.rounds) {
      std::fprintf(report, "%d %s (settled; at most %d), %d outer iterations, %.2f s\n", r.rounds,
                   rounds, settings.rounds, r.outerIterations, r.seconds);
    } else {
      std::fprintf(report, "%d %s, %d outer iterations, %.2f s\n", r.rounds, rounds,
                   r.outerIterations, r.seconds);
    }
  }
  if (pages == 1) {
    std::fprintf(report, "wrote %s\n", written.c_str());
  } else {
    std::fprintf(report, "wrote %s, %d pages\n", written.c_str(), pages);
  }
}

int run(int argc, char** argv) {
  // The run's time counts from here: reading a long standard input is part of the wait too.
  const Clock::time_point start = Clock::now();
  daskel::tool::occupyClosedStandardDescriptors();
  Options options;
  std::string error;
  if (!daskel::tool::parseOptions(std::vector<std::string>(argv + 1, argv + argc), options,
                                  error)) {
    return fail(error + " (see --help)");
  }
  if (options.help) {
    std::fputs(daskel::tool::usageText().c_str(), stdout);
    return 0;
  }
  if (options.version) {
    std::fputs("daskel-segment " DASKEL_VERSION "\n", stdout);
    return 0;
  }
  const daskel::segment::Settings& settings = options.settings;
  ImageFormat outputFormat = ImageFormat::png;
  if (!daskel::tool::outputFormat({"OUTPUT", options.output}, outputFormat, error)) {
    return fail(error);
  }
  const std::vector<NamedPath> paths = outputPaths(options, outputFormat);
  std::vector<ImageFormat> formats(paths.size());
  for (std::size_t k = 0; k < paths.size(); ++k) {
    if (!daskel::tool::outputFormat(paths[k], formats[k], error)) return fail(error);
  }
  if (!daskel::tool::checkOutputFiles({"INPUT", options.input}, paths, error)) {
    return fail(error);
  }
  daskel::tool::removeStagedFilesOnSignals();
  // With the image on standard output, the report goes to standard error.
  std::FILE* report = options.output == daskel::tool::kStandardOutput ? stderr : stdout;
  // On a terminal the rounds go to the progress line, which the report then does without.
  const bool terminal = !options.quiet && isatty(STDERR_FILENO) == 1;
  if (terminal) progressLine.showOn(stderr);

  daskel::tool::ImageReader input;
  if (!input.open(options.input, error, options.maxPixels)) return fail(error);
  const int32_t pages = input.pages();
  if (pages > 1) {
    for (std::size_t k = 0; k < paths.size(); ++k) {
      if (formats[k] != ImageFormat::png) continue;
      const std::string stack = "'" + input.name() + "' has " + std::to_string(pages) + " pages";
      if (paths[k].path == daskel::tool::kStandardOutput) {
        return fail(stack + "; standard output takes a single PNG image: name OUTPUT .tif");
      }
      return fail(
          stack + "; " + paths[k].role + " '" + paths[k].path +
          "' is a PNG file, which holds one page: name it .tif for one page per input page");
    }
  }
  GreyImage image;
  if (!input.readPage(image, error) ||
      !checkImageSize(image, settings.phases, pageName(input, 0), error)) {
    return fail(error);
  }

  // Every output is staged before the solve, so an unwritable one fails at once.
  OutputSet outputs;
  std::vector<std::unique_ptr<daskel::tool::ImageWriter>> writers;
  for (std::size_t k = 0; k < paths.size(); ++k) {
    if (!outputs.add(paths[k].path, error)) return fail(error);
    writers.push_back(std::make_unique<daskel::tool::ImageWriter>());
    if (!writers.back()->open(outputs[k], formats[k], pages, error)) return fail(error);
  }

  bool showProgress = false;
  int32_t page = 0;
  auto onRound = [&](const daskel::segment::RoundReport& round) {
    const double elapsed = secondsSince(start);
    // Once the run has taken more than a second, every further round is reported.
    showProgress = showProgress || elapsed > kProgressSeconds;
    if (!showProgress || options.quiet) return;
    const std::string where =
        pages == 1 ? std::string()
                   : "page " + std::to_string(page + 1) + " of " + std::to_string(pages) + ", ";
    char text[64];
    if (terminal) {
      std::snprintf(text, sizeof text, "round %d of %d, %.1f s", round.round, settings.rounds,
                    elapsed);
      progressLine.show(where + text);
      return;
    }
    std::fprintf(report, "%sround %d of %d: intensities %s, %d outer iterations, %.1f s\n",
                 where.c_str(), round.round, settings.rounds, levelList(*round.levels).c_str(),
                 round.outerIterations, elapsed);
    std::fflush(report);
  };

  std::vector<PageReport> reports;
  for (page = 0; page < pages; ++page) {
    if (page > 0 && (!input.readPage(image, error) ||
                     !checkImageSize(image, settings.phases, pageName(input, page), error))) {
      return fail(error);
    }
    const Clock::time_point pageStart = Clock::now();
    daskel::segment::Result result;
    // The solver's own lines about failed buffers would make a second line; one is enough.
    if (!daskel::segment::segmentImage(image, settings, result, onRound, nullptr)) {
      return fail(kOutOfMemory);
    }
    reports.push_back({image.rows, image.cols, result.levels,
                       daskel::segment::phaseShares(result.labels, settings.phases), result.rounds,
                       result.outerIterations, secondsSince(pageStart), result.window});

    const int32_t slice = image.rows * image.cols;
    std::size_t next = 0;
    bool written =
        writers[next++]->writePage(image.rows, image.cols, 3, colourImage(result.labels), error);
    if (written && !options.labels.empty()) {
      written = writers[next++]->writePage(image.rows, image.cols, 1, result.labels, error);
    }
    if (!options.softPrefix.empty()) {
      for (int32_t k = 0; written && k < settings.phases; ++k) {
        written = writers[next++]->writePage(image.rows, image.cols, 1, softMap(result.u, slice, k),
                                             error);
      }
    }
    if (!written) return fail(error);
  }
  for (auto& writer : writers) {
    if (!writer->close(error)) return fail(error);
  }
  if (!outputs.commit(error)) return fail(error);

  progressLine.clear();
  if (!options.quiet) {
    printReport(report, input.name(), pages, reports, settings,
                report == stderr ? "the image to standard output" : options.output);
  }
  return 0;
}

}  // namespace

// A failed allocation anywhere ends the run like any other error: one line, status 1, and the
// staged files removed as the stack unwinds.
int main(int argc, char** argv) {
  try {
    return run(argc, argv);
  } catch (const std::bad_alloc&) {
    return fail(kOutOfMemory);
  }
}
