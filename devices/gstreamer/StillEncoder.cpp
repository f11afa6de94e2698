#include "StillEncoder.h"

// libjpeg's header needs the standard I/O declarations first.
#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

namespace gstcam {

namespace {

// libjpeg reports fatal errors through error_exit; jump back to the encoder.
struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
};

void onError(j_common_ptr info) { std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1); }
void silence(j_common_ptr, int) {}

// Encodes into a buffer libjpeg allocates (freed by the caller). No object
// with a destructor lives in this frame, so the jump back is safe.
bool encodeInto(const std::uint8_t* rgb, int width, int height, int quality, unsigned char** buffer,
                unsigned long* size) {
  jpeg_compress_struct info;
  ErrorManager errors;
  info.err = jpeg_std_error(&errors.base);
  errors.base.error_exit = onError;
  errors.base.emit_message = silence;
  if (setjmp(errors.jump)) {
    jpeg_destroy_compress(&info);
    return false;
  }
  jpeg_create_compress(&info);
  jpeg_mem_dest(&info, buffer, size);
  info.image_width = static_cast<JDIMENSION>(width);
  info.image_height = static_cast<JDIMENSION>(height);
  info.input_components = 3;
  info.in_color_space = JCS_RGB;
  jpeg_set_defaults(&info);
  jpeg_set_quality(&info, quality, TRUE);
  jpeg_start_compress(&info, TRUE);
  while (info.next_scanline < info.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(rgb + static_cast<std::size_t>(info.next_scanline) * width * 3);
    jpeg_write_scanlines(&info, &row, 1);
  }
  jpeg_finish_compress(&info);
  jpeg_destroy_compress(&info);
  return true;
}

}  // namespace

std::optional<Data> encodeJPEG(const std::vector<std::uint8_t>& rgb, int width, int height, int quality) {
  if (width < 1 || height < 1 || rgb.size() < static_cast<std::size_t>(width) * height * 3) return std::nullopt;
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  if (!encodeInto(rgb.data(), width, height, quality < 0 ? 0 : quality > 100 ? 100 : quality, &buffer, &size)) {
    std::free(buffer);
    return std::nullopt;
  }
  Data data(buffer, buffer + size);
  std::free(buffer);
  return data;
}

}  // namespace gstcam
