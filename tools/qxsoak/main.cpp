// qxsoak: plays a long session of hostile play against the client and
// reports how long the game waited for it, what became of the screenshots
// the server asked for, and its memory per minute.
//
//   qxsoak [--minutes N] [--seed S] [--out DIR] [--library PATH]
//          [--modules DIR] [--no-web] [--no-limits]
//
//   --minutes N    minutes of play (default 60)
//   --seed S       the session's seed (default 1)
//   --out DIR      writes soak.dat, soak.gp and soak.png there
//   --library PATH the client library to load, in real time (default: the
//                  client linked into qxsoak, on a simulated clock)
//   --modules DIR  where the project's test agents are built
//   --no-web       no web updates (no nginx)
//   --no-limits    check and report, but apply no time limits (sanitizer
//                  builds, Wine)
//
// Exits with 1 when a check or a limit failed, a reply never came or a
// screenshot was lost; each failure names the minute and the kind of work.
#include <cstdio>
#include <cstdlib>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <memory>
#include <string>

#include "report.h"
#include "soak.h"

int main(int argc, char **argv) {
  qxsoak::Options options;
  std::string out;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    const bool hasValue = i + 1 < argc;
    if (a == "--minutes" && hasValue) {
      options.minutes = std::atoi(argv[++i]);
    } else if (a == "--seed" && hasValue) {
      options.seed =
          static_cast<uint32_t>(std::strtoul(argv[++i], nullptr, 10));
    } else if (a == "--out" && hasValue) {
      out = argv[++i];
    } else if (a == "--library" && hasValue) {
      options.library = argv[++i];
    } else if (a == "--modules" && hasValue) {
      options.modules = argv[++i];
    } else if (a == "--no-web") {
      options.web = false;
    } else if (a == "--no-limits") {
      options.limits = false;
    } else {
      std::fprintf(stderr,
                   "usage: qxsoak [--minutes N] [--seed S] [--out DIR] "
                   "[--library PATH] [--modules DIR] [--no-web] "
                   "[--no-limits]\n");
      return 2;
    }
  }
  if (options.minutes < 1) options.minutes = 1;
  options.library = qxsoak::windowsPath(options.library);
  options.modules = qxsoak::windowsPath(options.modules);
#if defined(__GLIBC__) && !defined(__SANITIZE_ADDRESS__)
  // Large blocks (capture buffers, zlib's window) always come from their own
  // mappings and go back to the system when freed, so that resident memory
  // follows what is held instead of the allocator's high-water mark.
  mallopt(M_MMAP_THRESHOLD, 64 * 1024);
#endif
  auto result = std::make_unique<qxsoak::Result>();
#if defined(__SANITIZE_ADDRESS__)
  // AddressSanitizer keeps freed blocks in quarantine (up to 256 MiB), so
  // resident memory says nothing there; the client's own counts do.
  result->residentCounted = false;
#endif
  qxsoak::runSoak(options, *result);
  qxsoak::checkLimits(options, *result);
  qxsoak::printReport(options, *result, stdout);
  if (!out.empty()) {
    if (qxsoak::writePlot(options, *result, out))
      std::printf("plot: %s/soak.png\n", out.c_str());
    else
      std::printf("plot: gnuplot could not draw %s/soak.png\n", out.c_str());
  }
  for (const std::string &m : result->missed)
    std::printf("MISSED %s\n", m.c_str());
  for (const std::string &f : result->failures)
    std::printf("FAILED %s\n", f.c_str());
  const bool passed = result->failures.empty() && result->missed.empty();
  if (passed) std::printf("soak: passed\n");
  // The leak check of the sanitizers ends the process without flushing
  // what is buffered: the report goes out first.
  std::fflush(stdout);
  return passed ? 0 : 1;
}
