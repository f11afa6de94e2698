#include "CoreGraphics/CGJPEG.h"

// libjpeg's header needs the standard I/O declarations first.
#include <csetjmp>
#include <cstdio>
#include <cstdlib>

#include <jpeglib.h>

#include <algorithm>

namespace {

// libjpeg reports fatal errors through error_exit; it jumps back to the
// function that set the jump up. Those functions keep no object with a
// destructor in their frame, so the jump back is safe.
struct ErrorManager {
  jpeg_error_mgr base;
  std::jmp_buf jump;
};

void onError(j_common_ptr info) { std::longjmp(reinterpret_cast<ErrorManager*>(info->err)->jump, 1); }
void silence(j_common_ptr, int) {}

// libjpeg's error handling with fatal errors jumping back and warnings silent.
jpeg_error_mgr* errorsTo(ErrorManager& errors) {
  jpeg_std_error(&errors.base);
  errors.base.error_exit = onError;
  errors.base.emit_message = silence;
  return &errors.base;
}

// Encodes into a buffer libjpeg allocates (freed by the caller).
bool encodeInto(const std::uint8_t* rgb, int width, int height, int quality, unsigned char** buffer,
                unsigned long* size) {
  jpeg_compress_struct info;
  ErrorManager errors;
  info.err = errorsTo(errors);
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

// Decodes into `picture`; false on any libjpeg error.
bool decodeInto(const Data& data, CGRGBPicture& picture) {
  jpeg_decompress_struct info;
  ErrorManager errors;
  info.err = errorsTo(errors);
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
  picture.width = static_cast<int>(info.output_width);
  picture.height = static_cast<int>(info.output_height);
  picture.pixels.resize(static_cast<std::size_t>(picture.width) * picture.height * 3);
  while (info.output_scanline < info.output_height) {
    JSAMPROW row = &picture.pixels[static_cast<std::size_t>(info.output_scanline) * picture.width * 3];
    jpeg_read_scanlines(&info, &row, 1);
  }
  jpeg_finish_decompress(&info);
  jpeg_destroy_decompress(&info);
  return true;
}

}  // namespace

std::optional<Data> CGJPEGEncodeRGB(const std::vector<std::uint8_t>& rgb, int width, int height, int quality) {
  if (width < 1 || height < 1 || rgb.size() / 3 / static_cast<std::size_t>(width) < static_cast<std::size_t>(height))
    return std::nullopt;
  unsigned char* buffer = nullptr;
  unsigned long size = 0;
  const bool encoded = encodeInto(rgb.data(), width, height, std::clamp(quality, 0, 100), &buffer, &size);
  std::optional<Data> data;
  if (encoded) data.emplace(buffer, buffer + size);
  std::free(buffer);
  return data;
}

std::optional<CGRGBPicture> CGJPEGDecodeRGB(const Data& data) {
  if (data.empty()) return std::nullopt;
  CGRGBPicture picture;
  if (!decodeInto(data, picture)) return std::nullopt;
  return picture;
}
