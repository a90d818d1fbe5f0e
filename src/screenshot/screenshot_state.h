// State of the screenshots: five request slots, each with its capture record
// and upload record, and the counters that number files and transfers.
#pragma once

#include <cstdint>

#include "common/md5.h"
#include "common/paths.h"
#include "platform/platform.h"

typedef struct z_stream_s z_stream;

namespace qx::screenshot {

constexpr int kSlotCount = 5;
constexpr int kTextMax = 255;  // request text and each of the five lines
constexpr int kLineCount = 5;

// The streaming compression of stage 2: the annotated image is fed to
// deflate in bounded slices, as many per call as the call's budget allows.
struct Encoder {
  z_stream *stream;  // null until the record's first image
  // zlib's blocks taken from the heap (when the record has no compressor
  // memory, or it is full): zlib gives them back only as the stream ends.
  uint32_t heapBlocks;
  uint32_t heapBytes;
  uint32_t fed;           // bytes of the annotated image handed to deflate
  uint32_t idatCrc;       // running CRC of "IDAT" and the stream so far
  uint32_t streamLength;  // bytes of the finished stream
  uint32_t copied;        // bytes of the stream copied into the PNG
  uint32_t hashed;        // bytes of the PNG digested (server requests)
  int32_t phase;          // EncodePhase of png.h
  Md5 digest;             // MD5 of the PNG, built over several calls
  uint8_t pngDigest[16];  // its result once the phase is done
};

// How far the sliced work of stage 1 has come (capture.h, annotate.h). It
// lives in the capture record, so releasing the record ends the work
// wherever it stands.
struct Slicing {
  uint32_t done;         // rows or bytes of the phase done so far
  uint32_t clearBytes;   // bytes of work the copy needs zero-filled
  uint32_t pictureRows;  // rows of the sampled picture this attempt wrote
  uint8_t first[3];      // the picture's first triple, for the uniform test
  uint8_t haveFirst;     // first holds a triple
  uint8_t varied;        // some triple differs from the first
  platform::PaletteColour palette[256];  // of an 8-bit surface, at the copy
};

// One capture: the sampled picture, the raw screen rows and, later, the
// annotated image, the compressed stream and the PNG file (see png.h).
struct Capture {
  uint8_t *pixels;  // sampled picture, later the compressed stream
  uint8_t *work;    // raw screen rows, later the annotated image and the PNG
  uint32_t pixelsCapacity;
  uint32_t workCapacity;
  // Bytes of each buffer written at least once since it was allocated: a
  // page's first touch is what makes a slice slow, so the clearing slices
  // touch every page before the work needs it, once in the buffer's life.
  uint32_t pixelsTouched;
  uint32_t workTouched;
  // The compressor's own memory (kCompressorBytes): zlib's blocks are
  // carved from it, so that its first slices meet touched pages too.
  uint8_t *compressor;
  uint32_t compressorTouched;
  uint32_t compressorUsed;
  uint32_t longestLine;  // characters of the image's longest line, at most
  uint32_t imageSize;    // bytes of the annotated image
  uint32_t pngSize;      // bytes of the PNG file
  uint16_t height;       // capture height in screen pixels, after clamping
  uint16_t width;        // capture width, clamped, a multiple of step
  uint16_t windowWidth;
  uint16_t windowHeight;
  uint16_t offsetY;  // percent on entry, then pixels
  uint16_t offsetX;
  uint16_t outWidth;  // sampled picture: width / step, at least 1
  uint16_t outHeight;
  uint16_t marginTop, marginLeft, marginRight, marginBottom;
  int32_t bitsPerPixel;  // of the primary surface
  int32_t pitch;         // of the primary surface
  uint8_t step;          // 1, 2 or 4
  Encoder encoder;
  Slicing slicing;
};

struct Upload {
  const uint8_t *pngData;           // the capture's work buffer, not owned
  char transferName[kTextMax + 1];  // "qx000042.png", as the header names it
  uint8_t digest[16];  // MD5 of the PNG; zeros for local screenshots
  int32_t letter;      // 'A'..'Z'; 0 until the header is sent
  uint32_t size;       // PNG bytes
  int32_t chunksSent;  // next chunk number to send
  uint32_t lastChunkTick;
};

// A slot whose stage is 0 is free and all zeros.
enum Stage : int32_t {
  kStageFree = 0,
  kStageCapture = 1,
  kStageEncode = 2,
  kStageUpload = 3,
  kStageStore = 4,
  kStageFinished = 99,
};

// The size, position and rate a request asks for, read once per attempt
// and kept for the steps that follow in later calls.
struct Request {
  uint32_t width, height;               // as asked, for line 4
  int32_t captureWidth, captureHeight;  // after the pixel budget, multiples
                                        // of 4
  int32_t x, y, rate;
};

// The store stage writes the PNG in pieces into a temporary file beside its
// name, which takes the name's place once whole.
struct Store {
  int32_t phase;              // StorePhase of store.cpp
  char page[48];              // the page's name under the home directory
  platform::FileHandle file;  // the temporary file while it is written
  uint32_t written;           // PNG bytes written to it
  char path[kPathCapacity];   // the PNG's full path
  char temporary[kPathCapacity];
};

struct Slot {
  char text[kTextMax + 1];  // request text; empty for a local screenshot
  uint32_t startTick;
  uint32_t delayMs;
  int32_t stage;
  int32_t number;    // request number of the server; 0 when local
  int32_t failures;  // capture failures; 999 and above: host read-back
  int32_t restarts;  // resume requests of the server for this transfer
  Capture *capture;  // owned
  platform::CalendarTime requestTime;  // local time of the latest attempt
  Upload transfer;
  uint8_t status;  // 0xB0 failed, 0xB1 primary surface, 0xB2 read-back
  char lines[kLineCount][kTextMax + 1];  // the texts stamped into the image
  int32_t phase;  // how far stage 1 has come (CapturePhase of stages.cpp)
  uint32_t line;  // the next line annotateLine draws
  Request asked;
  Store store;
};

// A large buffer given back to the heap a slice at a time, or a capture
// record whose compressor and record are given back in one slice.
struct Retired {
  uint8_t *block;
  uint32_t size;
  struct Capture *record;
};
constexpr int kRetiredMax = 4 * kSlotCount;

struct State {
  Slot slots[kSlotCount];
  // The capture records of finished screenshots, kept with their buffers
  // and compressors for the next ones: memory the process has touched once
  // costs nothing to touch again, and nothing has to be freed in a frame.
  // Screenshots overlap (a server's upload takes a minute), so one is kept
  // per slot, as long as they hold no more than kKeptBytes in all (the
  // first whatever its size).
  Capture *kept[kSlotCount];
  uint32_t keptTick;             // when a record was last kept
  Retired retired[kRetiredMax];  // buffers being given back, oldest first
  uint32_t sliceMicros;          // how long a slice can take; 0 unknown
  int32_t firstRunDone;          // the first capture stage of this client ran
  uint32_t fileCounter;          // numbers the screenshot files
  uint32_t transferCounter;      // chooses the transfer letters
};

}  // namespace qx::screenshot
