// TIFF reading and writing for daskel-segment, through libtiff. Every page of a file (every
// image of its chain of directories) is read on its own; pages are written one after another
// into one file. libtiff's warnings are dropped and its errors come back as the one-line `error`
// of the call that failed: nothing reaches standard error.
#ifndef DASKEL_TOOLS_SEGMENT_TIFF_IO_HPP
#define DASKEL_TOOLS_SEGMENT_TIFF_IO_HPP

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "segment/segment.hpp"
#include "tools/daskel-segment/options.hpp"
#include "tools/daskel-segment/outputs.hpp"

struct tiff;

namespace daskel::tool {

struct TiffMessages;

// Reads the pages of a TIFF as intensities in [0, 1], the way readPng reads a PNG: grey
// (min-is-black) or RGB pages of 8- or 16-bit unsigned samples, sample / (2^depth - 1), and of
// 32-bit floating-point samples, which must lie in [0, 1] already (NaN does not). Colour becomes
// luma, 0.299 R + 0.587 G + 0.114 B; a further sample (alpha) is ignored. Strips or tiles,
// interleaved or separate planes, and every compression libtiff decodes. Other pages (palette,
// min-is-white, YCbCr, CMYK, other depths, signed or 64-bit samples) are refused with their
// reason. Errors are one line that names the file, and the page when there are several.
class TiffReader {
 public:
  TiffReader();
  TiffReader(const TiffReader&) = delete;
  TiffReader& operator=(const TiffReader&) = delete;
  ~TiffReader();

  // Reads the header of the TIFF in `file`, which starts at the stream's first byte and must be
  // seekable and stay open while the reader is used, and counts its pages; `name` names it in
  // errors. A page of more than `maxPixels` pixels is refused from its header, before any of its
  // samples are decoded, and no allocation of libtiff's may exceed what such a page needs.
  bool open(std::FILE* file, const std::string& name, std::string& error,
            std::int64_t maxPixels = kPixelCeiling);
  std::int32_t pages() const { return pages_; }
  // Reads the next page, from the first; false with `error` set once none is left.
  bool readPage(segment::GreyImage& image, std::string& error);

 private:
  void close();
  // The file's name, and the page's number when there are several: "'a.tif' (page 2 of 3)".
  std::string where() const;
  bool decodePage(segment::GreyImage& image, std::string& error);
  std::unique_ptr<TiffMessages> messages_;
  tiff* tiff_ = nullptr;
  std::string name_;
  std::int64_t maxPixels_ = kPixelCeiling;
  std::int32_t pages_ = 0;
  std::int32_t next_ = 0;  // the page readPage reads
};

// Writes 8-bit pages, Deflate-compressed, into a StagedFile: grey (min-is-black) or RGB, one
// page after another; a file of several pages marks each as a page with its number.
class TiffWriter {
 public:
  TiffWriter();
  TiffWriter(const TiffWriter&) = delete;
  TiffWriter& operator=(const TiffWriter&) = delete;
  ~TiffWriter();

  // Starts a TIFF of `pages` pages in `file`, which must be open and stay so until close().
  bool open(StagedFile& file, std::int32_t pages, std::string& error);
  // Writes the next page: `channels` (1 grey, 3 RGB) samples per pixel, in column-major order,
  // the channels of a pixel together, as writePng takes them.
  bool writePage(std::int32_t rows, std::int32_t cols, int channels,
                 const std::vector<std::uint8_t>& samples, std::string& error);
  // Writes what libtiff still holds; the StagedFile is then ready to be committed. False unless
  // exactly the pages promised to open() were written.
  bool close(std::string& error);

 private:
  std::unique_ptr<TiffMessages> messages_;
  tiff* tiff_ = nullptr;
  std::string path_;
  std::int32_t pages_ = 0;
  std::int32_t written_ = 0;
};

}  // namespace daskel::tool

#endif  // DASKEL_TOOLS_SEGMENT_TIFF_IO_HPP
