#include "peer/peer.h"

#include <cstdio>
#include <cstring>
#include <numeric>
#include <utility>

#include "common/protocol.h"
#include "peer/digest.h"

namespace qx::peer {

namespace p = qx::protocol;

namespace {

void putBig32(Bytes &out, uint32_t v) {
  for (int shift = 24; shift >= 0; shift -= 8)
    out.push_back(static_cast<uint8_t>(v >> shift));
}

void putLittle32(Bytes &out, uint32_t v) {
  for (int shift = 0; shift < 32; shift += 8)
    out.push_back(static_cast<uint8_t>(v >> shift));
}

uint32_t getBig32(const uint8_t *b) {
  return uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 | uint32_t{b[2]} << 8 |
         b[3];
}

uint32_t getLittle32(const uint8_t *b) {
  return uint32_t{b[3]} << 24 | uint32_t{b[2]} << 16 | uint32_t{b[1]} << 8 |
         b[0];
}

Bytes header(char type) {
  return {static_cast<uint8_t>(p::kPacketMagic[0]),
          static_cast<uint8_t>(p::kPacketMagic[1]),
          static_cast<uint8_t>(p::kPacketMagic[2]), static_cast<uint8_t>(type)};
}

Bytes withCode(uint8_t code, const Bytes &rest) {
  Bytes out{code};
  out.insert(out.end(), rest.begin(), rest.end());
  return out;
}

// Modular power with 64-bit products: the server's own arithmetic.
uint32_t power(uint64_t base, uint32_t exponent, uint32_t modulus) {
  uint64_t result = 1 % modulus;
  base %= modulus;
  while (exponent) {
    if (exponent & 1) result = result * base % modulus;
    base = base * base % modulus;
    exponent >>= 1;
  }
  return static_cast<uint32_t>(result);
}

// MT19937 with the multiplicative seeding of the 1998 publication.
class Twister {
 public:
  explicit Twister(uint32_t seed) {
    state_[0] = seed;
    for (int i = 1; i < 624; ++i)
      state_[i] = static_cast<uint32_t>(uint64_t{state_[i - 1]} *
                                        p::kSealSeedMultiplier);
  }
  uint32_t next() {
    if (index_ == 624) twist();
    uint32_t y = state_[index_++];
    y ^= y >> 11;
    y ^= (y << 7) & 0x9D2C5680u;
    y ^= (y << 15) & 0xEFC60000u;
    return y ^ (y >> 18);
  }

