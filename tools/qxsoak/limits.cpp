// The limits of a soak run, and the rule for "flat". Screenshots,
// transfers and web exchanges come and go, so what the client holds at any
// moment swings by megabytes; a leak shows instead as a rising floor, read
// at the moments when no screenshot is in hand (session.cpp). The
// warm-up is the first 10 minutes of an hour (a third of a shorter run).
// The minutes after it are cut into windows of 15, counted back from the
// run's end; the first window takes what is left over, so a run of less
// than 40 minutes has one. Each window must reach, at its lowest, no more than
// the warm-up's lowest plus noise, and no single minute may go beyond twice the
// warm-up's highest (hour-long runs only); a window without a moment free
// of screenshots has no lowest and passes. Counting back from the end keeps
// the last window whole, so a slow leak has grown for 35 minutes when it
// starts.
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
//
// The time limits are judged on the calls during which the thread was not
// switched out (measure.h); the others are counted and shown apart. A call
// over the limit without a switch is the machine's noise, not a failure,
// only when its kind of work is fast in the tail (the kind's p99.9 over the
// run is within half the limit, so the slow call is not the kind's work;
// p99.9 and not further out: a kind of a few thousand calls has its one
// noisy call as its p99.99), and either
//   - the machine stalled the reference work in the same minute: the
//     reference (a few microseconds) took at least half the limit there; or
//   - the call met no page fault (it touched no new memory, the one cost of
//     the client's own that grows with the machine), it is the only call
//     of its kind over the limit in the run besides those the first rule
//     excused (a slow path of the client's comes back whenever it is
//     taken; the machine's stalls fall anywhere),
//     and the machine stalled the reference by at least half the limit
//     somewhere in the run. The reference takes a few seconds of an hour's
//     run in all, and this machine stalls a few microseconds of work by
//     half a millisecond or more a few times an hour: the same minute
//     holds such a stall of the reference's only now and then.
// Each such call is reported with the figures that excused it. A kind
// whose own work is slow fails at its slow calls whatever the machine did,
// and so does a slow call that none of these excuse.
#include <algorithm>
#include <array>
#include <cinttypes>
#include <cstdint>
#include <cstdio>
#include <string>

#include "soak.h"

