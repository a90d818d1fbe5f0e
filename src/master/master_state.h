// State of the master list, master queries and the web update.
#pragma once

#include <cstdint>

#include "common/protocol.h"
#include "console/record_list.h"
#include "platform/platform.h"

namespace qx::master {

// Record of "FLFC": one content transfer; buffer is owned by the record.
struct ContentTransfer {
  uint32_t identifier;  // 0 marks a free record
  uint32_t finalSize;
  uint32_t transferSize;
  uint32_t chunkCount;
  uint32_t chunksReceived;  // distinct chunks, marked in bits after the data
  uint32_t announcedAt;
  uint8_t digest[16];
  char name[256];
  int32_t state;  // -1 announced, 1 last byte received
  uint8_t *buffer;
};

// Record of "FLHN": the name cache.
struct HostName {
  char host[256];
  char address[16];
  uint32_t resolved;
};

// ---- the master list ---------------------------------------------------

constexpr int kMaxEntries = 4;
constexpr int kMaxMirrors = 2;
constexpr int kMaxModules = 8;  // records per module table
constexpr int kHostSize = 128;  // host texts: 127 characters
constexpr int kAddressSize = 16;

// Module tables of an entry: one per module kind ('A' agent, 'C' client,
// 'S' third kind) and platform letter ('W', 'L', 'K', any other).
constexpr int kModuleKinds = 3;
constexpr int kPlatformSlots = 4;

// A module version that may be installed, with the size and the digests of
// the module file (MD5 of the whole file, and of the file without its first
// byte, as 32 hexadecimal digits).
struct ModuleRecord {
  int32_t version;
  uint32_t size;
  char digest1[33];
  char digest2[33];
};

struct ModuleTable {
  int32_t count;  // 0..8
  ModuleRecord records[kMaxModules];
};

struct Mirror {
  char host[kHostSize];
  int32_t port;
  char address[kAddressSize];
};

// One master server. kind 0 is an empty entry and kind 1 one that is never
// queried; counter counts queries sent without a reply.
struct Entry {
  int32_t kind;
  int32_t port;
  int32_t counter;
  char host[kHostSize];  // upper-case
  char address[kAddressSize];
  ModuleTable tables[kModuleKinds][kPlatformSlots];
  int32_t mirrorCount;  // 0..2
  Mirror mirrors[kMaxMirrors];
};

// The web update: one HTTP/1.0 exchange with the default web host, run as
// a small state machine over work frames so that no call waits on it.
enum class WebPhase : int32_t {
  Idle = 0,    // no exchange; the socket is closed
  Connecting,  // non-blocking connect started
  Sending,     // connected; request being sent
  Receiving,   // reply being read until the server closes or time is up
};

constexpr int kWebRequestSize = 4097;  // request text, 4096 characters
constexpr int kWebReplySize = 4097;    // bytes of the reply kept
constexpr int kWebErrorSize = 251;     // status line text, 250 characters

struct WebUpdate {
  WebPhase phase;
  platform::Socket socket;         // open while phase is not Idle
  uint32_t lastAttempt;            // tick; 0 before the first attempt
  uint32_t exchangeStart;          // tick the connect was started
  char hostAddress[kAddressSize];  // dotted address of the default web host
  char request[kWebRequestSize];
  int32_t requestLength;
  int32_t requestSent;
  uint8_t reply[kWebReplySize + 1];  // room for a terminator
  int32_t replyLength;
};

struct State {
  Entry entries[kMaxEntries];
  int32_t entryCount;

  console::RecordList transfers;  // "FLFC"
  console::RecordList hostNames;  // "FLHN"
  uint32_t lastMasterQuery;       // tick
  int32_t queryRotation;          // index of the entry queried last (0..3)

  // Entries parsed from a reply, a transfer or an update file, before they
  // are merged into the list.
  Entry parsed[kMaxEntries];
  int32_t parsedCount;
  uint32_t lastUnchangedNotice;  // tick of the last "unchanged" notice

  // The '1' reply being handled, unscrambled and terminated.
  char replyText[protocol::kMasterReplyMax + 1];
  // The head of the 'C' body being handled, unscrambled: a chunk needs at
  // most its header and 1024 bytes, an announcement its header and a name.
  uint8_t
      contentBody[protocol::kContentHeaderSize + protocol::kContentChunkSize];

  // Address of qx_LogAddr, resolved through the name cache.
  char logAddress[kAddressSize];

  WebUpdate web;
};

// Frees the buffers the "FLFC" records own (called by the list's destroy).
void releaseTransfers(console::RecordList &list);

// Ends a web exchange: closes its socket when one is open and leaves it
// Idle.
void closeWebExchange(WebUpdate &web);

// Closes what the master state holds open (the web update's socket); run at
// unload.
void releaseMasterState(State &state);

}  // namespace qx::master
