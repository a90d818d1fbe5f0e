#include "fake_host.h"

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "platform/platform.h"
#include "qx/qxcl.h"

#if defined(_WIN32)
#include <windows.h>
#else
#include <unistd.h>
#endif

namespace qxtest {

FakeHost *FakeHost::current = nullptr;
uint32_t FakeHost::now = 100000;

namespace {

uint32_t fakeTicks() { return FakeHost::now; }

void QX_CDECL onNamedOp(const char *name, const char *argument) {
  FakeHost *h = FakeHost::current;
  if (!h) return;
  h->namedOps.push_back({name ? name : "", argument ? argument : ""});
  if (name && std::strcmp(name, "set_cl_quellor") == 0 && argument)
    h->cvars["cl_quellor"] = argument;
}

void answer(char *buffer, int32_t size, const std::string &text) {
  if (size <= 0) return;
  std::snprintf(buffer, static_cast<size_t>(size), "%s", text.c_str());
}

bool containsNoCase(const std::string &text, const std::string &part) {
  auto lower = [](std::string t) {
    for (char &c : t)
      c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return t;
  };
  return lower(text).find(lower(part)) != std::string::npos;
}

// Query 106: "%d %s" -> the next key from that index whose binding contains
// the text, or -1.
intptr_t findBinding(FakeHost &h, char *buffer, int32_t size) {
  char *rest = nullptr;
  const long from = std::strtol(buffer, &rest, 10);
  const std::string text = rest && *rest == ' ' ? rest + 1 : "";
  for (auto it = h.keys.lower_bound(static_cast<int32_t>(from));
       it != h.keys.end(); ++it)
    if (containsNoCase(it->second.binding, text)) {
      answer(buffer, size, std::to_string(it->first));
      return 0;
    }
  answer(buffer, size, "-1");
  return 0;
}

intptr_t keyAnswer(FakeHost &h, char *buffer, int32_t size, bool name) {
  auto it = h.keys.find(static_cast<int32_t>(std::atoi(buffer)));
  if (it == h.keys.end()) return 1;
  answer(buffer, size, name ? it->second.name : it->second.binding);
  return 0;
}

// The variable at position pos of the enumeration, for which accept holds;
// the position moves past it. null (and position 0) at the end.
template <typename Accept>
const std::string *nextVariable(FakeHost &h, size_t &pos, Accept accept) {
  size_t i = 0;
  for (const auto &entry : h.cvars) {
    if (i++ < pos) continue;
    ++pos;
    if (accept(entry.first, entry.second)) return &entry.first;
  }
  pos = 0;
  return nullptr;
}

// Queries 109 to 111: variable enumeration.
intptr_t enumerateVariables(FakeHost &h, int32_t code, char *buffer,
                            int32_t size) {
  if (code == QX_Q_CVAR_FIND) {
    const std::string text = buffer;
    const std::string *name = nextVariable(
        h, h.findPosition, [&](const std::string &n, const std::string &) {
          return containsNoCase(n, text);
        });
    answer(buffer, size, name ? *name : "");
    return 0;
  }
  if (code == QX_Q_CVAR_NEXT_USER) {
    const std::string *name = nextVariable(
        h, h.userPosition,
        [](const std::string &, const std::string &) { return true; });
    if (!name) return 0;
    auto flags = h.cvarFlags.find(*name);
    answer(buffer, size,
           std::to_string(flags == h.cvarFlags.end() ? 0 : flags->second));
    return reinterpret_cast<intptr_t>(name->c_str());
  }
  const std::string *name = nextVariable(
      h, h.changedPosition, [&](const std::string &n, const std::string &v) {
        auto d = h.cvarDefaults.find(n);
        return d != h.cvarDefaults.end() && d->second != v;
      });
  if (!name) return 0;
  answer(buffer, size, h.cvars[*name]);
  return reinterpret_cast<intptr_t>(name->c_str());
}

intptr_t QX_CDECL onQuery(int32_t code, char *buffer, int32_t size) {
  FakeHost *h = FakeHost::current;
  if (!h) return -1;
  if (h->faultOnQuery != 0 && code == h->faultOnQuery) causeProcessorFault();
  if (h->queryOverride) return h->queryOverride(code, buffer, size);
  switch (code) {
    case QX_Q_CVAR: {
      auto it = h->cvars.find(buffer);
      if (it == h->cvars.end()) return 1;
      answer(buffer, size, it->second);
      return 0;
    }
    case QX_Q_SERVER_ADDRESS:
      answer(buffer, size, h->serverAddress);
      return 0;
    case QX_Q_BIND_FIND:
      return findBinding(*h, buffer, size);
    case QX_Q_BIND_TEXT:
    case QX_Q_BIND_NAME:
      return keyAnswer(*h, buffer, size, code == QX_Q_BIND_NAME);
    case QX_Q_CVAR_FIND:
    case QX_Q_CVAR_NEXT_USER:
    case QX_Q_CVAR_NEXT_CHANGED:
      return enumerateVariables(*h, code, buffer, size);
    case QX_Q_SS_LOG_DETAIL: {
      auto it = h->details.find(buffer);
      if (it != h->details.end()) answer(buffer, size, it->second);
      return 0;
    }
    case QX_Q_HOST_REPORT:
      answer(buffer, size, h->hostReport);
      return h->hostReport.empty() ? 0 : 1;
    default: {
      auto it = h->hostTexts.find(code);
      if (it == h->hostTexts.end()) return 0;
      answer(buffer, size, it->second);
      return 1;
    }
  }
}

void QX_CDECL onPrint(const char *text, int32_t) {
  FakeHost *h = FakeHost::current;
  if (!h) return;
  h->texts.push_back(text ? text : "");
  h->lines.push_back(std::string(h->gi.msgPrefix) + "|" + (text ? text : ""));
}

void QX_CDECL onSend(int32_t length, const void *packet) {
  FakeHost *h = FakeHost::current;
  if (!h) return;
  const uint8_t *p = static_cast<const uint8_t *>(packet);
  h->sent.push_back({std::vector<uint8_t>(p, p + length), "", 0});
}

void QX_CDECL onSendOob(const char *address, int32_t port, int32_t length,
                        const void *packet) {
  FakeHost *h = FakeHost::current;
  if (!h) return;
  const uint8_t *p = static_cast<const uint8_t *>(packet);
  h->sentOob.push_back(
      {std::vector<uint8_t>(p, p + length), address ? address : "", port});
}

// Copies the rectangle, bottom row first; rows and columns outside the
// frame are left as they are.
void QX_READBACK_CALL onReadBack(int32_t x, int32_t y, int32_t width,
                                 int32_t height, int32_t format, int32_t type,
                                 void *destination) {
  FakeHost *h = FakeHost::current;
  if (!h) return;
  h->readBacks.push_back({x, y, width, height, format, type});
  uint8_t *out = static_cast<uint8_t *>(destination);
  for (int32_t i = 0; i < height; ++i) {
    const int64_t row = int64_t{y} + height - 1 - i;
    for (int32_t col = 0; col < width; ++col) {
      const int64_t px = int64_t{x} + col;
      const size_t at = size_t(row * h->frameWidth + px) * 3;
      if (row < 0 || row >= h->frameHeight || px < 0 || px >= h->frameWidth ||
          at + 3 > h->framePixels.size())
        continue;
      std::memcpy(out + (size_t(i) * width + col) * 3,
                  h->framePixels.data() + at, 3);
    }
  }
}

intptr_t QX_CDECL onCapture(int32_t code) {
  FakeHost *h = FakeHost::current;
  if (!h) return 0;
  switch (code) {
    case QX_CAP_READBACK:
      return h->offerReadBack ? reinterpret_cast<intptr_t>(&onReadBack) : 0;
    case QX_CAP_WIDTH:
      return h->frameWidth;
    case QX_CAP_HEIGHT:
      return h->frameHeight;
    case QX_CAP_FORMAT:
      return h->readBackFormat;
    case QX_CAP_TYPE:
      return h->readBackType;
    default:
      return 0;
  }
}

void QX_CDECL onForward(const char *, const char *line) {
  if (FakeHost::current) FakeHost::current->forwarded.push_back(line);
}

}  // namespace

Entry linkedEntry() { return {ca, cb}; }

FakeHost::FakeHost(const std::string &wanted, Entry e) : entry(e) {
  current = this;
  qx::platform::setTickSource(fakeTicks);
  gi.magic = QX_INTERFACE_MAGIC;
  gi.namedOp = onNamedOp;
  gi.query = onQuery;
  gi.print = onPrint;
  gi.sendToServer = onSend;
  gi.sendOob = onSendOob;
  gi.captureQuery = onCapture;
  secondary_.magic = QX_SECONDARY_MAGIC;
  secondary_.forward = onForward;
  gi.secondary = &secondary_;
  cvars["cl_quellor"] = wanted;
  cvars["fs_homepath"] = makeTempDir();
  cvars["version"] = "FakeGame 1.0";
}

FakeHost::~FakeHost() {
  if (current == this) current = nullptr;
  qx::platform::setTickSource(nullptr);
}

intptr_t FakeHost::console(const std::string &line) {
  return call(QX_EV_CONSOLE_LINE, static_cast<int32_t>(line.size()),
              line.c_str());
}

intptr_t FakeHost::packet(const std::vector<uint8_t> &bytes, int32_t retries) {
  return call(QX_EV_SERVER_PACKET, static_cast<int32_t>(bytes.size()),
              bytes.data(), retries);
}

void FakeHost::pump(int frames) {
  for (int i = 0; i < frames; ++i) {
    advance(1000);
    frame();
  }
}

void FakeHost::setFrame(
    int32_t width, int32_t height,
    const std::function<void(int32_t, int32_t, uint8_t *)> &colour) {
  frameWidth = width;
  frameHeight = height;
  framePixels.assign(size_t(width) * size_t(height) * 3, 0);
  for (int32_t y = 0; y < height; ++y)
    for (int32_t x = 0; x < width; ++x)
      colour(x, y, framePixels.data() + (size_t(y) * width + x) * 3);
}

void FakeHost::start() {
  advance(1000);
  frame();
}

bool FakeHost::printed(const std::string &text) const {
  for (const std::string &t : texts)
    if (t == text) return true;
  return false;
}

bool FakeHost::printedPart(const std::string &part) const {
  for (const std::string &t : texts)
    if (t.find(part) != std::string::npos) return true;
  return false;
}

void FakeHost::clearOutput() {
  lines.clear();
  texts.clear();
  namedOps.clear();
  sent.clear();
  sentOob.clear();
  forwarded.clear();
}

void causeProcessorFault() {
  volatile uintptr_t address = 16;
  *reinterpret_cast<volatile int *>(address) = 1;
}

// Directories are new for every call, also across runs of the suites (Wine
// reuses process identifiers), so no test ever sees an earlier test's files.
std::string makeTempDir() {
  char path[512];
#if defined(_WIN32)
  static unsigned counter = GetTickCount();
  char base[MAX_PATH];
  GetTempPathA(sizeof base, base);
  do {
    std::snprintf(path, sizeof path, "%sqxtest_%lu_%u", base,
                  static_cast<unsigned long>(GetCurrentProcessId()), ++counter);
  } while (!CreateDirectoryA(path, nullptr));
#else
  const char *tmp = std::getenv("TMPDIR");
  std::snprintf(path, sizeof path, "%s/qxtest_XXXXXX", tmp ? tmp : "/tmp");
  if (!mkdtemp(path)) path[0] = '\0';
#endif
  return path;
}

std::string readFile(const std::string &path) {
  std::string p = path;
#if !defined(_WIN32)
  for (char &c : p)
    if (c == '\\') c = '/';
#endif
  std::ifstream in(p, std::ios::binary);
  std::stringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

}  // namespace qxtest
