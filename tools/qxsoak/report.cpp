#include "report.h"

#include <cinttypes>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace qxsoak {

namespace {

double us(uint64_t ns) { return static_cast<double>(ns) / 1000.0; }

// A line of the profile: the calls not switched out, then those that were.
void profileLine(FILE *out, const char *name, const Histogram &h,
                 uint64_t switched, uint64_t switchedWorst) {
  if (h.count() == 0 && switched == 0) return;
  std::fprintf(out,
               "%-12s %9" PRIu64
               " %8.1f %8.1f %8.1f %8.1f %8.1f %8.2f %8" PRIu64 " %8.1f\n",
               name, h.count(), us(h.quantile(0.5)), us(h.quantile(0.99)),
               us(h.quantile(0.999)), us(h.quantile(0.9999)), us(h.worst()),
               h.count() ? us(h.total() / h.count()) : 0.0, switched,
               us(switchedWorst));
}

}  // namespace

void printReport(const Options &options, const Result &r, FILE *out) {
  const double seconds = static_cast<double>(r.simulatedMs) / 1000.0;
  std::fprintf(
      out, "soak: %d minutes of play from seed %u, %s\n", options.minutes,
      options.seed,
      options.library.empty() ? "simulated clock" : options.library.c_str());
  std::fprintf(
      out,
      "\nprocessor time of the client's own work per entry call, us; calls\n"
      "during which the thread was switched out are apart (switched, sw "
      "worst)%s\n"
      "%-12s %9s %8s %8s %8s %8s %8s %8s %8s %8s\n",
      threadSwitchesCounted() ? ""
                              : "\n(this platform counts no switches: every "
                                "call is judged, noise and all)",
      "work", "calls", "p50", "p99", "p99.9", "p99.99", "worst", "mean",
      "switched", "sw worst");
  uint64_t switched = 0, switchedWorst = 0;
  for (size_t k = 0; k < kWorkKinds; ++k) {
    profileLine(out, workName(static_cast<Work>(k)), r.work[k],
                r.switchedCalls[k], r.switchedWorstNs[k]);
    switched += r.switchedCalls[k];
    switchedWorst = std::max(switchedWorst, r.switchedWorstNs[k]);
  }
  profileLine(out, "all calls", r.all, switched, switchedWorst);
  std::fprintf(out,
               "\nthe machine's noise: a fixed reference work timed after "
               "every entry call, us\n");
  profileLine(out, "reference", r.reference, r.referenceSwitched,
              r.referenceSwitchedWorstNs);
  std::fprintf(out,
               "worst call not switched out: client %.1f us, reference %.1f "
               "us\n",
               us(r.all.worst()), us(r.reference.worst()));
  std::fprintf(
      out,
      "mean work per second of play: %.1f us (limit 1000; switched "
      "calls included)\n",
      seconds > 0 ? us(r.all.total() + r.switchedTotalNs) / seconds : 0.0);
  std::fprintf(out, "\n%6s %12s %18s %12s %6s %10s %10s\n", "minute",
               "blocks low..peak", "bytes low..peak", "resident KiB", "fds",
               "work ms", "worst us");
  for (const Minute &m : r.minutes) {
    uint64_t worst = 0;
    for (size_t k = 0; k < kWorkKinds; ++k)
      if (!measuredApart(static_cast<Work>(k)))
        worst = std::max(worst, m.worstNs[k]);
    if (r.heapCounted && m.floorBlocks != kNoFloor)
      std::fprintf(
          out, "%6d %5" PRIu64 "..%-5" PRIu64 " %8" PRIu64 "..%-8" PRIu64,
          m.minute, m.floorBlocks, m.liveBlocks, m.floorBytes, m.liveBytes);
    else if (r.heapCounted)
      std::fprintf(out, "%6d %5s..%-5" PRIu64 " %8s..%-8" PRIu64, m.minute, "-",
                   m.liveBlocks, "-", m.liveBytes);
    else
      std::fprintf(out, "%6d %12s %18s", m.minute, "-", "-");
    std::fprintf(out, " %12" PRIu64 " %6" PRIu64 " %10.2f %10.1f\n",
                 m.residentKiB, m.descriptors, us(m.cpuNs) / 1000.0, us(worst));
  }
  std::fprintf(out, "\ntraffic:");
  for (size_t i = 0; i < 16; ++i)
    std::fprintf(out, "%s %s %" PRIu64, i ? "," : "", kCounterNames[i],
                 r.counters[i]);
  std::fprintf(out, "\n");
}

bool writePlot(const Result &r, const std::string &dir) {
  // The directory is made when it is not there yet (--out names a new one).
  std::error_code made;
  std::filesystem::create_directories(dir, made);
  {
    std::ofstream data(dir + "/soak.dat");
    data << "# minute blocks KiB-held resident-KiB fds work-ms worst-us "
            "floor-blocks floor-KiB\n";
    for (const Minute &m : r.minutes) {
      uint64_t worst = 0;
      for (size_t k = 0; k < kWorkKinds; ++k)
        if (!measuredApart(static_cast<Work>(k)))
          worst = std::max(worst, m.worstNs[k]);
      data << m.minute << ' ' << m.liveBlocks << ' ' << m.liveBytes / 1024.0
           << ' ' << m.residentKiB << ' ' << m.descriptors << ' '
           << us(m.cpuNs) / 1000.0 << ' ' << us(worst) << ' ';
      // "?": no moment of the minute was free of screenshots.
      if (m.floorBlocks == kNoFloor)
        data << "? ?\n";
      else
        data << m.floorBlocks << ' ' << m.floorBytes / 1024.0 << '\n';
    }
  }
  std::ofstream gp(dir + "/soak.gp");
  gp << "set terminal png size 1000,900\n"
        "set output '"
     << dir
     << "/soak.png'\n"
        "set multiplot layout 3,1 title 'Quellor client soak run'\n"
        "set xlabel 'simulated minute'\n"
        "set key top left\n"
        "set grid\n"
        "set datafile missing '?'\n"
        "set title 'memory'\n"
        "set ylabel 'KiB'\n"
        "set yrange [0:*]\n"
        "plot '"
     << dir
     << "/soak.dat' using 1:3 with linespoints title "
        "'client bytes held (peak)', '' using 1:9 with linespoints title "
        "'client bytes held (low)', '' using 1:4 with linespoints title "
        "'resident'\n"
        "set title 'blocks and descriptors'\n"
        "set ylabel 'count'\n"
        "plot '"
     << dir
     << "/soak.dat' using 1:2 with linespoints title "
        "'client live blocks (peak)', '' using 1:8 with linespoints title "
        "'client live blocks (low)', '' using 1:5 with linespoints title "
        "'open descriptors'\n"
        "set title 'client work'\n"
        "set ylabel 'us / ms'\n"
        "plot '"
     << dir
     << "/soak.dat' using 1:7 with linespoints title "
        "'worst call, us (limit 1000)', '' using 1:($6/60.0*1000) with "
        "linespoints title 'mean per second of play, us', 1000 with lines "
        "title 'limit'\n"
        "unset multiplot\n";
  gp.close();
  const std::string command = "gnuplot '" + dir + "/soak.gp' >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

}  // namespace qxsoak
