// PNG encoding of the annotated image: one IHDR, one IDAT chunk holding the
// whole zlib stream, one IEND. The image is compressed with zlib's
// streaming deflate at the default level, window and format, which gives
// the same bytes as the one-call compress, fed in bounded slices so that a
// large image spans several frames instead of stalling one.
//
// File layout (numbers big-endian): signature (8), IHDR length 13, "IHDR",
// width, height, depth 8, colour type 2, methods 0 0 0, CRC; IDAT length n,
// "IDAT", the stream, CRC; IEND length 0, "IEND", CRC. n + 57 bytes in all.
// CRCs are zlib's crc32, the CRC-32 that PNG uses.
#pragma once

#include <cstdint>

#include "screenshot/screenshot_state.h"

namespace qx::screenshot {

constexpr uint32_t kPngOverhead = 57;
// Bytes per step. Deflate at the default level takes 25 to 250 MB/s
// depending on the picture, so 2 KiB of image stay below about 0.1 ms even
// for noise; copies and the digest run at 0.5 GB/s and more.
constexpr uint32_t kDeflateSlice = 2048;  // image bytes compressed
constexpr uint32_t kCopySlice = 32768;    // stream bytes put into the file
constexpr uint32_t kDigestSlice = 32768;  // PNG bytes hashed

enum EncodePhase : int32_t {
  kEncodeIdle = 0,
  kEncodeDeflating = 1,
  kEncodeAssembling = 2,  // the stream is complete; the file is written
  kEncodeDigesting = 3,   // the PNG is complete; its MD5 is being built
  kEncodeDone = 4,
};

enum class EncodeResult { More, Done, OutOfMemory, CompressionFailed };

// Memory zlib's deflate at the default level, window and format asks for
// (the state, the window, two hash tables and the pending buffer), with
// room to spare.
constexpr uint32_t kCompressorBytes = 320 * 1024;

// Bytes the compressed stream of an image of imageBytes can take at most.
inline uint64_t streamBound(uint64_t imageBytes) {
  return imageBytes + imageBytes / 100 + 16;
}

// Ends and frees c's compressor, if it has one.
void endCompressor(Encoder &e);

// The encoding's first step can run within a slice's budget: false while
// the record has no compressor yet, whose setting up (a quarter of a MB
// allocated and cleared) takes a call of its own.
bool encoderReady(const Capture &c);

// One bounded step of the encoding of c's annotated image (imageSize bytes
// of work): compresses at most slice bytes of it into pixels; once the
// stream is complete, writes the PNG into work (pngSize) over further steps
// and, with digest, builds its MD5 into c.encoder.pngDigest.
EncodeResult encodeStep(Capture &c, uint32_t slice, bool digest);

// The whole encoding in one call; 1 on success, 0 when compression or an
// allocation fails.
int encodePng(Capture &c);

}  // namespace qx::screenshot
