// Screenshots: what a screenshot costs the game's frames. The client's own
// processor time in every ca call (the host's read-back excluded, measured
// apart) during a server screenshot of a 640 x 480 frame, a local
// 1920 x 1080 screenshot and five 1920 x 1080 requests at once (three
// local, two server): worst call, p99 and p50, each against one zlib
// compress of the same annotated image. The surface copy and the read-back
// against memcpy of the same bytes; the whole local screenshot (all calls
// added) against one compress plus the annotation in one go; the play time
// until it is stored at 60 frames a second and qx_Sleep 60. Then encodePng
// against compress, and the PNG's size against libpng.
//
// A call during which the kernel switched the thread out measures the
// machine, not the client (on a virtual machine such a call can show
// milliseconds of "processor time" for a few microseconds of work): those
// calls are counted and shown apart, and the figures are of the others.
// A virtual machine also takes its processor away without the kernel
// knowing, now and then: a fixed 2 us reference timed after every call
// shows how far that goes in the same run, and beside the worst call of
// all runs stands the median of each run's worst, which a slow step shows
// in every run and such a hiccup does not.
//
// The first screenshot of a process touches its buffers for the first time
// (about 20 MB for a 1920 x 1080 one, where a first touch can cost 10 us a
// page on a virtual machine); later ones reuse them. Both are shown; the
// ratio against compress, whose buffers are warm, is the later one's.
#include <benchmark/benchmark.h>
#include <malloc.h>
#include <png.h>
#include <zlib.h>

#include <sys/resource.h>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "host/client_state.h"
#include "platform/platform.h"
#include "qx/qxcl.h"
#include "ratio_reporter.h"
#include "screenshot/annotate.h"
#include "screenshot/capture.h"
#include "screenshot/png.h"
#include "screenshot/screenshot.h"

namespace {

namespace ss = qx::screenshot;

// The host's frame: 640 x 480 for the server scenario, 1920 x 1080 for
// the others.
int32_t g_frameWidth = 640, g_frameHeight = 480;

// A frame like a game's: smooth shading, shapes and a fine texture.
std::vector<uint8_t> makeFrame(int32_t width, int32_t height) {
  std::vector<uint8_t> out(size_t(width) * height * 3);
  uint32_t seed = 12345;
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x) {
      seed = seed * 1103515245u + 12345u;
      const int noise = int(seed >> 29) - 4;
      uint8_t *p = &out[(size_t(y) * width + x) * 3];
      const bool box = x > width / 3 && x < width * 2 / 3 && y > height / 3 &&
                       y < height * 2 / 3;
      p[0] = uint8_t(std::clamp((box ? 200 : x * 255 / width) + noise, 0, 255));
      p[1] = uint8_t(std::clamp((box ? 60 : y * 255 / height) + noise, 0, 255));
      p[2] = uint8_t(std::clamp(((x ^ y) & 64 ? 150 : 90) + noise, 0, 255));
    }
  return out;
}

const std::vector<uint8_t> &frame() {
  static std::vector<uint8_t> small = makeFrame(640, 480);
  static std::vector<uint8_t> large = makeFrame(1920, 1080);
  return g_frameWidth == 640 ? small : large;
}

// The calling thread's processor time in microseconds: a call's own cost,
// without the time the machine gave to other processes meanwhile.
double threadMicroseconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return double(t.tv_sec) * 1e6 + double(t.tv_nsec) / 1e3;
}

// Processor time spent in the host's read-back: the host's copy, measured
// apart from the client's own work.
double g_hostUs = 0;

void QX_READBACK_CALL readBack(int32_t x, int32_t y, int32_t w, int32_t h,
                               int32_t, int32_t, void *out) {
  const double start = threadMicroseconds();
  const std::vector<uint8_t> &f = frame();
  for (int32_t i = 0; i < h; ++i)
    std::memcpy(static_cast<uint8_t *>(out) + size_t(i) * w * 3,
                &f[(size_t(y + h - 1 - i) * g_frameWidth + x) * 3],
                size_t(w) * 3);
  g_hostUs += threadMicroseconds() - start;
}

intptr_t QX_CDECL captureQuery(int32_t code) {
  switch (code) {
    case QX_CAP_READBACK:
      return reinterpret_cast<intptr_t>(&readBack);
    case QX_CAP_WIDTH:
      return g_frameWidth;
    case QX_CAP_HEIGHT:
      return g_frameHeight;
    default:
      return 1;
  }
}

