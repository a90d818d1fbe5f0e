// Console-variable rules imposed by the server: received as text lines,
// kept in the list "FLCV", tested against the values the host reports,
// listed on request and checked one rule per work frame.
#pragma once

#include <cstddef>
#include <cstdint>

#include "cvars/cvars_state.h"
#include "qx/game_interface.h"

namespace qx::cvars {

constexpr int kRuleAdded = -2;      // parseRule: a rule line (stored or not)
constexpr int kRuleInvalid = -1;    // parseRule: a line that is no rule
constexpr int kRuleTextMax = 1100;  // longest block of rule text
constexpr uint32_t kRuleTimeout = 10000;      // ms: a count line counts anew
constexpr uint32_t kRequestInterval = 8000;   // ms between re-requests
constexpr uint32_t kRequestAfterLine = 7500;  // so: 500 ms after a rule line
constexpr uint32_t kWarnInterval = 10000;     // ms between warnings of a rule
constexpr int kListedOkAfterSet = 10;  // OK lines shown after a complete set

// Parses one line "number name kind a [b]" (line is cut up in place).
// Returns kRuleAdded when it was a rule (also when the list could not
// grow), kRuleInvalid for a bad line or an overflowing number, or the
// number (>= 0) of a count line, which has no name.
int parseRule(QxGameInterface *gi, char *line);

// Handles one block of rule text from the server: length bytes, not
// necessarily terminated, lines separated by LF.
void receiveRules(QxGameInterface *gi, const char *text, int length);

// True when value (the variable's text as the host reports it; a pair of
// surrounding double quotes is ignored) breaks the rule.
bool ruleViolated(const Rule &rule, const char *value);

// One console line per rule, then the summary; okLimit > 0 shows at most
// that many satisfied rules and then the truncation line.
void listRules(QxGameInterface *gi, int okLimit);

// Work-frame step while connected: asks the server again for an incomplete
// rule set, and tests the next rule.
void ruleHousekeeping(QxGameInterface *gi, uint32_t now);

// Joining a server: no rules, an incomplete set, no violation reports.
void resetRulesForServer();

// "must be INSIDE 1 to 5 " and the like: the requirement of a rule.
void formatRequirement(const Rule &rule, char *out, size_t capacity);

}  // namespace qx::cvars
