// MD5 after RFC 1321, with a seed added to the initial chaining words.
#include "common/md5.h"

#include <cstring>

#include "common/numbers.h"

namespace qx {

namespace {

inline uint32_t rotl(uint32_t x, int c) { return (x << c) | (x >> (32 - c)); }

inline uint32_t load32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

#define QX_MD5_F(x, y, z) ((z) ^ ((x) & ((y) ^ (z))))
#define QX_MD5_G(x, y, z) ((y) ^ ((z) & ((x) ^ (y))))
#define QX_MD5_H(x, y, z) ((x) ^ (y) ^ (z))
#define QX_MD5_I(x, y, z) ((y) ^ ((x) | ~(z)))
#define QX_MD5_STEP(f, a, b, c, d, x, t, s) \
  a += f(b, c, d) + (x) + (t);              \
  a = rotl(a, s) + b

// Processes whole 64-byte blocks.
void md5Blocks(uint32_t state[4], const uint8_t *p, size_t blocks) {
  uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
  for (; blocks; --blocks, p += 64) {
    uint32_t x[16];
    for (int i = 0; i < 16; ++i) x[i] = load32(p + 4 * i);
    const uint32_t aa = a, bb = b, cc = c, dd = d;

    QX_MD5_STEP(QX_MD5_F, a, b, c, d, x[0], 0xd76aa478, 7);
    QX_MD5_STEP(QX_MD5_F, d, a, b, c, x[1], 0xe8c7b756, 12);
    QX_MD5_STEP(QX_MD5_F, c, d, a, b, x[2], 0x242070db, 17);
    QX_MD5_STEP(QX_MD5_F, b, c, d, a, x[3], 0xc1bdceee, 22);
    QX_MD5_STEP(QX_MD5_F, a, b, c, d, x[4], 0xf57c0faf, 7);
    QX_MD5_STEP(QX_MD5_F, d, a, b, c, x[5], 0x4787c62a, 12);
    QX_MD5_STEP(QX_MD5_F, c, d, a, b, x[6], 0xa8304613, 17);
    QX_MD5_STEP(QX_MD5_F, b, c, d, a, x[7], 0xfd469501, 22);
    QX_MD5_STEP(QX_MD5_F, a, b, c, d, x[8], 0x698098d8, 7);
    QX_MD5_STEP(QX_MD5_F, d, a, b, c, x[9], 0x8b44f7af, 12);
    QX_MD5_STEP(QX_MD5_F, c, d, a, b, x[10], 0xffff5bb1, 17);
    QX_MD5_STEP(QX_MD5_F, b, c, d, a, x[11], 0x895cd7be, 22);
    QX_MD5_STEP(QX_MD5_F, a, b, c, d, x[12], 0x6b901122, 7);
    QX_MD5_STEP(QX_MD5_F, d, a, b, c, x[13], 0xfd987193, 12);
    QX_MD5_STEP(QX_MD5_F, c, d, a, b, x[14], 0xa679438e, 17);
    QX_MD5_STEP(QX_MD5_F, b, c, d, a, x[15], 0x49b40821, 22);

    QX_MD5_STEP(QX_MD5_G, a, b, c, d, x[1], 0xf61e2562, 5);
    QX_MD5_STEP(QX_MD5_G, d, a, b, c, x[6], 0xc040b340, 9);
    QX_MD5_STEP(QX_MD5_G, c, d, a, b, x[11], 0x265e5a51, 14);
    QX_MD5_STEP(QX_MD5_G, b, c, d, a, x[0], 0xe9b6c7aa, 20);
    QX_MD5_STEP(QX_MD5_G, a, b, c, d, x[5], 0xd62f105d, 5);
    QX_MD5_STEP(QX_MD5_G, d, a, b, c, x[10], 0x02441453, 9);
    QX_MD5_STEP(QX_MD5_G, c, d, a, b, x[15], 0xd8a1e681, 14);
    QX_MD5_STEP(QX_MD5_G, b, c, d, a, x[4], 0xe7d3fbc8, 20);
    QX_MD5_STEP(QX_MD5_G, a, b, c, d, x[9], 0x21e1cde6, 5);
    QX_MD5_STEP(QX_MD5_G, d, a, b, c, x[14], 0xc33707d6, 9);
    QX_MD5_STEP(QX_MD5_G, c, d, a, b, x[3], 0xf4d50d87, 14);
    QX_MD5_STEP(QX_MD5_G, b, c, d, a, x[8], 0x455a14ed, 20);
    QX_MD5_STEP(QX_MD5_G, a, b, c, d, x[13], 0xa9e3e905, 5);
    QX_MD5_STEP(QX_MD5_G, d, a, b, c, x[2], 0xfcefa3f8, 9);
    QX_MD5_STEP(QX_MD5_G, c, d, a, b, x[7], 0x676f02d9, 14);
    QX_MD5_STEP(QX_MD5_G, b, c, d, a, x[12], 0x8d2a4c8a, 20);

    QX_MD5_STEP(QX_MD5_H, a, b, c, d, x[5], 0xfffa3942, 4);
    QX_MD5_STEP(QX_MD5_H, d, a, b, c, x[8], 0x8771f681, 11);
    QX_MD5_STEP(QX_MD5_H, c, d, a, b, x[11], 0x6d9d6122, 16);
    QX_MD5_STEP(QX_MD5_H, b, c, d, a, x[14], 0xfde5380c, 23);
    QX_MD5_STEP(QX_MD5_H, a, b, c, d, x[1], 0xa4beea44, 4);
    QX_MD5_STEP(QX_MD5_H, d, a, b, c, x[4], 0x4bdecfa9, 11);
    QX_MD5_STEP(QX_MD5_H, c, d, a, b, x[7], 0xf6bb4b60, 16);
    QX_MD5_STEP(QX_MD5_H, b, c, d, a, x[10], 0xbebfbc70, 23);
    QX_MD5_STEP(QX_MD5_H, a, b, c, d, x[13], 0x289b7ec6, 4);
    QX_MD5_STEP(QX_MD5_H, d, a, b, c, x[0], 0xeaa127fa, 11);
    QX_MD5_STEP(QX_MD5_H, c, d, a, b, x[3], 0xd4ef3085, 16);
    QX_MD5_STEP(QX_MD5_H, b, c, d, a, x[6], 0x04881d05, 23);
    QX_MD5_STEP(QX_MD5_H, a, b, c, d, x[9], 0xd9d4d039, 4);
    QX_MD5_STEP(QX_MD5_H, d, a, b, c, x[12], 0xe6db99e5, 11);
    QX_MD5_STEP(QX_MD5_H, c, d, a, b, x[15], 0x1fa27cf8, 16);
    QX_MD5_STEP(QX_MD5_H, b, c, d, a, x[2], 0xc4ac5665, 23);

    QX_MD5_STEP(QX_MD5_I, a, b, c, d, x[0], 0xf4292244, 6);
    QX_MD5_STEP(QX_MD5_I, d, a, b, c, x[7], 0x432aff97, 10);
    QX_MD5_STEP(QX_MD5_I, c, d, a, b, x[14], 0xab9423a7, 15);
    QX_MD5_STEP(QX_MD5_I, b, c, d, a, x[5], 0xfc93a039, 21);
    QX_MD5_STEP(QX_MD5_I, a, b, c, d, x[12], 0x655b59c3, 6);
    QX_MD5_STEP(QX_MD5_I, d, a, b, c, x[3], 0x8f0ccc92, 10);
    QX_MD5_STEP(QX_MD5_I, c, d, a, b, x[10], 0xffeff47d, 15);
    QX_MD5_STEP(QX_MD5_I, b, c, d, a, x[1], 0x85845dd1, 21);
    QX_MD5_STEP(QX_MD5_I, a, b, c, d, x[8], 0x6fa87e4f, 6);
    QX_MD5_STEP(QX_MD5_I, d, a, b, c, x[15], 0xfe2ce6e0, 10);
    QX_MD5_STEP(QX_MD5_I, c, d, a, b, x[6], 0xa3014314, 15);
    QX_MD5_STEP(QX_MD5_I, b, c, d, a, x[13], 0x4e0811a1, 21);
    QX_MD5_STEP(QX_MD5_I, a, b, c, d, x[4], 0xf7537e82, 6);
    QX_MD5_STEP(QX_MD5_I, d, a, b, c, x[11], 0xbd3af235, 10);
    QX_MD5_STEP(QX_MD5_I, c, d, a, b, x[2], 0x2ad7d2bb, 15);
    QX_MD5_STEP(QX_MD5_I, b, c, d, a, x[9], 0xeb86d391, 21);

    a += aa;
    b += bb;
    c += cc;
    d += dd;
  }
  state[0] = a;
  state[1] = b;
  state[2] = c;
  state[3] = d;
}

#undef QX_MD5_F
#undef QX_MD5_G
#undef QX_MD5_H
#undef QX_MD5_I
#undef QX_MD5_STEP

}  // namespace

void md5Init(Md5 &m, uint32_t seed) {
  m.state[0] = 0x67452301u + 11u * seed;
  m.state[1] = 0xEFCDAB89u + 71u * seed;
  m.state[2] = 0x98BADCFEu + 37u * seed;
  m.state[3] = 0x10325476u + 97u * seed;
  m.length = 0;
}

void md5Update(Md5 &m, const void *data, size_t size) {
  const uint8_t *p = static_cast<const uint8_t *>(data);
  size_t used = static_cast<size_t>(m.length & 63);
  m.length += size;
  if (used) {
    const size_t take = size < 64 - used ? size : 64 - used;
    std::memcpy(m.block + used, p, take);
    used += take;
    p += take;
    size -= take;
    if (used < 64) return;
    md5Blocks(m.state, m.block, 1);
  }
  md5Blocks(m.state, p, size / 64);
  p += size & ~static_cast<size_t>(63);
  size &= 63;
  if (size) std::memcpy(m.block, p, size);
}

void md5Final(Md5 &m, uint8_t digest[16]) {
  const uint64_t bits = m.length * 8u;
  static const uint8_t pad[64] = {0x80};
  const size_t used = static_cast<size_t>(m.length & 63);
  md5Update(m, pad, used < 56 ? 56 - used : 120 - used);
  uint8_t tail[8];
  for (int i = 0; i < 8; ++i) tail[i] = static_cast<uint8_t>(bits >> (8 * i));
  md5Update(m, tail, 8);
  for (int i = 0; i < 4; ++i)
    for (int j = 0; j < 4; ++j)
      digest[4 * i + j] = static_cast<uint8_t>(m.state[i] >> (8 * j));
}

void md5(const void *data, size_t size, uint32_t seed, uint8_t digest[16]) {
  Md5 m;
  md5Init(m, seed);
  md5Update(m, data, size);
  md5Final(m, digest);
}

void md5ToText(const uint8_t digest[16], char text[33]) {
  static const char kDigits[] = "0123456789ABCDEF";
  for (int i = 0; i < 16; ++i) {
    text[2 * i] = kDigits[digest[i] >> 4];
    text[2 * i + 1] = kDigits[digest[i] & 15];
  }
  text[32] = '\0';
}

bool md5FromText(const char *text, uint8_t digest[16]) {
  if (!text) return false;
  for (int i = 0; i < 16; ++i) {
    const int hi = hexDigitValue(text[2 * i]);
    if (hi < 0) return false;
    const int lo = hexDigitValue(text[2 * i + 1]);
    if (lo < 0) return false;
    digest[i] = static_cast<uint8_t>(hi << 4 | lo);
  }
  return true;
}

}  // namespace qx
