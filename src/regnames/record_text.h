// Texts of one registration as the file loader finds them: pieces of a
// larger text, not terminated.
#pragma once

#include <cstddef>

#include "qx/game_interface.h"

namespace qx::regnames {

struct TextSpan {
  const char *text;
  size_t length;
};

// addRegisteredName for texts that are not terminated.
int addRegisteredNameSpans(QxGameInterface *gi, TextSpan match,
                           TextSpan password, TextSpan kindWord, int save);

}  // namespace qx::regnames
