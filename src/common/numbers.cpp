#include "common/numbers.h"

namespace qx {

uint32_t readDecimal(const char *text, size_t length) {
  uint32_t value = 0;
  if (!text) return 0;
  for (size_t i = 0; i < length && text[i]; ++i) {
    const char c = text[i];
    if (c == '-') continue;
    if (c < '0' || c > '9') break;
    value = value * 10u + static_cast<uint32_t>(c - '0');
  }
  return value;
}

uint32_t readDecimal(const char *text) {
  return readDecimal(text, static_cast<size_t>(-1));
}

int32_t readDecimalClamped(const char *text) {
  if (!text) return 0;
  int64_t value = 0;
  for (; *text; ++text) {
    if (*text == '-') continue;
    if (*text < '0' || *text > '9') break;
    value = value * 10 + (*text - '0');
    if (value > INT32_MAX) value = INT32_MAX;
  }
  return static_cast<int32_t>(value);
}

int32_t readSignedDecimal(const char *text, size_t length) {
  if (!text) return 0;
  size_t i = 0;
  bool negative = false;
  if (i < length && (text[i] == '-' || text[i] == '+'))
    negative = text[i++] == '-';
  int64_t value = 0;
  const int64_t cap = INT64_C(1) << 32;  // beyond either limit
  for (; i < length && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > cap) value = cap;
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}

int32_t readSignedDecimal(const char *text) {
  return readSignedDecimal(text, static_cast<size_t>(-1));
}

int hexDigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

uint32_t readHex(const char *text) {
  uint32_t value = 0;
  if (!text) return 0;
  for (; *text; ++text) {
    const int d = hexDigitValue(*text);
    if (d < 0) break;
    value = (value << 4) | static_cast<uint32_t>(d);
  }
  return value;
}

}  // namespace qx
