// The channel key: a 29-character text inside a 1000-byte block of random
// bytes, derived from a seeded MD5 text and the four host numbers.
#include <cstdlib>
#include <cstring>

#include "channel/channel.h"
#include "channel/channel_state.h"
#include "common/heap.h"
#include "common/md5.h"
#include "common/numbers.h"
#include "common/protocol.h"
#include "host/client_state.h"

namespace qx::channel {

namespace {

using protocol::kKeyLength;

// Key bytes that come out as zero would end the key text early.
constexpr uint8_t kZeroKeyByte = 224;

// Returned when there is no key block.
constexpr const char *kNoKeyText = "QX ERROR: no channel key";

// Reads the next decimal word of text; the pointer moves past it.
int32_t nextNumber(const char *&text) {
  while (*text == ' ' || *text == '\t') ++text;
  const char *start = text;
  while (*text && *text != ' ' && *text != '\t') ++text;
  return static_cast<int32_t>(
      readDecimal(start, static_cast<size_t>(text - start)));
}

}  // namespace

bool ensureKeyBlock() {
  ClientState &c = client();
  State &s = c.channel;
  if (s.keyBlock) return true;
  s.keyBlock = static_cast<uint8_t *>(heap::allocate(protocol::kKeyBlockSize));
  if (!s.keyBlock) return false;
  for (int i = 0; i < protocol::kKeyBlockSize; ++i)
    s.keyBlock[i] = static_cast<uint8_t>(c.host.random.next());
  s.keyOffset = c.host.random.next() % protocol::kKeyOffsetRange +
                protocol::kKeyOffsetBase;
  return true;
}

const char *deriveChannelKey(uint8_t *block, int32_t a, int32_t b, int32_t c,
                             int32_t d) {
  if (!block) return kNoKeyText;
  uint8_t digest[16];
  char text[33];
  md5(protocol::kKeyText, sizeof protocol::kKeyText, protocol::kKeySeed,
      digest);
  md5ToText(digest, text);
  uint8_t *key = block + client().channel.keyOffset;
  // All arithmetic is modulo 256; unsigned 32-bit values carry it without
  // overflow.
  const uint32_t u = static_cast<uint32_t>(d) + 81;
  const uint32_t w = 42u * static_cast<uint32_t>(b) * static_cast<uint32_t>(b);
  for (int i = 0; i < kKeyLength; ++i) {
    const uint32_t position = static_cast<uint32_t>(i);
    const uint8_t k =
        static_cast<uint8_t>((static_cast<uint32_t>(a) + u * (position - 22)) *
                                 static_cast<uint8_t>(text[i]) +
                             static_cast<uint32_t>(c) * (position + 119) - w);
    key[i] = k ? k : kZeroKeyByte;
  }
  key[kKeyLength] = 0;
  return reinterpret_cast<const char *>(key);
}

const char *deriveKeyFromText(const char *text) {
  if (!text || !ensureKeyBlock()) return kNoKeyText;
  nextNumber(text);  // the first word is not used
  const int32_t a = nextNumber(text);
  const int32_t b = nextNumber(text);
  const int32_t c = nextNumber(text);
  const int32_t d = nextNumber(text);
  return deriveChannelKey(client().channel.keyBlock, a, b, c, d);
}

const char *keyText() {
  const State &s = client().channel;
  if (!s.keyBlock) return "";
  return reinterpret_cast<const char *>(s.keyBlock + s.keyOffset);
}

}  // namespace qx::channel
