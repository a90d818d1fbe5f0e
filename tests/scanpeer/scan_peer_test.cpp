// The scan codec of the server half: every request byte for byte as the
// client reads it, pattern lists masked with a stream that runs on from part
// to part, and replies decoded into records, with every malformed reply
// refused for a reason and never read past its end.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "channel/channel.h"
#include "common/protocol.h"
#include "host/client_state.h"
#include "peer/scan_peer.h"

namespace {

namespace peer = qx::peer;
namespace p = qx::protocol;
using peer::Bytes;

// "42 6D 71 01 ..." with blanks anywhere.
Bytes hex(const std::string &text) {
  Bytes out;
  std::string digits;
  for (char c : text)
    if (c != ' ') digits += c;
  for (size_t i = 0; i + 1 < digits.size(); i += 2)
    out.push_back(
        static_cast<uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  return out;
}

Bytes message(const std::string &text) {
  Bytes out(text.begin(), text.end());
  out.push_back(0);
  return out;
}

peer::Digest digestFrom(const std::string &text) {
  peer::Digest d{};
  EXPECT_TRUE(peer::readDigest(text, d)) << text;
  return d;
}

const std::string kDigestA = "00112233445566778899AABBCCDDEEFF";
const std::string kDigestB = "0123456789abcdef0123456789ABCDEF";

TEST(ScanRequests, AreLaidOutAsTheClientReadsThem) {
  const uint32_t nonce = 0x11223344;
  const struct {
    const char *what;
    Bytes built;
    std::string expected;
  } cases[] = {
      {"pattern scan", peer::patternScanRequest(nonce, 0xA0B0C0D0, 3, 256),
       "42 2B 71 01 44332211 D0C0B0A0 03 0001"},
      {"module table",
       peer::moduleTableRequest(nonce, 0xA1B2C3D4, 1, {"game.so", ""}),
       "42 6D 71 01 44332211 D4C3B2A1 01 02 07 67616D652E736F 00"},
      {"code challenge",
       peer::codeChallengeRequest(nonce, "qxhost", {{0x1000, 0x20}, {0x10, 1}}),
       "42 58 71 01 44332211 06 717868 6F7374 02 00100000 20000000 10000000 "
       "01000000"},
      {"hooks", peer::hookScanRequest(nonce, 5), "42 59 71 01 44332211 05"},
      {"foreign code", peer::foreignCodeRequest(nonce, 7),
       "42 5A 71 01 44332211 07000000"},
      {"processes", peer::processScanRequest(nonce, 1, {digestFrom(kDigestA)}),
       "42 50 71 01 44332211 01000000 01 " + kDigestA},
      {"windows", peer::windowScanRequest(nonce, 2, {}),
       "42 4E 71 01 44332211 02000000 00"},
      {"file", peer::fileQueryRequest(nonce, 9, "a\\b.pk3"),
       "42 7C 71 01 44332211 09000000 07 615C622E706B33"},
      {"seal", peer::sealRequest(nonce, 60491, 7, 300),
       "42 10 71 01 44332211 4BEC0000 07000000 2C01"},
      {"cancel", peer::cancelRequest(nonce), "42 07 71 01 44332211"},
      {"status", peer::statusRequest(nonce), "42 09 71 01 44332211"},
  };
  for (const auto &c : cases) EXPECT_EQ(c.built, hex(c.expected)) << c.what;
}

TEST(ScanRequests, TextsAndCountsAreCutToTheirByte) {
  const Bytes request =
      peer::codeChallengeRequest(1, std::string(300, 'x'), {});
  ASSERT_EQ(request.size(), 6u + 2 + 1 + 255 + 1);
  EXPECT_EQ(request[8], 255);
  const std::vector<peer::Digest> many(300);
  const Bytes digests = peer::processScanRequest(1, 0, many);
  EXPECT_EQ(digests[12], 255);
  EXPECT_EQ(digests.size(), 13u + 255 * 16);
}

TEST(ScanRequests, TravelAsADirectiveLineInHexadecimal) {
  Bytes expected = message("QX_SCAN 42097101EFBEADDE");
  expected.insert(expected.begin(), p::kCodeDirective);
  EXPECT_EQ(peer::scanDirective(peer::statusRequest(0xDEADBEEF)), expected);
}

// ---- patterns
// ----------------------------------------------------------------

// n bytes "11 22 22 ... 22 33" as pattern text.
std::string bytesText(size_t n) {
  std::string text = "11";
  for (size_t i = 2; i < n; ++i) text += " 22";
  return text + " 33";
}

peer::Pattern pattern(uint16_t id, const std::string &text) {
  peer::Pattern out;
  out.id = id;
  EXPECT_EQ(peer::readPattern(text, out), "") << text;
  return out;
}

TEST(Patterns, ReadFromTextWithWildcards) {
  const peer::Pattern good = pattern(7, "E8 ?? ??  ?? ?? 5d90C3");
  EXPECT_EQ(good.id, 7);
  EXPECT_EQ(good.bytes, hex("E8 00 00 00 00 5D 90 C3"));
  EXPECT_EQ(good.care, (std::vector<bool>{1, 0, 0, 0, 0, 1, 1, 1}));
  EXPECT_EQ(peer::patternText(good), "E8 ?? ?? ?? ?? 5D 90 C3");

  const struct {
    const char *text;
    const char *fault;
  } bad[] = {
      {"E8 5D C3", "4 to 64 bytes"},
      {"E8 ?? 5D C3", "at least 4 bytes"},
      {"?? E8 5D C3 C3", "first and last"},
      {"E8 5D C3 C3 ??", "first and last"},
      {"E8 5D C3 C", "is not a byte"},
      {"E8 5D G3 C3", "is not a byte"},
      {"E8 ?5 5D C3 C3", "is not a byte"},
  };
  for (const auto &c : bad) {
    peer::Pattern out;
    EXPECT_NE(peer::readPattern(c.text, out).find(c.fault), std::string::npos)
        << c.text << ": " << peer::readPattern(c.text, out);
    EXPECT_TRUE(out.bytes.empty()) << c.text;
  }
  EXPECT_EQ(peer::patternError(pattern(1, bytesText(64))), "");
  peer::Pattern tooLong;
  EXPECT_NE(peer::readPattern(bytesText(65), tooLong), "");
}

// The client's view of a part: its patterns unmasked with the stream from
// position from on; from moves past the part's pattern bytes.
std::vector<peer::Pattern> unmaskPart(const Bytes &part, uint32_t listId,
                                      size_t &from) {
  std::vector<peer::Pattern> out;
  size_t at = 13;
  while (at < part.size()) {
    peer::Pattern q;
    q.id = static_cast<uint16_t>(part[at] | part[at + 1] << 8);
    const size_t n = part[at + 2];
    const Bytes mask = peer::patternMask(listId, from, n);
    for (size_t i = 0; i < n; ++i)
      q.bytes.push_back(part[at + 3 + i] ^ mask[i]);
    for (size_t i = 0; i < n; ++i)
      q.care.push_back(part[at + 3 + n + i / 8] >> (i % 8) & 1);
    for (size_t i = 0; i < n; ++i)
      if (!q.care[i]) q.bytes[i] = 0;
    from += n;
    at += 3 + n + (n + 7) / 8;
    out.push_back(q);
  }
  EXPECT_EQ(at, part.size());
  return out;
}

TEST(Patterns, TheMaskStreamIsTheListsGenerator) {
  // x1 = 0x1234ABCD * 1103515245 + 12345 mod 2^32, and so on: the high bytes.
  EXPECT_EQ(peer::patternMask(0x1234ABCD, 0, 6), hex("BA 0C 97 C9 6F F8"));
  EXPECT_EQ(peer::patternMask(0x1234ABCD, 4, 2), hex("6F F8"));
}

TEST(Patterns, AListSplitsIntoPartsWhoseMaskRunsOn) {
  std::vector<peer::Pattern> patterns;
  for (uint16_t i = 0; i < 40; ++i) {
    std::string text = "4D 5A ?? ";
    for (int k = 0; k < 30; ++k) text += "9" + std::to_string(i % 10) + " ";
    patterns.push_back(pattern(static_cast<uint16_t>(100 + i), text + "C3"));
  }
  const uint32_t listId = 0xCAFE;
  const std::vector<Bytes> parts = peer::patternList(5, listId, patterns, 600);
  ASSERT_GT(parts.size(), 2u);
  std::vector<peer::Pattern> back;
  size_t from = 0;
  for (size_t i = 0; i < parts.size(); ++i) {
    const Bytes &part = parts[i];
    EXPECT_LE(part.size(), 600u);
    EXPECT_EQ(
        Bytes(part.begin(), part.begin() + 13),
        Bytes({'S', 'q', 1, 5, 0, 0, 0, 0xFE, 0xCA, 0, 0,
               static_cast<uint8_t>(i), static_cast<uint8_t>(parts.size())}));
    for (const peer::Pattern &q : unmaskPart(part, listId, from))
      back.push_back(q);
  }
  ASSERT_EQ(back.size(), patterns.size());
  for (size_t i = 0; i < back.size(); ++i) {
    EXPECT_EQ(back[i].id, patterns[i].id);
    EXPECT_EQ(back[i].bytes, patterns[i].bytes);
    EXPECT_EQ(back[i].care, patterns[i].care);
  }
  // The masked bytes never hold a pattern in clear.
  const Bytes clear = patterns[0].bytes;
  EXPECT_EQ(std::search(parts[0].begin(), parts[0].end(), clear.begin() + 3,
                        clear.begin() + 8),
            parts[0].end());
}

TEST(Patterns, AListTheClientWouldRefuseIsNotBuilt) {
  const peer::Pattern good = pattern(1, "48 8B 05 ?? ?? ?? ?? 48 85 C0");
  peer::Pattern wild = good;
  wild.care[0] = false;
  const struct {
    const char *what;
    std::vector<peer::Pattern> patterns;
    size_t maxMessage;
  } cases[] = {
      {"a pattern the client refuses", {good, wild}, 1100},
      {"257 patterns", std::vector<peer::Pattern>(257, good), 100000},
      {"a pattern longer than a message", {pattern(2, bytesText(64))}, 60},
      {"17 parts", std::vector<peer::Pattern>(17, good), 13 + 17},
  };
  for (const auto &c : cases)
    EXPECT_TRUE(peer::patternList(1, 1, c.patterns, c.maxMessage).empty())
        << c.what;
  EXPECT_EQ(
      peer::patternList(1, 1, std::vector<peer::Pattern>(16, good), 13 + 17)
          .size(),
      16u);
  EXPECT_EQ(peer::patternList(1, 1, {}).size(), 1u);  // an empty list: one part
}

// ---- replies
// -----------------------------------------------------------------

TEST(ScanReplies, RecordsOfEveryKindAreDecoded) {
  peer::ScanReply r =
      peer::decodeScanReply(message("Zm 0A0B0C0D\n"
                                    "0 g 400000 2000 " +
                                    kDigestA +
                                    " = qxhost\n"
                                    "1 s 7f0000001000 1a000 - - libc.so.6\n"
                                    "2 o 10000 1000 " +
                                    kDigestB +
                                    " !12@1F4 my cheat.so\n"
                                    "3 g 20000 1000 - ? gone.so\n"
                                    "end 4\n"));
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.letter, 'm');
  EXPECT_EQ(r.nonce, 0x0A0B0C0Du);
  ASSERT_EQ(r.modules.size(), 4u);
  EXPECT_EQ(r.modules[0].kind, 'g');
  EXPECT_EQ(r.modules[0].digest, digestFrom(kDigestA));
  EXPECT_EQ(r.modules[0].code, peer::CodeCheck::kMatches);
  EXPECT_EQ(r.modules[1].base, 0x7f0000001000u);
  EXPECT_FALSE(r.modules[1].hasDigest);
  EXPECT_EQ(r.modules[2].name, "my cheat.so");
  EXPECT_EQ(r.modules[2].code, peer::CodeCheck::kDiffers);
  EXPECT_EQ(r.modules[2].differing, 12u);
  EXPECT_EQ(r.modules[2].firstDifference, 0x1F4u);
  EXPECT_EQ(r.modules[3].code, peer::CodeCheck::kUnreadable);
  EXPECT_TRUE(r.last);
  EXPECT_EQ(r.counts, std::vector<uint64_t>{4});

  r =
      peer::decodeScanReply(message("Z+ 00000001\n7 qxhost 1A0\n8 my game.exe "
                                    "10\n9 @7F001000 8\nend 3 1048576 2"));
  ASSERT_TRUE(r.ok) << r.error;
  ASSERT_EQ(r.matches.size(), 3u);
  EXPECT_EQ(r.matches[0].module, "qxhost");
  EXPECT_EQ(r.matches[0].offset, 0x1A0u);
  EXPECT_EQ(r.matches[1].module, "my game.exe");
  EXPECT_FALSE(r.matches[2].inModule);
  EXPECT_EQ(r.matches[2].region, 0x7F001000u);
  EXPECT_EQ(r.counts, (std::vector<uint64_t>{3, 1048576, 2}));

  r = peer::decodeScanReply(
      message("ZY 00000002\ni qxhost libc.so.6!send 7F0010 -\n"
              "j libgame.so!Frame 1000 cheat.so\nend 120 40"));
  ASSERT_TRUE(r.ok) << r.error;
  ASSERT_EQ(r.hooks.size(), 2u);
  EXPECT_EQ(r.hooks[0].importer, "qxhost");
  EXPECT_EQ(r.hooks[0].module, "libc.so.6");
  EXPECT_EQ(r.hooks[0].function, "send");
  EXPECT_EQ(r.hooks[0].targetModule, "");
  EXPECT_EQ(r.hooks[1].kind, 'j');
  EXPECT_EQ(r.hooks[1].targetModule, "cheat.so");

  r = peer::decodeScanReply(
      message("ZZ 00000003\n7F00000 3000 rwx " + kDigestA + "\nend 1"));
  ASSERT_TRUE(r.ok) << r.error;
  ASSERT_EQ(r.regions.size(), 1u);
  EXPECT_EQ(r.regions[0].size, 0x3000u);
  EXPECT_EQ(r.regions[0].protection, "rwx");

  r = peer::decodeScanReply(message("ZX 00000004\n" + kDigestB + " 4096"));
  ASSERT_TRUE(r.ok) << r.error;
  ASSERT_EQ(r.answers.size(), 1u);
  EXPECT_EQ(r.answers[0].bytes, 4096u);
  EXPECT_TRUE(r.last);

  r = peer::decodeScanReply(message("ZP 00000005\n0\n3\nend 2 211"));
  ASSERT_TRUE(r.ok) << r.error;
  EXPECT_EQ(r.indices, (std::vector<uint32_t>{0, 3}));

  r = peer::decodeScanReply(message("Z| 00000006\n1F " + kDigestA));
  ASSERT_TRUE(r.ok) << r.error;
  ASSERT_EQ(r.files.size(), 1u);
  EXPECT_EQ(r.files[0].size, 0x1Fu);

  r = peer::decodeScanReply(message("Zi 00000007\n+m 3 12 0"));
  ASSERT_TRUE(r.ok) << r.error;
  ASSERT_EQ(r.statuses.size(), 1u);
  EXPECT_EQ(r.statuses[0].passes, "+m");
  EXPECT_EQ(r.statuses[0].ignored, 3u);

  r = peer::decodeScanReply(message("Zc 00000008"));
  EXPECT_TRUE(r.ok && r.last) << r.error;
}

TEST(ScanReplies, SingleRecordsEndAPass) {
  const struct {
    const char *text;
    const char *outcome;
    std::vector<uint64_t> counts;
  } cases[] = {
      {"Z+ 00000001\nincomplete", "incomplete", {}},
      {"Z+ 00000001\nunknown\n", "unknown", {}},
      {"ZX 00000001\nmissing", "missing", {}},
      {"ZX 00000001\noutside 3", "outside", {3}},
      {"ZP 00000001\noff", "off", {}},
      {"Zw 00000001\noff", "off", {}},
      {"Z| 00000001\nrefused", "refused", {}},
      {"Zn 00000001\nend 0", "end", {0}},
  };
  for (const auto &c : cases) {
    const peer::ScanReply r = peer::decodeScanReply(message(c.text));
    EXPECT_TRUE(r.ok) << c.text << ": " << r.error;
    EXPECT_TRUE(r.last) << c.text;
    EXPECT_EQ(r.outcome, c.outcome) << c.text;
    EXPECT_EQ(r.counts, c.counts) << c.text;
  }
}

TEST(ScanReplies, AMalformedReplyIsRefusedWithItsFault) {
  const Bytes tooLong = message("ZZ 00000001\n" + std::string(1000, 'x'));
  Bytes trailing = message("Zc 00000001");
  trailing.push_back('x');
  const struct {
    const char *what;
    Bytes bytes;
    const char *fault;
  } cases[] = {
      {"no terminator", Bytes{'Z', 'c', ' ', '0'}, "no terminator"},
      {"bytes after the terminator", trailing, "after the terminator"},
      {"too long", tooLong, "longer than"},
      {"lower-case nonce", message("Zc 0000000a"), "the head"},
      {"short nonce", message("Zc 0001"), "the head"},
      {"unknown letter", message("Zq 00000001"), "no reply letter"},
      {"record after end", message("ZZ 00000001\nend 0\nend 0"),
       "follows the end"},
      {"outcome among records", message("ZP 00000001\n1\noff"), "stand alone"},
      {"end lacks counts", message("Z+ 00000001\nend 1 2"), "lacks its counts"},
      {"end has more", message("ZZ 00000001\nend 1 2"), "more than its counts"},
      {"outside lacks index", message("ZX 00000001\noutside"), "index"},
      {"two answers",
       message("ZX 00000001\n" + kDigestA + " 1\n" + kDigestA + " 1"),
       "has 1 record"},
      {"cancel with a record", message("Zc 00000001\nend 0"), "has 0 records"},
      {"empty record", message("ZP 00000001\n1\n\n2\nend 2 9"), "empty record"},
      {"short digest", message("ZX 00000001\n0011 1"), "does not parse"},
      {"module class", message("Zm 00000001\n0 x 1 1 - = a.so"),
       "does not parse"},
      {"module without name", message("Zm 00000001\n0 g 1 1 - ="),
       "does not parse"},
      {"module code", message("Zm 00000001\n0 g 1 1 - !3 a.so"),
       "does not parse"},
      {"hook without target", message("ZY 00000001\nj a.so!f"),
       "does not parse"},
      {"hook export", message("ZY 00000001\nj a.so 10 -"), "does not parse"},
      {"hex too wide",
       message("ZZ 00000001\n11112222333344445 1 r " + kDigestA),
       "does not parse"},
      {"index not decimal", message("ZN 00000001\n0x1\nend 1 1"),
       "does not parse"},
      {"double blank", message("ZP 00000001\n1 \nend 1 1"), "does not parse"},
  };
  for (const auto &c : cases) {
    const peer::ScanReply r = peer::decodeScanReply(c.bytes);
    EXPECT_FALSE(r.ok) << c.what;
    EXPECT_NE(r.error.find(c.fault), std::string::npos)
        << c.what << ": " << r.error;
  }
  EXPECT_FALSE(peer::decodeScanReply(message("T130712")).scan);
}

// Every cut of a good reply is refused, and no cut or changed byte is read
// past (the sanitizer build watches the reads).
TEST(ScanReplies, CutsAndChangedBytesNeverReadPastTheMessage) {
  const Bytes good = message("Zm 0A0B0C0D\n0 g 400000 2000 " + kDigestA +
                             " !2@10 qx host\nend 1");
  ASSERT_TRUE(peer::decodeScanReply(good).ok);
  for (size_t n = 0; n < good.size(); ++n) {
    const Bytes cut(good.begin(), good.begin() + static_cast<long>(n));
    EXPECT_FALSE(peer::decodeScanReply(cut).ok) << n;
  }
  for (size_t i = 0; i < good.size(); ++i)
    for (int b : {0, int{' '}, int{'\n'}, int{'!'}, int{'@'}, int{'Z'}, 0xFF}) {
      Bytes changed = good;
      changed[i] = static_cast<uint8_t>(b);
      peer::decodeScanReply(changed);
    }
}

// A reply the real client sealed under a modulus and exponent the server
// chose is recovered with the matching private exponent.
TEST(ScanReplies, ASealedReplyIsOpenedWithTheKeyTheServerSet) {
  const uint32_t modulus = 211 * 239, exponent = 13;
  const peer::SealKey key = peer::sealKey(modulus, exponent);
  ASSERT_NE(key.privateExponent, 0u);
  qx::client().channel.sealModulus = modulus;
  qx::client().channel.sealExponent = exponent;
  qx::client().channel.sealAllowance = 1;
  const std::string text = "ZX 00000042\n" + kDigestA + " 16";
  uint8_t sealed[128] = {};
  std::copy(text.begin(), text.end(), sealed);
  const int length =
      qx::channel::sealMessage(sealed, static_cast<int>(text.size()) + 1);
  const Bytes bytes(sealed, sealed + length);

  const peer::ScanReply r = peer::decodeScanReply(bytes, key);
  EXPECT_TRUE(r.sealed && r.sealValid && r.ok) << r.error;
  EXPECT_EQ(r.nonce, 0x42u);
  const peer::ScanReply wrong = peer::decodeScanReply(bytes);  // default key
  EXPECT_FALSE(wrong.ok);
  EXPECT_EQ(wrong.error, "sealed, and the seal does not verify");
}

TEST(SealKeys, ExistOnlyForAModulusWithoutSquareFactors) {
  EXPECT_EQ(
      peer::sealKey(p::kSealModulus, p::kSealExponent).privateExponent % 3000,
      peer::kSealPrivateExponent % 3000);  // lambda(251 * 241) = 3000
  EXPECT_EQ(peer::sealKey(7 * 7 * 11, 7).privateExponent, 0u);  // 7^2
  EXPECT_EQ(peer::sealKey(251 * 241, 10).privateExponent, 0u);  // shares 2, 5
  EXPECT_NE(peer::sealKey(65521, 11).privateExponent, 0u);      // a prime
}

TEST(ScanPasses, JoinTheMessagesOfAPassUntilItsEnd) {
  peer::ScanPasses passes;
  peer::ScanReply done;
  EXPECT_FALSE(
      passes.add(peer::decodeScanReply(message("ZP 00000001\n4")), done));
  EXPECT_FALSE(
      passes.add(peer::decodeScanReply(message("ZN 00000001\n9")), done));
  EXPECT_FALSE(
      passes.add(peer::decodeScanReply(message("ZP 00000002\n5")), done));
  ASSERT_TRUE(passes.add(
      peer::decodeScanReply(message("ZP 00000001\n6\nend 2 80")), done));
  EXPECT_EQ(done.indices, (std::vector<uint32_t>{4, 6}));
  EXPECT_EQ(done.counts, (std::vector<uint64_t>{2, 80}));
  ASSERT_TRUE(
      passes.add(peer::decodeScanReply(message("ZN 00000001\nend 1 3")), done));
  EXPECT_EQ(done.indices, std::vector<uint32_t>{9});

  // A pass that never ends is given up after a bound, as not parsing.
  const peer::ScanReply part = peer::decodeScanReply(message("ZP 00000003\n1"));
  size_t messages = 1;
  while (!passes.add(part, done)) ++messages;
  EXPECT_EQ(messages, peer::ScanPasses::kPassMessagesMax);
  EXPECT_FALSE(done.ok);
  EXPECT_EQ(done.indices.size(), messages);
}

}  // namespace
