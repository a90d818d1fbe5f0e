// The fonts, the annotated image and the PNG file, with libpng and zlib as
// the oracles.
#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <string>
#include <vector>

#include "common/heap.h"
#include "png_decode.h"
#include "screenshot/annotate.h"
#include "screenshot/capture.h"
#include "screenshot/png.h"
#include "test_heap.h"

namespace {

namespace ss = qx::screenshot;

using Lines = char[ss::kLineCount][ss::kTextMax + 1];

uint32_t big32(const uint8_t *p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 |
         p[3];
}

// A capture record holding a picture of w x h pixels given by colour.
struct Picture {
  ss::Capture *c = ss::newCapture();
  template <typename Colour>
  Picture(uint16_t w, uint16_t h, Colour colour) {
    c->outWidth = w;
    c->outHeight = h;
    c->pixelsCapacity = uint32_t(h) * (3u * w + 1);
    c->pixels =
        static_cast<uint8_t *>(qx::heap::allocateZeroed(c->pixelsCapacity, 1));
    for (uint32_t r = 0; r < h; ++r)
      for (uint32_t x = 0; x < w; ++x)
        colour(x, r, c->pixels + r * (3u * w + 1) + 1 + 3 * x);
    c->slicing.pictureRows = h;
  }
  ~Picture() { ss::releaseCapture(c); }
  uint32_t width() const {
    return uint32_t{c->marginLeft} + c->outWidth + c->marginRight;
  }
  uint32_t height() const {
    return uint32_t{c->marginTop} + c->outHeight + c->marginBottom;
  }
  const uint8_t *image(uint32_t x, uint32_t y) const {
    return c->work + size_t(y) * (3 * width() + 1) + 1 + 3 * x;
  }
};

void noise(uint32_t x, uint32_t y, uint8_t *p) {
  uint32_t v = (x * 2654435761u) ^ (y * 40503u);
  v ^= v >> 13;
  p[0] = uint8_t(v);
  p[1] = uint8_t(v >> 8);
  p[2] = uint8_t(x + y);
}

void setLines(Lines &lines, std::vector<std::string> texts) {
  std::memset(lines, 0, sizeof lines);
  for (size_t k = 0; k < texts.size(); ++k)
    std::snprintf(lines[k], sizeof lines[k], "%s", texts[k].c_str());
}

// The 7 x rows cell at (x, top) as '.' and 'X' rows.
std::string cellText(const Picture &p, uint32_t x, uint32_t top, int rows) {
  std::string out;
  for (int r = 0; r < rows; ++r) {
    for (int col = 0; col < 7; ++col)
      out += p.image(x + col, top + r)[0] == 255 ? 'X' : '.';
    out += '|';
  }
  return out;
}

TEST(Annotate, GeometryAndFrame) {
  Picture p(320, 240, noise);
  Lines lines;
  setLines(lines, {"one", "two", "three", "four", "five"});
  ASSERT_EQ(ss::annotate(*p.c, lines), 1);
  EXPECT_EQ(p.width(), 340u);
  EXPECT_EQ(p.height(), 346u);
  EXPECT_EQ(p.c->imageSize, 346u * (3 * 340 + 1));
  const uint8_t grey[3] = {127, 127, 127};
  for (uint32_t x : {0u, 170u, 339u}) {
    EXPECT_EQ(std::memcmp(p.image(x, 0), grey, 3), 0);
    EXPECT_EQ(std::memcmp(p.image(x, 345), grey, 3), 0);
    EXPECT_EQ(std::memcmp(p.image(x, 10 + 240 + 10 - 1), grey, 3), 0);
  }
  for (uint32_t y : {1u, 100u, 344u}) {
    EXPECT_EQ(std::memcmp(p.image(0, y), grey, 3), 0);
    EXPECT_EQ(std::memcmp(p.image(339, y), grey, 3), 0);
    EXPECT_EQ(p.image(1, y)[0] | p.image(338, y)[0], 0) << y;
  }
  uint8_t expected[3];
  noise(17, 33, expected);
  EXPECT_EQ(std::memcmp(p.image(10 + 17, 10 + 33), expected, 3), 0);
  // Every row starts with filter type 0.
  for (uint32_t y = 0; y < p.height(); ++y)
    EXPECT_EQ(p.c->work[size_t(y) * (3 * 340 + 1)], 0);
}

TEST(Annotate, GlyphsAndHexDigits) {
  Picture p(40, 40, noise);
  Lines lines;
  setLines(lines, {"A0", std::string("\xB2\x0A", 2)});
  ASSERT_EQ(ss::annotate(*p.c, lines), 1);
  const uint32_t top = 10 + 40 + 21;
  EXPECT_EQ(cellText(p, 15, top, 11),
            ".......|..XXX..|.X...X.|X.....X|X.....X|X.....X|XXXXXXX|X.....X|"
            "X.....X|X.....X|.......|");
  // Stacked hex digits: B above 2; the 0 has its dot.
  const std::string stacked = cellText(p, 15, top + 13, 11);
  EXPECT_EQ(stacked.substr(0, 40), ".XXXX..|.X...X.|.XXXX..|.X...X.|.XXXX..|");
  EXPECT_EQ(stacked.substr(48, 40), ".XXXX..|.....X.|..XXX..|.X.....|.XXXXX.|");
  EXPECT_EQ(cellText(p, 23, top + 13, 5),
            "..XXX..|.X...X.|.X.X.X.|.X...X.|..XXX..|");
}

TEST(Annotate, WidensUntilTheLongestLineFits) {
  Picture p(40, 40, noise);
  Lines lines;
  setLines(lines, {std::string(50, 'x')});
  ASSERT_EQ(ss::annotate(*p.c, lines), 1);
  EXPECT_EQ(p.c->marginLeft, 195);
  EXPECT_EQ(p.c->marginRight, 195);
  EXPECT_EQ(p.width(), 430u);

  // The longest line a slot holds, 255 bytes of 0x80 and above, is drawn
  // to its last cell.
  Picture q(10, 10, noise);
  std::string high;
  for (int i = 0; i < 255; ++i) high += char(0x80 + i % 128);
  setLines(lines, {"", "", "", "", high});
  ASSERT_EQ(ss::annotate(*q.c, lines), 1);
  const uint32_t top = 10 + 10 + 21 + 13 * 4;
  EXPECT_NE(cellText(q, 15 + 8 * 254, top, 5), std::string(40, '.'));
}

TEST(Png, CrcIsZlibsCrc32) {
  const uint8_t abc[3] = {'a', 'b', 'c'};
  EXPECT_EQ(crc32(0, abc, 3), 0x352441C2u);
}

// Compresses the annotated image of p with zlib's one-call compress.
std::vector<uint8_t> oneCall(const Picture &p) {
  uLongf n = compressBound(p.c->imageSize);
  std::vector<uint8_t> out(n);
  EXPECT_EQ(compress(out.data(), &n, p.c->work, p.c->imageSize), Z_OK);
  out.resize(n);
  return out;
}

TEST(Png, SlicedStreamEqualsOneCallCompress) {
  for (uint32_t slice : {1u, 1000u, ss::kDeflateSlice, 0xFFFFFFFFu}) {
    SCOPED_TRACE(slice);
    Picture p(slice == 1 ? 40 : 308, slice == 1 ? 30 : 232, noise);
    Lines lines;
    setLines(lines, {"heading", "second"});
    ASSERT_EQ(ss::annotate(*p.c, lines), 1);
    const std::vector<uint8_t> expected = oneCall(p);
    int steps = 0;
    ss::EncodeResult r;
    while ((r = ss::encodeStep(*p.c, slice, true)) == ss::EncodeResult::More)
      ++steps;
    ASSERT_EQ(r, ss::EncodeResult::Done);
    if (slice == ss::kDeflateSlice) {
      EXPECT_GT(steps, 5);
    }
    const uint8_t *png = p.c->work;
    const uint32_t n = big32(png + 33);
    ASSERT_EQ(n, expected.size());
    EXPECT_EQ(std::memcmp(png + 41, expected.data(), n), 0);
    EXPECT_EQ(n + 57, p.c->pngSize);
    // The digest built over the steps is the MD5 of the file.
    uint8_t digest[16];
    qx::md5(png, p.c->pngSize, 0, digest);
    EXPECT_EQ(std::memcmp(digest, p.c->encoder.pngDigest, 16), 0);
  }
}

TEST(Png, FileLayoutDecodesToTheAnnotatedImage) {
  Picture p(101, 37, noise);  // odd sizes: rows of no particular alignment
  Lines lines;
  setLines(lines, {"Quellor", std::string(1, '\xB1'), "x", "y", "z"});
  ASSERT_EQ(ss::annotate(*p.c, lines), 1);
  const std::vector<uint8_t> image(p.c->work, p.c->work + p.c->imageSize);
  ASSERT_EQ(ss::encodePng(*p.c), 1);
  const std::vector<uint8_t> png(p.c->work, p.c->work + p.c->pngSize);
  const uint8_t signature[8] = {137, 80, 78, 71, 13, 10, 26, 10};
  EXPECT_EQ(std::memcmp(png.data(), signature, 8), 0);
  EXPECT_EQ(big32(&png[16]), p.width());
  EXPECT_EQ(big32(&png[20]), p.height());
  EXPECT_EQ(big32(&png[29]), uint32_t(crc32(0, &png[12], 17)));
  EXPECT_EQ(big32(&png[33]) + 57, png.size());
  const uint8_t end[4] = {0xAE, 0x42, 0x60, 0x82};
  EXPECT_EQ(std::memcmp(&png[png.size() - 4], end, 4), 0);
  // Exactly one IDAT: it is followed directly by IEND.
  EXPECT_EQ(std::memcmp(&png[png.size() - 8], "IEND", 4), 0);
#if defined(QX_HAVE_LIBPNG)
  const sstest::Decoded d = sstest::decodePng(png);
  ASSERT_TRUE(d.ok);
  EXPECT_EQ(d.bitDepth, 8);
  EXPECT_EQ(d.colourType, PNG_COLOR_TYPE_RGB);
  EXPECT_EQ(d.interlace, PNG_INTERLACE_NONE);
  ASSERT_EQ(d.width, p.width());
  ASSERT_EQ(d.height, p.height());
  const uint32_t row = 3 * d.width + 1;
  for (uint32_t y = 0; y < d.height; ++y)
    ASSERT_EQ(std::memcmp(d.at(0, y), &image[size_t(y) * row + 1], row - 1), 0)
        << "row " << y;
#endif
}

// A record without compressor memory lends zlib the heap; the record
// counts what zlib took, which is exactly what ending the stream gives back.
TEST(Png, ZlibsBlocksFromTheHeapAreCountedWithTheRecord) {
  Picture p(40, 30, noise);
  Lines lines;
  setLines(lines, {"zlib"});
  ASSERT_EQ(ss::annotate(*p.c, lines), 1);
  ASSERT_EQ(p.c->compressor, nullptr);
  ASSERT_EQ(ss::encodePng(*p.c), 1);
  const ss::Encoder &e = p.c->encoder;
  ASSERT_GT(e.heapBlocks, 0u);
  const qxtest::HeapCounts before = qxtest::heapCounts();
  const uint64_t blocks = e.heapBlocks + 1,
                 bytes = e.heapBytes + sizeof(z_stream);
  ss::endCompressor(p.c->encoder);
  const qxtest::HeapCounts after = qxtest::heapCounts();
  EXPECT_EQ(before.liveBlocks - after.liveBlocks, blocks);
  EXPECT_EQ(before.liveBytes - after.liveBytes, bytes);
  EXPECT_EQ(e.heapBlocks, 0u);
  EXPECT_EQ(e.heapBytes, 0u);
}

TEST(Png, SmallImagesGrowTheirBuffers) {
  // A picture whose PNG is larger than its annotated image: 1 x 1 noise.
  Picture p(1, 1, noise);
  Lines lines;
  setLines(lines, {});
  ASSERT_EQ(ss::annotate(*p.c, lines), 1);
  ASSERT_EQ(ss::encodePng(*p.c), 1);
  EXPECT_GE(p.c->workCapacity, p.c->pngSize);
  EXPECT_EQ(big32(p.c->work + 33) + 57, p.c->pngSize);
}

}  // namespace
