// Values that the client and the server side (peer/) must share. Each is
// defined here once and used by both.
#pragma once

#include <cstdint>

namespace qx::protocol {

// Seal: h = m^e mod N. The client computes each product modulo 2^32, which
// is exact only while N < 2^16, so N is the product of two primes below 256
// (251 * 241); the matching private exponent lives in peer/ only.
constexpr uint32_t kSealModulus = 60491;
constexpr uint32_t kSealExponent = 7;

// Host report: the host's report text, sent to the server at most every
// 30 seconds as "T20004 <text>".
constexpr const char *kHostReportFormat = "%c%d %s";
constexpr char kHostReportCode = 'T';
constexpr int kHostReportNumber = 20004;

// Directive keywords that no listing shows; the server sends them as the
// first word of a directive line (any case).
constexpr const char *kServerRequestKeyword = "QX_SREQ";  // request + text
constexpr const char *kHostTextKeyword = "QX_HQA";    // host text 113 of text
constexpr const char *kHostStatusKeyword = "QX_HQE";  // host text 112
// Integer directive setting 0..65535 that the server sets and reads back.
constexpr const char *kAuxPortSetting = "QX_XPORT";

}  // namespace qx::protocol

namespace qx::protocol {

// ---- packets ---------------------------------------------------------------
//
// Every packet starts with "QX_" and a type letter. 'E' (scrambled):
// check value (big-endian, 4), message length n (big-endian, 2), n message
// bytes XOR-ed with the channel key. 'P' (plain): channel token
// (little-endian, 4), the message.
constexpr char kPacketMagic[3] = {'Q', 'X', '_'};
constexpr char kTypeMasterList = '1';
constexpr char kTypeContent = 'C';
constexpr char kTypeScrambled = 'E';
constexpr char kTypePlain = 'P';
constexpr int kHeaderSize = 4;
constexpr int kScrambledHeaderSize = 10;
constexpr int kPlainHeaderSize = 8;
constexpr int kMaxMessage = 1100;  // longest unframed message
constexpr int kPacketBufferSize = 1200;

// Check value: start at kCheckStart; for byte i of the plain message, taken
// as a signed 8-bit value b, add (b + kCheckBias) * kCheckFactor + i, with
// two's-complement wrap-around.
constexpr int32_t kCheckStart = 7777777;
constexpr int32_t kCheckFactor = 2343531;
constexpr int32_t kCheckBias = 17;

// ---- channel key -----------------------------------------------------------
//
// The key is the seeded MD5 text of kKeyText under kKeySeed, cut to
// kKeyLength characters and stirred with the four host numbers a, b, c, d
// in 8-bit arithmetic: key[i] = (a + (d + 81) * (i - 22)) * key[i]
// + c * (i + 119) - 42 * b * b, with 0 replaced by 224.
constexpr uint32_t kKeySeed = 0x51C0DE5Bu;
constexpr char kKeyText[3] = {'q', 'X', '4'};
constexpr int kKeyLength = 29;
constexpr int kKeyBlockSize = 1000;
constexpr int kKeyOffsetRange = 900;  // offset = rand() % 900 + 33
constexpr int kKeyOffsetBase = 33;

// ---- message codes ---------------------------------------------------------

constexpr uint8_t kCodeIdentity = 0x03;   // identity-addressed message
constexpr uint8_t kCodeSeal = 0x07;       // sealed wrapper
constexpr uint8_t kCodeDirective = 0x09;  // directive text
constexpr char kCodeServerText = 'A';
constexpr char kCodeQuery = 'B';
constexpr char kCodeAgentControl = 'C';
constexpr char kCodeTransferChunk = 'G';
constexpr char kCodeUpdateFile = 'H';
constexpr char kCodeScreenshot = 'I';
constexpr char kCodeTokenAnnouncement = 'J';
constexpr char kCodeVariableRule = 'K';
constexpr char kCodeAgentLoad = 'N';
constexpr char kCodeScreenshotRestart = 'O';
constexpr char kCodePatternList = 'S';
constexpr char kCodeAlive = 'T';

// Sub-codes under 'B' handled by the channel itself.
constexpr char kSubAlive = 'Q';
constexpr char kSubLookup = 'U';
constexpr char kSubEcho = 'W';

// ---- replies of the channel
// --------------------------------------------------
//
// Alive and identity replies: 'T' and a decimal number ("T130745",
// "T40003"). The alive echo: "BW" and the four bytes of the last alive
// number (little-endian) in place of the terminator. The lookup reply:
// "BU" then "name value number" or "name NOT_FOUND".
constexpr const char *kNumberReplyFormat = "%c%lu";
constexpr const char *kEchoFormat = "%c%c";
constexpr const char *kLookupFoundFormat = "%s %s %ld";
constexpr const char *kLookupMissingFormat = "%s NOT_FOUND";
constexpr int kLookupReplyMax = 511;
constexpr uint32_t kAliveBase = 130700;       // 'T': + rand() % 100
constexpr uint32_t kQueryAliveBase = 130600;  // 'B' 'Q': + rand() % 100
constexpr uint32_t kAliveSpread = 100;
constexpr uint32_t kIdentityNoGuid = 40001;
constexpr uint32_t kIdentityWrong = 40002;
constexpr uint32_t kIdentityAccepted = 40003;
constexpr uint32_t kIdentityMinServerVersion = 1092;

// ---- seal ------------------------------------------------------------------
//
// Byte 0 kCodeSeal, bytes 1-4 h = m^e mod N, bytes 5-8 and 9-12 m (all
// little-endian), then the message. Bytes 5 onward are XOR-ed with
// (y >> kSealStreamShift) & 0xFF of successive outputs y of an MT19937
// generator whose 624 state words are m, m * 69069, m * 69069^2, ...
constexpr int kSealOverhead = 13;
constexpr uint32_t kSealSeedMultiplier = 69069;
constexpr int kSealStreamShift = 7;

// ---- player requests -------------------------------------------------------
//
// A request is its code letter, an optional second letter, an optional
// space, then the argument text and its terminator ("BD args", "BTargs",
// "U3").
struct RequestForm {
  char code;
  char sub;     // 0: none
  bool spaced;  // a space between the letters and the arguments
};
constexpr RequestForm kRequestPlayerList = {'B', 'D', true};      // qx_Plist
constexpr RequestForm kRequestAdminList = {'B', 'T', false};      // QX_ALIST
constexpr RequestForm kRequestPower = {'B', 'J', true};           // qx_Power
constexpr RequestForm kRequestKick = {'U', 0, false};             // qx_Kick
constexpr RequestForm kRequestVariableValue = {'B', 'B', false};  // QX_CVAR=
constexpr RequestForm kRequestRcon = {'V', 0, false};             // QX_RCON
constexpr RequestForm kRequestReport = {'B', 'R', true};          // QX_SREQ
constexpr RequestForm kRequestRawText = {'A', 0, false};          // qx_ypg_...
constexpr uint32_t kRawTextWindow = 2000;                         // ms
constexpr int kRawTextPerWindow = 2;

// ---- variable rules and queries --------------------------------------------
//
// Rules arrive under message code 'K' as lines "number name kind a [b]"
// separated by LF, closed by a count line "number". While its set is
// incomplete the client asks again with "BC" and the number of rule lines
// received so far ("BC0", "BC7"), with its terminator.
constexpr const char *kRuleRequestFormat = "%c%c%ld";
constexpr char kRuleRequestCode = 'B';
constexpr char kRuleRequestSub = 'C';

// Server queries under 'B' and the letter of the client's reply.
constexpr char kSubReportVariable = 'A';         // -> "M name = \"value\""
constexpr char kSubReportVariableWatched = 'B';  // -> "L ..." and violations
constexpr char kSubSearchBindings = 'E';         // -> "A[key = bind] ..."
constexpr char kSubSearchVariables = 'F';        // -> "Q\"name\" ..."
constexpr char kSubUserVariables = 'G';          // -> "Q..."
constexpr char kSubChangedVariables = 'H';       // -> "Q..."
constexpr char kSubListRequest = 'L';            // -> "BK" and a number
constexpr char kReplyVariable = 'M';
constexpr char kReplyVariableWatched = 'L';
constexpr char kReplyBindings = 'A';
constexpr char kReplyVariables = 'Q';
constexpr char kReplyListCode = 'B';
constexpr char kReplyListSub = 'K';

}  // namespace qx::protocol

