// What the soak run measures: the wall time of every entry call as the game
// waits for it, with what the system counts for the calling thread during
// it (its processor time, how often it gave up the processor itself or had
// it taken away, the page faults it met), by the kind of work the call did,
// kept in fixed histograms so that measuring allocates nothing while the
// session runs; and the process's resources per minute.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace qxsoak {

// The calling thread's clocks and counts at one moment.
struct Clocks {
  uint64_t wallNs = 0;       // a monotonic clock: what the game waits
  uint64_t processorNs = 0;  // the thread's time on the processor
  // Times the thread gave up the processor itself (sleeping, blocking on a
  // file, a lock or the disk) and times the system took it away.
  uint64_t voluntary = 0;
  uint64_t involuntary = 0;
  // Page faults that needed no disk: mostly pages touched for the first
  // time, each the work of the code that touched them.
  uint64_t pageFaults = 0;
};

// What happened between two moments: the same fields as differences.
using Span = Clocks;

// The start of a span reads the counts first and the clocks last, its end
// the clocks first, so that reading the counts stays outside its wall time.
Clocks startSpan();
Span since(const Clocks &start);
// a less b, field by field, never below zero.
Span less(const Span &a, const Span &b);
Span &operator+=(Span &a, const Span &b);

// Whether this platform counts switches and page faults per thread and
// keeps the thread's processor clock apart from the wall clock. Where it
// does not (Windows and Wine), the processor time is the wall time and the
// counts stay zero.
bool switchesCounted();

// A fixed, tiny piece of work (ten system calls and a few microseconds of
// arithmetic; the arithmetic only on Windows) that the soak run times
// as often as the entry calls, between them: what the machine does to it is
// the machine's own noise, to be read beside the client's figures.
void referenceWork();

// Kinds of work of the entry calls. A new kind goes before ReadBack; the
// tables, the plot and the limits take every kind from here.
enum class Work {
  Event,          // cb: an event queued or a question answered
  Idle,           // ca that is not due
  Draining,       // ca that drains the event queue
  WorkFrame,      // ca that runs the work frame with nothing special on
  Screenshot,     // a call that moved a screenshot on (a slice)
  Transfer,       // a call that took file transfer or package chunks
  MasterList,     // a call that read master datagrams from the own socket
  WebUpdate,      // a call while a web update is in flight
  ModuleInstall,  // a call that installed or loaded a module
  ReadBack,       // the host's read-back, apart from the client's own work
  Library,        // the system loading a library, apart likewise
  Count
};
const char *workName(Work w);
// The system's work measured apart, which the client's limits leave out.
inline bool measuredApart(Work w) {
  return w == Work::ReadBack || w == Work::Library;
}
constexpr size_t kWorkKinds = static_cast<size_t>(Work::Count);

// Nanosecond samples in buckets of 250 ns up to 20 ms, then one bucket for
// everything longer (whose worst is kept exactly). Quantiles are asked in
// parts of ten thousand and computed in integers, so that every build
// gives the same answer for the same samples.
class Histogram {
 public:
  Histogram();
  void add(uint64_t ns);
  uint64_t count() const { return count_; }
  uint64_t total() const { return total_; }
  uint64_t worst() const { return worst_; }
  // The smallest bucket bound below which at least perTenThousand / 10000
  // of the samples lie (9990: the p99.9).
  uint64_t quantile(uint32_t perTenThousand) const;

 private:
  static constexpr uint64_t kBucket = 250;
  static constexpr size_t kBuckets = 80000;
  std::vector<uint32_t> buckets_;
  uint64_t count_ = 0, total_ = 0, worst_ = 0;
};

// The state of the process over one simulated minute.
struct Minute {
  int minute = 0;
  uint64_t liveBlocks = 0;  // the client's, at the minute's peak
  uint64_t liveBytes = 0;   // the client's, at the minute's peak
  // The client's, at the minute's lowest moment, less the records kept for
  // the next screenshots (which the client holds on purpose).
  uint64_t floorBlocks = 0;
  uint64_t floorBytes = 0;
  uint64_t residentKiB = 0;  // the process, without the kept records
  uint64_t descriptors = 0;  // the process's open descriptors (handles)
  uint64_t clientNs = 0;     // the client's share of its calls' wall time
  // Per kind, the largest client's share of a call (limits.cpp), and what
  // that call printed first and what the system counted in it, as a hint of
  // its work.
  std::array<uint64_t, kWorkKinds> worstNs{};
  std::array<std::string, kWorkKinds> worstNote{};
  // The calls over the limit that were excused, and their worst wall time.
  uint64_t excused = 0;
  uint64_t excusedWorstNs = 0;
  // The largest client's share of a call of the kinds judged.
  uint64_t worstJudged() const;
};

// Resident memory in KiB and open descriptors of this process; 0 when the
// platform cannot say.
uint64_t residentKiB();
uint64_t openDescriptors();

}  // namespace qxsoak
