// Command-line values that are easy to get subtly wrong, and the messages they get.
#include <gtest/gtest.h>

#include "tools/daskel-segment/options.hpp"

namespace daskel::tool {
namespace {

TEST(CommandLine, RefusedValuesGetTheMessageThatFitsThem) {
  struct Case {
    std::vector<std::string> extra;
    const char* message;
  };
  const Case cases[] = {
      // Values the method refuses, in its words (segment::checkSettings), with the text given.
      {{"--penalty", "1e-45"},
       "--penalty must be a finite number of at least 1.17549e-38; got '1e-45'"},
      {{"--penalty=1e39"}, "--penalty must be a finite number of at least 1.17549e-38; got '1e39'"},
      {{"--tv", "-1"}, "--tv must be a finite number of at least 0; got '-1'"},
      {{"--phases", "99999999999"},
       "--phases must be a whole number from 2 to 16; got '99999999999'"},
      {{"--phases=3", "--levels=0.1,0.9"},
       "--levels must hold one intensity per phase, 3; got '0.1,0.9'"},
      // Leading blanks, which strtol and strtof would skip.
      {{"--phases", " 3"}, "--phases takes a whole number, not ' 3'"},
      {{"--tv", "\t0.5"}, "--tv takes a number, not '\t0.5'"},
      {{"--max-pixels", "3"}, "--max-pixels takes a whole number from 4 to"},
      {{"--max-pixels", "9999999999999"}, "--max-pixels takes a whole number"},
      {{"--labels", "-"}, "only OUTPUT can be '-'"},
      // A value left out is missing, not taken from the next option.
      {{"--phases", "--quiet"}, "--phases needs a value"},
  };
  for (const Case& c : cases) {
    std::vector<std::string> args = {"in.png", "out.png"};
    args.insert(args.end(), c.extra.begin(), c.extra.end());
    Options options;
    std::string error;
    EXPECT_FALSE(parseOptions(args, options, error)) << c.extra[0];
    EXPECT_NE(error.find(c.message), std::string::npos) << error;
  }
}

TEST(CommandLine, PixelLimitTinyNumbersAndStandardOutputAreAccepted) {
  Options options;
  std::string error;
  ASSERT_TRUE(parseOptions({"in.png", "-"}, options, error)) << error;
  EXPECT_EQ(options.output, "-");
  EXPECT_EQ(options.maxPixels, kDefaultMaxPixels);
  ASSERT_TRUE(parseOptions({"in.png", "out.png", "--max-pixels=64000000"}, options, error));
  EXPECT_EQ(options.maxPixels, 64000000);
  // Values below the smallest float round to 0, as they do in Python's float32.
  ASSERT_TRUE(
      parseOptions({"in.png", "out.png", "--tv", "1e-50", "--levels", "1e-60,0.5"}, options, error))
      << error;
  EXPECT_EQ(options.settings.tvWeight, 0.0f);
  EXPECT_EQ(options.settings.levels, (std::vector<float>{0.0f, 0.5f}));
  // After "--" names that start with a dash are files, "-" (standard output) included.
  ASSERT_TRUE(parseOptions({"--quiet", "--", "-in.png", "-"}, options, error)) << error;
  EXPECT_EQ(options.input, "-in.png");
  EXPECT_EQ(options.output, "-");
  EXPECT_TRUE(options.quiet);
}

}  // namespace
}  // namespace daskel::tool
