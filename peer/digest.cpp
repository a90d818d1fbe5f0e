#include "peer/digest.h"

#if defined(QX_PEER_OPENSSL)
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/md5.h>
#else
#include <cstring>
#endif

namespace qx::peer {

namespace {

constexpr uint32_t kSeedSteps[4] = {11, 71, 37, 97};

#if !defined(QX_PEER_OPENSSL)
// RFC 1321, one round loop over the 64 steps.
struct Md5 {
  uint32_t h[4];
  uint64_t bytes = 0;
  uint8_t block[64];
};

constexpr uint32_t kShift[64] = {
    7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22, 7, 12, 17, 22,
    5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20, 5, 9,  14, 20,
    4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23, 4, 11, 16, 23,
    6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21, 6, 10, 15, 21};

// floor(abs(sin(i + 1)) * 2^32)
constexpr uint32_t kSine[64] = {
    0xd76aa478, 0xe8c7b756, 0x242070db, 0xc1bdceee, 0xf57c0faf, 0x4787c62a,
    0xa8304613, 0xfd469501, 0x698098d8, 0x8b44f7af, 0xffff5bb1, 0x895cd7be,
    0x6b901122, 0xfd987193, 0xa679438e, 0x49b40821, 0xf61e2562, 0xc040b340,
    0x265e5a51, 0xe9b6c7aa, 0xd62f105d, 0x02441453, 0xd8a1e681, 0xe7d3fbc8,
    0x21e1cde6, 0xc33707d6, 0xf4d50d87, 0x455a14ed, 0xa9e3e905, 0xfcefa3f8,
    0x676f02d9, 0x8d2a4c8a, 0xfffa3942, 0x8771f681, 0x6d9d6122, 0xfde5380c,
    0xa4beea44, 0x4bdecfa9, 0xf6bb4b60, 0xbebfbc70, 0x289b7ec6, 0xeaa127fa,
    0xd4ef3085, 0x04881d05, 0xd9d4d039, 0xe6db99e5, 0x1fa27cf8, 0xc4ac5665,
    0xf4292244, 0x432aff97, 0xab9423a7, 0xfc93a039, 0x655b59c3, 0x8f0ccc92,
    0xffeff47d, 0x85845dd1, 0x6fa87e4f, 0xfe2ce6e0, 0xa3014314, 0x4e0811a1,
    0xf7537e82, 0xbd3af235, 0x2ad7d2bb, 0xeb86d391};

void compress(uint32_t h[4], const uint8_t *p) {
  uint32_t m[16];
  for (int i = 0; i < 16; ++i)
    m[i] = uint32_t{p[4 * i]} | uint32_t{p[4 * i + 1]} << 8 |
           uint32_t{p[4 * i + 2]} << 16 | uint32_t{p[4 * i + 3]} << 24;
  uint32_t a = h[0], b = h[1], c = h[2], d = h[3];
  for (int i = 0; i < 64; ++i) {
    uint32_t f;
    int g;
    if (i < 16) {
      f = (b & c) | (~b & d);
      g = i;
    } else if (i < 32) {
      f = (d & b) | (~d & c);
      g = (5 * i + 1) % 16;
    } else if (i < 48) {
      f = b ^ c ^ d;
      g = (3 * i + 5) % 16;
    } else {
      f = c ^ (b | ~d);
      g = (7 * i) % 16;
    }
    const uint32_t t = a + f + kSine[i] + m[g];
    a = d;
    d = c;
    c = b;
    b += (t << kShift[i]) | (t >> (32 - kShift[i]));
  }
  h[0] += a;
  h[1] += b;
  h[2] += c;
  h[3] += d;
}

void update(Md5 &m, const uint8_t *p, size_t n) {
  size_t used = static_cast<size_t>(m.bytes % 64);
  m.bytes += n;
  while (n > 0) {
    const size_t take = n < 64 - used ? n : 64 - used;
    std::memcpy(m.block + used, p, take);
    used += take;
    p += take;
    n -= take;
    if (used == 64) {
      compress(m.h, m.block);
      used = 0;
    }
  }
}
#endif

}  // namespace

void digest(const void *data, size_t size, uint32_t seed, uint8_t out[16]) {
#if defined(QX_PEER_OPENSSL)
  MD5_CTX ctx;
  MD5_Init(&ctx);
  ctx.A += kSeedSteps[0] * seed;
  ctx.B += kSeedSteps[1] * seed;
  ctx.C += kSeedSteps[2] * seed;
  ctx.D += kSeedSteps[3] * seed;
  MD5_Update(&ctx, data, size);
  MD5_Final(out, &ctx);
#else
  Md5 m;
  const uint32_t start[4] = {0x67452301, 0xefcdab89, 0x98badcfe, 0x10325476};
  for (int i = 0; i < 4; ++i) m.h[i] = start[i] + kSeedSteps[i] * seed;
  update(m, static_cast<const uint8_t *>(data), size);
  const uint64_t bits = m.bytes * 8;
  const uint8_t pad = 0x80;
  update(m, &pad, 1);
  const uint8_t zero = 0;
  while (m.bytes % 64 != 56) update(m, &zero, 1);
  uint8_t length[8];
  for (int i = 0; i < 8; ++i) length[i] = static_cast<uint8_t>(bits >> (8 * i));
  update(m, length, 8);
  for (int i = 0; i < 16; ++i)
    out[i] = static_cast<uint8_t>(m.h[i / 4] >> (8 * (i % 4)));
#endif
}

std::string hexText(const uint8_t *bytes, size_t size) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  for (size_t i = 0; i < size; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 15];
  }
  return text;
}

std::string digestText(const void *data, size_t size, uint32_t seed) {
  uint8_t out[16];
  digest(data, size, seed, out);
  return hexText(out, 16);
}

}  // namespace qx::peer
