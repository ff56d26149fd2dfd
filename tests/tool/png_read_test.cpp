// Reading damaged, unusual and oversized PNG files.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include "tests/tool/png_bytes.hpp"
#include "tests/tool/scratch_folder.hpp"
#include "tools/daskel-segment/png_io.hpp"

namespace daskel::tool {
namespace {

using segment::GreyImage;

using testing::pngChunk;
using testing::pngFile;
using testing::pngHeader;
using testing::pngImageData;

constexpr int kGrey = 0;
constexpr int kPalette = 3;

using PngRead = testing::ScratchFolder;

// A 2 x 2 picture of 1-bit palette entries 0 1 / 1 0, each row led by its filter byte.
const std::string kPaletteRows = std::string("\0\x40\0\x80", 4);

TEST_F(PngRead, DamagedFilesGiveTheDecodersReason) {
  const std::string grey = pngFile({pngHeader(4, 4, 8, kGrey), pngImageData(std::string(20, 0))});
  std::string badCrc = grey;
  badCrc[8 + 8 + 12] ^= 1;  // the last byte of the IHDR data, so its CRC no longer matches
  struct Case {
    const char* name;
    std::string bytes;
    const char* reason;
  };
  const Case cases[] = {
      {"bad-crc", badCrc, "CRC error"},
      {"truncated", grey.substr(0, grey.size() - 20), "Read Error"},
      {"no-palette", pngFile({pngHeader(2, 2, 1, kPalette), pngImageData(kPaletteRows)}), "PLTE"},
      {"garbage", std::string("\x89PNG\r\n\x1a\n", 8) + std::string(40, '\x7f'),
       "invalid chunk type"},
      {"bad-depth", pngFile({pngHeader(4, 4, 7, kGrey), pngImageData(std::string(20, 0))}),
       "Invalid IHDR data"},
      // A 30 kB file would claim 64 megapixels: refused from its header.
      {"bomb", pngFile({pngHeader(8000, 8000, 8, kGrey), pngImageData(std::string(64, 0))}),
       "is 8000 x 8000 pixels, more than the limit of 50000000 (see --max-pixels)"},
  };
  for (const Case& c : cases) {
    GreyImage image;
    std::string error;
    EXPECT_FALSE(readPng(write(c.name, c.bytes), image, error, kDefaultMaxPixels)) << c.name;
    EXPECT_NE(error.find(c.reason), std::string::npos) << c.name << ": " << error;
    EXPECT_NE(error.find(c.name), std::string::npos) << "names the file: " << error;
    EXPECT_EQ(error.find("out of memory"), std::string::npos) << c.name << ": " << error;
    EXPECT_EQ(error.find('\n'), std::string::npos) << error;
  }
}

TEST_F(PngRead, PaletteWithTransparencyIsReadAndItsAlphaIgnored) {
  // Entry 0 pure red and fully transparent, entry 1 white and half transparent.
  const std::string palette = pngChunk("PLTE", std::string("\xff\0\0\xff\xff\xff", 6));
  const std::string bytes =
      pngFile({pngHeader(2, 2, 1, kPalette), palette, pngChunk("tRNS", std::string("\0\x80", 2)),
               pngImageData(kPaletteRows)});
  GreyImage image;
  std::string error;
  ASSERT_TRUE(readPng(write("trns.png", bytes), image, error)) << error;
  ASSERT_EQ(image.values.size(), 4u);
  // Column-major: (0,0) red, (1,0) white, (0,1) white, (1,1) red.
  const float red = segment::lumaIntensity(255, 0, 0, 255);
  EXPECT_EQ(image.values, (std::vector<float>{red, 1.0f, 1.0f, red}));
}

TEST_F(PngRead, ChunksClaimingGigabytesAreSkippedUnread) {
  // Two bytes of a zTXt chunk that claims 1.9 GB: libpng would allocate and clear all of it.
  const std::string bytes = std::string("\x89PNG\r\n\x1a\n", 8) + pngHeader(2, 2, 8, kGrey) +
                            testing::bigEndian32(0x70707070) + "zTXt\x78\x9c";
  rusage before{};
  getrusage(RUSAGE_SELF, &before);
  GreyImage image;
  std::string error;
  EXPECT_FALSE(readPng(write("ztxt.png", bytes), image, error));
  rusage after{};
  getrusage(RUSAGE_SELF, &after);
  EXPECT_LT(after.ru_maxrss - before.ru_maxrss, 256 * 1024) << "kB more at the peak";
}

}  // namespace
}  // namespace daskel::tool
