// Reads a Windows PE image as bytes, without loading or running it: the
// machine, the kind of image, the exported names, the imported DLLs and the
// version resource. Every read is bounded by the file, so a damaged or
// truncated image gives empty results, never a read past its end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace qxtest {

struct PeImage {
  static constexpr uint16_t kMachineI386 = 0x14C;
  static constexpr uint16_t kDllFlag = 0x2000;
  static constexpr uint16_t kPe32Magic = 0x10B;
  // The image has no structured exception handlers: the loader then refuses
  // to call any handler that lies in it.
  static constexpr uint16_t kNoSehFlag = 0x0400;

  std::vector<uint8_t> bytes;
  uint16_t machine = 0;
  uint16_t characteristics = 0;
  uint16_t optionalMagic = 0;
  uint16_t dllCharacteristics = 0;
  uint32_t loadConfigSize = 0;  // 0: the image has no load configuration
  std::string exportName;       // the name the export directory gives the DLL
  std::vector<std::string> exports, imports;
  uint32_t fileVersionMs = 0, fileVersionLs = 0;
  uint32_t productVersionMs = 0, productVersionLs = 0;
  std::u16string versionResource;  // the VS_VERSIONINFO block as UTF-16

  bool isDll() const { return (characteristics & kDllFlag) != 0; }

  uint32_t u32(size_t at) const {
    return at + 4 <= bytes.size() && at + 4 > at
               ? uint32_t(bytes[at]) | uint32_t(bytes[at + 1]) << 8 |
                     uint32_t(bytes[at + 2]) << 16 |
                     uint32_t(bytes[at + 3]) << 24
               : 0;
  }
  uint16_t u16(size_t at) const {
    return at + 2 <= bytes.size() && at + 2 > at
               ? uint16_t(bytes[at] | bytes[at + 1] << 8)
               : 0;
  }
  std::string text(size_t at) const {
    std::string s;
    while (at < bytes.size() && bytes[at] && s.size() < 512)
      s += char(bytes[at++]);
    return s;
  }

  // True when the headers are those of a PE image; fills the fields.
  bool parse() {
    if (bytes.size() < 0x40 || bytes[0] != 'M' || bytes[1] != 'Z') return false;
    pe_ = u32(0x3C);
    if (u32(pe_) != 0x4550) return false;  // "PE\0\0"
    machine = u16(pe_ + 4);
    sections_ = u16(pe_ + 6);
    const uint16_t optionalSize = u16(pe_ + 20);
    characteristics = u16(pe_ + 22);
    const size_t optional = pe_ + 24;
    optionalMagic = u16(optional);
    dllCharacteristics = u16(optional + 70);
    sectionTable_ = optional + optionalSize;
    // Data directories of a PE32 image start 96 bytes into its optional
    // header: export (0), import (1), resource (2), ... load configuration
    // (10), 8 bytes each.
    const size_t dirs = optional + 96;
    loadConfigSize = u32(dirs + 8 * 10 + 4);
    readExports(u32(dirs));
    readImports(u32(dirs + 8));
    readVersion(u32(dirs + 16));
    return true;
  }

 private:
  size_t pe_ = 0, sectionTable_ = 0;
  uint16_t sections_ = 0;

  // File offset of a relative virtual address; 0 when no section holds it.
  size_t fileOffset(uint32_t rva) const {
    for (uint16_t i = 0; i < sections_; ++i) {
      const size_t s = sectionTable_ + 40u * i;
      const uint32_t va = u32(s + 12), size = u32(s + 16), raw = u32(s + 20);
      if (rva >= va && rva - va < size) return raw + (rva - va);
    }
    return 0;
  }

  void readExports(uint32_t rva) {
    const size_t dir = rva ? fileOffset(rva) : 0;
    if (!dir) return;
    exportName = text(fileOffset(u32(dir + 12)));
    const uint32_t names = u32(dir + 24);
    const size_t nameTable = fileOffset(u32(dir + 32));
    for (uint32_t i = 0; nameTable && i < names && i < 4096; ++i)
      exports.push_back(text(fileOffset(u32(nameTable + 4 * i))));
  }

  void readImports(uint32_t rva) {
    size_t d = rva ? fileOffset(rva) : 0;
    for (int n = 0; d && u32(d + 12) && n < 256; ++n, d += 20)
      imports.push_back(text(fileOffset(u32(d + 12))));
  }

  // Resource tree: type, then name, then language; the version block is
  // the first leaf under type 16.
  void readVersion(uint32_t rva) {
    const size_t root = rva ? fileOffset(rva) : 0;
    if (!root) return;
    uint32_t entry = findEntry(root, 16);
    for (int level = 0; level < 2 && (entry & 0x80000000u); ++level)
      entry = firstEntry(root + (entry & 0x7FFFFFFFu));
    if (!entry || (entry & 0x80000000u)) return;
    const size_t leaf = root + entry;
    const size_t data = fileOffset(u32(leaf));
    const uint32_t size = u32(leaf + 4);
    if (!data || data + size > bytes.size()) return;
    for (size_t i = data; i + 2 <= data + size; i += 2)
      versionResource += char16_t(u16(i));
    for (size_t i = data; i + 52 <= data + size; i += 4)
      if (u32(i) == 0xFEEF04BD) {  // the fixed file information
        fileVersionMs = u32(i + 8);
        fileVersionLs = u32(i + 12);
        productVersionMs = u32(i + 16);
        productVersionLs = u32(i + 20);
        break;
      }
  }

  // The entry of a resource directory with the numeric id, or 0.
  uint32_t findEntry(size_t dir, uint32_t id) const {
    const uint32_t count = uint32_t(u16(dir + 12)) + u16(dir + 14);
    for (uint32_t i = 0; i < count && i < 1024; ++i)
      if (u32(dir + 16 + 8 * i) == id) return u32(dir + 20 + 8 * i);
    return 0;
  }
  // The first entry of a resource directory (names and ids alike), or 0.
  uint32_t firstEntry(size_t dir) const {
    return uint32_t(u16(dir + 12)) + u16(dir + 14) ? u32(dir + 20) : 0;
  }
};

// The UTF-16 text of s, to look for strings of a version resource.
inline std::u16string utf16(const std::string &s) {
  return std::u16string(s.begin(), s.end());
}

}  // namespace qxtest
