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
constexpr char kCodeFileAnnouncement = 'G';  // file transfer: name and size
constexpr char kCodeFileChunk = 'H';         // file transfer: one chunk
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

// ---- registered names ------------------------------------------------------
//
// The server asks with 'B' 'I'. The client answers with 'R' and one entry
// "\"match\" \"digest\" kind " per registered name (kind 1 Full, 2
// Partial), at most kRegNameReportMax characters and a terminator; the
// digest is the seeded MD5 text of the password under kRegNameDigestSeed.
constexpr char kSubRegisteredNames = 'I';
constexpr char kRegNameReportCode = 'R';
constexpr int kRegNameReportMax = 1024;
constexpr uint32_t kRegNameDigestSeed = 0x5C13E7A4u;
constexpr uint8_t kRegNameKindFull = 1;
constexpr uint8_t kRegNameKindPartial = 2;
// ---- server file transfer --------------------------------------------------
//
// 'G' announces a file: the text "size digest name" (decimal size, MD5 of
// the content as 32 hexadecimal digits, a plain file name ending in "htm").
// 'H' carries one chunk: the index k as two big-endian bytes (signed), then
// up to 1024 bytes for offset k * 1024. The client asks for missing chunks
// with "OUPD", the transfer letter (the second letter of the file name,
// upper case) and the first missing index, or "-1" when it holds no
// transfer for the chunks it receives; unsealed, with the terminator.
constexpr int kChunkSize = 1024;
constexpr int kChunkHeaderSize = 2;
constexpr int32_t kChunkIndexMax = 32767;
constexpr char kResendCode = 'O';
constexpr const char *kResendFormat = "%cUPD%c%d";
constexpr const char *kResendPrefix = "UPD";
constexpr int32_t kResendNoTransfer = -1;
// Letter of a "-1" request when the client knows of no announced file.
constexpr char kUnknownTransferLetter = '?';
constexpr int kTransferDigestLength = 32;
// Pushed files are written to this folder of the client's home directory.
constexpr const char *kTransferFolder = "htm";
constexpr const char *kTransferEnding = "htm";
constexpr const char *kCorruptFileName = "crptfile.dat";
// Largest file or module the client accepts, far above any real package.
constexpr uint32_t kTransferSizeMax = 16u * 1024u * 1024u;

// ---- update packages -------------------------------------------------------
//
// A package is text; only its "<p>" records count (any case), each running
// to the next '<' or the end. The first is the header "S<compressed size>
// <module size> <digest A> <digest B>" (sizes in hexadecimal, the digests
// the MD5 of the compressed data and of that data from its second byte, 32
// upper-case digits each); every later record holds compressed data as
// upper-case hexadecimal pairs. Records must fit the reader's window.
constexpr char kPackageRecordTag[3] = {'<', 'p', '>'};
constexpr char kPackageHeaderLetter = 'S';
constexpr int kPackageWindow = 2048;
// ---- master servers and the web update ------------------------------------
//
// Master query: the client sends the text "qxmq C <nonce>" and its
// terminator to a master server (UDP, the entry's port; 16567 for the
// built-in entries). The nonce is the client nonce: 8 to 15 characters with
// codes 33..132, never a space or a double quote, so it runs from the
// second space to the terminator.
constexpr const char *kMasterQueryFormat = "qxmq %c %s";
constexpr char kMasterQueryLetter = 'C';
constexpr int kMasterPort = 16567;

// '1' packet: "QX_1", then master list text (records "<p> S ...",
// "<p> M ...", "<p> F ...") without a terminator, each byte i of the text
// XOR-ed with nonce[i % nonce length]. The client reads at most
// kMasterReplyMax bytes of it.
constexpr int kMasterReplyMax = 1400;

// 'C' packet (content transfer): "QX_C", then a body whose bytes 0-3 are
// the transfer identifier (big-endian, never 0) and whose bytes k >= 4 are
// XOR-ed with nonce[(k + 8) % nonce length].
//   announcement: tag, final size, transfer size (both big-endian), the MD5
//                 of the transferred bytes (16), the name and a terminator.
//   chunk:        tag, a byte left 0, the chunk index (24 bits, big-endian),
//                 up to kContentChunkSize bytes from index * 1024.
// The transferred bytes are the content itself when both sizes are equal,
// else the content compressed with zlib (compress()).
constexpr char kContentAnnounceTag[4] = {'Q', 'X', 'F', 'A'};
constexpr char kContentChunkTag[4] = {'Q', 'X', 'F', 'D'};
constexpr int kContentChunkSize = 1024;
constexpr int kContentHeaderSize = 12;    // identifier, tag, chunk index
constexpr int kContentAnnounceSize = 32;  // up to the name
constexpr int kContentNonceOffset = 8;
// A transfer whose name contains the marker is master list text, merged
// into the master list and never stored; any other name is a plain file
// name in the client's home directory.
constexpr char kMasterListMarker[9] = "@qxlist@";
// Largest transfer (sent or inflated) a client accepts, in bytes.
constexpr uint32_t kContentMaxSize = 1u << 20;

// The master list file, written after every change and read at start-up.
constexpr const char *kMasterListFile = "qxcl.db";
constexpr const char *kMasterListHeader =
    "\r\nTHIS IS A GENERATED FILE - ** DO NOT EDIT **\r\n\r\n";

// Built-in master servers (kinds 2 to 5, port 16567), replaced by qxcl.db
// once that file exists.
constexpr const char *kBuiltInMasters[4] = {
    "master1.quellor.example", "master2.quellor.example",
    "master3.quellor.example", "master4.quellor.example"};

