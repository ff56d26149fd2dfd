// Reading TIFF and JPEG files, and telling the formats apart by their first bytes.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>

#include "tests/tool/image_files.hpp"
#include "tests/tool/png_bytes.hpp"
#include "tests/tool/scratch_folder.hpp"
#include "tools/daskel-segment/image_io.hpp"

namespace daskel::tool {
namespace {

using segment::GreyImage;
using testing::TiffPage;

using ImageRead = testing::ScratchFolder;

// Samples that differ from pixel to pixel, sample to sample and byte to byte, so that a
// transposition, a channel taken for another, a lost byte order or a misplaced block shows.
// Floats lie in [0, 1]; the last sample of 2 or 4 (alpha) is the only one to reach its maximum.
TiffPage patterned(TiffPage page) {
  const std::size_t count = std::size_t{page.width} * page.height * page.samples;
  page.data.resize(count * page.bits / 8);
  for (std::size_t k = 0; k < count; ++k) {
    const std::size_t s = k % page.samples;
    const std::size_t pixel = k / page.samples;
    const bool alpha = (page.samples == 2 || page.samples == 4) && s + 1 == page.samples;
    const uint32_t n = static_cast<uint32_t>(pixel * 37 + s * 71 + pixel / page.width);
    if (page.bits == 8) {
      page.data[k] = static_cast<char>(alpha ? 255 : n % 251);
    } else if (page.bits == 16) {
      const uint16_t v = static_cast<uint16_t>(alpha ? 65535 : (n * 263 + 5) % 65521);
      std::memcpy(&page.data[2 * k], &v, 2);
    } else {
      const float v = alpha ? 1.0f : static_cast<float>(n % 1001) / 1000.0f;
      std::memcpy(&page.data[4 * k], &v, 4);
    }
  }
  return page;
}

double sampleOf(const TiffPage& page, std::size_t index) {
  if (page.bits == 8) return static_cast<unsigned char>(page.data[index]);
  if (page.bits == 16) {
    uint16_t v = 0;
    std::memcpy(&v, &page.data[2 * index], 2);
    return v;
  }
  float v = 0.0f;
  std::memcpy(&v, &page.data[4 * index], 4);
  return v;
}

// Pixel (i, j)'s intensity: its grey sample, or the luma of its first three, over the largest
// sample value; column-major like the reader's images.
std::vector<float> intensitiesOf(const TiffPage& page) {
  const double maxSample = page.bits == 32 ? 1.0 : page.bits == 16 ? 65535.0 : 255.0;
  std::vector<float> values(std::size_t{page.width} * page.height);
  for (uint32_t i = 0; i < page.height; ++i) {
    for (uint32_t j = 0; j < page.width; ++j) {
      const std::size_t first = (std::size_t{i} * page.width + j) * page.samples;
      values[i + std::size_t{page.height} * j] =
          page.photometric == PHOTOMETRIC_RGB
              ? segment::lumaIntensity(sampleOf(page, first), sampleOf(page, first + 1),
                                       sampleOf(page, first + 2), maxSample)
              : segment::greyIntensity(sampleOf(page, first), maxSample);
    }
  }
  return values;
}

// Every page of `path`, or false with the reader's error.
bool readPages(const std::string& path, std::vector<GreyImage>& pages, std::string& error,
               std::int64_t maxPixels = kDefaultMaxPixels) {
  ImageReader reader;
  if (!reader.open(path, error, maxPixels)) return false;
  pages.assign(static_cast<std::size_t>(reader.pages()), GreyImage{});
  for (GreyImage& page : pages) {
    if (!reader.readPage(page, error)) return false;
  }
  return true;
}

TEST_F(ImageRead, TiffPagesOfEveryLayoutReadAsTheirIntensities) {
  struct Case {
    const char* name;
    TiffPage page;
    bool bigEndian;
  };
  constexpr uint16_t kUint = SAMPLEFORMAT_UINT;
  constexpr uint16_t kFloat = SAMPLEFORMAT_IEEEFP;
  constexpr uint16_t kGrey = PHOTOMETRIC_MINISBLACK;
  constexpr uint16_t kRgb = PHOTOMETRIC_RGB;
  // 37 x 21 pixels: tiles of 16 and strips of 4 rows leave partial ones at the edges.
  const Case cases[] = {
      {"8-bit grey", TiffPage(37, 21, 1, 8, kUint, kGrey), false},
      {"16-bit grey", TiffPage(37, 21, 1, 16, kUint, kGrey), false},
      {"8-bit RGB", TiffPage(37, 21, 3, 8, kUint, kRgb), false},
      {"16-bit RGB", TiffPage(37, 21, 3, 16, kUint, kRgb), false},
      {"float grey", TiffPage(37, 21, 1, 32, kFloat, kGrey), false},
      {"float RGB", TiffPage(37, 21, 3, 32, kFloat, kRgb), false},
      {"8-bit grey and alpha", TiffPage(37, 21, 2, 8, kUint, kGrey), false},
      {"16-bit RGBA", TiffPage(37, 21, 4, 16, kUint, kRgb), false},
      {"8-bit RGB in planes", TiffPage(37, 21, 3, 8, kUint, kRgb).stored(COMPRESSION_NONE, true),
       false},
      {"16-bit grey in tiles, LZW",
       TiffPage(37, 21, 1, 16, kUint, kGrey).stored(COMPRESSION_LZW, false, 16), false},
      {"float RGBA in tiled planes, Deflate",
       TiffPage(37, 21, 4, 32, kFloat, kRgb).stored(COMPRESSION_ADOBE_DEFLATE, true, 16), false},
      {"8-bit RGB in strips of 4 rows, PackBits",
       TiffPage(37, 21, 3, 8, kUint, kRgb).stored(COMPRESSION_PACKBITS, false, 0, 4), false},
      {"16-bit RGB, big-endian", TiffPage(37, 21, 3, 16, kUint, kRgb), true},
      {"float grey, big-endian, in strips, Deflate",
       TiffPage(37, 21, 1, 32, kFloat, kGrey).stored(COMPRESSION_ADOBE_DEFLATE, false, 0, 4), true},
  };
  for (const Case& c : cases) {
    const TiffPage page = patterned(c.page);
    ASSERT_TRUE(testing::writeTiff(at("page.tif"), {page}, c.bigEndian)) << c.name;
    std::vector<GreyImage> pages;
    std::string error;
    ASSERT_TRUE(readPages(at("page.tif"), pages, error)) << c.name << ": " << error;
    ASSERT_EQ(pages.size(), 1u) << c.name;
    EXPECT_EQ(pages[0].rows, 21) << c.name;
    EXPECT_EQ(pages[0].cols, 37) << c.name;
    EXPECT_EQ(pages[0].values, intensitiesOf(page)) << c.name;
  }
}

TEST_F(ImageRead, TiffAndPngOfTheSameSamplesReadAlike) {
  // Per case: bit depth and channels; the PNG is assembled scanline by scanline, big-endian.
  for (const auto& [bits, channels] :
       std::vector<std::pair<uint16_t, uint16_t>>{{8, 1}, {16, 1}, {8, 3}, {16, 3}}) {
    const TiffPage page = patterned(
        TiffPage(19, 11, channels, bits, SAMPLEFORMAT_UINT,
                 static_cast<uint16_t>(channels == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK)));
    std::string scanlines;
    for (uint32_t r = 0; r < page.height; ++r) {
      scanlines += '\0';  // no filter
      for (uint32_t k = 0; k < page.width * channels; ++k) {
        const auto sample = static_cast<uint32_t>(sampleOf(page, r * page.width * channels + k));
        if (bits == 16) scanlines += static_cast<char>(sample >> 8);
        scanlines += static_cast<char>(sample);
      }
    }
    const int colourType = channels == 3 ? 2 : 0;
    write("page.png",
          testing::pngFile({testing::pngHeader(page.width, page.height, bits, colourType),
                            testing::pngImageData(scanlines)}));
    ASSERT_TRUE(testing::writeTiff(at("page.tif"), {page}));
    std::vector<GreyImage> png, tiff;
    std::string error;
    ASSERT_TRUE(readPages(at("page.png"), png, error)) << error;
    ASSERT_TRUE(readPages(at("page.tif"), tiff, error)) << error;
    ASSERT_EQ(png.size(), 1u);
    ASSERT_EQ(tiff.size(), 1u);
    EXPECT_EQ(png[0].values, tiff[0].values) << bits << "-bit, " << channels << " channels";
  }
}

TEST_F(ImageRead, MultiPageTiffIsReadPageByPage) {
  const std::vector<TiffPage> stack = {
      patterned(TiffPage(5, 4)),
      patterned(TiffPage(3, 6, 1, 32, SAMPLEFORMAT_IEEEFP)),
      patterned(TiffPage(7, 2, 3, 16, SAMPLEFORMAT_UINT, PHOTOMETRIC_RGB)),
  };
  ASSERT_TRUE(testing::writeTiff(at("stack.tif"), stack));
  ImageReader reader;
  std::string error;
  ASSERT_TRUE(reader.open(at("stack.tif"), error)) << error;
  EXPECT_EQ(reader.format(), ImageFormat::tiff);
  ASSERT_EQ(reader.pages(), 3);
  for (const TiffPage& page : stack) {
    GreyImage image;
    ASSERT_TRUE(reader.readPage(image, error)) << error;
    EXPECT_EQ(image.rows, static_cast<int32_t>(page.height));
    EXPECT_EQ(image.cols, static_cast<int32_t>(page.width));
    EXPECT_EQ(image.values, intensitiesOf(page));
  }
  GreyImage image;
  EXPECT_FALSE(reader.readPage(image, error));
  EXPECT_NE(error.find("no page is left"), std::string::npos) << error;
}

TEST_F(ImageRead, JpegGreyAndColourReadCloseToTheirSamples) {
  // Smooth ramps, one across and one down, which JPEG keeps to within a level or two.
  const uint32_t width = 40, height = 24;
  for (int components : {1, 3}) {
    for (bool progressive : {false, true}) {
      std::vector<uint8_t> samples;
      std::vector<float> expected(std::size_t{width} * height);
      for (uint32_t i = 0; i < height; ++i) {
        for (uint32_t j = 0; j < width; ++j) {
          const uint8_t across = static_cast<uint8_t>(40 + 4 * j);
          const uint8_t down = static_cast<uint8_t>(30 + 8 * i);
          if (components == 1) {
            samples.push_back(across);
            expected[i + height * j] = segment::greyIntensity(across, 255);
          } else {
            samples.insert(samples.end(), {across, down, 128});
            expected[i + height * j] = segment::lumaIntensity(across, down, 128, 255);
          }
        }
      }
      write("ramp.jpg", testing::jpegFile(width, height, components, samples, 100, progressive));
      std::vector<GreyImage> pages;
      std::string error;
      ASSERT_TRUE(readPages(at("ramp.jpg"), pages, error)) << error;
      ASSERT_EQ(pages.size(), 1u);
      ASSERT_EQ(pages[0].rows, static_cast<int32_t>(height));
      ASSERT_EQ(pages[0].cols, static_cast<int32_t>(width));
      float worst = 0.0f;
      for (std::size_t p = 0; p < expected.size(); ++p) {
        worst = std::max(worst, std::fabs(pages[0].values[p] - expected[p]));
      }
      EXPECT_LE(worst, 3.0f / 255.0f) << components << " components, progressive " << progressive;
    }
  }
}

TEST_F(ImageRead, TheFormatIsToldByTheFirstBytesNotTheName) {
  const std::vector<uint8_t> grey(16, 100);
  write("png.tif", testing::pngFile({testing::pngHeader(4, 4, 8, 0),
                                     testing::pngImageData(std::string(20, '\0'))}));
  write("jpeg.png", testing::jpegFile(4, 4, 1, grey));
  ASSERT_TRUE(testing::writeTiff(at("tiff.jpg"), {patterned(TiffPage(4, 4))}));
  for (const auto& [name, format] :
       std::vector<std::pair<std::string, ImageFormat>>{{"png.tif", ImageFormat::png},
                                                        {"jpeg.png", ImageFormat::jpeg},
                                                        {"tiff.jpg", ImageFormat::tiff}}) {
    ImageReader reader;
    GreyImage image;
    std::string error;
    ASSERT_TRUE(reader.open(at(name), error)) << name << ": " << error;
    EXPECT_EQ(reader.format(), format) << name;
    EXPECT_TRUE(reader.readPage(image, error)) << name << ": " << error;
    EXPECT_EQ(image.values.size(), 16u) << name;
  }
  write("text.tif", "II is not enough\n");
  write("empty.png", "");
  for (const char* name : {"text.tif", "empty.png"}) {
    ImageReader reader;
    std::string error;
    EXPECT_FALSE(reader.open(at(name), error));
    EXPECT_EQ(error, "'" + at(name) + "' is not a PNG, TIFF or JPEG image");
  }
}

}  // namespace
}  // namespace daskel::tool
