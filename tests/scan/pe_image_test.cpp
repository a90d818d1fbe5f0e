// The PE reader on images built byte by byte (both kinds, both layouts,
// damaged on purpose), on the real DLLs and programs of the win32 build read
// as files, and, under Wine, against what the system's loader made of the
// same files in memory.
#include "scan/pe_image.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

#include "fake_host.h"
#include "pe_builder.h"

namespace pe = qx::scan::pe;
using qxtest::PeBuilder;

namespace {

std::string str(pe::Text t) { return std::string(t.data, t.length); }

// A DLL with code, data, exports of every kind, imports and relocations.
PeBuilder sampleImage(bool wide) {
  PeBuilder b;
  b.wide = wide;
  b.imageBase = wide ? 0x180000000ull : 0x10000000u;
  std::vector<uint8_t> code(0x300, 0xCC);
  const uint32_t text = b.addSection(".text", code, PeBuilder::kCode);
  b.addSection(".data", std::vector<uint8_t>(0x40, 0x11), PeBuilder::kData,
               0x2000);
  b.ordinalBase = 5;
  b.exports = {{"Zeta", text + 0x10, ""},
               {"", text + 0x20, ""},  // ordinal 6, no name
               {"Alpha", 0, "OTHER.Target"},
               {"Mid", 0, "OTHER.#12"},
               {"Beta", text + 0x30, ""}};
  b.imports = {{"KERNEL32.dll", {{"GetTickCount", 7}, {"", 42}}, true},
               {"user32.dll", {{"MessageBoxA", 0}}, true}};
  return b;
}

struct Parsed {
  std::vector<uint8_t> bytes;
  pe::Headers headers;
  pe::View view;
};

void parse(Parsed &p, std::vector<uint8_t> bytes, pe::Layout layout) {
  p.bytes = std::move(bytes);
  ASSERT_EQ(pe::parseHeaders(p.bytes.data(), p.bytes.size(), p.headers),
            nullptr);
  p.view = {p.bytes.data(), p.bytes.size(), 0, layout};
}

// ---- headers ----------------------------------------------------------------

TEST(PeHeaders, ReadsBothKindsInBothLayouts) {
  for (bool wide : {false, true}) {
    PeBuilder b = sampleImage(wide);
    const std::vector<uint8_t> file = b.build();
    for (const std::vector<uint8_t> *bytes : {&file, &b.mapped()}) {
      SCOPED_TRACE(wide ? "PE32+" : "PE32");
      pe::Headers h;
      ASSERT_EQ(pe::parseHeaders(bytes->data(), bytes->size(), h), nullptr);
      EXPECT_EQ(h.wide, wide);
      EXPECT_EQ(h.machine, wide ? pe::kMachineAmd64 : pe::kMachineI386);
      EXPECT_EQ(h.imageBase, b.imageBase);
      EXPECT_EQ(h.directoryCount, 16u);
      EXPECT_EQ(h.sizeOfImage, b.mapped().size());
      ASSERT_EQ(h.sectionCount, 4u);  // .text .data .edata .idata
      EXPECT_STREQ(h.sections[0].name, ".text");
      EXPECT_TRUE(h.sections[0].characteristics & pe::kSectionExecute);
      EXPECT_EQ(h.sections[1].mappedSize, 0x2000u);  // more than the file
      EXPECT_EQ(h.directories[pe::kExportDirectory].rva, b.exportRva);
    }
  }
}

TEST(PeHeaders, RefusesWhatIsNoImage) {
  PeBuilder b = sampleImage(false);
  const std::vector<uint8_t> good = b.build();
  const uint32_t pe = 0x80, optional = pe + 24;
  struct Case {
    const char *what;
    std::function<void(std::vector<uint8_t> &)> damage;
    const char *error;
  } cases[] = {
      {"no MZ", [](auto &f) { f[0] = 'X'; }, "not an MZ file"},
      {"PE offset beyond the file",
       [](auto &f) { PeBuilder::put32(f, 0x3C, 0xFFFFFFF0u); },
       "truncated headers"},
      {"no PE signature", [&](auto &f) { f[pe + 1] = 'X'; }, "no PE signature"},
      {"unknown optional header", [&](auto &f) { f[optional] = 7; },
       "unknown optional header"},
      {"optional header too short",
       [&](auto &f) { PeBuilder::put16(f, pe + 20, 90); },
       "truncated optional header"},
      {"optional header beyond the file",
       [&](auto &f) { PeBuilder::put16(f, pe + 20, 0xFFFF); },
       "truncated optional header"},
      {"too many sections", [&](auto &f) { PeBuilder::put16(f, pe + 6, 97); },
       "too many sections"},
      {"section table beyond the file",
       [&](auto &f) {
         PeBuilder::put16(f, pe + 6, 90);
         f.resize(0x400);
       },
       "truncated section table"},
      {"section beyond the image",
       [&](auto &f) { PeBuilder::put32(f, optional + 56, 0x1800); },
       "section beyond the image"},
      {"section wrapping around",
       [&](auto &f) { PeBuilder::put32(f, optional + 224 + 12, 0xFFFFF000u); },
       "section beyond the image"},
  };
  for (const Case &c : cases) {
    std::vector<uint8_t> bad = good;
    c.damage(bad);
    pe::Headers h;
    EXPECT_STREQ(pe::parseHeaders(bad.data(), bad.size(), h), c.error)
        << c.what;
  }
  pe::Headers h;
  EXPECT_STREQ(pe::parseHeaders(nullptr, 0, h), "truncated headers");
}

// Fewer directories than 16, as the image declares them, leave the rest
// empty; a declared count beyond 16 reads the 16 the header holds.
TEST(PeHeaders, DirectoryCountIsBoundedByTheOptionalHeader) {
  PeBuilder b = sampleImage(false);
  std::vector<uint8_t> f = b.build();
  const uint32_t count = 0x80 + 24 + 92;
  PeBuilder::put32(f, count, 1);
  pe::Headers h;
  ASSERT_EQ(pe::parseHeaders(f.data(), f.size(), h), nullptr);
  EXPECT_EQ(h.directoryCount, 1u);
  pe::Exports e;
  EXPECT_TRUE(pe::readExports(h, pe::fileView(f.data(), f.size()), e));
  pe::ImportCursor cursor{};
  pe::ImportModule m;
  EXPECT_EQ(
      pe::nextImportModule(h, pe::fileView(f.data(), f.size()), cursor, m),
      pe::Read::End);
  PeBuilder::put32(f, count, 0xFFFFFFFF);
  ASSERT_EQ(pe::parseHeaders(f.data(), f.size(), h), nullptr);
  EXPECT_EQ(h.directoryCount, 16u);
}

// ---- views ------------------------------------------------------------------

TEST(PeViews, FileBytesAreOnlyWhatTheFileHolds) {
  PeBuilder b = sampleImage(false);
  Parsed p;
  parse(p, b.build(), pe::Layout::File);
  const pe::Section &data = p.headers.sections[1];
  ASSERT_EQ(data.fileSize, 0x200u);
  EXPECT_NE(pe::bytesAt(p.headers, p.view, data.rva, 0x200), nullptr);
  EXPECT_EQ(*pe::bytesAt(p.headers, p.view, data.rva, 1), 0x11);
  // Beyond the file's part of the section: zeros in memory, nothing in the
  // file to read.
  EXPECT_EQ(pe::bytesAt(p.headers, p.view, data.rva, 0x201), nullptr);
  EXPECT_EQ(pe::bytesAt(p.headers, p.view, data.rva + 0x1000, 4), nullptr);
  // A range may not run from one section into the next.
  const pe::Section &text = p.headers.sections[0];
  EXPECT_EQ(pe::bytesAt(p.headers, p.view, text.rva + text.mappedSize - 2, 4),
            nullptr);
  // The headers, and nothing between them and the first section.
  EXPECT_EQ(pe::bytesAt(p.headers, p.view, 0, 2)[0], 'M');
  EXPECT_EQ(pe::bytesAt(p.headers, p.view, 0x3FE, 4), nullptr);
  EXPECT_EQ(pe::bytesAt(p.headers, p.view, 0xFFFFFFFF, 2), nullptr);
  EXPECT_EQ(pe::sectionAt(p.headers, 0x500), nullptr);
}

TEST(PeViews, AWindowHoldsOnlyItsPart) {
  PeBuilder b = sampleImage(false);
  b.build();
  const std::vector<uint8_t> &image = b.mapped();
  pe::Headers h;
  ASSERT_EQ(pe::parseHeaders(image.data(), 0x400, h), nullptr);
  const pe::Directory dir = h.directories[pe::kExportDirectory];
  // Only the export directory's bytes, copied from where they are mapped.
  std::vector<uint8_t> part(image.begin() + dir.rva,
                            image.begin() + dir.rva + dir.size);
  const pe::View window = pe::mappedView(part.data(), part.size(), dir.rva);
  pe::Exports e;
  ASSERT_TRUE(pe::readExports(h, window, e));
  pe::Export x;
  EXPECT_TRUE(pe::findExport(h, window, e, "Beta", 4, 0, x));
  EXPECT_EQ(pe::bytesAt(h, window, dir.rva - 1, 2), nullptr);
  EXPECT_EQ(pe::bytesAt(h, window, dir.rva + dir.size - 1, 2), nullptr);
  // A name whose terminator lies beyond the window is no name.
  pe::Text t;
  EXPECT_TRUE(pe::textAt(h, window, e.moduleName, 255, t));
  EXPECT_EQ(str(t), "test.dll");
  EXPECT_FALSE(pe::textAt(h, window, e.moduleName, 3, t));
  part.back() = 'x';
  EXPECT_FALSE(pe::textAt(h, window, dir.rva + dir.size - 1, 255, t));
}

// ---- exports ----------------------------------------------------------------

TEST(PeExports, NamesOrdinalsAndForwardersInBothLayouts) {
  for (bool wide : {false, true}) {
    PeBuilder b = sampleImage(wide);
    const std::vector<uint8_t> file = b.build();
    const uint32_t text = 0x1000;  // the first section
    for (pe::Layout layout : {pe::Layout::File, pe::Layout::Mapped}) {
      SCOPED_TRACE(std::string(wide ? "PE32+ " : "PE32 ") +
                   (layout == pe::Layout::File ? "file" : "mapped"));
      Parsed p;
      parse(p, layout == pe::Layout::File ? file : b.mapped(), layout);
      pe::Exports e;
      ASSERT_TRUE(pe::readExports(p.headers, p.view, e));
      EXPECT_EQ(e.functionCount, 5u);
      EXPECT_EQ(e.nameCount, 4u);
      pe::Export x;
      // By name, with a wrong hint and with the right one (Zeta is last).
      ASSERT_TRUE(pe::findExport(p.headers, p.view, e, "Zeta", 4, 0, x));
      EXPECT_EQ(x.rva, text + 0x10);
      EXPECT_EQ(x.ordinal, 5u);
      EXPECT_FALSE(x.forwarded);
      ASSERT_TRUE(pe::findExport(p.headers, p.view, e, "Zeta", 4, 3, x));
      EXPECT_EQ(x.ordinal, 5u);
      EXPECT_FALSE(pe::findExport(p.headers, p.view, e, "Zet", 3, 0, x));
      EXPECT_FALSE(pe::findExport(p.headers, p.view, e, "Zetas", 5, 0, x));
      EXPECT_FALSE(pe::findExport(p.headers, p.view, e, "zeta", 4, 0, x));
      // By ordinal: the unnamed one, and none below the base or past the end.
      ASSERT_TRUE(pe::findExportByOrdinal(p.headers, p.view, e, 6, x));
      EXPECT_EQ(x.rva, text + 0x20);
      EXPECT_FALSE(pe::findExportByOrdinal(p.headers, p.view, e, 4, x));
      EXPECT_FALSE(pe::findExportByOrdinal(p.headers, p.view, e, 10, x));
      // Forwarders, by name and by ordinal.
      pe::Forwarder f;
      ASSERT_TRUE(pe::findExport(p.headers, p.view, e, "Alpha", 5, 0, x));
      ASSERT_TRUE(x.forwarded);
      ASSERT_TRUE(pe::readForwarder(p.headers, p.view, x, f));
      EXPECT_EQ(str(f.module), "OTHER");
      EXPECT_EQ(str(f.name), "Target");
      ASSERT_TRUE(pe::findExport(p.headers, p.view, e, "Mid", 3, 0, x));
      ASSERT_TRUE(pe::readForwarder(p.headers, p.view, x, f));
      EXPECT_EQ(f.name.length, 0u);
      EXPECT_EQ(f.ordinal, 12u);
      // The name table in its sorted order, each naming its slot.
      std::vector<std::string> names;
      for (uint32_t i = 0; i < e.nameCount; ++i) {
        pe::Text name;
        uint32_t slot;
        ASSERT_TRUE(pe::exportName(p.headers, p.view, e, i, name, slot));
        names.push_back(str(name) + "@" + std::to_string(slot));
      }
      EXPECT_EQ(names, (std::vector<std::string>{"Alpha@2", "Beta@4", "Mid@3",
                                                 "Zeta@0"}));
    }
  }
}

TEST(PeExports, ForwarderTexts) {
  struct Case {
    const char *text;
    const char *module;  // null: refused
    const char *name;
    uint32_t ordinal;
  } cases[] = {
      {"NTDLL.RtlAllocateHeap", "NTDLL", "RtlAllocateHeap", 0},
      {"api-ms-win-core-x-l1-1-0.Sleep", "api-ms-win-core-x-l1-1-0", "Sleep",
       0},
      {"a.b.Func", "a.b", "Func",
       0},  // the module is what lies before the last dot
      {"KERNEL32.#1", "KERNEL32", "", 1},
      {"KERNEL32.#65535", "KERNEL32", "", 65535},
      {"NoDot", nullptr, nullptr, 0},
      {".Func", nullptr, nullptr, 0},
      {"MODULE.", nullptr, nullptr, 0},
      {"MODULE.#", nullptr, nullptr, 0},
      {"MODULE.#0", nullptr, nullptr, 0},
      {"MODULE.#65536", nullptr, nullptr, 0},
      {"MODULE.#1x", nullptr, nullptr, 0},
  };
  for (const Case &c : cases) {
    PeBuilder b = sampleImage(false);
    b.exports = {{"F", 0, c.text}};
    Parsed p;
    parse(p, b.build(), pe::Layout::File);
    pe::Exports e;
    pe::Export x;
    pe::Forwarder f;
    ASSERT_TRUE(pe::readExports(p.headers, p.view, e));
    ASSERT_TRUE(pe::exportAt(p.headers, p.view, e, 0, x));
    ASSERT_EQ(pe::readForwarder(p.headers, p.view, x, f), c.module != nullptr)
        << c.text;
    if (!c.module) continue;
    EXPECT_EQ(str(f.module), c.module);
    EXPECT_EQ(str(f.name), c.name);
    EXPECT_EQ(f.ordinal, c.ordinal);
  }
}

TEST(PeExports, DamagedTablesAreRefused) {
  PeBuilder b = sampleImage(false);
  const std::vector<uint8_t> good = b.build();
  struct Case {
    const char *what;
    size_t field;
    uint32_t value;
  } cases[] = {
      {"address table beyond the file", 28, 0xFFFFFF00u},
      {"function count beyond the file", 20, 0x01000000u},
      {"function count overflowing", 20, 0xFFFFFFFFu},
      {"name count beyond the file", 24, 0x01000000u},
      {"name count overflowing", 24, 0x40000000u},
  };
  pe::Headers h;
  ASSERT_EQ(pe::parseHeaders(good.data(), good.size(), h), nullptr);
  const pe::Section &edata = h.sections[2];
  const uint32_t dir = edata.fileOffset + (b.exportRva - edata.rva);
  for (const Case &c : cases) {
    std::vector<uint8_t> bad = good;
    PeBuilder::put32(bad, dir + c.field, c.value);
    pe::Exports e;
    EXPECT_FALSE(pe::readExports(h, pe::fileView(bad.data(), bad.size()), e))
        << c.what;
  }
  // A name pointer that leads nowhere ends the search without an answer,
  // and a name's ordinal beyond the address table names nothing.
  std::vector<uint8_t> bad = good;
  pe::Exports e;
  const pe::View view = pe::fileView(bad.data(), bad.size());
  ASSERT_TRUE(pe::readExports(h, view, e));
  const uint32_t names = edata.fileOffset + (e.names - edata.rva);
  PeBuilder::put32(bad, names + 4 * 1, 0x7FFFFFF0u);
  pe::Export x;
  EXPECT_FALSE(pe::findExport(h, view, e, "Beta", 4, 0, x));
  const uint32_t ordinals = edata.fileOffset + (e.nameOrdinals - edata.rva);
  PeBuilder::put16(bad, ordinals, 9);  // Alpha
  EXPECT_FALSE(pe::findExport(h, view, e, "Alpha", 5, 0, x));
}

// ---- imports ----------------------------------------------------------------

std::vector<std::string> importList(const Parsed &p) {
  std::vector<std::string> out;
  pe::ImportCursor cursor{};
  pe::ImportModule m;
  pe::Read read;
  while ((read = pe::nextImportModule(p.headers, p.view, cursor, m)) ==
         pe::Read::Item) {
    pe::Text module;
    if (!pe::textAt(p.headers, p.view, m.name, 255, module)) {
      out.push_back("module?");
      continue;
    }
    for (uint32_t i = 0;; ++i) {
      pe::ImportedFunction f;
      const pe::Read r = pe::importedFunction(p.headers, p.view, m, i, f);
      if (r == pe::Read::End) break;
      if (r == pe::Read::Broken) {
        out.push_back(str(module) + " broken");
        break;
      }
      out.push_back(str(module) + "!" +
                    (f.byOrdinal ? "#" + std::to_string(f.ordinal)
                                 : str(f.name) + "/" + std::to_string(f.hint)) +
                    "@" + std::to_string(f.slot - m.addressTable));
    }
  }
  if (read == pe::Read::Broken) out.push_back("broken");
  return out;
}

TEST(PeImports, ByNameAndByOrdinal) {
  for (bool wide : {false, true}) {
    SCOPED_TRACE(wide ? "PE32+" : "PE32");
    PeBuilder b = sampleImage(wide);
    Parsed p;
    parse(p, b.build(), pe::Layout::File);
    const std::string w = wide ? "8" : "4";
    EXPECT_EQ(importList(p),
              (std::vector<std::string>{"KERNEL32.dll!GetTickCount/7@0",
                                        "KERNEL32.dll!#42@" + w,
                                        "user32.dll!MessageBoxA/0@0"}));
    // The slots as the file holds them; in memory the loader's addresses.
    uint64_t slot = 0;
    ASSERT_TRUE(pe::readAddressSlot(p.headers, p.view,
                                    b.slotRvas[0] + (wide ? 8 : 4), slot));
    EXPECT_EQ(slot, (wide ? uint64_t{1} << 63 : uint64_t{1} << 31) | 42);
  }
}

TEST(PeImports, NamesComeFromTheAddressTableOnlyInTheFile) {
  PeBuilder b = sampleImage(false);
  b.imports[1].withLookupTable = false;
  const std::vector<uint8_t> file = b.build();
  Parsed p;
  parse(p, file, pe::Layout::File);
  EXPECT_EQ(importList(p).back(), "user32.dll!MessageBoxA/0@0");
  parse(p, b.mapped(), pe::Layout::Mapped);
  EXPECT_EQ(importList(p).back(), "user32.dll broken");
}

TEST(PeImports, DamagedTablesAreBroken) {
  PeBuilder b = sampleImage(false);
  b.build();
  std::vector<uint8_t> image = b.mapped();
  const uint32_t d = b.importRva;
  // A lookup entry naming a hint beyond the image.
  {
    std::vector<uint8_t> bad = image;
    const uint32_t lookup = bad[d] | bad[d + 1] << 8 | bad[d + 2] << 16;
    PeBuilder::put32(bad, lookup, 0x7FFFFFF0u);
    Parsed p;
    parse(p, bad, pe::Layout::Mapped);
    EXPECT_EQ(importList(p).front(), "KERNEL32.dll broken");
  }
  // Descriptors that run out of the view without a terminator.
  {
    Parsed p;
    parse(p, image, pe::Layout::Mapped);
    p.view.size = d + 30;
    EXPECT_EQ(importList(p).back(), "broken");
  }
  // An import directory pointing beyond everything.
  {
    std::vector<uint8_t> bad = image;
    PeBuilder::put32(bad, 0x80 + 24 + 96 + 8, 0xFFFFFFF0u);
    Parsed p;
    parse(p, bad, pe::Layout::Mapped);
    EXPECT_EQ(importList(p), (std::vector<std::string>{"broken"}));
  }
}

// ---- relocations ------------------------------------------------------------

// A code section with an address of each kind at known places.
struct RelocatedImage {
  PeBuilder builder;
  std::vector<uint8_t> file;
  pe::Headers headers;
  uint32_t code;
};

RelocatedImage relocatedImage(bool wide) {
  RelocatedImage r;
  PeBuilder &b = r.builder;
  b.wide = wide;
  b.imageBase = wide ? 0x140000000ull : 0x00400000u;
  std::vector<uint8_t> code(0x2100, 0x90);
  PeBuilder::put32(code, 0x10, 0x00401234);      // HIGHLOW
  PeBuilder::put64(code, 0x20, 0x140005678ull);  // DIR64
  PeBuilder::put16(code, 0x30, 0x0040);          // HIGH
  PeBuilder::put16(code, 0x32, 0xFFF0);          // LOW
  PeBuilder::put32(code, 0x1FFE, 0x00402000);    // across a page boundary
  r.code = b.addSection(".text", code, PeBuilder::kCode);
  b.relocations = {{r.code + 0x10, pe::kRelocationHighLow},
                   {r.code + 0x20, pe::kRelocationDir64},
                   {r.code + 0x30, pe::kRelocationHigh},
                   {r.code + 0x32, pe::kRelocationLow},
                   {r.code + 0x40, pe::kRelocationAbsolute},
                   {r.code + 0x1FFE, pe::kRelocationHighLow}};
  r.file = b.build();
  EXPECT_EQ(pe::parseHeaders(r.file.data(), r.file.size(), r.headers), nullptr);
  return r;
}

uint32_t get32(const std::vector<uint8_t> &b, size_t at) {
  return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | uint32_t(b[at + 3]) << 24;
}

TEST(PeRelocations, AppliedForAnotherBase) {
  for (bool wide : {false, true}) {
    SCOPED_TRACE(wide ? "PE32+" : "PE32");
    RelocatedImage r = relocatedImage(wide);
    const pe::View view = pe::fileView(r.file.data(), r.file.size());
    const std::vector<uint8_t> &original = r.builder.mapped();
    std::vector<uint8_t> copy(original.begin() + r.code,
                              original.begin() + r.code + 0x2100);
    const uint64_t delta = 0x12340000;
    ASSERT_TRUE(pe::applyRelocations(r.headers, view, r.code, copy.data(),
                                     copy.size(), r.builder.imageBase + delta));
    EXPECT_EQ(get32(copy, 0x10), 0x00401234u + 0x12340000u);
    EXPECT_EQ(get32(copy, 0x20), 0x40005678u + 0x12340000u);
    EXPECT_EQ(get32(copy, 0x24), 1u);
    EXPECT_EQ(copy[0x30] | copy[0x31] << 8, 0x0040 + 0x1234);
    EXPECT_EQ(copy[0x32] | copy[0x33] << 8,
              0xFFF0);  // low half of the delta: 0
    EXPECT_EQ(get32(copy, 0x1FFE), 0x00402000u + 0x12340000u);
    // Nothing else moved.
    size_t changed = 0;
    for (size_t i = 0; i < copy.size(); ++i)
      changed += copy[i] != original[r.code + i];
    EXPECT_LE(changed, 4u + 4u + 2u + 4u);
    // Moving down, and a delta that carries into the high half.
    std::vector<uint8_t> down(original.begin() + r.code,
                              original.begin() + r.code + 0x40);
    ASSERT_TRUE(pe::applyRelocations(r.headers, view, r.code, down.data(),
                                     down.size(), r.builder.imageBase - 0x10));
    EXPECT_EQ(get32(down, 0x10), 0x00401224u);
    EXPECT_EQ(down[0x32] | down[0x33] << 8, 0xFFE0);
    EXPECT_EQ(down[0x30] | down[0x31] << 8, 0x0040 - 1);
  }
}

TEST(PeRelocations, OnlyWholeFieldsInsideTheCopy) {
  RelocatedImage r = relocatedImage(false);
  const pe::View view = pe::fileView(r.file.data(), r.file.size());
  const std::vector<uint8_t> &original = r.builder.mapped();
  // A copy that starts in the middle of the HIGHLOW at 0x10 and ends in the
  // middle of the DIR64 at 0x20: neither is touched.
  std::vector<uint8_t> copy(original.begin() + r.code + 0x12,
                            original.begin() + r.code + 0x24);
  const std::vector<uint8_t> before = copy;
  ASSERT_TRUE(pe::applyRelocations(r.headers, view, r.code + 0x12, copy.data(),
                                   copy.size(), 0x00500000));
  EXPECT_EQ(copy, before);
  // A relocation at the very end of the address space reaches past any
  // copy that ends there.
  std::vector<uint8_t> file = r.file;
  const pe::Section &reloc = r.headers.sections[1];
  PeBuilder::put32(file, reloc.fileOffset, 0xFFFFF000u);
  PeBuilder::put16(file, reloc.fileOffset + 8, 0x3FFF);
  std::vector<uint8_t> top(0x100, 0);
  ASSERT_TRUE(
      pe::applyRelocations(r.headers, pe::fileView(file.data(), file.size()),
                           0xFFFFFF00u, top.data(), top.size(), 0x00500000));
  EXPECT_EQ(top, std::vector<uint8_t>(0x100, 0));
  // The same base as linked: nothing to do, even without a table.
  ASSERT_TRUE(pe::applyRelocations(r.headers, pe::fileView(nullptr, 0), r.code,
                                   copy.data(), copy.size(), 0x00400000));
}

TEST(PeRelocations, WhatCannotBeAppliedIsRefused) {
  RelocatedImage r = relocatedImage(false);
  const pe::Section &reloc = r.headers.sections[1];
  ASSERT_STREQ(reloc.name, ".reloc");
  std::vector<uint8_t> code(0x100);
  struct Case {
    const char *what;
    std::function<void(std::vector<uint8_t> &, pe::Headers &)> damage;
    uint32_t at;  // where the copy starts, from the code section
    bool applies;
  } cases[] = {
      {"unknown type in the copy",
       [&](auto &f, auto &) { f[reloc.fileOffset + 9] = 0x50; }, 0, false},
      {"unknown type elsewhere",
       [&](auto &f, auto &) { f[reloc.fileOffset + 9] = 0x50; }, 0x80, true},
      {"block smaller than its header",
       [&](auto &f, auto &) { PeBuilder::put32(f, reloc.fileOffset + 4, 4); },
       0x80, false},
      {"block beyond the directory",
       [&](auto &f, auto &) {
         PeBuilder::put32(f, reloc.fileOffset + 4, 0x1000);
       },
       0x80, false},
      {"stripped",
       [](auto &, auto &h) { h.characteristics |= pe::kFileRelocsStripped; },
       0x80, false},
      {"no table",
       [](auto &, auto &h) {
         h.directories[pe::kBaseRelocationDirectory] = {0, 0};
       },
       0x80, false},
      {"table beyond the file",
       [](auto &, auto &h) {
         h.directories[pe::kBaseRelocationDirectory].rva += 0x800;
       },
       0x80, false},
  };
  for (const Case &c : cases) {
    std::vector<uint8_t> file = r.file;
    pe::Headers h = r.headers;
    c.damage(file, h);
    EXPECT_EQ(pe::applyRelocations(h, pe::fileView(file.data(), file.size()),
                                   r.code + c.at, code.data(), code.size(),
                                   0x00500000),
              c.applies)
        << c.what;
  }
}

// HIGHADJ carries its parameter in the entry after it, which is no
// relocation of its own.
TEST(PeRelocations, HighAdjTakesTheNextEntryAlong) {
  RelocatedImage r = relocatedImage(false);
  const pe::Section &reloc = r.headers.sections[1];
  r.file[reloc.fileOffset + 9] = 0x40;  // the HIGHLOW at 0x10 becomes HIGHADJ
  const pe::View view = pe::fileView(r.file.data(), r.file.size());
  std::vector<std::pair<uint32_t, int>> seen;
  pe::RelocationCursor cursor{};
  pe::Relocation x;
  while (pe::nextRelocation(r.headers, view, cursor, x) == pe::Read::Item)
    seen.push_back({x.rva - r.code, x.type});
  // Each block ends with padding to a multiple of four bytes.
  EXPECT_EQ(seen, (std::vector<std::pair<uint32_t, int>>{{0x10, 4},
                                                         {0x30, 1},
                                                         {0x32, 2},
                                                         {0x40, 0},
                                                         {0, 0},
                                                         {0x1FFE, 3},
                                                         {0x1000, 0}}));
}

// ---- the real images of the win32 build -------------------------------------

#if defined(_WIN32)
// Under Wine the build's files are on the Unix drive.
std::string buildFile(const std::string &relative) {
  std::string path = std::string("Z:") + QX_WIN32_BUILD_DIR + "/" + relative;
  for (char &c : path)
    if (c == '/') c = '\\';
  return path;
}
#else
std::string buildFile(const std::string &relative) {
  const char *dir = std::getenv("QX_WIN32_BUILD_DIR");
  return std::string(dir && *dir ? dir : QX_WIN32_BUILD_DIR) + "/" + relative;
}
#endif

class RealImages : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!qxtest::readFile(buildFile("qxcl.dll")).empty()) return;
    if (std::getenv("QX_REQUIRE_WIN32_DLL"))
      FAIL() << "missing " << buildFile("qxcl.dll")
             << ": the win32 build failed";
    GTEST_SKIP() << "the win32 preset is not built";
  }
  void load(const std::string &relative, Parsed &p) {
    const std::string bytes = qxtest::readFile(buildFile(relative));
    ASSERT_FALSE(bytes.empty()) << relative;
    parse(p, std::vector<uint8_t>(bytes.begin(), bytes.end()),
          pe::Layout::File);
  }
};

