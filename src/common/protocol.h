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