intptr_t QX_CDECL query(int32_t code, char *buffer, int32_t) {
  if (code == QX_Q_CVAR && std::strcmp(buffer, "cl_quellor") == 0) {
    std::memcpy(buffer, "1", 2);
    return 0;
  }
  if (code == QX_Q_CVAR && std::strcmp(buffer, "fs_homepath") == 0) {
    static const std::string home = [] {
      char path[] = "/tmp/qxbench_XXXXXX";
      return std::string(mkdtemp(path) ? path : "/tmp");
    }();
    std::snprintf(buffer, 256, "%s", home.c_str());
    return 0;
  }
  if (code == QX_Q_SERVER_ADDRESS) {
    std::memcpy(buffer, "10.0.0.1:27960", 15);
    return 0;
  }
  return code == QX_Q_SS_LOG_DETAIL ? 0 : 1;
}
void QX_CDECL quiet(const char *, int32_t) {}
void QX_CDECL noSend(int32_t, const void *) {}
void QX_CDECL noNamedOp(const char *, const char *) {}

QxGameInterface makeInterface() {
  QxGameInterface gi{};
  gi.magic = QX_INTERFACE_MAGIC;
  gi.query = query;
  gi.print = quiet;
  gi.sendToServer = noSend;
  gi.namedOp = noNamedOp;
  gi.captureQuery = captureQuery;
  return gi;
}

// The annotated image of a default server request (308 x 232 of the frame).
std::vector<uint8_t> g_image;
uint32_t g_imageWidth = 0, g_imageHeight = 0;

// One compress of image, in microseconds of processor time (the best of a
// few, so that it is the work and not the machine's noise).
double compressMicroseconds(const uint8_t *image, size_t size) {
  std::vector<uint8_t> out(compressBound(uLong(size)));
  double best = 1e30;
  for (int i = 0; i < 3; ++i) {
    uLongf n = uLongf(out.size());
    const double start = threadMicroseconds();
    compress(out.data(), &n, image, uLong(size));
    best = std::min(best, threadMicroseconds() - start);
  }
  return best;
}

// The thread's context switches so far.
long switches() {
  rusage r{};
  getrusage(RUSAGE_THREAD, &r);
  return r.ru_nvcsw + r.ru_nivcsw;
}

// The client's own processor time of each ca call while a screenshot was
// under way, and what it is compared with.
struct Calls {
  std::vector<double> us;  // per call, the host's read-back taken out
  double hostUs = 0;       // the read-backs
  size_t switched = 0;     // calls during which the thread was switched out
  double switchedWorst = 0;
  double switchedUs = 0;
  std::vector<double> runWorsts;  // the worst call of each run
  double referenceWorst = 0;      // the machine's noise: see playFrame
  // Ends a run whose calls start at us[from].
  void endRun(size_t from) {
    double worst = 0;
    for (size_t i = from; i < us.size(); ++i) worst = std::max(worst, us[i]);
    runWorsts.push_back(worst);
  }
  double medianRunWorst() const {
    std::vector<double> v = runWorsts;
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
  }
  double total() const {
    double t = switchedUs;
    for (double u : us) t += u;
    return t;
  }
  double quantile(double q) const {
    std::vector<double> v = us;
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, size_t(q * v.size()))];
  }
};

struct Report {
  std::string name;
  Calls calls;
  double compressUs = 0;  // one compress of the same annotated image
};
std::vector<Report> g_reports;

uint32_t g_ticks = 1000;
uint32_t ticks() { return g_ticks; }

bool busy() {
  for (const ss::Slot &s : qx::client().screenshot.slots)
    if (s.stage != 0) return true;
  return false;
}

// A fixed piece of work of about 2 us, timed after every call: what the
// machine makes of work that never changes, beside what the client's calls
// take.
double referenceWork() {
  const double start = threadMicroseconds();
  volatile uint32_t x = 1;
  for (int i = 0; i < 600; ++i) x = x * 1664525u + 1013904223u;
  return threadMicroseconds() - start;
}

// One call of the game's frame at 60 frames a second.
void playFrame(QxGameInterface &gi, Calls &calls) {
  g_ticks += 17;
  const double host = g_hostUs;
  const long before = switches();
  const double start = threadMicroseconds();
  ca(&gi, 0);
  const double spent = threadMicroseconds() - start;
  const double own = spent - (g_hostUs - host);
  calls.hostUs += g_hostUs - host;
  if (switches() != before) {
    ++calls.switched;
    calls.switchedUs += own;
    calls.switchedWorst = std::max(calls.switchedWorst, own);
    return;
  }
  calls.us.push_back(own);
  const long quiet = switches();
  const double reference = referenceWork();
  if (switches() == quiet)
    calls.referenceWorst = std::max(calls.referenceWorst, reference);
}

