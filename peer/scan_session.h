// One player's integrity scans as a server plays them: the scan commands of
// a scenario become requests under fresh nonces (as binary messages, or as
// QX_SCAN directive lines), and every reply of the client is decoded,
// joined with the other messages of its pass and judged against the policy
// as it comes.
#pragma once

#include <cstdint>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "peer/code_image.h"
#include "peer/scan_peer.h"
#include "peer/scan_policy.h"
#include "peer/transfer_peer.h"

namespace qx::peer {

class ScanSession {
 public:
  // random seeds the nonces, list ids and challenge ranges.
  ScanSession(const ScanPolicy &policy, uint32_t random);
  ScanSession(const ScanSession &) = delete;
  ScanSession &operator=(const ScanSession &) = delete;

  // A scan command: its kind and arguments, as in "modules game",
  // "code qxhost 8 64", "patterns all 100", "file maps\\q3dm1.bsp".
  // Appends the messages to send; returns what is wrong, or "".
  std::string command(const std::string &kind, const std::string &args,
                      std::vector<Outgoing> &out);
  // What is wrong with a command before any client is there, or "": the
  // kinds are modules, code, hooks, foreign, patterns, processes, windows,
  // file, status and cancel.
  static std::string check(const std::string &kind, const std::string &args);

  // "N E ALLOWANCE": the seal request; later replies are opened with the
  // key of N and E.
  std::string seal(const std::string &args, std::vector<Outgoing> &out);

  // Requests travel as QX_SCAN directive lines from now on (or not).
  void useDirectives(bool on) { directives_ = on; }

  // Takes one message of the client as unframed (sealed or not). False
  // when it is not a scan reply; else the lines to print: the reply
  // decoded, then each finding of a pass it completes.
  bool accept(const Bytes &message, std::vector<std::string> &lines);

  // The key that opens the client's sealed messages now.
  const SealKey &sealKey() const { return key_; }
  const ScanJudge &judge() const { return judge_; }
  // Whether a reply is still awaited; whether any scan was asked.
  bool waiting() const { return !judge_.unanswered().empty(); }
  bool asked() const { return asked_; }

 private:
  uint32_t nonce() { return random_(); }
  void send(std::vector<Outgoing> &out, const std::string &what,
            const Bytes &request);
  std::string names(bool windows, std::vector<Outgoing> &out);
  std::string code(const std::string &args, std::vector<Outgoing> &out);
  std::string patterns(const std::string &args, std::vector<Outgoing> &out);

  const ScanPolicy policy_;
  ScanJudge judge_{policy_};
  ScanPasses passes_;
  std::mt19937 random_;
  SealKey key_ = defaultSealKey(), previousKey_ = defaultSealKey();
  bool directives_ = false;
  bool asked_ = false;
  std::map<std::string, CodeImage> images_;  // loaded known-good files
};

}  // namespace qx::peer