 private:
  void twist() {
    for (int i = 0; i < 624; ++i) {
      const uint32_t bits =
          (state_[i] & 0x80000000u) | (state_[(i + 1) % 624] & 0x7FFFFFFFu);
      uint32_t next = state_[(i + 397) % 624] ^ (bits >> 1);
      if (bits & 1u) next ^= 0x9908B0DFu;
      state_[i] = next;
    }
    index_ = 0;
  }
  uint32_t state_[624];
  int index_ = 624;
};

std::string printable(const Bytes &bytes, size_t from) {
  std::string out;
  for (size_t i = from; i < bytes.size() && bytes[i]; ++i) {
    const uint8_t c = bytes[i];
    if (c >= 32 && c < 127) {
      out += static_cast<char>(c);
    } else {
      char hex[8];
      std::snprintf(hex, sizeof hex, "\\x%02X", c);
      out += hex;
    }
  }
  return out;
}

bool readNumber(const Bytes &m, size_t from, uint32_t &number) {
  if (from >= m.size()) return false;
  uint64_t value = 0;
  size_t i = from;
  for (; i < m.size() && m[i] >= '0' && m[i] <= '9'; ++i)
    value = value * 10 + (m[i] - '0');
  if (i == from || value > 0xFFFFFFFFu) return false;
  number = static_cast<uint32_t>(value);
  return true;
}

}  // namespace

// ---- key and framing
// ---------------------------------------------------------

std::string deriveKey(int32_t a, int32_t b, int32_t c, int32_t d) {
  const std::string hexText =
      digestText(p::kKeyText, sizeof p::kKeyText, p::kKeySeed);
  std::string key;
  for (int i = 0; i < p::kKeyLength; ++i) {
    // Written with int64 products reduced modulo 256 at the end.
    const int64_t u = int64_t{d} + 81;
    const int64_t w = 42 * int64_t{b} * int64_t{b};
    const int64_t value =
        (int64_t{a} + u * (i - 22)) * static_cast<uint8_t>(hexText[i]) +
        int64_t{c} * (i + 119) - w;
    int k = static_cast<int>(((value % 256) + 256) % 256);
    if (k == 0) k = 224;
    key += static_cast<char>(k);
  }
  return key;
}

int32_t checkValue(const Bytes &message) {
  int64_t sum = p::kCheckStart;
  for (size_t i = 0; i < message.size(); ++i) {
    const int8_t b = static_cast<int8_t>(message[i]);
    sum += (int64_t{b} + p::kCheckBias) * p::kCheckFactor +
           static_cast<int64_t>(i);
    sum = static_cast<int32_t>(static_cast<uint32_t>(sum));
  }
  return static_cast<int32_t>(sum);
}

Bytes frameScrambled(const std::string &key, const Bytes &message) {
  Bytes out = header(p::kTypeScrambled);
  putBig32(out, static_cast<uint32_t>(checkValue(message)));
  out.push_back(static_cast<uint8_t>(message.size() >> 8));
  out.push_back(static_cast<uint8_t>(message.size()));
  for (size_t i = 0; i < message.size(); ++i)
    out.push_back(key.empty()
                      ? message[i]
                      : message[i] ^ static_cast<uint8_t>(key[i % key.size()]));
  return out;
}

Bytes framePlain(uint32_t token, const Bytes &message) {
  Bytes out = header(p::kTypePlain);
  putLittle32(out, token);
  out.insert(out.end(), message.begin(), message.end());
  return out;
}

Unframed unframe(const std::string &key, const Bytes &packet) {
  Unframed u;
  if (packet.size() < 4 ||
      std::memcmp(packet.data(), p::kPacketMagic, sizeof p::kPacketMagic) != 0)
    return u;
  u.type = static_cast<char>(packet[3]);
  if (u.type == p::kTypePlain && packet.size() >= p::kPlainHeaderSize) {
    u.token = getLittle32(packet.data() + 4);
    u.message.assign(packet.begin() + p::kPlainHeaderSize, packet.end());
    u.ok = true;
  } else if (u.type == p::kTypeScrambled &&
             packet.size() >= p::kScrambledHeaderSize) {
    const size_t n = size_t{packet[8]} << 8 | packet[9];
    if (n + p::kScrambledHeaderSize != packet.size()) return u;
    for (size_t i = 0; i < n; ++i) {
      const uint8_t b = packet[p::kScrambledHeaderSize + i];
      u.message.push_back(
          key.empty() ? b : b ^ static_cast<uint8_t>(key[i % key.size()]));
    }
    u.ok = static_cast<uint32_t>(checkValue(u.message)) ==
           getBig32(packet.data() + 4);
  }
  return u;
}

// ---- sealing
// -------------------------------------------------------------------

Bytes sealStream(uint32_t m, size_t count) {
  Twister twister(m);
  Bytes out;
  for (size_t i = 0; i < count; ++i)
    out.push_back(static_cast<uint8_t>(twister.next() >> p::kSealStreamShift));
  return out;
}

SealKey defaultSealKey() {
  return {p::kSealModulus, p::kSealExponent, kSealPrivateExponent};
}

SealKey sealKey(uint32_t modulus, uint32_t exponent) {
  SealKey key{modulus, exponent, 0};
  if (modulus < 2) return key;
  // lambda = lcm(p - 1) over the prime factors p, each of which must occur
  // once for m^(e d) = m to hold for every m.
  uint64_t lambda = 1;
  uint32_t rest = modulus;
  for (uint32_t f = 2; rest > 1; ++f) {
    if (uint64_t{f} * f > rest) f = rest;  // what is left is prime
    if (rest % f) continue;
    rest /= f;
    if (rest % f == 0) return key;
    lambda = std::lcm(lambda, uint64_t{f - 1});
  }
  // The inverse of exponent modulo lambda, by the extended Euclid.
  int64_t r0 = static_cast<int64_t>(lambda);
  int64_t r1 = static_cast<int64_t>(exponent % lambda);
  int64_t t0 = 0, t1 = 1;
  while (r1) {
    const int64_t q = r0 / r1;
    r0 = std::exchange(r1, r0 - q * r1);
    t0 = std::exchange(t1, t0 - q * t1);
  }
  if (r0 != 1) return key;
  if (t0 <= 0) t0 += static_cast<int64_t>(lambda);
  key.privateExponent = static_cast<uint32_t>(t0);
  return key;
}

Unsealed unseal(const Bytes &message) {
  return unseal(message, defaultSealKey());
}

Unsealed unseal(const Bytes &message, const SealKey &key) {
  Unsealed u;
  u.message = message;
  if (message.size() < static_cast<size_t>(p::kSealOverhead) ||
      message[0] != p::kCodeSeal)
    return u;
  u.sealed = true;
  if (key.privateExponent == 0 || key.modulus < 2) return u;
  const uint32_t h = getLittle32(message.data() + 1);
  const uint32_t m = power(h, key.privateExponent, key.modulus);
  Bytes plain = message;
  const Bytes stream = sealStream(m, message.size() - 5);
  for (size_t i = 5; i < plain.size(); ++i) plain[i] ^= stream[i - 5];
  u.m = m;
  u.valid = m >= 2 && getLittle32(plain.data() + 5) == m &&
            getLittle32(plain.data() + 9) == m &&
            power(m, key.exponent, key.modulus) == h;
  u.message.assign(plain.begin() + p::kSealOverhead, plain.end());
  return u;
}

// ---- server messages
// -----------------------------------------------------------

Bytes text(const std::string &s, bool terminator) {
  Bytes out(s.begin(), s.end());
  if (terminator) out.push_back(0);
  return out;
}

Bytes serverText(const std::string &s) {
  return withCode(p::kCodeServerText, text(s));
}

Bytes directive(const std::string &line) {
  return withCode(p::kCodeDirective, text(line));
}

Bytes aliveRequest(const Bytes &addressed) {
  return withCode(p::kCodeAlive, addressed);
}

Bytes queryAlive() {
  return {static_cast<uint8_t>(p::kCodeQuery),
          static_cast<uint8_t>(p::kSubAlive)};
}

Bytes aliveEcho() {
  return {static_cast<uint8_t>(p::kCodeQuery),
          static_cast<uint8_t>(p::kSubEcho)};
}

Bytes lookup(const std::string &name) {
  Bytes out = queryAlive();
  out[1] = static_cast<uint8_t>(p::kSubLookup);
  const Bytes t = text(name);
  out.insert(out.end(), t.begin(), t.end());
  return out;
}

Bytes screenshotRestart(const std::string &rest) {
  return withCode(p::kCodeScreenshotRestart, text(rest, false));
}

Bytes addressedBody(const std::string &guid, int32_t c, const Bytes &inner) {
  Bytes body(guid.begin(), guid.end());
  body.insert(body.end(), inner.begin(), inner.end());
  if (guid.empty()) return body;
  const uint32_t low = static_cast<uint8_t>(c);
  for (size_t i = 0; i < body.size(); ++i)
    body[i] ^= static_cast<uint8_t>(
        low * (7 + i) + static_cast<uint8_t>(guid[i % guid.size()]));
  return body;
}

Bytes identityAddressed(const std::string &guid, int32_t c,
                        const Bytes &inner) {
  return withCode(p::kCodeIdentity, addressedBody(guid, c, inner));
}

// ---- the client's replies
// -------------------------------------------------------

Reply decodeReply(const Bytes &message, const SealKey &key) {
  Reply r;
  const Unsealed u = unseal(message, key);
  r.sealed = u.sealed;
  r.sealValid = u.valid;
  r.message = u.message;
  const Bytes &m = r.message;
  r.kind = "other";
  if (m.empty()) return r;
  const uint8_t code = m[0];
  const uint8_t sub = m.size() > 1 ? m[1] : 0;
  if (code == p::kCodeAlive && readNumber(m, 1, r.number)) {
    if (r.number >= p::kIdentityNoGuid && r.number <= p::kIdentityAccepted)
      r.kind = "identity";
    else if (r.number >= p::kQueryAliveBase &&
             r.number < p::kAliveBase + p::kAliveSpread)
      r.kind = "alive";
    else
      r.kind = "report";
    r.text = printable(m, 1);
  } else if (code == p::kCodeQuery && sub == p::kSubEcho && m.size() == 6) {
    r.kind = "echo";
    r.number = getLittle32(m.data() + 2);
  } else if (code == p::kCodeQuery && sub == p::kSubLookup) {
    r.kind = "lookup";
    r.text = printable(m, 2);
  } else if (code == p::kCodeTokenAnnouncement && m.size() >= 6) {
    r.kind = "token";
    r.number = getLittle32(m.data() + 1);
    r.text = printable(m, 5);
  } else if (code == p::kCodeQuery || code == p::kRequestKick.code ||
             code == p::kRequestRcon.code || code == p::kRequestRawText.code) {
    r.kind = "request";
    r.text = printable(m, 0);
  }
  return r;
}

std::string describe(const Reply &reply) {
  std::string line = reply.kind;
  if (reply.sealed)
    line += reply.sealValid ? " (sealed, seal ok)" : " (sealed, SEAL BAD)";
  char number[32];
  std::snprintf(number, sizeof number, "%lu",
                static_cast<unsigned long>(reply.number));
  if (reply.kind == "alive" || reply.kind == "identity" || reply.kind == "echo")
    line += std::string(" ") + number;
  else if (reply.kind == "token")
    line += std::string(" token=") + number + " guid=\"" + reply.text + "\"";
  else if (reply.kind == "other")
    line += " " + printable(reply.message, 0);
  else
    line += " \"" + reply.text + "\"";
  return line;
}

}  // namespace qx::peer
