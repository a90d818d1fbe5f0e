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

// The longest the game may wait for an entry call (limits.cpp).
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

// What became of the screenshots: the server's requests, each received and
// checked or lost with its reason (screenshots.h), and the player's.
struct ScreenshotTally {
  uint64_t asked = 0;         // the server's requests
  uint64_t checked = 0;       // received whole, digest and PNG sound
  uint64_t inFlight = 0;      // still in time when the run ended
  uint64_t deferred = 0;      // requests the server held back (screenshots.h)
  uint64_t replays = 0;       // requests sent again as garbage
  uint64_t uploadsAgain = 0;  // uploads of a request already received
  // Requests lost that the client should have answered: each fails the run
  // (Result::missed holds the reasons).
  uint64_t lost = 0;
  uint64_t localAsked = 0, localSaved = 0, localRefused = 0;
};

struct Result {
  std::vector<std::string> failures;  // each names the minute and the work
  // Replies the server side waited for in vain, and answers it could not
  // place. The server side owes nothing for requests that may have met a
  // changing key, so each of these fails the run.
  std::vector<std::string> missed;
  // Every entry call's wall time, by kind (limits.cpp says what is judged).
  std::array<Histogram, kWorkKinds> work;
  Histogram all;  // every call the limits judge (all kinds but those apart)
  // The client's share of every call judged, in all.
  uint64_t clientTotalNs = 0;
  // Per kind: calls over the limit that the rule excused and the worst wall
  // time among them; calls in which the thread gave up the processor itself.
  std::array<uint64_t, kWorkKinds> excused{};
  std::array<uint64_t, kWorkKinds> excusedWorstNs{};
  std::array<uint64_t, kWorkKinds> voluntary{};
  // The reference work's wall time, timed once after every entry call, and
  // how often the machine held it up beyond the limit.
  Histogram reference;
  uint64_t referenceOverLimit = 0;
  std::vector<Minute> minutes;
  uint64_t simulatedMs = 0;
  uint64_t counters[16] = {};  // traffic sent and replies checked
  ScreenshotTally screenshots;
  // What this run could measure. The limits read these, never the platform,
  // so that one rule judges the same figures alike on every build.
  bool heapCounted = false;      // the client's live blocks and bytes
  bool switchesCounted = false;  // switches, page faults, processor time
  bool residentCounted = true;   // resident memory follows what is held
};

// Names of the counters in Result::counters.
extern const char *const kCounterNames[16];

// Under Wine a path of the build system ("/work/...") is the same file on
// drive Z: ("Z:\work\..."); elsewhere paths stay as they are.
std::string windowsPath(const std::string &path);

// Runs the session; failures are collected, never thrown.
void runSoak(const Options &options, Result &result);

// The client's share of a call's wall time and whether a call over the
// limit is excused (the rule at the top of limits.cpp).
struct CallVerdict {
  uint64_t clientNs = 0;
  bool excused = false;
};
CallVerdict judgeCall(const Span &call, bool switchesCounted);

// The memory limits of a run as the check applies them: the highest each
// window's lowest may be (floor and resident) and the highest any minute
// after the warm-up may be (peak and descriptors); kNoLimit for what the
// run does not judge, or cannot (no measurement in the warm-up).
constexpr uint64_t kNoLimit = ~uint64_t{0};
struct MemoryLimits {
  uint64_t floorBlocks = kNoLimit, floorBytes = kNoLimit;
  uint64_t peakBlocks = kNoLimit, peakBytes = kNoLimit;
  uint64_t residentKiB = kNoLimit, descriptors = kNoLimit;
};
MemoryLimits memoryLimits(const Options &options, const Result &result);

// The limits, applied to a finished run: appends a failure per broken one.
// warmUp is the number of minutes before memory must stay flat; after it,
// each window's lowest is judged.
int warmUpMinutes(int minutes);
struct Window {
  int from, to;  // minutes, both included
};
std::vector<Window> floorWindows(int minutes);
void checkLimits(const Options &options, Result &result);

}  // namespace qxsoak
