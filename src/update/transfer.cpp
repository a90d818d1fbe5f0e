#include "update/transfer.h"

#include <cstring>

#include "channel/channel.h"
#include "common/heap.h"
#include "common/md5.h"
#include "common/numbers.h"
#include "common/paths.h"
#include "common/protocol.h"
#include "common/text.h"
#include "common/ticks.h"
#include "console/argument_list.h"
#include "host/client_state.h"
#include "log/log.h"
#include "platform/platform.h"

namespace qx::update {

namespace {

namespace p = protocol;

constexpr uint32_t kResendInterval = 3000;  // ms between resend requests
constexpr uint32_t kStaleAfter = 20000;     // ms without a chunk
constexpr size_t kEndingLength = 3;         // "htm"

Transfer &current() { return client().update.transfer; }

bool endsWithNoCase(const char *text, const char *ending, size_t n) {
  const size_t length = std::strlen(text);
  return length >= n && compareNoCaseN(text + length - n, ending, n) == 0;
}

// The transfer is over (complete, refused or replaced); the letter of its
// name stays for the "-1" requests that stray chunks may draw.
void endTransfer(Transfer &t) {
  heap::release(t.buffer);
  t.buffer = nullptr;
  t.path[0] = '\0';
}

// "OUPD", the transfer letter and the chunk index (or -1), unsealed.
void requestChunks(QxGameInterface *gi, Transfer &t, int32_t chunk,
                   uint32_t now) {
  char text[32];
  const char letter = t.letter ? t.letter : p::kUnknownTransferLetter;
  const size_t n = formatText(text, sizeof text, p::kResendFormat,
                              p::kResendCode, letter, static_cast<int>(chunk));
  channel::sendMessage(gi, reinterpret_cast<const uint8_t *>(text),
                       static_cast<int>(n) + 1);
  t.lastRequest = now ? now : 1;  // 0 stands for "never"
}

bool resendDue(const Transfer &t, uint32_t now) {
  return t.lastRequest == 0 || tickDiff(now, t.lastRequest) > kResendInterval;
}

void writeHomeFile(const char *name, const uint8_t *data, uint32_t size) {
  char path[kPathCapacity];
  // A file that cannot be written is skipped without a message.
  if (homeFilePath(path, name)) replaceFile(path, data, size);
}

// The name is the server's choice: the name the path holds (as cut to
// the path's length) must stay one file inside htm\, never be read as the
// local update (master-list text the client trusts), and the path must have
// room in the home directory, so that a file that could never be written is
// refused before any of it arrives.
bool isReceivablePath(const char *path) {
  const char *name = path + std::strlen(p::kTransferFolder) + 1;
  char homePath[kPathCapacity];
  return isPlainFileName(name) && !isLocalUpdateName(name) &&
         endsWithNoCase(path, p::kTransferEnding, kEndingLength) &&
         homeFilePath(homePath, path);
}

void completeTransfer(Transfer &t) {
  uint8_t actual[16], expected[16];
  md5(t.buffer, t.size, 0, actual);
  if (md5FromText(t.digest, expected) &&
      std::memcmp(actual, expected, sizeof actual) == 0) {
    writeHomeFile(t.path, t.buffer, t.size);
  } else {
    log::printMessage(1, "Corrupted File Received: %s", t.path);
    writeHomeFile(p::kCorruptFileName, t.buffer, t.size);
  }
  endTransfer(t);
}

}  // namespace

void announceTransfer(QxGameInterface *, int length, const uint8_t *text) {
  Transfer &t = current();
  endTransfer(t);
  if (!text || length <= 0) return;
  char line[p::kMaxMessage + 1];
  copyText(
      line, reinterpret_cast<const char *>(text),
      static_cast<size_t>(length < p::kMaxMessage ? length : p::kMaxMessage));
  console::ArgumentList words;
  console::split(words, line, true);
  const char *digest = console::arg(words, 1);
  const char *name = console::arg(words, 2);
  if (std::strlen(digest) != p::kTransferDigestLength || !name[0]) return;
  const uint32_t size = readDecimal(line);
  if (size == 0) return;
  copyText(t.digest, digest, p::kTransferDigestLength);
  formatText(t.path, sizeof t.path, "%s\\%s", p::kTransferFolder, name);
  // The transfer letter: the second letter of the name ('A' for an agent
  // package "wa001200.htm", 'C' for a client package).
  t.letter = upperAscii(name[1]);
  if (!isReceivablePath(t.path)) {
    t.path[0] = '\0';
    return;
  }
  t.size = size;
  t.lastChunk = -1;
  t.lastActivity = platform::tickCount();
  if (size > p::kTransferSizeMax) return;  // as if the allocation failed
  t.buffer = static_cast<uint8_t *>(heap::allocate(size));
  // Short chunks may leave gaps; they hold zeros, never stale heap bytes.
  if (t.buffer) std::memset(t.buffer, 0, size);
}

void receiveChunk(QxGameInterface *gi, int length, const uint8_t *bytes) {
  Transfer &t = current();
  const uint32_t now = platform::tickCount();
  t.lastActivity = now;
  if (!t.buffer) {  // a buffer always has its path
    if (t.lastRequest == 0 ||
        (tickDiff(now, t.lastRequest) > kResendInterval && t.path[0]))
      requestChunks(gi, t, p::kResendNoTransfer, now);
    return;
  }
  if (!bytes || length < p::kChunkHeaderSize) return;
  const int32_t k = static_cast<int8_t>(bytes[0]) * 256 + bytes[1];
  if (k < 0) return;  // it would land before the buffer
  if (k != 0 && k > t.lastChunk + 1) {
    if (resendDue(t, now)) requestChunks(gi, t, t.lastChunk + 1, now);
    return;
  }
  const uint32_t offset = static_cast<uint32_t>(k) * p::kChunkSize;
  if (offset >= t.size) return;  // past the end of the file
  t.lastChunk = k;
  uint32_t n = static_cast<uint32_t>(length - p::kChunkHeaderSize);
  if (n > t.size - offset) n = t.size - offset;
  std::memcpy(t.buffer + offset, bytes + p::kChunkHeaderSize, n);
  if (offset + n < t.size) return;
  completeTransfer(t);
}

void abandonStaleTransfer(uint32_t now) {
  Transfer &t = current();
  if (tickDiff(now, t.lastActivity) < kStaleAfter) return;
  // A path without a buffer (a failed allocation) is forgotten too, and the
  // pacing of requests starts afresh. The letter stays: chunks that still
  // come belong to the transfer just dropped, and the server needs the
  // letter to tell which file to send again.
  const char letter = t.letter;
  releaseTransfer(t);
  t.letter = letter;
}

void releaseTransfer(Transfer &t) {
  heap::release(t.buffer);
  t = Transfer{};
}

}  // namespace qx::update
