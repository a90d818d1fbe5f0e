// Readers of decimal and hexadecimal digits in untrusted text.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qx {

// Accumulates the digits 0-9 and skips every '-' (there is no sign); stops at
// any other character or at the end of the text. Wraps modulo 2^32.
uint32_t readDecimal(const char *text);
uint32_t readDecimal(const char *text, size_t length);

// The same reader for numbers kept as signed 32-bit values: the digits
// (every '-' skipped) saturate at 2^31 - 1 instead of wrapping, so the
// value is always 0 to 2^31 - 1 and is written back as the same digits.
int32_t readDecimalClamped(const char *text);

// Accepts 0-9, A-F and a-f up to the first other character.
uint32_t readHex(const char *text);

// Decimal text to a signed number: an optional sign, then the digits 0-9 up
// to the first other character or end. Out-of-range values saturate at the
// limits of int32_t.
int32_t readSignedDecimal(const char *text, size_t length);
int32_t readSignedDecimal(const char *text);

// Value of one hexadecimal digit, or -1.
int hexDigitValue(char c);

}  // namespace qx
