// The slots and their scheduler, the requests, the capture and encode
// stages and the player's options.
#include <cstdlib>
#include <cstring>

#include "common/heap.h"
#include "common/numbers.h"
#include "common/protocol.h"
#include "common/text.h"
#include "common/ticks.h"
#include "console/argument_list.h"
#include "cvars/host_query.h"
#include "host/client_state.h"
#include "log/log.h"
#include "screenshot/annotate.h"
#include "screenshot/capture.h"
#include "screenshot/png.h"
#include "screenshot/screenshot.h"
#include "screenshot/slices.h"

namespace qx::screenshot {

namespace {

namespace p = protocol;

// Line 1: a fixed text and two host details; index 23 (the '#') takes the
// status byte.
constexpr const char *kHeadingFormat = "Quellor Client v1.199 [#] %s %s";
constexpr size_t kStatusIndex = 23;
constexpr const char *kServerLineFormat = "%06d %s %s";
constexpr const char *kPlayerLineFormat =
    "Player: %04u.%02u.%02u %02u:%02u:%02u";
constexpr const char *kWantedLineFormat = "Requested %lux%lu at X=%d%% Y=%d%%";
constexpr const char *kSizeLineFormat = "Picture %dx%d step %d";
constexpr const char *kCaptureNotice = "Screen capture failed";
constexpr const char *kOptionsFormat =
    "Screenshots: W=%d, H=%d, X=%d%%, Y=%d%%, Srate=%d";

constexpr uint32_t kDefaultWidth = 640, kDefaultHeight = 480;
constexpr int32_t kDefaultPercent = 50;
constexpr uint32_t kMinSide = 10;
constexpr int32_t kSilentFailures = 4;  // the fourth failure shows
constexpr int32_t kReadBackFailures = 999;
// How long finished screenshots' records are kept for the next ones. A
// server asks for screenshots every few minutes; a record given back
// between them made each screenshot take its buffers anew from the system,
// touch every page of them for the first time and give them back again:
// the costliest work the client asks of the system, in the game's frames.
constexpr uint32_t kKeptMs = 5 * 60 * 1000;

uint32_t decimalArg(const console::ArgumentList &a, int i, uint32_t absent) {
  if (i >= a.argc) return absent;
  return readDecimal(a.start[i], static_cast<size_t>(a.length[i]));
}

int32_t percentArg(const console::ArgumentList &a, int i) {
  int32_t v = kDefaultPercent;
  if (i < a.argc) v = readSignedDecimal(a.start[i], size_t(a.length[i]));
  if (v < 0 || v > 100) v = client().host.random.next() % 101;
  return v;
}

int32_t rateArg(const console::ArgumentList &a, int i) {
  const uint32_t r = decimalArg(a, i, 1);
  if (r < 1) return 1;
  if (r >= 5) return 4;
  if (r == 3) {
    static const int32_t kRates[3] = {1, 2, 4};
    return kRates[client().host.random.next() % 3];
  }
  return static_cast<int32_t>(r);
}

void trimText(char *text) {
  size_t begin = 0, end = std::strlen(text);
  while (text[begin] == ' ' || text[begin] == '\t') ++begin;
  while (end > begin && (text[end - 1] == ' ' || text[end - 1] == '\t')) --end;
  std::memmove(text, text + begin, end - begin);
  text[end - begin] = '\0';
}

void buildHeading(QxGameInterface *gi, char *line) {
  char game[kTextMax + 1], map[kTextMax + 1];
  hostDetail(gi, QX_SS_DETAIL_GAME, game);
  hostDetail(gi, QX_SS_DETAIL_MAP, map);
  formatText(line, kTextMax + 1, kHeadingFormat, game, map);
}

void buildGuidLine(QxGameInterface *gi, char *line) {
  const char *assigned = gi->serverGuid;
  const bool hasAssigned =
      assigned[0] && std::strcmp(assigned, "?") != 0 &&
      boundedLength(assigned, sizeof gi->serverGuid) < sizeof gi->serverGuid;
  size_t n;
  if (hasAssigned)
    n = formatText(line, kTextMax + 1, "*%-32s* ", assigned);
  else
    n = formatText(line, kTextMax + 1, "%-32s ", client().channel.playerGuid);
  char value[cvars::kHostText];
  cvars::readVariable(gi, QX_SS_NAME_CVAR, value);
  appendText(line + n, kTextMax + 1 - n, value);
}

// A capture side: the next lower multiple of 4, within 32-bit coordinates.
int32_t side(uint64_t v) {
  v -= v % 4;
  return v > 0x7FFFFFFFu ? 0x7FFFFFFC : static_cast<int32_t>(v);
}

// The server's numbers; false when the request check refuses it.
bool serverRequest(QxGameInterface *gi, Slot &s, Request &w) {
  const uint32_t check = readDecimal(s.text);
  const uint32_t c = static_cast<uint32_t>(gi->agentParams[2]);
  if (((check ^ c) / p::kScreenshotCheckDivisor) & 1u) return false;
  console::ArgumentList a;
  console::split(a, s.text);
  s.number = static_cast<int32_t>(decimalArg(a, 1, 0));
  char address[kTextMax + 1], player[kTextMax + 1];
  serverAddress(gi, address);
  hostDetail(gi, QX_SS_DETAIL_PLAYER, player);
  formatText(s.lines[1], kTextMax + 1, kServerLineFormat, s.number, address,
             player);
  w.width = decimalArg(a, 2, kDefaultWidth);
  w.height = decimalArg(a, 3, kDefaultHeight);
  if (w.width < kMinSide) w.width = kMinSide;
  if (w.height < kMinSide) w.height = kMinSide;
  w.x = percentArg(a, 4);
  w.y = percentArg(a, 5);
  w.rate = rateArg(a, 6);
  uint64_t W = w.width, H = w.height;
  const uint64_t rr = uint64_t(w.rate) * uint64_t(w.rate);
  while (W * H / rr > p::kScreenshotPixelBudget) {
    W = W * 15 / 16;
    H = H * 15 / 16;
  }
  w.captureWidth = side(W);
  w.captureHeight = side(H);
  return true;
}

void localRequest(Slot &s, Request &w) {
  const console::Settings::ScreenshotOptions &o = client().settings.ssOptions;
  w.width = static_cast<uint32_t>(o.width);
  w.height = static_cast<uint32_t>(o.height);
  w.captureWidth = side(w.width);
  w.captureHeight = side(w.height);
  w.x = o.x;
  w.y = o.y;
  w.rate = o.sampleRate;
  const platform::CalendarTime &t = s.requestTime;
  formatText(s.lines[1], kTextMax + 1, kPlayerLineFormat, unsigned(t.year),
             unsigned(t.month), unsigned(t.day), unsigned(t.hour),
             unsigned(t.minute), unsigned(t.second));
}

// How far stage 1 has come. An attempt starts with the request and ends in
// the annotated image, or early for a silent retry at a later work frame.
enum CapturePhase : int32_t {
  kPhaseRequest = 0,    // read the request, build the lines
  kPhaseSurfaceBegin,   // check the window, size the capture
  kPhaseClear,          // zero-fill the buffers, in slices
  kPhaseSurfaceCopy,    // lock, copy, unlock: one step
  kPhaseConvert,        // convert and sample the surface rows, in slices
  kPhaseReadBackBegin,  // size the read-back against the host's frame
  kPhaseReadBackCopy,   // the host's read-back: one step
  kPhaseSample,         // sample the read-back rows, in slices
  kPhaseAnnotateBegin,  // the last lines and the image's geometry
  kPhaseAnnotateRows,   // frame and picture, in slices
  kPhaseAnnotateText,   // the five lines, one per slice
};

// Starts a capture attempt: reads the request, builds lines 1 to 4 and a
// fresh capture record. False when the attempt does not go on: the request
// is refused (stage 99) or the record cannot be allocated (the next work
// frame tries again).
bool beginAttempt(QxGameInterface *gi, Slot &s, uint32_t now) {
  ClientState &cs = client();
  State &st = cs.screenshot;
  cs.host.random.seed(now);
  if (!st.firstRunDone) {
    st.firstRunDone = 1;
    if (!gi->captureQuery) log::printMessage(1, "%s", kCorruptedInterface);
    prepareFonts();
  }
  trimText(s.text);
  std::memset(s.lines, 0, sizeof s.lines);
  buildHeading(gi, s.lines[0]);
  s.requestTime = platform::localTime();

  Request &w = s.asked;
  w = Request{};
  if (!isLocal(s)) {
    if (!serverRequest(gi, s, w)) {
      s.stage = kStageFinished;
      return false;
    }
  } else {
    localRequest(s, w);
  }
  buildGuidLine(gi, s.lines[2]);
  formatText(s.lines[3], kTextMax + 1, kWantedLineFormat,
             static_cast<unsigned long>(w.width),
             static_cast<unsigned long>(w.height), w.x, w.y);

  // A retry keeps the buffers of the attempt before.
  if (s.capture)
    recycleCapture(*s.capture);
  else
    s.capture = newCapture();
  if (!s.capture) return false;  // the next pass tries again
  for (const char *line : s.lines) {
    const uint32_t n = static_cast<uint32_t>(boundedLength(line, kTextMax));
    if (n > s.capture->longestLine) s.capture->longestLine = n;
  }
  s.status = p::kScreenshotFailed;
  s.phase = kPhaseSurfaceBegin;
  return true;
}

// After a failed attempt at the primary surface: three failures pass
// silently and the attempt ends for a retry at a later work frame; the
// fourth shows in the image, and a surface that is unusable sends the
// request to the host's read-back at once.
void surfaceFailed(Slot &s) {
  char *failure = s.lines[3];
  char *notice = s.lines[4];
  if (marksSurfaceUnusable(failure)) s.failures = kReadBackFailures;
  if (!notice[0]) copyText(notice, kCaptureNotice, kTextMax);
  if (++s.failures < kSilentFailures) {
    s.phase = kPhaseRequest;
  } else if (s.failures >= kReadBackFailures) {
    failure[0] = notice[0] = '\0';
    s.phase = kPhaseReadBackBegin;
  } else {
    s.phase = kPhaseAnnotateBegin;
  }
}

void readBackFailed(Slot &s) {
  if (!s.lines[4][0]) copyText(s.lines[4], kCaptureNotice, kTextMax);
  s.phase = kPhaseAnnotateBegin;
}

// The status byte in the heading, the picture's size, and line 5.
void finishLines(Slot &s) {
  // The heading is never shorter than the status byte's place.
  s.lines[0][kStatusIndex] = static_cast<char>(s.status);
  Capture &c = *s.capture;
  c.outWidth = static_cast<uint16_t>(c.width / c.step);
  c.outHeight = static_cast<uint16_t>(c.height / c.step);
  if (c.outWidth < 1) c.outWidth = 1;
  if (c.outHeight < 1) c.outHeight = 1;
  if (!s.lines[4][0]) {
    const size_t n = formatText(s.lines[4], kTextMax + 1, kSizeLineFormat,
                                int(c.outWidth), int(c.outHeight), int(c.step));
    if (s.status == p::kScreenshotSurface && s.failures > 0)
      formatText(s.lines[4] + n, kTextMax + 1 - n, " (%d)", int(s.failures));
  }
}

// After surfaceBegin or readBackBegin gave begun: the clearing comes next,
// a failure goes to failed, and buffers got in part wait for a later call.
// False when the stage waits for a later call.
bool afterBegin(Slot &s, int begun, void (*failed)(Slot &)) {
  if (begun == kBuffersInPart) return false;
  if (begun)
    s.phase = kPhaseClear;
  else
    failed(s);
  return s.phase != kPhaseRequest;
}

// One step of stage 1 past the request; false when the stage waits for a
// later call (the budget is spent, a copy needs a fresh call, or the
// attempt ended for a retry).
bool captureStep(QxGameInterface *gi, Slot &s, StageBudget &budget) {
  Capture &c = *s.capture;
  const Request &w = s.asked;
  char *failure = s.lines[3];
  switch (s.phase) {
    case kPhaseSurfaceBegin:
      // Sizes the buffers: an allocation a call.
      if (!budget.holdsSystemStep()) return false;
      budget.wholeStep();
      return afterBegin(s,
                        surfaceBegin(c, w.captureWidth, w.captureHeight, w.x,
                                     w.y, w.rate, failure),
                        surfaceFailed);
    case kPhaseReadBackBegin:
      if (!budget.holdsSystemStep()) return false;
      budget.wholeStep();
      return afterBegin(s,
                        readBackBegin(c, gi, w.captureWidth, w.captureHeight,
                                      w.x, w.y, w.rate, failure),
                        readBackFailed);
    case kPhaseClear:
      if (!(clearTouchesFreshPages(c) ? budget.leftForFreshPages()
                                      : budget.left()))
        return false;
      budget.use();
      if (clearSlice(c) == Step::Done)
        s.phase = s.failures >= kReadBackFailures ? kPhaseReadBackCopy
                                                  : kPhaseSurfaceCopy;
      return true;
    case kPhaseSurfaceCopy:
      if (!budget.fresh()) return false;
      budget.wholeStep();
      if (surfaceCopy(c, failure))
        s.phase = kPhaseConvert;
      else
        surfaceFailed(s);
      return s.phase != kPhaseRequest;
    case kPhaseReadBackCopy:
      if (!budget.fresh()) return false;
      budget.wholeStep();
      if (readBackCopy(c, gi))
        s.phase = kPhaseSample;
      else
        readBackFailed(s);
      return true;
    case kPhaseConvert:
      if (!budget.left()) return false;
      budget.use();
      switch (convertSlice(c, failure)) {
        case Step::More:
          break;
        case Step::Done:
          s.status = p::kScreenshotSurface;
          s.phase = kPhaseAnnotateBegin;
          break;
        case Step::Failed:
          surfaceFailed(s);
          break;
      }
      return s.phase != kPhaseRequest;
    case kPhaseSample:
      if (!budget.left()) return false;
      budget.use();
      if (sampleSlice(c) == Step::Done) {
        s.status = p::kScreenshotReadBack;
        s.phase = kPhaseAnnotateBegin;
      }
      return true;
    case kPhaseAnnotateBegin:
      finishLines(s);
      if (!annotateBegin(c, s.lines)) {
        log::printMessage(1, "%s", kOutOfMemoryMessage);
        s.stage = kStageFinished;
        return false;
      }
      s.phase = kPhaseAnnotateRows;
      return true;
    case kPhaseAnnotateRows:
      if (!budget.left()) return false;
      budget.use();
      if (annotateSlice(c) == Step::Done) {
        s.phase = kPhaseAnnotateText;
        s.line = 0;
      }
      return true;
    case kPhaseAnnotateText:
      if (!budget.left()) return false;
      budget.use();
      annotateLine(c, s.lines[s.line], s.line);
      if (++s.line >= kLineCount) {
        s.stage = kStageEncode;
        s.phase = kPhaseRequest;
      }
      return s.stage == kStageCapture;
    default:
      s.stage = kStageFinished;
      return false;
  }
}

// A slot whose work is under way: past its delay, and not waiting for a
// work frame to start a capture attempt.
bool underWay(const Slot &s) {
  return s.stage > kStageCapture ||
         (s.stage == kStageCapture && s.phase != kPhaseRequest);
}

// A server screenshot's upload: its chunks go out from work frames only,
// so that they keep their pace of one a second.
bool pacedByWorkFrames(const Slot &s) {
  return s.stage == kStageUpload && !isLocal(s);
}

// The slot has work that a call outside the work frames goes on with.
bool goesOnBetweenWorkFrames(const Slot &s) {
  return underWay(s) && !pacedByWorkFrames(s);
}

// Runs the slot's stage within the call's budget. The capture and upload
// stages may start in a work frame only (so retries and chunks keep their
// pace); everything else goes on in any call.
void runStage(QxGameInterface *gi, Slot &s, uint32_t now, StageBudget &budget,
              bool workFrame) {
  switch (s.stage) {
    case kStageCapture:
      if (s.phase == kPhaseRequest && !workFrame) return;
      captureStage(gi, s, now, budget);
      return;
    case kStageEncode:
      encodeStage(gi, s, now, budget);
      return;
    case kStageUpload:
      if (workFrame || !pacedByWorkFrames(s)) uploadStage(gi, s, now);
      return;
    case kStageStore:
      storeStage(gi, s, now, budget);
      return;
    default:
      s.stage = kStageFinished;
  }
}

// The slot's stages, one after the other, while the budget lasts.
void runSlot(QxGameInterface *gi, Slot &s, uint32_t now, StageBudget &budget,
             bool workFrame) {
  for (;;) {
    const int32_t stage = s.stage;
    runStage(gi, s, now, budget, workFrame);
    if (s.stage == stage || s.stage >= kStageFinished || !budget.left()) return;
  }
}

bool anyBusy() {
  for (const Slot &s : client().screenshot.slots)
    if (s.stage != kStageFree) return true;
  return false;
}

// One pass over the slots: the server's requests first, then the player's,
// each in slot order, as long as the call's budget lasts. A server request
// is small (its pixel budget) and bound to a time, so a player's large
// screenshots never hold it up. Finished slots are cleared first (their
// buffers kept or retired, which costs nothing), then retired buffers are
// given back a slice at a time, one slice in a call that has room for it.
void passSlots(QxGameInterface *gi, uint32_t now, bool workFrame,
               StageBudget &budget) {
  State &st = client().screenshot;
  for (Slot &s : st.slots)
    if (s.stage >= kStageFinished) finishSlot(s);
  // The kept records go back too once no screenshot has wanted one for a
  // while: the game should not hold screenshots' memory for the rest of its
  // run.
  if (anyKept() && !anyBusy() && tickDiff(now, st.keptTick) > kKeptMs)
    retireKept();
  if (buffersRetired() && budget.holdsSystemStep()) {
    budget.wholeStep();
    releaseSlice();
  }
  for (int group = 0; group < 2; ++group) {
    const bool local = group == 1;
    for (Slot &s : st.slots) {
      if (s.stage <= kStageFree || isLocal(s) != local) continue;
      if (!workFrame && !goesOnBetweenWorkFrames(s)) continue;
      if (tickDiff(now, s.startTick) < s.delayMs) continue;
      runSlot(gi, s, now, budget, workFrame);
      if (!budget.left()) return;
    }
  }
}

int freeSlots() {
  int n = 0;
  for (const Slot &s : client().screenshot.slots) n += s.stage == kStageFree;
  return n;
}

}  // namespace

bool isLocal(const Slot &slot) { return slot.text[0] == '\0'; }

void hostDetail(QxGameInterface *gi, const char *name, char *out) {
  copyText(out, name, kTextMax);
  cvars::askHost(gi, QX_Q_SS_LOG_DETAIL, out, kTextMax + 1);
}

void serverAddress(QxGameInterface *gi, char *out) {
  out[0] = '\0';
  cvars::askHost(gi, QX_Q_SERVER_ADDRESS, out, kTextMax + 1);
}

void queueScreenshot(QxGameInterface *, int32_t length, const char *text) {
  State &st = client().screenshot;
  Slot *slot = nullptr;
  for (Slot &s : st.slots)
    if (s.stage == kStageFree) {
      slot = &s;
      break;
    }
  if (!slot || length < 1 || !text || text[0] == '\0' || text[0] == ' ') return;
  char line[p::kMaxMessage + 1];
  copyText(
      line, text,
      static_cast<size_t>(length < p::kMaxMessage ? length : p::kMaxMessage));
  console::ArgumentList a;
  console::split(a, line);
  // A request without words after its delay is a local screenshot. It
  // never takes the last free slot: that one is kept for the server, so
  // that a player cannot make the server's requests vanish by filling the
  // slots.
  if (a.argc <= 1 && freeSlots() < 2) {
    log::printMessage(1, "%s", kLocalRefused);
    return;
  }
  const uint64_t seconds = decimalArg(a, 0, 0);
  releaseCapture(slot->capture);
  *slot = Slot{};
  slot->startTick = platform::tickCount();
  // The modulus is taken in 64 bits: in 32 bits some numbers of seconds
  // (536870912, for one) make seconds * 1000 wrap to 0, a division by zero.
  if (seconds > 0) {
    platform::Random &random = client().host.random;
    const uint32_t high = static_cast<uint32_t>(random.next());
    const uint32_t drawn = high << 16 | static_cast<uint32_t>(random.next());
    slot->delayMs = static_cast<uint32_t>(drawn % (seconds * 1000));
  }
  if (a.argc > 1) copyText(slot->text, a.start[1], kTextMax);
  slot->stage = kStageCapture;
}

void takeLocalScreenshot() {
  ClientState &c = client();
  queueScreenshot(c.host.gi, 1, "0");
  c.frame.lastFrameTick = 0;
}

void captureStage(QxGameInterface *gi, Slot &s, uint32_t now,
                  StageBudget &budget) {
  if (s.phase == kPhaseRequest) {
    if (!beginAttempt(gi, s, now)) return;
    budget.use();
  }
  while (s.stage == kStageCapture && captureStep(gi, s, budget)) {
  }
}

void encodeStage(QxGameInterface *, Slot &s, uint32_t, StageBudget &budget) {
  if (!s.capture) {
    s.stage = kStageFinished;
    return;
  }
  // Setting up the record's first compressor, which allocates, is a step
  // of its own.
  bool settingUp = !encoderReady(*s.capture);
  if (settingUp && !budget.holdsSystemStep()) return;
  while (budget.left()) {
    if (settingUp)
      budget.wholeStep();
    else
      budget.use();
    switch (encodeStep(*s.capture, kDeflateSlice, !isLocal(s))) {
      case EncodeResult::More:
        settingUp = false;
        continue;
      case EncodeResult::Done:
        s.transfer.chunksSent = 0;
        s.stage = kStageUpload;
        return;
      case EncodeResult::OutOfMemory:
        log::printMessage(1, "%s", kOutOfMemoryMessage);
        break;
      case EncodeResult::CompressionFailed:
        log::printMessage(1, "%s", kCompressionMessage);
        break;
    }
    s.stage = kStageFinished;
    return;
  }
}

bool anyPending() { return anyBusy() || buffersRetired(); }

void runScreenshots(QxGameInterface *gi, uint32_t now, host::CallBudget &call) {
  StageBudget budget(call, host::kWorkFrameBudgetMicros,
                     client().screenshot.sliceMicros);
  passSlots(gi, now, true, budget);
}

bool workUnderWay() {
  for (const Slot &s : client().screenshot.slots)
    if (goesOnBetweenWorkFrames(s) || s.stage >= kStageFinished) return true;
  return buffersRetired();
}

void continueScreenshots(QxGameInterface *gi, host::CallBudget &call) {
  StageBudget budget(call, host::kCallBudgetMicros,
                     client().screenshot.sliceMicros);
  passSlots(gi, platform::tickCount(), false, budget);
}

void finishSlot(Slot &s) {
  endStore(s);
  finishCapture(s.capture);
  s = Slot{};
}

void prepareScreenshots(QxGameInterface *gi, uint32_t start,
                        host::CallBudget &call) {
  State &st = client().screenshot;
  // Start-up has reported a missing capture query already.
  st.firstRunDone = 1;
  prepareFonts();
  StageBudget budget(call, host::kCallBudgetMicros, st.sliceMicros);
  captureStage(gi, st.slots[0], start, budget);
  st.slots[0].stage = kStageFinished;
}

void setScreenshotOptions(const char *text) {
  char copy[p::kMaxMessage + 1];
  copyText(copy, text, p::kMaxMessage);
  console::ArgumentList a;
  console::split(a, copy, true);
  console::Settings::ScreenshotOptions &o = client().settings.ssOptions;
  int32_t v[5] = {o.width, o.height, o.x, o.y, o.sampleRate};
  for (int i = 0; i < 5 && i < a.argc; ++i)
    v[i] = static_cast<int32_t>(readDecimal(console::arg(a, i)));
  if (v[0] < 10 || v[1] < 10 || v[2] < 0 || v[2] > 100 || v[3] < 0 ||
      v[3] > 100 || v[4] < 1 || v[4] > 4) {
    log::printMessage(1, "%s", kOptionsRefused);
    return;
  }
  o = {v[0], v[1], v[2], v[3], v[4]};
  log::printMessage(1, kOptionsFormat, o.width, o.height, o.x, o.y,
                    o.sampleRate);
}

void releaseScreenshots(State &state) {
  for (Slot &s : state.slots) {
    endStore(s);
    releaseCapture(s.capture);
  }
  releaseBuffers(state);
}

}  // namespace qx::screenshot
