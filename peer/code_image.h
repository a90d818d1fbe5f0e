// A known-good module file laid out as the system's loader lays it out in
// memory, so that the server can compute what the client must answer to a
// code challenge: the bytes of chosen ranges of the executable sections, with
// the base relocations applied for the base the client reported, digested
// with the challenge's nonce as the seed.
//
// Reads PE files (32 and 64 bit: sections, base relocations, the import
// address table) and ELF files (32 and 64 bit, little-endian: loadable
// segments and their relocations). Every field is checked against the
// file's size before it is used; a file that does not parse gives an error
// text, never a wrong image.
#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "peer/scan_peer.h"

namespace qx::peer {

struct CodeImage {
  enum class Format { kPe, kElf };
  Format format = Format::kPe;
  uint64_t preferredBase = 0;  // the base the file was linked for
  Bytes image;                 // offset 0 is the module's base
  struct Span {
    uint64_t begin = 0, end = 0;  // offsets from the base, end excluded
  };
  std::vector<Span> code;  // executable sections, in address order
  // Places the loader writes with the base: each holds the linked value,
  // which moves by (base - preferredBase); on ELF, a relative relocation
  // writes base + addend.
  struct Fixup {
    uint64_t offset = 0;
    uint8_t size = 0;       // 4 or 8 bytes
    bool absolute = false;  // ELF relative: the value is base + addend
    uint64_t addend = 0;
  };
  std::vector<Fixup> fixups;
  // Bytes the loader writes with what it alone knows (import addresses,
  // relocations against symbols): a challenge never covers them. Disjoint,
  // in address order.
  std::vector<Span> loaderWritten;
};

// Loads file bytes as an image; returns what is wrong, or "". Images
// larger than 256 MiB are refused.
std::string loadCodeImage(const Bytes &file, CodeImage &out);
std::string loadCodeImageFile(const std::string &path, CodeImage &out);

// Up to count ranges of length bytes each, at random within the executable
// sections and clear of the loader-written bytes; fewer when the code has
// no room for them.
std::vector<CodeRange> pickCodeRanges(const CodeImage &image, size_t count,
                                      uint32_t length, std::mt19937 &random);

// Ranges that cover every byte of the executable sections that the loader
// does not write; empty when that takes more than count ranges or bytes.
std::vector<CodeRange> coverCode(const CodeImage &image, size_t count,
                                 uint64_t bytes);

// The bytes of the ranges, in the order given, as they stand in memory when
// the module is loaded at base. False when a range lies outside the image.
bool codeBytes(const CodeImage &image, uint64_t base,
               const std::vector<CodeRange> &ranges, Bytes &out);

// What the client answers: the digest of codeBytes seeded with the nonce.
bool expectedAnswer(const CodeImage &image, uint64_t base,
                    const std::vector<CodeRange> &ranges, uint32_t nonce,
                    ChallengeAnswer &out);

}  // namespace qx::peer
