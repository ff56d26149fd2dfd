// PNG reading and staged writing of daskel-segment.
#include "tools/daskel-segment/png_io.hpp"

#include <gtest/gtest.h>
#include <png.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "tests/tool/scratch_folder.hpp"

namespace daskel::tool {
namespace {

using segment::GreyImage;

namespace fs = std::filesystem;

class PngIo : public testing::ScratchFolder {};

TEST_F(PngIo, RoundTripKeepsLayoutAndValues) {
  // Column-major samples whose values show a transposition at once: 2 rows x 3 columns, and a
  // picture over several 64 x 64 tiles and 64-row strips, cut off in both directions; grey and
  // colour. The file's own samples are checked, and the grey ones read back as intensities.
  for (const int channels : {1, 3}) {
    for (const auto& [rows, cols] : std::vector<std::pair<int32_t, int32_t>>{{2, 3}, {70, 131}}) {
      const auto pixels = static_cast<std::size_t>(rows) * cols;
      std::vector<uint8_t> samples(pixels * channels);
      for (std::size_t p = 0; p < samples.size(); ++p)
        samples[p] = static_cast<uint8_t>(p * 7 % 256);
      std::string error;
      {
        StagedFile file;
        ASSERT_TRUE(file.open(at("g.png"), error)) << error;
        ASSERT_TRUE(writePng(file, rows, cols, channels, samples, error)) << error;
        EXPECT_FALSE(fs::exists(at("g.png")));  // not before commit
        ASSERT_TRUE(file.commit(error)) << error;
      }
      EXPECT_EQ(entries(), 1u);  // the temporary name is gone
      png_image png;
      std::memset(&png, 0, sizeof png);
      png.version = PNG_IMAGE_VERSION;
      ASSERT_TRUE(png_image_begin_read_from_file(&png, at("g.png").c_str()));
      png.format = channels == 3 ? PNG_FORMAT_RGB : PNG_FORMAT_GRAY;
      std::vector<uint8_t> across(PNG_IMAGE_SIZE(png));
      ASSERT_TRUE(png_image_finish_read(&png, nullptr, across.data(), 0, nullptr));
      ASSERT_EQ(across.size(), samples.size());
      for (std::size_t q = 0; q < across.size(); ++q) {
        const std::size_t i = q / channels / cols;
        const std::size_t j = q / channels % cols;
        ASSERT_EQ(across[q], samples[(i + rows * j) * channels + q % channels])
            << channels << " channels, " << rows << " x " << cols << ", " << q;
      }
      GreyImage image;
      ASSERT_TRUE(readPng(at("g.png"), image, error)) << error;
      ASSERT_EQ(image.rows, rows);
      ASSERT_EQ(image.cols, cols);
      for (std::size_t p = 0; channels == 1 && p < pixels; ++p) {
        ASSERT_FLOAT_EQ(image.values[p], samples[p] / 255.0f) << rows << " x " << cols << ", " << p;
      }
      fs::remove(at("g.png"));
    }
  }
}

TEST_F(PngIo, ColourBecomesLumaAnd16BitKeepsItsPrecision) {
  std::string error;
  {
    StagedFile file;
    ASSERT_TRUE(file.open(at("c.png"), error));
    // One row: pure red, pure green.
    ASSERT_TRUE(writePng(file, 1, 2, 3, {255, 0, 0, 0, 255, 0}, error));
    ASSERT_TRUE(file.commit(error));
  }
  GreyImage image;
  ASSERT_TRUE(readPng(at("c.png"), image, error)) << error;
  EXPECT_NEAR(image.values[0], 0.299f, 1e-6);
  EXPECT_NEAR(image.values[1], 0.587f, 1e-6);

  // A 16-bit grey file with a value that 8 bits cannot hold.
  const uint16_t pixels[4] = {0, 1000, 40000, 65535};
  png_image png;
  std::memset(&png, 0, sizeof png);
  png.version = PNG_IMAGE_VERSION;
  png.width = 2;
  png.height = 2;
  png.format = PNG_FORMAT_LINEAR_Y;
  ASSERT_TRUE(png_image_write_to_file(&png, at("d.png").c_str(), 0, pixels, 0, nullptr));
  ASSERT_TRUE(readPng(at("d.png"), image, error)) << error;
  EXPECT_FLOAT_EQ(image.values[2], 1000.0f / 65535.0f);  // row 0, column 1
  EXPECT_FLOAT_EQ(image.values[1], 40000.0f / 65535.0f);
}

TEST_F(PngIo, BadInputsGiveOneLineReasons) {
  std::string error;
  GreyImage image;
  EXPECT_FALSE(readPng(at("missing.png"), image, error));
  EXPECT_NE(error.find("cannot open"), std::string::npos) << error;

  std::ofstream(at("text.png")) << "not an image at all\n";
  EXPECT_FALSE(readPng(at("text.png"), image, error));
  EXPECT_NE(error.find("not a PNG"), std::string::npos) << error;

  EXPECT_FALSE(readPng(folder_.string(), image, error));  // a folder
  EXPECT_FALSE(error.empty());

  // A real PNG cut short: the decoder's error comes back instead of a crash.
  {
    StagedFile file;
    ASSERT_TRUE(file.open(at("whole.png"), error));
    ASSERT_TRUE(writePng(file, 64, 64, 1, std::vector<uint8_t>(64 * 64, 7), error));
    ASSERT_TRUE(file.commit(error));
  }
  fs::copy_file(at("whole.png"), at("cut.png"));
  fs::resize_file(at("cut.png"), fs::file_size(at("whole.png")) / 2);
  EXPECT_FALSE(readPng(at("cut.png"), image, error));
  EXPECT_NE(error.find("cannot read the PNG image"), std::string::npos) << error;
  EXPECT_EQ(error.find('\n'), std::string::npos);
}

TEST_F(PngIo, UncommittedAndUnwritableOutputsLeaveNothing) {
  std::string error;
  {
    StagedFile file;
    ASSERT_TRUE(file.open(at("never.png"), error));
    ASSERT_TRUE(writePng(file, 2, 2, 1, {1, 2, 3, 4}, error));
  }  // dropped without commit
  EXPECT_EQ(entries(), 0u);

  StagedFile file;
  EXPECT_FALSE(file.open(at("no-such-folder/out.png"), error));
  EXPECT_NE(error.find("cannot write"), std::string::npos) << error;
}

}  // namespace
}  // namespace daskel::tool
