// Server screenshot requests ('I') and restarts ('O') driven through the
// stages against a fake read-back. The first byte picks the host's frame
// (none, 0 x 0, 1 x 1, 100000 x 100000, 64 x 48, read-back not available,
// no function, or 1366 x 768 read back with rows padded to 4 bytes), the
// budget (one slice per call, or all), the channel's host number, and
// whether the log and the files are written with a host text taken from
// the input (the player's name and the server address, into the log page).
// The rest is a list of messages separated by 0xFF bytes, each dispatched
// as it is, with scheduler passes and calls between work frames after it.
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "channel/channel.h"
#include "console_fuzz_support.h"
#include "host/client_state.h"
#include "screenshot/screenshot.h"
#include "screenshot/slices.h"

namespace {

int32_t g_width = 0, g_height = 0;
intptr_t g_format = 1;
bool g_function = true;
bool g_padded = false;  // the read-back pads its rows to 4 bytes
uint32_t g_ticks = 1;
uint64_t g_work = 0, g_workStep = 0;
char g_hostText[256];

uint32_t ticks() { return g_ticks; }
uint64_t workClock() { return g_work += g_workStep; }

// The player's name and the server address are the input's host text.
intptr_t QX_CDECL query(int32_t code, char *buffer, int32_t size) {
  if ((code == QX_Q_SS_LOG_DETAIL || code == QX_Q_SERVER_ADDRESS) && size > 0) {
    std::snprintf(buffer, size_t(size), "%s", g_hostText);
    return 0;
  }
  return qxfuzz::query(code, buffer, size);
}

// Writes exactly the rectangle asked for; its pixels are computed, so that
// a frame of any size needs no memory of its own.
void QX_READBACK_CALL readBack(int32_t x, int32_t y, int32_t width,
                               int32_t height, int32_t, int32_t, void *out) {
  uint8_t *p = static_cast<uint8_t *>(out);
  for (int32_t i = 0; i < height; ++i) {
    for (int32_t j = 0; j < width; ++j) {
      *p++ = static_cast<uint8_t>(x + j);
      *p++ = static_cast<uint8_t>(y + i);
      *p++ = static_cast<uint8_t>((x + j) ^ (y + i));
    }
    if (g_padded)
      for (int32_t pad = (3 * width) % 4; pad % 4; ++pad) *p++ = 0xEE;
  }
}

intptr_t QX_CDECL captureQuery(int32_t code) {
  switch (code) {
    case QX_CAP_READBACK:
      return g_function ? reinterpret_cast<intptr_t>(&readBack) : 0;
    case QX_CAP_WIDTH:
      return g_width;
    case QX_CAP_HEIGHT:
      return g_height;
    case QX_CAP_FORMAT:
      return g_format;
    default:
      return 0;
  }
}

uint32_t g_sink = 0;
void QX_CDECL send(int32_t length, const void *packet) {
  // Touch every byte, so that a message read past its end shows up.
  const uint8_t *p = static_cast<const uint8_t *>(packet);
  for (int32_t i = 0; i < length; ++i) g_sink += p[i];
}

void frameFor(uint8_t choice) {
  static const int32_t kSizes[][2] = {
      {0, 0}, {1, 1}, {100000, 100000}, {64, 48}, {640, 480}};
  g_format = 1;
  g_function = true;
  g_padded = false;
  const int pick = choice % 8;
  if (pick < 5) {
    g_width = kSizes[pick][0];
    g_height = kSizes[pick][1];
  } else if (pick < 7) {
    g_width = 64;
    g_height = 48;
    g_format = pick == 5 ? 0 : 1;
    g_function = pick != 6;
  } else {
    g_width = 1366;
    g_height = 768;
    g_padded = true;
  }
}

// Each pass is a work frame followed by calls between work frames.
void passes(QxGameInterface *gi, int count) {
  for (int i = 0; i < count; ++i) {
    g_ticks += 1100;
    qx::host::CallBudget &call = qx::host::currentCall();
    call.begin();
    qx::screenshot::runScreenshots(gi, g_ticks, call);
    for (int n = 0; n < 8 && qx::screenshot::workUnderWay(); ++n) {
      call.begin();
      qx::screenshot::continueScreenshots(gi, call);
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size == 0) return 0;
  QxGameInterface *gi = qxfuzz::freshClient(true);
  gi->sendToServer = send;
  gi->query = query;
  gi->captureQuery = (data[0] & 0x80) ? nullptr : captureQuery;
  gi->agentParams[2] = (data[0] >> 4) & 0x07;
  frameFor(data[0]);
  // One slice per call, or all of them.
  g_workStep = (data[0] & 0x08) ? 350 : 0;
  qx::platform::setTickSource(ticks);
  qx::platform::setWallClockSource(workClock);
  qx::ClientState &c = qx::client();
  const bool logged = (data[0] & 0x40) != 0;
  c.settings.ssLog = logged ? 1 : 0;
  c.settings.ssSave = logged ? 1 : 0;

  // With the log on, the first message is the host text.
  size_t at = 1;
  g_hostText[0] = '\0';
  if (logged) {
    size_t n = 0;
    while (at < size && data[at] != 0xFF && n + 1 < sizeof g_hostText)
      g_hostText[n++] = static_cast<char>(data[at++]);
    g_hostText[n] = '\0';
    ++at;
  }
  // Each message in an exact-size buffer, so that reading past it is seen.
  while (at < size) {
    const uint8_t *end =
        static_cast<const uint8_t *>(std::memchr(data + at, 0xFF, size - at));
    const size_t length = end ? size_t(end - (data + at)) : size - at;
    uint8_t *message = static_cast<uint8_t *>(std::malloc(length ? length : 1));
    std::memcpy(message, data + at, length);
    qx::channel::dispatchMessage(gi, int(length), message);
    std::free(message);
    passes(gi, 3);
    at += length + 1;
  }
  // Let every request finish its stages, within bounds.
  for (int i = 0; i < 3000; ++i) {
    bool busy = false;
    for (const qx::screenshot::Slot &s : c.screenshot.slots)
      busy = busy || s.stage != 0;
    if (!busy) break;
    passes(gi, 1);
  }
  qx::screenshot::releaseScreenshots(c.screenshot);
  qx::platform::setTickSource(nullptr);
  qx::platform::setWallClockSource(nullptr);
  qxfuzz::dropLocalLog();
  char log[300];
  std::snprintf(log, sizeof log, "%sqxsslog.htm", qxfuzz::homeDirectory());
  qx::platform::fileRemove(log);
  return 0;
}
