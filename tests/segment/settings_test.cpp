// The one check of a segmentation's settings: the first wrong field, named, with what it must be;
// the limits themselves pass.
#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

#include "segment/segment.hpp"

namespace daskel::segment {
namespace {

TEST(CheckSettings, NamesTheFirstWrongSettingAndWhatItMustBe) {
  struct Case {
    std::function<void(Settings&)> change;
    const char* setting;  // empty: accepted
    const char* requirement;
  };
  constexpr float nan = std::numeric_limits<float>::quiet_NaN();
  constexpr float smallestNormal = std::numeric_limits<float>::min();
  const Case cases[] = {
      {[](Settings&) {}, "", ""},
      {[](Settings& s) { s.phases = 1; }, "phases", "must be a whole number from 2 to 16"},
      {[](Settings& s) { s.phases = 17; }, "phases", "must be a whole number from 2 to 16"},
      {[](Settings& s) { s.phases = 16; }, "", ""},
      {[](Settings& s) {
         s.levels = {0.1f, 0.9f};
       },
       "levels", "must hold one intensity per phase, 3"},
      {[](Settings& s) {
         s.levels = {0.1f, 1.5f, 0.5f};
       },
       "levels", "must lie between 0 and 1"},
      {[](Settings& s) {
         s.levels = {0.1f, nan, 0.5f};
       },
       "levels", "must lie between 0 and 1"},
      {[](Settings& s) {
         s.levels = {0.5f, 0.1f, 0.5f};
       },
       "levels", "must not repeat an intensity"},
      {[](Settings& s) {
         s.levels = {1.0f, 0.0f, 0.5f};
       },
       "", ""},
      {[](Settings& s) { s.tvWeight = -0.5f; }, "tv", "must be a finite number of at least 0"},
      {[&](Settings& s) { s.tvWeight = nan; }, "tv", "must be a finite number of at least 0"},
      {[](Settings& s) { s.tvWeight = INFINITY; }, "tv", "must be a finite number of at least 0"},
      {[](Settings& s) { s.tvWeight = 0.0f; }, "", ""},
      // A subnormal penalty makes the solver's reciprocals of it overflow.
      {[](Settings& s) { s.penalty = 0.0f; }, "penalty",
       "must be a finite number of at least 1.17549e-38"},
      {[&](Settings& s) { s.penalty = smallestNormal / 2; }, "penalty",
       "must be a finite number of at least 1.17549e-38"},
      {[](Settings& s) { s.penalty = INFINITY; }, "penalty",
       "must be a finite number of at least 1.17549e-38"},
      {[&](Settings& s) { s.penalty = smallestNormal; }, "", ""},
      {[](Settings& s) { s.rounds = 0; }, "rounds", "must be a whole number from 1 to 1000"},
      {[](Settings& s) { s.rounds = 1001; }, "rounds", "must be a whole number from 1 to 1000"},
      {[](Settings& s) { s.threads = -1; }, "threads", "must be a whole number from 0 to 256"},
      {[](Settings& s) { s.threads = 256; }, "", ""},
      {[](Settings& s) { s.window = 2; }, "window",
       "must be 0 or an odd whole number from 1 to 99"},
      {[](Settings& s) { s.window = -1; }, "window",
       "must be 0 or an odd whole number from 1 to 99"},
      {[](Settings& s) { s.window = 101; }, "window",
       "must be 0 or an odd whole number from 1 to 99"},
      {[](Settings& s) { s.window = 99; }, "", ""},
      // The first wrong field in the order of the fields.
      {[](Settings& s) { s.rounds = 0, s.tvWeight = -1.0f; }, "tv",
       "must be a finite number of at least 0"},
  };
  GreyImage image;
  image.rows = 2;
  image.cols = 2;
  image.values = {0.0f, 0.0f, 1.0f, 1.0f};
  for (std::size_t c = 0; c < std::size(cases); ++c) {
    Settings settings;
    settings.rounds = 1;
    cases[c].change(settings);
    const SettingsProblem problem = checkSettings(settings);
    EXPECT_EQ(problem.setting, cases[c].setting) << "case " << c;
    EXPECT_EQ(problem.requirement, cases[c].requirement) << "case " << c;
    // segmentImage takes exactly the settings that pass.
    Result result;
    EXPECT_EQ(segmentImage(image, settings, result, {}, nullptr), !problem) << "case " << c;
  }
}

}  // namespace
}  // namespace daskel::segment
