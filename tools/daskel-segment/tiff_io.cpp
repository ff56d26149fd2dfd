// TIFF reading and writing for daskel-segment.
#include "tools/daskel-segment/tiff_io.hpp"

#include <tiffio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdarg>
#include <cstdlib>
#include <cstring>

namespace daskel::tool {

// The first error libtiff reported since the last clear(); warnings are dropped. libtiff keeps
// a pointer to this for the life of its handle.
struct TiffMessages {
  std::string name;  // of the file, which libtiff puts before some of its messages
  std::string first;
  void clear() { first.clear(); }
  // libtiff's message, or `fallback` where it gave none.
  std::string orElse(const std::string& fallback) const { return first.empty() ? fallback : first; }
};

namespace {

using segment::GreyImage;
using segment::greyIntensity;
using segment::lumaIntensity;

// Returning 1 keeps libtiff from passing the message on to its global handlers, which print it.
// Nothing may be thrown back through libtiff's C frames: a message that finds no memory is lost,
// and the caller's own reason stands in for it.
int keepError(TIFF*, void* userData, const char*, const char* format, va_list arguments) {
  auto* messages = static_cast<TiffMessages*>(userData);
  if (!messages->first.empty()) return 1;
  char text[256];
  std::vsnprintf(text, sizeof text, format, arguments);
  // One line, whatever libtiff put in it, that names the file once.
  std::replace(text, text + std::strlen(text), '\n', ' ');
  const char* message = text;
  const std::size_t length = messages->name.size();
  if (length > 0 && std::strncmp(text, messages->name.c_str(), length) == 0 &&
      std::strncmp(text + length, ": ", 2) == 0) {
    message += length + 2;
  }
  try {
    messages->first = message;
  } catch (...) {
    messages->first.clear();
  }
  return 1;
}

int dropWarning(TIFF*, void*, const char*, const char*, va_list) {
  return 1;
}

// The few messages libtiff sends to its global handlers only (from code without a handle) are
// silenced too, once for the process.
void silenceGlobalHandlers() {
  static const bool silenced = [] {
    TIFFSetErrorHandler(nullptr);
    TIFFSetWarningHandler(nullptr);
    return true;
  }();
  (void)silenced;
}

// Options for one handle: its messages go to `messages`, and no single allocation of libtiff's
// may exceed `maxAllocation` bytes (0: libtiff's own limit).
struct OpenOptions {
  OpenOptions(TiffMessages* messages, tmsize_t maxAllocation) : options(TIFFOpenOptionsAlloc()) {
    if (options == nullptr) return;
    TIFFOpenOptionsSetErrorHandlerExtR(options, keepError, messages);
    TIFFOpenOptionsSetWarningHandlerExtR(options, dropWarning, nullptr);
    if (maxAllocation > 0) TIFFOpenOptionsSetMaxSingleMemAlloc(options, maxAllocation);
  }
  ~OpenOptions() {
    if (options != nullptr) TIFFOpenOptionsFree(options);
  }
  OpenOptions(const OpenOptions&) = delete;
  OpenOptions& operator=(const OpenOptions&) = delete;
  TIFFOpenOptions* options;
};

// --- A read-only seekable stream as libtiff's file ------------------------------------------

std::FILE* streamOf(thandle_t handle) {
  return static_cast<std::FILE*>(handle);
}

tmsize_t readStream(thandle_t handle, void* buffer, tmsize_t size) {
  return static_cast<tmsize_t>(
      std::fread(buffer, 1, static_cast<std::size_t>(size), streamOf(handle)));
}

tmsize_t refuseWrite(thandle_t, void*, tmsize_t) {
  return 0;
}

toff_t seekStream(thandle_t handle, toff_t offset, int whence) {
  // Offsets beyond off_t are as unreachable as those beyond the end.
  if (offset > static_cast<toff_t>(INT64_MAX)) return static_cast<toff_t>(-1);
  if (fseeko(streamOf(handle), static_cast<off_t>(offset), whence) != 0) {
    return static_cast<toff_t>(-1);
  }
  return static_cast<toff_t>(ftello(streamOf(handle)));
}

int keepStreamOpen(thandle_t) {
  return 0;  // the caller closes the stream
}

toff_t streamSize(thandle_t handle) {
  std::FILE* stream = streamOf(handle);
  const off_t here = ftello(stream);
  if (here < 0 || fseeko(stream, 0, SEEK_END) != 0) return 0;
  const off_t size = ftello(stream);
  fseeko(stream, here, SEEK_SET);
  return size < 0 ? 0 : static_cast<toff_t>(size);
}

int noMapping(thandle_t, void**, toff_t*) {
  return 0;
}

void noUnmapping(thandle_t, void*, toff_t) {}

// --- Pages ----------------------------------------------------------------------------------

// How a page's samples are laid out, from its header.
struct PageLayout {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::uint16_t samples = 1;  // per pixel, alpha included
  std::uint16_t bytes = 1;    // per sample: 1, 2 or 4 (float)
  std::uint16_t colours = 1;  // 1 grey or 3 RGB: the samples that count
  bool separate = false;      // one plane per sample instead of the samples of a pixel together
  bool floating = false;

