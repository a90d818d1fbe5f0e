// POSIX has no primary surface to read: the capture goes to the host's
// read-back. The window checks pass, as nothing here can tell which window
// is in front.
#include "platform/platform.h"

namespace qx::platform {

namespace {

bool foregroundIsOwn() { return true; }

bool foregroundPlacement(WindowPlacement &out) {
  out = WindowPlacement{1, 0, 0, 0, 0};
  return true;
}

Surface primaryOpen() { return nullptr; }
bool primaryLock(Surface, SurfaceLock &) { return false; }
void primaryUnlock(Surface) {}
bool primaryPalette(Surface, PaletteColour *) { return false; }
void primaryClose(Surface) {}

constexpr ScreenAccess kScreen = {
    foregroundIsOwn, foregroundPlacement, primaryOpen, primaryLock,
    primaryUnlock,   primaryPalette,      primaryClose};

}  // namespace

const ScreenAccess &systemScreen() { return kScreen; }

}  // namespace qx::platform