// A fresh client with the bench host's frame of the given size.
QxGameInterface freshClient(int32_t width, int32_t height) {
  qx::resetClientState();
  qx::platform::setTickSource(ticks);
  g_frameWidth = width;
  g_frameHeight = height;
  QxGameInterface gi = makeInterface();
  frame();     // drawing the frame is the host's work, before anything is timed
  ca(&gi, 0);  // starts the client
  return gi;
}

void serverRequest(QxGameInterface &gi, int number, const char *words) {
  char text[96];
  const int n = std::snprintf(text, sizeof text, "0 0 %d %s", number, words);
  ss::queueScreenshot(&gi, n, text);
}

void localRequest() {
  qx::client().settings.ssOptions = {1920, 1080, 50, 50, 1};
  ss::takeLocalScreenshot();
}

// Captures w x h pixels of the host's frame and annotates them with lines
// as a screenshot does, in one go; the image into image, the time of the
// annotation returned.
double annotateInOneGo(int32_t w, int32_t h,
                       const char lines[ss::kLineCount][ss::kTextMax + 1],
                       std::vector<uint8_t> &image, uint32_t &imageWidth,
                       uint32_t &imageHeight) {
  ss::Capture *c = ss::newCapture();
  char error[256];
  QxGameInterface gi = makeInterface();
  ss::captureReadBack(*c, &gi, w, h, 50, 50, 1, error);
  c->outWidth = uint16_t(c->width / c->step);
  c->outHeight = uint16_t(c->height / c->step);
  const double start = threadMicroseconds();
  ss::annotate(*c, lines);
  const double us = threadMicroseconds() - start;
  image.assign(c->work, c->work + c->imageSize);
  imageWidth = uint32_t{c->marginLeft} + c->outWidth + c->marginRight;
  imageHeight = uint32_t{c->marginTop} + c->outHeight + c->marginBottom;
  ss::releaseCapture(c);
  return us;
}

// Runs the screenshots under way to their end, one game frame a call; the
// lines of slot 0 once they are built, and the seconds of play until slot
// 0's upload began when uploadAfterS is given.
void playUntilDone(QxGameInterface &gi, Calls &calls,
                   char lines[ss::kLineCount][ss::kTextMax + 1],
                   double *uploadAfterS = nullptr) {
  const uint32_t start = g_ticks;
  while (busy()) {
    playFrame(gi, calls);
    const ss::Slot &s = qx::client().screenshot.slots[0];
    if (uploadAfterS && *uploadAfterS < 0 && s.transfer.letter != 0)
      *uploadAfterS = (g_ticks - start) / 1000.0;
    if (s.stage >= ss::kStageEncode && s.stage < ss::kStageFinished)
      std::memcpy(lines, s.lines, sizeof s.lines);
  }
}

double g_localTotalUs = 0, g_localBaselineUs = 0, g_localLatencyS = 0;
double g_coldTotalUs = 0, g_coldLatencyS = 0;
size_t g_localCalls = 0;  // calls of the later local screenshot
double g_serverLatencyS = 0, g_oneServerLatencyS = 0;

void BM_ServerScreenshot640x480(benchmark::State &state) {
  Report r{"server 640x480", {}, 0};
  char lines[ss::kLineCount][ss::kTextMax + 1] = {};
  for (auto _ : state) {
    QxGameInterface gi = freshClient(640, 480);
    serverRequest(gi, 42, "");
    const size_t from = r.calls.us.size();
    double uploadAfterS = -1;
    playUntilDone(gi, r.calls, lines, &uploadAfterS);
    r.calls.endRun(from);
    g_oneServerLatencyS = std::max(g_oneServerLatencyS, uploadAfterS);
  }
  state.counters["upload_after_s"] = g_oneServerLatencyS;
  // The default request: 640 x 480 within the pixel budget is 308 x 232.
  annotateInOneGo(308, 232, lines, g_image, g_imageWidth, g_imageHeight);
  r.compressUs = compressMicroseconds(g_image.data(), g_image.size());
  state.counters["worst_us"] = r.calls.quantile(1.0);
  state.counters["p99_us"] = r.calls.quantile(0.99);
  g_reports.push_back(r);
}
BENCHMARK(BM_ServerScreenshot640x480)->Iterations(5);

