// The soak run's rules on made-up figures. For "flat": screenshot memory
// held for a long stretch is no leak, a slow leak is, and so is a working
// set that doubles or a stretch of the run that was not measured. For time:
// which calls the game waited on the client for, and which the machine
// lengthened. The rules read what the run measured, never the platform, so
// these tables give the same answers in every build.
#include <gtest/gtest.h>

#include <string>

#include "soak.h"

namespace {

using qxsoak::Minute;
using qxsoak::Result;

// An hour whose floor is 6 blocks and 30 000 bytes and whose peak is 30
// blocks and 2 MB, with f applied to every minute after the warm-up.
template <typename F>
Result hour(F f) {
  Result r;
  r.heapCounted = true;
  r.switchesCounted = true;
  for (int minute = 1; minute <= 60; ++minute) {
    Minute m;
    m.minute = minute;
    m.floorBlocks = 6;
    m.floorBytes = 30000;
    m.liveBlocks = 30;
    m.liveBytes = 2000000;
    m.residentKiB = 12000;
    m.descriptors = 7;
    if (minute > 10) f(m);
    r.minutes.push_back(m);
  }
  return r;
}

std::string failures(Result r, bool timeLimits = false) {
  qxsoak::Options options;
  options.limits = timeLimits;
  qxsoak::checkLimits(options, r);
  std::string all;
  for (const std::string &f : r.failures) all += f + "\n";
  return all;
}

TEST(SoakLimits, MemoryIsFlatUnlessItGrows) {
  struct Case {
    const char *name;
    void (*minute)(Minute &);
    const char *failure;  // part of the first failure; empty: none
  } cases[] = {
      {"flat", [](Minute &) {}, ""},
      // Screenshots in hand for a quarter of an hour in a row: the floor
      // comes back within each window.
      {"held for a quarter of an hour",
       [](Minute &m) {
         if (m.minute >= 20 && m.minute <= 34) {
           m.floorBlocks = 15;
           m.floorBytes = 532877;
         }
       },
       ""},
      // Held through a whole window, as when uploads never end.
      {"held through the last window",
       [](Minute &m) {
         if (m.minute > 45) m.floorBytes = 532877;
       },
       "bytes held: the lowest of minutes 46 to 60"},
      {"a block a minute",
       [](Minute &m) { m.floorBlocks += uint64_t(m.minute - 10); },
       "live blocks"},
      {"a block every five minutes",
       [](Minute &m) { m.floorBlocks += uint64_t(m.minute / 5 - 2); },
       "live blocks"},
      {"a kilobyte a minute",
       [](Minute &m) { m.floorBytes += 1024 * uint64_t(m.minute - 10); },
       "bytes held"},
      {"a working set that doubles",
       [](Minute &m) {
         if (m.minute == 45) m.liveBytes = 4200000;
       },
       "peak bytes held grew"},
      {"a descriptor every ten minutes",
       [](Minute &m) { m.descriptors += uint64_t(m.minute / 10); },
       "descriptors"},
  };
  for (const Case &c : cases) {
    const std::string got = failures(hour(c.minute));
    if (c.failure[0] == '\0')
      EXPECT_EQ(got, "") << c.name;
    else
      EXPECT_NE(got.find(c.failure), std::string::npos)
          << c.name << ": " << got;
  }
}

// A run that measured nothing for a stretch cannot pass as flat: the
// minutes missing and every window without a measurement fail.
TEST(SoakLimits, WhatWasNotMeasuredFails) {
  struct Case {
    const char *name;
    int from, to;  // minutes removed from the hour
    std::vector<const char *> failures;
  } cases[] = {
      {"a minute",
       30,
       30,
       {"minute 30, all: minute 30 of the run not measured"}},
      {"the last window",
       46,
       60,
       {"minutes 46 to 60 of the run not measured",
        "live blocks: no measurement in minutes 46 to 60",
        "resident KiB: no measurement in minutes 46 to 60"}},
      {"the warm-up",
       1,
       10,
       {"minutes 1 to 10 of the run not measured",
        "bytes held: no measurement in the warm-up"}},
  };
  for (const Case &c : cases) {
    Result r = hour([](Minute &) {});
    r.minutes.erase(r.minutes.begin() + (c.from - 1), r.minutes.begin() + c.to);
    const std::string got = failures(r);
    for (const char *f : c.failures)
      EXPECT_NE(got.find(f), std::string::npos) << c.name << ": " << got;
  }
}

qxsoak::Span call(uint64_t wallUs, uint64_t processorUs, uint64_t voluntary,
                  uint64_t involuntary) {
  qxsoak::Span s;
  s.wallNs = wallUs * 1000;
  s.processorNs = processorUs * 1000;
  s.voluntary = voluntary;
  s.involuntary = involuntary;
  return s;
}

// The client's share of a call, and whether a call over the limit is the
// machine's: only time off the processor that the thread did not give up
// itself is excused, and only within the call it was measured in.
TEST(SoakLimits, TheGameWaitsOnTheClientUnlessTheMachineTookTheProcessor) {
  struct Case {
    const char *name;
    qxsoak::Span call;
    bool counted;  // the platform counts switches
    uint64_t clientUs;
    bool excused;
  } cases[] = {
      {"a fast call", call(300, 290, 0, 0), true, 290, false},
      {"at the limit", call(1000, 1000, 0, 0), true, 1000, false},
      {"slow work of its own", call(1500, 1500, 0, 0), true, 1500, false},
      {"another program's turn", call(5200, 400, 0, 1), true, 400, true},
      {"the hypervisor held the processor", call(3000, 300, 0, 0), true, 300,
       true},
      {"it slept 20 ms", call(20400, 300, 1, 0), true, 20400, false},
      {"it blocked on a file and lost its turn", call(9000, 200, 1, 2), true,
       9000, false},
      {"slow work and another's turn", call(6000, 1500, 0, 1), true, 1500,
       false},
      {"no switches counted", call(3000, 3000, 0, 0), false, 3000, false},
      {"no switches counted, fast", call(400, 400, 0, 0), false, 400, false},
  };
  for (const Case &c : cases) {
    const qxsoak::CallVerdict v = qxsoak::judgeCall(c.call, c.counted);
    EXPECT_EQ(v.clientNs, c.clientUs * 1000) << c.name;
    EXPECT_EQ(v.excused, c.excused) << c.name;
  }
}

// The verdict of a run: a call the game waited on the client for beyond the
// limit fails in its minute and kind, and so does a client that takes more
// than 1 ms per second of play in all.
TEST(SoakLimits, TimeFailsWhereTheClientMadeTheGameWait) {
  const size_t shot = static_cast<size_t>(qxsoak::Work::Screenshot);
  const size_t readBack = static_cast<size_t>(qxsoak::Work::ReadBack);
  struct Case {
    const char *name;
    void (*change)(Result &);
    const char *failure;  // empty: none
  } cases[] = {
      {"every call within the limit", [](Result &) {}, ""},
      {"a slept call",
       [](Result &r) {
         r.minutes[29].worstNs[static_cast<size_t>(qxsoak::Work::Screenshot)] =
             20400000;
       },
       "minute 30, screenshot: the game waited 20400 us"},
      {"a slow read-back is the host's",
       [](Result &r) {
         r.minutes[29].worstNs[static_cast<size_t>(qxsoak::Work::ReadBack)] =
             5000000;
       },
       ""},
      {"1.2 ms per second of play",
       [](Result &r) { r.clientTotalNs = 3600ull * 1200000; },
       "1200 us per second of play"},
  };
  for (const Case &c : cases) {
    Result r = hour([](Minute &) {});
    r.simulatedMs = 3600000;
    r.clientTotalNs = 3600ull * 400000;
    for (Minute &m : r.minutes) m.worstNs[shot] = m.worstNs[readBack] = 700000;
    c.change(r);
    const std::string got = failures(r, true);
    if (c.failure[0] == '\0')
      EXPECT_EQ(got, "") << c.name;
    else
      EXPECT_NE(got.find(c.failure), std::string::npos)
          << c.name << ": " << got;
  }
}

// Quantiles come from integers: 0.999 of 1000 samples is the 1000th sample
// on every build (x87 arithmetic made it the 999th on the 32-bit one).
TEST(SoakLimits, QuantilesAreExact) {
  qxsoak::Histogram h;
  for (uint64_t i = 1; i <= 1000; ++i) h.add(i * 1000);
  struct Case {
    uint32_t perTenThousand;
    uint64_t ns;
  } cases[] = {
      {5000, 501250}, {9900, 991250}, {9990, 1000000}, {9999, 1000000}};
  for (const Case &c : cases)
    EXPECT_EQ(h.quantile(c.perTenThousand), c.ns) << c.perTenThousand;
  EXPECT_EQ(qxsoak::Histogram().quantile(9990), 0u);
}

}  // namespace
