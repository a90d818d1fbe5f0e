// A Windows PE image read as a file, without loading or running it, for the
// tests that check the win32 build's products: the machine, the kind of
// image, the exported names, the imported DLLs and the version resource.
// The client's own bounded PE reader (scan/pe_image.h) does the reading, so
// a damaged or truncated image gives empty results, never a read past its
// end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "scan/pe_image.h"

namespace qxtest {

struct PeImage {
  static constexpr uint16_t kMachineI386 = qx::scan::pe::kMachineI386;
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

  bool isDll() const { return (characteristics & qx::scan::pe::kFileDll) != 0; }

  // True when the headers are those of a PE image; fills the fields.
  bool parse() {
    namespace pe = qx::scan::pe;
    if (pe::parseHeaders(bytes.data(), bytes.size(), headers_) != nullptr)
      return false;
    view_ = pe::fileView(bytes.data(), bytes.size());
    machine = headers_.machine;
    characteristics = headers_.characteristics;
    optionalMagic = headers_.wide ? 0x20B : kPe32Magic;
    dllCharacteristics = headers_.dllCharacteristics;
    loadConfigSize = headers_.directories[pe::kLoadConfigDirectory].size;
    readExports();
    readImports();
    readVersion();
    return true;
  }

 private:
  qx::scan::pe::Headers headers_{};
  qx::scan::pe::View view_{};

  static std::string str(qx::scan::pe::Text t) {
    return std::string(t.data, t.length);
  }

  void readExports() {
    namespace pe = qx::scan::pe;
    pe::Exports e;
    if (!pe::readExports(headers_, view_, e)) return;
    pe::Text name;
    if (pe::textAt(headers_, view_, e.moduleName, pe::kMaxNameLength, name))
      exportName = str(name);
    uint32_t slot;
    for (uint32_t i = 0; i < e.nameCount; ++i)
      if (pe::exportName(headers_, view_, e, i, name, slot))
        exports.push_back(str(name));
  }

  void readImports() {
    namespace pe = qx::scan::pe;
    pe::ImportCursor cursor{};
    pe::ImportModule module;
    pe::Text name;
    while (pe::nextImportModule(headers_, view_, cursor, module) ==
           pe::Read::Item)
      if (pe::textAt(headers_, view_, module.name, pe::kMaxNameLength, name))
        imports.push_back(str(name));
  }

  uint32_t u32(uint32_t rva) const {
    const uint8_t *p = qx::scan::pe::bytesAt(headers_, view_, rva, 4);
    return p ? uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 |
                   uint32_t(p[3]) << 24
             : 0;
  }
  uint16_t u16(uint32_t rva) const {
    const uint8_t *p = qx::scan::pe::bytesAt(headers_, view_, rva, 2);
    return p ? uint16_t(p[0] | p[1] << 8) : 0;
  }

  // Resource tree: type, then name, then language; the version block is
  // the first leaf under type 16. Offsets inside the tree are from its root.
  void readVersion() {
    namespace pe = qx::scan::pe;
    const uint32_t root = headers_.directories[pe::kResourceDirectory].rva;
    if (!root) return;
    uint32_t entry = findEntry(root, 16);
    for (int level = 0; level < 2 && (entry & 0x80000000u); ++level)
      entry = firstEntry(root + (entry & 0x7FFFFFFFu));
    if (!entry || (entry & 0x80000000u)) return;
    const uint32_t data = u32(root + entry), size = u32(root + entry + 4);
    const uint8_t *block = pe::bytesAt(headers_, view_, data, size);
    if (!block) return;
    for (uint32_t i = 0; i + 2 <= size; i += 2)
      versionResource += char16_t(block[i] | block[i + 1] << 8);
    for (uint32_t i = 0; i + 52 <= size; i += 4)
      if (u32(data + i) == 0xFEEF04BD) {  // the fixed file information
        fileVersionMs = u32(data + i + 8);
        fileVersionLs = u32(data + i + 12);
        productVersionMs = u32(data + i + 16);
        productVersionLs = u32(data + i + 20);
        break;
      }
  }

  // The entry of a resource directory with the numeric id, or 0.
  uint32_t findEntry(uint32_t dir, uint32_t id) const {
    const uint32_t count = uint32_t(u16(dir + 12)) + u16(dir + 14);
    for (uint32_t i = 0; i < count && i < 1024; ++i)
      if (u32(dir + 16 + 8 * i) == id) return u32(dir + 20 + 8 * i);
    return 0;
  }
  // The first entry of a resource directory (names and ids alike), or 0.
  uint32_t firstEntry(uint32_t dir) const {
    return uint32_t(u16(dir + 12)) + u16(dir + 14) ? u32(dir + 20) : 0;
  }
};

// The UTF-16 text of s, to look for strings of a version resource.
inline std::u16string utf16(const std::string &s) {
  return std::u16string(s.begin(), s.end());
}

}  // namespace qxtest
