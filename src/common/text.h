// Bounded text helpers: every copy and format into a fixed field goes through
// these, so a field is always terminated and never overrun.
#pragma once

#include <cstdarg>
#include <cstddef>

namespace qx {

// Copies at most maxChars characters of src and a terminator into dst, which
// holds maxChars + 1 bytes. A null src gives an empty text. Returns dst.
char *copyText(char *dst, const char *src, size_t maxChars);

// Appends src to the terminated text in dst (capacity bytes in all), cutting
// what does not fit. Returns dst.
char *appendText(char *dst, size_t capacity, const char *src);

// printf into dst of capacity bytes, cut and terminated. Returns the length
// written (not the length that would have been written).
size_t formatText(char *dst, size_t capacity, const char *format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
size_t formatTextV(char *dst, size_t capacity, const char *format,
                   va_list args);

// Case-insensitive comparisons of single-byte text.
int compareNoCase(const char *a, const char *b);
int compareNoCaseN(const char *a, const char *b, size_t n);
char lowerAscii(char c);
char upperAscii(char c);

// Length of text, but never more than max.
size_t boundedLength(const char *text, size_t max);

}  // namespace qx
