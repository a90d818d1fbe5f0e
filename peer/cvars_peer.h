// The server side of the variable rules and queries: rule sets in 'K'
// messages with their count line, the answer to the client's re-request,
// the variable and key-binding queries under 'B', and the decoding of the
// client's replies to them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qx::peer {

using Bytes = std::vector<uint8_t>;

// A rule set as the server holds it: one "name kind a [b]" per rule.
struct RuleSet {
  std::vector<std::string> rules;

  // The 'K' messages that carry rules from index first on: lines numbered
  // from first + 1, at most perBlock to a message, LF between them; the
  // count line (the number of rules) closes the last message unless
  // withCount is false, which leaves the set incomplete.
  std::vector<Bytes> messages(size_t first = 0, size_t perBlock = 8,
                              bool withCount = true) const;

  // The answer to a re-request from a client that has received so many
  // rule lines: the rules from there on and the count line.
  std::vector<Bytes> resend(int32_t received, size_t perBlock = 8) const;
};

// ---- queries ---------------------------------------------------------------

Bytes variableQuery(const std::string &name, bool watched);  // 'B' 'A'/'B'
Bytes bindingSearch(const std::string &text);                // 'B' 'E'
Bytes variableSearch(const std::string &text);               // 'B' 'F'
Bytes userVariablesQuery();                                  // 'B' 'G'
Bytes changedVariablesQuery();                               // 'B' 'H'
Bytes listRequest(uint32_t a, uint32_t b, const std::string &text);  // 'B' 'L'

// The number the client must answer a list request with.
uint32_t listAcknowledgement(uint32_t a, uint32_t b);

// ---- the client's replies --------------------------------------------------

struct VariableReply {
  // rule-request, variable ("M"), watched ("L"), bindings ("A"),
  // variables ("Q"), list-ack ("BK"); empty for anything else.
  std::string kind;
  std::string text;     // the reply after its letters
  uint32_t number = 0;  // rule lines received, list acknowledgement
};

// Decodes an unsealed message of the client.
VariableReply decodeVariableReply(const Bytes &message);

// One line that describes the reply for a person.
std::string describe(const VariableReply &reply);

}  // namespace qx::peer
