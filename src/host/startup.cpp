#include "host/startup.h"

#include <cstring>

#include "channel/channel.h"
#include "common/md5.h"
#include "common/paths.h"
#include "common/text.h"
#include "console/config.h"
#include "console/status.h"
#include "cvars/host_query.h"
#include "host/client_state.h"
#include "host/frame.h"
#include "log/log.h"
#include "master/master_list.h"
#include "master/master_query.h"
#include "master/web_update.h"
#include "screenshot/screenshot.h"
#include "update/modules.h"

namespace qx::host {

namespace {

constexpr const char *kDefaultPrefix = "[skipnotify]Quellor Client";
constexpr const char *kWantedCvar = "cl_quellor";
constexpr const char *kHomePathCvar = "fs_homepath";
constexpr const char *kBadMagicText = "Quellor Client: wrong game interface";
constexpr const char *kBadSecondaryText =
    "Quellor Client: secondary host record ignored (wrong magic)";
constexpr const char *kStartedText = "Quellor Client started";
constexpr const char *kSubDirectories[] = {"scrnshot", "dll", "htm"};
// A home directory that cannot be created or used: nothing will load or
// save, and the player is told which directory it is. On Windows this is
// what a directory with characters outside the system's ANSI code page
// comes to, as the client's paths go through the system's ANSI calls.
constexpr const char *kHomeUnusableText =
    "Error: Cannot use the home directory %s - no files are loaded or saved";
// Files an earlier run may have left behind in the home directory.
constexpr const char *kLeftoverFiles[] = {"qxcl.tmp", "qxag.tmp", "qxclold.dll",
                                          "qxagold.dll"};
// The first master query goes out this long after start-up.
constexpr uint32_t kFirstMasterQueryDelay = 120000;  // ms
constexpr uint32_t kListGrowHostNames = 64;
constexpr uint32_t kListGrowTables = 512;

// ---- client operations stored in the game interface ----------------------

const char *QX_CDECL digestOperation(const void *data, int32_t length,
                                     uint32_t seed) {
  // The text lives in a life-long buffer, overwritten by the next call.
  static char text[33];
  uint8_t digest[16];
  md5(data, data && length > 0 ? static_cast<size_t>(length) : 0, seed, digest);
  md5ToText(digest, text);
  return text;
}

int32_t QX_CDECL secondHook(int32_t, int32_t) { return 0; }
void QX_CDECL thirdHook() {}

void installOperations(QxGameInterface *gi) {
  gi->connectHook = channel::connectHook;
  gi->thirdHook = thirdHook;
  gi->secondHook = secondHook;
  gi->digest = digestOperation;
}

// ---- steps owned by other subsystems -------------------------------------

void prepareIntegrityScanning() {}  // not part of this build

// ---- start-up steps ------------------------------------------------------

void captureWorkingDirectory() {
  State &h = client().host;
  if (!h.workDir[0]) platform::workingDirectory(h.workDir, 256);
}

void recordSystemLayout() {
  scan::State &s = client().scan;
  const platform::SystemInfo info = platform::systemInfo();
  s.processId = platform::processId();
  s.threadId = platform::threadId();
  s.pageSize = info.pageSize;
  s.minAppAddress = info.minAppAddress;
  s.maxAppAddress = info.maxAppAddress;
  s.allocationGranularity = info.allocationGranularity;
}

void takeSecondaryRecord(QxGameInterface *gi) {
  State &h = client().host;
  if (h.secondaryTaken) return;
  h.secondaryTaken = 1;
  h.secondary = gi->secondary;
  if (h.secondary && h.secondary->magic != QX_SECONDARY_MAGIC) {
    h.secondary = nullptr;
    log::printWarning(gi, kBadSecondaryText, false);
  }
}

void endWithSeparator(char *path, size_t capacity) {
  const size_t n = std::strlen(path);
  if (n == 0 || path[n - 1] != '\\') appendText(path, capacity, "\\");
}

bool isSeparator(char c) { return c == '\\' || c == '/'; }

// Creates path and every missing folder above it, one separator at a time
// ('\\' or '/': a Linux host's home path has the latter). Tries on a drive
// ("C:") or a server name fail harmlessly: only the result for path itself
// counts.
bool makeDirectoryPath(char *path) {
  if (!path[0]) return false;
  for (char *p = path + 1; *p; ++p) {
    if (!isSeparator(*p) || isSeparator(p[-1]) || p[-1] == ':') continue;
    const char separator = *p;
    *p = '\0';
    platform::makeDirectory(path);
    *p = separator;
  }
  return platform::makeDirectory(path);
}

void setUpHomeDirectory(QxGameInterface *gi) {
  State &h = client().host;
  char *home = h.homeDir;
  copyText(home, gi->homeDir, QX_HOMEDIR_SIZE - 1);
  if (!home[0]) {
    char *buffer = h.scratch;
    copyText(buffer, kHomePathCvar, 255);
    if (cvars::askHost(gi, QX_Q_CVAR, buffer, kScratchSize) == 0)
      copyText(home, buffer, 255);
    else
      copyText(home, h.workDir, 255);
    endWithSeparator(home, kHomeDirSize);
    appendText(home, kHomeDirSize, "qx\\");
  }
  // Create the directory with every folder above it that is missing, then
  // its sub-directories; an existing directory is fine. A home the client
  // cannot create leaves it running without files, and says so once.
  size_t n = std::strlen(home);
  if (n > 0 && home[n - 1] == '\\') home[--n] = '\0';
  if (!makeDirectoryPath(home)) log::printMessage(1, kHomeUnusableText, home);
  endWithSeparator(home, kHomeDirSize);
  char path[kPathCapacity];
  for (const char *sub : kSubDirectories)
    if (homeFilePath(path, sub)) platform::makeDirectory(path);
}

void removeLeftovers() {
  char path[kPathCapacity];
  for (const char *name : kLeftoverFiles)
    if (homeFilePath(path, name)) platform::fileRemove(path);
}

// 8 to 15 characters with codes 33..132, never the double quote: r = 1
// would give '"', and is replaced by 'X'.
void drawNonce() {
  State &h = client().host;
  const int length = h.random.next() % 8 + 8;
  h.nonce[length] = '\0';
  for (int i = length - 1; i >= 0; --i) {
    const int r = h.random.next() % 100;
    h.nonce[i] = r == 1 ? 'X' : static_cast<char>(33 + r);
  }
}

}  // namespace

bool hostWantsClient(QxGameInterface *gi) {
  if (!gi || !gi->query) return false;
  char *buffer = client().host.scratch;
  copyText(buffer, kWantedCvar, 255);
  if (gi->query(QX_Q_CVAR, buffer, kScratchSize) != 0) buffer[0] = '\0';
  buffer[kScratchSize - 1] = '\0';
  return buffer[0] == '1';
}

int startUp(QxGameInterface *gi) {
  ClientState &c = client();
  State &h = c.host;
  if (h.initialised) return 1;
  installOperations(gi);
  captureWorkingDirectory();
  if (!gi->query) {
    h.scratch[0] = '\0';
    return 1;
  }
  if (!hostWantsClient(gi)) return 1;
  h.enabled = 1;
  if (gi->magic != QX_INTERFACE_MAGIC) {
    if (!h.badMagicReported)
      log::printMessage(1, "%s (%X)", kBadMagicText, gi->magic & 0xFFFFu);
    h.badMagicReported = 1;
    return 0;
  }
  recordSystemLayout();
  if (c.scan.pageSize == 0) return 0;
  c.master.hostNames.growBy = kListGrowHostNames;
  c.scan.processes.growBy = kListGrowTables;
  c.scan.modules.growBy = kListGrowTables;

  const uint32_t start = platform::tickCount();
  h.random.seed(start);
  channel::ensureToken();
  prepareIntegrityScanning();
  takeSecondaryRecord(gi);
  if (!gi->captureQuery) log::printMessage(1, "Warning: Corrupted Interface");
  setUpHomeDirectory(gi);
  removeLeftovers();
  applyPrefixAndLoad(gi);
  master::resolveWebHost(gi);
  drawNonce();
  screenshot::prepareScreenshots(gi, start, client().frame.call);
  channel::ensureToken();
  c.master.queryRotation = h.random.next() % 4;
  workFrameSteps(gi);
  log::printMessage(1, "(B) %s", kStartedText);
  c.master.lastMasterQuery =
      start - (master::kMasterQueryInterval - kFirstMasterQueryDelay);
  h.initialised = 1;
  update::agentVersionAtStartUp(gi);
  console::printVersion(gi);
  return 1;
}

void applyPrefixAndLoad(QxGameInterface *gi) {
  copyText(gi->msgPrefix, kDefaultPrefix, QX_PREFIX_SIZE - 1);
  if (!client().host.enabled) return;
  master::loadMasterList(gi);
  console::loadConfig(gi, "qxcl.cfg", 0, 0);
  console::loadConfig(gi, "qxsys.cfg", 0, 0);
}

void setWanted(QxGameInterface *gi, const char *value) {
  char *buffer = client().host.scratch;
  copyText(buffer, value, 255);
  if (gi->namedOp) gi->namedOp("set_cl_quellor", buffer);
}

void enableClient(QxGameInterface *gi) {
  setWanted(gi, "1");
  State &h = client().host;
  const bool wasEnabled = h.enabled != 0;
  h.enabled = 1;
  if (!wasEnabled) applyPrefixAndLoad(gi);
}

void disableClient(QxGameInterface *gi) {
  setWanted(gi, "0");
  log::printMessage(
      1, "%s",
      "The Quellor Client will be disabled the NEXT TIME upon startup.");
}

}  // namespace qx::host
