// Seeded MD5: MD5 whose four initial chaining words are moved by a 32-bit
// seed s (A + 11s, B + 71s, C + 37s, D + 97s). Seed 0 is standard MD5.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qx {

struct Md5 {
  uint32_t state[4];
  uint64_t length;  // bytes hashed so far
  uint8_t block[64];
};

void md5Init(Md5 &m, uint32_t seed);
void md5Update(Md5 &m, const void *data, size_t size);
void md5Final(Md5 &m, uint8_t digest[16]);

void md5(const void *data, size_t size, uint32_t seed, uint8_t digest[16]);

// 32 upper-case hexadecimal digits, bytes in digest order, high nibble first.
// text holds 33 bytes.
void md5ToText(const uint8_t digest[16], char text[33]);

// Reads 32 hexadecimal digits of either case into 16 bytes; false when the
// text holds fewer than 32 digits.
bool md5FromText(const char *text, uint8_t digest[16]);

}  // namespace qx
