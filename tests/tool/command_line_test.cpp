// Command-line values that are easy to get subtly wrong, and the messages they get.
#include <gtest/gtest.h>

#include "tools/daskel-segment/options.hpp"

namespace daskel::segment {
namespace {

TEST(CommandLine, RefusedValuesGetTheMessageThatFitsThem) {
  struct Case {
    std::vector<std::string> extra;
    const char* message;
  };
  const Case cases[] = {
      // Underflow and overflow are not "below 0" or "not greater than 0".
      {{"--tv", "1e-50"}, "--tv '1e-50' is too close to 0 for a 32-bit float"},
      {{"--penalty", "1e-45"}, "--penalty '1e-45' is too close to 0 for a 32-bit float"},
      {{"--penalty=1e39"}, "--penalty '1e39' is too large for a 32-bit float"},
      {{"--levels", "1e-60,0.5"}, "--levels '1e-60' is too close to 0"},
      {{"--tv", "-1"}, "--tv takes a number of at least 0, not '-1'"},
      // Leading blanks, which strtol and strtof would skip.
      {{"--phases", " 3"}, "--phases takes a whole number from 2 to 16, not ' 3'"},
      {{"--tv", "\t0.5"}, "--tv takes a number of at least 0"},
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

TEST(CommandLine, PixelLimitAndStandardOutputAreAccepted) {
  Options options;
  std::string error;
  ASSERT_TRUE(parseOptions({"in.png", "-"}, options, error)) << error;
  EXPECT_EQ(options.output, "-");
  EXPECT_EQ(options.maxPixels, kDefaultMaxPixels);
  ASSERT_TRUE(parseOptions({"in.png", "out.png", "--max-pixels=64000000"}, options, error));
  EXPECT_EQ(options.maxPixels, 64000000);
  // After "--" names that start with a dash are files, "-" (standard output) included.
  ASSERT_TRUE(parseOptions({"--quiet", "--", "-in.png", "-"}, options, error)) << error;
  EXPECT_EQ(options.input, "-in.png");
  EXPECT_EQ(options.output, "-");
  EXPECT_TRUE(options.quiet);
}

}  // namespace
}  // namespace daskel::segment
