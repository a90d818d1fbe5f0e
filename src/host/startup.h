// Start-up, enabling and disabling. Start-up runs lazily inside the first
// entry call that needs it, and only while the host variable cl_quellor
// begins with "1".
#pragma once

#include "qx/game_interface.h"

namespace qx::host {

// 1 when start-up has completed or the client is not wanted (tried again at
// the next call); 0 when it failed.
int startUp(QxGameInterface *gi);

// Writes the default message prefix and, when enabled, loads the files.
void applyPrefixAndLoad(QxGameInterface *gi);

void enableClient(QxGameInterface *gi);   // host order 117
void disableClient(QxGameInterface *gi);  // host order 118, qx_cl_Disable

// Sets cl_quellor through the host's named operation ("1" or "0").
void setWanted(QxGameInterface *gi, const char *value);

// Reads cl_quellor; true when its value begins with "1".
bool hostWantsClient(QxGameInterface *gi);

}  // namespace qx::host
