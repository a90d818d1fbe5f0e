#include "report.h"

#include <algorithm>
#include <array>
#include <cinttypes>
#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <vector>

namespace qxsoak {

namespace {

double us(uint64_t ns) { return static_cast<double>(ns) / 1000.0; }

// ---- the table ----

// A line of the profile: the wall time of every call of a kind, then the
// calls in which the thread gave up the processor and those excused.
void profileLine(FILE *out, const char *name, const Histogram &h,
                 uint64_t gaveUp, uint64_t excused, uint64_t excusedWorst) {
  if (h.count() == 0) return;
  std::fprintf(out,
               "%-12s %9" PRIu64
               " %8.1f %8.1f %8.1f %8.1f %8.1f %8.2f %8" PRIu64 " %8" PRIu64,
               name, h.count(), us(h.quantile(5000)), us(h.quantile(9900)),
               us(h.quantile(9990)), us(h.quantile(9999)), us(h.worst()),
               us(h.total() / h.count()), gaveUp, excused);
  if (excused)
    std::fprintf(out, " %9.1f\n", us(excusedWorst));
  else
    std::fprintf(out, " %9s\n", "-");
}

void printProfile(const Result &r, FILE *out) {
  std::fprintf(
      out,
      "\nwall time of the entry calls as the game waits for them, us (the "
      "game's own\ncallbacks left out); \"gave up\": calls in which the "
      "thread gave up the processor\nitself, judged on their whole wall "
      "time; \"excused\": calls over 1000 us whose\nrest the system shows "
      "the thread spent off the processor, and their worst\n(the rule is "
      "at the top of tools/qxsoak/limits.cpp)%s\n"
      "%-12s %9s %8s %8s %8s %8s %8s %8s %8s %8s %9s\n",
      r.switchesCounted ? ""
                        : "\n(this platform counts no switches: every call "
                          "is judged on its whole wall time)",
      "work", "calls", "p50", "p99", "p99.9", "p99.99", "worst", "mean",
      "gave up", "excused", "exc worst");
  uint64_t gaveUp = 0, excused = 0, excusedWorst = 0;
  for (size_t k = 0; k < kWorkKinds; ++k) {
    if (measuredApart(static_cast<Work>(k))) continue;
    profileLine(out, workName(static_cast<Work>(k)), r.work[k], r.voluntary[k],
                r.excused[k], r.excusedWorstNs[k]);
    gaveUp += r.voluntary[k];
    excused += r.excused[k];
    excusedWorst = std::max(excusedWorst, r.excusedWorstNs[k]);
  }
  profileLine(out, "all calls", r.all, gaveUp, excused, excusedWorst);
  bool apartHeading = false;
  for (size_t k = 0; k < kWorkKinds; ++k) {
    if (!measuredApart(static_cast<Work>(k)) || r.work[k].count() == 0)
      continue;
    if (!apartHeading) std::fprintf(out, "measured apart, not judged:\n");
    apartHeading = true;
    profileLine(out, workName(static_cast<Work>(k)), r.work[k], r.voluntary[k],
                r.excused[k], r.excusedWorstNs[k]);
  }
  std::fprintf(out,
               "the machine's noise: a fixed reference work of a few us, "
               "timed after every call:\n");
  profileLine(out, "reference", r.reference, 0, 0, 0);
  std::fprintf(out,
               "the machine held the reference work up beyond 1000 us %" PRIu64
               " times\n",
               r.referenceOverLimit);
  const double seconds = static_cast<double>(r.simulatedMs) / 1000.0;
  std::fprintf(out,
               "the client's share per second of play: %.1f us (limit "
               "1000)\n",
               seconds > 0 ? us(r.clientTotalNs) / seconds : 0.0);
}

void printScreenshots(const Result &r, FILE *out) {
  const ScreenshotTally &s = r.screenshots;
  std::fprintf(out,
               "\nscreenshots the server asked for: %" PRIu64
               ", received and checked %" PRIu64
               ", in flight at the end %" PRIu64 ", lost %" PRIu64 "\n",
               s.asked, s.checked, s.inFlight, s.lost);
  std::fprintf(out,
               "  held back %" PRIu64
               " times (key changing, or the client's slots possibly "
               "full); %" PRIu64 " requests replayed as garbage, %" PRIu64
               " uploads of a request already received\n",
               s.deferred, s.replays, s.uploadsAgain);
  std::fprintf(out,
               "screenshots the player took: %" PRIu64 ", saved %" PRIu64
               ", refused %" PRIu64 "\n",
               s.localAsked, s.localSaved, s.localRefused);
}

void printMinutes(const Result &r, FILE *out) {
  std::fprintf(out, "\n%6s %12s %18s %12s %6s %10s %10s %s\n", "minute",
               "blocks low..peak", "bytes low..peak", "resident KiB", "fds",
               "client ms", "longest us", "excused (worst wall us)");
  for (const Minute &m : r.minutes) {
    if (r.heapCounted)
      std::fprintf(
          out, "%6d %5" PRIu64 "..%-5" PRIu64 " %8" PRIu64 "..%-8" PRIu64,
          m.minute, m.floorBlocks, m.liveBlocks, m.floorBytes, m.liveBytes);
    else
      std::fprintf(out, "%6d %12s %18s", m.minute, "-", "-");
    std::fprintf(out, " %12" PRIu64 " %6" PRIu64 " %10.2f %10.1f",
                 m.residentKiB, m.descriptors, us(m.clientNs) / 1000.0,
                 us(m.worstJudged()));
    if (m.excused)
      std::fprintf(out, " %" PRIu64 " (%.1f)\n", m.excused,
                   us(m.excusedWorstNs));
    else
      std::fprintf(out, " -\n");
  }
}

// ---- the plot ----

// The minutes of the run by number; a minute not measured is absent.
std::map<int, const Minute *> byNumber(const Result &r) {
  std::map<int, const Minute *> out;
  for (const Minute &m : r.minutes) out[m.minute] = &m;
  return out;
}

std::string quoted(const std::string &text) {
  std::string out = "\"";
  for (char c : text) {
    if (c == '\n') {
      out += "\\n";
      continue;
    }
    if (c == '"' || c == '\\') out += '\\';
    out += c;
  }
  return out + "\"";
}

// Columns of soak.dat: per minute, the figures drawn.
enum Column {
  kMinuteColumn = 1,
  kLongest,       // the client's share of its longest call, us
  kExcusedWorst,  // the wall time of the longest call excused, us
  kPerSecond,     // the client's share per second of play, us
  kFloorKiB,      // the heap floor, less the kept records
  kFloorBlocks,
  kPeakKiB,  // the heap's highest
  kPeakBlocks,
  kResident,  // KiB, less the kept records
  kDescriptors,
  kWindowKiB,  // the lowest floor of the minute's window (judged)
  kWindowBlocks,
  kWindowResident,
  kColumns = kWindowResident
};

// The figures of one minute, NaN where there is nothing to draw.
using Row = std::array<double, kColumns + 1>;

double count(uint64_t v) { return static_cast<double>(v); }
double kib(uint64_t bytes) { return static_cast<double>(bytes) / 1024.0; }

// The warm-up from its second minute (the first sets no floor) and the
// windows after it.
std::vector<Window> judgedWindows(int minutes) {
  std::vector<Window> out = {{2, warmUpMinutes(minutes)}};
  for (const Window &w : floorWindows(minutes)) out.push_back(w);
  return out;
}

// One row per minute of the run; a minute not measured is all NaN.
std::vector<Row> rows(const Options &options, const Result &r) {
  std::vector<Row> out;
  const auto minutes = byNumber(r);
  for (int n = 1; n <= options.minutes; ++n) {
    Row row;
    row.fill(NAN);
    row[kMinuteColumn] = n;
    const auto it = minutes.find(n);
    if (it != minutes.end()) {
      const Minute &m = *it->second;
      row[kLongest] = us(m.worstJudged());
      if (m.excused) row[kExcusedWorst] = us(m.excusedWorstNs);
      row[kPerSecond] = us(m.clientNs) / 60.0;
      // The first minute's floor is the client before it started: no floor
      // is judged there, and none is drawn.
      if (r.heapCounted && n > 1) {
        row[kFloorKiB] = kib(m.floorBytes);
        row[kFloorBlocks] = count(m.floorBlocks);
      }
      if (r.heapCounted) {
        row[kPeakKiB] = kib(m.liveBytes);
        row[kPeakBlocks] = count(m.liveBlocks);
      }
      row[kResident] = count(m.residentKiB);
      row[kDescriptors] = count(m.descriptors);
    }
    out.push_back(row);
  }
  // The lowest of the warm-up, on which the limit stands, and of each window
  // after it, which the limit judges.
  for (const Window &w : judgedWindows(options.minutes))
    for (const auto &[floor, low] : {std::pair{kFloorKiB, kWindowKiB},
                                     std::pair{kFloorBlocks, kWindowBlocks},
                                     std::pair{kResident, kWindowResident}}) {
      double lowest = NAN;
      for (int n = w.from; n <= w.to; ++n) {
        const double v = out[size_t(n - 1)][floor];
        if (std::isfinite(v) && !(v >= lowest)) lowest = v;
      }
      for (int n = w.from; n <= w.to; ++n) out[size_t(n - 1)][low] = lowest;
    }
  return out;
}

void writeData(const std::vector<Row> &data, const std::string &path) {
  std::ofstream out(path);
  out << "# minute longest-us excused-us client-us-per-s floor-KiB "
         "floor-blocks peak-KiB peak-blocks resident-KiB fds window-floor-KiB "
         "window-floor-blocks window-resident-KiB\n"
         "# NaN: not measured (a whole row), or nothing to draw\n";
  for (const Row &row : data) {
    for (int c = kMinuteColumn; c <= kColumns; ++c)
      out << (c > kMinuteColumn ? " " : "") << row[size_t(c)];
    out << "\n";
  }
}

// One figure: what it draws, on an axis fitted to what is judged and its
// limit, so that a change shows and the limit line stands clear of the
// border. Figures of a column above the axis are marked at its top.
struct Panel {
  std::string title, ylabel;
  std::vector<int> fitted;  // the columns the axis is fitted to
  double limit = NAN;       // NaN: no limit drawn
  bool logScale = false;
  std::string plot;      // the plot command's items after the data file
  int clipped = 0;       // the column marked where above the axis (0: none)
  std::string clipNote;  // the marks' title
  int windows = 0;       // the column of the windows' lowest, drawn as steps
  std::string note;      // instead of figures: why there are none
};

// Each window's lowest as a bold line over its minutes.
void drawWindows(std::ostream &gp, const Panel &p, const std::vector<Row> &data,
                 int minutes) {
  int arrow = 1;
  for (const Window &w : judgedWindows(minutes)) {
    const double y = data[size_t(w.from - 1)][size_t(p.windows)];
    if (!std::isfinite(y)) continue;
    gp << "set arrow " << arrow++ << " from first " << w.from - 0.5
       << ", first " << y << " to first " << w.to + 0.5 << ", first " << y
       << " nohead front linewidth 3 linecolor rgb '#08306b'\n";
  }
}

void range(const Panel &p, const std::vector<Row> &data, double &low,
           double &high) {
  std::vector<double> v;
  for (int c : p.fitted)
    for (const Row &row : data)
      if (std::isfinite(row[size_t(c)])) v.push_back(row[size_t(c)]);
  if (std::isfinite(p.limit)) v.push_back(p.limit);
  if (v.empty()) v.push_back(0);
  low = *std::min_element(v.begin(), v.end());
  high = *std::max_element(v.begin(), v.end());
  if (p.logScale) {
    low = std::max(1.0, low / 2);
    high = std::max(high * 2, low * 10);
    return;
  }
  const double span = high > low ? high - low : std::max(1.0, high * 0.1);
  low = std::max(0.0, low - 0.15 * span);
  high += 0.15 * span;
}

void drawPanel(std::ostream &gp, const Panel &p, const std::vector<Row> &data,
               const std::string &file, int minutes) {
  gp << "set title " << quoted(p.title) << "\n"
     << "set ylabel " << quoted(p.ylabel) << "\n";
  if (!p.note.empty()) {
    gp << "set yrange [0:1]\nunset ytics\n"
       << "set label 1 " << quoted(p.note) << " at graph 0.5,0.5 center\n"
       << "plot NaN notitle\n"
       << "unset label 1\nset ytics\n";
    return;
  }
  double low = 0, high = 1;
  range(p, data, low, high);
  if (p.logScale) gp << "set logscale y\n";
  if (p.windows) drawWindows(gp, p, data, minutes);
  gp << "set yrange [" << low << ":" << high << "]\n"
     << "plot '" << file << "' " << p.plot;
  if (p.windows)
    gp << ", NaN with lines linewidth 3 linecolor rgb '#08306b' title 'lowest "
          "of the warm-up and of each window (judged)'";
  if (p.clipped) {
    const double top = high - 0.02 * (high - low);
    gp << ", '' using 1:($" << p.clipped << " > " << high << " ? " << top
       << " : NaN) with points pointtype 9 pointsize 1.2 linecolor rgb "
          "'#1f77b4' title "
       << quoted(p.clipNote);
  }
  if (std::isfinite(p.limit))
    gp << ", " << p.limit
       << " with lines dashtype 2 linewidth 2 linecolor rgb '#d62728' title "
          "'limit'";
  gp << "\n";
  if (p.logScale) gp << "unset logscale y\n";
  if (p.windows) gp << "unset arrow\n";
}

constexpr const char *kBlue = "#1f77b4";
constexpr const char *kGreen = "#2ca02c";
constexpr const char *kLight = "#9ecae1";

// A line through the minutes' figures of a column.
std::string series(int column, const std::string &title,
                   const std::string &colour, double width = 1.5) {
  return "using 1:" + std::to_string(column) +
         " with linespoints pointtype 7 pointsize 0.5 linewidth " +
         std::to_string(width) + " linecolor rgb '" + colour + "' title " +
         quoted(title);
}

double asLimit(uint64_t limit, double scale = 1.0) {
  return limit == kNoLimit ? NAN : static_cast<double>(limit) / scale;
}

// A panel of a figure judged by each window's lowest: the minutes' lowest
// light, the windows' lowest bold; the axis fits the warm-up's lowest, the
// windows' and the limit, and a minute whose lowest is above it (a
// screenshot in hand all minute) is marked at the top.
Panel floorPanel(const std::string &title, const std::string &ylabel,
                 int column, int window, double limit,
                 const std::string &what) {
  Panel p;
  p.title = title;
  p.ylabel = ylabel;
  p.fitted = {window};
  p.limit = limit;
  p.plot = series(column, what, kLight, 1);
  p.windows = window;
  p.clipped = column;
  p.clipNote = "above the axis";
  return p;
}

std::vector<Panel> panels(const Options &options, const Result &r,
                          const MemoryLimits &l) {
  std::vector<Panel> out;
  Panel wait;
  wait.title = "Longest entry call in each minute";
  wait.ylabel = "us, log scale";
  wait.logScale = true;
  wait.fitted = {kLongest, kExcusedWorst};
  wait.limit = options.limits ? us(kCallLimitNs) : NAN;
  wait.plot = series(kLongest,
                     "the client's part: its processor time, or the whole "
                     "wait where it gave the processor up",
                     kBlue) +
              ", '' using 1:" + std::to_string(kExcusedWorst) +
              " with points pointtype 6 pointsize 1.6 linewidth 2 linecolor "
              "rgb '#ff7f0e' title 'excused: the whole wait of a call the "
              "machine took the processor from'";
  out.push_back(wait);

  Panel share;
  share.title = "Client's part of the entry calls per second of play";
  share.ylabel = "us per s";
  share.fitted = {kPerSecond};
  share.limit = options.limits ? 1000.0 : NAN;
  share.plot = series(kPerSecond, "mean over the minute", kBlue);
  out.push_back(share);

  const std::string less = ", less the records kept for the next screenshots";
  const std::string notCounted =
      "not counted: the client is loaded as a library, its heap unseen";
  Panel floorKiB = floorPanel("Client heap floor" + less, "KiB", kFloorKiB,
                              kWindowKiB, asLimit(l.floorBytes, 1024.0),
                              "bytes held, lowest in the minute");
  Panel floorBlocks = floorPanel(
      "Client heap floor" + less, "blocks", kFloorBlocks, kWindowBlocks,
      asLimit(l.floorBlocks), "live blocks, lowest in the minute");
  const std::string peakNote =
      l.peakBytes == kNoLimit ? " (no limit below 30 minutes)" : "";
  Panel peakKiB;
  peakKiB.title =
      "Client heap peak: highest in the minute, screenshots included";
  peakKiB.ylabel = "KiB";
  peakKiB.fitted = {kPeakKiB};
  peakKiB.limit = asLimit(l.peakBytes, 1024.0);
  peakKiB.plot = series(kPeakKiB, "bytes held" + peakNote, kGreen);
  Panel peakBlocks = peakKiB;
  peakBlocks.ylabel = "blocks";
  peakBlocks.fitted = {kPeakBlocks};
  peakBlocks.limit = asLimit(l.peakBlocks);
  peakBlocks.plot = series(kPeakBlocks, "live blocks" + peakNote, kGreen);
  for (Panel *p : {&floorKiB, &floorBlocks, &peakKiB, &peakBlocks}) {
    if (!r.heapCounted) p->note = notCounted;
    out.push_back(*p);
  }

  Panel resident =
      floorPanel("Resident memory of the process at the minute's end" + less,
                 "KiB", kResident, kWindowResident, asLimit(l.residentKiB),
                 "resident at the minute's end");
  if (!r.residentCounted) {
    resident.title += " (not judged under the sanitizers)";
    resident.fitted = {kResident};
  }
  out.push_back(resident);

  Panel descriptors;
  descriptors.title = "Open descriptors of the process at the minute's end";
  descriptors.ylabel = "descriptors";
  descriptors.fitted = {kDescriptors};
  descriptors.limit = asLimit(l.descriptors);
  descriptors.plot = series(kDescriptors, "open descriptors", kBlue);
  out.push_back(descriptors);
  return out;
}

// The page's heading: the run, its verdict, its screenshots, and how to
// read the shading.
std::string heading(const Options &options, const Result &r) {
  const int warmUp = warmUpMinutes(options.minutes);
  const size_t failed = r.failures.size() + r.missed.size();
  const ScreenshotTally &s = r.screenshots;
  std::ostringstream h;
  h << "Quellor client soak: " << options.minutes << " minutes of play, seed "
    << options.seed << " - "
    << (failed ? "FAILED (" + std::to_string(failed) + " failures)" : "passed")
    << (options.limits ? "" : ", time limits not applied") << "\n"
    << "screenshots asked " << s.asked << ", checked " << s.checked
    << ", in flight at the end " << s.inFlight << ", lost " << s.lost
    << "; the player's taken " << s.localAsked << ", saved " << s.localSaved
    << ", refused " << s.localRefused << "\n"
    << "light shading: the warm-up (minutes 1 to " << warmUp
    << "); grey bars: minutes not measured; red dashes: the limit";
  return h.str();
}

void writeScript(const Options &options, const Result &r,
                 const std::vector<Row> &data, const std::string &dir) {
  const std::string file = dir + "/soak.dat";
  std::ofstream gp(dir + "/soak.gp");
  gp << "set terminal pngcairo size 1600,1500 font 'Sans,10'\n"
     << "set output '" << dir << "/soak.png'\n"
     << "set xrange [0.5:" << options.minutes << ".5]\n"
     << "set xlabel 'minute of play'\n"
     << "set grid\n"
     << "set key below left horizontal Left reverse height 1.5\n"
     << "set object 1 rect from first 0.5, graph 0 to first "
     << warmUpMinutes(options.minutes)
     << ".5, graph 1 behind fillcolor rgb '#eeeeee' fillstyle solid "
        "noborder\n";
  // A grey bar over each stretch of minutes not measured.
  const auto minutes = byNumber(r);
  int object = 2;
  for (int n = 1; n <= options.minutes; ++n) {
    if (minutes.count(n)) continue;
    int to = n;
    while (to < options.minutes && !minutes.count(to + 1)) ++to;
    gp << "set object " << object++ << " rect from first " << n - 0.5
       << ", graph 0 to first " << to + 0.5
       << ", graph 1 front fillcolor rgb '#999999' fillstyle solid 0.6 "
          "noborder\n";
    n = to;
  }
  gp << "set multiplot layout 4,2 title " << quoted(heading(options, r))
     << " font ',13'\n";
  for (const Panel &p : panels(options, r, memoryLimits(options, r)))
    drawPanel(gp, p, data, file, options.minutes);
  gp << "unset multiplot\n";
}

}  // namespace

void printReport(const Options &options, const Result &r, FILE *out) {
  std::fprintf(
      out, "soak: %d minutes of play from seed %u, %s\n", options.minutes,
      options.seed,
      options.library.empty() ? "simulated clock" : options.library.c_str());
  printProfile(r, out);
  printScreenshots(r, out);
  printMinutes(r, out);
  std::fprintf(out, "\ntraffic:");
  for (size_t i = 0; i < 16; ++i)
    std::fprintf(out, "%s %s %" PRIu64, i ? "," : "", kCounterNames[i],
                 r.counters[i]);
  std::fprintf(out, "\n");
}

bool writePlot(const Options &options, const Result &r,
               const std::string &dir) {
  // The directory is made when it is not there yet (--out names a new one).
  std::error_code made;
  std::filesystem::create_directories(dir, made);
  const std::vector<Row> data = rows(options, r);
  writeData(data, dir + "/soak.dat");
  writeScript(options, r, data, dir);
  const std::string command = "gnuplot '" + dir + "/soak.gp' >/dev/null 2>&1";
  return std::system(command.c_str()) == 0;
}

}  // namespace qxsoak
