// Screen capture: a rectangle of the screen where the game's window lies,
// read from the primary surface, or read back from the host's own frame, as
// a sampled picture of rows of a filter byte 0 and red-green-blue triples.
#pragma once

#include <cstdint>

#include "platform/platform.h"
#include "qx/game_interface.h"
#include "screenshot/screenshot_state.h"

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

// A capture record as a request creates it: zeros, margins 10, step 1.
// Null when the allocation fails.
Capture *newCapture();
// Releases the record with its buffers and any compression under way.
void releaseCapture(Capture *&capture);

// Captures from the primary surface; 1 on success, 0 with a failure text
// in errorText (kTextMax characters and a terminator).
int captureSurface(Capture &c, int32_t width, int32_t height, int32_t xPercent,
                   int32_t yPercent, int32_t step, char *errorText);

// Captures through the host's read-back function; 1 on success. Some
// failures (read-back not available, no frame, no function) leave
// errorText as it was.
int captureReadBack(Capture &c, QxGameInterface *gi, int32_t width,
                    int32_t height, int32_t xPercent, int32_t yPercent,
                    int32_t step, char *errorText);

// The failure texts after which a request stops trying the primary surface
// and reads the host's frame back instead.
bool marksSurfaceUnusable(const char *errorText);

// One pixel of a surface of the given depth as red, green, blue; depths
// other than 8, 15, 16, 24 and 32 give black.
void convertPixel(int32_t bitsPerPixel, const uint8_t *pixel,
                  const platform::PaletteColour *palette, uint8_t rgb[3]);

}  // namespace qx::screenshot
