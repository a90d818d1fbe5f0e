// The client state: one record with static storage duration that holds the
// state of every subsystem. Each subsystem defines its part next to its code;
// this record aggregates them. Free functions reach it through client().
#pragma once

#include <cstdint>

#include "channel/channel_state.h"
#include "common/pending_replace.h"
#include "console/settings_state.h"
#include "cvars/cvars_state.h"
#include "host/call_budget.h"
#include "log/log.h"
#include "master/master_state.h"
#include "platform/platform.h"
#include "qx/game_interface.h"
#include "regnames/regnames_state.h"
#include "scan/scan_state.h"
#include "screenshot/screenshot_state.h"
#include "update/update_state.h"

namespace qx {

namespace host {

constexpr int kEventCapacity = 256;
constexpr int kScratchSize = 2049;
constexpr int kHomeDirSize = 262;
constexpr int kDatagramMax = 2048;

struct Event {
  int32_t code;
  int32_t length;   // bytes of data; 0 without data
  int32_t retries;  // further tries after a refusal
  uint8_t *data;    // own copy, length + 1 bytes, zero after the data
};

struct EventQueue {
  Event records[kEventCapacity];
  int32_t count;  // records 0..count-1 are in use, oldest first
};

struct Frame {
  uint32_t lastFrameTick;  // 0 before the first due call
  int32_t parity;          // -1 at load; 0 and 1 at due calls
  platform::Socket udpSocket;
  uint32_t shutOff;         // non-zero: no more work frames, cb answers 0
  uint32_t shutOffTime;     // tick from which the shut-off counts; 0 never
  uint32_t mark15;          // integrity bookkeeping
  uint32_t mark30;          // last run of the 30-second server tasks
  uint32_t mark67;          // integrity scanning's 67-second timer
  uint32_t lastHostReport;  // tick of the last host report query
  char pendingFile[256];    // left by the integrity scanning, to delete
  uint32_t callCount;       // calls seen by the server-change check
  int32_t gameVersionShown;
  int32_t updateIndexImported;
  char serverAddressText[256];  // the last answer of query 105
  char serverHost[33];
  uint16_t serverPort;
  int32_t connected;  // connected to a game server other than the local one
  CallBudget call;    // the budget of the current ca call

  // Test hook: run inside the guarded work frame to prove fault
  // containment. Never set outside the test suites.
  void (*testFault)();
};

struct State {
  QxGameInterface *gi;  // interface of the current entry call
  int32_t initialised;  // start-up completed
  int32_t enabled;
  char homeDir[kHomeDirSize];  // ends in '\' once set
  char workDir[kHomeDirSize];
  char scratch[kScratchSize];  // never held across an entry call
  QxSecondaryHost *secondary;
  int32_t secondaryTaken;
  // A start-up that fails fails again at every call: its messages are
  // printed at the first failure only, not every frame.
  int32_t badMagicReported;
  int32_t eventFailureReported;
  char nonce[16];        // 8 to 15 printable characters
  int32_t agentVersion;  // <= 0 while no agent has answered
  platform::Random random;
  // Set by the library's entry routine when the process is ending: the
  // other threads are gone and the loader lock is held, so unloading frees
  // only memory and leaves sockets, files and other libraries' objects to
  // the system, which reclaims them.
  int32_t processExiting;
};

}  // namespace host

struct ClientState {
  host::State host;
  host::EventQueue events;
  host::Frame frame;
  console::Settings settings;
  log::State log;
  channel::State channel;
  cvars::State cvars;
  master::State master;
  regnames::State regnames;
  update::State update;
  scan::State scan;
  screenshot::State screenshot;
  PendingReplaces pendingReplaces;
};

ClientState &client();

// Load-time construction and unload: the library's static constructor and
// destructor run these; tests use resetClientState to start from scratch.
void loadClientState();
void unloadClientState();
void resetClientState();

}  // namespace qx
