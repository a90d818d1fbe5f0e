// Packet framing: the 'E' (scrambled, check value) and 'P' (plain, channel
// token) packets in both directions, the token announcement, the traffic
// counters and the out-of-band route.
#include <cstring>

#include "channel/byte_order.h"
#include "channel/channel.h"
#include "channel/channel_state.h"
#include "common/protocol.h"
#include "common/text.h"
#include "host/client_state.h"
#include "master/content_transfer.h"
#include "master/master_list.h"
#include "platform/platform.h"

namespace qx::channel {

namespace {

using protocol::kHeaderSize;
using protocol::kPlainHeaderSize;
using protocol::kScrambledHeaderSize;

// The 30-second server tasks run at the next frame once a server link is
// established: their last run moves back by more than their period.
constexpr uint32_t kServerTaskLead = 31000;

// ---- handlers of other subsystems --------------------------------------
//
// Master-server packets that arrive on the client's socket.

void masterListReply(QxGameInterface *gi, const uint8_t *body, int length) {
  master::masterListReply(gi, body, length);
}
void contentTransferRecord(QxGameInterface *gi, const uint8_t *body,
                           int length) {
  master::contentTransfer(gi, body, length);
}

// The check value adds (b + 17) * 2343531 + i for each signed byte b at
// index i, with two's-complement wrap-around. Summed in closed form:
// start + 2343531 * (sum of b + 17 n) + n (n - 1) / 2, all modulo 2^32,
// which leaves a plain byte sum in the loops.
uint32_t checkFromSum(int32_t byteSum, int length) {
  const uint32_t n = static_cast<uint32_t>(length);
  const uint32_t weights = static_cast<uint32_t>(byteSum) +
                           static_cast<uint32_t>(protocol::kCheckBias) * n;
  const uint32_t indices =
      static_cast<uint32_t>(uint64_t{n} * (n == 0 ? 0 : n - 1) / 2);
  return static_cast<uint32_t>(protocol::kCheckStart) +
         static_cast<uint32_t>(protocol::kCheckFactor) * weights + indices;
}

// The key repeated over the longest message; null when there is no key.
const uint8_t *keyStream() {
  State &s = client().channel;
  const char *key = keyText();
  if (!key[0]) return nullptr;
  if (std::strncmp(key, s.keyStreamOf, sizeof s.keyStreamOf) != 0) {
    const size_t keyLength = boundedLength(key, protocol::kKeyLength);
    copyText(s.keyStreamOf, key, protocol::kKeyLength);
    for (size_t i = 0; i < sizeof s.keyStream; ++i)
      s.keyStream[i] = static_cast<uint8_t>(key[i % keyLength]);
  }
  return s.keyStream;
}

// The word-at-a-time loop of xorAndSum (below).
template <bool kPlainIsInput>
struct XorSum {
  static constexpr uint64_t kBias = 0x8080808080808080u;
  static constexpr uint64_t kEvenBytes = 0x00FF00FF00FF00FFu;

  // One word: XOR, store, and the biased plain bytes added to 16-bit lanes.
  static uint64_t word(uint8_t *__restrict out, const uint8_t *__restrict in,
                       const uint8_t *__restrict stream) {
    uint64_t input, key;
    std::memcpy(&input, in, 8);
    std::memcpy(&key, stream, 8);
    const uint64_t mixed = input ^ key;
    std::memcpy(out, &mixed, 8);
    const uint64_t biased = (kPlainIsInput ? input : mixed) ^ kBias;
    return (biased & kEvenBytes) + ((biased >> 8) & kEvenBytes);
  }

  static uint64_t fold(uint64_t lanes) {
    constexpr uint64_t kEvenWords = 0x0000FFFF0000FFFFu;
    lanes = (lanes & kEvenWords) + ((lanes >> 16) & kEvenWords);
    return (lanes & 0xFFFFFFFFu) + (lanes >> 32);
  }