namespace qx::protocol {

// ---- screenshots -------------------------------------------------------------
//
// Request ('I'): "<seconds> <check> <number> [W [H [X [Y [rate]]]]]" and its
// terminator. The client waits a random time below <seconds> seconds, then
// accepts the request only when ((check XOR c) / 10) is even, in unsigned
// 32-bit arithmetic, c being the third host number; a refused request ends
// silently. W, H default to 640 x 480 (at least 10 each), X, Y to 50 percent
// (outside 0..100: random), the sampling rate to 1 (1, 2 or 4; 3 picks one
// of them at random). The client shrinks W and H by 15/16 until at most
// kScreenshotPixelBudget sampled pixels remain.
constexpr char kCodeScreenshotHeader = 'G';  // client -> server
constexpr char kCodeScreenshotChunk = 'H';   // client -> server
constexpr uint32_t kScreenshotCheckDivisor = 10;
constexpr uint32_t kScreenshotPixelBudget = 82000;

// Upload. The header: 'G', the PNG size in decimal, a space, the MD5 of the
// PNG as 32 upper-case hexadecimal digits, a space, the transfer letter
// ('A'..'Z') and the transfer name, with its terminator. Then the chunks,
// one a second: 'H', the chunk number (high byte, low byte), the letter and
// up to kScreenshotChunkSize bytes of the PNG from number * 1024; the last
// chunk is the shorter one (or a full one when the size is a multiple).
constexpr const char *kScreenshotHeaderFormat =
    "%c%lu %02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X%02X "
    "%c%s";
constexpr int kScreenshotChunkSize = 1024;
constexpr int kScreenshotChunkHeader = 4;  // 'H', number (2), letter
constexpr uint32_t kScreenshotChunkInterval = 1000;  // ms between chunks
// The transfer name is the request number in this form.
constexpr const char *kScreenshotTransferFormat = "qx%06d.png";

// Restart ('O'), server -> client: "PNG", the letter, then the chunk number
// to go on from in decimal, or '-' for 0 (header and every chunk again).
// A transfer follows at most kScreenshotRestartLimit - 1 restarts.
constexpr char kScreenshotRestartMagic[3] = {'P', 'N', 'G'};
constexpr int32_t kScreenshotRestartLimit = 20;

// Status byte at index 23 of the image's heading: how the picture was taken.
constexpr uint8_t kScreenshotFailed = 0xB0;
constexpr uint8_t kScreenshotSurface = 0xB1;
constexpr uint8_t kScreenshotReadBack = 0xB2;

}  // namespace qx::protocol
