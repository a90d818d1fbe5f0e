#include "cvars/rules.h"

#include <cfloat>
#include <cstdlib>
#include <cstring>

#include "channel/channel.h"
#include "common/protocol.h"
#include "common/text.h"
#include "common/ticks.h"
#include "console/argument_list.h"
#include "cvars/host_query.h"
#include "cvars/queries.h"
#include "host/client_state.h"
#include "log/log.h"
#include "platform/platform.h"

namespace qx::cvars {

namespace {

constexpr uint8_t kKindIn = 1;
constexpr uint8_t kKindOut = 2;
constexpr uint8_t kKindInclude = 21;
constexpr uint8_t kKindExclude = 22;
constexpr double kTolerance = 1e-6;
constexpr int kNoRule = -3;       // parseArguments: an invalid rule line
constexpr int kFieldMax = 63;     // name and text of a rule
constexpr int kLineSize = 1025;   // a listing line, cut there
constexpr int kNumberSize = 330;  // "%f" of the largest double
constexpr int kRequestSize = 24;
constexpr const char *kProtected = "**Protected**";
// Shown for a rule line the client cannot read, with the whole line as the
// server wrote it. Server operators know this text word for word.
constexpr const char *kInvalidRule =
    "Unable to Add Cvar Check - Invalid Specification: %s";
constexpr const char *kWarningFormat = "Cvar Violation: %s = \"%s\" : %s";

State &state() { return client().cvars; }

// Digits of a count or sequence number; '-' is skipped, any other character
// ends it. -1 when the number does not fit a signed 32-bit value.
int32_t readCount(const char *text) {
  int64_t value = 0;
  for (; *text; ++text) {
    if (*text == '-') continue;
    if (*text < '0' || *text > '9') break;
    value = value * 10 + (*text - '0');
    if (value > INT32_MAX) return -1;
  }
  return static_cast<int32_t>(value);
}

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// Length of the leading decimal number of text (sign, digits, fraction,
// exponent); 0 when it does not start with one. Words such as "inf" or
// "nan" and hexadecimal forms are no numbers here.
size_t decimalPrefix(const char *text) {
  size_t i = 0, digits = 0;
  if (text[i] == '+' || text[i] == '-') ++i;
  for (; isDigit(text[i]); ++i) ++digits;
  if (text[i] == '.')
    for (++i; isDigit(text[i]); ++i) ++digits;
  if (digits == 0) return 0;
  if (text[i] == 'e' || text[i] == 'E') {
    size_t j = i + 1;
    if (text[j] == '+' || text[j] == '-') ++j;
    if (isDigit(text[j])) {
      while (isDigit(text[j])) ++j;
      i = j;
    }
  }
  return i;
}

// A decimal floating-point number; text that is no number gives 0, and
// numbers beyond the range of a double are held at its largest value.
double readNumber(const char *text) {
  while (*text == ' ' || *text == '\t') ++text;
  char number[kHostText];
  copyText(number, text,
           decimalPrefix(text) < sizeof number - 1 ? decimalPrefix(text)
                                                   : sizeof number - 1);
  if (!number[0]) return 0;
  const double value = std::strtod(number, nullptr);
  if (value > DBL_MAX) return DBL_MAX;
  if (value < -DBL_MAX) return -DBL_MAX;
  return value;
}

// "%f", then without trailing zeros and decimal point: 1.5, 2.
void formatNumber(double value, char *out) {
  formatText(out, kNumberSize, "%f", value);
  if (!std::strchr(out, '.')) return;
  size_t n = std::strlen(out);
  while (n > 0 && out[n - 1] == '0') out[--n] = '\0';
  if (n > 0 && out[n - 1] == '.') out[--n] = '\0';
}

uint8_t kindOf(const char *word) {
  if (compareNoCase(word, "in") == 0) return kKindIn;
  if (compareNoCase(word, "out") == 0) return kKindOut;
  if (compareNoCase(word, "include") == 0) return kKindInclude;
  if (compareNoCase(word, "exclude") == 0) return kKindExclude;
  return 0;
}

bool isNumericKind(uint8_t kind) { return kind == kKindIn || kind == kKindOut; }

void fillRule(Rule &rule, const console::ArgumentList &args) {
  copyText(rule.varName, console::arg(args, 1), kFieldMax);
  if (isNumericKind(rule.kind)) {
    const double a = readNumber(console::arg(args, 3));
    const double b = readNumber(console::arg(args, 4));
    rule.low = a < b ? a : b;
    rule.high = a < b ? b : a;
  } else {
    copyText(rule.text, console::arg(args, 3), kFieldMax);
  }
}

// The variable's value without a surrounding pair of double quotes.
void unquote(const char *value, char *out) {
  const size_t n = boundedLength(value, kHostText - 1);
  if (n >= 2 && value[0] == '"' && value[n - 1] == '"')
    copyText(out, value + 1, n - 2);
  else
    copyText(out, value, n);
}

void upperCase(char *text) {
  for (; *text; ++text)
    if (*text >= 'a' && *text <= 'z') *text = static_cast<char>(*text - 32);
}

// A rule line stores its rule and gives kRuleAdded; a count line gives
// its number; an overflowing number gives kRuleInvalid; a line with an
// unknown kind or an empty name gives kNoRule.
int parseArguments(const console::ArgumentList &args) {
  const int32_t number = readCount(console::arg(args, 0));
  if (number < 0) return kRuleInvalid;
  if (args.argc < 2) return number;
  Rule rule{};
  rule.kind = kindOf(console::arg(args, 2));
  if (rule.kind == 0 || !console::arg(args, 1)[0]) return kNoRule;
  fillRule(rule, args);
  console::listAppend(state().rules, &rule);
  return kRuleAdded;
}

// Builds the listing line of one rule; returns whether it is violated.
bool describeRule(QxGameInterface *gi, const Rule &rule, char *line) {
  char value[kHostText];
  readVariable(gi, rule.varName, value);
  const bool violated = ruleViolated(rule, value);
  char requirement[kLineSize];
  formatRequirement(rule, requirement, sizeof requirement);
  formatText(line, kLineSize, "%s = \"%s\" : %s%s", rule.varName,
             isSecretName(rule.varName) ? kProtected : value, requirement,
             violated ? "(VIOLATION)" : "(OK)");
  return violated;
}

void countRuleLine(uint32_t now) {
  State &s = state();
  ++s.ruleState;
  s.lastRuleLine = now;
  s.nextRequestBase = now - kRequestAfterLine;
}

void finishRuleSet(QxGameInterface *gi, int32_t count) {
  State &s = state();
  if (s.rules.count < count) {
    s.ruleState = 0;
    return;
  }
  s.ruleState = kRulesComplete;
  listRules(gi, kListedOkAfterSet);
}

// Cuts the next line (up to LF) off the text at cursor; null at the end.
char *nextLine(char *&cursor) {
  while (*cursor == ' ' || *cursor == '\r' || *cursor == '\n') ++cursor;
  if (!*cursor) return nullptr;
  char *line = cursor;
  char *lf = std::strchr(cursor, '\n');
  if (lf) {
    *lf = '\0';
    cursor = lf + 1;
  } else {
    cursor += std::strlen(cursor);
  }
  return line;
}

void requestMissingRules(uint32_t now) {
  State &s = state();
  if (s.ruleState < 0 || tickDiff(now, s.nextRequestBase) < kRequestInterval)
    return;
  s.nextRequestBase = now;
  uint8_t request[kRequestSize];
  const size_t n =
      formatText(reinterpret_cast<char *>(request), sizeof request,
                 protocol::kRuleRequestFormat, protocol::kRuleRequestCode,
                 protocol::kRuleRequestSub, static_cast<long>(s.ruleState));
  channel::queueMessage(request, static_cast<int>(n) + 1, 0);
}

void warnViolation(QxGameInterface *gi, const Rule &rule, const char *value) {
  char requirement[kLineSize];
  formatRequirement(rule, requirement, sizeof requirement);
  // The requirement ends in the space that the listing's verdict follows.
  const size_t n = std::strlen(requirement);
  if (n > 0 && requirement[n - 1] == ' ') requirement[n - 1] = '\0';
  char text[kLineSize];
  formatText(text, sizeof text, kWarningFormat, rule.varName,
             isSecretName(rule.varName) ? kProtected : value, requirement);
  log::printWarning(gi, text, false);
}

// Tests one rule per call, in turn.
void checkNextRule(QxGameInterface *gi, uint32_t now) {
  State &s = state();
  if (s.rules.count <= 0) return;
  if (s.nextCheck < 0 || s.nextCheck >= s.rules.count) s.nextCheck = 0;
  Rule *rule = console::listRecord<Rule>(s.rules, s.nextCheck++);
  if (!rule || !rule->varName[0]) return;
  char value[kHostText];
  readVariable(gi, rule->varName, value);
  if (!ruleViolated(*rule, value)) return;
  if (rule->lastWarned != 0 && tickDiff(now, rule->lastWarned) <= kWarnInterval)
    return;
  rule->lastWarned = now ? now : 1;  // 0 means never
  warnViolation(gi, *rule, value);
  if (s.reportViolations) reportViolation(gi, rule->varName);
}

}  // namespace

int parseRule(QxGameInterface *, char *line) {
  console::ArgumentList args;
  console::split(args, line, true);
  const int result = parseArguments(args);
  console::release(args);  // the whole line again, for the message
  if (result != kNoRule) return result;
  log::printMessage(1, kInvalidRule, line);
  return kRuleInvalid;
}

void receiveRules(QxGameInterface *gi, const char *text, int length) {
  State &s = state();
  char block[kRuleTextMax + 1];
  const size_t n = length < 0 ? 0 : static_cast<size_t>(length);
  copyText(block, text, n < kRuleTextMax ? n : kRuleTextMax);
  if (s.ruleState == kRulesComplete) {
    const int result = parseRule(gi, block);
    if (result >= 0 && result != s.rules.count) s.ruleState = 0;
    return;
  }
  const uint32_t now = platform::tickCount();
  char *cursor = block;
  while (char *line = nextLine(cursor)) {
    const int result = parseRule(gi, line);
    if (result < 0 ||
        (s.lastRuleLine != 0 && tickDiff(now, s.lastRuleLine) > kRuleTimeout))
      countRuleLine(now);
    if (result >= 0) {
      finishRuleSet(gi, result);
      return;
    }
  }
}

bool ruleViolated(const Rule &rule, const char *value) {
  char v[kHostText];
  unquote(value ? value : "", v);
  switch (rule.kind) {
    case kKindIn: {
      const double x = readNumber(v);
      return x < rule.low - kTolerance || x > rule.high + kTolerance;
    }
    case kKindOut: {
      const double x = readNumber(v);
      return x > rule.low - kTolerance && x < rule.high + kTolerance;
    }
    case kKindInclude:
      upperCase(v);
      return std::strstr(v, rule.text) == nullptr;
    case kKindExclude:
      upperCase(v);
      return std::strstr(v, rule.text) != nullptr;
    default:
      return false;
  }
}

void formatRequirement(const Rule &rule, char *out, size_t capacity) {
  if (!isNumericKind(rule.kind)) {
    formatText(out, capacity, "must %sINCLUDE \"%s\" ",
               rule.kind == kKindExclude ? "NOT " : "", rule.text);
    return;
  }
  char low[kNumberSize], high[kNumberSize];
  formatNumber(rule.low, low);
  formatNumber(rule.high, high);
  const bool in = rule.kind == kKindIn;
  if (rule.low == rule.high)
    formatText(out, capacity, "must %s to %s ",
               in ? "be EQUAL" : "NOT be EQUAL", low);
  else
    formatText(out, capacity, "must be %s %s to %s ", in ? "INSIDE" : "OUTSIDE",
               low, high);
}

void listRules(QxGameInterface *gi, int okLimit) {
  State &s = state();
  int violations = 0, shownOk = 0;
  bool truncated = false;
  char line[kLineSize];
  for (int32_t i = 0; i < s.rules.count; ++i) {
    const Rule *rule = console::listRecord<Rule>(s.rules, i);
    if (!rule || !rule->varName[0]) continue;
    if (describeRule(gi, *rule, line)) {
      ++violations;
    } else if (okLimit > 0 && shownOk >= okLimit) {
      truncated = true;
      continue;
    } else {
      ++shownOk;
    }
    log::printMessage(1, "%s", line);
  }
  log::printMessage(1, "%d Current Cvar Violation%s", violations,
                    violations == 1 ? "" : "s");
  if (truncated)
    log::printMessage(1,
                      "CvarList truncated; Use qx_cvarlist to see entire list");
}

void ruleHousekeeping(QxGameInterface *gi, uint32_t now) {
  requestMissingRules(now);
  checkNextRule(gi, now);
}

void resetRulesForServer() {
  State &s = state();
  s.rules.count = 0;
  s.ruleState = 0;
  s.nextCheck = 0;
  s.reportViolations = 0;
}

}  // namespace qx::cvars