  static int32_t run(uint8_t *__restrict out, const uint8_t *__restrict in,
                     const uint8_t *__restrict stream, int length) {
    constexpr int kBlock = 16 * 32;  // 32 steps of 510 per lane still fit
    uint64_t total = 0;
    int i = 0;
    while (length - i >= 16) {
      uint64_t a = 0, b = 0;  // two chains, so the words overlap in time
      const int end = length - i >= kBlock ? i + kBlock : length - 15;
      for (; i < end; i += 16) {
        a += word(out + i, in + i, stream + i);
        b += word(out + i + 8, in + i + 8, stream + i + 8);
      }
      total += fold(a) + fold(b);
    }
    for (; i < length; ++i) {
      out[i] = in[i] ^ stream[i];
      total += (kPlainIsInput ? in[i] : out[i]) ^ 0x80u;
    }
    return static_cast<int32_t>(total) - 128 * length;
  }
};

// XORs length bytes of in with stream into out and returns the sum of the
// plain bytes as signed values: the input's when sending, the output's when
// receiving. Works on eight bytes at a time: a byte b ^ 0x80 is the signed
// value + 128, and 16-bit lanes sum those without carries between bytes.
template <bool kPlainIsInput>
int32_t xorAndSum(uint8_t *out, const uint8_t *in, const uint8_t *stream,
                  int length) {
  return XorSum<kPlainIsInput>::run(out, in, stream, length);
}

// Key stream of a channel without key: XOR leaves the bytes alone.
constexpr uint8_t kNoKey[kMaxMessage] = {};

void startCounting() {
  State &s = client().channel;
  if (s.countingSince == 0) s.countingSince = platform::tickCount();
}

// ---- incoming ------------------------------------------------------------

int receiveScrambled(QxGameInterface *gi, int32_t length, const uint8_t *data) {
  ClientState &c = client();
  State &s = c.channel;
  if (length < kScrambledHeaderSize) return 0;
  if (!s.keyBlock) {
    if (!ensureKeyBlock()) return 0;
    deriveChannelKey(s.keyBlock, gi->agentParams[0], gi->agentParams[1],
                     gi->agentParams[2], gi->agentParams[3]);
  }
  const int n = data[8] << 8 | data[9];
  if (length - kScrambledHeaderSize != n || n > kMaxMessage) return 0;
  const uint8_t *stream = keyStream();
  const int32_t sum = xorAndSum<false>(s.received, data + kScrambledHeaderSize,
                                       stream ? stream : kNoKey, n);
  const uint32_t check = checkFromSum(sum, n);
  if (check != readBigEndian32(data + 4)) return 0;
  s.received[n] = 0;
  if (!s.linkEstablished) {
    c.frame.mark30 = platform::tickCount() - kServerTaskLead;
    s.linkEstablished = 1;
  }
  return dispatchMessage(gi, n, s.received);
}

// 'J', the channel token (little-endian), the player GUID and its zero.
void announceToken(QxGameInterface *gi) {
  State &s = client().channel;
  uint8_t message[1 + 4 + kGuidMax + 1];
  message[0] = static_cast<uint8_t>(protocol::kCodeTokenAnnouncement);
  writeLittleEndian32(message + 1, s.token);
  const size_t guid = boundedLength(s.playerGuid, kGuidMax);
  std::memcpy(message + 5, s.playerGuid, guid);
  message[5 + guid] = 0;
  sendMessage(gi, message, static_cast<int>(guid) + 6);
}

int receivePlain(QxGameInterface *gi, int32_t length, const uint8_t *data) {
  State &s = client().channel;
  if (length < kPlainHeaderSize) return 0;
  ensureToken();
  if (readLittleEndian32(data + 4) != s.token) {
    announceToken(gi);
    return 0;
  }
  const int n = length - kPlainHeaderSize;
  if (n > kMaxMessage) return 0;
  std::memcpy(s.received, data + kPlainHeaderSize, static_cast<size_t>(n));
  s.received[n] = 0;
  return dispatchMessage(gi, n, s.received);
}

// ---- outgoing ------------------------------------------------------------

int frameScrambled(uint8_t *packet, const uint8_t *message, int length,
                   const uint8_t *stream) {
  packet[3] = static_cast<uint8_t>(protocol::kTypeScrambled);
  const int32_t sum =
      xorAndSum<true>(packet + kScrambledHeaderSize, message, stream, length);
  writeBigEndian32(packet + 4, checkFromSum(sum, length));
  packet[8] = static_cast<uint8_t>(length >> 8);
  packet[9] = static_cast<uint8_t>(length);
  return length + kScrambledHeaderSize;
}

int framePlain(uint8_t *packet, const uint8_t *message, int length) {
  packet[3] = static_cast<uint8_t>(protocol::kTypePlain);
  writeLittleEndian32(packet + 4, client().channel.token);
  if (length > 0)
    std::memcpy(packet + kPlainHeaderSize, message,
                static_cast<size_t>(length));
  return length + kPlainHeaderSize;
}

void handToHost(QxGameInterface *gi, const uint8_t *packet, int length) {
  ClientState &c = client();
  if (c.settings.forceOob && c.frame.serverHost[0] && c.frame.serverPort &&
      gi->sendOob)
    gi->sendOob(c.frame.serverHost, c.frame.serverPort, length, packet);
  else if (gi->sendToServer)
    gi->sendToServer(length, packet);
}

}  // namespace

int32_t checkValue(const uint8_t *message, int length) {
  int32_t sum = 0;
  for (int i = 0; i < length; ++i) sum += static_cast<int8_t>(message[i]);
  return static_cast<int32_t>(checkFromSum(sum, length));
}

int receivePacket(QxGameInterface *gi, int32_t length, const uint8_t *data) {
  ClientState &c = client();
  if (!c.host.enabled || !gi || !data || length < 0) return 0;
  startCounting();
  c.channel.bytesIn += static_cast<uint32_t>(length);
  if (length < kHeaderSize) return 0;
  switch (data[3]) {
    case protocol::kTypeMasterList:
      masterListReply(gi, data + kHeaderSize, length - kHeaderSize);
      return 1;
    case protocol::kTypeContent:
      contentTransferRecord(gi, data + kHeaderSize, length - kHeaderSize);
      return 1;
    case protocol::kTypeScrambled:
      return receiveScrambled(gi, length, data);
    case protocol::kTypePlain:
      return receivePlain(gi, length, data);
    default:
      return 1;
  }
}

void sendMessage(QxGameInterface *gi, const uint8_t *message, int length) {
  ClientState &c = client();
  if (!gi || length < 0) return;
  if (length > kMaxMessage) length = kMaxMessage;
  // One fixed packet buffer, header first; only the header and the
  // message bytes are written and handed on.
  uint8_t packet[protocol::kPacketBufferSize];
  std::memcpy(packet, protocol::kPacketMagic, sizeof protocol::kPacketMagic);
  const uint8_t *stream = keyStream();
  const bool announcement =
      length > 0 && message[0] == protocol::kCodeTokenAnnouncement;
  const int packetLength = stream && !announcement
                               ? frameScrambled(packet, message, length, stream)
                               : framePlain(packet, message, length);
  startCounting();
  c.channel.bytesOut += static_cast<uint32_t>(packetLength);
  handToHost(gi, packet, packetLength);
  ++c.channel.packetsSentThisFrame;
}

}  // namespace qx::channel