TEST_F(RealImages, ExportsImportsAndSections) {
  struct Case {
    const char *file;
    std::vector<std::string> exports;
    bool dll;
  } cases[] = {
      {"qxcl.dll", {"ca", "cb"}, true},
      {"tests/modules/qxtest_agent_1300.dll", {"a"}, true},
      {"tools/qxhost/qxhost.exe", {}, false},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.file);
    Parsed p;
    load(c.file, p);
    if (HasFatalFailure()) return;
    EXPECT_EQ(p.headers.machine, pe::kMachineI386);
    EXPECT_FALSE(p.headers.wide);
    EXPECT_EQ((p.headers.characteristics & pe::kFileDll) != 0, c.dll);
    const pe::Section *entry = pe::sectionAt(p.headers, p.headers.entryPoint);
    ASSERT_NE(entry, nullptr);
    EXPECT_TRUE(entry->characteristics & pe::kSectionExecute);
    pe::Exports e;
    std::vector<std::string> names;
    if (pe::readExports(p.headers, p.view, e)) {
      for (uint32_t i = 0; i < e.nameCount; ++i) {
        pe::Text name;
        uint32_t slot;
        pe::Export x;
        ASSERT_TRUE(pe::exportName(p.headers, p.view, e, i, name, slot));
        ASSERT_TRUE(pe::exportAt(p.headers, p.view, e, slot, x));
        const pe::Section *s = pe::sectionAt(p.headers, x.rva);
        ASSERT_NE(s, nullptr);
        EXPECT_TRUE(s->characteristics & pe::kSectionExecute);
        names.push_back(str(name));
      }
    }
    EXPECT_EQ(names, c.exports);
    // Every program imports from KERNEL32.dll by name, and every import
    // table reads to its end.
    const std::vector<std::string> imports = importList(p);
    bool kernel32 = false;
    for (const std::string &i : imports) {
      EXPECT_EQ(i.find("broken"), std::string::npos) << i;
      kernel32 |= i.rfind("KERNEL32.dll!", 0) == 0;
    }
    EXPECT_TRUE(kernel32);
  }
}

