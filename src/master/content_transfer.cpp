#include "master/content_transfer.h"

#include <zlib.h>

#include <cstdlib>
#include <cstring>

#include "common/heap.h"
#include "common/md5.h"
#include "common/paths.h"
#include "common/protocol.h"
#include "common/text.h"
#include "common/ticks.h"
#include "host/client_state.h"
#include "log/log.h"
#include "master/master_list.h"
#include "regnames/regnames.h"

namespace qx::master {

namespace {

constexpr const char *kSource = "Content Transfer";
constexpr const char *kRefusedName =
    "Content Transfer Refused - Unsafe File Name: %s";
constexpr const char *kRefusedSize =
    "Content Transfer Refused - Too Large: %s (%lu bytes)";
constexpr const char *kRefusedEmpty = "Content Transfer Refused - Empty: %s";
constexpr const char *kRefusedBusy =
    "Content Transfer Refused - Too Many Transfers: %s";
constexpr const char *kStored = "Content Transfer Stored: %s";
constexpr const char *kNotStored = "Content Transfer Not Stored: %s";
constexpr const char *kBadDigest = "Content Transfer Failed (MD5): %s";
constexpr const char *kBadInflate = "Content Transfer Failed (Inflate): %s";
constexpr const char *kDropped = "Content Transfer Dropped (Incomplete): %s";

constexpr int kHeader = protocol::kContentHeaderSize;
constexpr int kChunk = protocol::kContentChunkSize;
constexpr int kAnnounce = protocol::kContentAnnounceSize;
constexpr int kNameMax = 255;

uint32_t bigEndian32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
         static_cast<uint32_t>(p[2]) << 8 | p[3];
}

bool hasTag(const uint8_t *body, const char (&tag)[4]) {
  return std::memcmp(body + 4, tag, 4) == 0;
}

ContentTransfer *findTransfer(uint32_t identifier) {
  console::RecordList &list = client().master.transfers;
  for (int32_t i = 0; i < list.count; ++i) {
    ContentTransfer *t = console::listRecord<ContentTransfer>(list, i);
    if (t->identifier == identifier) return t;
  }
  return nullptr;
}

void release(ContentTransfer &t) {
  heap::release(t.buffer);
  std::memset(&t, 0, sizeof t);
  t.state = -1;
}

bool isMasterListName(const char *name) {
  return std::strstr(name, protocol::kMasterListMarker) != nullptr;
}

// A stored file may not take the place of code the game loads or of the
// client's own settings and state: a master's file would otherwise become
// the agent, rewrite the configuration the client runs at start-up,
// replace the player's registered names (the file qx_RegNameFn names) or
// put names of its choosing into them through the import file, or become
// the local update read as trusted master-list text at the next start.
// Modules reach the client only as update packages, whose digests it checks.
// Every name is compared as Windows reads it.
bool isClientFileName(const char *name) {
  static constexpr const char *kEndings[] = {".dll", ".so", ".exe", ".cfg"};
  static constexpr const char *kNames[] = {
      protocol::kMasterListFile, log::kLogFileName, regnames::kImportFileName};
  const size_t length = std::strlen(name);
  for (const char *ending : kEndings) {
    const size_t n = std::strlen(ending);
    if (length >= n && sameFileName(name + length - n, ending)) return true;
  }
  for (const char *own : kNames)
    if (sameFileName(name, own)) return true;
  return isLocalUpdateName(name) ||
         sameFileName(name, client().settings.regNameFn);
}

// Plain names only: a name that passes the name rule holds no trailing
// dots or blanks, so its ending is the one Windows sees.
bool isStorableName(const char *name) {
  return isPlainFileName(name) && !isClientFileName(name);
}

// ---- chunks and announcements ----------------------------------------------

// The buffer holds the transferred bytes, a byte for a terminator, and one
// bit per chunk that tells whether the chunk has arrived, so that a chunk
// that arrives twice (UDP may repeat a datagram) counts once.
uint8_t *chunkBits(const ContentTransfer &t) {
  return t.buffer + t.transferSize + 1;
}

// A chunk holds up to 1024 bytes from offset index * 1024. Bytes past the
// transfer's end are cut; a chunk that still holds more than 1024 bytes, or
// none, and a chunk index past the chunk count are discarded.
void storeChunk(ContentTransfer &t, const uint8_t *body, int length) {
  const uint32_t index = static_cast<uint32_t>(body[9]) << 16 |
                         static_cast<uint32_t>(body[10]) << 8 | body[11];
  if (index >= t.chunkCount) return;
  const uint64_t offset = static_cast<uint64_t>(index) * kChunk;
  uint64_t size = static_cast<uint64_t>(length - kHeader);
  if (offset + size > t.transferSize) size = t.transferSize - offset;
  if (size < 1 || size > static_cast<uint64_t>(kChunk)) return;
  if (!t.buffer) {
    t.buffer = static_cast<uint8_t *>(
        heap::allocateZeroed(t.transferSize + 1 + (t.chunkCount + 7) / 8, 1));
    if (!t.buffer) return;
  }
  uint8_t &bits = chunkBits(t)[index / 8];
  const uint8_t bit = static_cast<uint8_t>(1u << (index % 8));
  if (!(bits & bit)) {
    bits = static_cast<uint8_t>(bits | bit);
    ++t.chunksReceived;
  }
  std::memcpy(t.buffer + offset, body + kHeader, static_cast<size_t>(size));
  if (offset + size == t.transferSize) t.state = 1;
}

// The record a new transfer may take: the first free one; when none is free
// and the list is full, the transfer announced longest ago, if that was at
// least kTransferDropDelay ago. A transfer whose last byte never arrives
// keeps its record, so without this a master that announces transfers and
// never finishes them would hold every record for good.
ContentTransfer *reusableRecord(uint32_t now) {
  console::RecordList &list = client().master.transfers;
  ContentTransfer *oldest = nullptr;
  for (int32_t i = 0; i < list.count; ++i) {
    ContentTransfer *t = console::listRecord<ContentTransfer>(list, i);
    if (t->identifier == 0) return t;
    if (!oldest ||
        tickDiff(now, t->announcedAt) > tickDiff(now, oldest->announcedAt))
      oldest = t;
  }
  if (list.count < kMaxTransfers || !oldest ||
      tickDiff(now, oldest->announcedAt) < kTransferDropDelay)
    return nullptr;
  return oldest;
}

void announce(const uint8_t *body, int length, uint32_t identifier) {
  if (length < kAnnounce + 1) return;
  ContentTransfer t{};
  t.identifier = identifier;
  t.finalSize = bigEndian32(body + 8);
  t.transferSize = bigEndian32(body + 12);
  std::memcpy(t.digest, body + 16, sizeof t.digest);
  const int nameRoom =
      length - kAnnounce < kNameMax ? length - kAnnounce : kNameMax;
  copyText(t.name, reinterpret_cast<const char *>(body + kAnnounce),
           static_cast<size_t>(nameRoom));
  if (!isMasterListName(t.name) && !isStorableName(t.name)) {
    log::printMessage(1, kRefusedName, t.name);
    return;
  }
  // No chunk can carry an empty transfer, so it would never end.
  if (t.transferSize == 0) {
    log::printMessage(1, kRefusedEmpty, t.name);
    return;
  }
  if (t.transferSize > protocol::kContentMaxSize ||
      t.finalSize > protocol::kContentMaxSize) {
    const uint32_t larger =
        t.transferSize > t.finalSize ? t.transferSize : t.finalSize;
    log::printMessage(1, kRefusedSize, t.name,
                      static_cast<unsigned long>(larger));
    return;
  }
  t.chunkCount = (t.transferSize + kChunk - 1) / kChunk;
  t.state = -1;
  t.announcedAt = platform::tickCount();
  if (ContentTransfer *slot = reusableRecord(t.announcedAt)) {
    heap::release(slot->buffer);
    *slot = t;
    return;
  }
  console::RecordList &list = client().master.transfers;
  if (list.count >= kMaxTransfers || !console::listAppend(list, &t))
    log::printMessage(1, kRefusedBusy, t.name);
}

// ---- completion ------------------------------------------------------------

// The content of a complete transfer: the transferred bytes, or those
// inflated when the sizes differ. *owned is set when the content lives in a
// buffer of its own. Null when the digest or the inflate fails.
uint8_t *content(ContentTransfer &t, uint32_t *length, bool *owned) {
  uint8_t digest[16];
  md5(t.buffer, t.transferSize, 0, digest);
  *owned = false;
  if (std::memcmp(digest, t.digest, sizeof digest) != 0) {
    log::printMessage(1, kBadDigest, t.name);
    return nullptr;
  }
  if (t.finalSize == t.transferSize) {
    *length = t.transferSize;
    return t.buffer;
  }
  uint8_t *out = static_cast<uint8_t *>(heap::allocate(t.finalSize + 1));
  uLongf outLength = t.finalSize;
  if (!out || uncompress(out, &outLength, t.buffer, t.transferSize) != Z_OK) {
    heap::release(out);
    log::printMessage(1, kBadInflate, t.name);
    return nullptr;
  }
  *owned = true;
  *length = static_cast<uint32_t>(outLength);
  return out;
}

// The notices of a master-list transfer name it, as those of a stored
// file do: "Master List Updated (Content Transfer <name>)".
void mergeListText(QxGameInterface *gi, const ContentTransfer &t, uint8_t *data,
                   uint32_t length) {
  State &m = client().master;
  char source[sizeof t.name + 32];
  formatText(source, sizeof source, "%s %s", kSource, t.name);
  data[length] = '\0';
  char *text = reinterpret_cast<char *>(data);
  if (const char *error =
          parseMasterList(gi, text, static_cast<int32_t>(length) + 1, m.parsed,
                          &m.parsedCount)) {
    log::printMessage(1, "%s", error);
    return;
  }
  noteMergeOutcome(mergeParsed(gi), source, false);
}

void storeFile(const ContentTransfer &t, const uint8_t *data, uint32_t length) {
  char path[kPathCapacity];
  const bool stored = isStorableName(t.name) && homeFilePath(path, t.name) &&
                      replaceFile(path, data, length);
  log::printMessage(1, stored ? kStored : kNotStored, t.name);
}

void complete(QxGameInterface *gi, ContentTransfer &t) {
  uint32_t length = 0;
  bool owned = false;
  if (uint8_t *data = content(t, &length, &owned)) {
    if (isMasterListName(t.name))
      mergeListText(gi, t, data, length);
    else
      storeFile(t, data, length);
    if (owned) heap::release(data);
  }
  release(t);
}

}  // namespace

