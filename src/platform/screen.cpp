// The screen the capture reads: the system's, or one a test put in its place.
// What the capture gets through screenAccess passes through here, so that the
// primary surface it holds open is known: a fault that cuts a capture short
// leaves the surface locked and its objects alive, and the guard that
// contains the fault releases them through releaseScreen.
#include "platform/platform.h"

namespace qx::platform {

namespace {

const ScreenAccess *g_screen = nullptr;

// The primary surface a capture holds open, with the screen that opened it
// and whether it is locked. Surfaces live inside one capture call only, so
// there is at most one.
struct OpenSurface {
  const ScreenAccess *owner;
  Surface surface;
  bool locked;
};
OpenSurface g_open{};

const ScreenAccess &current() { return g_screen ? *g_screen : systemScreen(); }

// The screen that opened surface: calls on a surface go to its own screen.
const ScreenAccess &ownerOf(Surface surface) {
  return surface && surface == g_open.surface ? *g_open.owner : current();
}

bool foregroundIsOwn() { return current().foregroundIsOwn(); }

bool foregroundPlacement(WindowPlacement &out) {
  return current().foregroundPlacement(out);
}

Surface primaryOpen() {
  const ScreenAccess &screen = current();
  const Surface surface = screen.primaryOpen();
  if (surface) g_open = {&screen, surface, false};
  return surface;
}

bool primaryLock(Surface surface, SurfaceLock &out) {
  const bool locked = ownerOf(surface).primaryLock(surface, out);
  if (locked && surface == g_open.surface) g_open.locked = true;
  return locked;
}

void primaryUnlock(Surface surface) {
  ownerOf(surface).primaryUnlock(surface);
  if (surface == g_open.surface) g_open.locked = false;
}

bool primaryPalette(Surface surface, PaletteColour *entries) {
  return ownerOf(surface).primaryPalette(surface, entries);
}

void primaryClose(Surface surface) {
  ownerOf(surface).primaryClose(surface);
  if (surface == g_open.surface) g_open = {};
}

const ScreenAccess kTracked = {
    foregroundIsOwn, foregroundPlacement, primaryOpen, primaryLock,
    primaryUnlock,   primaryPalette,      primaryClose};

}  // namespace

const ScreenAccess &screenAccess() { return kTracked; }

void setScreenAccess(const ScreenAccess *replacement) {
  g_screen = replacement;
}

void releaseScreen() {
  const OpenSurface open = g_open;
  g_open = {};
  if (!open.surface) return;
  if (open.locked) open.owner->primaryUnlock(open.surface);
  open.owner->primaryClose(open.surface);
}

}  // namespace qx::platform
