// The image files of daskel-segment: PNG, TIFF and JPEG input, told apart by their first bytes
// whatever their names, and PNG and TIFF output, chosen by the extension of the output's name.
#ifndef DASKEL_TOOLS_SEGMENT_IMAGE_IO_HPP
#define DASKEL_TOOLS_SEGMENT_IMAGE_IO_HPP

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "segment/segment.hpp"
#include "tools/daskel-segment/options.hpp"
#include "tools/daskel-segment/outputs.hpp"
#include "tools/daskel-segment/tiff_io.hpp"

namespace daskel::tool {

enum class ImageFormat { png, tiff, jpeg };

// The format whose signature `bytes` (`size` of them, 8 are enough) start with; false for none
// that the tool reads.
bool formatOfSignature(const unsigned char* bytes, std::size_t size, ImageFormat& format);

// The format that `output` is written in, from the extension of its name in any case: .tif and
// .tiff are TIFF; .png, a name without an extension and standard output are PNG. Any other
// extension is refused with a one-line `error` that names the output: the tool writes no other
// format, and a file named .jpg that holds a PNG would mislead whoever opens it.
bool outputFormat(const NamedPath& output, ImageFormat& format, std::string& error);

// An input image of one page (PNG, JPEG) or of one or more (TIFF), read page by page.
class ImageReader {
 public:
  ImageReader() = default;
  ImageReader(const ImageReader&) = delete;
  ImageReader& operator=(const ImageReader&) = delete;
  ~ImageReader();

  // Opens `path`, or standard input for "-", and reads enough to know its format and its number
  // of pages. Standard input, and any file that is not a regular file (a pipe), is read to its
  // end into memory first. A page of more than `maxPixels` pixels is refused from its header,
  // before it is decoded. Errors are one line that names the file.
  bool open(const std::string& path, std::string& error, std::int64_t maxPixels = kPixelCeiling);
  // The path, or "standard input".
  const std::string& name() const { return name_; }
  ImageFormat format() const { return format_; }
  std::int32_t pages() const { return pages_; }
  // Reads the next page, from the first, as readPng, readTiff's pages or readJpegStream read it.
  bool readPage(segment::GreyImage& image, std::string& error);

 private:
  void close();
  std::string name_;
  std::string bytes_;  // the whole input, where it is read into memory
  std::FILE* file_ = nullptr;
  ImageFormat format_ = ImageFormat::png;
  std::int64_t maxPixels_ = kPixelCeiling;
  std::int32_t pages_ = 0;
  std::int32_t next_ = 0;
  TiffReader tiff_;
};

// The pages of one output file in its format: a PNG takes one, a TIFF as many as promised.
class ImageWriter {
 public:
  // Starts writing `pages` pages into `file`, which stays open until close().
  bool open(StagedFile& file, ImageFormat format, std::int32_t pages, std::string& error);
  // Writes the next page, as writePng takes it.
  bool writePage(std::int32_t rows, std::int32_t cols, int channels,
                 const std::vector<std::uint8_t>& samples, std::string& error);
  // Ends the file; the StagedFile is then ready to be committed.
  bool close(std::string& error);

 private:
  StagedFile* file_ = nullptr;
  ImageFormat format_ = ImageFormat::png;
  std::int32_t pages_ = 0;
  std::int32_t written_ = 0;
  TiffWriter tiff_;
};

}  // namespace daskel::tool

#endif  // DASKEL_TOOLS_SEGMENT_IMAGE_IO_HPP
