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

}  // namespace qx::protocol