// Web update: "GET http://<host>/downloads/<code>/qxsec.htm HTTP/1.0" to
// the default web host on port 80.
constexpr const char *kWebHost = "update.quellor.example";
constexpr const char *kWebPathCode = "qx1";
constexpr uint16_t kWebPort = 80;
constexpr const char *kWebFile = "qxsec.htm";

// Local update file, offered once per client life: first in the home
// directory, then in its htm sub-directory. A name that cannot be opened is
// tried once more without its last character ("qxupd.htm").
constexpr const char *kLocalUpdateFile = "qxupd.html";
constexpr const char *kLocalUpdateDirectory = "htm";
// ---- screenshots -----------------------------------------------------------
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
constexpr int kScreenshotChunkHeader = 4;            // 'H', number (2), letter
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
// On a distress the master servers of the master list (kinds other than 0
// and 1) get the master query text out of band, unframed.
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

constexpr const char *kPackageRequestFormat = "%c%c %d %d";
constexpr char kRequestAgentPackage = 'E';
constexpr char kRequestClientPackage = 'F';
constexpr const char *kReadyFormat = "%c%c %d %d";
constexpr char kReadyCode = 'D';
constexpr char kDistressCode = 'P';
constexpr int kDistressTextMax = 1000;

}  // namespace qx::protocol

// ---- integrity scans -------------------------------------------------------
//
// The wire formats are described in src/scan/README.md. Every request is
// binary: its code ('S', or 'B' and a sub-code), 'q', the format version,
// the request's nonce (32 bits, little-endian), then its body. Every reply
// is text: 'Z', the reply letter, a blank, the nonce as 8 upper-case
// hexadecimal digits, then one record a line, within kScanReplyMax bytes
// and a terminator.
namespace qx::protocol {

constexpr uint8_t kScanMagic = 'q';
constexpr uint8_t kScanVersion = 1;
constexpr int kScanRequestHeader = 6;  // 'q', version, nonce

// Sub-codes under 'B' (the pattern list travels under kCodePatternList).
constexpr char kSubScanCancel = 0x07;
constexpr char kSubScanStatus = 0x09;
constexpr char kSubScanSeal = 0x10;
constexpr char kSubPatternScan = '+';
constexpr char kSubWindowScan = 'N';
constexpr char kSubProcessScan = 'P';
constexpr char kSubCodeChallenge = 'X';
constexpr char kSubHookScan = 'Y';
constexpr char kSubForeignCode = 'Z';
constexpr char kSubModuleTable = 'm';
constexpr char kSubFileQuery = '|';

// A directive line "QX_SCAN <hex>" carries a request in hexadecimal, from
// its code on.
constexpr const char *kScanDirectiveKeyword = "QX_SCAN";

// Pattern lists: patterns of 4..64 bytes, at least 4 of them cared for,
// the first and the last always; at most 256 patterns in 1..16 parts. The
// bytes are XOR-ed with the mask stream x(k+1) = x(k) * multiplier +
// increment (x0 = the list id), byte k being x(k+1) >> 24.
constexpr int kPatternMin = 4;
constexpr int kPatternMax = 64;
constexpr int kPatternCaredMin = 4;
constexpr int kPatternListMax = 256;
constexpr int kPatternPartsMax = 16;
constexpr uint32_t kPatternMaskMultiplier = 1103515245u;
constexpr uint32_t kPatternMaskIncrement = 12345u;

// Request limits.
constexpr int kPatternMatchesMax = 256;            // 'B' '+'
constexpr int kChallengeRangesMax = 64;            // 'B' 'X'
constexpr uint32_t kChallengeBytesMax = 1u << 20;  // 'B' 'X', in all
constexpr int kNameDigestsMax = 64;                // 'B' 'P', 'B' 'N'
constexpr uint32_t kScanSealModulusMin = 3;        // 'B' 0x10
constexpr uint32_t kScanSealModulusMax = 65535;

// Request flags.
constexpr uint8_t kPatternScanImages = 1u << 0;  // module images
constexpr uint8_t kPatternScanOther = 1u << 1;   // other committed memory
constexpr uint8_t kModuleCompareGame = 1u << 0;  // the game's own modules
constexpr uint8_t kModuleCompareAll = 1u << 1;   // every module
constexpr uint8_t kHookImportsGame = 1u << 0;    // import tables: game's
constexpr uint8_t kHookImportsAll = 1u << 1;     // import tables: all
constexpr uint8_t kHookEntries = 1u << 2;        // exported entries

// Replies.
constexpr char kScanReplyCode = 'Z';
constexpr int kScanReplyMax = 1000;  // bytes of records and header a message
constexpr int kScanRepliesPerFrame = 2;
constexpr char kReplyPatternScan = '+';
constexpr char kReplyModuleTable = 'm';
constexpr char kReplyModuleRecheck = 'n';
constexpr char kReplyCodeChallenge = 'X';
constexpr char kReplyHooks = 'Y';
constexpr char kReplyForeignCode = 'Z';
constexpr char kReplyProcesses = 'P';
constexpr char kReplyWindows = 'N';
constexpr char kReplyProcessRecheck = 'p';
constexpr char kReplyWindowRecheck = 'w';
constexpr char kReplyFileQuery = '|';
constexpr char kReplySeal = 's';
constexpr char kReplyCancel = 'c';
constexpr char kReplyStatus = 'i';

}  // namespace qx::protocol
