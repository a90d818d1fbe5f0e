// Installing the agent and preparing the replacement client: first from
// the kept copy of the wanted version under dll\, then from its update
// package under htm\, which is unpacked into the kept copy and tried again.
#include "common/paths.h"
#include "common/protocol.h"
#include "common/text.h"
#include "host/client_state.h"
#include "host/frame.h"
#include "log/log.h"
#include "master/master_list.h"
#include "platform/platform.h"
#include "update/module_library.h"
#include "update/modules.h"
#include "update/package.h"

namespace qx::update {

namespace {

namespace p = protocol;

static_assert(p::kClientVersion == QX_CLIENT_VERSION, "one client version");

constexpr char kAgentTable = 'A';
constexpr char kClientTable = 'C';

bool secured() {
  const console::Settings &s = client().settings;
  return s.security != 0 && s.lan == 0;
}

// The version the module library at path reports through ask, loaded by
// itself and closed again; 0 when it cannot be loaded.
int32_t probe(QxGameInterface *gi, const char *path,
              int32_t (*ask)(QxGameInterface *, platform::Library)) {
  const platform::Library lib = platform::libraryOpen(path);
  if (!lib) return 0;
  const int32_t version = ask(gi, lib);
  platform::libraryClose(lib);
  return version;
}

// The files an install of a version uses: its kept copy, its package and
// the module file in use.
struct ModulePaths {
  char copy[kPathCapacity];
  char package[kPathCapacity];
  char module[kPathCapacity];
};

// False when any of them cannot be placed in the home directory: such an
// install can never succeed, and asking for its package would only have
// the server push it again and again.
bool modulePaths(ModulePaths &paths, const char *copyFormat,
                 const char *packageFormat, const char *moduleFile,
                 int32_t version) {
  return moduleFilePath(paths.copy, copyFormat, version) &&
         moduleFilePath(paths.package, packageFormat, version) &&
         homeFilePath(paths.module, moduleFile);
}

// Unpacks the package of a version into its kept copy. With security on
// (and not on a LAN) the module must be one the master list vouches for:
// the first entry that lists the version gives the size and the digests
// the unpacked module must have. -1 refused, 0 failed or absent, 1 unpacked.
int unpackVersion(char table, const char *package, int32_t version,
                  const char *copyPath) {
  const master::ModuleRecord *expected = nullptr;
  if (secured()) {
    expected = master::findModule(table, p::kThisPlatform.letter, version);
    if (!expected) return -1;
  }
  // No package yet: the server is asked for it, which is no failure.
  if (!platform::fileExists(package)) return 0;
  const char *error =
      expected ? unpackPackage(package, copyPath, expected->size,
                               expected->digest1, expected->digest2)
               : unpackPackage(package, copyPath, 0, nullptr, nullptr);
  if (!error) return 1;
  // The reader only returns its error; logged here, it says why the
  // package is asked for again.
  log::printMessage(1, "Update package %s: %s", package, error);
  return 0;
}

// Puts the kept copy of an agent version in the agent's place and loads it,
// once: loading a library is the longest single step of an install, so the
// copy is not loaded apart first to ask its version. A copy that is not
// that version (or no library at all) is unloaded and its file removed
// again, leaving no agent, as a copy never put in place would.
bool loadKeptAgent(QxGameInterface *gi, const ModulePaths &paths,
                   int32_t version) {
  ClientState &c = client();
  if (!platform::fileExists(paths.copy)) return false;
  const bool copied = copyModuleFile(paths.copy, paths.module);
  if (!copied)
    log::printMessage(1, "ERROR Copying %s to qxag%s", paths.copy,
                      p::kThisPlatform.suffix);
  if (loadAgent(gi)) {
    c.host.agentVersion = askAgentVersion(gi, c.update.modules.agent);
    if (c.host.agentVersion == version) return true;
    c.host.agentVersion = 0;
    unloadAgent(gi);
  }
  if (copied) platform::fileRemove(paths.module);
  return false;
}

}  // namespace

int installAgent(QxGameInterface *gi, int32_t version, int retry) {
  ClientState &c = client();
  if (version < 1) {
    log::printMessage(1, "Invalid Agent Version Requested: %d", version);
    return -1;
  }
  if (version == c.host.agentVersion) return 1;
  unloadAgent(gi);
  ModulePaths paths;
  if (!modulePaths(paths, p::kAgentCopyFormat, p::kAgentPackageFormat,
                   p::kThisPlatform.agentFile, version))
    return -1;  // a home directory this long holds no modules
  if (loadKeptAgent(gi, paths, version)) return 1;
  if (retry) return -1;
  const int unpacked =
      unpackVersion(kAgentTable, paths.package, version, paths.copy);
  if (unpacked <= 0) return unpacked;
  return installAgent(gi, version, 1);
}

int installClient(QxGameInterface *gi, int32_t version, int retry) {
  if (version == p::kClientVersion) return 1;
  ModulePaths paths;
  if (!modulePaths(paths, p::kClientCopyFormat, p::kClientPackageFormat,
                   p::kThisPlatform.clientFile, version))
    return -1;
  const char *copy = paths.copy, *replacement = paths.module;
  if (copyModuleFile(copy, replacement)) {
    if (probe(gi, replacement, askClientVersion) == version) {
      gi->replacementReady = 1;
      unloadAgent(gi);
      return 1;
    }
    platform::fileRemove(replacement);
  }
  platform::fileRemove(copy);
  if (retry) return 0;
  const int unpacked =
      unpackVersion(kClientTable, paths.package, version, copy);
  if (unpacked < 0) return -1;
  if (unpacked > 0) installClient(gi, version, 1);
  return 0;
}

void agentVersion(QxGameInterface *gi) {
  ClientState &c = client();
  if (!c.update.modules.agent) loadAgent(gi);
  if (c.host.agentVersion <= 0 && c.update.modules.agent)
    c.host.agentVersion = askAgentVersion(gi, c.update.modules.agent);
}

void agentVersionAtStartUp(QxGameInterface *gi) {
  const bool completed = platform::runGuarded(
      [](void *context) {
        agentVersion(static_cast<QxGameInterface *>(context));
      },
      gi);
  if (!completed) host::reportContainedFault();
}

}  // namespace qx::update
