// daskel-segment: segments a PNG image into regions of similar intensity with the DASKEL solver.
#include <array>
#include <chrono>
#include <cstdio>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "tools/daskel-segment/options.hpp"
#include "tools/daskel-segment/png_io.hpp"
#include "tools/daskel-segment/segment.hpp"

namespace {

using daskel::segment::GreyImage;
using daskel::segment::Options;
using daskel::segment::StagedFile;
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

void printToStderr(const char* message) {
  std::fprintf(stderr, "daskel-segment: %s", message);
}

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

}  // namespace

int main(int argc, char** argv) {
  Options options;
  std::string error;
  if (!daskel::segment::parseOptions(std::vector<std::string>(argv + 1, argv + argc), options,
                                     error)) {
    return fail(error + " (see --help)");
  }
  if (options.help) {
    std::fputs(daskel::segment::usageText().c_str(), stdout);
    return 0;
  }

  GreyImage image;
  if (!daskel::segment::readPng(options.input, image, error)) return fail(error);
  if (image.rows < 2 || image.cols < 2) {
    return fail("'" + options.input + "' is " + std::to_string(image.cols) + " x " +
                std::to_string(image.rows) + " pixels; it must be at least 2 x 2");
  }
  const std::int64_t elements = std::int64_t{image.rows} * image.cols * options.phases;
  if (elements > std::numeric_limits<int32_t>::max()) {
    return fail("'" + options.input + "' is too large for " + std::to_string(options.phases) +
                " phases");
  }

  // Every output is created before the solve, so an unwritable one fails at once.
  std::vector<std::unique_ptr<StagedFile>> outputs;
  auto stage = [&](const std::string& path) {
    outputs.push_back(std::make_unique<StagedFile>());
    return outputs.back()->open(path, error);
  };
  if (!stage(options.output)) return fail(error);
  if (!options.labels.empty() && !stage(options.labels)) return fail(error);
  if (!options.softPrefix.empty()) {
    for (int32_t k = 0; k < options.phases; ++k) {
      if (!stage(options.softPrefix + std::to_string(k) + ".png")) return fail(error);
    }
  }

  daskel::segment::Settings settings;
  settings.phases = options.phases;
  settings.levels = options.levels;
  settings.tvWeight = options.tvWeight;
  settings.penalty = options.penalty;
  settings.rounds = options.rounds;

  const Clock::time_point start = Clock::now();
  bool showProgress = false;
  auto onRound = [&](const daskel::segment::RoundReport& report) {
    const double elapsed = secondsSince(start);
    // Once the run has taken more than a second, every further round is reported.
    showProgress = showProgress || elapsed > kProgressSeconds;
    if (showProgress && !options.quiet) {
      std::printf("round %d of %d: intensities %s, %d outer iterations, %.1f s\n", report.round,
                  options.rounds, levelList(*report.levels).c_str(), report.outerIterations,
                  elapsed);
      std::fflush(stdout);
    }
  };
  daskel::segment::Result result;
  if (!daskel::segment::segmentImage(image, settings, result, onRound, printToStderr)) {
    return fail("not enough memory for the solver");
  }
  const double seconds = secondsSince(start);

  const int32_t slice = image.rows * image.cols;
  const std::vector<uint8_t>& labels = result.labels;
  std::size_t next = 0;
  std::vector<uint8_t> colours(static_cast<std::size_t>(slice) * 3);
  for (int32_t p = 0; p < slice; ++p) {
    for (int c = 0; c < 3; ++c)
      colours[3 * static_cast<std::size_t>(p) + c] = kPalette[labels[p]][c];
  }
  bool written =
      daskel::segment::writePng(*outputs[next++], image.rows, image.cols, 3, colours, error);
  if (written && !options.labels.empty()) {
    written = daskel::segment::writePng(*outputs[next++], image.rows, image.cols, 1, labels, error);
  }
  if (!options.softPrefix.empty()) {
    std::vector<uint8_t> soft(static_cast<std::size_t>(slice));
    for (int32_t k = 0; written && k < options.phases; ++k) {
      for (int32_t p = 0; p < slice; ++p) {
        const float u = result.u[p + static_cast<std::size_t>(slice) * k];
        soft[p] = static_cast<uint8_t>(u * 255.0f + 0.5f);
      }
      written = daskel::segment::writePng(*outputs[next++], image.rows, image.cols, 1, soft, error);
    }
  }
  if (!written) return fail(error);
  for (auto& output : outputs) {
    if (!output->commit(error)) return fail(error);
  }

  if (!options.quiet) {
    const std::vector<double> shares = daskel::segment::phaseShares(labels, options.phases);
    std::printf("%s: %d x %d pixels, %d phases\n", options.input.c_str(), image.cols, image.rows,
                options.phases);
    std::printf("phase  intensity  pixels\n");
    for (int32_t k = 0; k < options.phases; ++k) {
      std::printf("%5d  %9.3f  %5.1f %%\n", k, static_cast<double>(result.levels[k]),
                  100.0 * shares[k]);
    }
    std::printf("%d rounds, %d outer iterations, %.2f s\n", options.rounds, result.outerIterations,
                seconds);
    std::printf("wrote %s\n", options.output.c_str());
  }
  return 0;
}
