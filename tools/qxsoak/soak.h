// The soak run: a session of simulated play from a seed, driven through the
// entry points ca and cb exactly as a game drives them, against the server
// side of peer/ (game server and master server) and, when it is there,
// nginx for the web update. It checks as it goes and measures every entry
// call and, per simulated minute, what the process holds.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "measure.h"

namespace qxsoak {

// The most an entry call's own work may take.
constexpr uint64_t kCallLimitNs = 1000000;

struct Options {
  int minutes = 60;
  uint32_t seed = 1;
  // Empty: the client linked into this program, on a clock the run moves
  // (an hour passes in minutes). Else the path of the client library,
  // loaded as a game loads it; its clock is the system's, so the session
  // then runs in real time.
  std::string library;
  // Directory of the test agents the project builds
  // (qxtest_agent_1300 and qxtest_agent_1301 with the platform's suffix).
  std::string modules;
  bool web = true;     // web updates against nginx on a loopback address
  bool limits = true;  // apply the time limits (off under sanitizers)
  int frameMs = 16;    // the game's frame
};

struct Result {
  std::vector<std::string> failures;  // each names the minute and the work
  // Replies the server side waited for in vain, and answers it could not
  // place. The server side owes nothing for requests that may have met a
  // changing key, so each of these fails the run.
  std::vector<std::string> missed;
  // The client's own work per call, of the calls during which the thread
  // was not switched out.
  std::array<Histogram, kWorkKinds> work;
  // Of those, the calls over the limit (kCallLimitNs), per kind.
  std::array<uint64_t, kWorkKinds> overLimit{};
  Histogram all;  // every such entry call (read-back apart)
  // The calls during which the thread was switched out, apart: how many,
  // their worst and their total (which still counts in the mean per second).
  std::array<uint64_t, kWorkKinds> switchedCalls{};
  std::array<uint64_t, kWorkKinds> switchedWorstNs{};
  uint64_t switchedTotalNs = 0;
  // The reference work, timed once after every entry call: not switched
  // out, and how often and how badly it was switched out.
  Histogram reference;
  uint64_t referenceSwitched = 0, referenceSwitchedWorstNs = 0;
  // Calls over the limit that the rule of limits.cpp took for the machine's
  // noise, each with the figures that excused it.
  std::vector<std::string> noise;
  std::vector<Minute> minutes;
  uint64_t simulatedMs = 0;
  uint64_t counters[16] = {};  // traffic sent and replies checked
  bool heapCounted = false;    // live blocks and bytes are known
};

// Names of the counters in Result::counters.
extern const char *const kCounterNames[16];

// Under Wine a path of the build system ("/work/...") is the same file on
// drive Z: ("Z:\work\..."); elsewhere paths stay as they are.
std::string windowsPath(const std::string &path);

// Runs the session; failures are collected, never thrown.
void runSoak(const Options &options, Result &result);

// The limits, applied to a finished run: appends a failure per broken one.
// warmUp is the number of minutes before memory must stay flat.
int warmUpMinutes(int minutes);
void checkLimits(const Options &options, Result &result);

}  // namespace qxsoak
