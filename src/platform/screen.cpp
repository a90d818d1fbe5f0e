// The screen the capture reads: the system's, or one a test put in its place.
#include "platform/platform.h"

namespace qx::platform {

namespace {

const ScreenAccess *g_screen = nullptr;

}  // namespace

const ScreenAccess &screenAccess() {
  return g_screen ? *g_screen : systemScreen();
}

void setScreenAccess(const ScreenAccess *replacement) {
  g_screen = replacement;
}

}  // namespace qx::platform
