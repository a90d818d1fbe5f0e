// Sealing: a wrapper that lets the server check that a reply came from this
// client. It carries h = m^e mod N and two copies of m, and hides everything
// from m on under a key stream seeded with m.
#include <cstring>

#include "channel/byte_order.h"
#include "channel/channel.h"
#include "channel/channel_state.h"
#include "common/protocol.h"
#include "host/client_state.h"

namespace qx::channel {

namespace {

using protocol::kSealOverhead;

constexpr uint32_t kDefaultStreamSeed = 4357;
constexpr int kSealedBytesFrom = 5;  // the key stream starts at m

// ---- key stream: MT19937 as published in 1998 ----------------------------

void seedStream(uint32_t seed) {
  State &s = client().channel;
  s.streamState[0] = seed;
  for (int k = 1; k < kStreamWords; ++k)
    s.streamState[k] = s.streamState[k - 1] * protocol::kSealSeedMultiplier;
  s.streamPosition = kStreamWords;
}

void regenerateStream() {
  constexpr int kMiddle = 397;
  constexpr uint32_t kMatrix = 0x9908B0DFu;
  constexpr uint32_t kUpper = 0x80000000u;
  constexpr uint32_t kLower = 0x7FFFFFFFu;
  uint32_t *mt = client().channel.streamState;
  for (int k = 0; k < kStreamWords; ++k) {
    const uint32_t y = (mt[k] & kUpper) | (mt[(k + 1) % kStreamWords] & kLower);
    mt[k] =
        mt[(k + kMiddle) % kStreamWords] ^ (y >> 1) ^ ((y & 1) ? kMatrix : 0);
  }
  client().channel.streamPosition = 0;
}

uint32_t nextStreamWord() {
  State &s = client().channel;
  if (s.streamPosition >= kStreamWords) {
    if (s.streamPosition == kStreamUnseeded) seedStream(kDefaultStreamSeed);
    regenerateStream();
  }
  uint32_t y = s.streamState[s.streamPosition++];
  y ^= y >> 11;
  y ^= (y << 7) & 0x9D2C5680u;
  y ^= (y << 15) & 0xEFC60000u;
  y ^= y >> 18;
  return y;
}

// ---- h = m^e mod N -------------------------------------------------------

// Square-and-multiply from the lowest bit; each product is taken modulo
// 2^32 before the reduction modulo N, which is exact while N < 2^16.
uint32_t sealPower(uint32_t m, uint32_t e, uint32_t n) {
  uint32_t result = 1;
  uint32_t base = m;
  for (; e; e >>= 1) {
    if (e & 1) result = (result * base) % n;
    base = (base * base) % n;
  }
  return result;
}

uint32_t drawSealNumber(uint32_t n) {
  platform::Random &random = client().host.random;
  uint32_t m;
  do {
    const uint32_t high = static_cast<uint32_t>(random.next());
    const uint32_t low = static_cast<uint32_t>(random.next());
    m = (high << 16 | low) % n;
  } while (m < 2);
  return m;
}

}  // namespace

int sealMessage(uint8_t *message, int length) {
  State &s = client().channel;
  // A modulus below 3 leaves no m >= 2 to draw.
  if (s.sealAllowance == 0 || s.sealModulus < 3 || length < 0 ||
      length + kSealOverhead >= kMaxMessage)
    return length;
  --s.sealAllowance;
  std::memmove(message + kSealOverhead, message, static_cast<size_t>(length));
  message[0] = protocol::kCodeSeal;
  const uint32_t m = drawSealNumber(s.sealModulus);
  writeLittleEndian32(message + 1, sealPower(m, s.sealExponent, s.sealModulus));
  writeLittleEndian32(message + 5, m);
  writeLittleEndian32(message + 9, m);
  const int sealed = length + kSealOverhead;
  seedStream(m);
  for (int p = kSealedBytesFrom; p < sealed; ++p)
    message[p] ^=
        static_cast<uint8_t>(nextStreamWord() >> protocol::kSealStreamShift);
  return sealed;
}

}  // namespace qx::channel