  // Bytes of one pixel of a decoded strip or tile: all its samples, or one plane's.
  std::size_t blockPixelBytes() const { return std::size_t{separate ? 1u : samples} * bytes; }
};

std::string pixelCount(std::uint64_t width, std::uint64_t height) {
  return std::to_string(width) + " x " + std::to_string(height) + " pixels";
}

// The page's layout, or false with the reason it is not one this reader takes.
bool pageLayout(TIFF* tiff, PageLayout& layout, std::string& reason) {
  std::uint16_t bits = 1, format = SAMPLEFORMAT_UINT, planar = PLANARCONFIG_CONTIG;
  std::uint16_t photometric = 0;
  std::uint32_t depth = 1;
  if (TIFFGetField(tiff, TIFFTAG_IMAGEWIDTH, &layout.width) != 1 ||
      TIFFGetField(tiff, TIFFTAG_IMAGELENGTH, &layout.height) != 1) {
    reason = "it has no image width or length";
    return false;
  }
  TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLESPERPIXEL, &layout.samples);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_BITSPERSAMPLE, &bits);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_SAMPLEFORMAT, &format);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_PLANARCONFIG, &planar);
  TIFFGetFieldDefaulted(tiff, TIFFTAG_IMAGEDEPTH, &depth);
  if (TIFFGetField(tiff, TIFFTAG_PHOTOMETRIC, &photometric) != 1) {
    reason = "it has no photometric interpretation";
    return false;
  }
  if (photometric == PHOTOMETRIC_MINISBLACK && (layout.samples == 1 || layout.samples == 2)) {
    layout.colours = 1;
  } else if (photometric == PHOTOMETRIC_RGB && (layout.samples == 3 || layout.samples == 4)) {
    layout.colours = 3;
  } else {
    reason = "its pixels are " + std::to_string(layout.samples) +
             " samples of photometric interpretation " + std::to_string(photometric) +
             "; daskel-segment reads grey (min-is-black) and RGB pages, with or without alpha";
    return false;
  }
  if (bits == 8 && format == SAMPLEFORMAT_UINT) {
    layout.bytes = 1;
  } else if (bits == 16 && format == SAMPLEFORMAT_UINT) {
    layout.bytes = 2;
  } else if (bits == 32 && format == SAMPLEFORMAT_IEEEFP) {
    layout.bytes = 4;
    layout.floating = true;
  } else {
    const char* kind = format == SAMPLEFORMAT_UINT     ? "unsigned"
                       : format == SAMPLEFORMAT_INT    ? "signed"
                       : format == SAMPLEFORMAT_IEEEFP ? "floating-point"
                                                       : "other";
    reason = "its samples are " + std::to_string(bits) + "-bit " + kind +
             "; daskel-segment reads 8- and 16-bit unsigned and 32-bit floating-point samples";
    return false;
  }
  if (depth != 1) {
    reason = "it is a volume " + std::to_string(depth) + " images deep";
    return false;
  }
  layout.separate = planar == PLANARCONFIG_SEPARATE;
  return true;
}

