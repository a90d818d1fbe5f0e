// A fake game for the test suites: it owns a game interface record, keeps
// host variables and key bindings, records what the client prints, the named
// operations it calls and the packets it sends, and drives the client's tick
// clock. Tests call the real entry points ca and cb through it.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "qx/game_interface.h"

namespace qxtest {

struct Packet {
  std::vector<uint8_t> bytes;
  std::string address;  // out-of-band sends only
  int32_t port = 0;
};

struct KeyBinding {
  std::string name;     // answer of query 108
  std::string binding;  // answer of query 107
};

struct NamedOp {
  std::string name;
  std::string argument;
};

// Entry points to drive: the linked-in client by default, or those of a
// library loaded by path.
struct Entry {
  QxFrameEntryFn ca;
  QxEventEntryFn cb;
};
Entry linkedEntry();

class FakeHost {
 public:
  // wanted: the value of cl_quellor. The fake host becomes the current one;
  // its callbacks reach this instance.
  explicit FakeHost(const std::string &wanted = "1",
                    Entry entry = linkedEntry());
  ~FakeHost();
  FakeHost(const FakeHost &) = delete;
  FakeHost &operator=(const FakeHost &) = delete;

  QxGameInterface gi{};
  Entry entry;

  // ---- host state ----
  std::map<std::string, std::string> cvars;  // names as given
  std::string serverAddress;                 // answer of query 105
  std::string hostReport;                    // answer of query 115
  std::map<int32_t, std::string> hostTexts;  // answers of 112, 113, 119
  std::function<intptr_t(int32_t, char *, int32_t)> queryOverride;
  // A numbered query with this code faults (0: none), as a broken host
  // callback would inside a handler of the client.
  int32_t faultOnQuery = 0;
  // Key bindings by key index (queries 106-108).
  std::map<int32_t, KeyBinding> keys;
  // Flag words of variables (query 110; 0 when absent) and their defaults:
  // a variable with a default that differs from its value is changed (111).
  std::map<std::string, int32_t> cvarFlags;
  std::map<std::string, std::string> cvarDefaults;
  // Positions of the host's enumerations (109, 110, 111) between calls.
  size_t findPosition = 0, userPosition = 0, changedPosition = 0;
  // Screenshot details by name (query 104); an unknown name stays as it is.
  std::map<std::string, std::string> details;

  // ---- the frame that the capture query reads back ----
  // frameWidth x frameHeight pixels, top row first, red-green-blue. The
  // read-back rectangle's y counts from the top; rows go out bottom first.
  int32_t frameWidth = 0, frameHeight = 0;
  std::vector<uint8_t> framePixels;
  intptr_t readBackFormat = 1;  // answer of 104; 0: no read-back
  intptr_t readBackType = 5121;
  bool offerReadBack = true;  // answer of 101 is the function (else 0)
  struct ReadBackCall {
    int32_t x, y, width, height, format, type;
  };
  std::vector<ReadBackCall> readBacks;
  // A frame whose pixel (x, y) is colour(x, y).
  void setFrame(int32_t width, int32_t height,
                const std::function<void(int32_t, int32_t, uint8_t *)> &colour);

  // ---- what the client did ----
  std::vector<std::string> lines;  // "<prefix>|<text>"
  std::vector<std::string> texts;  // the text alone
  std::vector<NamedOp> namedOps;
  std::vector<Packet> sent;            // send-to-server
  std::vector<Packet> sentOob;         // out-of-band
  std::vector<std::string> forwarded;  // secondary record lines

  // ---- clock (the linked-in client only) ----
  static uint32_t now;
  void advance(uint32_t ms) { now += ms; }

  // ---- driving the client ----
  const char *frame(int32_t budget = 0) { return entry.ca(&gi, budget); }
  intptr_t call(int32_t code, int32_t length = 0, const void *data = nullptr,
                int32_t retries = 0) {
    return entry.cb(&gi, code, length, data, retries);
  }
  intptr_t console(const std::string &line);  // event 14
  intptr_t packet(const std::vector<uint8_t> &bytes, int32_t retries = 0);
  // Runs due frames until the queue is drained: each call advances the clock
  // past qx_Sleep.
  void pump(int frames = 2);
  // Starts the client: one frame after a clock jump.
  void start();

  bool printed(const std::string &text) const;      // exact line
  bool printedPart(const std::string &part) const;  // any line containing
  void clearOutput();

  static FakeHost *current;

 private:
  QxSecondaryHost secondary_{};
};

// Writes to an unmapped low address: a real processor fault (access
// violation, SIGSEGV) that no sanitizer intercepts beforehand.
void causeProcessorFault();

// A unique empty directory for a test's home directory.
std::string makeTempDir();
std::string readFile(const std::string &path);

}  // namespace qxtest
