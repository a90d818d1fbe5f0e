#include "screenshot/png.h"

#include <zlib.h>
#include <cstdlib>
#include <cstring>

#include "common/heap.h"
#include "common/md5.h"
#include "screenshot/capture.h"

namespace qx::screenshot {

namespace {

constexpr uint8_t kSignature[8] = {137, 80, 78, 71, 13, 10, 26, 10};
constexpr int kWindowBits = 15;
constexpr int kMemoryLevel = 8;     // zlib's default, as compress uses
constexpr uint32_t kIdatData = 41;  // offset of the stream in the file

uint8_t *putBig32(uint8_t *p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
  return p + 4;
}

uint32_t crcOf(uint32_t crc, const uint8_t *bytes, size_t length) {
  return static_cast<uint32_t>(crc32(crc, bytes, static_cast<uInt>(length)));
}

// zlib's own blocks are carved from the record's compressor memory, whose
// pages the clearing slices have touched; without it (or beyond it) they
// come from the client's heap, so that they are counted and can fail like
// every other allocation of the client.
constexpr size_t kBlockAlign = 16;

voidpf zlibAllocate(voidpf record, uInt count, uInt size) {
  Capture &c = *static_cast<Capture *>(record);
  const uint64_t bytes = uint64_t{count} * size;
  const uint64_t at = (uint64_t{c.compressorUsed} + kBlockAlign - 1) &
                      ~uint64_t{kBlockAlign - 1};
  if (!c.compressor || at + bytes > kCompressorBytes) {
    void *block = heap::allocateZeroed(count, size);
    if (block) {
      ++c.encoder.heapBlocks;
      c.encoder.heapBytes += static_cast<uint32_t>(bytes);
    }
    return block;
  }
  c.compressorUsed = static_cast<uint32_t>(at + bytes);
  std::memset(c.compressor + at, 0, static_cast<size_t>(bytes));
  return c.compressor + at;
}

void zlibRelease(voidpf record, voidpf block) {
  const Capture &c = *static_cast<Capture *>(record);
  const uint8_t *b = static_cast<uint8_t *>(block);
  if (c.compressor && b >= c.compressor && b < c.compressor + kCompressorBytes)
    return;  // goes with the compressor memory
  heap::release(block);
}

// A compressor at its start: the record's own from an earlier image, reset
// (which gives the same stream as a new one), or a new one.
EncodeResult startStream(Capture &c) {
  Encoder &e = c.encoder;
  if (e.stream) {
    if (deflateReset(e.stream) == Z_OK) return EncodeResult::More;
    endCompressor(e);
    return EncodeResult::CompressionFailed;
  }
  e.stream = static_cast<z_stream *>(heap::allocateZeroed(1, sizeof(z_stream)));
  if (!e.stream) return EncodeResult::OutOfMemory;
  e.stream->zalloc = zlibAllocate;
  e.stream->zfree = zlibRelease;
  e.stream->opaque = &c;
  c.compressorUsed = 0;
  const int rc = deflateInit2(e.stream, Z_DEFAULT_COMPRESSION, Z_DEFLATED,
                              kWindowBits, kMemoryLevel, Z_DEFAULT_STRATEGY);
  // The compressor memory holds the stream's blocks now: no clearing slice
  // may write it again.
  if (c.compressor) c.compressorTouched = kCompressorBytes;
  if (rc == Z_OK) return EncodeResult::More;
  heap::release(e.stream);
  e.stream = nullptr;
  return rc == Z_MEM_ERROR ? EncodeResult::OutOfMemory
                           : EncodeResult::CompressionFailed;
}

EncodeResult begin(Capture &c) {
  Encoder &e = c.encoder;
  if (!growPixels(c, streamBound(c.imageSize)))
    return EncodeResult::OutOfMemory;
  const EncodeResult started = startStream(c);
  if (started != EncodeResult::More) return started;
  e.stream->next_out = c.pixels;
  e.stream->avail_out = c.pixelsCapacity;
  e.fed = 0;
  static const uint8_t kIdat[4] = {'I', 'D', 'A', 'T'};
  e.idatCrc = crcOf(crcOf(0, nullptr, 0), kIdat, 4);
  e.phase = kEncodeDeflating;
  return EncodeResult::More;
}

// Starts the PNG in work once the stream is complete: the signature, IHDR
// and the IDAT chunk's length and type. The stream follows in slices.
EncodeResult beginFile(Capture &c) {
  Encoder &e = c.encoder;
  const uint64_t size = uint64_t{e.streamLength} + kPngOverhead;
  if (!growWork(c, size)) return EncodeResult::OutOfMemory;
  c.pngSize = static_cast<uint32_t>(size);
  const uint32_t width = uint32_t{c.marginLeft} + c.outWidth + c.marginRight;
  const uint32_t height = uint32_t{c.marginTop} + c.outHeight + c.marginBottom;
  uint8_t *p = c.work;
  std::memcpy(p, kSignature, 8);
  p = putBig32(p + 8, 13);
  uint8_t *ihdr = p;
  std::memcpy(p, "IHDR", 4);
  p = putBig32(p + 4, width);
  p = putBig32(p, height);
  *p++ = 8;  // bit depth
  *p++ = 2;  // truecolour
  *p++ = 0;  // compression method
  *p++ = 0;  // filter method
  *p++ = 0;  // no interlace
  p = putBig32(p, crcOf(crcOf(0, nullptr, 0), ihdr, 17));
  p = putBig32(p, e.streamLength);
  std::memcpy(p, "IDAT", 4);
  e.copied = 0;
  e.phase = kEncodeAssembling;
  return EncodeResult::More;
}

// Copies a slice of the stream into the IDAT chunk; after the last one,
// the chunk's CRC and the IEND chunk close the file.
EncodeResult copySlice(Capture &c, bool digest) {
  Encoder &e = c.encoder;
  uint8_t *data = c.work + kIdatData;
  const uint32_t left = e.streamLength - e.copied;
  const uint32_t take = left < kCopySlice ? left : kCopySlice;
  std::memcpy(data + e.copied, c.pixels + e.copied, take);
  e.copied += take;
  if (e.copied < e.streamLength) return EncodeResult::More;
  uint8_t *p = putBig32(data + e.streamLength, e.idatCrc);
  p = putBig32(p, 0);
  std::memcpy(p, "IEND", 4);
  putBig32(p + 4, crcOf(crcOf(0, nullptr, 0), p, 4));
  if (!digest) {
    e.phase = kEncodeDone;
    return EncodeResult::Done;
  }
  md5Init(e.digest, 0);
  e.hashed = 0;
  e.phase = kEncodeDigesting;
  return EncodeResult::More;
}

EncodeResult deflateSlice(Capture &c, uint32_t slice) {
  Encoder &e = c.encoder;
  z_stream &z = *e.stream;
  const uint32_t left = c.imageSize - e.fed;
  const uint32_t take = left < slice ? left : slice;
  const int flush = take == left ? Z_FINISH : Z_NO_FLUSH;
  z.next_in = c.work + e.fed;
  z.avail_in = take;
  const uLong before = z.total_out;
  const int rc = deflate(&z, flush);
  e.fed += take - z.avail_in;
  e.idatCrc = crcOf(e.idatCrc, c.pixels + before, z.total_out - before);
  if (flush == Z_NO_FLUSH) {
    // With the whole bound as output space every byte is taken.
    if (rc != Z_OK || z.avail_in != 0) return EncodeResult::CompressionFailed;
    return EncodeResult::More;
  }
  if (rc != Z_STREAM_END) return EncodeResult::CompressionFailed;
  e.streamLength = static_cast<uint32_t>(z.total_out);
  // The compressor stays with the record for its next image.
  return beginFile(c);
}

EncodeResult digestSlice(Capture &c) {
  Encoder &e = c.encoder;
  const uint32_t left = c.pngSize - e.hashed;
  const uint32_t take = left < kDigestSlice ? left : kDigestSlice;
  md5Update(e.digest, c.work + e.hashed, take);
  e.hashed += take;
  if (e.hashed < c.pngSize) return EncodeResult::More;
  md5Final(e.digest, e.pngDigest);
  e.phase = kEncodeDone;
  return EncodeResult::Done;
}

}  // namespace

void endCompressor(Encoder &e) {
  if (!e.stream) return;
  deflateEnd(e.stream);
  heap::release(e.stream);
  e.stream = nullptr;
  e.heapBlocks = e.heapBytes = 0;
}

bool encoderReady(const Capture &c) {
  return c.encoder.phase != kEncodeIdle || c.encoder.stream;
}

EncodeResult encodeStep(Capture &c, uint32_t slice, bool digest) {
  Encoder &e = c.encoder;
  EncodeResult result = EncodeResult::More;
  switch (e.phase) {
    case kEncodeIdle:
      result = begin(c);
      if (result != EncodeResult::More) break;
      result = deflateSlice(c, slice);
      break;
    case kEncodeDeflating:
      result = deflateSlice(c, slice);
      break;
    case kEncodeAssembling:
      result = copySlice(c, digest);
      break;
    case kEncodeDigesting:
      result = digestSlice(c);
      break;
    default:
      return EncodeResult::Done;
  }
  if (result == EncodeResult::OutOfMemory ||
      result == EncodeResult::CompressionFailed) {
    endCompressor(e);
    e.phase = kEncodeIdle;
  }
  return result;
}

int encodePng(Capture &c) {
  c.encoder.phase = kEncodeIdle;
  EncodeResult result;
  do {
    result = encodeStep(c, 0xFFFFFFFFu, false);
  } while (result == EncodeResult::More);
  return result == EncodeResult::Done ? 1 : 0;
}

}  // namespace qx::screenshot
