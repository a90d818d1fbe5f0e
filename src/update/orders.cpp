// Agent orders ('N'): a decimal order number and its argument text, passed
// to the agent's export `a`. The client itself answers the alive order and
// the unload order.
#include <cctype>

#include "channel/channel.h"
#include "common/numbers.h"
#include "common/protocol.h"
#include "common/text.h"
#include "host/client_state.h"
#include "log/log.h"
#include "update/module_library.h"
#include "update/modules.h"

namespace qx::update {

namespace {

namespace p = protocol;

// The integrity exchange of client and agent belongs to the integrity
// scanning, which is not part of this build.
void integrityExchange(QxGameInterface *) {}

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; }

// Splits "number argument..." in place: the order number and the text after
// it. False when the first word holds no digit: such a text names no order,
// and is dropped rather than passed to the agent as order 0.
bool parseOrder(char *line, int32_t &order, const char *&argument) {
  char *p = line;
  while (isBlank(*p)) ++p;
  const char *word = p;
  bool digit = false;
  while (*p && !isBlank(*p)) digit |= std::isdigit(static_cast<uint8_t>(*p++));
  if (!digit) return false;
  order =
      static_cast<int32_t>(readDecimal(word, static_cast<size_t>(p - word)));
  while (isBlank(*p)) ++p;
  argument = p;
  return true;
}

// "T" and 130500..130599, sealed when permitted, after 0..74 ms.
void aliveReply() {
  platform::Random &random = client().host.random;
  const uint32_t f =
      static_cast<uint32_t>(random.next()) % 100 + p::kOrderAliveBase;
  const uint32_t delay =
      static_cast<uint32_t>(random.next()) % p::kOrderAliveDelaySpread;
  channel::sendNumberReply(f, delay);
}

void cannotLoad(QxGameInterface *gi, const char *which, const char *distress) {
  log::printMessage(1, "ERROR loading qxag%s %s", p::kThisPlatform.suffix,
                    which);
  reportDistress(gi, distress);
}

}  // namespace

void agentOrder(QxGameInterface *gi, int length, const uint8_t *text) {
  ClientState &c = client();
  ModuleState &m = c.update.modules;
  char line[kMessageTextMax + 1];
  messageText(line, text, length);
  int32_t order = 0;
  const char *argument = "";
  if (!parseOrder(line, order, argument)) return;

  if (!m.agent && !loadAgent(gi)) {
    cannotLoad(gi, "(A)", "Cannot load qxag");
    return;
  }
  if (order == p::kOrderUnload) {
    unloadAgent(gi);
    return;
  }
  const AgentEntry a = agentEntry(m.agent);
  if (!a) {
    cannotLoad(gi, "(B)", "Corrupt qxag");
    return;
  }
  if (order == p::kOrderAlive) {
    aliveReply();
    return;
  }
  if (!m.exchangedThisLoad &&
      c.host.agentVersion >= p::kIntegrityExchangeVersion) {
    m.exchangedThisLoad = 1;
    integrityExchange(gi);
  }
  const intptr_t result = a(gi, order, 0, argument);
  // The version orders answer a number, not an error text.
  if (order == p::kOrderVersion || order == p::kOrderStatus) {
    c.host.agentVersion = static_cast<int32_t>(result);
    return;
  }
  if (!result) return;
  char error[p::kDistressTextMax + 1];
  copyText(error, reinterpret_cast<const char *>(result), p::kDistressTextMax);
  log::printMessage(1, "ERROR: %s", error);
  reportDistress(gi, error);
}

}  // namespace qx::update
