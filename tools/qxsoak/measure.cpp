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

uint64_t threadCpuNs() {
#if defined(_WIN32)
  // Wine and Windows keep no finer processor clock per thread that a
  // program can read without a driver; the performance counter measures the
  // call's elapsed time instead, which includes any time the thread waited.
  static LARGE_INTEGER frequency = [] {
    LARGE_INTEGER f;
    QueryPerformanceFrequency(&f);
    return f;
  }();
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<uint64_t>(now.QuadPart) * 1000000000ull /
         static_cast<uint64_t>(frequency.QuadPart);
#else
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<uint64_t>(t.tv_sec) * 1000000000ull +
         static_cast<uint64_t>(t.tv_nsec);
#endif
}

ThreadCounts threadCounts() {
  ThreadCounts counts;
#if defined(RUSAGE_THREAD)
  rusage u{};
  if (getrusage(RUSAGE_THREAD, &u) != 0) return counts;
  counts.switches =
      static_cast<uint64_t>(u.ru_nvcsw) + static_cast<uint64_t>(u.ru_nivcsw);
  counts.pageFaults = static_cast<uint64_t>(u.ru_minflt);
#endif
  return counts;
}

bool threadSwitchesCounted() {
#if defined(RUSAGE_THREAD)
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

uint64_t Histogram::quantile(double q) const {
  if (count_ == 0) return 0;
  const uint64_t wanted =
      static_cast<uint64_t>(q * static_cast<double>(count_));
  uint64_t seen = 0;
  for (size_t b = 0; b <= kBuckets; ++b) {
    seen += buckets_[b];
    if (seen > wanted || seen == count_)
      return std::min(worst_, (b + 1) * kBucket);
  }
  return worst_;
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
