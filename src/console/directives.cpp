#include "console/directives.h"

#include <cstring>
#include <string>

#include "common/protocol.h"
#include "common/text.h"
#include "console/command_processor.h"
#include "console/status.h"
#include "console/subsystem_calls.h"
#include "host/client_state.h"
#include "log/log.h"
#include "master/master_query.h"
#include "platform/platform.h"

namespace qx::console {

namespace {

constexpr int kHostTextSize = 256;

// ---- handlers ------------------------------------------------------------

void bindingSearch(LineContext &line) {
  searchBindings(line.gi, arg(line.args, 1));
}
void cvarValue(LineContext &line) {
  requestCvarValue(line.gi, arg(line.args, 1));
}
void cvarSearch(LineContext &line) { searchCvars(line.gi, arg(line.args, 1)); }
void adminList(LineContext &line) {
  requestAdminList(line.gi, arg(line.args, 1));
}
void webUpdate(LineContext &line) { startWebUpdate(line.gi); }
void myGuid(LineContext &line) { printIdentity(line.gi); }
void netStat(LineContext &line) { printNetStat(line.gi, line.startTick); }
void homePath(LineContext &line) { printHomePath(line.gi); }
void consoleText(LineContext &line) { execConsole(line.gi, arg(line.args, 1)); }
void serverRelay(LineContext &line) {
  requestServerRelay(line.gi, arg(line.args, 1));
}
void remoteConsole(LineContext &line) {
  requestRemoteConsole(line.gi, arg(line.args, 1));
}

// The last master query becomes one interval old, so the next work frame
// sends a query.
void nextMaster(LineContext &) {
  client().master.lastMasterQuery =
      platform::tickCount() - master::kMasterQueryInterval;
}

// Asks the host's numbered query about text (at most 255 characters); the
// host answers in the same buffer.
intptr_t askHost(QxGameInterface *gi, int32_t code, const char *text,
                 char (&buffer)[kHostTextSize]) {
  copyText(buffer, text, kHostTextSize - 1);
  if (!gi || !gi->query) return 0;
  const intptr_t result = gi->query(code, buffer, kHostTextSize);
  buffer[kHostTextSize - 1] = '\0';
  return result;
}

void hostTextOfWord(LineContext &line) {
  terminateAll(line.args);
  char buffer[kHostTextSize];
  askHost(line.gi, QX_Q_HOST_TEXT_119, arg(line.args, 1), buffer);
  log::printMessage(1, "%s", buffer);
}

void printHostAnswer(intptr_t result, const char *buffer) {
  log::printMessage(1, "%X %s", static_cast<unsigned>(result), buffer);
}

void hostTextOfRest(LineContext &line) {
  char buffer[kHostTextSize];
  const intptr_t result =
      askHost(line.gi, QX_Q_HOST_TEXT_113, arg(line.args, 1), buffer);
  printHostAnswer(result, buffer);
}

void hostStatus(LineContext &line) {
  char buffer[kHostTextSize];
  const intptr_t result = askHost(line.gi, QX_Q_HOST_TEXT_112, "", buffer);
  printHostAnswer(result, buffer);
}

// ---- the table -----------------------------------------------------------

struct Directive {
  const char *keyword;
  size_t length;
  LineHandler handler;
};

constexpr Directive directive(const char *keyword, LineHandler handler) {
  return {keyword, std::char_traits<char>::length(keyword), handler};
}

// Grouped by keyword length in the order they are tried; the run-time
// keywords and QX_RCON come after the named ones.
constexpr Directive kDirectives[] = {
    directive("QX_BIND?", bindingSearch),
    directive("QX_CVAR=", cvarValue),
    directive("QX_CVAR?", cvarSearch),
    directive("QX_ALIST", adminList),
    directive("QX_NEXTMASTER", nextMaster),
    directive("QX_MYGUID", myGuid),
    directive("QX_WEBUPDATE", webUpdate),
    directive("QX_NETSTAT", netStat),
    directive("QX_HOMEPATH", homePath),
    directive("qx_cmd", consoleText),
    directive("QX_TEX", hostTextOfWord),
    directive(protocol::kServerRequestKeyword, serverRelay),
    directive("QX_RCON", remoteConsole),
    directive(protocol::kHostTextKeyword, hostTextOfRest),
    directive(protocol::kHostStatusKeyword, hostStatus),
};

}  // namespace

int runDirective(LineContext &line) {
  if (line.args.argc == 0) return 0;
  const size_t length = static_cast<size_t>(line.args.length[0]);
  const char *word = line.args.start[0];
  for (const Directive &d : kDirectives) {
    if (d.length != length || compareNoCaseN(word, d.keyword, length) != 0)
      continue;
    d.handler(line);
    return 1;
  }
  return 0;
}

}  // namespace qx::console
