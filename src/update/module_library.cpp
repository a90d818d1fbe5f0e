#include "update/module_library.h"

#include <cstdlib>

#include "common/file.h"
#include "common/paths.h"
#include "common/protocol.h"
#include "common/text.h"
#include "host/client_state.h"

namespace qx::update {

namespace {

namespace p = protocol;

constexpr const char *kAgentExport = "a";
constexpr const char *kNoArgument = "";
// Larger files are no module of ours; a copy of one is refused.
constexpr long kModuleFileMax = 64L << 20;

}  // namespace

AgentEntry agentEntry(platform::Library lib) {
  return reinterpret_cast<AgentEntry>(
      platform::librarySymbol(lib, kAgentExport));
}

int32_t askAgentVersion(QxGameInterface *gi, platform::Library lib) {
  const AgentEntry a = agentEntry(lib);
  return a ? static_cast<int32_t>(a(gi, p::kOrderVersion, 0, kNoArgument)) : 0;
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
  void *data = std::malloc(size > 0 ? static_cast<size_t>(size) : 1);
  if (!data) return false;
  const size_t n = static_cast<size_t>(size);
  const bool copied = source.read(data, n) == n && replaceFile(to, data, n);
  std::free(data);
  return copied;
}

}  // namespace qx::update
