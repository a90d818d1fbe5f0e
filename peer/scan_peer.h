// The server side of the integrity scans: builds every scan request the
// server sends (the pattern list parts with their mask stream, each 'B'
// request, the same requests as a QX_SCAN directive line) and decodes the
// client's scan replies into typed records. A reply that does not parse is
// reported as such, with the first fault, never trusted in part.
//
// Where the wire description leaves a detail open, this is the reading the
// client and the server share:
// - A pattern list's parts are numbered from 0 to parts - 1, and the mask
//   stream counts the pattern bytes of the whole list, part after part.
// - A reply is its header line "Z<letter> <NONCE>", then each record after
//   a '\n'; a '\n' after the last record is allowed; the terminator ends
//   the message and nothing follows it. Counts are decimal, addresses,
//   sizes and offsets hexadecimal (either case), digests 32 hexadecimal
//   digits.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "common/protocol.h"
#include "peer/peer.h"

namespace qx::peer {

using Digest = std::array<uint8_t, 16>;

// The seeded MD5 of a process name or window title as the client digests
// it: ASCII letters lower-cased, no terminator.
Digest nameDigest(const std::string &name, uint32_t seed);
Digest digestOf(const void *data, size_t size, uint32_t seed);
std::string digestHex(const Digest &digest);  // 32 upper-case digits
// 32 hexadecimal digits of either case and nothing else.
bool readDigest(const std::string &text, Digest &out);

// ---- requests --------------------------------------------------------------

struct Pattern {
  uint16_t id = 0;
  Bytes bytes;             // in clear; a byte not cared for goes as it is
  std::vector<bool> care;  // one a byte; true: the byte must match
};

// "E8 ?? ?? ?? ?? 5D C3": two hexadecimal digits a byte, "??" for any byte,
// blanks between bytes optional. Returns what is wrong, or "".
std::string readPattern(const std::string &text, Pattern &out);
std::string patternText(const Pattern &pattern);
// What keeps the client from taking the pattern, or "": 4..64 bytes, one
// care flag a byte, at least 4 bytes cared for, the first and last always.
std::string patternError(const Pattern &pattern);

// Bytes from..from+count-1 of the mask stream of list listId.
Bytes patternMask(uint32_t listId, size_t from, size_t count);

// One 'S' message as given, nothing checked (the tests of the client's
// parser send bad ones on purpose): the patterns' bytes are masked from
// position maskFrom of the list's stream on.
Bytes patternListPart(uint32_t nonce, uint32_t listId, uint8_t part,
                      uint8_t parts, const std::vector<Pattern> &patterns,
                      size_t maskFrom);

// The whole list in as few parts as messages of at most maxMessage bytes
// hold. Empty when the list cannot be sent: a pattern the client would
// refuse, more than 256 patterns, a pattern too long for maxMessage, or
// more than 16 parts.
std::vector<Bytes> patternList(uint32_t nonce, uint32_t listId,
                               const std::vector<Pattern> &patterns,
                               size_t maxMessage = protocol::kMaxMessage);

struct CodeRange {
  uint32_t offset = 0;  // from the module's base
  uint32_t length = 0;
};

// The 'B' requests, each encoded as given: counts are the sizes of the
// lists (cut at 255), texts cut at 255 bytes.
Bytes patternScanRequest(uint32_t nonce, uint32_t listId, uint8_t flags,
                         uint16_t mostMatches);
Bytes moduleTableRequest(uint32_t nonce, uint32_t seed, uint8_t flags,
                         const std::vector<std::string> &compare = {});
Bytes codeChallengeRequest(uint32_t nonce, const std::string &module,
                           const std::vector<CodeRange> &ranges);
Bytes hookScanRequest(uint32_t nonce, uint8_t flags);
Bytes foreignCodeRequest(uint32_t nonce, uint32_t seed);
Bytes processScanRequest(uint32_t nonce, uint32_t seed,
                         const std::vector<Digest> &digests);
Bytes windowScanRequest(uint32_t nonce, uint32_t seed,
                        const std::vector<Digest> &digests);
Bytes fileQueryRequest(uint32_t nonce, uint32_t seed, const std::string &path);
Bytes sealRequest(uint32_t nonce, uint32_t modulus, uint32_t exponent,
                  uint16_t allowance);
Bytes cancelRequest(uint32_t nonce);
Bytes statusRequest(uint32_t nonce);

// A request ('S' or 'B' and what follows) as the directive line "QX_SCAN
// <upper-case hexadecimal>" under 0x09, with its terminator.
Bytes scanDirective(const Bytes &request);

// ---- replies ---------------------------------------------------------------

enum class CodeCheck : char {
  kMatches = '=',  // the code in memory is the file's
  kDiffers = '!',  // with the count and the first offset
  kNotCompared = '-',
  kUnreadable = '?',  // the file could not be read
};

struct ModuleRecord {  // 'm', 'n'
  uint32_t index = 0;
  char kind = 0;  // 'g' game's folder, 's' system's folders, 'o' elsewhere
  uint64_t base = 0, size = 0;
  bool hasDigest = false;
  Digest digest{};
  CodeCheck code = CodeCheck::kNotCompared;
  uint64_t differing = 0, firstDifference = 0;  // kDiffers only
  std::string name;  // the file name without its folder
};

struct PatternMatch {  // '+'
  uint32_t id = 0;
  bool inModule = false;
  std::string module;   // inModule
  uint64_t region = 0;  // !inModule: the region's base
  uint64_t offset = 0;  // from the module's or the region's base
};

struct ChallengeAnswer {  // 'X'
  Digest digest{};
  uint64_t bytes = 0;
};

struct HookRecord {      // 'Y'
  char kind = 0;         // 'i' an import, 'j' a jump at an export's entry
  std::string importer;  // 'i' only
  std::string module;    // the exporting module ('i'), or the module ('j')
  std::string function;
  uint64_t target = 0;
  std::string targetModule;  // empty: in no module
};

struct ForeignRegion {  // 'Z'
  uint64_t base = 0, size = 0;
  std::string protection;
  Digest firstPage{};
};

struct FileAnswer {  // '|'
  uint64_t size = 0;
  Digest digest{};
};

struct ScanStatus {    // 'i'
  std::string passes;  // letters of the passes under way, "-" for none
  uint64_t ignored = 0, patterns = 0, allowance = 0;
};

struct ScanReply {
  bool scan = false;  // the message is a scan reply: 'Z', a letter, a blank
  bool ok = false;    // and it parsed to its terminator
  std::string error;  // the first fault when !ok
  bool sealed = false, sealValid = false;
  char letter = 0;
  uint32_t nonce = 0;