// Moving qxcl.dll by a delta changes exactly the addresses its relocations
// name, each by the delta, and nothing else in its code.
TEST_F(RealImages, RelocatingTheClientMovesItsAddresses) {
  Parsed p;
  load("qxcl.dll", p);
  if (HasFatalFailure()) return;
  const pe::Section &text = p.headers.sections[0];
  ASSERT_STREQ(text.name, ".text");
  const uint8_t *bytes =
      pe::bytesAt(p.headers, p.view, text.rva, text.mappedSize);
  ASSERT_NE(bytes, nullptr);
  std::vector<uint8_t> copy(bytes, bytes + text.mappedSize);
  const uint32_t delta = 0x01230000;
  ASSERT_TRUE(pe::applyRelocations(p.headers, p.view, text.rva, copy.data(),
                                   copy.size(), p.headers.imageBase + delta));
  std::vector<bool> relocated(copy.size(), false);
  pe::RelocationCursor cursor{};
  pe::Relocation r;
  size_t count = 0;
  pe::Read read;
  while ((read = pe::nextRelocation(p.headers, p.view, cursor, r)) ==
         pe::Read::Item) {
    if (r.type == pe::kRelocationAbsolute) continue;
    ASSERT_EQ(r.type, pe::kRelocationHighLow);
    if (r.rva < text.rva || r.rva + 4 > text.rva + text.mappedSize) continue;
    const uint32_t at = r.rva - text.rva;
    EXPECT_EQ(
        get32(copy, at) - (bytes[at] | bytes[at + 1] << 8 |
                           bytes[at + 2] << 16 | uint32_t(bytes[at + 3]) << 24),
        delta);
    for (int i = 0; i < 4; ++i) relocated[at + i] = true;
    ++count;
  }
  EXPECT_EQ(read, pe::Read::End);
  EXPECT_GT(count, 100u);
  size_t stray = 0;
  for (size_t i = 0; i < copy.size(); ++i)
    stray += !relocated[i] && copy[i] != bytes[i];
  EXPECT_EQ(stray, 0u);
}

