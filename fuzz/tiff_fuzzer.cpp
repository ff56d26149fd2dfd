// Fuzz target for the TIFF reader of daskel-segment. Whatever the bytes, reading must not crash,
// overrun or leak, and must either give pages of at least one pixel whose every intensity lies
// in [0, 1], or fail with a one-line reason that names the input.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "tools/daskel-segment/tiff_io.hpp"

namespace {

// Keeps each input's decoding within a few megabytes, so that a claimed size is no out-of-memory
// finding; the refusal itself is part of what is checked.
constexpr std::int64_t kMaxPixels = std::int64_t{1} << 20;
// The pages read of one input: enough for every way a page can follow another, few enough that
// a chain of thousands of tiny pages does not slow the fuzzing down.
constexpr std::int32_t kMaxPages = 8;

[[noreturn]] void fail(const char* what, const std::string& detail) {
  std::fprintf(stderr, "property violated: %s: %s\n", what, detail.c_str());
  std::abort();
}

void checkImage(const daskel::segment::GreyImage& image) {
  const std::string size = std::to_string(image.cols) + " x " + std::to_string(image.rows);
  if (image.rows < 1 || image.cols < 1 || std::int64_t{image.rows} * image.cols > kMaxPixels ||
      image.values.size() != static_cast<std::size_t>(image.rows) * image.cols) {
    fail("image size", size + ", " + std::to_string(image.values.size()) + " values");
  }
  for (float value : image.values) {
    if (!(value >= 0.0f && value <= 1.0f)) fail("intensity outside [0, 1]", std::to_string(value));
  }
}

void checkError(const std::string& error) {
  if (error.empty() || error.find('\n') != std::string::npos ||
      error.find("'input'") == std::string::npos) {
    fail("error message", error);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size == 0) return 0;  // fmemopen wants at least one byte
  // A read-only stream over the input; fmemopen takes a non-const buffer but does not write it.
  std::FILE* stream = fmemopen(const_cast<uint8_t*>(data), size, "rb");
  if (stream == nullptr) return 0;
  {
    daskel::tool::TiffReader reader;
    std::string error;
    if (!reader.open(stream, "input", error, kMaxPixels)) {
      checkError(error);
    } else {
      if (reader.pages() < 1) fail("page count", std::to_string(reader.pages()));
      for (std::int32_t page = 0; page < std::min(reader.pages(), kMaxPages); ++page) {
        daskel::segment::GreyImage image;
        if (!reader.readPage(image, error)) {
          checkError(error);
          break;
        }
        checkImage(image);
      }
    }
  }  // the reader lets go of the stream before it is closed
  std::fclose(stream);
  return 0;
}
