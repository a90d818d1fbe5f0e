// Questions to the host about its console variables and key bindings. The
// host answers into a buffer of the client; an answer may be empty,
// over-long or unterminated, so every answer is cut to its buffer here.
#pragma once

#include <cstdint>

#include "qx/game_interface.h"

namespace qx::cvars {

constexpr int kHostText = 256;  // buffer of one host question and answer

// Asks the host question code with the text in buffer (size bytes, at least
// 1) and leaves the answer terminated within the buffer. Returns the host's
// result, or -1 when the host offers no query operation.
intptr_t askHost(QxGameInterface *gi, int32_t code, char *buffer, int32_t size);

// Reads the host variable name into value (kHostText bytes). Returns false,
// with an empty value, when the host cannot report it.
bool readVariable(QxGameInterface *gi, const char *name, char *value);

// Names that suggest secrets ("pass", "cdkey", any case): their values are
// never shown nor sent.
bool isSecretName(const char *name);

}  // namespace qx::cvars
