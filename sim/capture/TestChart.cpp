#include "sim/capture/TestChart.h"

// libjpeg's header needs the standard I/O declarations first.
#include <cstdio>
#include <csetjmp>
#include <cstdlib>
#include <cstring>

#include <jpeglib.h>

#include <algorithm>
#include <cmath>
#include <string>

#include "Foundation/FatalError.h"

namespace sim {

namespace {

// The chart's colour at (x, y) of its unit square.
void chartColor(double x, double y, std::uint8_t* rgb) {
  if (x >= 1.0 / 16 && x < 0.25 && y >= 1.0 / 16 && y < 0.25) {
    rgb[0] = 230, rgb[1] = 30, rgb[2] = 30;
    return;
  }
  if (std::abs(x - 0.5) < 0.01 || std::abs(y - 0.5) < 0.01) {
    rgb[0] = 30, rgb[1] = 200, rgb[2] = 60;
    return;
  }
  const int cx = std::clamp(static_cast<int>(x * 8), 0, 7);
  const int cy = std::clamp(static_cast<int>(y * 8), 0, 7);
  const std::uint8_t grey = ((cx + cy) % 2 == 0) ? 210 : 50;
  rgb[0] = rgb[1] = rgb[2] = grey;
}

// libjpeg reports fatal errors through error_exit; jump back to the caller.
struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
};

void onError(j_common_ptr info) { std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1); }
void silence(j_common_ptr, int) {}

}  // namespace

RGBImage renderTestChart(int sensorWidth, int sensorHeight, double zoomFactor,
                         AVCaptureVideoOrientation orientation) {
  const bool portrait = orientation == AVCaptureVideoOrientation::portrait ||
                        orientation == AVCaptureVideoOrientation::portraitUpsideDown;
  RGBImage image;
  image.width = portrait ? sensorHeight : sensorWidth;
  image.height = portrait ? sensorWidth : sensorHeight;
  image.pixels.resize(static_cast<std::size_t>(image.width) * image.height * 3);
  const double zoom = zoomFactor >= 1 ? zoomFactor : 1.0;
  for (int y = 0; y < image.height; ++y) {
    for (int x = 0; x < image.width; ++x) {
      // The sensor pixel this output pixel comes from.
      int sx = x, sy = y;
      switch (orientation) {
        case AVCaptureVideoOrientation::landscapeRight: break;
        case AVCaptureVideoOrientation::landscapeLeft: sx = sensorWidth - 1 - x, sy = sensorHeight - 1 - y; break;
        case AVCaptureVideoOrientation::portrait: sx = y, sy = sensorHeight - 1 - x; break;
        case AVCaptureVideoOrientation::portraitUpsideDown: sx = sensorWidth - 1 - y, sy = x; break;
      }
      const double u = 0.5 + ((sx + 0.5) / sensorWidth - 0.5) / zoom;
      const double v = 0.5 + ((sy + 0.5) / sensorHeight - 0.5) / zoom;
      chartColor(u, v, &image.pixels[(static_cast<std::size_t>(y) * image.width + x) * 3]);
    }
  }
  return image;
}

Data encodeJPEG(const RGBImage& image, int quality) {
  jpeg_compress_struct info;
  ErrorManager errors;
  info.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = onError;
  errors.base.emit_message = silence;
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  // No object with a destructor lives between setjmp and a possible longjmp.
  if (setjmp(errors.jump)) {
    jpeg_destroy_compress(&info);
    std::free(buffer);
    fatalError("libjpeg could not encode the test chart");
  }
  jpeg_create_compress(&info);
  jpeg_mem_dest(&info, &buffer, &size);
  info.image_width = static_cast<JDIMENSION>(image.width);
  info.image_height = static_cast<JDIMENSION>(image.height);
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, std::clamp(quality, 0, 100), TRUE);
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < info.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(image.at(0, static_cast<int>(info.next_scanline)));
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  Data data(buffer, buffer + size);
  std::free(buffer);
  return data;
}

namespace {

// Decodes into `image`; false on any libjpeg error. Kept apart so that the
// setjmp frame holds no object with a destructor.
bool decodeInto(const Data& data, RGBImage& image) {
  jpeg_decompress_struct info;
  ErrorManager errors;
  info.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = onError;
  errors.base.emit_message = silence;
  if (setjmp(errors.jump)) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  jpeg_create_decompress(&info);
  jpeg_mem_src(&info, data.data(), static_cast<unsigned long>(data.size()));
  if (jpeg_read_header(&info, TRUE) != JPEG_HEADER_OK) {
    jpeg_destroy_decompress(&info);
    return false;
  }
  info.out_color_space = JCS_RGB;
  jpeg_start_decompress(&info);
  image.width = static_cast<int>(info.output_width);
  image.height = static_cast<int>(info.output_height);
  image.pixels.resize(static_cast<std::size_t>(image.width) * image.height * 3);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = &image.pixels[static_cast<std::size_t>(info.output_scanline) * image.width * 3];
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

}  // namespace

std::optional<RGBImage> decodeJPEG(const Data& data) {
  if (data.empty()) return std::nullopt;
  RGBImage image;
  if (!decodeInto(data, image)) return std::nullopt;
  return image;
}

}  // namespace sim
