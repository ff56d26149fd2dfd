// daskel-segment run as a program: the labels it writes, and the runs that must fail cleanly.
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>

#include "tests/segment/synthetic.hpp"
#include "tests/tool/tool_run.hpp"
#include "tools/daskel-segment/png_io.hpp"

namespace daskel::tool {
namespace {

using segment::GreyImage;

using testing::Tool;

TEST_F(Tool, LabelsNumberPhasesByIncreasingIntensity) {
  const auto s = segment::testing::makeSynthetic(segment::testing::Layout::DiscAndBar, 48, 60,
                                                 {0.55f, 0.9f, 0.1f}, 0.08, 5);
  writeGrey("in.png", 48, 60, s.image.values);
  ASSERT_EQ(run("'" + at("in.png") + "' '" + at("out.png") + "' --labels '" + at("labels.png") +
                "' --soft '" + at("soft") + "'"),
            0)
      << err_;
  EXPECT_EQ(files(), (std::vector<std::string>{"in.png", "labels.png", "out.png", "soft0.png",
                                               "soft1.png", "soft2.png"}));
  // Background 0.55 is the middle phase, the disc (0.9) the brightest, the bar (0.1) the darkest.
  GreyImage labels;
  std::string error;
  ASSERT_TRUE(readPng(at("labels.png"), labels, error)) << error;
  const std::vector<uint8_t> rank = {1, 2, 0};
  std::size_t right = 0;
  for (std::size_t p = 0; p < labels.values.size(); ++p) {
    right += std::lround(labels.values[p] * 255.0f) == rank[s.truth[p]];
  }
  EXPECT_GE(static_cast<double>(right) / labels.values.size(), 0.97);
  EXPECT_NE(out_.find("3 phases"), std::string::npos) << out_;
  EXPECT_TRUE(err_.empty()) << err_;

  ASSERT_EQ(run("--quiet '" + at("in.png") + "' '" + at("out.png") + "'"), 0) << err_;
  EXPECT_TRUE(out_.empty()) << out_;
}

TEST_F(Tool, FailuresExitNonZeroWithOneLineAndNoOutputs) {
  writeGrey("ok.png", 4, 4, std::vector<float>(16, 0.5f));
  writeGrey("thin.png", 1, 5, std::vector<float>(5, 0.5f));
  std::ofstream(at("text.png")) << "plain text\n";
  const std::string ok = "'" + at("ok.png") + "' ";
  const std::string out = "'" + at("out.png") + "'";
  const std::vector<std::pair<std::string, std::string>> failures = {
      {"'" + at("missing.png") + "' " + out, "cannot open"},
      {"'" + at("text.png") + "' " + out, "not a PNG"},
      {"'" + at("thin.png") + "' " + out, "at least 2 x 2"},
      {ok + out + " --frobnicate", "unknown option"},
      {ok + out + " --phases 40", "--phases"},
      {ok + out + " --tv x", "--tv"},
      {ok, "OUTPUT"},
      {ok + "'" + at("nowhere/out.png") + "'", "cannot write"},
      // The first output could be written, the second cannot: neither may appear.
      {ok + out + " --labels '" + at("nowhere/l.png") + "'", "cannot write"},
  };
  const std::vector<std::string> before = files();
  for (const auto& [args, reason] : failures) {
    EXPECT_EQ(run(args), 1) << args;
    EXPECT_NE(err_.find(reason), std::string::npos) << args << " -> " << err_;
    EXPECT_EQ(std::count(err_.begin(), err_.end(), '\n'), 1) << err_;
    EXPECT_TRUE(out_.empty()) << out_;
    EXPECT_EQ(files(), before) << args;
  }
  EXPECT_EQ(run("--help"), 0);
  EXPECT_NE(out_.find("--penalty"), std::string::npos);
}

}  // namespace
}  // namespace daskel::tool
