// daskel-segment on TIFF stacks, JPEG and standard input: each page segmented on its own, the
// same labels whatever the format of the same samples, the outputs it refuses, and damaged files
// turned down with one line and no outputs.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <sstream>

#include "tests/segment/synthetic.hpp"
#include "tests/tool/image_files.hpp"
#include "tests/tool/tool_run.hpp"
#include "tools/daskel-segment/png_io.hpp"

namespace daskel::tool {
namespace {

using segment::testing::Layout;
using testing::slurp;
using testing::TiffEntry;
using testing::TiffPage;

using Formats = testing::Tool;

// A noisy three-phase picture as TIFF samples: 8-bit, 16-bit (the 8-bit values times 257) or
// float (the 8-bit values over 255, as the readers make of them).
TiffPage picturePage(Layout layout, int32_t rows, int32_t cols, unsigned seed, uint16_t bits) {
  const auto s =
      segment::testing::makeSynthetic(layout, rows, cols, {0.2f, 0.5f, 0.8f}, 0.06, seed);
  TiffPage page(static_cast<uint32_t>(cols), static_cast<uint32_t>(rows), 1, bits,
                static_cast<uint16_t>(bits == 32 ? SAMPLEFORMAT_IEEEFP : SAMPLEFORMAT_UINT));
  for (int32_t i = 0; i < rows; ++i) {
    for (int32_t j = 0; j < cols; ++j) {
      const float value = s.image.values[i + static_cast<std::size_t>(rows) * j];
      const long level = std::lround(value * 255.0f);
      char bytes[4];
      if (bits == 8) {
        bytes[0] = static_cast<char>(level);
      } else if (bits == 16) {
        const auto sample = static_cast<uint16_t>(level * 257);
        std::memcpy(bytes, &sample, 2);
      } else {
        std::memcpy(bytes, &value, 4);
      }
      page.data.append(bytes, bits / 8);
    }
  }
  return page;
}

// The labels of a PNG the tool wrote, column-major.
std::vector<uint8_t> pngLabels(const std::string& path) {
  segment::GreyImage image;
  std::string error;
  EXPECT_TRUE(readPng(path, image, error)) << error;
  std::vector<uint8_t> labels;
  for (float value : image.values) labels.push_back(static_cast<uint8_t>(std::lround(value * 255)));
  return labels;
}

// The report's lines of phases ("    0      0.200   40.1 %"), in order.
std::vector<std::string> phaseLines(const std::string& report) {
  std::vector<std::string> lines;
  std::istringstream text(report);
  for (std::string line; std::getline(text, line);) {
    if (line.size() > 2 && line.compare(line.size() - 2, 2, " %") == 0) lines.push_back(line);
  }
  return lines;
}

TEST_F(Formats, EachPageOfAStackIsSegmentedOnItsOwnIntoPagesOfEveryOutput) {
  const std::vector<TiffPage> stack = {picturePage(Layout::DiscAndBar, 30, 40, 1, 16),
                                       picturePage(Layout::SmoothField, 24, 36, 2, 16),
                                       picturePage(Layout::Rings, 30, 40, 3, 16)};
  ASSERT_TRUE(testing::writeTiff(at("stack.tif"), stack));
  ASSERT_EQ(run(quoted("stack.tif") + " " + quoted("out.tif") + " --labels " +
                quoted("labels.tif") + " --soft " + quoted("soft")),
            0)
      << err_;
  EXPECT_TRUE(err_.empty()) << err_;
  EXPECT_EQ(files(), (std::vector<std::string>{"labels.tif", "out.tif", "soft0.tif", "soft1.tif",
                                               "soft2.tif", "stack.tif"}));
  const std::string stackReport = out_;
  EXPECT_NE(stackReport.find("stack.tif (page 2 of 3): 36 x 24 pixels, 3 phases\n"),
            std::string::npos)
      << stackReport;
  EXPECT_NE(stackReport.find("wrote " + at("out.tif") + ", 3 pages\n"), std::string::npos)
      << stackReport;

  const auto labels = testing::readTiffPages(at("labels.tif"));
  const auto colours = testing::readTiffPages(at("out.tif"));
  ASSERT_EQ(labels.size(), 3u);
  ASSERT_EQ(colours.size(), 3u);
  for (int k = 0; k < 3; ++k) {
    EXPECT_EQ(testing::readTiffPages(at("soft" + std::to_string(k) + ".tif")).size(), 3u);
  }
  std::vector<std::string> singleReports;
  for (std::size_t p = 0; p < stack.size(); ++p) {
    EXPECT_EQ(labels[p].samples, 1) << p;
    EXPECT_EQ(labels[p].bits, 8) << p;
    EXPECT_EQ(labels[p].page, p) << "the page number tag";
    EXPECT_EQ(labels[p].ofPages, 3) << p;
    EXPECT_EQ(colours[p].samples, 3) << p;
    EXPECT_EQ(colours[p].photometric, PHOTOMETRIC_RGB) << p;
    EXPECT_EQ(colours[p].width, stack[p].width) << p;
    // The page alone, as a file of its own: the same labels and the same report.
    ASSERT_TRUE(testing::writeTiff(at("page.tif"), {stack[p]}));
    ASSERT_EQ(run(quoted("page.tif") + " " + quoted("one.png") + " --labels " + quoted("one.png")),
              1)
        << "one file for two outputs";
    ASSERT_EQ(run(quoted("page.tif") + " " + quoted("one.png") + " --labels " + quoted("l.png")), 0)
        << err_;
    EXPECT_EQ(pngLabels(at("l.png")), labels[p].columnMajor) << "page " << p;
    const auto lines = phaseLines(out_);
    singleReports.insert(singleReports.end(), lines.begin(), lines.end());
  }
  EXPECT_EQ(phaseLines(stackReport), singleReports);
}

TEST_F(Formats, PngAndTiffOfTheSameSamplesGiveTheSameLabels) {
  const TiffPage grey8 = picturePage(Layout::DiscAndBar, 33, 45, 4, 8);
  const TiffPage float32 = picturePage(Layout::DiscAndBar, 33, 45, 4, 32);
  const auto s =
      segment::testing::makeSynthetic(Layout::DiscAndBar, 33, 45, {0.2f, 0.5f, 0.8f}, 0.06, 4);
  writeGrey("picture.png", 33, 45, s.image.values);
  ASSERT_TRUE(testing::writeTiff(at("grey8.tif"), {grey8}));
  ASSERT_TRUE(testing::writeTiff(at("float.tif"), {float32}));
  ASSERT_EQ(run(quoted("picture.png") + " " + quoted("out.png") + " --labels " + quoted("l.png")),
            0)
      << err_;
  const std::vector<uint8_t> expected = pngLabels(at("l.png"));
  const std::vector<std::string> expectedLines = phaseLines(out_);
  ASSERT_EQ(expectedLines.size(), 3u) << out_;
  for (const char* input : {"grey8.tif", "float.tif"}) {
    // A single-page TIFF is reported as a PNG is.
    ASSERT_EQ(run(quoted(input) + " " + quoted("out.png") + " --labels " + quoted("l.png")), 0)
        << err_;
    EXPECT_EQ(pngLabels(at("l.png")), expected) << input;
    EXPECT_EQ(phaseLines(out_), expectedLines) << input;
    EXPECT_EQ(out_.rfind(at(input) + ": 45 x 33 pixels, 3 phases\n", 0), 0u) << out_;
  }
  // And written as TIFF, the same labels again.
  ASSERT_EQ(run(quoted("picture.png") + " " + quoted("out.tif") + " --labels " + quoted("l.tif")),
            0)
      << err_;
  const auto labels = testing::readTiffPages(at("l.tif"));
  ASSERT_EQ(labels.size(), 1u);
  EXPECT_EQ(labels[0].columnMajor, expected);
  EXPECT_EQ(labels[0].ofPages, 0) << "a single page is not numbered";
}

TEST_F(Formats, JpegAndStandardInputAreRead) {
  const auto s =
      segment::testing::makeSynthetic(Layout::DiscAndBar, 48, 60, {0.55f, 0.9f, 0.1f}, 0.05, 5);
  std::vector<uint8_t> samples(s.image.values.size());
  for (int32_t i = 0; i < 48; ++i) {
    for (int32_t j = 0; j < 60; ++j) {
      samples[i * 60 + j] = static_cast<uint8_t>(std::lround(s.image.values[i + 48 * j] * 255));
    }
  }
  write("picture.jpg", testing::jpegFile(60, 48, 1, samples, 95));
  writeGrey("picture.png", 48, 60, s.image.values);
  ASSERT_TRUE(testing::writeTiff(at("stack.tif"), {picturePage(Layout::DiscAndBar, 20, 30, 6, 16),
                                                   picturePage(Layout::Rings, 20, 30, 7, 8)}));
  // Background 0.55 is the middle phase, the disc (0.9) the brightest, the bar (0.1) the darkest.
  ASSERT_EQ(run(quoted("picture.jpg") + " " + quoted("out.png") + " --labels " + quoted("l.png")),
            0)
      << err_;
  const std::vector<uint8_t> jpegLabels = pngLabels(at("l.png"));
  const std::vector<uint8_t> rank = {1, 2, 0};
  std::size_t right = 0;
  for (std::size_t p = 0; p < jpegLabels.size(); ++p) right += jpegLabels[p] == rank[s.truth[p]];
  EXPECT_GE(static_cast<double>(right) / jpegLabels.size(), 0.97);

  for (const char* input : {"picture.jpg", "picture.png", "stack.tif"}) {
    ASSERT_EQ(run(quoted(input) + " " + quoted("out.tif") + " --labels " + quoted("l.tif")), 0)
        << err_;
    const auto fromFile = testing::readTiffPages(at("l.tif"));
    // Redirected from the file, and piped, which cannot seek.
    ASSERT_EQ(run("- " + quoted("out.tif") + " --labels " + quoted("l.tif") + " <" + quoted(input)),
              0)
        << input << ": " << err_;
    EXPECT_EQ(out_.rfind("standard input", 0), 0u) << out_;
    ASSERT_EQ(
        run("- " + quoted("out.tif") + " --labels " + quoted("l.tif"), "cat " + quoted(input)), 0)
        << input << ": " << err_;
    const auto fromPipe = testing::readTiffPages(at("l.tif"));
    ASSERT_EQ(fromPipe.size(), fromFile.size()) << input;
    for (std::size_t p = 0; p < fromFile.size(); ++p) {
      EXPECT_EQ(fromPipe[p].columnMajor, fromFile[p].columnMajor) << input << ", page " << p;
    }
  }
  // Standard input to standard output.
  ASSERT_EQ(run("- - <" + quoted("picture.jpg")), 0) << err_;
  EXPECT_EQ(out_.rfind("\x89PNG", 0), 0u);
  EXPECT_NE(err_.find("wrote the image to standard output"), std::string::npos) << err_;
}

TEST_F(Formats, OutputsAreWrittenAsTheirExtensionsSayOrRefusedBeforeAnyWork) {
  writeGrey("in.png", 8, 8, std::vector<float>(64, 0.25f));
  ASSERT_TRUE(testing::writeTiff(at("stack.tif"), {picturePage(Layout::DiscAndBar, 8, 8, 8, 8),
                                                   picturePage(Layout::DiscAndBar, 8, 8, 9, 8)}));
  const std::string missing = quoted("missing.png") + " ";
  const std::string stack = quoted("stack.tif") + " ";
  const std::string stackPages = "'" + at("stack.tif") + "' has 2 pages; ";
  struct Case {
    std::string args;
    std::string reason;
  };
  const Case cases[] = {
      // The extension is judged before the input is opened.
      {missing + quoted("out.jpg"), "OUTPUT '" + at("out.jpg") +
                                        "': daskel-segment writes PNG (.png) and TIFF (.tif, "
                                        ".tiff) files, not .jpg"},
      {missing + quoted("out.JPEG"), "not .jpeg"},
      {missing + quoted("out.png") + " --labels " + quoted("l.bmp"),
       "--labels '" + at("l.bmp") + "': daskel-segment writes"},
      {missing + quoted("out.tif.gz"), "not .gz"},
      // A stack needs TIFF outputs: a PNG file holds one page.
      {stack + quoted("out.png"), stackPages + "OUTPUT '" + at("out.png") +
                                      "' is a PNG file, which holds one page: name it .tif"},
      {stack + quoted("out"), "OUTPUT '" + at("out") + "' is a PNG file"},
      {stack + quoted("out.tif") + " --labels " + quoted("l.png"), "--labels '" + at("l.png")},
      {stack + "-", stackPages + "standard output takes a single PNG image: name OUTPUT .tif"},
  };
  const std::vector<std::string> before = files();
  for (const Case& c : cases) {
    EXPECT_EQ(run(c.args), 1) << c.args;
    EXPECT_NE(err_.find(c.reason), std::string::npos) << c.args << " -> " << err_;
    EXPECT_EQ(std::count(err_.begin(), err_.end(), '\n'), 1) << err_;
    EXPECT_TRUE(out_.empty()) << out_;
    EXPECT_EQ(files(), before) << c.args;
  }
  // Extensions in any case; a name without one is a PNG, as before TIFF; soft maps follow OUTPUT.
  ASSERT_EQ(run(quoted("in.png") + " " + quoted("OUT.TIFF") + " --labels " + quoted("l.Tif") +
                " --soft " + quoted("s") + " --phases 2 -q"),
            0)
      << err_;
  EXPECT_EQ(files(), (std::vector<std::string>{"OUT.TIFF", "in.png", "l.Tif", "s0.tif", "s1.tif",
                                               "stack.tif"}));
  for (const char* name : {"OUT.TIFF", "l.Tif", "s0.tif", "s1.tif"}) {
    EXPECT_EQ(testing::readTiffPages(at(name)).size(), 1u) << name;
  }
  ASSERT_EQ(run(quoted("in.png") + " " + quoted("plain") + " -q"), 0) << err_;
  EXPECT_EQ(slurp(at("plain")).rfind("\x89PNG", 0), 0u);
}

// A TIFF whose chain of pages goes from its last page back to its first.
std::string loopedBack(std::string tiff) {
  auto at32 = [&](std::size_t offset) {
    uint32_t value = 0;
    std::memcpy(&value, &tiff[offset], 4);  // little-endian, as libtiff writes on this machine
    return value;
  };
  const uint32_t first = at32(4);
  uint32_t last = first;
  for (;;) {
    uint16_t entries = 0;
    std::memcpy(&entries, &tiff[last], 2);
    const std::size_t next = last + 2 + 12u * entries;
    if (at32(next) == 0) {
      std::memcpy(&tiff[next], &first, 4);
      return tiff;
    }
    last = at32(next);
  }
}

TEST_F(Formats, DamagedAndHostileFilesGiveOneLineAndNoOutputs) {
  const TiffPage small = picturePage(Layout::DiscAndBar, 30, 40, 10, 8);
  ASSERT_TRUE(testing::writeTiff(at("whole.tif"), {small}));
  const std::string whole = slurp(at("whole.tif"));
  ASSERT_TRUE(testing::writeTiff(at("two.tif"), {small, small}));
  const std::string two = slurp(at("two.tif"));
  TiffPage floats = picturePage(Layout::DiscAndBar, 30, 40, 10, 32);
  const float outside = 1.5f;
  std::memcpy(&floats.data[4 * 77], &outside, 4);
  ASSERT_TRUE(
      testing::writeTiff(at("floats.tif"), {picturePage(Layout::Rings, 30, 40, 11, 32), floats}));
  const std::string floatStack = slurp(at("floats.tif"));
  const float nan = std::nanf("");
  const float greenBelow[] = {0.5f, -0.25f, 0.5f};
  std::string greenPixels;
  for (int p = 0; p < 4; ++p) greenPixels.append(reinterpret_cast<const char*>(greenBelow), 12);
  std::string nanPixels(16, '\0');
  std::memcpy(&nanPixels[8], &nan, 4);
  ASSERT_TRUE(testing::writeTiff(at("big.tif"), {picturePage(Layout::DiscAndBar, 4, 4, 12, 8),
                                                 picturePage(Layout::DiscAndBar, 40, 40, 13, 8)}));
  const std::string bigSecond = slurp(at("big.tif"));
  std::filesystem::remove(at("whole.tif"));
  std::filesystem::remove(at("two.tif"));
  std::filesystem::remove(at("floats.tif"));
  std::filesystem::remove(at("big.tif"));

  const std::string grey16(32, '\x11');
  const auto strip = testing::tiffStripEntries(4, 4, 16);
  const uint32_t next = testing::tiffDirectoryOffset(grey16.substr(0, 16));
  std::vector<uint8_t> jpegSamples(48 * 64);
  for (std::size_t p = 0; p < jpegSamples.size(); ++p)
    jpegSamples[p] = static_cast<uint8_t>(p % 251);
  const std::string jpeg = testing::jpegFile(64, 48, 1, jpegSamples, 90);
  // The start of frame: marker, length, precision, height, width.
  const std::size_t frame = jpeg.find("\xff\xc0");
  ASSERT_NE(frame, std::string::npos);
  std::string hugeJpeg = jpeg;
  hugeJpeg.replace(frame + 5, 4, std::string("\xea\x60\xea\x60", 4));  // 60000 x 60000
  std::string twelveBits = jpeg;
  twelveBits[frame + 4] = 12;
  struct Case {
    const char* name;
    std::string bytes;
    std::string options;
    std::string reason;
  };
  const Case cases[] = {
      {"cut.tif", whole.substr(0, whole.size() / 2), "", "cannot read the TIFF image"},
      {"header.tif", std::string("II*\0", 4), "", "Cannot read TIFF header"},
      {"offset.tif",
       testing::tiffBytes(grey16.substr(0, 16),
                          testing::withEntry(strip, {TIFFTAG_STRIPOFFSETS, 4, 1, 100000})),
       "", "Read error"},
      // A compressed strip (which libtiff cannot size from the image) claims more than the file.
      {"bytes.tif",
       testing::tiffBytes(
           grey16.substr(0, 16),
           testing::withEntry(testing::withEntry(strip, {TIFFTAG_STRIPBYTECOUNTS, 4, 1, 100000}),
                              {TIFFTAG_COMPRESSION, 3, 1, COMPRESSION_PACKBITS})),
       "", "Read error"},
      {"zero.tif",
       testing::tiffBytes(grey16.substr(0, 16),
                          testing::withEntry(strip, {TIFFTAG_IMAGEWIDTH, 4, 1, 0})),
       "", "cannot read the TIFF image"},
      {"huge.tif", testing::tiffBytes(grey16, testing::tiffStripEntries(100000, 100000, 32)), "",
       "is 100000 x 100000 pixels, more than the limit of 50000000 (see --max-pixels)"},
      {"big-second.tif", bigSecond, "--max-pixels 1000",
       "(page 2 of 2) is 40 x 40 pixels, more than the limit of 1000 (see --max-pixels)"},
      {"tiles.tif",
       testing::tiffBytes(grey16.substr(0, 16),
                          {{TIFFTAG_IMAGEWIDTH, 4, 1, 4},
                           {TIFFTAG_IMAGELENGTH, 4, 1, 4},
                           {TIFFTAG_BITSPERSAMPLE, 3, 1, 8},
                           {TIFFTAG_PHOTOMETRIC, 3, 1, PHOTOMETRIC_MINISBLACK},
                           {TIFFTAG_TILEWIDTH, 4, 1, 1u << 20},
                           {TIFFTAG_TILELENGTH, 4, 1, 1u << 20},
                           {TIFFTAG_TILEOFFSETS, 4, 1, 8},
                           {TIFFTAG_TILEBYTECOUNTS, 4, 1, 16}}),
       "", "its tiles are 1048576 x 1048576 pixels"},
      {"12-bit.tif",
       testing::tiffBytes(grey16.substr(0, 24), testing::tiffStripEntries(4, 4, 24, 12)), "",
       "its samples are 12-bit unsigned; daskel-segment reads 8- and 16-bit unsigned and "
       "32-bit floating-point samples"},
      {"signed.tif",
       testing::tiffBytes(grey16, testing::tiffStripEntries(4, 4, 32, 16, 1, PHOTOMETRIC_MINISBLACK,
                                                            SAMPLEFORMAT_INT)),
       "", "16-bit signed"},
      {"cmyk.tif",
       testing::tiffBytes(grey16 + grey16,
                          testing::tiffStripEntries(4, 4, 64, 8, 4, PHOTOMETRIC_SEPARATED)),
       "", "4 samples of photometric interpretation 5"},
      {"loop.tif", testing::tiffBytes(grey16.substr(0, 16), strip, next), "",
       "its chain of pages loops back after page 1"},
      {"loop-2.tif", loopedBack(two), "", "loops back after page 2"},
      {"chain.tif", testing::tiffBytes(grey16.substr(0, 16), strip, 1u << 30), "",
       "cannot read the TIFF image"},
      {"lzw.tif",
       testing::tiffBytes(grey16.substr(0, 16),
                          testing::withEntry(strip, {TIFFTAG_COMPRESSION, 3, 1, COMPRESSION_LZW})),
       "", "cannot read the TIFF image"},
      {"nan.tif",
       testing::tiffBytes(
           nanPixels,
           testing::tiffStripEntries(2, 2, 16, 32, 1, PHOTOMETRIC_MINISBLACK, SAMPLEFORMAT_IEEEFP)),
       "", "holds the floating-point intensity nan; floating-point samples must lie in [0, 1]"},
      {"float-page-2.tif", floatStack, "", "(page 2 of 2) holds the floating-point intensity 1.5"},
      {"green.tif",
       testing::tiffBytes(greenPixels, testing::tiffStripEntries(2, 2, 48, 32, 3, PHOTOMETRIC_RGB,
                                                                 SAMPLEFORMAT_IEEEFP)),
       "", "holds the floating-point intensity -0.25"},
      {"cut.jpg", jpeg.substr(0, jpeg.size() / 2), "", "Premature end of JPEG file"},
      {"start.jpg", std::string("\xff\xd8\xff", 3) + std::string(40, '\0'), "",
       "cannot read the JPEG image"},
      {"huge.jpg", hugeJpeg, "",
       "is 60000 x 60000 pixels, more than the limit of 50000000 (see --max-pixels)"},
      {"12-bit.jpg", twelveBits, "", "Unsupported JPEG data precision 12"},
      {"cmyk.jpg", testing::jpegFile(4, 4, 4, std::vector<uint8_t>(64, 9)), "",
       "4 colour components (CMYK or YCCK)"},
  };
  for (const Case& c : cases) write(c.name, c.bytes);
  const std::vector<std::string> before = files();
  for (const Case& c : cases) {
    const int status = run(quoted(c.name) + " " + quoted("out.tif") + " --labels " +
                           quoted("l.tif") + " --soft " + quoted("s") + " " + c.options);
    EXPECT_EQ(status, 1) << c.name;
    EXPECT_NE(err_.find(c.reason), std::string::npos) << c.name << " -> " << err_;
    EXPECT_NE(err_.find("'" + at(c.name) + "'"), std::string::npos) << c.name << " -> " << err_;
    EXPECT_EQ(err_.rfind("daskel-segment: ", 0), 0u) << c.name << " -> " << err_;
    EXPECT_EQ(std::count(err_.begin(), err_.end(), '\n'), 1) << c.name << " -> " << err_;
    EXPECT_TRUE(out_.empty()) << c.name << " -> " << out_;
    EXPECT_EQ(files(), before) << c.name;
  }
}

TEST_F(Formats, VersionIsTheProjectsVersion) {
  ASSERT_EQ(run("--version"), 0);
  EXPECT_EQ(out_, "daskel-segment " DASKEL_PROJECT_VERSION "\n");
  EXPECT_TRUE(err_.empty()) << err_;
}

}  // namespace
}  // namespace daskel::tool
