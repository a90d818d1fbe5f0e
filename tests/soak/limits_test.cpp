// The soak run's rules on made-up minutes. For "flat": screenshot memory
// held for a long stretch is no leak, a slow leak is, and so is a working
// set that doubles. For the time limit: which slow calls are the machine's.
#include <gtest/gtest.h>

#include <string>

#include "soak.h"

namespace {

// An hour whose floor is 6 blocks and 30 000 bytes and whose peak is 30
// blocks and 2 MB, with f applied to every minute after the warm-up.
template <typename F>
qxsoak::Result hour(F f) {
  qxsoak::Result r;
  r.heapCounted = true;
  for (int minute = 1; minute <= 60; ++minute) {
    qxsoak::Minute m;
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

std::string failures(qxsoak::Result r) {
  qxsoak::Options options;
  options.limits = false;  // the memory rule alone
  qxsoak::checkLimits(options, r);
  std::string all;
  for (const std::string &f : r.failures) all += f + "\n";
  return all;
}

TEST(SoakLimits, MemoryIsFlatUnlessItGrows) {
  struct Case {
    const char *name;
    void (*minute)(qxsoak::Minute &);
    const char *failure;  // part of the first failure; empty: none
  } cases[] = {
      {"flat", [](qxsoak::Minute &) {}, ""},
      // Screenshots in hand for a quarter of an hour in a row: the floor
      // comes back within each window.
      {"held for a quarter of an hour",
       [](qxsoak::Minute &m) {
         if (m.minute >= 20 && m.minute <= 34) {
           m.floorBlocks = 15;
           m.floorBytes = 532877;
         }
       },
       ""},
      // No moment free of screenshots in the last window: it has no floor.
      {"screenshots in hand to the end",
       [](qxsoak::Minute &m) {
         if (m.minute > 45) m.floorBlocks = m.floorBytes = qxsoak::kNoFloor;
       },
       ""},
      {"a block a minute",
       [](qxsoak::Minute &m) { m.floorBlocks += uint64_t(m.minute - 10); },
       "live blocks"},
      {"a block every five minutes",
       [](qxsoak::Minute &m) { m.floorBlocks += uint64_t(m.minute / 5 - 2); },
       "live blocks"},
      {"a kilobyte a minute",
       [](qxsoak::Minute &m) {
         m.floorBytes += 1024 * uint64_t(m.minute - 10);
       },
       "bytes held"},
      {"a working set that doubles",
       [](qxsoak::Minute &m) {
         if (m.minute == 45) m.liveBytes = 4200000;
       },
       "peak bytes held grew"},
      {"a descriptor every ten minutes",
       [](qxsoak::Minute &m) { m.descriptors += uint64_t(m.minute / 10); },
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

// An hour of idle calls of 4 us and reference work of 14 us, with one idle
// call of 1.5 ms (not switched out) in minute 30 that met the given page
// faults; then f applied.
template <typename F>
std::string timeFailures(uint64_t faults, F f) {
  qxsoak::Result r = hour([](qxsoak::Minute &) {});
  r.simulatedMs = 3600000;
  const size_t idle = static_cast<size_t>(qxsoak::Work::Idle);
  for (int i = 0; i < 100000; ++i) r.work[idle].add(4000);
  for (int i = 0; i < 100000; ++i) r.reference.add(14000);
  r.work[idle].add(1500000);
  r.overLimit[idle] = 1;
  qxsoak::Minute &m = r.minutes[29];
  m.worstNs[idle] = 1500000;
  m.worstFaults[idle] = faults;
  f(r);
  qxsoak::Options options;
  qxsoak::checkLimits(options, r);
  std::string all;
  for (const std::string &x : r.failures) all += x + "\n";
  return all;
}

TEST(SoakLimits, OnlyTheMachinesStallsAreExcused) {
  using qxsoak::Result;
  struct Case {
    const char *name;
    uint64_t faults;
    void (*change)(Result &);
    bool fails;
  } cases[] = {
      {"the reference stalled in the same minute", 3,
       [](Result &r) { r.minutes[29].referenceWorstNs = 600000; }, false},
      {"a lone stall, the reference stalled elsewhere in the run", 0,
       [](Result &r) { r.reference.add(700000); }, false},
      {"the reference never stalled", 0, [](Result &) {}, true},
      {"a second stall, in a minute where the reference stalled", 0,
       [](Result &r) {
         const size_t idle = static_cast<size_t>(qxsoak::Work::Idle);
         r.reference.add(700000);
         r.overLimit[idle] = 2;
         r.minutes[40].worstNs[idle] = 1200000;
         r.minutes[40].referenceWorstNs = 800000;
       },
       false},
      {"a lone slow call that touched new memory", 2,
       [](Result &r) { r.reference.add(700000); }, true},
      {"a slow call that comes back", 0,
       [](Result &r) {
         r.reference.add(700000);
         r.overLimit[static_cast<size_t>(qxsoak::Work::Idle)] = 2;
       },
       true},
      {"a kind slow in its tail", 0,
       [](Result &r) {
         r.minutes[29].referenceWorstNs = 600000;
         for (int i = 0; i < 1000; ++i)
           r.work[static_cast<size_t>(qxsoak::Work::Idle)].add(600000);
       },
       true},
  };
  for (const Case &c : cases) {
    const std::string got = timeFailures(c.faults, c.change);
    EXPECT_EQ(got.find("minute 30, idle") != std::string::npos, c.fails)
        << c.name << ": " << got;
  }
}

}  // namespace