// Plays one local screenshot to its end; its play time in seconds.
double playLocal(QxGameInterface &gi, Calls &calls,
                 char lines[ss::kLineCount][ss::kTextMax + 1]) {
  localRequest();
  const uint32_t start = g_ticks;
  playUntilDone(gi, calls, lines);
  return (g_ticks - start) / 1000.0;
}

void addCalls(Calls &to, Calls &from) {
  from.endRun(0);
  to.runWorsts.push_back(from.runWorsts.back());
  to.referenceWorst = std::max(to.referenceWorst, from.referenceWorst);
  to.us.insert(to.us.end(), from.us.begin(), from.us.end());
  to.hostUs += from.hostUs;
  to.switched += from.switched;
  to.switchedUs += from.switchedUs;
  to.switchedWorst = std::max(to.switchedWorst, from.switchedWorst);
}

// A fresh client takes a first screenshot (cold buffers) and a second one
// (its buffers kept from the first).
void BM_LocalScreenshot1920x1080(benchmark::State &state) {
  Report r{"local 1920x1080", {}, 0};
  double latency = 0, coldLatency = 0;
  char lines[ss::kLineCount][ss::kTextMax + 1] = {};
  for (auto _ : state) {
    QxGameInterface gi = freshClient(1920, 1080);
    Calls cold, warm;
    coldLatency = std::max(coldLatency, playLocal(gi, cold, lines));
    latency = std::max(latency, playLocal(gi, warm, lines));
    addCalls(r.calls, cold);
    addCalls(r.calls, warm);
    g_coldTotalUs = cold.total();
    g_localTotalUs = warm.total();
    g_localCalls = warm.us.size() + warm.switched;
  }
  std::vector<uint8_t> image;
  uint32_t imageWidth = 0, imageHeight = 0;
  double annotateUs = 1e30;  // the best of a few, as for compress
  for (int i = 0; i < 3; ++i)
    annotateUs = std::min(annotateUs, annotateInOneGo(1920, 1080, lines, image,
                                                      imageWidth, imageHeight));
  r.compressUs = compressMicroseconds(image.data(), image.size());
  g_localBaselineUs = r.compressUs + annotateUs;
  g_localLatencyS = latency;
  g_coldLatencyS = coldLatency;
  state.counters["worst_us"] = r.calls.quantile(1.0);
  state.counters["p99_us"] = r.calls.quantile(0.99);
  state.counters["stored_after_s"] = latency;
  g_reports.push_back(r);
}
BENCHMARK(BM_LocalScreenshot1920x1080)->Iterations(3);

void BM_FiveRequests1920x1080(benchmark::State &state) {
  Report r{"five 1920x1080 (3 local, 2 server)", {}, 0};
  double serverStart = 0;
  for (auto _ : state) {
    QxGameInterface gi = freshClient(1920, 1080);
    for (int i = 0; i < 3; ++i) localRequest();
    serverRequest(gi, 7, "1920 1080 50 50 1");
    serverRequest(gi, 8, "1920 1080 50 50 1");
    const uint32_t start = g_ticks;
    const size_t from = r.calls.us.size();
    bool started[ss::kSlotCount] = {};
    while (busy()) {
      playFrame(gi, r.calls);
      for (int i = 0; i < ss::kSlotCount; ++i) {
        const ss::Slot &s = qx::client().screenshot.slots[i];
        if (!started[i] && s.stage != 0 && !ss::isLocal(s) &&
            s.transfer.letter != 0) {
          started[i] = true;
          serverStart = std::max(serverStart, (g_ticks - start) / 1000.0);
        }
      }
    }
    r.calls.endRun(from);
  }
  r.compressUs = g_localBaselineUs;  // replaced below by the compress alone
  g_serverLatencyS = serverStart;
  state.counters["worst_us"] = r.calls.quantile(1.0);
  state.counters["server_upload_after_s"] = serverStart;
  g_reports.push_back(r);
}
BENCHMARK(BM_FiveRequests1920x1080)->Iterations(3);

// A 32-bit primary surface of 1920 x 1080 pixels and a window over all of
// it, for the copy under the lock.
std::vector<uint8_t> g_surface;
const qx::platform::ScreenAccess kSurface = {
    [] { return true; },
    [](qx::platform::WindowPlacement &w) {
      w = {1, 0, 0, 1920, 1080};
      return true;
    },
    []() -> qx::platform::Surface { return &g_surface; },
    [](qx::platform::Surface, qx::platform::SurfaceLock &out) {
      out = {g_surface.data(), 1920 * 4, 32, 1080};
      return true;
    },
    [](qx::platform::Surface) {},
    [](qx::platform::Surface, qx::platform::PaletteColour *) { return false; },
    [](qx::platform::Surface) {},
};

