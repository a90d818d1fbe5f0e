// Packet framing: the 'E' (scrambled, check value) and 'P' (plain, channel
// token) packets in both directions, the token announcement, the traffic
// counters and the out-of-band route.
#include <cstring>

#include "channel/channel.h"
#include "channel/channel_state.h"
#include "common/protocol.h"
#include "common/text.h"
#include "host/client_state.h"
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
// Master-server packets that arrive on the client's socket. The master
// subsystem fills these in.

void masterListReply(QxGameInterface *, const uint8_t *, int) {}
void contentTransferRecord(QxGameInterface *, const uint8_t *, int) {}

// ---- byte order ----------------------------------------------------------

uint32_t readBigEndian32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

uint32_t readLittleEndian32(const uint8_t *p) {
  return static_cast<uint32_t>(p[3]) << 24 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[1]) << 8 | p[0];
}

void writeBigEndian32(uint8_t *p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 24);
  p[1] = static_cast<uint8_t>(v >> 16);
  p[2] = static_cast<uint8_t>(v >> 8);
  p[3] = static_cast<uint8_t>(v);
}

void writeLittleEndian32(uint8_t *p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

// One term of the check value; unsigned arithmetic gives the
// two's-complement wrap-around without overflow.
uint32_t checkTerm(uint8_t byte, int index) {
  const int32_t b = static_cast<int8_t>(byte);
  return static_cast<uint32_t>(b + protocol::kCheckBias) *
             static_cast<uint32_t>(protocol::kCheckFactor) +
         static_cast<uint32_t>(index);
}

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
  const char *key = keyText();
  const int keyLength = static_cast<int>(std::strlen(key));
  uint32_t check = static_cast<uint32_t>(protocol::kCheckStart);
  const uint8_t *body = data + kScrambledHeaderSize;
  for (int i = 0; i < n; ++i) {
    uint8_t b = body[i];
    if (keyLength) b ^= static_cast<uint8_t>(key[i % keyLength]);
    s.received[i] = b;
    check += checkTerm(b, i);
  }
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
                   const char *key, int keyLength) {
  packet[3] = static_cast<uint8_t>(protocol::kTypeScrambled);
  uint8_t *body = packet + kScrambledHeaderSize;
  uint32_t check = static_cast<uint32_t>(protocol::kCheckStart);
  for (int i = 0; i < length; ++i) {
    check += checkTerm(message[i], i);
    body[i] = message[i] ^ static_cast<uint8_t>(key[i % keyLength]);
  }
  writeBigEndian32(packet + 4, check);
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
  uint32_t check = static_cast<uint32_t>(protocol::kCheckStart);
  for (int i = 0; i < length; ++i) check += checkTerm(message[i], i);
  return static_cast<int32_t>(check);
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
  // One fixed packet buffer, zero-filled, header first.
  uint8_t packet[protocol::kPacketBufferSize] = {};
  std::memcpy(packet, protocol::kPacketMagic, sizeof protocol::kPacketMagic);
  const char *key = keyText();
  const int keyLength = static_cast<int>(std::strlen(key));
  const bool announcement =
      length > 0 && message[0] == protocol::kCodeTokenAnnouncement;
  const int packetLength =
      keyLength && !announcement
          ? frameScrambled(packet, message, length, key, keyLength)
          : framePlain(packet, message, length);
  startCounting();
  c.channel.bytesOut += static_cast<uint32_t>(packetLength);
  handToHost(gi, packet, packetLength);
  ++c.channel.packetsSentThisFrame;
}

}  // namespace qx::channel
