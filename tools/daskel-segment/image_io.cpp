// The image files of daskel-segment.
#include "tools/daskel-segment/image_io.hpp"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "tools/daskel-segment/jpeg_io.hpp"
#include "tools/daskel-segment/png_io.hpp"

namespace daskel::tool {
namespace {

constexpr char kStandardInputName[] = "standard input";

bool startsWith(const unsigned char* bytes, std::size_t size, const char* signature,
                std::size_t length) {
  return size >= length && std::memcmp(bytes, signature, length) == 0;
}

// The extension of the last part of `path`, lower case, without its dot; empty for none (a
// name that starts with its only dot, ".hidden", has none).
std::string extensionOf(const std::string& path) {
  const std::size_t slash = path.find_last_of('/');
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  const std::size_t dot = name.find_last_of('.');
  if (dot == std::string::npos || dot == 0) return {};
  std::string extension = name.substr(dot + 1);
  for (char& c : extension) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return extension;
}

// The rest of `stream` in `bytes`.
bool readToEnd(std::FILE* stream, std::string& bytes) {
  char block[1 << 16];
  std::size_t got = 0;
  while ((got = std::fread(block, 1, sizeof block, stream)) > 0) bytes.append(block, got);
  return std::ferror(stream) == 0;
}

}  // namespace

bool formatOfSignature(const unsigned char* bytes, std::size_t size, ImageFormat& format) {
  if (startsWith(bytes, size, "\x89PNG\r\n\x1a\n", 8)) {
    format = ImageFormat::png;
  } else if (startsWith(bytes, size, "II*\0", 4) || startsWith(bytes, size, "MM\0*", 4) ||
             startsWith(bytes, size, "II+\0", 4) || startsWith(bytes, size, "MM\0+", 4)) {
    format = ImageFormat::tiff;  // classic TIFF and BigTIFF, either byte order
  } else if (startsWith(bytes, size, "\xff\xd8\xff", 3)) {
    format = ImageFormat::jpeg;
  } else {
    return false;
  }
  return true;
}

bool outputFormat(const NamedPath& output, ImageFormat& format, std::string& error) {
  const std::string extension =
      output.path == kStandardOutput ? std::string() : extensionOf(output.path);
  if (extension.empty() || extension == "png") {
    format = ImageFormat::png;
  } else if (extension == "tif" || extension == "tiff") {
    format = ImageFormat::tiff;
  } else {
    error = output.role + " '" + output.path + "': daskel-segment writes PNG (.png) and TIFF " +
            "(.tif, .tiff) files, not ." + extension;
    return false;
  }
  return true;
}

// --- ImageReader ----------------------------------------------------------------------------

ImageReader::~ImageReader() {
  close();
}

void ImageReader::close() {
  if (file_ != nullptr && file_ != stdin) std::fclose(file_);
  file_ = nullptr;
}

bool ImageReader::open(const std::string& path, std::string& error, std::int64_t maxPixels) {
  close();
  bytes_.clear();
  maxPixels_ = maxPixels;
  pages_ = 0;
  next_ = 0;
  const bool standardInput = path == kStandardInput;
  name_ = standardInput ? kStandardInputName : path;
  auto cannotRead = [&] {
    error = "cannot read '" + name_ + "': " + std::strerror(errno);
    return false;
  };
  std::FILE* source = standardInput ? stdin : std::fopen(path.c_str(), "rb");
  if (source == nullptr) {
    error = "cannot open '" + path + "': " + std::strerror(errno);
    return false;
  }
  // Reading a TIFF seeks about the file, and telling the formats apart reads its first bytes
  // twice: a stream that cannot seek is read into memory.
  struct stat status {};
  if (standardInput || fstat(fileno(source), &status) != 0 || !S_ISREG(status.st_mode)) {
    const bool read = readToEnd(source, bytes_);
    const int readError = errno;
    if (source != stdin) std::fclose(source);
    errno = readError;
    if (!read) return cannotRead();
    source = bytes_.empty() ? nullptr : fmemopen(bytes_.data(), bytes_.size(), "rb");
    if (source == nullptr && !bytes_.empty()) return cannotRead();
  }
  file_ = source;

  unsigned char signature[8] = {};
  const std::size_t got = file_ == nullptr ? 0 : std::fread(signature, 1, sizeof signature, file_);
  if (file_ != nullptr && std::ferror(file_)) return cannotRead();
  if (!formatOfSignature(signature, got, format_)) {
    error = "'" + name_ + "' is not a PNG, TIFF or JPEG image";
    return false;
  }
  if (std::fseek(file_, 0, SEEK_SET) != 0) return cannotRead();
  if (format_ == ImageFormat::tiff) {
    if (!tiff_.open(file_, name_, error, maxPixels_)) return false;
    pages_ = tiff_.pages();
  } else {
    pages_ = 1;
  }
  return true;
}

bool ImageReader::readPage(segment::GreyImage& image, std::string& error) {
  if (file_ == nullptr || next_ >= pages_) {
    error = "cannot read '" + name_ + "': no page is left";
    return false;
  }
  ++next_;
  switch (format_) {
    case ImageFormat::png:
      return readPngStream(file_, name_, image, error, maxPixels_);
    case ImageFormat::jpeg:
      return readJpegStream(file_, name_, image, error, maxPixels_);
    case ImageFormat::tiff:
      break;
  }
  return tiff_.readPage(image, error);
}

// --- ImageWriter ----------------------------------------------------------------------------

bool ImageWriter::open(StagedFile& file, ImageFormat format, std::int32_t pages,
                       std::string& error) {
  file_ = &file;
  format_ = format;
  pages_ = pages;
  written_ = 0;
  if (format == ImageFormat::tiff) return tiff_.open(file, pages, error);
  if (format == ImageFormat::png && pages == 1) return true;
  error = "cannot write '" + file.path() + "': " +
          (format == ImageFormat::png ? "a PNG file takes one page" : "JPEG is not written");
  return false;
}

bool ImageWriter::writePage(std::int32_t rows, std::int32_t cols, int channels,
                            const std::vector<std::uint8_t>& samples, std::string& error) {
  if (file_ == nullptr || written_ >= pages_) {
    error = "cannot write '" + (file_ == nullptr ? std::string() : file_->path()) +
            "': no page is left";
    return false;
  }
  ++written_;
  if (format_ == ImageFormat::tiff) return tiff_.writePage(rows, cols, channels, samples, error);
  return writePng(*file_, rows, cols, channels, samples, error);
}

bool ImageWriter::close(std::string& error) {
  if (format_ == ImageFormat::tiff) return tiff_.close(error);
  if (written_ == pages_) return true;
  error = "cannot write '" + (file_ == nullptr ? std::string() : file_->path()) +
          "': its page was not written";
  return false;
}

}  // namespace daskel::tool
