#include "cvars/words.h"

namespace qx::cvars {

namespace {

bool isSeparator(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

void Words::split(char *text) {
  count = 0;
  if (!text) return;
  char *p = text;
  while (count < kMax) {
    while (isSeparator(*p)) ++p;
    if (!*p) return;
    const bool quoted = *p == '"';
    if (quoted) ++p;
    start[count++] = p;
    while (*p && (quoted ? *p != '"' : !isSeparator(*p))) ++p;
    if (!*p) return;
    *p++ = '\0';
  }
}

}  // namespace qx::cvars
