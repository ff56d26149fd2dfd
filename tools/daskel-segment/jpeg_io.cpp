// JPEG reading for daskel-segment.
#include "tools/daskel-segment/jpeg_io.hpp"

// jpeglib.h needs FILE and size_t declared before it.
#include <jpeglib.h>

#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "tools/daskel-segment/tiles.hpp"

namespace daskel::tool {
namespace {

using segment::GreyImage;

// More scans than a progressive encoder writes (libjpeg's own write at most a few dozen); a
// file of tiny scans can otherwise make the decoder repeat its work for each of thousands.
constexpr int kMaxScans = 1000;

// A decoded JPEG: `height` rows of `width` pixels of `channels` (1 or 3) 8-bit samples. Plain data
// so that it can live across setjmp.
struct Decoded {
  JDIMENSION width = 0;
  JDIMENSION height = 0;
  int channels = 0;
  JSAMPLE* data = nullptr;  // malloc'd
};

// libjpeg's error manager with the way back to decode() and what went wrong. Plain data.
struct ErrorSink {
  jpeg_error_mgr manager;  // first, so that libjpeg's pointer to it is a pointer to the sink
  jpeg_progress_mgr progress;
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX + 64];
  bool tooLarge;  // the image has more pixels than allowed; the size is in Decoded
};

ErrorSink* sinkOf(j_common_ptr info) {
  return reinterpret_cast<ErrorSink*>(info->err);
}

// libjpeg's default ends the program; this goes back to decode() instead.
[[noreturn]] void onJpegError(j_common_ptr info) {
  ErrorSink* sink = sinkOf(info);
  (*info->err->format_message)(info, sink->message);
  std::longjmp(sink->jump, 1);
}

// Level -1 is a warning: the data are damaged (libjpeg would fill in the rest of the image), and
// the file is refused like any damaged file. Higher levels are trace messages, never printed.
void onJpegMessage(j_common_ptr info, int level) {
  if (level < 0) onJpegError(info);
}

void onJpegProgress(j_common_ptr info) {
  const auto* decompress = reinterpret_cast<j_decompress_ptr>(info);
  if (decompress->input_scan_number > kMaxScans) {
    ErrorSink* sink = sinkOf(info);
    std::snprintf(sink->message, sizeof sink->message, "it has more than %d scans", kMaxScans);
    std::longjmp(sink->jump, 1);
  }
}

// All libjpeg calls are in this function. libjpeg reports a damaged file through onJpegError's
// longjmp back to the setjmp below, so no object with a destructor lives in this frame; the only
// resources are libjpeg's structure and the malloc'd samples, freed on both paths.
bool decode(std::FILE* file, std::uint64_t maxPixels, Decoded* out, ErrorSink* sink) {
  jpeg_decompress_struct info = {};  // all null, so that destroying it before its creation is safe
  info.err = jpeg_std_error(&sink->manager);
  sink->manager.error_exit = onJpegError;
  sink->manager.emit_message = onJpegMessage;
  sink->progress.progress_monitor = onJpegProgress;
  JSAMPLE* volatile data = nullptr;
  if (setjmp(sink->jump)) {  // libjpeg's message is in the sink
    std::free(data);
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  info.progress = &sink->progress;
  jpeg_stdio_src(&info, file);
  jpeg_read_header(&info, TRUE);
  out->width = info.image_width;
  out->height = info.image_height;
  if (std::uint64_t{info.image_width} * info.image_height > maxPixels) {
    sink->tooLarge = true;
    std::longjmp(sink->jump, 1);
  }
  if (info.num_components == 1) {
    info.out_color_space = JCS_GRAYSCALE;
  } else if (info.num_components == 3) {
    info.out_color_space = JCS_RGB;
  } else {
    std::snprintf(sink->message, sizeof sink->message,
                  "its pixels have %d colour components (CMYK or YCCK); daskel-segment reads "
                  "grey and colour (3-component) JPEG images",
                  info.num_components);
    std::longjmp(sink->jump, 1);
  }
  jpeg_start_decompress(&info);
  const std::size_t rowSamples = std::size_t{info.output_width} * info.output_components;
  data = static_cast<JSAMPLE*>(std::malloc(rowSamples * info.output_height));
  if (data == nullptr) {
    std::snprintf(sink->message, sizeof sink->message, "out of memory");
    std::longjmp(sink->jump, 1);
  }
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = data + rowSamples * info.output_scanline;
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  out->width = info.output_width;
  out->height = info.output_height;
  out->channels = info.output_components;
  jpeg_destroy_decompress(&info);
  out->data = data;
  return true;
}

}  // namespace

bool readJpegStream(std::FILE* file, const std::string& name, GreyImage& image, std::string& error,
                    std::int64_t maxPixels) {
  Decoded d;
  ErrorSink sink{};
  if (!decode(file, static_cast<std::uint64_t>(maxPixels), &d, &sink)) {
    error = sink.tooLarge ? "'" + name + "' is " + std::to_string(d.width) + " x " +
                                std::to_string(d.height) + " pixels, more than the limit of " +
                                std::to_string(maxPixels) + " (see --max-pixels)"
                          : "cannot read the JPEG image '" + name + "': " + sink.message;
    return false;
  }
  // Freed also when the conversion below runs out of memory.
  const std::unique_ptr<JSAMPLE, decltype(&std::free)> samples(d.data, &std::free);

  // JPEG rows run across the image; the grey image runs down its columns.
  image.rows = static_cast<int32_t>(d.height);
  image.cols = static_cast<int32_t>(d.width);
  image.values.resize(std::size_t{d.width} * d.height);
  eachPixelByTiles(d.height, d.width, [&](std::size_t r, std::size_t c) {
    const JSAMPLE* pixel = d.data + (r * d.width + c) * static_cast<std::size_t>(d.channels);
    image.values[r + d.height * c] =
        d.channels == 3 ? segment::lumaIntensity(pixel[0], pixel[1], pixel[2], 255.0)
                        : segment::greyIntensity(pixel[0], 255.0);
  });
  return true;
}

}  // namespace daskel::tool
