// Builds small Windows program images byte by byte for the tests of the PE
// reader and of what reads images in memory: PE32 or PE32+, with sections
// of given bytes, an export directory (names, ordinals, forwarders), import
// descriptors (by name and by ordinal) and base relocations. build() gives
// the file as a linker writes it, mapped() the image as a loader maps it
// (without applying anything). The tests then damage the bytes as they
// need.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace qxtest {

class PeBuilder {
 public:
  static constexpr uint32_t kSectionAlignment = 0x1000;
  static constexpr uint32_t kFileAlignment = 0x200;
  static constexpr uint32_t kHeadersSize = 0x400;
  static constexpr uint32_t kCode = 0x60000020;  // code, execute, read
  static constexpr uint32_t kData = 0xC0000040;  // initialised, read, write

  bool wide = false;
  uint64_t imageBase = 0x10000000;
  uint16_t fileCharacteristics = 0x2102;  // DLL, 32-bit, executable

  struct Section {
    std::string name;
    std::vector<uint8_t> bytes;
    uint32_t characteristics;
    uint32_t virtualSize;  // 0: as many as bytes
  };

  struct Export {
    std::string name;       // empty: by ordinal only
    uint32_t rva;           // the function (ignored for a forwarder)
    std::string forwarder;  // "MODULE.Name" or "MODULE.#7"
  };
  std::string exportModule = "test.dll";
  uint32_t ordinalBase = 1;
  std::vector<Export> exports;  // slot i has ordinal ordinalBase + i

  struct Import {
    std::string name;  // empty: by ordinal
    uint16_t ordinalOrHint;
  };
  struct ImportModule {
    std::string module;
    std::vector<Import> functions;
    bool withLookupTable = true;
  };
  std::vector<ImportModule> imports;
  uint32_t importCharacteristics = kData;  // kCode: merged into the code
  // Delay-load descriptors (RVA-based); their slots hold the address of
  // imageBase + delayStubRva, as before the first call.
  std::vector<ImportModule> delayImports;
  uint32_t delayStubRva = 0;

  std::vector<std::pair<uint32_t, uint8_t>> relocations;  // rva, type

  // Adds a section and returns its RVA; sections follow each other one
  // alignment apart, in the order they are added.
  uint32_t addSection(const std::string &name, std::vector<uint8_t> bytes,
                      uint32_t characteristics, uint32_t virtualSize = 0) {
    const uint32_t rva = nextRva();
    sections_.push_back({name, std::move(bytes), characteristics, virtualSize});
    rvas_.push_back(rva);
    return rva;
  }

  // Where the tables go once built (valid after build()).
  uint32_t exportRva = 0, importRva = 0, relocationRva = 0, delayRva = 0;
  uint32_t importAddressRva = 0, importAddressSize = 0;
  std::vector<uint32_t> slotRvas;       // per import module: its address table
  std::vector<uint32_t> delaySlotRvas;  // per delay-load module