void contentTransfer(QxGameInterface *, const uint8_t *body, int length) {
  if (!body || length < kHeader) return;
  State &m = client().master;
  // Unscramble only the head that is used: bytes 4 onward of the body are
  // XOR-ed with the nonce from position 8 on.
  const int used = length < static_cast<int>(sizeof m.contentBody)
                       ? length
                       : static_cast<int>(sizeof m.contentBody);
  uint8_t *b = m.contentBody;
  std::memcpy(b, body, static_cast<size_t>(used));
  const char *nonce = client().host.nonce;
  const size_t nonceLength = std::strlen(nonce);
  if (nonceLength)
    for (int k = 4; k < used; ++k)
      b[k] ^= static_cast<uint8_t>(
          nonce[(static_cast<size_t>(k) + protocol::kContentNonceOffset) %
                nonceLength]);
  const uint32_t identifier = bigEndian32(b);
  if (identifier == 0) return;  // 0 marks a free record
  ContentTransfer *t = findTransfer(identifier);
  if (hasTag(b, protocol::kContentChunkTag)) {
    if (t) storeChunk(*t, b, length);
  } else if (hasTag(b, protocol::kContentAnnounceTag)) {
    if (!t) announce(b, used, identifier);
  }
}

void finishTransfers(QxGameInterface *gi, uint32_t now) {
  console::RecordList &list = client().master.transfers;
  for (int32_t i = 0; i < list.count; ++i) {
    ContentTransfer &t = *console::listRecord<ContentTransfer>(list, i);
    if (t.state == -1 || !t.buffer) continue;
    if (t.state == 1 && t.chunksReceived >= t.chunkCount) {
      complete(gi, t);
    } else if (t.announcedAt == 0 ||
               tickDiff(now, t.announcedAt) >= kTransferDropDelay) {
      log::printMessage(1, kDropped, t.name);
      release(t);
    }
  }
}

}  // namespace qx::master
