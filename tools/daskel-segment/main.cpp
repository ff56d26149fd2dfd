// daskel-segment: segments a PNG image into regions of similar intensity with the DASKEL solver.
#include <array>
#include <chrono>
#include <cstdio>
#include <limits>
#include <new>
#include <string>
#include <vector>

#include "segment/segment.hpp"
#include "tools/daskel-segment/options.hpp"
#include "tools/daskel-segment/outputs.hpp"
#include "tools/daskel-segment/png_io.hpp"

namespace {

using daskel::segment::GreyImage;
using daskel::tool::NamedPath;
using daskel::tool::Options;
using daskel::tool::OutputSet;
using Clock = std::chrono::steady_clock;

// Run time from which a progress line per round is printed.
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

int fail(const std::string& message) {
  std::fprintf(stderr, "daskel-segment: %s\n", message.c_str());
  return 1;
}

// Both ways of running out, a failed solver buffer and a failed allocation elsewhere.
constexpr char kOutOfMemory[] = "not enough memory for this image and number of phases";

double secondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

std::string levelList(const std::vector<float>& levels) {
  std::string text;
  char item[32];
  for (float level : levels) {
    std::snprintf(item, sizeof item, "%s%.3f", text.empty() ? "" : " ", static_cast<double>(level));
    text += item;
  }
  return text;
}

// OUTPUT, then --labels, then the --soft maps, in the order they are written.
std::vector<NamedPath> outputPaths(const Options& options) {
  std::vector<NamedPath> paths = {{"OUTPUT", options.output}};
  if (!options.labels.empty()) paths.push_back({"--labels", options.labels});
  if (!options.softPrefix.empty()) {
    for (int32_t k = 0; k < options.settings.phases; ++k) {
      paths.push_back({"--soft", options.softPrefix + std::to_string(k) + ".png"});
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

int run(int argc, char** argv) {
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
  const daskel::segment::Settings& settings = options.settings;
  const std::vector<NamedPath> paths = outputPaths(options);
  if (!daskel::tool::checkOutputFiles({"INPUT", options.input}, paths, error)) {
    return fail(error);
  }
  daskel::tool::removeStagedFilesOnSignals();
  // With the image on standard output, the report goes to standard error.
  std::FILE* report = options.output == daskel::tool::kStandardOutput ? stderr : stdout;

  GreyImage image;
  if (!daskel::tool::readPng(options.input, image, error, options.maxPixels)) {
    return fail(error);
  }
  if (image.rows < 2 || image.cols < 2) {
    return fail("'" + options.input + "' is " + std::to_string(image.cols) + " x " +
                std::to_string(image.rows) + " pixels; it must be at least 2 x 2");
  }
  const std::int64_t elements = std::int64_t{image.rows} * image.cols * settings.phases;
  if (elements > std::numeric_limits<int32_t>::max()) {
    return fail("'" + options.input + "' is too large for " + std::to_string(settings.phases) +
                " phases");
  }

  // Every output is staged before the solve, so an unwritable one fails at once.
  OutputSet outputs;
  for (const NamedPath& path : paths) {
    if (!outputs.add(path.path, error)) return fail(error);
  }

  const Clock::time_point start = Clock::now();
  bool showProgress = false;
  auto onRound = [&](const daskel::segment::RoundReport& round) {
    const double elapsed = secondsSince(start);
    // Once the run has taken more than a second, every further round is reported.
    showProgress = showProgress || elapsed > kProgressSeconds;
    if (showProgress && !options.quiet) {
      std::fprintf(report, "round %d of %d: intensities %s, %d outer iterations, %.1f s\n",
                   round.round, settings.rounds, levelList(*round.levels).c_str(),
                   round.outerIterations, elapsed);
      std::fflush(report);
    }
  };
  daskel::segment::Result result;
  // The solver's own lines about failed buffers would make a second line; one is enough.
  if (!daskel::segment::segmentImage(image, settings, result, onRound, nullptr)) {
    return fail(kOutOfMemory);
  }
  const double seconds = secondsSince(start);

  const int32_t slice = image.rows * image.cols;
  std::size_t next = 0;
  bool written = daskel::tool::writePng(outputs[next++], image.rows, image.cols, 3,
                                        colourImage(result.labels), error);
  if (written && !options.labels.empty()) {
    written =
        daskel::tool::writePng(outputs[next++], image.rows, image.cols, 1, result.labels, error);
  }
  if (!options.softPrefix.empty()) {
    for (int32_t k = 0; written && k < settings.phases; ++k) {
      written = daskel::tool::writePng(outputs[next++], image.rows, image.cols, 1,
                                       softMap(result.u, slice, k), error);
    }
  }
  if (!written || !outputs.commit(error)) return fail(error);

  if (!options.quiet) {
    const std::vector<double> shares = daskel::segment::phaseShares(result.labels, settings.phases);
    std::fprintf(report, "%s: %d x %d pixels, %d phases\n", options.input.c_str(), image.cols,
                 image.rows, settings.phases);
    std::fprintf(report, "phase  intensity  pixels\n");
    for (int32_t k = 0; k < settings.phases; ++k) {
      std::fprintf(report, "%5d  %9.3f  %5.1f %%\n", k, static_cast<double>(result.levels[k]),
                   100.0 * shares[k]);
    }
    std::fprintf(report, "%d rounds, %d outer iterations, %.2f s\n", settings.rounds,
                 result.outerIterations, seconds);
    std::fprintf(report, "wrote %s\n",
                 report == stderr ? "the image to standard output" : options.output.c_str());
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
