// Texts of one registration as the file and the list use them.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qx/game_interface.h"

namespace qx::regnames {

// A piece of a larger text, not terminated, as the file loader finds it.
struct TextSpan {
  const char *text;
  size_t length;
};

// The word of a kind, "Full" or "Partial", as the file and the list show it.
const char *kindWord(uint8_t kind);

// addRegisteredName for texts that are not terminated.
int addRegisteredNameSpans(QxGameInterface *gi, TextSpan match,
                           TextSpan password, TextSpan kindWord, int save);

}  // namespace qx::regnames
