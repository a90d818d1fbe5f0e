// State of agent and replacement-client module management.
#pragma once

#include <cstdint>

#include "platform/platform.h"

namespace qx::update {

// Distress events are counted, and refused installs reported, at most once
// in this many ms.
constexpr uint32_t kDistressPeriod = 30000;

struct ModuleState {
  // The agent library in use; its handle is also written into the game
  // interface record, where the agent itself finds it.
  platform::Library agent;
  // The integrity exchange has run since the agent was loaded.
  int32_t exchangedThisLoad;

  // What the last control message stated.
  int32_t controlSeen;  // a control message arrived since start-up
  char kind;            // first character of its kind word
  int32_t wantedClient;
  int32_t wantedAgent;
  int32_t firstNumber;        // first host number at the last control message
  int32_t firstNumberKnown;   // 0 once forgotten (or before the first)
  uint32_t lastNumberNotice;  // tick of the last host-number notice; 0 never
  char serverGuid[33];        // "?" when the server assigned none
  int32_t guidLogged;         // the first real GUID has been logged

  // Distress: events counted, the tick of the last one and of the last
  // package request (0: never).
  int32_t distressCount;
  uint32_t lastDistress;
  uint32_t lastPackageRequest;
};

}  // namespace qx::update