namespace qxsoak {

namespace {

constexpr uint64_t kSecondLimitNs = 1000000;  // mean work per second of play
constexpr uint64_t kQuietTailNs = kCallLimitNs / 2;  // a kind's p99.9
constexpr uint64_t kStalledReferenceNs = kCallLimitNs / 2;
constexpr int kFloorWindowMinutes = 15;

void fail(Result &r, int minute, const std::string &work,
          const std::string &what) {
  r.failures.push_back("minute " + std::to_string(minute) + ", " + work + ": " +
                       what);
}

std::string number(uint64_t v) { return std::to_string(v); }

// The last minute of the window that starts at from: windows of
// kFloorWindowMinutes counted back from the run's last minute, the first
// taking what is left over.
int windowEnd(int from, int last) {
  const int rest = last - from + 1;
  if (rest < 2 * kFloorWindowMinutes) return last;
  return from + rest % kFloorWindowMinutes + kFloorWindowMinutes - 1;
}

// The metric's low over each window after the warm-up (windowEnd)
// against its low over the warm-up.
void checkBaseline(Result &r, int warmUp, const char *what,
                   uint64_t Minute::*field, uint64_t slackAbsolute,
                   uint64_t slackPercent) {
  // The first minute is start-up: the client builds its lists then.
  uint64_t baseline = UINT64_MAX;
  for (const Minute &m : r.minutes)
    if (m.minute > 1 && m.minute <= warmUp)
      baseline = std::min(baseline, m.*field);
  if (baseline == UINT64_MAX) return;
  const uint64_t limit =
      baseline + slackAbsolute + baseline * slackPercent / 100;
  const int last = static_cast<int>(r.minutes.size());
  for (int from = warmUp + 1; from <= last;) {
    const int to = windowEnd(from, last);
    uint64_t low = UINT64_MAX;
    for (const Minute &m : r.minutes)
      if (m.minute >= from && m.minute <= to) low = std::min(low, m.*field);
    if (low != UINT64_MAX && low > limit) {
      fail(r, to, "memory",
           std::string(what) + ": the lowest of minutes " +
               std::to_string(from) + " to " + std::to_string(to) + " is " +
               number(low) + " (warm-up " + number(baseline) + ", limit " +
               number(limit) + ")");
      return;
    }
    from = to + 1;
  }
}

// The metric's every minute after the warm-up against its highest in the
// warm-up.
void checkPeak(Result &r, int warmUp, const char *what, uint64_t Minute::*field,
               uint64_t slackAbsolute, uint64_t slackPercent) {
  uint64_t reference = 0;
  for (const Minute &m : r.minutes)
    if (m.minute <= warmUp) reference = std::max(reference, m.*field);
  const uint64_t limit =
      reference + slackAbsolute + reference * slackPercent / 100;
  for (const Minute &m : r.minutes)
    if (m.minute > warmUp && m.*field > limit) {
      fail(r, m.minute, "memory",
           std::string(what) + " grew to " + number(m.*field) + " (warm-up " +
               number(reference) + ", limit " + number(limit) + ")");
      return;
    }
}

}  // namespace

int warmUpMinutes(int minutes) {
  if (minutes >= 30) return 10;
  return std::max(2, (minutes + 2) / 3);
}

void checkLimits(const Options &options, Result &r) {
  const int warmUp = warmUpMinutes(options.minutes);
  if (r.heapCounted) {
    checkBaseline(r, warmUp, "live blocks", &Minute::floorBlocks, 4, 0);
    checkBaseline(r, warmUp, "bytes held", &Minute::floorBytes, 32768, 2);
    // A short run's warm-up is too short to have seen the whole working set.
    if (warmUp >= 10) {
      checkPeak(r, warmUp, "peak live blocks", &Minute::liveBlocks, 4, 100);
      checkPeak(r, warmUp, "peak bytes held", &Minute::liveBytes, 65536, 100);
    }
  }
#if !defined(__SANITIZE_ADDRESS__)
  // AddressSanitizer keeps freed blocks in quarantine (up to 256 MiB), so
  // resident memory says nothing there; the client's own counts do.
  checkBaseline(r, warmUp, "resident KiB", &Minute::residentKiB, 1024, 10);
#endif
  checkPeak(r, warmUp, "descriptors", &Minute::descriptors, 2, 0);
  if (!options.limits) return;
  // The slow calls of each kind that a stall of the reference in the same
  // minute excuses: the machine's, so no slow path of the kind's.
  std::array<uint64_t, kWorkKinds> stalledWithReference{};
  for (const Minute &m : r.minutes)
    for (size_t k = 0; k < kWorkKinds; ++k)
      if (m.worstNs[k] > kCallLimitNs &&
          m.referenceWorstNs >= kStalledReferenceNs)
        ++stalledWithReference[k];
  for (const Minute &m : r.minutes)
    for (size_t k = 0; k < kWorkKinds; ++k) {
      if (measuredApart(static_cast<Work>(k))) continue;
      if (m.worstNs[k] <= kCallLimitNs) continue;
      const std::string what =
          "an entry call took " + number(m.worstNs[k] / 1000) +
          " us of the client's own work (limit 1000 us); " + m.worstNote[k];
      const uint64_t tail = r.work[k].quantile(0.999);
      const std::string excuse = "minute " + std::to_string(m.minute) + ", " +
                                 workName(static_cast<Work>(k)) + ": " + what +
                                 "; the kind's p99.9 is " +
                                 number(tail / 1000) + " us";
      const bool lone = threadSwitchesCounted() && m.worstFaults[k] == 0 &&
                        r.overLimit[k] <= stalledWithReference[k] + 1 &&
                        r.reference.worst() >= kStalledReferenceNs;
      if (tail > kQuietTailNs)
        fail(r, m.minute, workName(static_cast<Work>(k)), what);
      else if (m.referenceWorstNs >= kStalledReferenceNs)
        r.noise.push_back(excuse + " and the reference work took " +
                          number(m.referenceWorstNs / 1000) +
                          " us in this minute");
      else if (lone)
        r.noise.push_back(excuse + ", it is the kind's only call over the " +
                          "limit, it met no page fault, and the reference " +
                          "work took up to " +
                          number(r.reference.worst() / 1000) +
                          " us in the run");
      else
        fail(r, m.minute, workName(static_cast<Work>(k)), what);
    }
  const uint64_t seconds = std::max<uint64_t>(1, r.simulatedMs / 1000);
  const uint64_t perSecond = (r.all.total() + r.switchedTotalNs) / seconds;
  if (perSecond > kSecondLimitNs)
    fail(r, static_cast<int>(r.minutes.size()), "all",
         "the client worked " + number(perSecond / 1000) +
             " us per second of play (limit 1000 us)");
}

}  // namespace qxsoak