// Copies a decoded strip or tile, `blockWidth` pixels wide, into the page's samples: its
// `width` x `height` pixels from the top left go to those from (x0, y0). A block of one plane
// fills that sample of each pixel.
void placeBlock(const PageLayout& layout, const unsigned char* block, std::uint32_t blockWidth,
                std::uint32_t x0, std::uint32_t y0, std::uint32_t width, std::uint32_t height,
                std::uint16_t plane, std::vector<unsigned char>& page) {
  const std::size_t pixelBytes = std::size_t{layout.samples} * layout.bytes;
  const std::size_t blockPixelBytes = layout.blockPixelBytes();
  for (std::uint32_t r = 0; r < height; ++r) {
    const unsigned char* from = block + std::size_t{r} * blockWidth * blockPixelBytes;
    unsigned char* to = page.data() + (std::size_t{y0 + r} * layout.width + x0) * pixelBytes;
    if (!layout.separate) {
      std::memcpy(to, from, std::size_t{width} * pixelBytes);
      continue;
    }
    for (std::uint32_t c = 0; c < width; ++c) {
      std::memcpy(to + c * pixelBytes + std::size_t{plane} * layout.bytes, from + c * layout.bytes,
                  layout.bytes);
    }
  }
}

// The decoded samples of the page, `layout.samples` per pixel, row after row, in the machine's
// byte order; false with `error` set.
bool decodeSamples(TIFF* tiff, const PageLayout& layout, std::int64_t maxPixels,
                   std::vector<unsigned char>& page, TiffMessages& messages, std::string& error) {
  page.resize(std::size_t{layout.width} * layout.height * layout.samples * layout.bytes);
  const std::uint16_t planes = layout.separate ? layout.samples : 1;
  std::vector<unsigned char> block;
  if (TIFFIsTiled(tiff)) {
    std::uint32_t tileWidth = 0, tileHeight = 0;
    TIFFGetField(tiff, TIFFTAG_TILEWIDTH, &tileWidth);
    TIFFGetField(tiff, TIFFTAG_TILELENGTH, &tileHeight);
    if (tileWidth == 0 || tileHeight == 0 ||
        std::uint64_t{tileWidth} * tileHeight > static_cast<std::uint64_t>(maxPixels)) {
      error = "its tiles are " + pixelCount(tileWidth, tileHeight) +
              ", none or more than the limit of " + std::to_string(maxPixels) +
              " (see --max-pixels)";
      return false;
    }
    block.resize(std::size_t{tileWidth} * tileHeight * layout.blockPixelBytes());
    for (std::uint16_t plane = 0; plane < planes; ++plane) {
      for (std::uint32_t y = 0; y < layout.height; y += tileHeight) {
        for (std::uint32_t x = 0; x < layout.width; x += tileWidth) {
          const std::uint32_t tile = TIFFComputeTile(tiff, x, y, 0, plane);
          messages.clear();
          if (TIFFReadEncodedTile(tiff, tile, block.data(), static_cast<tmsize_t>(block.size())) !=
              static_cast<tmsize_t>(block.size())) {
            error = messages.orElse("tile " + std::to_string(tile) + " is short");
            return false;
          }
          placeBlock(layout, block.data(), tileWidth, x, y, std::min(tileWidth, layout.width - x),
                     std::min(tileHeight, layout.height - y), plane, page);
        }
      }
    }
    return true;
  }
  std::uint32_t rowsPerStrip = 0;
  TIFFGetFieldDefaulted(tiff, TIFFTAG_ROWSPERSTRIP, &rowsPerStrip);
  rowsPerStrip = std::min(rowsPerStrip, layout.height);
  if (rowsPerStrip == 0) {
    error = "its strips have no rows";
    return false;
  }
  const std::size_t rowBytes = std::size_t{layout.width} * layout.blockPixelBytes();
  for (std::uint16_t plane = 0; plane < planes; ++plane) {
    for (std::uint32_t y = 0; y < layout.height; y += rowsPerStrip) {
      const std::uint32_t rows = std::min(rowsPerStrip, layout.height - y);
      const std::uint32_t strip = TIFFComputeStrip(tiff, y, plane);
      block.resize(rows * rowBytes);
      messages.clear();
      if (TIFFReadEncodedStrip(tiff, strip, block.data(), static_cast<tmsize_t>(block.size())) !=
          static_cast<tmsize_t>(block.size())) {
        error = messages.orElse("strip " + std::to_string(strip) + " is short");
        return false;
      }
      placeBlock(layout, block.data(), layout.width, 0, y, layout.width, rows, plane, page);
    }
  }
  return true;
}

