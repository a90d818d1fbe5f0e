// The C library's stream calls both platforms open their files with.
#pragma once

#include "platform/platform.h"

namespace qx::platform {

// fopen mode of an open mode; binary always, and on Windows appends commit
// to disk on flush.
const char *stdioMode(OpenMode mode);

}  // namespace qx::platform
