#include "screenshot/capture.h"

#include <zlib.h>
#include <cstdlib>
#include <cstring>

#include "common/heap.h"
#include "common/text.h"
#include "host/client_state.h"
#include "screenshot/annotate.h"
#include "screenshot/png.h"
#include "screenshot/slices.h"

namespace qx::screenshot {

namespace {

constexpr uint16_t kFreshMargin = 10;

int fail(char *errorText, const char *text) {
  copyText(errorText, text, kTextMax);
  return 0;
}

uint8_t normaliseStep(int32_t step) {
  return step == 2 || step == 4 ? static_cast<uint8_t>(step) : 1;
}

int32_t clampSide(int64_t value, int64_t limit) {
  if (value > limit) value = limit;
  if (value > kMaxSide) value = kMaxSide;
  return value < 0 ? 0 : static_cast<int32_t>(value);
}

// A frame side as the host reports it, within the 32-bit coordinates of
// the read-back function.
int64_t frameSide(intptr_t side) {
  return side > 0x7FFFFFFF ? 0x7FFFFFFF : static_cast<int64_t>(side);
}

// A stored percentage above 100 becomes a random one.
uint16_t percent(uint16_t stored) {
  if (stored <= 100) return stored;
  return static_cast<uint16_t>(client().host.random.next() % 101);
}

// ---- buffers ----------------------------------------------------------------
//
// A buffer that is no longer needed is given back a slice at a time
// (releaseSlice): freeing several MB at once unmaps every page of it in one
// call, and even a small buffer's pages may go back to the system. A buffer
// is only retired, never freed, inside a screenshot step.

// Bytes given back per slice: unmapping 128 pages stays well inside a
// slice's share of the budget.
constexpr uint32_t kReleaseSlice = 512u * 1024;

// Queues r for releaseSlice; false when the queue is full.
bool queueRetired(const Retired &r) {
  for (Retired &q : client().screenshot.retired)
    if (!q.block && !q.record) {
      q = r;
      return true;
    }
  return false;
}

void retireBuffer(uint8_t *&buffer, uint32_t &capacity) {
  uint8_t *block = buffer;
  const uint32_t size = capacity;
  buffer = nullptr;
  capacity = 0;
  if (!block) return;
  // One the full queue has no room for goes at once.
  if (!queueRetired({block, size, nullptr})) heap::release(block);
}

// Frees a record whose buffers are gone, with its compressor.
void releaseRecord(Capture *record) {
  endCompressor(record->encoder);
  heap::release(record->compressor);
  heap::release(record);
}

// Hands a record's buffers and then the record to the release slices.
void retireRecord(Capture *&capture) {
  if (!capture) return;
  retireBuffer(capture->pixels, capture->pixelsCapacity);
  retireBuffer(capture->work, capture->workCapacity);
  // The compressor's four blocks go in a slice of their own, after the
  // buffers.
  if (!queueRetired({nullptr, 0, capture})) releaseRecord(capture);
  capture = nullptr;
}

// The buffer is there and holds size bytes.
bool holds(const uint8_t *buffer, uint32_t capacity, uint64_t size) {
  return buffer && capacity >= size;
}

bool growBuffer(uint8_t *&buffer, uint32_t &capacity, uint32_t &touched,
                uint64_t size) {
  if (holds(buffer, capacity, size)) return true;
  retireBuffer(buffer, capacity);
  touched = 0;
  if (size > 0xFFFFFFFFu) return false;
  buffer = static_cast<uint8_t *>(heap::allocate(size ? size_t(size) : 1));
  if (!buffer) return false;
  capacity = static_cast<uint32_t>(size);
  return true;
}

}  // namespace

void recycleCapture(Capture &c) {
  uint8_t *pixels = c.pixels, *work = c.work;
  const uint32_t pixelsCapacity = c.pixelsCapacity;
  const uint32_t workCapacity = c.workCapacity;
  const uint32_t pixelsTouched = c.pixelsTouched;
  const uint32_t workTouched = c.workTouched;
  uint8_t *compressor = c.compressor;
  const uint32_t compressorTouched = c.compressorTouched;
  const uint32_t compressorUsed = c.compressorUsed;
  const Encoder encoder = c.encoder;
  std::memset(static_cast<void *>(&c), 0, sizeof c);
  c.pixels = pixels;
  c.work = work;
  c.pixelsCapacity = pixelsCapacity;
  c.workCapacity = workCapacity;
  c.pixelsTouched = pixelsTouched;
  c.workTouched = workTouched;
  c.compressor = compressor;  // the stream's blocks live in it
  c.compressorTouched = compressorTouched;
  c.compressorUsed = compressorUsed;
  c.encoder.stream = encoder.stream;
  c.encoder.heapBlocks = encoder.heapBlocks;
  c.encoder.heapBytes = encoder.heapBytes;
  c.marginTop = c.marginLeft = c.marginRight = c.marginBottom = kFreshMargin;
  c.step = 1;
}

namespace {

// ---- the primary surface ---------------------------------------------------

// Whole bytes a pixel takes in a surface row: a 15-bit surface stores each
// pixel in two bytes, so its rows and offsets are counted in two-byte
// pixels, not in fifteen eighths of a byte.
int bytesPerPixel(int32_t bitsPerPixel) {
  const int bytes = (bitsPerPixel + 7) / 8;
  return bytes < 1 ? 1 : bytes > 4 ? 4 : bytes;
}

// Copies the capture rectangle from the locked surface into work, one row of
// width * 4 bytes per capture row. Only bytes inside the surface are read:
// columns left of it and rows above or below it stay zero.
void copyRows(Capture &c, const platform::SurfaceLock &lock,
              const platform::WindowPlacement &window) {
  const int64_t bytes = bytesPerPixel(lock.bitsPerPixel);
  int64_t source = (int64_t{window.left} + c.offsetX) * bytes;
  int64_t target = 0;
  int64_t rowBytes = int64_t{c.width} * bytes;
  if (source < 0) {
    target = -source;
    rowBytes -= target;
    source = 0;
  }
  if (source + rowBytes > lock.pitch) rowBytes = lock.pitch - source;
  if (rowBytes <= 0 || !lock.bits) return;
  const int64_t top = int64_t{window.top} + c.offsetY;
  for (int64_t i = 0; i < c.height; ++i) {
    const int64_t y = top + i;
    if (y < 0) continue;
    if (y >= lock.height) break;
    std::memcpy(c.work + i * c.width * 4 + target,
                lock.bits + y * lock.pitch + source,
                static_cast<size_t>(rowBytes));
  }
}

// Converts the source rows of one slice into the sampled picture and
// notes whether any triple differs from the first.
void convertRows(Capture &c, uint32_t rows) {
  const int bytes = bytesPerPixel(c.bitsPerPixel);
  const uint32_t outRow = 3 * (uint32_t{c.width} / c.step) + 1;
  Slicing &sl = c.slicing;
  for (; rows > 0 && sl.done < c.height; --rows, sl.done += c.step) {
    uint8_t *out = c.pixels + size_t{sl.done / c.step} * outRow;
    sl.pictureRows = sl.done / c.step + 1;
    *out++ = 0;  // filter type 0
    const uint8_t *row = c.work + size_t{sl.done} * c.width * 4;
    for (uint32_t col = 0; col + c.step <= c.width; col += c.step) {
      convertPixel(c.bitsPerPixel, row + size_t{col} * bytes, sl.palette, out);
      if (!sl.haveFirst) {
        std::memcpy(sl.first, out, 3);
        sl.haveFirst = 1;
      } else if (std::memcmp(sl.first, out, 3) != 0) {
        sl.varied = 1;
      }
      out += 3;
    }
  }
}

// ---- the host's read-back --------------------------------------------------

// Calls the host's read-back function. On 32-bit Windows the stack pointer
// is kept in a callee-saved register across the call and restored from it,
// so that a function that pops its arguments (__stdcall) and one that
// leaves them to the caller (__cdecl) both return to a sound stack.
void callReadBack(QxReadBackFn readBack, int32_t x, int32_t y, int32_t width,
                  int32_t height, int32_t format, int32_t type, void *out) {
#if defined(_WIN32) && defined(__i386__)
  const int32_t args[7] = {
      x,
      y,
      width,
      height,
      format,
      type,
      static_cast<int32_t>(reinterpret_cast<intptr_t>(out))};
  __asm__ volatile(
      "movl %%esp, %%esi\n\t"
      "pushl 24(%1)\n\t"
      "pushl 20(%1)\n\t"
      "pushl 16(%1)\n\t"
      "pushl 12(%1)\n\t"
      "pushl 8(%1)\n\t"
      "pushl 4(%1)\n\t"
      "pushl 0(%1)\n\t"
      "call *%0\n\t"
      "movl %%esi, %%esp\n\t"
      :
      : "r"(readBack), "r"(args)
      : "eax", "ecx", "edx", "esi", "memory", "cc");
#else
  readBack(x, y, width, height, format, type, out);
#endif
}

// Bytes the host's read-back may write for w x h pixels. Its rows are
// packed (3 * w bytes), but a host that leaves its pack alignment at the
// common graphics libraries' default of 4 pads every row to a multiple of
// 4 bytes; the buffer holds that too, so such a host gets a skewed picture
// and never writes past the buffer.
uint64_t readBackBytes(int32_t w, int32_t h) {
  const uint64_t paddedRow = (3 * uint64_t(w) + 3) & ~uint64_t{3};
  return paddedRow * uint64_t(h);
}

// Output row r comes from read-back row height - 1 - r * step: the host
// delivers the bottom row first.
void sampleRows(Capture &c, uint32_t rows) {
  const uint32_t outWidth = c.width / c.step;
  const uint32_t outHeight = c.height / c.step;
  const size_t sourceRow = size_t{c.width} * 3;
  Slicing &sl = c.slicing;
  for (; rows > 0 && sl.done < outHeight; --rows, ++sl.done) {
    uint8_t *out = c.pixels + size_t{sl.done} * (3 * outWidth + 1);
    sl.pictureRows = sl.done + 1;
    *out++ = 0;
    const uint8_t *row = c.work + (c.height - 1 - sl.done * c.step) * sourceRow;
    for (uint32_t col = 0; col < outWidth; ++col) {
      std::memcpy(out, row + size_t{col} * c.step * 3, 3);
      out += 3;
    }
  }
}

// Bytes the sampled picture of a capture of w x h pixels takes.
uint64_t pictureBytes(int32_t w, int32_t h) {
  return uint64_t(h) * (3 * uint64_t(w) + 1);
}

// Lines the capture itself writes (the size line, the failure texts) are
// never longer than this.
constexpr uint32_t kFixedLineMax = 64;

// Gets both buffers, once width, height and step are set, at the size
// every later step needs (the copy's rows, the picture, the annotated
// image, the compressed stream and the PNG), so that none of those steps
// allocates and the clearing slices can touch every page first. rows:
// the bytes of work the copy needs zero-filled. One allocation a call:
// kBuffersInPart when another is still to come, 0 when one failed.
int sizeBuffers(Capture &c, uint64_t rows) {
  const uint64_t longest =
      c.longestLine > kFixedLineMax ? c.longestLine : kFixedLineMax;
  const uint64_t stream =
      streamBound(annotatedBytes(c, static_cast<uint32_t>(longest)));
  const uint64_t picture = pictureBytes(c.width, c.height);
  const uint64_t png = stream + kPngOverhead;
  const uint64_t pixels = picture > stream ? picture : stream;
  const uint64_t work = rows > png ? rows : png;
  bool allocated = false;
  if (!holds(c.pixels, c.pixelsCapacity, pixels)) {
    if (!growPixels(c, pixels)) return 0;
    allocated = true;
  }
  if (!holds(c.work, c.workCapacity, work)) {
    if (allocated) return kBuffersInPart;
    if (!growWork(c, work)) return 0;
    allocated = true;
  }
  // Without its own memory the compressor takes zlib's blocks from the
  // heap: slower to touch, but it works.
  if (!c.compressor && !c.encoder.stream) {
    if (allocated) return kBuffersInPart;
    c.compressor = static_cast<uint8_t *>(heap::allocate(kCompressorBytes));
    c.compressorTouched = 0;
  }
  c.slicing.done = 0;
  c.slicing.clearBytes = static_cast<uint32_t>(rows);
  c.slicing.pictureRows = 0;
  return 1;
}

// Zero-fills up to a slice of buffer from done towards end; true when
// something was left to do.
bool fillSlice(uint8_t *buffer, uint32_t &done, uint32_t end) {
  if (done >= end) return false;
  const uint32_t n = end - done < kClearSlice ? end - done : kClearSlice;
  std::memset(buffer + done, 0, n);
  done += n;
  return true;
}

}  // namespace

Capture *newCapture() {
  State &st = client().screenshot;
  // The largest buffers are the likeliest to need no growing.
  Capture **largest = nullptr;
  for (Capture *&k : st.kept)
    if (k && (!largest || recordBytes(*k) > recordBytes(**largest)))
      largest = &k;
  Capture *c = nullptr;
  if (largest) {
    c = *largest;
    *largest = nullptr;
  } else {
    c = static_cast<Capture *>(heap::allocateZeroed(1, sizeof(Capture)));
  }
  if (c) recycleCapture(*c);
  return c;
}

uint64_t recordBytes(const Capture &c) {
  return uint64_t{c.pixelsCapacity} + c.workCapacity +
         (c.compressor ? kCompressorBytes : 0) + c.encoder.heapBytes;
}

bool anyKept() {
  for (const Capture *k : client().screenshot.kept)
    if (k) return true;
  return false;
}

void finishCapture(Capture *&capture) {
  if (!capture) return;
  State &st = client().screenshot;
  uint64_t held = 0;
  Capture **place = nullptr;
  for (Capture *&k : st.kept) {
    if (k)
      held += recordBytes(*k);
    else if (!place)
      place = &k;
  }
  if (place && (held == 0 || held + recordBytes(*capture) <= kKeptBytes)) {
    *place = capture;
    st.keptTick = platform::tickCount();
    capture = nullptr;
    return;
  }
  retireRecord(capture);
}

void retireKept() {
  for (Capture *&k : client().screenshot.kept) retireRecord(k);
}

bool growPixels(Capture &c, uint64_t size) {
  return growBuffer(c.pixels, c.pixelsCapacity, c.pixelsTouched, size);
}

bool growWork(Capture &c, uint64_t size) {
  return growBuffer(c.work, c.workCapacity, c.workTouched, size);
}

bool buffersRetired() {
  for (const Retired &r : client().screenshot.retired)
    if (r.block || r.record) return true;
  return false;
}

void releaseSlice() {
  for (Retired &r : client().screenshot.retired) {
    if (r.record) {
      releaseRecord(r.record);
      r = Retired{};
      return;
    }
    if (!r.block) continue;
    if (r.size > kReleaseSlice) {
      void *shrunk = heap::shrink(r.block, r.size - kReleaseSlice);
      if (shrunk) {
        r = {static_cast<uint8_t *>(shrunk), r.size - kReleaseSlice, nullptr};
        return;
      }
    }
    heap::release(r.block);  // the last slice, or a heap that cannot shrink
    r = Retired{};
    return;
  }
}

void releaseCapture(Capture *&capture) {
  if (!capture) return;
  heap::release(capture->pixels);
  heap::release(capture->work);
  releaseRecord(capture);
  capture = nullptr;
}

void releaseBuffers(State &state) {
  for (Capture *&k : state.kept) releaseCapture(k);
  for (Retired &r : state.retired) {
    heap::release(r.block);
    if (r.record) releaseRecord(r.record);
    r = Retired{};
  }
}

void convertPixel(int32_t bitsPerPixel, const uint8_t *p,
                  const platform::PaletteColour *palette, uint8_t rgb[3]) {
  const uint32_t v = uint32_t{p[0]} | uint32_t{p[1]} << 8;
  switch (bitsPerPixel) {
    case 8:
      rgb[0] = palette[p[0]].red;
      rgb[1] = palette[p[0]].green;
      rgb[2] = palette[p[0]].blue;
      return;
    case 15:
      rgb[0] = static_cast<uint8_t>(((v >> 10) & 31) << 3);
      rgb[1] = static_cast<uint8_t>(((v >> 5) & 31) << 3);
      rgb[2] = static_cast<uint8_t>((v & 31) << 3);
      return;
    case 16:
      rgb[0] = static_cast<uint8_t>((v >> 8) & 0xF8);
      rgb[1] = static_cast<uint8_t>(((v >> 5) & 63) << 2);
      rgb[2] = static_cast<uint8_t>((v & 31) << 3);
      return;
    case 24:
    case 32:
      rgb[0] = p[2];
      rgb[1] = p[1];
      rgb[2] = p[0];
      return;
    default:
      rgb[0] = rgb[1] = rgb[2] = 0;
  }
}

int surfaceBegin(Capture &c, int32_t width, int32_t height, int32_t xPercent,
                 int32_t yPercent, int32_t step, char *errorText) {
  if (width < 1 || height < 1) return fail(errorText, kSizeText);
  c.offsetY = static_cast<uint16_t>(yPercent);
  c.offsetX = static_cast<uint16_t>(xPercent);
  c.step = normaliseStep(step);

  const platform::ScreenAccess &screen = platform::screenAccess();
  if (!screen.foregroundIsOwn()) return fail(errorText, kForegroundText);
  platform::WindowPlacement window{};
  if (!screen.foregroundPlacement(window) || (window.showState & 1) == 0)
    return fail(errorText, kWindowStateText);
  c.windowWidth = static_cast<uint16_t>(
      clampSide(int64_t{window.right} - window.left, 0xFFFF));
  c.windowHeight = static_cast<uint16_t>(
      clampSide(int64_t{window.bottom} - window.top, 0xFFFF));

  // The window bounds the capture before anything is allocated.
  int32_t w = clampSide(width, c.windowWidth);
  w -= w % c.step;
  const int32_t h = clampSide(height, c.windowHeight);
  c.width = static_cast<uint16_t>(w);
  c.height = static_cast<uint16_t>(h);
  const int sized = sizeBuffers(c, uint64_t(w) * (uint64_t(h) + 1) * 4);
  return sized ? sized : fail(errorText, kMemoryText);
}

// Bytes of the compressor memory there are to touch.
uint32_t compressorBytes(const Capture &c) {
  return c.compressor ? kCompressorBytes : 0;
}

bool clearTouchesFreshPages(const Capture &c) {
  return c.workTouched < c.workCapacity || c.pixelsTouched < c.pixelsCapacity ||
         c.compressorTouched < compressorBytes(c);
}

Step clearSlice(Capture &c) {
  // The copy's rows, every time: pixels outside the surface and rows a host
  // leaves out stay zero, never what the buffer held before. Then, once in
  // each buffer's life, the rest of both buffers, so that no later slice
  // meets a page that was never touched. The sampled picture needs no
  // clearing: every row of it is written before it is used.
  Slicing &sl = c.slicing;
  if (fillSlice(c.work, sl.done, sl.clearBytes)) {
    if (sl.done > c.workTouched) c.workTouched = sl.done;
  } else if (!fillSlice(c.work, c.workTouched, c.workCapacity) &&
             !fillSlice(c.pixels, c.pixelsTouched, c.pixelsCapacity)) {
    fillSlice(c.compressor, c.compressorTouched, compressorBytes(c));
  }
  const bool done = sl.done >= sl.clearBytes && !clearTouchesFreshPages(c);
  return done ? Step::Done : Step::More;
}

int surfaceCopy(Capture &c, char *errorText) {
  // Only into a work buffer sized for the capture (surfaceBegin gave 1).
  if (!holds(c.work, c.workCapacity,
             uint64_t{c.width} * (uint64_t{c.height} + 1) * 4))
    return fail(errorText, kMemoryText);
  const platform::ScreenAccess &screen = platform::screenAccess();
  platform::WindowPlacement window{};
  // The placement is read again: the window may have moved since the
  // capture was sized, and the copy must follow where it is now.
  if (!screen.foregroundPlacement(window) || (window.showState & 1) == 0)
    return fail(errorText, kWindowStateText);
  platform::Surface surface = screen.primaryOpen();
  if (!surface) return fail(errorText, kSurfaceText);
  c.offsetX = percent(c.offsetX);
  c.offsetY = percent(c.offsetY);
  platform::SurfaceLock lock{};
  if (!screen.primaryLock(surface, lock) || lock.pitch <= 0 ||
      lock.height < 0) {
    screen.primaryClose(surface);
    return fail(errorText, kSurfaceText);
  }
  c.pitch = lock.pitch;
  c.bitsPerPixel = lock.bitsPerPixel;
  c.offsetX =
      static_cast<uint16_t>((c.windowWidth - c.width) * c.offsetX / 100);
  c.offsetY =
      static_cast<uint16_t>((c.windowHeight - c.height) * c.offsetY / 100);
  copyRows(c, lock, window);
  screen.primaryUnlock(surface);
  Slicing &sl = c.slicing;
  std::memset(sl.palette, 0, sizeof sl.palette);
  if (c.bitsPerPixel == 8) screen.primaryPalette(surface, sl.palette);
  screen.primaryClose(surface);
  sl.done = 0;
  sl.haveFirst = sl.varied = 0;
  return 1;
}

Step convertSlice(Capture &c, char *errorText) {
  convertRows(c, rowsPerSlice(uint64_t{c.width} * 4));
  if (c.slicing.done < c.height) return Step::More;
  if (c.slicing.varied) return Step::Done;
  fail(errorText, kSurfaceText);
  return Step::Failed;
}

int captureSurface(Capture &c, int32_t width, int32_t height, int32_t xPercent,
                   int32_t yPercent, int32_t step, char *errorText) {
  int begun;
  while ((begun = surfaceBegin(c, width, height, xPercent, yPercent, step,
                               errorText)) == kBuffersInPart) {
  }
  if (!begun) return 0;
  while (clearSlice(c) == Step::More) {
  }
  if (!surfaceCopy(c, errorText)) return 0;
  Step result;
  while ((result = convertSlice(c, errorText)) == Step::More) {
  }
  return result == Step::Done ? 1 : 0;
}

int readBackBegin(Capture &c, QxGameInterface *gi, int32_t width,
                  int32_t height, int32_t xPercent, int32_t yPercent,
                  int32_t step, char *errorText) {
  QxCaptureQueryFn query = gi ? gi->captureQuery : nullptr;
  if (!query) return fail(errorText, kInterfaceText);
  if (query(QX_CAP_FORMAT) == 0) return 0;
  if (width < 1 || height < 1) return fail(errorText, kSizeText);
  const intptr_t frameWidth = query(QX_CAP_WIDTH);
  const intptr_t frameHeight = query(QX_CAP_HEIGHT);
  if (frameWidth < 1 || frameHeight < 1) return 0;

  // The host's frame bounds the capture before anything is allocated.
  const int32_t w = clampSide(width, frameWidth);
  const int32_t h = clampSide(height, frameHeight);
  const uint16_t sizeBefore[2] = {c.width, c.height};
  const uint8_t stepBefore = c.step;
  c.width = static_cast<uint16_t>(w);
  c.height = static_cast<uint16_t>(h);
  c.step = normaliseStep(step);
  const int sized = sizeBuffers(c, readBackBytes(w, h));
  if (sized == kBuffersInPart) return sized;
  if (!sized) {
    c.width = sizeBefore[0];  // a failed read-back keeps the sizes it found
    c.height = sizeBefore[1];
    c.step = stepBefore;
    return fail(errorText, kMemoryText);
  }
  c.offsetY = static_cast<uint16_t>(yPercent);
  c.offsetX = static_cast<uint16_t>(xPercent);

  if (query(QX_CAP_READBACK) == 0) return 0;
  // A percentage above 100 becomes a random one here as well: taken as it
  // is, it would place the rectangle outside the host's frame.
  const int64_t y =
      (frameSide(frameHeight) - h) * int64_t{percent(c.offsetY)} / 100;
  const int64_t x =
      (frameSide(frameWidth) - w) * int64_t{percent(c.offsetX)} / 100;
  c.offsetY = static_cast<uint16_t>(y);
  c.offsetX = static_cast<uint16_t>(x);
  c.slicing.done = 0;
  return 1;
}

int readBackCopy(Capture &c, QxGameInterface *gi) {
  QxCaptureQueryFn query = gi ? gi->captureQuery : nullptr;
  if (!query) return 0;
  // Only into a work buffer sized for the read-back (readBackBegin gave 1).
  if (!holds(c.work, c.workCapacity, readBackBytes(c.width, c.height)))
    return 0;
  // Asked again at the call itself: the host's answers hold for now.
  const intptr_t format = query(QX_CAP_FORMAT);
  const QxReadBackFn readBack =
      reinterpret_cast<QxReadBackFn>(query(QX_CAP_READBACK));
  if (format == 0 || !readBack) return 0;
  callReadBack(readBack, c.offsetX, c.offsetY, c.width, c.height,
               static_cast<int32_t>(format),
               static_cast<int32_t>(query(QX_CAP_TYPE)), c.work);
  c.slicing.done = 0;
  return 1;
}

Step sampleSlice(Capture &c) {
  sampleRows(c, rowsPerSlice(uint64_t{c.width} * 3 * c.step));
  return c.slicing.done < uint32_t{c.height} / c.step ? Step::More : Step::Done;
}

int captureReadBack(Capture &c, QxGameInterface *gi, int32_t width,
                    int32_t height, int32_t xPercent, int32_t yPercent,
                    int32_t step, char *errorText) {
  int begun;
  while ((begun = readBackBegin(c, gi, width, height, xPercent, yPercent, step,
                                errorText)) == kBuffersInPart) {
  }
  if (!begun) return 0;
  while (clearSlice(c) == Step::More) {
  }
  if (!readBackCopy(c, gi)) return 0;
  while (sampleSlice(c) == Step::More) {
  }
  return 1;
}

bool marksSurfaceUnusable(const char *errorText) {
  return errorText && std::strcmp(errorText, kSurfaceText) == 0;
}

}  // namespace qx::screenshot