#if defined(_WIN32)
// The system's loader as the oracle: a test module loaded twice from two
// copies (the second cannot have its base and is moved), and for each, the
// reader's view of the file agrees with what the loader made of it.
TEST_F(RealImages, TheLoaderAgreesWithTheReader) {
  const std::string original = buildFile("tests/modules/qxtest_agent_1300.dll");
  const std::string bytes = qxtest::readFile(original);
  ASSERT_FALSE(bytes.empty());
  Parsed p;
  parse(p, std::vector<uint8_t>(bytes.begin(), bytes.end()), pe::Layout::File);
  const std::string dir = qxtest::makeTempDir();
  HMODULE modules[2];
  for (int i = 0; i < 2; ++i) {
    const std::string copy = dir + "\\agent" + std::to_string(i) + ".dll";
    ASSERT_TRUE(CopyFileA(original.c_str(), copy.c_str(), FALSE));
    modules[i] = LoadLibraryA(copy.c_str());
    ASSERT_NE(modules[i], nullptr);
  }
  EXPECT_NE(modules[0], modules[1]);
  bool moved = false;
  for (HMODULE module : modules) {
    const uintptr_t base = reinterpret_cast<uintptr_t>(module);
    moved |= base != p.headers.imageBase;
    // Every executable section, relocated for where it was loaded, is the
    // bytes in memory.
    for (uint32_t i = 0; i < p.headers.sectionCount; ++i) {
      const pe::Section &s = p.headers.sections[i];
      if (!(s.characteristics & pe::kSectionExecute)) continue;
      const uint8_t *file = pe::bytesAt(p.headers, p.view, s.rva, s.mappedSize);
      ASSERT_NE(file, nullptr);
      std::vector<uint8_t> copy(file, file + s.mappedSize);
      ASSERT_TRUE(pe::applyRelocations(p.headers, p.view, s.rva, copy.data(),
                                       copy.size(), base));
      EXPECT_EQ(std::memcmp(copy.data(), reinterpret_cast<void *>(base + s.rva),
                            copy.size()),
                0)
          << s.name;
    }
    // The export is where GetProcAddress finds it.
    pe::Exports e;
    pe::Export x;
    ASSERT_TRUE(pe::readExports(p.headers, p.view, e));
    ASSERT_TRUE(pe::findExport(p.headers, p.view, e, "a", 1, 0, x));
    EXPECT_EQ(base + x.rva,
              reinterpret_cast<uintptr_t>(GetProcAddress(module, "a")));
    // Every import slot in memory holds what GetProcAddress gives for it,
    // read through the reader's view of the mapped image.
    const pe::View mapped = pe::mappedView(
        reinterpret_cast<const uint8_t *>(base), p.headers.sizeOfImage);
    pe::ImportCursor cursor{};
    pe::ImportModule m;
    int checked = 0;
    while (pe::nextImportModule(p.headers, mapped, cursor, m) ==
           pe::Read::Item) {
      pe::Text name;
      ASSERT_TRUE(pe::textAt(p.headers, mapped, m.name, 255, name));
      const HMODULE exporter = GetModuleHandleA(str(name).c_str());
      ASSERT_NE(exporter, nullptr) << str(name);
      pe::ImportedFunction f;
      for (uint32_t k = 0;
           pe::importedFunction(p.headers, mapped, m, k, f) == pe::Read::Item;
           ++k) {
        uint64_t slot = 0;
        ASSERT_TRUE(pe::readAddressSlot(p.headers, mapped, f.slot, slot));
        const FARPROC expected =
            f.byOrdinal ? GetProcAddress(exporter, MAKEINTRESOURCEA(f.ordinal))
                        : GetProcAddress(exporter, str(f.name).c_str());
        EXPECT_EQ(slot, reinterpret_cast<uintptr_t>(expected)) << str(f.name);
        ++checked;
      }
    }
    EXPECT_GT(checked, 5);
  }
  EXPECT_TRUE(moved);
  for (HMODULE module : modules) FreeLibrary(module);
}
#endif

}  // namespace
