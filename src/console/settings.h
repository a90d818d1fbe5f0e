// Settings: named values set with a line "name value" and shown back after
// every match. One table holds the player's settings and the server's
// directive settings in the order lines are matched against them; each kind
// of value has one routine that matches, stores and shows it.
#pragma once

#include <cstddef>
#include <cstdint>

#include "console/line_context.h"

namespace qx::console {

enum class SettingKind { Integer, YesNo, Text };
// Where the value lives: the message prefix is in the game interface record,
// where the host reads it; every other value is in console::Settings.
enum class SettingPlace { Settings, Interface };

struct SettingEntry {
  const char *name;
  SettingKind kind;
  SettingPlace place;
  size_t offset;     // of the value within its record
  int32_t low;       // integer bounds (either order)
  int32_t high;      // integer upper bound; text: maximum length
  const char *help;  // player settings: shown by completion and qx_WriteCfg
  bool player;       // one of the twelve player settings
  void (*afterMatch)(const LineContext &line);  // side effect, or null
};

// The kind routines. Each returns 1 when line names its setting (the name in
// any case, then the end of the line or a space), after storing the value
// that follows and showing the result; 0 otherwise.
int integerSetting(const char *line, const char *name, int32_t *value,
                   int32_t low, int32_t high);
int yesNoSetting(const char *line, const char *name, int32_t *value);
int textSetting(const char *line, const char *name, char *field,
                size_t maxLength);

// Offers text to every setting in matching order; 1 at the first match.
int matchSettings(LineContext &line, const char *text);

// The table in matching order.
int settingCount();
const SettingEntry &settingAt(int index);
const SettingEntry *findSetting(const char *name);  // exact name, or null

// Integer or yes/no value of entry (0 for text settings).
int32_t integerValue(const SettingEntry &entry);
// Text value of entry ("" for number settings).
const char *textValue(QxGameInterface *gi, const SettingEntry &entry);

}  // namespace qx::console
