#include "console/settings.h"

#include <cstring>

#include "common/numbers.h"
#include "common/protocol.h"
#include "common/text.h"
#include "console/config.h"
#include "console/subsystem_calls.h"
#include "host/client_state.h"
#include "log/log.h"

namespace qx::console {

namespace {

constexpr int32_t kSystemValueMin = 0;
constexpr int32_t kSystemValueMax = 1;
constexpr const char *kSystemName = "QX_SYSTEM";
constexpr const char *kSystemLocked =
    "qx_system cannot be changed while connected to a server";

void afterRegNameFn(const LineContext &line) {
  loadRegisteredNamesFile(line.gi);
}

void afterRegNamePw(const LineContext &line) {
  rewriteRegisteredNamesFile(line.gi);
}

void afterLogAddr(const LineContext &line) {
  if (client().settings.lan != 1) resolveLogAddress(line.gi);
}

// QX_SYSTEM may not change while the client is connected to a server; every
// match saves the value in qxsys.cfg, which start-up reads back.
void afterSystem(const LineContext &line) {
  ClientState &c = client();
  if (c.frame.connected && c.settings.system != line.systemAtStart) {
    c.settings.system = line.systemAtStart;
    log::printMessage(1, "%s", kSystemLocked);
    char again[32];
    formatText(again, sizeof again, "qx_system %d",
               static_cast<int>(line.systemAtStart));
    integerSetting(again, kSystemName, &c.settings.system, kSystemValueMin,
                   kSystemValueMax);
  }
  writeSystemConfig();
}

// ---- the table, in matching order ----------------------------------------

#define QX_IN_SETTINGS(field) SettingPlace::Settings, offsetof(Settings, field)

constexpr SettingEntry kSettings[] = {
    {"qx_MsgPrefix", SettingKind::Text, SettingPlace::Interface,
     offsetof(QxGameInterface, msgPrefix), 0, QX_PREFIX_SIZE - 1,
     "[QX Message Prefix (default=Quellor Client)]", true, nullptr},
    {"qx_Security", SettingKind::YesNo, QX_IN_SETTINGS(security), 0, 1,
     "[0=No, 1=Yes (default=1)]", true, nullptr},
    {"qx_Sleep", SettingKind::Integer, QX_IN_SETTINGS(sleep), 20, 500,
     "[# of Milliseconds (default=250)]", true, nullptr},
    {"qx_LogToFile", SettingKind::YesNo, QX_IN_SETTINGS(logToFile), 0, 1,
     "[0=No, 1=Yes (default=0)]", true, nullptr},
    {"qx_SsLog", SettingKind::YesNo, QX_IN_SETTINGS(ssLog), 0, 1,
     "[0=No, 1=Yes (default=1)]", true, nullptr},
    {"qx_SsSave", SettingKind::YesNo, QX_IN_SETTINGS(ssSave), 0, 1,
     "[0=No, 1=Yes (default=0)]", true, nullptr},
    {"qx_RegNameFn", SettingKind::Text, QX_IN_SETTINGS(regNameFn), 0,
     sizeof(Settings::regNameFn) - 1, "[Filename for Registered Names]", true,
     afterRegNameFn},
    {"qx_RegNamePw", SettingKind::Text, QX_IN_SETTINGS(regNamePw), 0,
     sizeof(Settings::regNamePw) - 1, "[Encryption Key for RegName Files]",
     true, afterRegNamePw},
    {protocol::kAuxPortSetting, SettingKind::Integer, QX_IN_SETTINGS(auxPort),
     0, 65535, "", false, nullptr},
    {"qx_forceoob", SettingKind::Integer, QX_IN_SETTINGS(forceOob), 0, 1, "",
     false, nullptr},
    {kSystemName, SettingKind::Integer, QX_IN_SETTINGS(system), kSystemValueMin,
     kSystemValueMax, "", false, afterSystem},
    {"QX_NETPORT", SettingKind::Integer, QX_IN_SETTINGS(netPort), 0, 65535, "",
     false, nullptr},
    {"QX_LOGMD5TOOL", SettingKind::Integer, QX_IN_SETTINGS(logMd5Tool), 0, 1,
     "", false, nullptr},
    {"QX_LAN", SettingKind::Integer, QX_IN_SETTINGS(lan), 0, 1, "", false,
     nullptr},
    {"QX_AUTOEXEC", SettingKind::Text, QX_IN_SETTINGS(autoExec), 0,
     sizeof(Settings::autoExec) - 1, "", false, nullptr},
    {"QX_IGNORE", SettingKind::Integer, QX_IN_SETTINGS(ignore), 0, 1, "", false,
     nullptr},
    {"qx_LogUser", SettingKind::Text, QX_IN_SETTINGS(logUser), 0,
     sizeof(Settings::logUser) - 1, "[remote_log_username]", true, nullptr},
    {"qx_LogPw", SettingKind::Text, QX_IN_SETTINGS(logPw), 0,
     sizeof(Settings::logPw) - 1, "[remote_log_password]", true, nullptr},
    {"qx_LogAddr", SettingKind::Text, QX_IN_SETTINGS(logAddr), 0,
     sizeof(Settings::logAddr) - 1, "[remote_log_address]", true, afterLogAddr},
    {"qx_LogPort", SettingKind::Integer, QX_IN_SETTINGS(logPort), 1, 65535,
     "[remote_log_port]", true, nullptr},
};

#undef QX_IN_SETTINGS

constexpr int kSettingCount =
    static_cast<int>(sizeof kSettings / sizeof kSettings[0]);

void *valueAddress(QxGameInterface *gi, const SettingEntry &entry) {
  unsigned char *base =
      entry.place == SettingPlace::Interface
          ? reinterpret_cast<unsigned char *>(gi)
          : reinterpret_cast<unsigned char *>(&client().settings);
  return base ? base + entry.offset : nullptr;
}

// The value part of a setting line: the text after the name and one space,
// or null when the line does not name the setting.
const char *valueOf(const char *line, const char *name) {
  const size_t n = std::strlen(name);
  if (compareNoCaseN(line, name, n) != 0) return nullptr;
  if (line[n] == '\0') return line + n;
  if (line[n] != ' ') return nullptr;
  return line + n + 1;
}

bool isOneOf(char c, const char *set) { return c && std::strchr(set, c); }

// Narrows [begin, end) by the characters of set at both ends.
void trim(const char *&begin, const char *&end, const char *set) {
  while (begin < end && isOneOf(*begin, set)) ++begin;
  while (end > begin && isOneOf(end[-1], set)) --end;
}

// The value runs to the end of the line; a line end inside it (only a
// console line can carry one) ends it, so that a stored text can never
// turn into two lines of a configuration file.
const char *valueEnd(const char *value) {
  return value + std::strcspn(value, "\r\n");
}

// Yes/no reads only digits and skips every '-', so there is no sign; 2 or
// more is yes.
int32_t textToYesNo(const char *begin, const char *end) {
  uint32_t value = 0;
  for (; begin < end; ++begin) {
    if (*begin == '-') continue;
    if (*begin < '0' || *begin > '9') break;
    value = value * 10u + static_cast<uint32_t>(*begin - '0');
    if (value >= 2) return 1;
  }
  return value >= 1 ? 1 : 0;
}

int runEntry(LineContext &line, const SettingEntry &entry, const char *text) {
  void *value = valueAddress(line.gi, entry);
  if (!value) return 0;
  switch (entry.kind) {
    case SettingKind::Integer:
      return integerSetting(text, entry.name, static_cast<int32_t *>(value),
                            entry.low, entry.high);
    case SettingKind::YesNo:
      return yesNoSetting(text, entry.name, static_cast<int32_t *>(value));
    case SettingKind::Text:
      return textSetting(text, entry.name, static_cast<char *>(value),
                         static_cast<size_t>(entry.high));
  }
  return 0;
}

}  // namespace

int integerSetting(const char *line, const char *name, int32_t *value,
                   int32_t low, int32_t high) {
  const char *begin = valueOf(line, name);
  if (!begin) return 0;
  const char *end = valueEnd(begin);
  trim(begin, end, " \t\"");
  if (low > high) {
    const int32_t t = low;
    low = high;
    high = t;
  }
  if (begin < end) {
    const int32_t v =
        readSignedDecimal(begin, static_cast<size_t>(end - begin));
    *value = v < low ? low : v > high ? high : v;
  }
  log::printMessage(1, "%s = %d (%d to %d)", name, static_cast<int>(*value),
                    static_cast<int>(low), static_cast<int>(high));
  return 1;
}

int yesNoSetting(const char *line, const char *name, int32_t *value) {
  const char *begin = valueOf(line, name);
  if (!begin) return 0;
  const char *end = valueEnd(begin);
  trim(begin, end, " \t\"");
  if (begin < end) *value = textToYesNo(begin, end);
  log::printMessage(1, "%s = %d (0=No, 1=Yes)", name, static_cast<int>(*value));
  return 1;
}

int textSetting(const char *line, const char *name, char *field,
                size_t maxLength) {
  const char *begin = valueOf(line, name);
  if (!begin) return 0;
  const char *end = valueEnd(begin);
  trim(begin, end, " \t");
  const size_t n = static_cast<size_t>(end - begin);
  if (n == 2 && begin[0] == '"' && begin[1] == '"') {
    field[0] = '\0';
  } else if (n > 0) {
    if (n > 1 && begin[0] == '"' && end[-1] == '"') {
      ++begin;
      --end;
    }
    const size_t length = static_cast<size_t>(end - begin);
    copyText(field, begin, length < maxLength ? length : maxLength);
  }
  log::printMessage(1, "%s = %s", name, field);
  return 1;
}

int matchSettings(LineContext &line, const char *text) {
  for (const SettingEntry &entry : kSettings) {
    if (!runEntry(line, entry, text)) continue;
    if (entry.afterMatch) entry.afterMatch(line);
    return 1;
  }
  return 0;
}

int settingCount() { return kSettingCount; }

const SettingEntry &settingAt(int index) { return kSettings[index]; }

const SettingEntry *findSetting(const char *name) {
  for (const SettingEntry &entry : kSettings)
    if (std::strcmp(entry.name, name) == 0) return &entry;
  return nullptr;
}

int32_t integerValue(const SettingEntry &entry) {
  if (entry.kind == SettingKind::Text) return 0;
  return *static_cast<int32_t *>(valueAddress(nullptr, entry));
}

const char *textValue(QxGameInterface *gi, const SettingEntry &entry) {
  if (entry.kind != SettingKind::Text) return "";
  const void *value = valueAddress(gi, entry);
  return value ? static_cast<const char *>(value) : "";
}

}  // namespace qx::console
