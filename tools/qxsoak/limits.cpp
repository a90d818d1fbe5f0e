// The limits of a soak run.
//
// Time. What the game waits for is an entry call's wall time, from its
// entry to its return, less the time spent in the game's own callbacks
// (host_time.h). Every call is judged on it: no call over 1 ms, and on
// average no more than 1 ms of the client's per second of play.
//
// The machine can lengthen a call that the client did not: the system
// takes the processor away for another program's turn (an involuntary
// switch), or the hypervisor holds the virtual processor. Either stops the
// thread's processor clock while the wall clock runs on. Giving up the
// processor (a voluntary switch) is the thread's own doing: it slept, or
// blocked on a file, the disk or a lock. So a call's client's share is
//   - its whole wall time when the thread gave up the processor in it,
//     whatever its processor time: the game waited on the client;
//   - its whole wall time where the platform counts no switches (Windows
//     and Wine): nothing can be told apart there;
//   - otherwise its processor time, which holds the client's work and the
//     page faults it met (touching fresh memory is the client's work).
// A call over the limit whose client's share is within it is excused. What
// is excused is bounded by what the system measured in that very call: the
// time the thread spent off the processor without giving it up. Nothing
// that happened elsewhere in the run excuses a call. The table shows, per
// kind, how many calls were excused and the worst wall time among them, and
// the plot marks them. The calls measured apart (the host's read-back, the
// system's loader) are shown and not judged.
//
// Memory. Screenshots, transfers and web exchanges come and go, so what
// the client holds at any moment swings by megabytes; a leak shows instead
// as a rising floor. The floor of a minute is the lowest the client's heap
// fell to after any call, less the records kept for the next screenshots
// (held on purpose, up to five minutes and 8 MB): it exists at every moment
// (session.cpp). The warm-up is the first 10 minutes of an hour (a third of
// a shorter run); its first minute, when the client builds its lists, sets
// no floor. The minutes after it are cut into windows of 15, counted back
// from the run's end; the first window takes what is left over, so a run of
// less than 40 minutes has one. Each window must reach, at its lowest, no
// more than the warm-up's lowest plus noise, and no single minute may go
// beyond twice the warm-up's highest (hour-long runs only). A minute the
// run did not measure fails, and so does a window or a warm-up without a
// measurement. Counting back from the end keeps the last window whole, so a
// slow leak has grown for 35 minutes when it starts.
//
//   live blocks     lowest + 4 blocks         highest x 2 + 4
//   bytes held      lowest + 2 % + 32 KiB     highest x 2 + 64 KiB
//   resident        lowest + 10 % + 1 MiB
//   descriptors     highest + 2 (a web exchange in flight at a minute's end)
// A leak of one block or one descriptor a minute breaks these within an
// hour; a working set that doubles breaks the highest. The 32 KiB allow a
// record list to keep its storage at its high-water mark: the delayed-send
// queue's records are 1.1 KiB each, and one doubling from 16 to 32 of them
// after a burst of replies holds 17.6 KiB more from then on (its cap is 256).
#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

#include "soak.h"

