// The soak run's rule for "flat", on made-up minutes: screenshot memory held
// for a long stretch is no leak, a slow leak is, and so is a working set
// that doubles.
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

}  // namespace
