#include "scan/pe_image.h"

#include <cstring>

namespace qx::scan::pe {

namespace {

uint16_t u16(const uint8_t *p) {
  return static_cast<uint16_t>(p[0] | p[1] << 8);
}

uint32_t u32(const uint8_t *p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint64_t u64(const uint8_t *p) {
  return static_cast<uint64_t>(u32(p)) | static_cast<uint64_t>(u32(p + 4))
                                             << 32;
}

void put16(uint8_t *p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void put32(uint8_t *p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void put64(uint8_t *p, uint64_t v) {
  for (int i = 0; i < 8; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// True when length bytes from offset lie inside a buffer of size bytes.
// 64-bit arithmetic: offsets and lengths come from the image and are 32 bits
// each, so neither the sum nor the comparison can wrap.
bool inside(uint64_t offset, uint64_t length, uint64_t size) {
  return offset <= size && length <= size - offset;
}

// The bytes at offset .. offset+length of the view (an offset in the view's
// layout), or null.
const uint8_t *viewBytes(const View &view, uint64_t offset, uint64_t length) {
  if (offset < view.start) return nullptr;
  const uint64_t at = offset - view.start;
  return inside(at, length, view.size) ? view.data + at : nullptr;
}

// Entry index of a table of width-byte entries at rva, or null.
const uint8_t *tableEntry(const Headers &headers, const View &view,
                          uint32_t table, uint32_t index, uint32_t width) {
  const uint64_t at = uint64_t{table} + uint64_t{width} * index;
  if (at > UINT32_MAX) return nullptr;
  return bytesAt(headers, view, static_cast<uint32_t>(at), width);
}

// DOS header: "MZ" and, at 0x3C, the offset of the PE signature.
constexpr size_t kDosHeaderSize = 0x40;
constexpr size_t kPeOffsetField = 0x3C;
constexpr size_t kFileHeaderSize = 20;
constexpr size_t kSectionHeaderSize = 40;
constexpr uint16_t kPe32Magic = 0x10B;
constexpr uint16_t kPe32PlusMagic = 0x20B;

// Where the fields of the optional header lie, by kind.
struct OptionalLayout {
  size_t imageBase, imageBaseWidth, directoryCount, directories;
};
constexpr OptionalLayout kPe32Optional{28, 4, 92, 96};
constexpr OptionalLayout kPe32PlusOptional{24, 8, 108, 112};

void readSection(const uint8_t *p, Section &s) {
  std::memcpy(s.name, p, 8);
  s.name[8] = '\0';
  const uint32_t virtualSize = u32(p + 8);
  s.rva = u32(p + 12);
  s.fileSize = u32(p + 16);
  s.fileOffset = u32(p + 20);
  s.characteristics = u32(p + 36);
  // A section that gives no size in memory spans what the file holds of it.
  s.mappedSize = virtualSize ? virtualSize : s.fileSize;
}

const char *readOptionalHeader(const uint8_t *p, size_t size, Headers &out) {
  if (size < 2) return "truncated optional header";
  const uint16_t magic = u16(p);
  if (magic != kPe32Magic && magic != kPe32PlusMagic)
    return "unknown optional header";
  out.wide = magic == kPe32PlusMagic;
  const OptionalLayout &layout = out.wide ? kPe32PlusOptional : kPe32Optional;
  if (size < layout.directories) return "truncated optional header";
  out.entryPoint = u32(p + 16);
  out.imageBase = layout.imageBaseWidth == 8 ? u64(p + layout.imageBase)
                                             : u32(p + layout.imageBase);
  out.sectionAlignment = u32(p + 32);
  out.fileAlignment = u32(p + 36);
  out.sizeOfImage = u32(p + 56);
  out.sizeOfHeaders = u32(p + 60);
  out.dllCharacteristics = u16(p + 70);
  // The image declares how many directories it has; only those its optional
  // header holds are read.
  uint32_t count = u32(p + layout.directoryCount);
  const size_t room = (size - layout.directories) / 8;
  if (count > room) count = static_cast<uint32_t>(room);
  if (count > kDirectorySlots) count = kDirectorySlots;
  out.directoryCount = count;
  for (uint32_t i = 0; i < count; ++i) {
    out.directories[i].rva = u32(p + layout.directories + 8 * i);
    out.directories[i].size = u32(p + layout.directories + 8 * i + 4);
  }
  return nullptr;
}

}  // namespace

const char *parseHeaders(const uint8_t *data, size_t size, Headers &out) {
  std::memset(&out, 0, sizeof out);
  if (!data || size < kDosHeaderSize) return "truncated headers";
  if (data[0] != 'M' || data[1] != 'Z') return "not an MZ file";
  const uint64_t pe = u32(data + kPeOffsetField);
  if (!inside(pe, 4 + kFileHeaderSize, size)) return "truncated headers";
  const uint8_t *signature = data + pe;
  if (std::memcmp(signature, "PE\0\0", 4) != 0) return "no PE signature";
  const uint8_t *file = signature + 4;
  out.machine = u16(file);
  out.sectionCount = u16(file + 2);
  const uint16_t optionalSize = u16(file + 16);
  out.characteristics = u16(file + 18);
  const uint64_t optional = pe + 4 + kFileHeaderSize;
  if (!inside(optional, optionalSize, size)) return "truncated optional header";
  if (const char *error =
          readOptionalHeader(data + optional, optionalSize, out))
    return error;
  if (out.sectionCount > kMaxSections) return "too many sections";
  const uint64_t table = optional + optionalSize;
  if (!inside(table, uint64_t{kSectionHeaderSize} * out.sectionCount, size))
    return "truncated section table";
  for (uint32_t i = 0; i < out.sectionCount; ++i) {
    Section &s = out.sections[i];
    readSection(data + table + kSectionHeaderSize * i, s);
    if (!inside(s.rva, s.mappedSize, out.sizeOfImage))
      return "section beyond the image";
  }
  return nullptr;
}

const Section *sectionAt(const Headers &headers, uint32_t rva) {
  for (uint32_t i = 0; i < headers.sectionCount; ++i) {
    const Section &s = headers.sections[i];
    if (rva >= s.rva && rva - s.rva < s.mappedSize) return &s;
  }
  return nullptr;
}

const uint8_t *bytesAt(const Headers &headers, const View &view, uint32_t rva,
                       uint32_t length) {
  if (view.layout == Layout::Mapped) return viewBytes(view, rva, length);
  // In a file, the bytes must be ones the file holds: the headers, or the
  // part of one section that is neither beyond its file data nor beyond
  // what is mapped of it.
  if (const Section *s = sectionAt(headers, rva)) {
    const uint32_t held =
        s->fileSize < s->mappedSize ? s->fileSize : s->mappedSize;
    const uint32_t at = rva - s->rva;
    if (!inside(at, length, held)) return nullptr;
    return viewBytes(view, uint64_t{s->fileOffset} + at, length);
  }
  if (!inside(rva, length, headers.sizeOfHeaders)) return nullptr;
  return viewBytes(view, rva, length);
}

bool textAt(const Headers &headers, const View &view, uint32_t rva,
            size_t maxLength, Text &out) {
  const uint8_t *first = bytesAt(headers, view, rva, 1);
  if (!first) return false;
  // What follows the first byte in the view; in a file it may run into
  // the next section's bytes, which is why the end is looked up again.
  const size_t room = static_cast<size_t>(view.data + view.size - first);
  const size_t limit = room < maxLength + 1 ? room : maxLength + 1;
  const void *end = std::memchr(first, 0, limit);
  if (!end) return false;
  const size_t length =
      static_cast<size_t>(static_cast<const uint8_t *>(end) - first);
  if (bytesAt(headers, view, rva, static_cast<uint32_t>(length + 1)) != first)
    return false;
  out.data = reinterpret_cast<const char *>(first);
  out.length = length;
  return true;
}

bool sameText(Text a, const char *b, size_t bLength) {
  return a.length == bLength && std::memcmp(a.data, b, bLength) == 0;
}

namespace {

char lowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? char(c - 'A' + 'a') : c;
}

// strcmp's order over a text with its length and a zero-terminated one of
// known length: bytes compared as unsigned, a prefix first.
int compareText(Text a, const char *b, size_t bLength) {
  const size_t n = a.length < bLength ? a.length : bLength;
  const int c = std::memcmp(a.data, b, n);
  if (c != 0) return c;
  return a.length < bLength ? -1 : a.length > bLength ? 1 : 0;
}

}  // namespace

bool sameTextIgnoringCase(Text a, const char *b, size_t bLength) {
  if (a.length != bLength) return false;
  for (size_t i = 0; i < bLength; ++i)
    if (lowerAscii(a.data[i]) != lowerAscii(b[i])) return false;
  return true;
}

// ---- exports ----------------------------------------------------------------

void parseExportDirectory(const uint8_t *p, Directory range, Exports &out) {
  out.range = range;
  out.moduleName = u32(p + 12);
  out.ordinalBase = u32(p + 16);
  out.functionCount = u32(p + 20);
  out.nameCount = u32(p + 24);
  out.functions = u32(p + 28);
  out.names = u32(p + 32);
  out.nameOrdinals = u32(p + 36);
}

bool readExports(const Headers &headers, const View &view, Exports &out) {
  if (headers.directoryCount <= kExportDirectory) return false;
  const Directory &dir = headers.directories[kExportDirectory];
  if (dir.rva == 0) return false;
  const uint8_t *p = bytesAt(headers, view, dir.rva, kExportDirectorySize);
  if (!p) return false;
  parseExportDirectory(p, dir, out);
  // The tables must be whole in the view: their sizes are 4 x 2^32 at most,
  // which 64-bit arithmetic holds.
  return inside(0, uint64_t{4} * out.functionCount, UINT32_MAX) &&
         bytesAt(headers, view, out.functions, 4 * out.functionCount) &&
         inside(0, uint64_t{4} * out.nameCount, UINT32_MAX) &&
         bytesAt(headers, view, out.names, 4 * out.nameCount) &&
         bytesAt(headers, view, out.nameOrdinals, 2 * out.nameCount);
}

bool exportAt(const Headers &headers, const View &view, const Exports &exports,
              uint32_t index, Export &out) {
  if (index >= exports.functionCount) return false;
  const uint8_t *slot = tableEntry(headers, view, exports.functions, index, 4);
  if (!slot) return false;
  out.rva = u32(slot);
  if (out.rva == 0) return false;
  out.ordinal = exports.ordinalBase + index;
  out.forwarded = out.rva >= exports.range.rva &&
                  out.rva - exports.range.rva < exports.range.size;
  return true;
}

bool exportName(const Headers &headers, const View &view,
                const Exports &exports, uint32_t index, Text &name,
                uint32_t &slot) {
  if (index >= exports.nameCount) return false;
  const uint8_t *pointer = tableEntry(headers, view, exports.names, index, 4);
  const uint8_t *ordinal =
      tableEntry(headers, view, exports.nameOrdinals, index, 2);
  if (!pointer || !ordinal) return false;
  slot = u16(ordinal);
  return slot < exports.functionCount &&
         textAt(headers, view, u32(pointer), kMaxNameLength, name);
}

bool findExport(const Headers &headers, const View &view,
                const Exports &exports, const char *name, size_t length,
                uint16_t hint, Export &out) {
  Text candidate;
  uint32_t slot = 0;
  if (exportName(headers, view, exports, hint, candidate, slot) &&
      sameText(candidate, name, length))
    return exportAt(headers, view, exports, slot, out);
  uint32_t low = 0, high = exports.nameCount;
  while (low < high) {
    const uint32_t middle = low + (high - low) / 2;
    if (!exportName(headers, view, exports, middle, candidate, slot))
      return false;
    const int order = compareText(candidate, name, length);
    if (order == 0) return exportAt(headers, view, exports, slot, out);
    if (order < 0)
      low = middle + 1;
    else
      high = middle;
  }
  return false;
}

bool findExportByOrdinal(const Headers &headers, const View &view,
                         const Exports &exports, uint32_t ordinal,
                         Export &out) {
  // Ordinals below the base wrap to large slots, which do not exist.
  return exportAt(headers, view, exports, ordinal - exports.ordinalBase, out);
}

bool readForwarder(const Headers &headers, const View &view,
                   const Export &exported, Forwarder &out) {
  Text text;
  return exported.forwarded &&
         textAt(headers, view, exported.rva, kMaxForwarderLength, text) &&
         parseForwarder(text, out);
}

bool parseForwarder(Text text, Forwarder &out) {
  const char *dot = nullptr;
  for (size_t i = 0; i < text.length; ++i)
    if (text.data[i] == '.') dot = text.data + i;
  if (!dot || dot == text.data) return false;
  out.module = {text.data, static_cast<size_t>(dot - text.data)};
  const char *rest = dot + 1;
  const size_t restLength = text.length - out.module.length - 1;
  if (out.module.length > kMaxNameLength || restLength == 0 ||
      restLength > kMaxNameLength)
    return false;
  out.name = {rest, 0};
  out.ordinal = 0;
  if (rest[0] != '#') {
    out.name.length = restLength;
    return true;
  }
  // "#ordinal": decimal, 1 to 65535.
  if (restLength < 2 || restLength > 6) return false;
  for (size_t i = 1; i < restLength; ++i) {
    if (rest[i] < '0' || rest[i] > '9') return false;
    out.ordinal = out.ordinal * 10 + static_cast<uint32_t>(rest[i] - '0');
  }
  return out.ordinal >= 1 && out.ordinal <= 0xFFFF;
}

// ---- imports ----------------------------------------------------------------

namespace {

uint32_t slotWidth(const Headers &headers) { return headers.wide ? 8 : 4; }

}  // namespace

void parseImportModule(const uint8_t *p, ImportModule &out) {
  out.lookupTable = u32(p);
  out.timeDateStamp = u32(p + 4);
  out.name = u32(p + 12);
  out.addressTable = u32(p + 16);
}

Read nextImportModule(const Headers &headers, const View &view,
                      ImportCursor &cursor, ImportModule &out) {
  if (headers.directoryCount <= kImportDirectory) return Read::End;
  const Directory &dir = headers.directories[kImportDirectory];
  if (dir.rva == 0) return Read::End;
  if (cursor.index >= kMaxImportModules) return Read::Broken;
  const uint8_t *p =
      tableEntry(headers, view, dir.rva, cursor.index, kImportDescriptorSize);
  if (!p) return Read::Broken;
  parseImportModule(p, out);
  // The loader stops at the first descriptor without a name or slots.
  if (out.name == 0 || out.addressTable == 0) return Read::End;
  ++cursor.index;
  return Read::Item;
}

Read decodeImportEntry(bool wide, uint64_t value, ImportEntry &out) {
  if (value == 0) return Read::End;
  const uint64_t ordinalFlag = wide ? uint64_t{1} << 63 : uint64_t{1} << 31;
  out.byOrdinal = (value & ordinalFlag) != 0;
  out.ordinal = out.byOrdinal ? static_cast<uint16_t>(value) : 0;
  out.hintName = 0;
  if (out.byOrdinal) return Read::Item;
  // A name entry: a 31-bit RVA of the hint (u16) and the name after it.
  if (value > 0x7FFFFFFF) return Read::Broken;
  out.hintName = static_cast<uint32_t>(value);
  return Read::Item;
}

Read importedFunction(const Headers &headers, const View &view,
                      const ImportModule &module, uint32_t index,
                      ImportedFunction &out) {
  if (index >= kMaxImportedFunctions) return Read::Broken;
  // A mapped image's address slots hold addresses, no longer names: without
  // a lookup table the names are gone once the image is loaded.
  const uint32_t table = module.lookupTable            ? module.lookupTable
                         : view.layout == Layout::File ? module.addressTable
                                                       : 0;
  if (table == 0) return Read::Broken;
  const uint32_t width = slotWidth(headers);
  const uint64_t slotAt =
      uint64_t{module.addressTable} + uint64_t{width} * index;
  const uint8_t *entry = tableEntry(headers, view, table, index, width);
  if (!entry || slotAt > UINT32_MAX) return Read::Broken;
  ImportEntry decoded;
  const Read read = decodeImportEntry(
      headers.wide, headers.wide ? u64(entry) : u32(entry), decoded);
  if (read != Read::Item) return read;
  out.slot = static_cast<uint32_t>(slotAt);
  out.byOrdinal = decoded.byOrdinal;
  out.ordinal = decoded.ordinal;
  out.hint = 0;
  out.name = {nullptr, 0};
  if (out.byOrdinal) return Read::Item;
  const uint8_t *hint = bytesAt(headers, view, decoded.hintName, 2);
  if (!hint) return Read::Broken;
  out.hint = u16(hint);
  if (!textAt(headers, view, decoded.hintName + 2, kMaxNameLength, out.name) ||
      out.name.length == 0)
    return Read::Broken;
  return Read::Item;
}

bool readAddressSlot(const Headers &headers, const View &view, uint32_t rva,
                     uint64_t &out) {
  const uint8_t *p = bytesAt(headers, view, rva, slotWidth(headers));
  if (!p) return false;
  out = headers.wide ? u64(p) : u32(p);
  return true;
}

// ---- base relocations -------------------------------------------------------

namespace {

constexpr uint32_t kBlockHeaderSize = 8;

}  // namespace

Read nextRelocation(const Headers &headers, const View &view,
                    RelocationCursor &cursor, Relocation &out) {
  if (headers.directoryCount <= kBaseRelocationDirectory) return Read::End;
  const Directory &dir = headers.directories[kBaseRelocationDirectory];
  if (dir.rva == 0) return Read::End;
  for (;;) {
    if (cursor.blockSize != 0 && cursor.entry + 2 > cursor.blockSize) {
      cursor.block += cursor.blockSize;
      cursor.blockSize = 0;
    }
    if (cursor.blockSize == 0) {
      // Fewer bytes than a block header left: the table's padding.
      if (!inside(cursor.block, kBlockHeaderSize, dir.size)) return Read::End;
      const uint64_t at = uint64_t{dir.rva} + cursor.block;
      if (at > UINT32_MAX) return Read::Broken;
      const uint8_t *header =
          bytesAt(headers, view, static_cast<uint32_t>(at), kBlockHeaderSize);
      if (!header) return Read::Broken;
      const uint32_t size = u32(header + 4);
      if (size < kBlockHeaderSize || !inside(cursor.block, size, dir.size))
        return Read::Broken;
      cursor.page = u32(header);
      cursor.blockSize = size;
      cursor.entry = kBlockHeaderSize;
      continue;
    }
    const uint64_t at = uint64_t{dir.rva} + cursor.block + cursor.entry;
    if (at > UINT32_MAX) return Read::Broken;
    const uint8_t *entry = bytesAt(headers, view, static_cast<uint32_t>(at), 2);
    if (!entry) return Read::Broken;
    cursor.entry += 2;
    if (!relocationEntry(cursor.page, u16(entry), out)) return Read::Broken;
    if (out.type == kRelocationHighAdj) cursor.entry += 2;
    return Read::Item;
  }
}

bool relocationEntry(uint32_t page, uint16_t entry, Relocation &out) {
  out.type = static_cast<uint8_t>(entry >> 12);
  const uint64_t rva = uint64_t{page} + (entry & 0x0FFF);
  if (rva > UINT32_MAX) return false;
  out.rva = static_cast<uint32_t>(rva);
  return true;
}

uint32_t relocationWidth(uint8_t type) {
  switch (type) {
    case kRelocationHigh:
    case kRelocationLow:
      return 2;
    case kRelocationHighLow:
      return 4;
    case kRelocationDir64:
      return 8;
    default:
      return 0;
  }
}

namespace {

void relocate(uint8_t type, uint8_t *p, uint64_t delta) {
  switch (type) {
    case kRelocationHigh: {
      const uint32_t moved =
          (static_cast<uint32_t>(u16(p)) << 16) + static_cast<uint32_t>(delta);
      put16(p, static_cast<uint16_t>(moved >> 16));
      break;
    }
    case kRelocationLow:
      put16(p, static_cast<uint16_t>(u16(p) + static_cast<uint16_t>(delta)));
      break;
    case kRelocationHighLow:
      put32(p, u32(p) + static_cast<uint32_t>(delta));
      break;
    case kRelocationDir64:
      put64(p, u64(p) + delta);
      break;
  }
}

// The widest field any relocation type changes: an unknown type touches the
// copy when any of the bytes it might change lies in it.
constexpr uint64_t kWidestRelocation = 8;

}  // namespace

bool applyRelocation(const Relocation &r, uint32_t rva, uint8_t *bytes,
                     size_t size, uint64_t delta) {
  if (r.type == kRelocationAbsolute) return true;
  const uint64_t begin = rva, end = uint64_t{rva} + size;
  const uint32_t width = relocationWidth(r.type);
  if (width == 0) return !(r.rva + kWidestRelocation > begin && r.rva < end);
  if (r.rva >= begin && uint64_t{r.rva} + width <= end)
    relocate(r.type, bytes + (r.rva - begin), delta);
  return true;
}

bool applyRelocations(const Headers &headers, const View &relocations,
                      uint32_t rva, uint8_t *bytes, size_t size,
                      uint64_t loadBase) {
  const uint64_t delta = loadBase - headers.imageBase;
  if (delta == 0) return true;
  if (headers.characteristics & kFileRelocsStripped) return false;
  if (headers.directoryCount <= kBaseRelocationDirectory ||
      headers.directories[kBaseRelocationDirectory].rva == 0)
    return false;
  RelocationCursor cursor{};
  Relocation r;
  for (;;) {
    const Read read = nextRelocation(headers, relocations, cursor, r);
    if (read == Read::End) return true;
    if (read == Read::Broken || !applyRelocation(r, rva, bytes, size, delta))
      return false;
  }
}

}  // namespace qx::scan::pe
