#include "peer/cvars_peer.h"

#include <cstring>

#include "common/protocol.h"

namespace qx::peer {

namespace {

namespace p = protocol;

constexpr uint32_t kListAckFloor = 30;

Bytes query(char sub, const std::string &text = "") {
  const std::string body = std::string{p::kCodeQuery, sub} + text;
  return Bytes(body.c_str(), body.c_str() + body.size() + 1);
}

// The text of message from offset on, up to its terminator.
std::string textFrom(const Bytes &m, size_t offset) {
  std::string s;
  for (size_t i = offset; i < m.size() && m[i]; ++i)
    s += static_cast<char>(m[i]);
  return s;
}

// Decimal digits only; false when there are none or other characters.
bool readNumber(const std::string &s, uint32_t &out) {
  if (s.empty()) return false;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return false;
    v = v * 10 + static_cast<uint64_t>(c - '0');
    if (v > 0xFFFFFFFFu) return false;
  }
  out = static_cast<uint32_t>(v);
  return true;
}

}  // namespace

std::vector<Bytes> RuleSet::messages(size_t first, size_t perBlock,
                                     bool withCount) const {
  std::vector<Bytes> out;
  if (perBlock == 0) perBlock = 1;
  std::string block;
  size_t inBlock = 0;
  auto flush = [&] {
    const std::string body = p::kCodeVariableRule + block;
    out.emplace_back(body.c_str(), body.c_str() + body.size() + 1);
    block.clear();
    inBlock = 0;
  };
  for (size_t i = first; i < rules.size(); ++i) {
    block += std::to_string(i + 1) + " " + rules[i] + "\n";
    if (++inBlock == perBlock && (i + 1 < rules.size() || !withCount)) flush();
  }
  if (withCount) block += std::to_string(rules.size());
  if (!block.empty()) flush();
  return out;
}

std::vector<Bytes> RuleSet::resend(int32_t received, size_t perBlock) const {
  const size_t from = received < 0 ? 0 : static_cast<size_t>(received);
  return messages(from < rules.size() ? from : rules.size(), perBlock, true);
}

Bytes variableQuery(const std::string &name, bool watched) {
  return query(watched ? p::kSubReportVariableWatched : p::kSubReportVariable,
               name);
}

Bytes bindingSearch(const std::string &text) {
  return query(p::kSubSearchBindings, text);
}

Bytes variableSearch(const std::string &text) {
  return query(p::kSubSearchVariables, text);
}

Bytes userVariablesQuery() { return query(p::kSubUserVariables); }

Bytes changedVariablesQuery() { return query(p::kSubChangedVariables); }

Bytes listRequest(uint32_t a, uint32_t b, const std::string &text) {
  return query(p::kSubListRequest,
               std::to_string(a) + " " + std::to_string(b) + " " + text);
}

uint32_t listAcknowledgement(uint32_t a, uint32_t b) {
  const uint32_t v = a ^ b;
  return v < kListAckFloor ? v + kListAckFloor : v;
}

VariableReply decodeVariableReply(const Bytes &m) {
  VariableReply r;
  if (m.empty()) return r;
  const char code = static_cast<char>(m[0]);
  const char sub = m.size() > 1 ? static_cast<char>(m[1]) : '\0';
  if (code == p::kRuleRequestCode && sub == p::kRuleRequestSub) {
    r.text = textFrom(m, 2);
    if (readNumber(r.text, r.number)) r.kind = "rule-request";
  } else if (code == p::kReplyListCode && sub == p::kReplyListSub) {
    r.text = textFrom(m, 2);
    if (readNumber(r.text, r.number)) r.kind = "list-ack";
  } else if (code == p::kReplyBindings && m.size() > 1 && m[1] != '[' &&
             m[1] != 0) {
    // The player's raw-text requests start with the same letter; binding
    // replies start with an entry or the summary, both in brackets.
  } else if (code == p::kReplyVariable || code == p::kReplyVariableWatched ||
             code == p::kReplyBindings || code == p::kReplyVariables) {
    r.text = textFrom(m, 1);
    r.kind = code == p::kReplyVariable          ? "variable"
             : code == p::kReplyVariableWatched ? "watched"
             : code == p::kReplyBindings        ? "bindings"
                                                : "variables";
  }
  return r;
}

std::string describe(const VariableReply &reply) {
  if (reply.kind == "rule-request")
    return "rule request after " + std::to_string(reply.number) + " lines";
  if (reply.kind == "list-ack")
    return "list acknowledgement " + std::to_string(reply.number);
  return reply.kind + " " + reply.text;
}

}  // namespace qx::peer
