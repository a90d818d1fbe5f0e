#include "cvars/queries.h"

#include <cstring>

#include "channel/channel.h"
#include "common/numbers.h"
#include "common/protocol.h"
#include "common/text.h"
#include "console/argument_list.h"
#include "cvars/host_query.h"
#include "host/client_state.h"
#include "log/log.h"

namespace qx::cvars {

namespace {

namespace p = protocol;

constexpr int kMessageMax = p::kMaxMessage;
constexpr int kRequestMax = 255;  // names and search texts from the server
constexpr uint32_t kVariableReplyDelay = 4;  // ms
constexpr uint32_t kBindingsReplyDelay = 2;
constexpr uint32_t kListAckDelay = 1;
constexpr uint32_t kListAckFloor = 30;
constexpr int32_t kUserFlagsMask = 0xD1;
constexpr int32_t kUserFlagsValue = 0x80;
constexpr const char *kProtected = "**Protected**";

const char *plural(int count, const char *ending) {
  return count == 1 ? "" : ending;
}

// ---- walking the host's variables and bindings ---------------------------
//
// Each walk calls visit(context, first, second) once per entry and stops
// after kMaxEnumeration entries, so a host that never ends a list cannot
// hold the client.

using Visit = void (*)(void *context, const char *first, const char *second);

// Keys whose binding contains text: first = key name, second = binding. A
// match whose name or binding the host cannot read still counts: it is
// visited with null texts, and the search ends there.
void walkBindings(QxGameInterface *gi, const char *text, Visit visit,
                  void *context) {
  char buffer[kHostText], name[kHostText], binding[kHostText];
  int32_t from = 0;
  for (int32_t n = 0; n < kMaxEnumeration; ++n) {
    formatText(buffer, sizeof buffer, "%ld %s", static_cast<long>(from), text);
    if (askHost(gi, QX_Q_BIND_FIND, buffer, kHostText) != 0) return;
    const int32_t key = static_cast<int32_t>(readDecimal(buffer));
    // A negative index ends the search; readDecimal skips the sign.
    if (buffer[0] == '-' || !buffer[0] || key < from) return;
    formatText(name, sizeof name, "%ld", static_cast<long>(key));
    formatText(binding, sizeof binding, "%ld", static_cast<long>(key));
    if (askHost(gi, QX_Q_BIND_NAME, name, kHostText) != 0 ||
        askHost(gi, QX_Q_BIND_TEXT, binding, kHostText) != 0) {
      visit(context, nullptr, nullptr);
      return;
    }
    visit(context, name, binding);
    if (key == INT32_MAX) return;
    from = key + 1;
  }
}

// Variables the host finds for text: first = the host's text.
void walkVariables(QxGameInterface *gi, const char *text, Visit visit,
                   void *context) {
  char buffer[kHostText];
  for (int32_t n = 0; n < kMaxEnumeration; ++n) {
    copyText(buffer, text, kHostText - 1);
    if (askHost(gi, QX_Q_CVAR_FIND, buffer, kHostText) != 0 || !buffer[0])
      return;
    visit(context, buffer, "");
  }
}

// Queries 110 and 111 answer with a pointer to the name and put the flag
// word or the value into the buffer.
const char *nextEnumerated(QxGameInterface *gi, int32_t code, char *buffer,
                           char *name) {
  buffer[0] = '\0';
  const intptr_t answer = askHost(gi, code, buffer, kHostText);
  if (answer == 0 || answer == -1) return nullptr;
  copyText(name, reinterpret_cast<const char *>(answer), kHostText - 1);
  return name;
}

bool isUserCreated(const char *flags) {
  return (static_cast<int32_t>(readDecimal(flags)) & kUserFlagsMask) ==
         kUserFlagsValue;
}

// User-created variables: first = name.
void walkUserVariables(QxGameInterface *gi, Visit visit, void *context) {
  char flags[kHostText], name[kHostText];
  for (int32_t n = 0; n < kMaxEnumeration; ++n) {
    if (!nextEnumerated(gi, QX_Q_CVAR_NEXT_USER, flags, name)) return;
    if (isUserCreated(flags)) visit(context, name, "");
  }
}

// Changed variables with a name and a value: first = name, second = value.
void walkChangedVariables(QxGameInterface *gi, Visit visit, void *context) {
  char value[kHostText], name[kHostText];
  for (int32_t n = 0; n < kMaxEnumeration; ++n) {
    if (!nextEnumerated(gi, QX_Q_CVAR_NEXT_CHANGED, value, name)) return;
    if (name[0] && value[0]) visit(context, name, value);
  }
}

// ---- replies ----------------------------------------------------------------

// A reply text under construction in the caller's buffer.
struct Reply {
  char *text;
  size_t length;
  int count;  // matches, also those that no longer fit