  std::vector<ModuleRecord> modules;
  std::vector<PatternMatch> matches;
  std::vector<ChallengeAnswer> answers;
  std::vector<HookRecord> hooks;
  std::vector<ForeignRegion> regions;
  std::vector<uint32_t> indices;  // 'P', 'N', 'p', 'w': digests that matched
  std::vector<FileAnswer> files;
  std::vector<ScanStatus> statuses;
  std::vector<uint64_t> allowances;  // 's'

  // The record that ends a pass: "end" with its counts, or a single
  // outcome ("incomplete", "unknown", "missing", "outside" with the
  // range's index, "off", "refused"). Replies of one message (X, |, s, c,
  // i) are last as they stand.
  bool last = false;
  std::string outcome;
  std::vector<uint64_t> counts;
};

// True when an unsealed message of the client starts as a scan reply.
bool isScanReply(const Bytes &message);

// Decodes one message of the client, unsealing it first with key when it
// is sealed. Never reads past the message.
ScanReply decodeScanReply(const Bytes &message,
                          const SealKey &key = defaultSealKey());

// One line a record for a person, after a head line.
std::string describe(const ScanReply &reply);

// Joins the messages of each pass (same letter, same nonce) until the one
// that ends it.
class ScanPasses {
 public:
  // A pass is judged, as one that does not parse, once it runs this long
  // without its end: a client cannot make the server hold its messages
  // without bound.
  static constexpr size_t kPassMessagesMax = 4096;

  // Takes one reply that parsed; returns true and the whole pass in done
  // when it ends the pass.
  bool add(const ScanReply &reply, ScanReply &done);

 private:
  struct Open {
    ScanReply pass;
    size_t messages = 0;
  };
  std::map<std::pair<char, uint32_t>, Open> open_;
};

}  // namespace qx::peer
