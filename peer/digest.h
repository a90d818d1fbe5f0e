// The server side's own seeded MD5, independent of the client's code: the
// four chaining words start at the RFC 1321 values moved by 11s, 71s, 37s and
// 97s for a seed s (seed 0 is standard MD5). Natively it is OpenSSL's MD5
// with its chaining words moved; where OpenSSL is not available (the win32
// build) a small implementation of its own written from RFC 1321.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace qx::peer {

void digest(const void *data, size_t size, uint32_t seed, uint8_t out[16]);

// 32 upper-case hexadecimal digits of the digest.
std::string digestText(const void *data, size_t size, uint32_t seed);
std::string hexText(const uint8_t *bytes, size_t size);

}  // namespace qx::peer
