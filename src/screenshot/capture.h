// Screen capture: a rectangle of the screen where the game's window lies,
// read from the primary surface, or read back from the host's own frame, as
// a sampled picture of rows of a filter byte 0 and red-green-blue triples.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "qx/game_interface.h"
#include "screenshot/screenshot_state.h"
#include "screenshot/slices.h"

namespace qx::screenshot {

// The failure texts, one per reason; shown later inside the image.
constexpr const char *kSizeText = "Capture Failed: empty size";
constexpr const char *kMemoryText = "Capture Failed: out of memory";
constexpr const char *kForegroundText =
    "Capture Failed: game window not in front";
constexpr const char *kWindowStateText =
    "Capture Failed: game window minimised";
constexpr const char *kSurfaceText = "Capture Failed: primary surface unusable";
constexpr const char *kInterfaceText = "Capture Failed: no host capture query";

// Neither side of a capture exceeds this many pixels, whatever is asked or
// reported: the buffers follow the clamped size, never the raw request.
constexpr int32_t kMaxSide = 8192;

// What the kept records of finished screenshots may hold in all; the
// first is kept whatever its size.
constexpr uint64_t kKeptBytes = 8u * 1024 * 1024;

// A capture record as a request creates it: zeros, margins 10, step 1.
// It is the kept record with the largest buffers when there is one, with
// that one's buffers and compressor (their contents count for nothing).
// Null when the allocation fails.
Capture *newCapture();
// Makes a record as newCapture gives it, keeping its buffers and its
// compressor.
void recycleCapture(Capture &capture);
// A finished screenshot's record: kept for the next screenshots while a
// place is free and the kept records stay within kKeptBytes, else its
// buffers and the record are retired. Null afterwards.
void finishCapture(Capture *&capture);
// Some record is kept.
bool anyKept();
// The bytes a record holds: its buffers, its compressor memory and zlib's
// blocks from the heap.
uint64_t recordBytes(const Capture &capture);
// Retires the kept records (their buffers and the records), for release
// slices to give back.
void retireKept();
// Releases the record with its buffers and any compression, at once.
void releaseCapture(Capture *&capture);
// Releases the kept records and every retired buffer, at once (unload).
void releaseBuffers(State &state);

// Keep the record's picture buffer (pixels) or work buffer when it holds
// size bytes, else replace it with a new one of size bytes whose contents
// are undefined and whose pages are untouched; the old one is retired.
// False when the allocation fails; the buffer is then null.
bool growPixels(Capture &c, uint64_t size);
bool growWork(Capture &c, uint64_t size);

// The next clearSlice may touch pages of the buffers that were never
// touched.
bool clearTouchesFreshPages(const Capture &c);

// Retired buffers are waiting to be given back to the heap; releaseSlice
// gives back one slice (at most 512 KiB) of one of them.
bool buffersRetired();
void releaseSlice();

// Captures from the primary surface; 1 on success, 0 with a failure text
// in errorText (kTextMax characters and a terminator). All of it in one
// call: surfaceBegin, clearSlice until done, surfaceCopy, convertSlice
// until done.
int captureSurface(Capture &c, int32_t width, int32_t height, int32_t xPercent,
                   int32_t yPercent, int32_t step, char *errorText);

// Captures through the host's read-back function; 1 on success. Some
// failures (read-back not available, no frame, no function) leave
// errorText as it was. All of it in one call: readBackBegin, clearSlice
// until done, readBackCopy, sampleSlice until done.
int captureReadBack(Capture &c, QxGameInterface *gi, int32_t width,
                    int32_t height, int32_t xPercent, int32_t yPercent,
                    int32_t step, char *errorText);

// ---- the same in steps, for the frames ------------------------------------
//
// Only surfaceCopy and readBackCopy are single steps that cannot be cut;
// the others do one slice of bounded work per call.

// What surfaceBegin and readBackBegin give when they got one of the
// buffers and another is still to get: each allocation is a step of its
// own (it can take most of a millisecond), so they are called again, in a
// later call, until they give 1.
constexpr int kBuffersInPart = 2;

// Checks the window, sizes the capture and gets its buffers (not cleared
// yet); 1, kBuffersInPart, or 0 with a failure text.
int surfaceBegin(Capture &c, int32_t width, int32_t height, int32_t xPercent,
                 int32_t yPercent, int32_t step, char *errorText);
// Sizes the read-back against the host's frame, gets its buffers and places
// the rectangle; 1, kBuffersInPart, or 0 with the texts of
// captureReadBack.
int readBackBegin(Capture &c, QxGameInterface *gi, int32_t width,
                  int32_t height, int32_t xPercent, int32_t yPercent,
                  int32_t step, char *errorText);
// Zero-fills a slice of the picture and then of the work buffer.
Step clearSlice(Capture &c);
// Locks the primary surface, copies the rectangle, unlocks and releases it
// (and takes an 8-bit surface's palette); 1, or 0 with a failure text.
int surfaceCopy(Capture &c, char *errorText);
// Calls the host's read-back function; 0 when the host no longer offers it.
int readBackCopy(Capture &c, QxGameInterface *gi);
// Converts a slice of the surface rows into the picture. Failed with the
// surface text when the whole picture is one colour.
Step convertSlice(Capture &c, char *errorText);
// Samples a slice of the read-back rows into the picture.
Step sampleSlice(Capture &c);

// The failure texts after which a request stops trying the primary surface
// and reads the host's frame back instead: only the surface text (no
// DirectDraw, a refused lock, or a uniform picture such as the black screen
// of a game that owns the display). The others say that the game is out of
// view or that the capture has no size or no memory, which the image then
// shows.
bool marksSurfaceUnusable(const char *errorText);

// One pixel of a surface of the given depth as red, green, blue; depths
// other than 8, 15, 16, 24 and 32 give black.
void convertPixel(int32_t bitsPerPixel, const uint8_t *pixel,
                  const platform::PaletteColour *palette, uint8_t rgb[3]);

}  // namespace qx::screenshot