double sampleAt(const PageLayout& layout, const unsigned char* samples, std::size_t index) {
  switch (layout.bytes) {
    case 1:
      return samples[index];
    case 2: {
      std::uint16_t value = 0;
      std::memcpy(&value, samples + 2 * index, 2);
      return value;
    }
    default: {
      float value = 0.0f;
      std::memcpy(&value, samples + 4 * index, 4);
      return value;
    }
  }
}

// The shortest text that reads back as the float `value`, as Python prints it: 1.5, nan, inf.
std::string floatText(double value) {
  char text[32];
  for (int digits = 1; digits <= 9; ++digits) {
    std::snprintf(text, sizeof text, "%.*g", digits, value);
    if (std::isnan(value) || std::strtof(text, nullptr) == static_cast<float>(value)) break;
  }
  return text;
}

}  // namespace

// --- TiffReader -----------------------------------------------------------------------------

TiffReader::TiffReader() : messages_(std::make_unique<TiffMessages>()) {}

TiffReader::~TiffReader() {
  close();
}

void TiffReader::close() {
  if (tiff_ != nullptr) TIFFClose(tiff_);
  tiff_ = nullptr;
}

std::string TiffReader::where() const {
  std::string text = "'" + name_ + "'";
  if (pages_ > 1) {
    text += " (page " + std::to_string(next_ + 1) + " of " + std::to_string(pages_) + ")";
  }
  return text;
}

bool TiffReader::open(std::FILE* file, const std::string& name, std::string& error,
                      std::int64_t maxPixels) {
  close();
  silenceGlobalHandlers();
  name_ = name;
  maxPixels_ = maxPixels;
  pages_ = 0;
  next_ = 0;
  messages_->name = name;
  messages_->clear();
  // The largest buffer a page needs is all its pixels of four 4-byte samples; libtiff's own
  // buffers for a directory or a compressed strip are smaller than that for any page allowed.
  const OpenOptions options(messages_.get(),
                            static_cast<tmsize_t>(std::max<std::int64_t>(maxPixels, 1 << 20) * 16));
  // "m": no memory mapping, as the stream need not be a file.
  tiff_ = TIFFClientOpenExt(name.c_str(), "rm", file, readStream, refuseWrite, seekStream,
                            keepStreamOpen, streamSize, noMapping, noUnmapping, options.options);
  if (tiff_ == nullptr) {
    error = "cannot read the TIFF image '" + name + "': " +
            messages_->orElse(options.options == nullptr ? "out of memory" : "no image in it");
    return false;
  }
  // Counting follows the chain of directories to its end; a chain that breaks off or loops is
  // a damaged file, not a shorter one.
  messages_->clear();
  const tdir_t count = TIFFNumberOfDirectories(tiff_);
  if (!messages_->first.empty() || count == 0 || count > static_cast<tdir_t>(INT32_MAX)) {
    error = "cannot read the TIFF image '" + name +
            "': " + messages_->orElse("its pages cannot be counted");
    close();
    return false;
  }
  // Counting stops quietly where the chain loops back: its last page then points on.
  bool chainEnds = count == 1 || TIFFSetDirectory(tiff_, count - 1) == 1;
  chainEnds = chainEnds && TIFFLastDirectory(tiff_) != 0;
  if (count > 1) chainEnds = TIFFSetDirectory(tiff_, 0) == 1 && chainEnds;
  if (!chainEnds) {
    error = "cannot read the TIFF image '" + name + "': " +
            messages_->orElse("its chain of pages loops back after page " + std::to_string(count));
    close();
    return false;
  }
  pages_ = static_cast<std::int32_t>(count);
  return true;
}