void BM_SurfaceCopy1920x1080(benchmark::State &state) {
  g_surface.assign(size_t(1920) * 1080 * 4, 0x5A);
  qx::platform::setScreenAccess(&kSurface);
  ss::Capture *c = ss::newCapture();
  char error[256];
  while (ss::surfaceBegin(*c, 1920, 1080, 50, 50, 1, error) ==
         ss::kBuffersInPart) {
  }
  while (ss::clearSlice(*c) == ss::Step::More) {
  }
  for (auto _ : state) {
    c->offsetX = c->offsetY = 50;
    benchmark::DoNotOptimize(ss::surfaceCopy(*c, error));
  }
  ss::releaseCapture(c);
  qx::platform::setScreenAccess(nullptr);
}
BENCHMARK(BM_SurfaceCopy1920x1080);

void BM_ReadBack1920x1080(benchmark::State &state) {
  g_frameWidth = 1920;
  g_frameHeight = 1080;
  QxGameInterface gi = makeInterface();
  ss::Capture *c = ss::newCapture();
  char error[256];
  while (ss::readBackBegin(*c, &gi, 1920, 1080, 50, 50, 1, error) ==
         ss::kBuffersInPart) {
  }
  while (ss::clearSlice(*c) == ss::Step::More) {
  }
  for (auto _ : state) benchmark::DoNotOptimize(ss::readBackCopy(*c, &gi));
  ss::releaseCapture(c);
}
BENCHMARK(BM_ReadBack1920x1080);

template <size_t kBytes>
void BM_Memcpy(benchmark::State &state) {
  std::vector<uint8_t> from(kBytes, 0x5A), to(kBytes, 0);
  for (auto _ : state) {
    std::memcpy(to.data(), from.data(), kBytes);
    benchmark::DoNotOptimize(to.data());
  }
}
BENCHMARK_TEMPLATE(BM_Memcpy, size_t(1920) * 1080 * 4)
    ->Name("BM_MemcpySurfaceBytes");
BENCHMARK_TEMPLATE(BM_Memcpy, size_t(1920) * 1080 * 3)
    ->Name("BM_MemcpyReadBackBytes");

void BM_CompressOneCall(benchmark::State &state) {
  std::vector<uint8_t> out(compressBound(uLong(g_image.size())));
  for (auto _ : state) {
    uLongf n = uLongf(out.size());
    compress(out.data(), &n, g_image.data(), uLong(g_image.size()));
    benchmark::DoNotOptimize(out.data());
  }
  state.SetBytesProcessed(int64_t(state.iterations()) *
                          int64_t(g_image.size()));
}
BENCHMARK(BM_CompressOneCall);

ss::Capture *annotatedCapture() {
  ss::Capture *c = ss::newCapture();
  c->outWidth = uint16_t(g_imageWidth - 20);
  c->outHeight = uint16_t(g_imageHeight - 106);
  c->imageSize = uint32_t(g_image.size());
  c->marginBottom = 96;
  c->work = static_cast<uint8_t *>(std::malloc(g_image.size()));
  c->workCapacity = c->imageSize;
  return c;
}

void BM_EncodePng(benchmark::State &state) {
  ss::Capture *c = annotatedCapture();
  c->marginLeft = c->marginRight = 10;
  for (auto _ : state) {
    state.PauseTiming();
    std::memcpy(c->work, g_image.data(), g_image.size());
    c->imageSize = uint32_t(g_image.size());
    c->encoder.phase = ss::kEncodeIdle;
    state.ResumeTiming();
    benchmark::DoNotOptimize(ss::encodePng(*c));
  }
  state.counters["png_bytes"] = c->pngSize;
  ss::releaseCapture(c);
}
BENCHMARK(BM_EncodePng);

