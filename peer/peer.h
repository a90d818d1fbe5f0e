// The server side of the channel: frames and unframes both packet types,
// derives the same channel key as the client, builds the server's messages,
// decodes the client's replies and verifies sealed messages. Used by the
// test suites and the reference server; never linked into the client.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qx::peer {

using Bytes = std::vector<uint8_t>;

// Private exponent matching the client's public seal exponent.
constexpr uint32_t kSealPrivateExponent = 17143;

// ---- key and framing -------------------------------------------------------

// The 29-character channel key for the host numbers a, b, c, d.
std::string deriveKey(int32_t a, int32_t b, int32_t c, int32_t d);

int32_t checkValue(const Bytes &message);

Bytes frameScrambled(const std::string &key, const Bytes &message);
Bytes framePlain(uint32_t token, const Bytes &message);

struct Unframed {
  bool ok = false;     // header, length and check value all right
  char type = 0;       // 'E', 'P', or another letter
  uint32_t token = 0;  // 'P' only
  Bytes message;
};
Unframed unframe(const std::string &key, const Bytes &packet);

// ---- sealing ---------------------------------------------------------------

struct Unsealed {
  bool sealed = false;  // starts with the seal code and is long enough
  bool valid = false;   // h^d mod N equals both copies of m
  uint32_t m = 0;
  Bytes message;  // the inner message (the input when not sealed)
};

// The modulus and the public exponent the client seals with, and the
// private exponent the server recovers m with. The client starts with the
// protocol's pair; the scans' seal request sets another.
struct SealKey {
  uint32_t modulus = 0;
  uint32_t exponent = 0;
  uint32_t privateExponent = 0;  // 0: none exists for this pair
};
SealKey defaultSealKey();
// The key for a modulus and exponent the server chose: the private exponent
// is the inverse of exponent modulo the Carmichael function of modulus,
// which exists when modulus has no square factor and shares none with it.
SealKey sealKey(uint32_t modulus, uint32_t exponent);

Unsealed unseal(const Bytes &message);  // under defaultSealKey()
Unsealed unseal(const Bytes &message, const SealKey &key);

// The key stream byte sequence for seed m, as the server recomputes it.
Bytes sealStream(uint32_t m, size_t count);

// ---- server messages -------------------------------------------------------

Bytes text(const std::string &s, bool terminator = true);  // bytes of s
Bytes serverText(const std::string &s);                    // 'A'
Bytes directive(const std::string &line);                  // 0x09
Bytes aliveRequest(const Bytes &addressed = {});           // 'T'
Bytes queryAlive();                                        // 'B' 'Q'
Bytes aliveEcho();                                         // 'B' 'W'
Bytes lookup(const std::string &name);                     // 'B' 'U'
Bytes screenshotRestart(const std::string &rest);          // 'O' ...
// The body of an identity-addressed message: the GUID and the inner
// message, scrambled with the GUID and the third host number c.
Bytes addressedBody(const std::string &guid, int32_t c, const Bytes &inner);
Bytes identityAddressed(const std::string &guid, int32_t c,
                        const Bytes &inner);  // 0x03 + body

// ---- the client's replies --------------------------------------------------

struct Reply {
  std::string kind;  // alive, identity, echo, lookup, token, request, other
  bool sealed = false;
  bool sealValid = false;
  uint32_t number = 0;  // alive and identity numbers, echo value, token
  std::string text;     // lookup reply, request text, GUID
  Bytes message;        // the unsealed message
};
Reply decodeReply(const Bytes &message, const SealKey &key = defaultSealKey());

// One line that describes the reply for a person.
std::string describe(const Reply &reply);

}  // namespace qx::peer