bool TiffReader::readPage(GreyImage& image, std::string& error) {
  if (tiff_ == nullptr || next_ >= pages_) {
    error = "cannot read the TIFF image '" + name_ + "': no page is left";
    return false;
  }
  const bool read = decodePage(image, error);
  ++next_;
  return read;
}

bool TiffReader::decodePage(GreyImage& image, std::string& error) {
  auto refuse = [&](const std::string& reason) {
    error = "cannot read the TIFF image " + where() + ": " + reason;
    return false;
  };
  messages_->clear();
  if (next_ > 0 && TIFFReadDirectory(tiff_) != 1) {
    return refuse(messages_->orElse("its directory cannot be read"));
  }
  PageLayout layout;
  std::string reason;
  if (!pageLayout(tiff_, layout, reason)) return refuse(reason);
  if (std::uint64_t{layout.width} * layout.height > static_cast<std::uint64_t>(maxPixels_)) {
    error = where() + " is " + pixelCount(layout.width, layout.height) +
            ", more than the limit of " + std::to_string(maxPixels_) + " (see --max-pixels)";
    return false;
  }
  if (layout.width == 0 || layout.height == 0) return refuse("it has no pixels");
  std::vector<unsigned char> samples;
  if (!decodeSamples(tiff_, layout, maxPixels_, samples, *messages_, reason)) {
    return refuse(reason);
  }

  // TIFF rows run across the image; the grey image runs down its columns.
  const double maxSample = layout.floating ? 1.0 : layout.bytes == 2 ? 65535.0 : 255.0;
  image.rows = static_cast<std::int32_t>(layout.height);
  image.cols = static_cast<std::int32_t>(layout.width);
  image.values.resize(std::size_t{layout.width} * layout.height);
  for (std::size_t r = 0; r < layout.height; ++r) {
    for (std::size_t c = 0; c < layout.width; ++c) {
      const std::size_t pixel = (r * layout.width + c) * layout.samples;
      double value[3] = {sampleAt(layout, samples.data(), pixel), 0.0, 0.0};
      for (int k = 1; k < layout.colours; ++k)
        value[k] = sampleAt(layout, samples.data(), pixel + k);
      if (layout.floating) {
        for (int k = 0; k < layout.colours; ++k) {
          if (!(value[k] >= 0.0 && value[k] <= 1.0)) {  // NaN too
            error = where() + " holds the floating-point intensity " + floatText(value[k]) +
                    "; floating-point samples must lie in [0, 1]";
            return false;
          }
        }
      }
      image.values[r + layout.height * c] =
          layout.colours == 3 ? lumaIntensity(value[0], value[1], value[2], maxSample)
                              : greyIntensity(value[0], maxSample);
    }
  }
  return true;
}

// --- TiffWriter -----------------------------------------------------------------------------

TiffWriter::TiffWriter() : messages_(std::make_unique<TiffMessages>()) {}

TiffWriter::~TiffWriter() {
  if (tiff_ != nullptr) TIFFClose(tiff_);
}