// libpng, filters off, default compression, into memory.
size_t libpngSize() {
  png_structp png =
      png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  std::vector<uint8_t> out;
  png_set_write_fn(
      png, &out,
      [](png_structp p, png_bytep data, size_t n) {
        auto *o = static_cast<std::vector<uint8_t> *>(png_get_io_ptr(p));
        o->insert(o->end(), data, data + n);
      },
      nullptr);
  png_set_IHDR(png, info, g_imageWidth, g_imageHeight, 8, PNG_COLOR_TYPE_RGB,
               PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_set_filter(png, 0, PNG_FILTER_NONE);
  png_set_compression_level(png, Z_DEFAULT_COMPRESSION);
  png_write_info(png, info);
  const size_t row = 3 * size_t(g_imageWidth) + 1;
  for (uint32_t y = 0; y < g_imageHeight; ++y)
    png_write_row(png, &g_image[y * row + 1]);
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  return out.size();
}

void BM_PngSizeAgainstLibpng(benchmark::State &state) {
  ss::Capture *c = annotatedCapture();
  c->marginLeft = c->marginRight = 10;
  std::memcpy(c->work, g_image.data(), g_image.size());
  ss::encodePng(*c);
  const double ours = c->pngSize;
  ss::releaseCapture(c);
  double theirs = 0;
  for (auto _ : state) theirs = double(libpngSize());
  state.counters["ours_bytes"] = ours;
  state.counters["libpng_bytes"] = theirs;
  state.counters["size_ratio"] = ours / theirs;
  std::printf(
      "PNG size: ours %.0f bytes, libpng (filters off) %.0f bytes, "
      "ratio %.4f\n",
      ours, theirs, ours / theirs);
}
BENCHMARK(BM_PngSizeAgainstLibpng)->Iterations(3);

void printReports() {
  std::printf(
      "\nWhat a screenshot costs the game's frames (client's own processor "
      "time per ca call, host read-back excluded; ratios to one compress of "
      "the same annotated image, same run):\n");
  for (Report &r : g_reports) {
    double compressUs = r.compressUs;
    if (r.name.rfind("five", 0) == 0) compressUs = g_localBaselineUs;
    std::printf(
        "  %-36s calls %6zu  worst %7.1f us  p99 %6.1f us  p50 %5.1f us  "
        "compress %8.1f us  worst/compress %.4f  p99/compress %.4f\n"
        "  %-36s worst call of a run, median of %zu runs: %.1f us; a fixed "
        "2 us reference timed after every call took up to %.1f us\n"
        "  %-36s (switched out: %zu calls, worst %.1f us; read-backs %.1f "
        "us)\n",
        r.name.c_str(), r.calls.us.size(), r.calls.quantile(1.0),
        r.calls.quantile(0.99), r.calls.quantile(0.5), compressUs,
        r.calls.quantile(1.0) / compressUs, r.calls.quantile(0.99) / compressUs,
        "", r.calls.runWorsts.size(), r.calls.medianRunWorst(),
        r.calls.referenceWorst, "", r.calls.switched, r.calls.switchedWorst,
        r.calls.hostUs);
  }
  if (g_localBaselineUs > 0)
    std::printf(
        "  local 1920x1080, all calls added: %.1f us = %.3f x one compress "
        "plus the annotation in one go (%.1f us); the process's first: "
        "%.1f us = %.3f x\n"
        "  local 1920x1080 stored after %.2f s of play (60 frames a second, "
        "qx_Sleep 60); the process's first after %.2f s; %zu calls, so "
        "within 2 s of play at %.0f frames a second\n"
        "  a server request's upload started after %.2f s (the slowest "
        "run, each in a fresh process); with five requests, the later "
        "server upload started after %.2f s\n",
        g_localTotalUs, g_localTotalUs / g_localBaselineUs, g_localBaselineUs,
        g_coldTotalUs, g_coldTotalUs / g_localBaselineUs, g_localLatencyS,
        g_coldLatencyS, g_localCalls, g_localCalls / 2.0, g_oneServerLatencyS,
        g_serverLatencyS);
}

}  // namespace

int main(int argc, char **argv) {
  // A game loads the client once. The bench loads a fresh client for every
  // run and unloads the last one, whose large buffers glibc then takes as a
  // reason to serve blocks of that size from its heap instead of mapping
  // them, and a later free can return megabytes to the system at once.
  // The threshold is kept where a fresh process has it.
  mallopt(M_MMAP_THRESHOLD, 128 * 1024);
  qxbench::RatioReporter reporter;
  reporter.ratio("BM_EncodePng", "BM_CompressOneCall");
  reporter.ratio("BM_SurfaceCopy1920x1080", "BM_MemcpySurfaceBytes");
  reporter.ratio("BM_ReadBack1920x1080", "BM_MemcpyReadBackBytes");
  const int rc = qxbench::runWithRatios(argc, argv, reporter);
  printReports();
  return rc;
}
