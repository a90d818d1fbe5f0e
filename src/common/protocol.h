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

// ---- agent and replacement-client modules -------------------------------
//
// The server states the versions it wants in a control message ('C'):
//   "kind serverVersion clientVersion agentVersion a b c d guid"
// (words separated by spaces; a, b, c, d are the host numbers the channel
// key is derived from; guid the server-assigned GUID, "?" for none). Agent
// orders ('N') are "number argument...".
//
// The client's answers, each with its terminator:
//   "Ew 1301 1300"  please send the agent package (wanted, current version)
//   "Fw 1200 1199"  please send the client package (wanted, this client)
//   "Dw 1199 1300"  ready: every version as wanted, channel key derived
//                   (this client's version, the agent's)
//   "P" text        distress report, from the fifth distress on
namespace qx::protocol {

constexpr int32_t kClientVersion = 1199;  // answer of cb 17, shown C1.199

// One row per platform the modules are built for: the letter that starts
// every module file name and selects the master list's tables, the library
// suffix, and the names of the agent in use and of the replacement client.
struct ModulePlatform {
  char letter;
  const char *suffix;
  const char *agentFile;
  const char *clientFile;
};
inline constexpr ModulePlatform kModulePlatforms[] = {
    {'w', ".dll", "qxag.dll", "qxclnew.dll"},
    {'l', ".so", "qxag.so", "qxclnew.so"},
};
#if defined(_WIN32)
inline constexpr const ModulePlatform &kThisPlatform = kModulePlatforms[0];
#else
inline constexpr const ModulePlatform &kThisPlatform = kModulePlatforms[1];
#endif

// Module file names under the home directory, from the platform letter, the
// version and (for kept copies) the suffix: "dll\wa001300.dll",
// "htm\wa001300.htm", "dll\lc001200.so", "htm\lc001200.htm". The package
// names are also the file names the server announces when it pushes them.
constexpr const char *kAgentCopyFormat = "dll\\%ca%06u%s";
constexpr const char *kAgentPackageFormat = "htm\\%ca%06u.htm";
constexpr const char *kClientCopyFormat = "dll\\%cc%06u%s";
constexpr const char *kClientPackageFormat = "htm\\%cc%06u.htm";
constexpr const char *kPackageNameFormat = "%c%c%06u.htm";  // letter, kind
constexpr char kModuleAgent = 'a';
constexpr char kModuleClient = 'c';

// Agent orders: the server's 'N' numbers and the client's own calls of `a`.
constexpr int32_t kOrderStatus = 1;    // the agent's version
constexpr int32_t kOrderVersion = 77;  // the agent's version
constexpr int32_t kOrderUnload = 78;   // the client unloads the agent
constexpr int32_t kOrderAlive = 9998;  // the client answers, not the agent
constexpr uint32_t kOrderAliveBase = 130500;     // + rand() % 100
constexpr uint32_t kOrderAliveDelaySpread = 75;  // rand() % 75 ms
// From this agent version on, the first order of each agent load is
// preceded by the integrity exchange of client and agent.
constexpr int32_t kIntegrityExchangeVersion = 1285;
// Identity-addressed messages need a server of at least
// kIdentityMinServerVersion; older ones draw the notice "C1.092 ".

constexpr const char *kPackageRequestFormat = "%c%c %d %d";
constexpr char kRequestAgentPackage = 'E';
constexpr char kRequestClientPackage = 'F';
constexpr const char *kReadyFormat = "%c%c %d %d";
constexpr char kReadyCode = 'D';
constexpr char kDistressCode = 'P';
constexpr int kDistressTextMax = 1000;

// Distress notice to every master server of kind 2 and above, out of band
// and unframed: "qxdistress C <client nonce>", with its terminator.
constexpr const char *kDistressNoticeFormat = "qxdistress %c %s";
constexpr char kDistressNoticeLetter = 'C';

}  // namespace qx::protocol