bool TiffWriter::open(StagedFile& file, std::int32_t pages, std::string& error) {
  silenceGlobalHandlers();
  path_ = file.path();
  pages_ = pages;
  written_ = 0;
  messages_->name = path_;
  messages_->clear();
  // libtiff closes the descriptor it is given; the staged file keeps its own, which it flushes,
  // syncs and closes when it is committed.
  const int descriptor = file.stream() == nullptr ? -1 : dup(fileno(file.stream()));
  if (descriptor < 0) {
    error = "cannot write '" + path_ +
            "': " + (file.stream() == nullptr ? "not open" : std::strerror(errno));
    return false;
  }
  const OpenOptions options(messages_.get(), 0);
  tiff_ = TIFFFdOpenExt(descriptor, path_.c_str(), "w", options.options);
  if (tiff_ == nullptr) {
    ::close(descriptor);
    error = "cannot write '" + path_ + "': " + messages_->orElse("libtiff cannot start it");
    return false;
  }
  return true;
}

bool TiffWriter::writePage(std::int32_t rows, std::int32_t cols, int channels,
                           const std::vector<std::uint8_t>& samples, std::string& error) {
  auto refuse = [&](const std::string& fallback) {
    error = "cannot write '" + path_ + "': " + messages_->orElse(fallback);
    return false;
  };
  if (tiff_ == nullptr) return refuse("not open");
  if (written_ >= pages_) return refuse("more pages than it was opened for");
  messages_->clear();
  TIFFSetField(tiff_, TIFFTAG_IMAGEWIDTH, static_cast<std::uint32_t>(cols));
  TIFFSetField(tiff_, TIFFTAG_IMAGELENGTH, static_cast<std::uint32_t>(rows));
  TIFFSetField(tiff_, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(tiff_, TIFFTAG_SAMPLESPERPIXEL, channels);
  TIFFSetField(tiff_, TIFFTAG_SAMPLEFORMAT, SAMPLEFORMAT_UINT);
  TIFFSetField(tiff_, TIFFTAG_PHOTOMETRIC,
               channels == 3 ? PHOTOMETRIC_RGB : PHOTOMETRIC_MINISBLACK);
  TIFFSetField(tiff_, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  TIFFSetField(tiff_, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
  TIFFSetField(tiff_, TIFFTAG_ROWSPERSTRIP, TIFFDefaultStripSize(tiff_, 0));
  if (pages_ > 1) {
    TIFFSetField(tiff_, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
    TIFFSetField(tiff_, TIFFTAG_PAGENUMBER, static_cast<std::uint16_t>(std::min(written_, 65535)),
                 static_cast<std::uint16_t>(std::min(pages_, 65535)));
  }
  // TIFF rows run across the image; `samples` runs down its columns.
  std::vector<std::uint8_t> row(static_cast<std::size_t>(cols) * channels);
  for (std::int32_t i = 0; i < rows; ++i) {
    for (std::int32_t j = 0; j < cols; ++j) {
      for (int c = 0; c < channels; ++c) {
        row[static_cast<std::size_t>(j) * channels + c] =
            samples[(static_cast<std::size_t>(i) + static_cast<std::size_t>(rows) * j) * channels +
                    c];
      }
    }
    if (TIFFWriteScanline(tiff_, row.data(), static_cast<std::uint32_t>(i), 0) != 1) {
      return refuse("row " + std::to_string(i) + " cannot be written");
    }
  }
  if (TIFFWriteDirectory(tiff_) != 1) return refuse("its directory cannot be written");
  ++written_;
  return true;
}

bool TiffWriter::close(std::string& error) {
  if (tiff_ == nullptr) {
    error = "cannot write '" + path_ + "': not open";
    return false;
  }
  messages_->clear();
  TIFFClose(tiff_);
  tiff_ = nullptr;
  if (!messages_->first.empty()) {
    error = "cannot write '" + path_ + "': " + messages_->first;
    return false;
  }
  if (written_ != pages_) {
    error = "cannot write '" + path_ + "': " + std::to_string(written_) + " of its " +
            std::to_string(pages_) + " pages were written";
    return false;
  }
  return true;
}

}  // namespace daskel::tool