  std::vector<uint8_t> build() {
    std::vector<Section> all = sections_;
    std::vector<uint32_t> rvas = rvas_;
    // Each table is laid out for the RVA its section will have.
    auto add = [&](const char *name, std::vector<uint8_t> bytes,
                   uint32_t characteristics = kData) {
      rvas.push_back(nextRva(all, rvas));
      all.push_back({name, std::move(bytes), characteristics, 0});
      return rvas.back();
    };
    if (!exports.empty())
      exportRva = add(".edata", exportTable(nextRva(all, rvas)));
    if (!imports.empty())
      importRva =
          add(".idata", importTable(nextRva(all, rvas)), importCharacteristics);
    if (!delayImports.empty())
      delayRva = add(".didat", delayTable(nextRva(all, rvas)));
    if (!relocations.empty()) relocationRva = add(".reloc", relocationTable());
    const uint32_t sizeOfImage = nextRva(all, rvas);

    std::vector<uint8_t> file(kHeadersSize, 0);
    file[0] = 'M';
    file[1] = 'Z';
    const uint32_t pe = 0x80;
    put32(file, 0x3C, pe);
    std::memcpy(&file[pe], "PE\0\0", 4);
    const uint32_t fh = pe + 4;
    put16(file, fh, wide ? 0x8664 : 0x014C);
    put16(file, fh + 2, static_cast<uint16_t>(all.size()));
    const uint16_t optionalSize = wide ? 240 : 224;
    put16(file, fh + 16, optionalSize);
    put16(file, fh + 18, fileCharacteristics);
    const uint32_t opt = fh + 20;
    put16(file, opt, wide ? 0x20B : 0x10B);
    if (wide)
      put64(file, opt + 24, imageBase);
    else
      put32(file, opt + 28, static_cast<uint32_t>(imageBase));
    put32(file, opt + 32, kSectionAlignment);
    put32(file, opt + 36, kFileAlignment);
    put32(file, opt + 56, sizeOfImage);
    put32(file, opt + 60, kHeadersSize);
    const uint32_t dirs = opt + (wide ? 112 : 96);
    put32(file, dirs - 4, 16);
    auto directory = [&](int index, uint32_t rva, uint32_t length) {
      put32(file, dirs + 8 * index, rva);
      put32(file, dirs + 8 * index + 4, length);
    };
    if (exportRva) directory(0, exportRva, exportSize_);
    if (importRva) directory(1, importRva, 20 * uint32_t(imports.size() + 1));
    if (relocationRva) directory(5, relocationRva, relocationSize_);
    if (importAddressSize) directory(12, importAddressRva, importAddressSize);
    if (delayRva)
      directory(13, delayRva, 32 * uint32_t(delayImports.size() + 1));

    uint32_t table = opt + optionalSize;
    for (size_t i = 0; i < all.size(); ++i, table += 40) {
      const Section &s = all[i];
      std::memcpy(&file[table], s.name.data(),
                  std::min<size_t>(8, s.name.size()));
      put32(file, table + 8, s.virtualSize ? s.virtualSize : size(s));
      put32(file, table + 12, rvas[i]);
      const uint32_t raw = align(uint32_t(s.bytes.size()), kFileAlignment);
      put32(file, table + 16, raw);
      put32(file, table + 20, static_cast<uint32_t>(file.size()));
      put32(file, table + 36, s.characteristics);
      std::vector<uint8_t> bytes = s.bytes;
      bytes.resize(raw, 0);
      file.insert(file.end(), bytes.begin(), bytes.end());
    }
    mapped_.assign(sizeOfImage, 0);
    std::memcpy(mapped_.data(), file.data(), kHeadersSize);
    for (size_t i = 0; i < all.size(); ++i)
      std::copy(all[i].bytes.begin(), all[i].bytes.end(),
                mapped_.begin() + rvas[i]);
    return file;
  }

  // The image as a loader maps it, from the last build().
  const std::vector<uint8_t> &mapped() const { return mapped_; }

  static void put16(std::vector<uint8_t> &b, size_t at, uint16_t v) {
    b[at] = uint8_t(v);
    b[at + 1] = uint8_t(v >> 8);
  }
  static void put32(std::vector<uint8_t> &b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
  }
  static void put64(std::vector<uint8_t> &b, size_t at, uint64_t v) {
    for (int i = 0; i < 8; ++i) b[at + i] = uint8_t(v >> (8 * i));
  }

 private:
  std::vector<Section> sections_;
  std::vector<uint32_t> rvas_;
  std::vector<uint8_t> mapped_;
  uint32_t exportSize_ = 0, relocationSize_ = 0;

  static uint32_t align(uint32_t v, uint32_t a) { return (v + a - 1) / a * a; }
  static uint32_t size(const Section &s) {
    return std::max<uint32_t>(uint32_t(s.bytes.size()), s.virtualSize);
  }
  uint32_t nextRva() const { return nextRva(sections_, rvas_); }
  static uint32_t nextRva(const std::vector<Section> &all,
                          const std::vector<uint32_t> &rvas) {
    return rvas.empty()
               ? kSectionAlignment
               : align(rvas.back() + size(all.back()), kSectionAlignment);
  }
  static void text(std::vector<uint8_t> &b, const std::string &s) {
    b.insert(b.end(), s.begin(), s.end());
    b.push_back(0);
  }

  // Directory, address table, name pointers, name ordinals, then the
  // module name, the names and the forwarders' texts, all inside the range
  // the directory entry gives (as linkers lay them out).
  std::vector<uint8_t> exportTable(uint32_t rva) {
    std::vector<size_t> named;
    for (size_t i = 0; i < exports.size(); ++i)
      if (!exports[i].name.empty()) named.push_back(i);
    std::sort(named.begin(), named.end(), [&](size_t a, size_t b) {
      return exports[a].name < exports[b].name;
    });
    const uint32_t functions = 40,
                   names = functions + 4 * uint32_t(exports.size());
    const uint32_t ordinals = names + 4 * uint32_t(named.size());
    std::vector<uint8_t> b(ordinals + 2 * named.size(), 0);
    put32(b, 12, rva + uint32_t(b.size()));
    text(b, exportModule);
    put32(b, 16, ordinalBase);
    put32(b, 20, uint32_t(exports.size()));
    put32(b, 24, uint32_t(named.size()));
    put32(b, 28, rva + functions);
    put32(b, 32, rva + names);
    put32(b, 36, rva + ordinals);
    for (size_t k = 0; k < named.size(); ++k) {
      put32(b, names + 4 * k, rva + uint32_t(b.size()));
      put16(b, ordinals + 2 * k, uint16_t(named[k]));
      text(b, exports[named[k]].name);
    }
    for (size_t i = 0; i < exports.size(); ++i) {
      if (exports[i].forwarder.empty()) {
        put32(b, functions + 4 * i, exports[i].rva);
      } else {
        put32(b, functions + 4 * i, rva + uint32_t(b.size()));
        text(b, exports[i].forwarder);
      }
    }
    exportSize_ = uint32_t(b.size());
    return b;
  }