  void add(size_t capacity, const char *format, const char *a,
           const char *b = "") {
    length += formatText(text + length, capacity - length, format, a, b);
  }
};

Reply startReply(uint8_t *reply, char letter) {
  Reply r{reinterpret_cast<char *>(reply), 0, 0};
  r.text[0] = letter;
  r.text[1] = '\0';
  r.length = 1;
  return r;
}

int finish(const Reply &r) { return static_cast<int>(r.length) + 1; }

void addBinding(void *context, const char *key, const char *binding) {
  Reply &r = *static_cast<Reply *>(context);
  ++r.count;
  if (key &&
      r.length + std::strlen(key) + std::strlen(binding) < kBindingsReplyLimit)
    r.add(kMessageMax, "[%s = %s] ", key, binding);
}

void addName(void *context, const char *name, const char *) {
  Reply &r = *static_cast<Reply *>(context);
  ++r.count;
  if (r.length + std::strlen(name) < kNamesReplyLimit)
    r.add(kNamesReplyMax + 1, "\"%s\" ", name);
}

void addPublicName(void *context, const char *name, const char *second) {
  if (!isSecretName(name)) addName(context, name, second);
}

int finishNames(Reply &r, const char *format, const char *ending) {
  r.length += formatText(r.text + r.length, kNamesReplyMax + 1 - r.length,
                         format, r.count, plural(r.count, ending));
  return finish(r);
}

// Seals the reply when permitted, then queues it (delay 0 sends it now).
void sendReply(uint8_t *reply, int length, uint32_t delay) {
  if (length <= 0) return;
  channel::queueMessage(reply, channel::sealMessage(reply, length), delay);
}

// The request's bytes as a text of at most kRequestMax characters.
void requestText(const uint8_t *bytes, int length, char *out) {
  const size_t n = length < 0 ? 0 : static_cast<size_t>(length);
  copyText(out, reinterpret_cast<const char *>(bytes),
           n < kRequestMax ? n : kRequestMax);
}

// ---- console lines
// -----------------------------------------------------------

struct Listing {
  int count;
};

void printBinding(void *context, const char *key, const char *binding) {
  ++static_cast<Listing *>(context)->count;
  if (key) log::printMessage(1, "%s = %s", key, binding);
}

void printName(void *context, const char *name, const char *) {
  ++static_cast<Listing *>(context)->count;
  log::printMessage(1, "%s", name);
}

void printChanged(void *context, const char *name, const char *value) {
  ++static_cast<Listing *>(context)->count;
  log::printMessage(1, "%s %s", name, isSecretName(name) ? kProtected : value);
}

}  // namespace

// ---- reply builders ---------------------------------------------------------

int buildVariableReport(QxGameInterface *gi, const char *name, ReportKind kind,
                        uint8_t *reply) {
  if (isSecretName(name)) return 0;
  char value[kHostText];
  readVariable(gi, name, value);
  const char *quote = std::strchr(name, ' ') ? "\"" : "";
  const size_t n = formatText(
      reinterpret_cast<char *>(reply), kMessageMax, "%c%s%.255s%s = \"%s\"",
      kind == ReportKind::Watched ? p::kReplyVariableWatched
                                  : p::kReplyVariable,
      quote, name, quote, value);
  return static_cast<int>(n) + 1;
}

int buildBindingsReport(QxGameInterface *gi, const char *text, uint8_t *reply) {
  Reply r = startReply(reply, p::kReplyBindings);
  walkBindings(gi, text, addBinding, &r);
  char summary[64];
  const size_t n =
      formatText(summary, sizeof summary, "[%d key binding match%s found]",
                 r.count, plural(r.count, "es"));
  if (r.length + n < kBindingsReplyLimit) r.add(kMessageMax, "%s", summary);
  return finish(r);
}

int buildVariablesReport(QxGameInterface *gi, const char *text,
                         uint8_t *reply) {
  Reply r = startReply(reply, p::kReplyVariables);
  walkVariables(gi, text, addPublicName, &r);
  return finishNames(r, "[%d cvar match%s found]", "es");
}

int buildUserVariablesReport(QxGameInterface *gi, uint8_t *reply) {
  Reply r = startReply(reply, p::kReplyVariables);
  walkUserVariables(gi, addName, &r);
  return finishNames(r, "[%d user cvar%s found]", "s");
}

int buildChangedVariablesReport(QxGameInterface *gi, uint8_t *reply) {
  Reply r = startReply(reply, p::kReplyVariables);
  walkChangedVariables(gi, addName, &r);
  return finishNames(r, "[%d changed cvar%s found]", "s");
}

int buildListAcknowledgement(const char *request, uint8_t *reply) {
  char words[kRequestMax + 1];
  copyText(words, request, kRequestMax);
  console::ArgumentList args;
  console::split(args, words, true);
  uint32_t value =
      readDecimal(console::arg(args, 0)) ^ readDecimal(console::arg(args, 1));
  if (value < kListAckFloor) value += kListAckFloor;
  const size_t n = formatText(reinterpret_cast<char *>(reply), kMessageMax,
                              "%c%c%lu", p::kReplyListCode, p::kReplyListSub,
                              static_cast<unsigned long>(value));
  return static_cast<int>(n) + 1;
}

// ---- server requests
// ----------------------------------------------------------

void reportVariable(QxGameInterface *gi, const uint8_t *bytes, int length,
                    ReportKind kind) {
  char name[kRequestMax + 1];
  requestText(bytes, length, name);
  uint8_t reply[kReplyCapacity];
  const int n = buildVariableReport(gi, name, kind, reply);
  if (n == 0) return;
  if (kind == ReportKind::Watched) client().cvars.reportViolations = 1;
  sendReply(reply, n, kVariableReplyDelay);
}

void reportViolation(QxGameInterface *gi, const char *name) {
  uint8_t reply[kReplyCapacity];
  sendReply(reply, buildVariableReport(gi, name, ReportKind::Watched, reply),
            kVariableReplyDelay);
}

void reportBindings(QxGameInterface *gi, const uint8_t *bytes, int length) {
  char text[kRequestMax + 1];
  requestText(bytes, length, text);
  uint8_t reply[kReplyCapacity];
  sendReply(reply, buildBindingsReport(gi, text, reply), kBindingsReplyDelay);
}

void reportVariables(QxGameInterface *gi, const uint8_t *bytes, int length) {
  char text[kRequestMax + 1];
  requestText(bytes, length, text);
  uint8_t reply[kReplyCapacity];
  sendReply(reply, buildVariablesReport(gi, text, reply), 0);
}

void reportUserVariables(QxGameInterface *gi) {
  uint8_t reply[kReplyCapacity];
  sendReply(reply, buildUserVariablesReport(gi, reply), 0);
}

void reportChangedVariables(QxGameInterface *gi) {
  uint8_t reply[kReplyCapacity];
  sendReply(reply, buildChangedVariablesReport(gi, reply), 0);
}

void acknowledgeListRequest(QxGameInterface *, const uint8_t *bytes,
                            int length) {
  char text[kRequestMax + 1];
  requestText(bytes, length, text);
  uint8_t reply[kReplyCapacity];
  sendReply(reply, buildListAcknowledgement(text, reply), kListAckDelay);
}

// ---- console commands
// ---------------------------------------------------------

void searchBindingsCommand(QxGameInterface *gi, const char *text) {
  Listing l{0};
  walkBindings(gi, text, printBinding, &l);
  log::printMessage(1, "\"%s\" found in %d key binding%s", text, l.count,
                    plural(l.count, "s"));
}

void searchVariablesCommand(QxGameInterface *gi, const char *text) {
  Listing l{0};
  walkVariables(gi, text, printName, &l);
  log::printMessage(1, "\"%s\" found in %d cvar%s", text, l.count,
                    plural(l.count, "s"));
}

void userVariablesCommand(QxGameInterface *gi) {
  Listing l{0};
  walkUserVariables(gi, printName, &l);
  log::printMessage(1, "%d User-defined cvar%s found", l.count,
                    plural(l.count, "s"));
}

void changedVariablesCommand(QxGameInterface *gi) {
  Listing l{0};
  walkChangedVariables(gi, printChanged, &l);
  log::printMessage(1, "%d Changed cvar%s found", l.count,
                    plural(l.count, "s"));
}

}  // namespace qx::cvars
