#include "measure.h"

#include <algorithm>
#include <cstdio>

#if defined(_WIN32)
#include <windows.h>
// psapi.h needs the types of windows.h first.
#include <psapi.h>
#else
#include <dirent.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>
#endif

namespace qxsoak {

namespace {

#if defined(_WIN32)
uint64_t wallNs() {
  static const uint64_t frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return static_cast<uint64_t>(f.QuadPart);
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  // Seconds and the rest apart: the count times 10^9 would overflow after
  // a few hours at a 10 MHz counter.
  const uint64_t ticks = static_cast<uint64_t>(now.QuadPart);
  return ticks / frequency * 1000000000ull +
         ticks % frequency * 1000000000ull / frequency;
}
#else
uint64_t clockNs(clockid_t clock) {
  timespec t{};
  clock_gettime(clock, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000000000ull +
         static_cast<uint64_t>(t.tv_nsec);
}

void readCounts(Clocks &c) {
#if defined(RUSAGE_THREAD)
  rusage u{};
  if (getrusage(RUSAGE_THREAD, &u) != 0) return;
  c.voluntary = static_cast<uint64_t>(u.ru_nvcsw);
  c.involuntary = static_cast<uint64_t>(u.ru_nivcsw);
  c.pageFaults = static_cast<uint64_t>(u.ru_minflt);
#else
  (void)c;
#endif
}
#endif

uint64_t minus(uint64_t a, uint64_t b) { return a > b ? a - b : 0; }

}  // namespace

Clocks startSpan() {
  Clocks c;
#if defined(_WIN32)
  // Windows keeps no processor clock per thread finer than its scheduler's
  // tick that a program can read, and no switch counts: the processor time
  // is the wall time.
  c.wallNs = c.processorNs = wallNs();
#else
  readCounts(c);
  // The thread's processor clock leaves out time the hypervisor took from
  // the virtual processor where the kernel accounts it (steal time).
  c.processorNs = clockNs(CLOCK_THREAD_CPUTIME_ID);
  c.wallNs = clockNs(CLOCK_MONOTONIC);
#endif
  return c;
}

Span since(const Clocks &start) {
  Clocks now;
#if defined(_WIN32)
  now.wallNs = now.processorNs = wallNs();
#else
  now.wallNs = clockNs(CLOCK_MONOTONIC);
  now.processorNs = clockNs(CLOCK_THREAD_CPUTIME_ID);
  readCounts(now);
#endif
  return less(now, start);
}

Span less(const Span &a, const Span &b) {
  Span d;
  d.wallNs = minus(a.wallNs, b.wallNs);
  d.processorNs = minus(a.processorNs, b.processorNs);
  d.voluntary = minus(a.voluntary, b.voluntary);
  d.involuntary = minus(a.involuntary, b.involuntary);
  d.pageFaults = minus(a.pageFaults, b.pageFaults);
  return d;
}

Span &operator+=(Span &a, const Span &b) {
  a.wallNs += b.wallNs;
  a.processorNs += b.processorNs;
  a.voluntary += b.voluntary;
  a.involuntary += b.involuntary;
  a.pageFaults += b.pageFaults;
  return a;
}

bool switchesCounted() {
#if defined(RUSAGE_THREAD) && !defined(_WIN32)
  return true;
#else
  return false;
#endif
}

void referenceWork() {
  // Ten system calls that change nothing, as an entry call makes a dozen
  // (the fault guard's handlers, the clock, the socket), and 2000 rounds of
  // a xorshift generator: the machine's noise shows in both.
#if !defined(_WIN32)
  for (int i = 0; i < 10; ++i) (void)getppid();
#endif
  volatile uint32_t seed = 2463534242u;
  uint32_t x = seed;
  for (int i = 0; i < 2000; ++i) {
    x ^= x << 13;
    x ^= x >> 17;
    x ^= x << 5;
  }
  seed = x;
}

const char *workName(Work w) {
  static const char *const kNames[kWorkKinds] = {
      "event",      "idle",      "draining",    "work frame",
      "screenshot", "transfer",  "master list", "web update",
      "module",     "read-back", "library"};
  return kNames[static_cast<size_t>(w)];
}

Histogram::Histogram() : buckets_(kBuckets + 1, 0) {}

void Histogram::add(uint64_t ns) {
  const size_t b =
      static_cast<size_t>(std::min<uint64_t>(ns / kBucket, kBuckets));
  ++buckets_[b];
  ++count_;
  total_ += ns;
  worst_ = std::max(worst_, ns);
}

uint64_t Histogram::quantile(uint32_t perTenThousand) const {
  if (count_ == 0) return 0;
  const uint64_t wanted = count_ * perTenThousand / 10000;
  uint64_t seen = 0;
  for (size_t b = 0; b <= kBuckets; ++b) {
    seen += buckets_[b];
    if (seen > wanted || seen == count_)
      return std::min(worst_, (b + 1) * kBucket);
  }
  return worst_;
}

uint64_t Minute::worstJudged() const {
  uint64_t worst = 0;
  for (size_t k = 0; k < kWorkKinds; ++k)
    if (!measuredApart(static_cast<Work>(k)))
      worst = std::max(worst, worstNs[k]);
  return worst;
}

uint64_t residentKiB() {
#if defined(_WIN32)
  PROCESS_MEMORY_COUNTERS pmc{};
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &pmc, sizeof pmc)) return 0;
  return pmc.WorkingSetSize / 1024;
#else
  FILE *f = std::fopen("/proc/self/statm", "r");
  if (!f) return 0;
  unsigned long size = 0, resident = 0;
  const int got = std::fscanf(f, "%lu %lu", &size, &resident);
  std::fclose(f);
  if (got != 2) return 0;
  return resident * static_cast<uint64_t>(sysconf(_SC_PAGESIZE)) / 1024;
#endif
}

uint64_t openDescriptors() {
#if defined(_WIN32)
  DWORD handles = 0;
  return GetProcessHandleCount(GetCurrentProcess(), &handles) ? handles : 0;
#else
  DIR *d = opendir("/proc/self/fd");
  if (!d) return 0;
  uint64_t n = 0;
  while (const dirent *e = readdir(d))
    if (e->d_name[0] != '.') ++n;
  closedir(d);
  return n > 0 ? n - 1 : 0;  // the directory stream itself
#endif
}

}  // namespace qxsoak
