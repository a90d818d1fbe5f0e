// The server side of module management: control messages ('C') that state
// the versions the server wants and the host numbers of the channel key,
// agent orders ('N'), and the decoding of the client's package requests,
// ready message, distress reports and alive answers to agent orders.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qx::peer {

using Bytes = std::vector<uint8_t>;

struct Control {
  char kind = 'S';
  int32_t serverVersion = 1092;
  int32_t clientVersion = 1199;  // the version the server wants
  int32_t agentVersion = 0;      // the version the server wants
  int32_t numbers[4] = {0, 0, 0, 0};
  std::string guid = "?";  // the server-assigned GUID
};

// 'C' and "kind server client agent a b c d guid" with its terminator.
// The host numbers travel as unsigned decimals (the client's reader has no
// sign), so negative numbers arrive whole.
Bytes controlMessage(const Control &control);
// 'C' and the text as given, for malformed messages.
Bytes controlText(const std::string &text);

// "CLIENT AGENT [A,B,C,D [GUID]]" as a person writes a control message;
// the numbers default to the given ones, the GUID to "?".
Control parseControl(const std::string &text, const int32_t numbers[4]);

// 'N' and "number argument" with its terminator.
Bytes agentOrder(int32_t order, const std::string &argument = "");
Bytes agentOrderText(const std::string &text);

// The file name of an update package as the client asks for it and the
// server announces it: "wa001300.htm", "lc001200.htm".
std::string packageName(char platform, char module, int32_t version);

struct ModuleReply {
  // agent-package, client-package, ready, distress, agent-alive; empty for
  // anything else.
  std::string kind;
  char platform = 0;    // package requests and ready
  int32_t wanted = 0;   // package requests: the version asked for
  int32_t current = 0;  // package requests: the version the client has
  int32_t client = 0;   // ready: the client's and the agent's versions
  int32_t agent = 0;
  uint32_t number = 0;  // agent-alive
  std::string text;     // distress text
};

// The package a package request asks for ("la001301.htm"); empty for
// other replies.
std::string requestedPackage(const ModuleReply &reply);

// Decodes an unsealed message of the client.
ModuleReply decodeModuleReply(const Bytes &message);

// One line that describes the reply for a person.
std::string describe(const ModuleReply &reply);

}  // namespace qx::peer
