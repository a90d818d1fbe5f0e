// What the soak run measures: the processor time of every entry call by the
// kind of work it did, kept in fixed histograms so that measuring allocates
// nothing while the session runs, and the process's resources per minute.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace qxsoak {

// Processor time of the calling thread, in nanoseconds. The client never
// reads it: the soak run wraps each entry call with it.
uint64_t threadCpuNs();

// What the system counts for the calling thread so far, or zeros where the
// platform keeps no such counts for a thread (Windows and Wine).
struct ThreadCounts {
  // Times it was switched out (voluntary and not). A call during which this
  // changed measured the scheduler as well as the call: on a virtual
  // machine the thread's processor clock then gains up to a few
  // milliseconds that no code of the call spent.
  uint64_t switches = 0;
  // Page faults that needed no disk: mostly pages touched for the first
  // time. Each is the client's own work, and on a virtual machine one can
  // take from ten microseconds to a millisecond.
  uint64_t pageFaults = 0;
};
ThreadCounts threadCounts();
bool threadSwitchesCounted();

// A fixed, tiny piece of work (ten system calls and a few microseconds of
// arithmetic; the arithmetic only on Windows) that the soak run times
// as often as the entry calls, between them: what the machine does to it is
// the machine's own noise, to be read beside the client's figures.
void referenceWork();

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
// everything longer (whose worst is kept exactly).
class Histogram {
 public:
  Histogram();
  void add(uint64_t ns);
  uint64_t count() const { return count_; }
  uint64_t total() const { return total_; }
  uint64_t worst() const { return worst_; }
  // The smallest bucket bound below which at least q of the samples lie.
  uint64_t quantile(double q) const;

 private:
  static constexpr uint64_t kBucket = 250;
  static constexpr size_t kBuckets = 80000;
  std::vector<uint32_t> buckets_;
  uint64_t count_ = 0, total_ = 0, worst_ = 0;
};

// A minute's floor when no moment of it was free of screenshots.
constexpr uint64_t kNoFloor = ~uint64_t{0};

// The state of the process at the end of a simulated minute.
struct Minute {
  int minute = 0;
  uint64_t liveBlocks = 0;  // the client's, at the minute's peak
  uint64_t liveBytes = 0;   // the client's, at the minute's peak
  // The client's, at the minute's lowest moment with no screenshot in
  // hand; kNoFloor when the minute had no such moment.
  uint64_t floorBlocks = 0;
  uint64_t floorBytes = 0;
  uint64_t residentKiB = 0;  // the process, without the kept records
  uint64_t descriptors = 0;  // the process's open descriptors (handles)
  uint64_t cpuNs = 0;        // the client's own work in this minute
  std::array<uint64_t, kWorkKinds> worstNs{};  // per kind, not switched out
  uint64_t referenceWorstNs = 0;  // the reference work, not switched out
  // What the worst call of each kind printed first and the page faults it
  // met, as a hint of its work.
  std::array<std::string, kWorkKinds> worstNote{};
  // The page faults that call met (0 where the platform cannot say).
  std::array<uint64_t, kWorkKinds> worstFaults{};
};

// Resident memory in KiB and open descriptors of this process; 0 when the
// platform cannot say.
uint64_t residentKiB();
uint64_t openDescriptors();

}  // namespace qxsoak