namespace qxsoak {

namespace {

constexpr uint64_t kSecondLimitNs = 1000000;  // mean work per second of play
constexpr int kFloorWindowMinutes = 15;

void fail(Result &r, int minute, const std::string &work,
          const std::string &what) {
  r.failures.push_back("minute " + std::to_string(minute) + ", " + work + ": " +
                       what);
}

std::string number(uint64_t v) { return std::to_string(v); }

std::string minutes(int from, int to) {
  return from == to
             ? "minute " + std::to_string(from)
             : "minutes " + std::to_string(from) + " to " + std::to_string(to);
}

// The metric's lowest over minutes from to to; UINT64_MAX when none of them
// was measured.
uint64_t lowest(const Result &r, int from, int to, uint64_t Minute::*field) {
  uint64_t low = UINT64_MAX;
  for (const Minute &m : r.minutes)
    if (m.minute >= from && m.minute <= to) low = std::min(low, m.*field);
  return low;
}

// The limit of a metric's lowest: its lowest over the warm-up (from its
// second minute) plus the slack; kNoLimit when the warm-up measured none.
uint64_t floorLimit(const Result &r, int warmUp, uint64_t Minute::*field,
                    uint64_t slackAbsolute, uint64_t slackPercent) {
  const uint64_t baseline = lowest(r, 2, warmUp, field);
  if (baseline == UINT64_MAX) return kNoLimit;
  return baseline + slackAbsolute + baseline * slackPercent / 100;
}

// The limit of a metric's every minute: its highest over the warm-up plus
// the slack.
uint64_t peakLimit(const Result &r, int warmUp, uint64_t Minute::*field,
                   uint64_t slackAbsolute, uint64_t slackPercent) {
  uint64_t highest = 0;
  for (const Minute &m : r.minutes)
    if (m.minute <= warmUp) highest = std::max(highest, m.*field);
  return highest + slackAbsolute + highest * slackPercent / 100;
}

// The metric's low over each window after the warm-up against limit.
void checkFloor(Result &r, int minutesOfRun, const char *what,
                uint64_t Minute::*field, uint64_t limit) {
  const int warmUp = warmUpMinutes(minutesOfRun);
  if (limit == kNoLimit) {
    fail(r, warmUp, "memory",
         std::string(what) + ": no measurement in the warm-up (" +
             minutes(2, warmUp) + ")");
    return;
  }
  for (const Window &w : floorWindows(minutesOfRun)) {
    const uint64_t low = lowest(r, w.from, w.to, field);
    if (low == UINT64_MAX) {
      fail(r, w.to, "memory",
           std::string(what) + ": no measurement in " + minutes(w.from, w.to));
      return;
    }
    if (low > limit) {
      fail(r, w.to, "memory",
           std::string(what) + ": the lowest of " + minutes(w.from, w.to) +
               " is " + number(low) + " (limit " + number(limit) + ")");
      return;
    }
  }
}

// The metric's every minute after the warm-up against limit.
void checkPeak(Result &r, int warmUp, const char *what, uint64_t Minute::*field,
               uint64_t limit) {
  if (limit == kNoLimit) return;
  for (const Minute &m : r.minutes)
    if (m.minute > warmUp && m.*field > limit) {
      fail(r, m.minute, "memory",
           std::string(what) + " grew to " + number(m.*field) + " (limit " +
               number(limit) + ")");
      return;
    }
}

// Every minute of the run has its measurement, each stretch of missing
// minutes one failure.
void checkEveryMinute(Result &r, int last) {
  std::vector<bool> seen(static_cast<size_t>(last) + 1, false);
  for (const Minute &m : r.minutes)
    if (m.minute >= 1 && m.minute <= last) seen[size_t(m.minute)] = true;
  for (int from = 1; from <= last;) {
    if (seen[size_t(from)]) {
      ++from;
      continue;
    }
    int to = from;
    while (to < last && !seen[size_t(to + 1)]) ++to;
    fail(r, to, "all", minutes(from, to) + " of the run not measured");
    from = to + 1;
  }
}

void checkMemory(const Options &options, Result &r) {
  const int warmUp = warmUpMinutes(options.minutes);
  const int last = options.minutes;
  const MemoryLimits l = memoryLimits(options, r);
  if (r.heapCounted) {
    checkFloor(r, last, "live blocks", &Minute::floorBlocks, l.floorBlocks);
    checkFloor(r, last, "bytes held", &Minute::floorBytes, l.floorBytes);
    checkPeak(r, warmUp, "peak live blocks", &Minute::liveBlocks, l.peakBlocks);
    checkPeak(r, warmUp, "peak bytes held", &Minute::liveBytes, l.peakBytes);
  }
  if (r.residentCounted)
    checkFloor(r, last, "resident KiB", &Minute::residentKiB, l.residentKiB);
  checkPeak(r, warmUp, "descriptors", &Minute::descriptors, l.descriptors);
}

void checkTime(Result &r) {
  for (const Minute &m : r.minutes)
    for (size_t k = 0; k < kWorkKinds; ++k) {
      if (measuredApart(static_cast<Work>(k))) continue;
      if (m.worstNs[k] <= kCallLimitNs) continue;
      fail(r, m.minute, workName(static_cast<Work>(k)),
           "the game waited " + number(m.worstNs[k] / 1000) +
               " us on the client in an entry call (limit 1000 us); " +
               m.worstNote[k]);
    }
  const uint64_t seconds = std::max<uint64_t>(1, r.simulatedMs / 1000);
  const uint64_t perSecond = r.clientTotalNs / seconds;
  if (perSecond > kSecondLimitNs)
    fail(r, static_cast<int>(r.minutes.size()), "all",
         "the client took " + number(perSecond / 1000) +
             " us per second of play (limit 1000 us)");
}

}  // namespace

CallVerdict judgeCall(const Span &call, bool switchesCounted) {
  CallVerdict v;
  const bool gaveUp = !switchesCounted || call.voluntary > 0;
  v.clientNs = gaveUp ? call.wallNs : std::min(call.wallNs, call.processorNs);
  v.excused = call.wallNs > kCallLimitNs && v.clientNs <= kCallLimitNs;
  return v;
}

MemoryLimits memoryLimits(const Options &options, const Result &r) {
  const int warmUp = warmUpMinutes(options.minutes);
  MemoryLimits l;
  if (r.heapCounted) {
    l.floorBlocks = floorLimit(r, warmUp, &Minute::floorBlocks, 4, 0);
    l.floorBytes = floorLimit(r, warmUp, &Minute::floorBytes, 32768, 2);
    // A short run's warm-up is too short to have seen the whole working set.
    if (warmUp >= 10) {
      l.peakBlocks = peakLimit(r, warmUp, &Minute::liveBlocks, 4, 100);
      l.peakBytes = peakLimit(r, warmUp, &Minute::liveBytes, 65536, 100);
    }
  }
  if (r.residentCounted)
    l.residentKiB = floorLimit(r, warmUp, &Minute::residentKiB, 1024, 10);
  l.descriptors = peakLimit(r, warmUp, &Minute::descriptors, 2, 0);
  return l;
}

std::vector<Window> floorWindows(int minutes) {
  std::vector<Window> out;
  for (int from = warmUpMinutes(minutes) + 1; from <= minutes;) {
    // Windows of kFloorWindowMinutes counted back from the run's last
    // minute, the first taking what is left over.
    const int rest = minutes - from + 1;
    const int to =
        rest < 2 * kFloorWindowMinutes
            ? minutes
            : from + rest % kFloorWindowMinutes + kFloorWindowMinutes - 1;
    out.push_back({from, to});
    from = to + 1;
  }
  return out;
}

int warmUpMinutes(int minutes) {
  if (minutes >= 30) return 10;
  return std::max(2, (minutes + 2) / 3);
}

void checkLimits(const Options &options, Result &r) {
  checkEveryMinute(r, options.minutes);
  checkMemory(options, r);
  if (options.limits) checkTime(r);
}

}  // namespace qxsoak
