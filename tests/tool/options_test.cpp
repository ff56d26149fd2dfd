// Command-line parsing of daskel-segment.
#include "tools/daskel-segment/options.hpp"

#include <gtest/gtest.h>

namespace daskel::tool {
namespace {

TEST(ParseOptions, AcceptsBothValueFormsAndSetsEveryField) {
  Options o;
  std::string error;
  ASSERT_TRUE(
      parseOptions({"--rounds=2", "in.png", "--tv", "0.25", "out.png", "--penalty=8", "--labels",
                    "l.png", "--soft=s-", "--levels", "0.9,0.1", "-q", "--threads", "3"},
                   o, error))
      << error;
  EXPECT_EQ(o.input, "in.png");
  EXPECT_EQ(o.output, "out.png");
  EXPECT_EQ(o.settings.rounds, 2);
  EXPECT_FLOAT_EQ(o.settings.tvWeight, 0.25f);
  EXPECT_FLOAT_EQ(o.settings.penalty, 8.0f);
  EXPECT_EQ(o.labels, "l.png");
  EXPECT_EQ(o.softPrefix, "s-");
  EXPECT_EQ(o.settings.levels, (std::vector<float>{0.1f, 0.9f}));  // sorted
  EXPECT_EQ(o.settings.phases, 2);                                 // from the levels
  EXPECT_TRUE(o.quiet);
  EXPECT_EQ(o.settings.threads, 3);

  ASSERT_TRUE(parseOptions({"a.png", "b.png"}, o, error));
  EXPECT_EQ(o.settings.phases, segment::Settings{}.phases);
  EXPECT_EQ(o.settings.threads, 0);  // chosen by the solver
  EXPECT_TRUE(o.settings.levels.empty());
  EXPECT_TRUE(parseOptions({"--help"}, o, error));
  EXPECT_TRUE(o.help);
}

TEST(ParseOptions, RejectsBadCommandLinesWithAMessage) {
  const std::vector<std::vector<std::string>> bad = {
      {"in.png"},                                            // no output
      {"a.png", "b.png", "c.png"},                           // one file too many
      {"a.png", "b.png", "--colour"},                        // unknown option
      {"a.png", "b.png", "--phases"},                        // missing value
      {"a.png", "b.png", "--phases", "1"},                   // K out of range
      {"a.png", "b.png", "--phases", "17"},                  //
      {"a.png", "b.png", "--phases", "3x"},                  // malformed
      {"a.png", "b.png", "--tv", "-0.5"},                    //
      {"a.png", "b.png", "--tv", "nan"},                     //
      {"a.png", "b.png", "--penalty", "0"},                  //
      {"a.png", "b.png", "--rounds", "0"},                   //
      {"a.png", "b.png", "--rounds", "2.5"},                 //
      {"a.png", "b.png", "--levels", "0.2,,0.4"},            //
      {"a.png", "b.png", "--levels", "0.2,1.5"},             //
      {"a.png", "b.png", "--levels", "0.4"},                 // a single phase
      {"a.png", "b.png", "--levels", "0.4,0.4"},             // repeated
      {"a.png", "b.png", "--phases=3", "--levels=0.1,0.9"},  // disagree
      {"a.png", "b.png", "--labels="},                       // empty file name
      {"a.png", "b.png", "--threads", "-1"},                 //
      {"a.png", "b.png", "--threads", "257"},                // beyond what a solve uses
  };
  for (const auto& args : bad) {
    Options o;
    std::string error;
    EXPECT_FALSE(parseOptions(args, o, error)) << args.back();
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(error.find('\n'), std::string::npos);
  }
}

}  // namespace
}  // namespace daskel::tool
