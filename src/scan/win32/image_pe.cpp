// The PE side of the image interface: a loaded module's headers, import
// descriptors (and delay-load descriptors) with their address slots, its
// exported functions and export lookups, read from memory; and its
// executable sections compared with its file, the file's bytes moved to the
// loaded base by the file's own base relocations.
//
// The layout of every table comes from the bounded PE reader
// (scan/pe_image.h). Memory is read only through platform::readOwnMemory,
// a few bytes at a time, each read checked against the module's extent
// first; a table that points elsewhere ends its walk as if it were empty.
#include "scan/image.h"

#include <climits>
#include <cstdio>
#include <cstring>
#include <new>

#include "platform/platform.h"
#include "scan/pe_image.h"

namespace qx::scan {

namespace {

#if defined(__x86_64__) || defined(_M_X64)
constexpr uint16_t kMachine = pe::kMachineAmd64;
#else
constexpr uint16_t kMachine = pe::kMachineI386;
#endif

// The first page of a module holds its headers (the loader maps
// SizeOfHeaders bytes there, and the section table must end within them).
constexpr size_t kHeaderPage = 4096;
constexpr int kMostCodeSections = 16;
constexpr uint32_t kDelayDescriptorSize = 32;

// What imageOpen keeps of a PE image, from its headers in memory.
struct PeImage {
  bool wide;
  uint32_t sizeOfImage;
  uint32_t entryPoint;
  pe::Directory exports, imports, delayImports;
  int codeCount;
  pe::Directory code[kMostCodeSections];  // executable sections: rva, size
};
static_assert(sizeof(PeImage) <= sizeof(Image::format),
              "the PE record fits Image::format");
static_assert(alignof(PeImage) <= 8, "Image::format is 8-aligned");

const PeImage &peOf(const Image &image) {
  return *std::launder(reinterpret_cast<const PeImage *>(image.format));
}

pe::Directory directory(const pe::Headers &h, uint32_t index) {
  return index < h.directoryCount ? h.directories[index] : pe::Directory{0, 0};
}

// size bytes of the module at rva, when they lie inside its extent and can
// be read.
bool readAt(const Image &image, uint64_t rva, void *out, size_t size) {
  const platform::ModuleInfo &m = image.module;
  if (rva > m.size || size > m.size - rva) return false;
  return platform::readOwnMemory(m.base + static_cast<uintptr_t>(rva), out,
                                 size) == size;
}

uint32_t u32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

bool readU32(const Image &image, uint64_t rva, uint32_t &out) {
  uint8_t b[4];
  if (!readAt(image, rva, b, 4)) return false;
  out = u32(b);
  return true;
}

bool readU16(const Image &image, uint64_t rva, uint16_t &out) {
  uint8_t b[2];
  if (!readAt(image, rva, b, 2)) return false;
  out = static_cast<uint16_t>(b[0] | b[1] << 8);
  return true;
}

// An address slot or lookup entry: 32 or 64 bits as the image is wide.
bool readSlot(const Image &image, uint64_t rva, uint64_t &out) {
  uint8_t b[8];
  const size_t width = peOf(image).wide ? 8 : 4;
  if (!readAt(image, rva, b, width)) return false;
  out = u32(b);
  if (width == 8) out |= static_cast<uint64_t>(u32(b + 4)) << 32;
  return true;
}

enum class Name { Whole, TooLong, Unreadable };

// The zero-terminated name at rva into out (size bytes, terminator in).
// TooLong leaves the first size-1 bytes in out, terminated.
Name readName(const Image &image, uint64_t rva, char *out, size_t size) {
  const platform::ModuleInfo &m = image.module;
  if (rva >= m.size) return Name::Unreadable;
  size_t want = size;
  if (want > m.size - rva) want = static_cast<size_t>(m.size - rva);
  const size_t got =
      platform::readOwnMemory(m.base + static_cast<uintptr_t>(rva), out, want);
  if (std::memchr(out, '\0', got)) return Name::Whole;
  out[got < size ? got : size - 1] = '\0';
  return got == size ? Name::TooLong : Name::Unreadable;
}

bool inCode(const PeImage &p, uint32_t rva) {
  for (int i = 0; i < p.codeCount; ++i)
    if (rva >= p.code[i].rva && rva - p.code[i].rva < p.code[i].size)
      return true;
  return false;
}

bool inModule(const platform::ModuleInfo &m, uint64_t address) {
  return address >= m.base && address - m.base < m.size;
}

void copyName(char *out, size_t size, const char *text, size_t length) {
  if (length >= size) length = size - 1;
  std::memcpy(out, text, length);
  out[length] = '\0';
}

}  // namespace

bool imageOpen(Image &image, const platform::ModuleInfo &module) {
  image.module = module;
  image.valid = false;
  PeImage &p = *new (image.format) PeImage{};
  uint8_t page[kHeaderPage];
  const size_t want = module.size < kHeaderPage ? module.size : kHeaderPage;
  const size_t got = platform::readOwnMemory(module.base, page, want);
  pe::Headers h;
  if (pe::parseHeaders(page, got, h) != nullptr || h.machine != kMachine ||
      h.sizeOfImage > module.size)
    return false;
  p.wide = h.wide;
  p.sizeOfImage = h.sizeOfImage;
  p.entryPoint = h.entryPoint;
  p.exports = directory(h, pe::kExportDirectory);
  p.imports = directory(h, pe::kImportDirectory);
  p.delayImports = directory(h, pe::kDelayImportDirectory);
  for (uint32_t i = 0; i < h.sectionCount; ++i) {
    const pe::Section &s = h.sections[i];
    if (!(s.characteristics & pe::kSectionExecute) || s.mappedSize == 0)
      continue;
    if (p.codeCount == kMostCodeSections) return false;
    p.code[p.codeCount++] = {s.rva, s.mappedSize};
  }
  image.valid = true;
  return true;
}

// ---- imports ----------------------------------------------------------------

namespace {

enum class ImportTable : uint8_t { Regular, Delayed, Done };

struct PeImports {
  Image image;
  ImportTable table;
  uint32_t descriptor;    // the next descriptor of the table
  bool inDescriptor;      // a descriptor's functions are being walked
  bool addresses;         // a delay descriptor of the oldest kind: its fields
                          // are addresses, not RVAs
  uint32_t lookupTable;   // RVA of the names or ordinals
  uint32_t addressTable;  // RVA of the slots
  uint32_t function;      // the next function of the descriptor
  char library[kLibraryMax];
};
static_assert(sizeof(PeImports) <= sizeof(ImportCursor::format),
              "the PE import walk fits ImportCursor::format");

PeImports &importsOf(ImportCursor &c) {
  return *std::launder(reinterpret_cast<PeImports *>(c.format));
}

// Entries looked at in one nextImport call before it gives a blank item.
constexpr int kImportSteps = 32;

// Starts the next regular import descriptor; false at the table's end.
bool openRegular(PeImports &w) {
  const pe::Directory &dir = peOf(w.image).imports;
  if (dir.rva == 0 || w.descriptor >= pe::kMaxImportModules) return false;
  uint8_t raw[pe::kImportDescriptorSize];
  if (!readAt(w.image,
              uint64_t{dir.rva} +
                  uint64_t{pe::kImportDescriptorSize} * w.descriptor,
              raw, sizeof raw))
    return false;
  pe::ImportModule m;
  pe::parseImportModule(raw, m);
  if (m.name == 0 || m.addressTable == 0) return false;
  ++w.descriptor;
  // Without a lookup table the names were in the address slots, which the
  // loader has overwritten: the descriptor is passed over.
  w.inDescriptor =
      m.lookupTable != 0 &&
      readName(w.image, m.name, w.library, sizeof w.library) == Name::Whole;
  w.addresses = false;
  w.lookupTable = m.lookupTable;
  w.addressTable = m.addressTable;
  w.function = 0;
  return true;
}

// Starts the next delay-load descriptor: attributes, the DLL's name, its
// module handle's variable, the address slots, the names, then tables this
// walk does not read; false at the table's end.
bool openDelayed(PeImports &w) {
  const pe::Directory &dir = peOf(w.image).delayImports;
  if (dir.rva == 0 || w.descriptor >= pe::kMaxImportModules) return false;
  uint8_t raw[kDelayDescriptorSize];
  if (!readAt(w.image,
              uint64_t{dir.rva} + uint64_t{kDelayDescriptorSize} * w.descriptor,
              raw, sizeof raw))
    return false;
  const uint32_t attributes = u32(raw), name = u32(raw + 4);
  if (name == 0) return false;
  ++w.descriptor;
  w.addresses = (attributes & 1) == 0;
  // The oldest kind holds addresses, moved with the image by its
  // relocations; a 32-bit image's addresses fit its RVAs' 32 bits.
  const uint32_t base =
      w.addresses ? static_cast<uint32_t>(w.image.module.base) : 0;
  w.addressTable = u32(raw + 12) - base;
  w.lookupTable = u32(raw + 16) - base;
  w.inDescriptor =
      u32(raw + 16) != 0 && readName(w.image, name - base, w.library,
                                     sizeof w.library) == Name::Whole;
  w.function = 0;
  return true;
}

// Moves to the next descriptor of the regular table, then of the delay
// table; false at the end of both.
bool openDescriptor(PeImports &w) {
  while (w.table != ImportTable::Done) {
    if (w.table == ImportTable::Regular ? openRegular(w) : openDelayed(w))
      return true;
    w.table = w.table == ImportTable::Regular ? ImportTable::Delayed
                                              : ImportTable::Done;
    w.descriptor = 0;
  }
  return false;
}

enum class Slot { Item, Blank, EndOfDescriptor, Unreadable };

// The descriptor's next function into out.
Slot readFunction(PeImports &w, ImportSlot &out) {
  const PeImage &p = peOf(w.image);
  const uint32_t width = p.wide ? 8 : 4;
  if (w.function >= pe::kMaxImportedFunctions) return Slot::EndOfDescriptor;
  const uint64_t entryAt =
      uint64_t{w.lookupTable} + uint64_t{width} * w.function;
  const uint64_t slotAt =
      uint64_t{w.addressTable} + uint64_t{width} * w.function;
  uint64_t value, target;
  if (!readSlot(w.image, entryAt, value)) return Slot::EndOfDescriptor;
  pe::ImportEntry entry;
  const pe::Read read = pe::decodeImportEntry(p.wide, value, entry);
  if (read != pe::Read::Item) return Slot::EndOfDescriptor;
  if (!readSlot(w.image, slotAt, target)) return Slot::Unreadable;
  ++w.function;
  const platform::ModuleInfo &m = w.image.module;
  out.slot = m.base + static_cast<uintptr_t>(slotAt);
  out.target = static_cast<uintptr_t>(target);
  // The loader binds every regular import before the module runs; a delay
  // slot points at the module's own loading stub until its first call.
  out.bound =
      w.table == ImportTable::Regular ? target != 0 : !inModule(m, target);
  copyName(out.library, sizeof out.library, w.library, std::strlen(w.library));
  if (entry.byOrdinal) {
    std::snprintf(out.symbol, sizeof out.symbol, "#%u",
                  static_cast<unsigned>(entry.ordinal));
    return Slot::Item;
  }
  const uint32_t hintName = w.addresses
                                ? entry.hintName - static_cast<uint32_t>(m.base)
                                : entry.hintName;
  // A name too long to look up cannot be resolved: a blank item.
  if (readName(w.image, uint64_t{hintName} + 2, out.symbol,
               sizeof out.symbol) != Name::Whole ||
      !out.symbol[0])
    return Slot::Blank;
  return Slot::Item;
}

}  // namespace

void importsBegin(ImportCursor &cursor, const Image &image) {
  PeImports &w = *new (cursor.format) PeImports{};
  w.image = image;
  w.table = image.valid ? ImportTable::Regular : ImportTable::Done;
}

bool nextImport(ImportCursor &cursor, ImportSlot &out) {
  PeImports &w = importsOf(cursor);
  for (int step = 0; step < kImportSteps; ++step) {
    if (!w.inDescriptor && !openDescriptor(w)) return false;
    if (!w.inDescriptor) continue;
    switch (readFunction(w, out)) {
      case Slot::Item:
        return true;
      case Slot::Blank:
        break;
      case Slot::EndOfDescriptor:
        w.inDescriptor = false;
        break;
      case Slot::Unreadable:
        w.table = ImportTable::Done;
        w.inDescriptor = false;
        return false;
    }
  }
  out.slot = out.target = 0;
  out.bound = false;
  out.symbol[0] = out.library[0] = '\0';
  return true;
}

// ---- exports ----------------------------------------------------------------

namespace {

// Slots whose name the walk has seen, so that the slots exported by ordinal
// alone can be told apart afterwards. Images export far fewer functions;
// slots beyond are passed over.
constexpr uint32_t kNamedSlots = 24 * 1024;

enum class ExportPhase : uint8_t { Names, Ordinals, Done };

struct PeExports {
  Image image;
  pe::Exports table;
  ExportPhase phase;
  uint32_t index;
  uint8_t named[kNamedSlots / 8];
};
static_assert(sizeof(PeExports) <= sizeof(ExportCursor::format),
              "the PE export walk fits ExportCursor::format");

PeExports &exportsOf(ExportCursor &c) {
  return *std::launder(reinterpret_cast<PeExports *>(c.format));
}

constexpr int kExportSteps = 32;

bool readExportTable(const Image &image, pe::Exports &out) {
  const PeImage &p = peOf(image);
  uint8_t raw[pe::kExportDirectorySize];
  if (!image.valid || p.exports.rva == 0 ||
      !readAt(image, p.exports.rva, raw, sizeof raw))
    return false;
  pe::parseExportDirectory(raw, p.exports, out);
  // The tables lie inside the module, which bounds every walk over them.
  const uint64_t size = image.module.size;
  return out.functions <= size &&
         uint64_t{4} * out.functionCount <= size - out.functions &&
         out.names <= size && uint64_t{4} * out.nameCount <= size - out.names &&
         out.nameOrdinals <= size &&
         uint64_t{2} * out.nameCount <= size - out.nameOrdinals;
}

// The function in slot of the address table, when it is code: not empty,
// not a forwarder's text, and inside an executable section.
bool exportedCode(const Image &image, const pe::Exports &t, uint32_t slot,
                  uint32_t &rva) {
  if (slot >= t.functionCount ||
      !readU32(image, uint64_t{t.functions} + uint64_t{4} * slot, rva))
    return false;
  const bool forwarded = rva >= t.range.rva && rva - t.range.rva < t.range.size;
  return rva != 0 && !forwarded && inCode(peOf(image), rva);
}

// Name index of the table into out; false when it is no item.
bool namedExport(PeExports &w, uint32_t index, ExportEntry &out) {
  const pe::Exports &t = w.table;
  uint32_t name;
  uint16_t slot;
  if (!readU32(w.image, uint64_t{t.names} + uint64_t{4} * index, name) ||
      !readU16(w.image, uint64_t{t.nameOrdinals} + uint64_t{2} * index, slot))
    return false;
  if (slot < kNamedSlots)
    w.named[slot / 8] |= static_cast<uint8_t>(1u << (slot % 8));
  uint32_t rva;
  if (!exportedCode(w.image, t, slot, rva) ||
      readName(w.image, name, out.symbol, sizeof out.symbol) != Name::Whole ||
      !out.symbol[0])
    return false;
  out.entry = w.image.module.base + rva;
  return true;
}

// Slot of the table, exported by ordinal alone, into out.
bool ordinalExport(PeExports &w, uint32_t slot, ExportEntry &out) {
  uint32_t rva;
  if (slot >= kNamedSlots || (w.named[slot / 8] & (1u << (slot % 8))) ||
      !exportedCode(w.image, w.table, slot, rva))
    return false;
  out.entry = w.image.module.base + rva;
  std::snprintf(out.symbol, sizeof out.symbol, "#%u",
                static_cast<unsigned>(w.table.ordinalBase + slot));
  return true;
}

}  // namespace

void exportsBegin(ExportCursor &cursor, const Image &image) {
  PeExports &w = *new (cursor.format) PeExports{};
  w.image = image;
  w.phase =
      readExportTable(image, w.table) ? ExportPhase::Names : ExportPhase::Done;
}

bool nextExport(ExportCursor &cursor, ExportEntry &out) {
  PeExports &w = exportsOf(cursor);
  for (int step = 0; step < kExportSteps; ++step) {
    if (w.phase == ExportPhase::Names) {
      if (w.index < w.table.nameCount) {
        if (namedExport(w, w.index++, out)) return true;
        continue;
      }
      w.phase = ExportPhase::Ordinals;
      w.index = 0;
    }
    if (w.phase == ExportPhase::Ordinals) {
      if (w.index < w.table.functionCount && w.index < kNamedSlots) {
        if (ordinalExport(w, w.index++, out)) return true;
        continue;
      }
      w.phase = ExportPhase::Done;
    }
    return false;
  }
  out.entry = 0;
  out.symbol[0] = '\0';
  return true;
}

namespace {

// strcmp's order of the name at rva against symbol; false when the name
// cannot be read. A name longer than any symbol looked up comes after
// every symbol it begins with.
bool compareName(const Image &image, uint32_t rva, const char *symbol,
                 int &order) {
  char name[kSymbolMax];
  const Name read = readName(image, rva, name, sizeof name);
  if (read == Name::Unreadable) return false;
  order = std::strcmp(name, symbol);
  if (order == 0 && read == Name::TooLong) order = 1;
  return true;
}

// The slot of the address table that symbol names: "#<ordinal>" or a name
// found by the loader's binary search.
Lookup findSlot(const Image &image, const pe::Exports &t, const char *symbol,
                uint32_t &slot) {
  if (symbol[0] == '#') {
    uint32_t ordinal = 0;
    for (const char *p = symbol + 1; *p; ++p) {
      if (*p < '0' || *p > '9' || ordinal > 0xFFFF) return Lookup::Missing;
      ordinal = ordinal * 10 + static_cast<uint32_t>(*p - '0');
    }
    if (!symbol[1]) return Lookup::Missing;
    slot = ordinal - t.ordinalBase;
    return Lookup::Found;
  }
  uint32_t low = 0, high = t.nameCount;
  while (low < high) {
    const uint32_t middle = low + (high - low) / 2;
    uint32_t name;
    int order;
    if (!readU32(image, uint64_t{t.names} + uint64_t{4} * middle, name) ||
        !compareName(image, name, symbol, order))
      return Lookup::Unreadable;
    if (order == 0) {
      uint16_t index;
      if (!readU16(image, uint64_t{t.nameOrdinals} + uint64_t{2} * middle,
                   index))
        return Lookup::Unreadable;
      slot = index;
      return Lookup::Found;
    }
    if (order < 0)
      low = middle + 1;
    else
      high = middle;
  }
  return Lookup::Missing;
}

Lookup forwardedTarget(const Image &image, uint32_t rva, ExportTarget &out) {
  char text[pe::kMaxForwarderLength + 1];
  if (readName(image, rva, text, sizeof text) != Name::Whole)
    return Lookup::Unreadable;
  pe::Forwarder f;
  if (!pe::parseForwarder({text, std::strlen(text)}, f) ||
      f.module.length >= sizeof out.library ||
      f.name.length >= sizeof out.symbol)
    return Lookup::Missing;
  copyName(out.library, sizeof out.library, f.module.data, f.module.length);
  if (f.name.length)
    copyName(out.symbol, sizeof out.symbol, f.name.data, f.name.length);
  else
    std::snprintf(out.symbol, sizeof out.symbol, "#%u",
                  static_cast<unsigned>(f.ordinal));
  return Lookup::Forwarded;
}

}  // namespace

Lookup findExport(const Image &image, const char *symbol, ExportTarget &out) {
  if (!image.valid) return Lookup::Unreadable;
  if (peOf(image).exports.rva == 0) return Lookup::Missing;
  pe::Exports t;
  if (!readExportTable(image, t)) return Lookup::Unreadable;
  uint32_t slot = 0, rva = 0;
  const Lookup found = findSlot(image, t, symbol, slot);
  if (found != Lookup::Found) return found;
  if (slot >= t.functionCount) return Lookup::Missing;
  if (!readU32(image, uint64_t{t.functions} + uint64_t{4} * slot, rva))
    return Lookup::Unreadable;
  if (rva == 0) return Lookup::Missing;
  if (rva >= t.range.rva && rva - t.range.rva < t.range.size)
    return forwardedTarget(image, rva, out);
  if (rva >= image.module.size) return Lookup::Missing;
  out.address = image.module.base + rva;
  return Lookup::Found;
}

// ---- code in memory against the file ---------------------------------------
//
// The file's executable sections are compared block by block with memory.
// Each block of the file is read with a margin on either side, so that every
// relocation whose bytes touch the block lies wholly in what was read, and
// moved to the loaded base by the file's relocations; then the block's
// bytes are compared with memory, less the bytes the loader writes.
//
// The relocation table is read from the file in pieces. Linkers write its
// blocks in the order of their pages; when a first walk over the table finds
// them so, each block of code walks only the table's blocks near its pages,
// resuming where the block before left off. A table in any other order is
// walked whole for every block of code.

namespace {

constexpr uint32_t kMargin = 8;  // the widest relocation
constexpr uint32_t kPieceBytes = 3072;
constexpr uint32_t kPageBytes = 0x1000;  // what one relocation block covers
constexpr int kMostSkips = 4;

enum class Phase : uint8_t {
  Headers,   // open the file, check it is the loaded image
  Order,     // walk the relocation table's block headers once
  ReadFile,  // read the next block of the file
  Relocate,  // apply the relocations near the block
  Compare,   // read memory and compare
  Done,
};

struct FileSection {
  uint32_t rva;
  uint32_t size;  // the bytes the file holds of it, all mapped
  uint32_t fileOffset;
};

struct PeComparison {
  Image image;
  platform::FileHandle file;
  Phase phase;
  Compare outcome;
  char path[platform::kModulePathMax];
  uint64_t delta;  // loaded base less the base the file was linked for
  int sectionCount;
  FileSection sections[kMostCodeSections];
  int skipCount;
  pe::Directory skips[kMostSkips];  // bytes the loader writes
  // The block: section, where in it, its bytes, and the file's window
  // around it.
  int section;
  uint32_t position;
  uint32_t blockBytes;
  uint32_t windowRva, windowBytes;
  // The relocation table in the file, and the walk over it.
  pe::Directory relocations;
  uint32_t relocationsAt;  // file offset of the table
  bool sorted;
  uint32_t lastPage;
  uint32_t resume;     // the first block that may still touch a later window
  uint32_t block;      // offset of the block being walked in the table
  uint32_t blockSize;  // 0 at a block's header
  uint32_t entry;      // offset of the next entry in the block
  uint32_t page;
  uint32_t pieceStart, pieceBytes;  // table bytes in piece
  unsigned char piece[kPieceBytes];
  unsigned char fromFile[kCompareBlock + 2 * kMargin];
  unsigned char inMemory[kCompareBlock];
};
static_assert(sizeof(PeComparison) <= sizeof(CodeComparison::format),
              "the PE comparison fits CodeComparison::format");

PeComparison &comparisonOf(CodeComparison &c) {
  return *std::launder(reinterpret_cast<PeComparison *>(c.format));
}

Compare finish(PeComparison &w, CodeComparison &c, Compare outcome) {
  if (w.file) platform::fileClose(w.file);
  w.file = nullptr;
  w.phase = Phase::Done;
  w.outcome =
      outcome == Compare::Matches && c.differing ? Compare::Differs : outcome;
  return w.outcome;
}

bool readFileAt(platform::FileHandle f, uint64_t offset, void *buffer,
                size_t size) {
  return offset <= static_cast<uint64_t>(LONG_MAX) &&
         platform::fileSeek(f, static_cast<long>(offset)) &&
         platform::fileRead(f, buffer, size) == size;
}

// The file's headers must describe the image in memory: the same size, entry
// point and executable sections. A file replaced since it was loaded is not
// the loaded image.
bool sameImage(PeComparison &w, const pe::Headers &h) {
  const PeImage &p = peOf(w.image);
  if (h.machine != kMachine || h.wide != p.wide ||
      h.sizeOfImage != p.sizeOfImage || h.entryPoint != p.entryPoint)
    return false;
  int code = 0;
  for (uint32_t i = 0; i < h.sectionCount; ++i) {
    const pe::Section &s = h.sections[i];
    if (!(s.characteristics & pe::kSectionExecute) || s.mappedSize == 0)
      continue;
    if (code == p.codeCount || s.rva != p.code[code].rva ||
        s.mappedSize != p.code[code].size)
      return false;
    ++code;
    FileSection &f = w.sections[w.sectionCount++];
    f.rva = s.rva;
    f.size = s.fileSize < s.mappedSize ? s.fileSize : s.mappedSize;
    f.fileOffset = s.fileOffset;
  }
  return code == p.codeCount;
}

// Where the relocation table lies in the file; false when the image was
// moved and the file cannot say how.
bool findRelocations(PeComparison &w, const pe::Headers &h) {
  w.relocations = directory(h, pe::kBaseRelocationDirectory);
  if (w.delta == 0) return true;
  if ((h.characteristics & pe::kFileRelocsStripped) || w.relocations.rva == 0)
    return false;
  const pe::Section *s = pe::sectionAt(h, w.relocations.rva);
  if (!s) return false;
  const uint32_t at = w.relocations.rva - s->rva;
  const uint32_t held =
      s->fileSize < s->mappedSize ? s->fileSize : s->mappedSize;
  if (at > held || w.relocations.size > held - at) return false;
  w.relocationsAt = s->fileOffset + at;
  return true;
}

// The loader writes the import descriptors and the import address table;
// where a linker put them in an executable section they are left out.
void findSkips(PeComparison &w, const pe::Headers &h) {
  const uint32_t written[] = {pe::kImportDirectory,
                              pe::kImportAddressTableDirectory,
                              pe::kBoundImportDirectory};
  for (uint32_t index : written) {
    const pe::Directory d = directory(h, index);
    if (d.rva != 0 && d.size != 0) w.skips[w.skipCount++] = d;
  }
}

bool skipped(const PeComparison &w, uint32_t rva) {
  for (int i = 0; i < w.skipCount; ++i)
    if (rva >= w.skips[i].rva && rva - w.skips[i].rva < w.skips[i].size)
      return true;
  return false;
}

bool nextBlock(PeComparison &w);

Compare openFile(PeComparison &w, CodeComparison &c) {
  if (!w.image.valid || !w.path[0]) return finish(w, c, Compare::Unreadable);
  w.file = platform::fileOpen(w.path, platform::OpenMode::Read);
  if (!w.file) return finish(w, c, Compare::Unreadable);
  // The headers fit in a page (imageOpen read them so); the comparison's
  // memory buffer holds them for the parse.
  const size_t got = platform::fileRead(w.file, w.inMemory, kHeaderPage);
  pe::Headers h;
  if (pe::parseHeaders(w.inMemory, got, h) != nullptr || !sameImage(w, h))
    return finish(w, c, Compare::Unreadable);
  w.delta = static_cast<uint64_t>(w.image.module.base) - h.imageBase;
  if (!findRelocations(w, h)) return finish(w, c, Compare::Unreadable);
  findSkips(w, h);
  if (!nextBlock(w)) return finish(w, c, Compare::Matches);
  w.sorted = true;
  w.block = w.blockSize = 0;
  w.phase = w.delta != 0 ? Phase::Order : Phase::ReadFile;
  return Compare::More;
}

// The table's bytes at offset .. offset+size, from the piece; false when
// they are not in it.
const unsigned char *tableBytes(const PeComparison &w, uint32_t offset,
                                uint32_t size) {
  if (offset < w.pieceStart || offset - w.pieceStart > w.pieceBytes ||
      size > w.pieceBytes - (offset - w.pieceStart))
    return nullptr;
  return w.piece + (offset - w.pieceStart);
}

// Reads the piece of the table from offset on: the one file read of a step.
bool readPiece(PeComparison &w, uint32_t offset) {
  uint32_t n = w.relocations.size - offset;
  if (n > kPieceBytes) n = kPieceBytes;
  w.pieceStart = offset;
  w.pieceBytes = 0;
  if (!readFileAt(w.file, uint64_t{w.relocationsAt} + offset, w.piece, n))
    return false;
  w.pieceBytes = n;
  return true;
}

enum class Walk { More, Done, Broken };

// Takes the table's next block header at w.block into w.page and
// w.blockSize; Done at the table's end.
Walk blockHeader(PeComparison &w) {
  if (w.block > w.relocations.size || w.relocations.size - w.block < 8)
    return Walk::Done;
  const unsigned char *h = tableBytes(w, w.block, 8);
  if (!h) return readPiece(w, w.block) ? Walk::More : Walk::Broken;
  const uint32_t size = u32(h + 4);
  if (size < 8 || size > w.relocations.size - w.block) return Walk::Broken;
  w.page = u32(h);
  w.blockSize = size;
  w.entry = 8;
  return Walk::More;
}

// One step of the first walk: block headers only, checking their order.
Walk orderStep(PeComparison &w) {
  for (;;) {
    const Walk header = blockHeader(w);
    if (header != Walk::More) return header;
    if (w.blockSize == 0) return Walk::More;  // a piece was read
    if (w.block != 0 && w.page < w.lastPage) w.sorted = false;
    w.lastPage = w.page;
    w.block += w.blockSize;
    w.blockSize = 0;
  }
}

// One step of the walk for the current window: applies the entries of the
// blocks near it to the file's bytes.
Walk relocateStep(PeComparison &w) {
  const uint64_t windowEnd = uint64_t{w.windowRva} + w.windowBytes;
  for (;;) {
    if (w.blockSize == 0) {
      const Walk header = blockHeader(w);
      if (header != Walk::More) return header;
      if (w.blockSize == 0) return Walk::More;  // a piece was read
      if (w.sorted && w.page >= windowEnd) return Walk::Done;
      // A block whose every relocation ends before the window.
      if (uint64_t{w.page} + kPageBytes + kMargin <= w.windowRva) {
        if (w.sorted && w.block == w.resume) w.resume += w.blockSize;
        w.block += w.blockSize;
        w.blockSize = 0;
      }
      continue;
    }
    if (w.entry + 2 > w.blockSize) {
      w.block += w.blockSize;
      w.blockSize = 0;
      continue;
    }
    const unsigned char *e = tableBytes(w, w.block + w.entry, 2);
    if (!e) return readPiece(w, w.block + w.entry) ? Walk::More : Walk::Broken;
    w.entry += 2;
    pe::Relocation r;
    if (!pe::relocationEntry(w.page, static_cast<uint16_t>(e[0] | e[1] << 8),
                             r) ||
        !pe::applyRelocation(r, w.windowRva, w.fromFile, w.windowBytes,
                             w.delta))
      return Walk::Broken;
    if (r.type == pe::kRelocationHighAdj) w.entry += 2;
  }
}

// Reads the current block of the file with its margins.
bool readBlock(PeComparison &w) {
  const FileSection &s = w.sections[w.section];
  const uint32_t left = s.size - w.position;
  w.blockBytes = left < kCompareBlock ? left : kCompareBlock;
  const uint32_t before = w.position < kMargin ? w.position : kMargin;
  const uint32_t after =
      left - w.blockBytes < kMargin ? left - w.blockBytes : kMargin;
  w.windowRva = s.rva + w.position - before;
  w.windowBytes = before + w.blockBytes + after;
  return readFileAt(w.file, uint64_t{s.fileOffset} + w.position - before,
                    w.fromFile, w.windowBytes);
}

void compareBlock(PeComparison &w, CodeComparison &c) {
  const uint32_t blockRva = w.sections[w.section].rva + w.position;
  const unsigned char *file = w.fromFile + (blockRva - w.windowRva);
  for (uint32_t i = 0; i < w.blockBytes; ++i) {
    if (skipped(w, blockRva + i)) continue;
    ++c.compared;
    if (file[i] == w.inMemory[i]) continue;
    if (c.differing++ == 0) c.firstOffset = blockRva + i;
  }
}

// Moves to the next block, past sections the file holds nothing of; true
// when there is one.
bool nextBlock(PeComparison &w) {
  w.position += w.blockBytes;
  w.blockBytes = 0;
  while (w.section < w.sectionCount &&
         w.position >= w.sections[w.section].size) {
    ++w.section;
    w.position = 0;
  }
  return w.section < w.sectionCount;
}

}  // namespace

void compareBegin(CodeComparison &comparison, const Image &image,
                  const char *path) {
  comparison.compared = comparison.differing = comparison.firstOffset = 0;
  PeComparison &w = *new (comparison.format) PeComparison{};
  w.image = image;
  w.phase = Phase::Headers;
  w.outcome = Compare::More;
  const size_t n = std::strlen(path);
  if (n < sizeof w.path) std::memcpy(w.path, path, n + 1);
}

Compare compareStep(CodeComparison &comparison) {
  PeComparison &w = comparisonOf(comparison);
  switch (w.phase) {
    case Phase::Done:
      return w.outcome;
    case Phase::Headers:
      return openFile(w, comparison);
    case Phase::Order:
      switch (orderStep(w)) {
        case Walk::More:
          return Compare::More;
        case Walk::Broken:
          return finish(w, comparison, Compare::Unreadable);
        case Walk::Done:
          w.resume = 0;
          w.phase = Phase::ReadFile;
          return Compare::More;
      }
      return Compare::More;
    case Phase::ReadFile:
      if (!readBlock(w)) return finish(w, comparison, Compare::Unreadable);
      w.block = w.sorted ? w.resume : 0;
      w.blockSize = 0;
      w.phase = w.delta != 0 ? Phase::Relocate : Phase::Compare;
      return Compare::More;
    case Phase::Relocate:
      switch (relocateStep(w)) {
        case Walk::More:
          return Compare::More;
        case Walk::Broken:
          return finish(w, comparison, Compare::Unreadable);
        case Walk::Done:
          w.phase = Phase::Compare;
          return Compare::More;
      }
      return Compare::More;
    case Phase::Compare:
      break;
  }
  const uintptr_t at =
      w.image.module.base + w.sections[w.section].rva + w.position;
  if (platform::readOwnMemory(at, w.inMemory, w.blockBytes) != w.blockBytes)
    return finish(w, comparison, Compare::Gone);
  compareBlock(w, comparison);
  if (!nextBlock(w)) return finish(w, comparison, Compare::Matches);
  w.phase = Phase::ReadFile;
  return Compare::More;
}

void compareClose(CodeComparison &comparison) {
  PeComparison &w = comparisonOf(comparison);
  if (w.file) platform::fileClose(w.file);
  w.file = nullptr;
}

}  // namespace qx::scan