  // A lookup entry for fn: an ordinal, or the RVA of a hint/name entry
  // appended to b (whose first byte lies at rva).
  uint64_t lookupEntry(std::vector<uint8_t> &b, uint32_t rva,
                       const Import &fn) {
    if (fn.name.empty())
      return (wide ? uint64_t{1} << 63 : uint64_t{1} << 31) | fn.ordinalOrHint;
    const uint64_t value = rva + uint32_t(b.size());
    b.push_back(uint8_t(fn.ordinalOrHint));
    b.push_back(uint8_t(fn.ordinalOrHint >> 8));
    text(b, fn.name);
    return value;
  }
  void putEntry(std::vector<uint8_t> &b, size_t at, uint64_t value) {
    if (wide)
      put64(b, at, value);
    else
      put32(b, at, uint32_t(value));
  }

  // Descriptors (attributes 1: RVAs), then per module its module handle's
  // variable, names, slots and module name.
  std::vector<uint8_t> delayTable(uint32_t rva) {
    const uint32_t width = wide ? 8 : 4;
    std::vector<uint8_t> b(32 * (delayImports.size() + 1), 0);
    delaySlotRvas.clear();
    for (size_t m = 0; m < delayImports.size(); ++m) {
      const ImportModule &module = delayImports[m];
      const uint32_t entries = uint32_t(module.functions.size() + 1) * width;
      const uint32_t handle = uint32_t(b.size());
      const uint32_t names = handle + 8, slots = names + entries;
      b.resize(slots + entries, 0);
      const uint32_t name = uint32_t(b.size());
      text(b, module.module);
      put32(b, 32 * m, 1);
      put32(b, 32 * m + 4, rva + name);
      put32(b, 32 * m + 8, rva + handle);
      put32(b, 32 * m + 12, rva + slots);
      put32(b, 32 * m + 16, rva + names);
      delaySlotRvas.push_back(rva + slots);
      for (size_t f = 0; f < module.functions.size(); ++f) {
        putEntry(b, names + width * f,
                 lookupEntry(b, rva, module.functions[f]));
        putEntry(b, slots + width * f, imageBase + delayStubRva);
      }
    }
    return b;
  }

  // Descriptors, then per module its lookup table, address table, module
  // name and hint/name entries.
  std::vector<uint8_t> importTable(uint32_t rva) {
    const uint32_t width = wide ? 8 : 4;
    std::vector<uint8_t> b(20 * (imports.size() + 1), 0);
    slotRvas.clear();
    importAddressRva = 0;
    for (size_t m = 0; m < imports.size(); ++m) {
      const ImportModule &module = imports[m];
      const uint32_t entries = uint32_t(module.functions.size() + 1) * width;
      const uint32_t lookup = uint32_t(b.size());
      const uint32_t address = lookup + entries;
      b.resize(address + entries, 0);
      const uint32_t name = uint32_t(b.size());
      text(b, module.module);
      put32(b, 20 * m, module.withLookupTable ? rva + lookup : 0);
      put32(b, 20 * m + 12, rva + name);
      put32(b, 20 * m + 16, rva + address);
      slotRvas.push_back(rva + address);
      if (!importAddressRva) importAddressRva = rva + address;
      importAddressSize = rva + address + entries - importAddressRva;
      for (size_t f = 0; f < module.functions.size(); ++f) {
        const uint64_t value = lookupEntry(b, rva, module.functions[f]);
        for (uint32_t table : {lookup, address})
          putEntry(b, table + width * f, value);
      }
    }
    return b;
  }

  // One block per page, in the order the relocations come.
  std::vector<uint8_t> relocationTable() {
    std::vector<uint8_t> b;
    size_t i = 0;
    while (i < relocations.size()) {
      const uint32_t page = relocations[i].first & ~0xFFFu;
      const size_t block = b.size();
      b.resize(block + 8, 0);
      put32(b, block, page);
      for (; i < relocations.size() && (relocations[i].first & ~0xFFFu) == page;
           ++i) {
        const uint16_t entry = uint16_t(relocations[i].second << 12 |
                                        (relocations[i].first & 0xFFF));
        b.push_back(uint8_t(entry));
        b.push_back(uint8_t(entry >> 8));
      }
      if ((b.size() - block) % 4) b.insert(b.end(), {0, 0});  // padding
      put32(b, block + 4, uint32_t(b.size() - block));
    }
    relocationSize_ = uint32_t(b.size());
    return b;
  }
};

}  // namespace qxtest
