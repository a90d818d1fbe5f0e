#include "common/text.h"

#include <cstdio>
#include <cstring>

namespace qx {

size_t boundedLength(const char *text, size_t max) {
  if (!text) return 0;
  size_t n = 0;
  while (n < max && text[n]) ++n;
  return n;
}

char *copyText(char *dst, const char *src, size_t maxChars) {
  const size_t n = boundedLength(src, maxChars);
  if (n) std::memmove(dst, src, n);
  dst[n] = '\0';
  return dst;
}

char *appendText(char *dst, size_t capacity, const char *src) {
  if (capacity == 0) return dst;
  const size_t used = boundedLength(dst, capacity - 1);
  copyText(dst + used, src, capacity - 1 - used);
  return dst;
}

size_t formatTextV(char *dst, size_t capacity, const char *format,
                   va_list args) {
  if (capacity == 0) return 0;
  const int n = std::vsnprintf(dst, capacity, format, args);
  if (n < 0) {
    dst[0] = '\0';
    return 0;
  }
  return static_cast<size_t>(n) < capacity ? static_cast<size_t>(n)
                                           : capacity - 1;
}

size_t formatText(char *dst, size_t capacity, const char *format, ...) {
  va_list args;
  va_start(args, format);
  const size_t n = formatTextV(dst, capacity, format, args);
  va_end(args);
  return n;
}

char lowerAscii(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

char upperAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

int compareNoCaseN(const char *a, const char *b, size_t n) {
  for (size_t i = 0; i < n; ++i) {
    const unsigned char ca = static_cast<unsigned char>(lowerAscii(a[i]));
    const unsigned char cb = static_cast<unsigned char>(lowerAscii(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
    if (ca == 0) return 0;
  }
  return 0;
}

int compareNoCase(const char *a, const char *b) {
  return compareNoCaseN(a, b, static_cast<size_t>(-1));
}

}  // namespace qx
