// libpng as the decoding oracle: reads a PNG from memory or a file and
// reports its header and rows as libpng sees them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#if defined(QX_HAVE_LIBPNG)
#include <png.h>
#include <cstring>

namespace sstest {

struct Decoded {
  bool ok = false;
  uint32_t width = 0, height = 0;
  int bitDepth = 0, colourType = 0, interlace = 0;
  std::vector<uint8_t> rgb;  // 3 bytes a pixel, top row first
  const uint8_t *at(uint32_t x, uint32_t y) const {
    return rgb.data() + (size_t(y) * width + x) * 3;
  }
};

inline Decoded decodePng(const std::vector<uint8_t> &bytes) {
  Decoded d;
  png_image image{};
  image.version = PNG_IMAGE_VERSION;
  if (!png_image_begin_read_from_memory(&image, bytes.data(), bytes.size()))
    return d;
  image.format = PNG_FORMAT_RGB;
  d.width = image.width;
  d.height = image.height;
  d.rgb.resize(PNG_IMAGE_SIZE(image));
  if (!png_image_finish_read(&image, nullptr, d.rgb.data(), 0, nullptr))
    return d;
  // The header as written, through the low-level reader.
  png_structp png =
      png_create_read_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  struct Source {
    const std::vector<uint8_t> *bytes;
    size_t pos;
  } source{&bytes, 0};
  png_set_read_fn(png, &source, [](png_structp p, png_bytep out, size_t n) {
    Source *s = static_cast<Source *>(png_get_io_ptr(p));
    if (s->pos + n > s->bytes->size()) png_error(p, "short");
    std::memcpy(out, s->bytes->data() + s->pos, n);
    s->pos += n;
  });
  if (setjmp(png_jmpbuf(png)) == 0) {
    png_read_info(png, info);
    d.bitDepth = png_get_bit_depth(png, info);
    d.colourType = png_get_color_type(png, info);
    d.interlace = png_get_interlace_type(png, info);
    d.ok = true;
  }
  png_destroy_read_struct(&png, &info, nullptr);
  return d;
}

}  // namespace sstest
#endif
