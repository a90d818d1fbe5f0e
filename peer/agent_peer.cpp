#include "peer/agent_peer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/protocol.h"

namespace qx::peer {

namespace p = qx::protocol;

namespace {

Bytes withCode(char code, const std::string &text) {
  Bytes out(text.size() + 2, 0);  // code, text, terminator
  out[0] = static_cast<uint8_t>(code);
  std::memcpy(out.data() + 1, text.data(), text.size());
  return out;
}

// The message after its code byte, up to its terminator.
std::string textOf(const Bytes &m) {
  std::string out;
  for (size_t i = 1; i < m.size() && m[i]; ++i) out += static_cast<char>(m[i]);
  return out;
}

}  // namespace

Bytes controlMessage(const Control &c) {
  char text[256];
  std::snprintf(
      text, sizeof text, "%c %d %d %d %u %u %u %u %s", c.kind, c.serverVersion,
      c.clientVersion, c.agentVersion, static_cast<uint32_t>(c.numbers[0]),
      static_cast<uint32_t>(c.numbers[1]), static_cast<uint32_t>(c.numbers[2]),
      static_cast<uint32_t>(c.numbers[3]), c.guid.c_str());
  return withCode(p::kCodeAgentControl, text);
}

Control parseControl(const std::string &text, const int32_t numbers[4]) {
  Control c;
  std::copy(numbers, numbers + 4, c.numbers);
  char words[2][128] = {};
  const int n = std::sscanf(text.c_str(), "%d %d %127s %127s", &c.clientVersion,
                            &c.agentVersion, words[0], words[1]);
  if (n >= 3)
    std::sscanf(words[0], "%d,%d,%d,%d", &c.numbers[0], &c.numbers[1],
                &c.numbers[2], &c.numbers[3]);
  if (n >= 4) c.guid = words[1];
  return c;
}

Bytes controlText(const std::string &text) {
  return withCode(p::kCodeAgentControl, text);
}

Bytes agentOrder(int32_t order, const std::string &argument) {
  return agentOrderText(std::to_string(order) +
                        (argument.empty() ? "" : " " + argument));
}

Bytes agentOrderText(const std::string &text) {
  return withCode(p::kCodeAgentLoad, text);
}

std::string packageName(char platform, char module, int32_t version) {
  char name[64];
  std::snprintf(name, sizeof name, p::kPackageNameFormat, platform, module,
                static_cast<unsigned>(version));
  return name;
}

std::string requestedPackage(const ModuleReply &r) {
  if (r.kind == "agent-package")
    return packageName(r.platform, p::kModuleAgent, r.wanted);
  if (r.kind == "client-package")
    return packageName(r.platform, p::kModuleClient, r.wanted);
  return "";
}

ModuleReply decodeModuleReply(const Bytes &m) {
  ModuleReply r;
  if (m.empty()) return r;
  const std::string text = textOf(m);
  const char code = static_cast<char>(m[0]);
  char platform = 0;
  int a = 0, b = 0;
  const bool numbers =
      std::sscanf(text.c_str(), "%c %d %d", &platform, &a, &b) == 3;
  if ((code == p::kRequestAgentPackage || code == p::kRequestClientPackage) &&
      numbers) {
    r.kind =
        code == p::kRequestAgentPackage ? "agent-package" : "client-package";
    r.platform = platform;
    r.wanted = a;
    r.current = b;
  } else if (code == p::kReadyCode && numbers) {
    r.kind = "ready";
    r.platform = platform;
    r.client = a;
    r.agent = b;
  } else if (code == p::kDistressCode) {
    r.kind = "distress";
    r.text = text;
  } else if (code == p::kCodeAlive) {
    unsigned long n = 0;
    if (std::sscanf(text.c_str(), "%lu", &n) == 1 && n >= p::kOrderAliveBase &&
        n < p::kOrderAliveBase + p::kAliveSpread) {
      r.kind = "agent-alive";
      r.number = static_cast<uint32_t>(n);
    }
  }
  return r;
}

std::string describe(const ModuleReply &r) {
  char line[1200];
  if (r.kind == "agent-package" || r.kind == "client-package")
    std::snprintf(line, sizeof line, "%s request: %s (has %d)", r.kind.c_str(),
                  requestedPackage(r).c_str(), r.current);
  else if (r.kind == "ready")
    std::snprintf(line, sizeof line, "ready: client C%d.%03d, agent A%d (%c)",
                  r.client / 1000, r.client % 1000, r.agent, r.platform);
  else if (r.kind == "distress")
    std::snprintf(line, sizeof line, "distress \"%s\"", r.text.c_str());
  else if (r.kind == "agent-alive")
    std::snprintf(line, sizeof line, "agent alive %lu",
                  static_cast<unsigned long>(r.number));
  else
    return r.kind;
  return line;
}

}  // namespace qx::peer
