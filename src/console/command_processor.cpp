#include "console/command_processor.h"

#include <cstring>
#include <string>

#include "common/numbers.h"
#include "common/text.h"
#include "console/config.h"
#include "console/directives.h"
#include "console/settings.h"
#include "console/status.h"
#include "console/subsystem_calls.h"
#include "host/client_state.h"
#include "host/startup.h"
#include "log/log.h"
#include "platform/platform.h"

namespace qx::console {

namespace {

constexpr const char *kDisabled = "Quellor Client is currently Disabled";
constexpr const char *kUnknown = "Unknown Command/Setting: %s";
constexpr const char *kPrefixedRequest = "qx_ypg_";
constexpr size_t kExecMax = 255;

// ---- command handlers ----------------------------------------------------

void enableCommand(LineContext &line) {
  host::setWanted(line.gi, "1");
  host::State &h = client().host;
  const bool wasEnabled = h.enabled != 0;
  h.enabled = 1;
  if (wasEnabled) printVersion(line.gi);
}

void disableCommand(LineContext &line) { host::disableClient(line.gi); }
void loadCommand(LineContext &line) {
  loadConfig(line.gi, arg(line.args, 1), line.depth + 1, 1);
}
void versionCommand(LineContext &line) { printVersion(line.gi); }
void playerListCommand(LineContext &line) {
  requestPlayerList(line.gi, arg(line.args, 1));
}
void screenshotOptionsCommand(LineContext &line) {
  setScreenshotOptions(arg(line.args, 1));
}
void getScreenshotCommand(LineContext &) { takeLocalScreenshot(); }
void cvarListCommand(LineContext &line) { listCvarRules(line.gi); }
void cvarValueCommand(LineContext &line) {
  requestCvarValue(line.gi, arg(line.args, 1));
}
void bindSearchCommand(LineContext &line) {
  searchBindings(line.gi, arg(line.args, 1));
}
void cvarSearchCommand(LineContext &line) {
  searchCvars(line.gi, arg(line.args, 1));
}
void cvarUserCommand(LineContext &line) { listUserCvars(line.gi); }
void cvarChangedCommand(LineContext &line) { listChangedCvars(line.gi); }
void writeConfigCommand(LineContext &line) {
  writeConfig(line.gi, arg(line.args, 1));
}

// The match text and the password are single (possibly quoted) arguments.
void addRegisteredNameOfKind(LineContext &line, const char *kind) {
  terminateAll(line.args);
  addRegisteredName(line.gi, arg(line.args, 1), arg(line.args, 2), kind, 1);
}
void regNameFullCommand(LineContext &line) {
  addRegisteredNameOfKind(line, "Full");
}
void regNamePartialCommand(LineContext &line) {
  addRegisteredNameOfKind(line, "Partial");
}
void regNameDelCommand(LineContext &line) {
  deleteRegisteredName(line.gi, readSignedDecimal(arg(line.args, 1)));
}
void regNameListCommand(LineContext &line) { listRegisteredNames(line.gi); }
void powerCommand(LineContext &line) {
  requestPowerInfo(line.gi, arg(line.args, 1));
}
void kickCommand(LineContext &line) {
  requestKickVote(line.gi, arg(line.args, 1));
}

// ---- the table -----------------------------------------------------------

struct Command {
  const char *name;
  size_t length;
  const char *help;
  LineHandler handler;
};

constexpr Command command(const char *name, const char *help,
                          LineHandler handler) {
  return {name, std::char_traits<char>::length(name), help, handler};
}

// The first entry is matched ahead of the disabled test; the table is also
// the vocabulary of name completion, in this order.
constexpr Command kCommands[] = {
    command("qx_cl_Enable", "- Enable Quellor", enableCommand),
    command("qx_cl_Disable", "- Disable Quellor", disableCommand),
    command("qx_Load", "[filename] - Load QX config file", loadCommand),
    command("qx_Ver", "- Display current QX Client version information",
            versionCommand),
    command("qx_Plist", "- Display list of currently connected players",
            playerListCommand),
    command("qx_SsOptions", "- Set local QX screenshot options",
            screenshotOptionsCommand),
    command("qx_GetSs", "- Capture local QX screenshot to a file",
            getScreenshotCommand),
    command("qx_CvarList", "- Display list of server-required Cvar Ranges",
            cvarListCommand),
    command("qx_CvarVal", "[Cvar name] - Display server-side Cvar value",
            cvarValueCommand),
    command("qx_BindSrch", "[text] - Display key bindings containing text",
            bindSearchCommand),
    command("qx_CvarSrch", "[text] - Display Cvars containing text",
            cvarSearchCommand),
    command("qx_CvarUser", "- Display local user-created Cvars",
            cvarUserCommand),
    command("qx_CvarChanged", "- Display local Cvars not = default value",
            cvarChangedCommand),
    // The help text has no closing bracket.
    command("qx_WriteCfg", "[filename (default=qxcl.cfg) - Save settings",
            writeConfigCommand),
    command("qx_RegNameFull", "[match] [password] - Add Registered Name",
            regNameFullCommand),
    command("qx_RegNamePartial",
            "[match] [password] - Add Registered Partial Name",
            regNamePartialCommand),
    command("qx_RegNameDel", "[slot #] - Remove a Registered Name",
            regNameDelCommand),
    command("qx_RegNameList", "- List Registered Names", regNameListCommand),
    command("qx_Power", "- Display Player Power Information", powerCommand),
    command("qx_Kick", "[slot #] - 'Vote' to kick another player", kickCommand),
};

bool namesCommand(const ArgumentList &args, const Command &c) {
  return args.argc > 0 && static_cast<size_t>(args.length[0]) == c.length &&
         compareNoCaseN(args.start[0], c.name, c.length) == 0;
}

int runCommand(LineContext &line) {
  for (size_t i = 1; i < sizeof kCommands / sizeof kCommands[0]; ++i) {
    if (!namesCommand(line.args, kCommands[i])) continue;
    kCommands[i].handler(line);
    return 1;
  }
  return 0;
}

// Cuts the line at its first "//" that is not inside double quotes, so that
// a quoted value such as an address with "//" in it keeps its text.
void cutComment(char *text) {
  bool quoted = false;
  for (char *p = text; *p; ++p) {
    if (*p == '"') quoted = !quoted;
    if (!quoted && p[0] == '/' && p[1] == '/') {
      *p = '\0';
      return;
    }
  }
}

char *trimBlanks(char *text) {
  while (*text == ' ' || *text == '\t') ++text;
  size_t n = std::strlen(text);
  while (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\t')) text[--n] = 0;
  return text;
}

// ---- completion ----------------------------------------------------------

struct Name {
  const char *name;
  const char *help;
};

// Visits the commands, then the player settings, whose names begin with
// text (any case).
template <typename Visit>
int forEachCandidate(const char *text, size_t length, Visit visit) {
  int count = 0;
  for (const Command &c : kCommands)
    if (compareNoCaseN(c.name, text, length) == 0) {
      ++count;
      visit(Name{c.name, c.help});
    }
  for (int i = 0; i < settingCount(); ++i) {
    const SettingEntry &s = settingAt(i);
    if (s.player && compareNoCaseN(s.name, text, length) == 0) {
      ++count;
      visit(Name{s.name, s.help});
    }
  }
  return count;
}

}  // namespace

int processLine(QxGameInterface *gi, char *text, int depth, int reportUnknown) {
  const uint32_t startTick = platform::tickCount();
  if (!text || !text[0]) return 1;
  ClientState &c = client();
  if (c.host.enabled && compareNoCaseN(text, kPrefixedRequest,
                                       std::strlen(kPrefixedRequest)) == 0) {
    requestPrefixed(gi, text);
    return 1;
  }
  cutComment(text);
  text = trimBlanks(text);

  LineContext line;
  line.gi = gi;
  line.depth = depth;
  line.startTick = startTick;
  line.systemAtStart = c.settings.system;
  split(line.args, text, false);

  if (namesCommand(line.args, kCommands[0])) {
    kCommands[0].handler(line);
  } else if (!c.host.enabled) {
    log::printMessage(1, "%s", kDisabled);
  } else if (!runCommand(line) && !runDirective(line) &&
             !matchSettings(line, text) && reportUnknown == 1) {
    log::printMessage(1, kUnknown, text);
  }
  release(line.args);
  return 1;
}

void execConsole(QxGameInterface *gi, const char *text) {
  char line[kExecMax + 1];
  copyText(line, text, kExecMax);
  if (gi && gi->namedOp) gi->namedOp("Cmd_Exec", line);
}

// text holds at least 256 bytes; a completed name is at most 18 of them.
void complete(QxGameInterface *, char *text) {
  const size_t length = boundedLength(text, kExecMax);
  Name found{};
  const int count =
      forEachCandidate(text, length, [&](const Name &n) { found = n; });
  if (count == 1) {
    std::strcat(text, found.name + length);
    std::strcat(text, " ");
    return;
  }
  if (count < 2) return;
  log::printMessage(1, "Completions of \"%s\":", text);
  forEachCandidate(text, length, [](const Name &n) {
    log::printMessage(1, "%s %s", n.name, n.help);
  });
}

}  // namespace qx::console
