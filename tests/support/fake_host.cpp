#include "fake_host.h"

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

intptr_t QX_CDECL onQuery(int32_t code, char *buffer, int32_t size) {
  FakeHost *h = FakeHost::current;
  if (!h) return -1;
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

intptr_t QX_CDECL onCapture(int32_t) { return 0; }

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
