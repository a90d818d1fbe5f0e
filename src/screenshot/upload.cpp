// The upload of a server screenshot: a header with the size, the digest,
// the transfer letter and the name, then the PNG in 1 KiB chunks, one a
// second, and the server's restarts.
#include <cstring>

#include "channel/channel.h"
#include "common/protocol.h"
#include "common/text.h"
#include "common/ticks.h"
#include "host/client_state.h"
#include "screenshot/screenshot.h"

namespace qx::screenshot {

namespace {

namespace p = protocol;

constexpr int kLetters = 26;

}  // namespace

void sendTransferHeader(QxGameInterface *gi, Upload &t) {
  State &st = client().screenshot;
  if (t.letter == 0) {
    t.letter = 'A' + static_cast<int32_t>(st.transferCounter % kLetters);
    ++st.transferCounter;
  }
  char message[p::kMaxMessage + 1];
  const uint8_t *d = t.digest;
  const size_t n = formatText(
      message, sizeof message, p::kScreenshotHeaderFormat,
      p::kCodeScreenshotHeader, static_cast<unsigned long>(t.size), d[0], d[1],
      d[2], d[3], d[4], d[5], d[6], d[7], d[8], d[9], d[10], d[11], d[12],
      d[13], d[14], d[15], static_cast<char>(t.letter), t.transferName);
  channel::sendMessage(gi, reinterpret_cast<const uint8_t *>(message),
                       static_cast<int>(n) + 1);
}

bool sendTransferChunk(QxGameInterface *gi, Upload &t, uint32_t now) {
  if (t.chunksSent < 0) t.chunksSent = 0;
  const uint64_t offset = uint64_t(t.chunksSent) * p::kScreenshotChunkSize;
  if (!t.transferName[0] || !t.pngData || offset >= t.size) return true;
  const uint64_t left = t.size - offset;
  const size_t length =
      left < p::kScreenshotChunkSize ? size_t(left) : p::kScreenshotChunkSize;
  uint8_t message[p::kScreenshotChunkHeader + p::kScreenshotChunkSize];
  message[0] = static_cast<uint8_t>(p::kCodeScreenshotChunk);
  message[1] = static_cast<uint8_t>(t.chunksSent >> 8);
  message[2] = static_cast<uint8_t>(t.chunksSent);
  message[3] = static_cast<uint8_t>(t.letter);
  std::memcpy(message + p::kScreenshotChunkHeader, t.pngData + offset, length);
  channel::sendMessage(gi, message,
                       static_cast<int>(length) + p::kScreenshotChunkHeader);
  t.lastChunkTick = now;
  ++t.chunksSent;
  return false;
}

// The pacing comes first, so that the header after a restart to chunk 0
// leaves in the same pass as that chunk instead of in every pass until the
// chunk is due.
void uploadStage(QxGameInterface *gi, Slot &s, uint32_t now) {
  if (isLocal(s) || !s.capture) {
    s.stage = kStageStore;
    return;
  }
  Upload &t = s.transfer;
  if (t.lastChunkTick != 0 &&
      tickDiff(now, t.lastChunkTick) < p::kScreenshotChunkInterval)
    return;
  if (t.chunksSent < 1) {
    t.pngData = s.capture->work;
    t.size = s.capture->pngSize;
    formatText(t.transferName, sizeof t.transferName,
               p::kScreenshotTransferFormat, s.number);
    std::memcpy(t.digest, s.capture->encoder.pngDigest, sizeof t.digest);
    sendTransferHeader(gi, t);
  }
  if (sendTransferChunk(gi, t, now)) s.stage = kStageStore;
}

// Only a slot that is uploading follows a restart, and only once its header
// has given it a letter: a free slot or one whose header is still to go
// (both with the letter 0) would otherwise skip the header or carry the
// count into its next request.
void restartTransfer(uint8_t letter, uint32_t chunk) {
  if (letter == 0) return;
  for (Slot &s : client().screenshot.slots) {
    Upload &t = s.transfer;
    if (s.stage != kStageUpload || t.letter != letter) continue;
    if (++s.restarts < p::kScreenshotRestartLimit)
      t.chunksSent = chunk > 0x7FFFFFFFu ? 0x7FFFFFFF : int32_t(chunk);
  }
}

}  // namespace qx::screenshot
