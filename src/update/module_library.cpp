#include "update/module_library.h"

#include <cstdlib>

#include "common/file.h"
#include "common/heap.h"
#include "common/paths.h"
#include "common/protocol.h"
#include "common/text.h"
#include "host/client_state.h"
#include "host/frame.h"

namespace qx::update {

namespace {

namespace p = protocol;

constexpr const char *kAgentExport = "a";
constexpr const char *kClientExport = "cb";
constexpr const char *kNoArgument = "";
// Larger files are no module of ours; a copy of one is refused.
constexpr long kModuleFileMax = 64L << 20;

struct VersionQuestion {
  QxGameInterface *gi;
  void *entry;  // the library's export
  int32_t (*ask)(QxGameInterface *gi, void *entry);
  int32_t answer;
};

int32_t askGuarded(QxGameInterface *gi, void *entry,
                   int32_t (*ask)(QxGameInterface *, void *)) {
  if (!entry) return 0;
  VersionQuestion q{gi, entry, ask, 0};
  const bool answered = platform::runGuarded(
      [](void *context) {
        VersionQuestion &q = *static_cast<VersionQuestion *>(context);
        q.answer = q.ask(q.gi, q.entry);
      },
      &q);
  if (answered) return q.answer;
  host::reportContainedFault();
  return 0;
}

}  // namespace

AgentEntry agentEntry(platform::Library lib) {
  return reinterpret_cast<AgentEntry>(
      platform::librarySymbol(lib, kAgentExport));
}

int32_t askAgentVersion(QxGameInterface *gi, platform::Library lib) {
  return askGuarded(gi, platform::librarySymbol(lib, kAgentExport),
                    [](QxGameInterface *gi, void *entry) {
                      return static_cast<int32_t>(reinterpret_cast<AgentEntry>(
                          entry)(gi, p::kOrderVersion, 0, kNoArgument));
                    });
}

int32_t askClientVersion(QxGameInterface *gi, platform::Library lib) {
  return askGuarded(
      gi, platform::librarySymbol(lib, kClientExport),
      [](QxGameInterface *gi, void *entry) {
        return static_cast<int32_t>(reinterpret_cast<QxEventEntryFn>(entry)(
            gi, QX_CB_VERSION, 0, nullptr, 0));
      });
}

bool loadAgent(QxGameInterface *gi) {
  ClientState &c = client();
  ModuleState &m = c.update.modules;
  if (m.agent) return true;
  char path[kPathCapacity];
  if (!homeFilePath(path, p::kThisPlatform.agentFile)) return false;
  m.agent = platform::libraryOpen(path);
  if (!m.agent) return false;
  m.exchangedThisLoad = 0;
  gi->agentModule = reinterpret_cast<uintptr_t>(m.agent);
  // The agent works in the client's directory; a host that left the field
  // empty learns it here.
  if (!gi->homeDir[0])
    copyText(gi->homeDir, c.host.homeDir, QX_HOMEDIR_SIZE - 1);
  return true;
}

void unloadAgent(QxGameInterface *gi) {
  ModuleState &m = client().update.modules;
  if (m.agent) platform::libraryClose(m.agent);
  m.agent = nullptr;
  if (gi) gi->agentModule = 0;
}

bool moduleFilePath(char *out, const char *format, int32_t version) {
  char name[64];
  formatText(name, sizeof name, format, p::kThisPlatform.letter,
             static_cast<unsigned>(version), p::kThisPlatform.suffix);
  return homeFilePath(out, name);
}

bool copyModuleFile(const char *from, const char *to) {
  File source(from, platform::OpenMode::Read);
  if (!source.open()) return false;
  const long size = source.size();
  if (size < 0 || size > kModuleFileMax) return false;
  void *data = heap::allocate(size > 0 ? static_cast<size_t>(size) : 1);
  if (!data) return false;
  const size_t n = static_cast<size_t>(size);
  // The module is loaded right after: a copy that still waits to take its
  // place has not arrived.
  const bool copied =
      source.read(data, n) == n &&
      replaceFileChecked(to, data, n) == ReplaceResult::kReplaced;
  heap::release(data);
  return copied;
}

void messageText(char *out, const uint8_t *text, int length) {
  const size_t n = length > 0 ? static_cast<size_t>(length) : 0;
  const char *chars = reinterpret_cast<const char *>(text);
  copyText(out, chars,
           boundedLength(chars, n < kMessageTextMax ? n : kMessageTextMax));
}

}  // namespace qx::update
