// A bounded reader of Windows program images (PE32 and PE32+): the headers
// and sections, the export directory with its forwarders, the import
// descriptors with their name and address tables, and the base relocations,
// which it can also apply to a copy of the image's bytes for another load
// base.
//
// It reads bytes and nothing else: no file, no system call, no loader, so it
// works the same on every platform and on every kind of source. The headers
// are parsed once into Headers (which keeps a copy of the section table);
// every later read goes through a View, a window of the image's bytes that
// may hold all of it or only the part a caller has copied (the export
// directory, a chunk of a section). A View is either a file as written on
// disk (sections at their file offsets) or an image as the loader mapped it
// (sections at their relative virtual addresses, "RVA"s below).
//
// Every offset and size comes from the image and is checked against the
// view before a byte is read; the checks are written so that they cannot
// overflow on a 32-bit build. A damaged, truncated or hostile image makes a
// read fail (false, or Read::Broken), never a read outside the view.
#pragma once

#include <cstddef>
#include <cstdint>

namespace qx::scan::pe {

// ---- headers and views ------------------------------------------------------

constexpr uint16_t kMachineI386 = 0x014C;
constexpr uint16_t kMachineAmd64 = 0x8664;

constexpr uint16_t kFileRelocsStripped = 0x0001;  // Headers::characteristics
constexpr uint16_t kFileDll = 0x2000;

constexpr uint32_t kSectionCode = 0x00000020;  // Section::characteristics
constexpr uint32_t kSectionExecute = 0x20000000;
constexpr uint32_t kSectionRead = 0x40000000;
constexpr uint32_t kSectionWrite = 0x80000000;

// The data directories this reader knows by number.
enum DirectoryIndex : uint32_t {
  kExportDirectory = 0,
  kImportDirectory = 1,
  kResourceDirectory = 2,
  kBaseRelocationDirectory = 5,
  kLoadConfigDirectory = 10,
  kBoundImportDirectory = 11,
  kImportAddressTableDirectory = 12,
  kDelayImportDirectory = 13,
  kDirectorySlots = 16
};

// The loader of every system since the first refuses an image with more
// sections than it can map in its first page of headers; images in use hold
// a few dozen at most.
constexpr uint32_t kMaxSections = 96;

struct Directory {
  uint32_t rva;
  uint32_t size;
};

struct Section {
  char name[9];         // up to 8 characters, zero-terminated
  uint32_t rva;         // where it starts in the mapped image
  uint32_t mappedSize;  // bytes it spans in the mapped image
  uint32_t fileOffset;  // where its bytes start in the file
  uint32_t fileSize;    // bytes of it the file holds (the rest is zeros)
  uint32_t characteristics;
};

struct Headers {
  bool wide;  // PE32+ (64-bit addresses in the optional header and tables)
  uint16_t machine;
  uint16_t characteristics;
  uint16_t dllCharacteristics;
  uint64_t imageBase;  // the base the image was linked for
  uint32_t entryPoint;
  uint32_t sizeOfImage;
  uint32_t sizeOfHeaders;
  uint32_t sectionAlignment;
  uint32_t fileAlignment;
  uint32_t directoryCount;  // directories the image declares, at most 16
  Directory directories[kDirectorySlots];  // zeros beyond directoryCount
  uint32_t sectionCount;
  Section sections[kMaxSections];
};

// Parses the headers at the start of an image: the DOS header, the PE
// signature, the file header, the optional header and the section table.
// The headers are the same in a file and in a mapped image, so data may be
// either. Returns null on success, else why the bytes are no image this
// reader takes ("not an MZ file", "truncated headers", ...).
const char *parseHeaders(const uint8_t *data, size_t size, Headers &out);

enum class Layout : uint8_t {
  File,    // offsets are file offsets
  Mapped,  // offsets are RVAs
};

// A window of an image's bytes: size bytes at data hold the image from
// offset start on (a file offset or an RVA, as layout says).
struct View {
  const uint8_t *data;
  size_t size;
  uint64_t start;
  Layout layout;
};

inline View fileView(const uint8_t *data, size_t size) {
  return {data, size, 0, Layout::File};
}
inline View mappedView(const uint8_t *data, size_t size, uint64_t start = 0) {
  return {data, size, start, Layout::Mapped};
}

// The section that holds rva in the mapped image, or null.
const Section *sectionAt(const Headers &headers, uint32_t rva);

// The bytes at rva .. rva+length of the image, or null when any of them is
// outside the view or (in a file) outside the part of one section, or of the
// headers, that the file holds.
const uint8_t *bytesAt(const Headers &headers, const View &view, uint32_t rva,
                       uint32_t length);

// A text inside the view: not zero-terminated in general, so always with its
// length.
struct Text {
  const char *data;
  size_t length;
};

// The zero-terminated text at rva, of at most maxLength characters before
// its terminator; false when the terminator is not inside the view and that
// limit.
bool textAt(const Headers &headers, const View &view, uint32_t rva,
            size_t maxLength, Text &out);

// The longest name this reader takes for an exported or imported function,
// and for a module named in a table or a forwarder.
constexpr size_t kMaxNameLength = 255;

bool sameText(Text a, const char *b, size_t bLength);
bool sameTextIgnoringCase(Text a, const char *b, size_t bLength);

// ---- exports ----------------------------------------------------------------

constexpr uint32_t kExportDirectorySize = 40;

struct Exports {
  Directory range;      // an export address inside it is a forwarder's text
  uint32_t moduleName;  // RVA of the name the image gives itself
  uint32_t ordinalBase;
  uint32_t functionCount;
  uint32_t nameCount;
  uint32_t functions;     // RVA of the address table (functionCount x u32)
  uint32_t names;         // RVA of the name pointers (nameCount x u32)
  uint32_t nameOrdinals;  // RVA of the name ordinals (nameCount x u16)
};

// Reads the export directory; false when the image has none, or when the
// directory or its tables lie outside the view.
bool readExports(const Headers &headers, const View &view, Exports &out);

// The fields of the kExportDirectorySize bytes of an export directory at p
// that the directory entry range names, for a caller that reads its tables
// itself.
void parseExportDirectory(const uint8_t *p, Directory range, Exports &out);

struct Export {
  uint32_t ordinal;  // the ordinal an importer names it by (base included)
  uint32_t rva;      // the function, or its forwarder's text
  bool forwarded;    // rva lies inside the export directory: a forwarder
};

// The export in slot index of the address table (0 .. functionCount-1).
// False when the slot is outside the view or empty (rva 0).
bool exportAt(const Headers &headers, const View &view, const Exports &exports,
              uint32_t index, Export &out);

// The name at position index of the name table (sorted, for the loader's
// binary search) and the slot of the address table it names.
bool exportName(const Headers &headers, const View &view,
                const Exports &exports, uint32_t index, Text &name,
                uint32_t &slot);

// The export an importer gets by name, found as the loader finds it: the
// hint (a position in the name table) first, then a binary search.
bool findExport(const Headers &headers, const View &view,
                const Exports &exports, const char *name, size_t length,
                uint16_t hint, Export &out);

// The export an importer gets by ordinal (base included).
bool findExportByOrdinal(const Headers &headers, const View &view,
                         const Exports &exports, uint32_t ordinal, Export &out);

// A forwarder: "MODULE.Name" or "MODULE.#ordinal". The module is named
// without its extension (".dll" is implied); it is what lies before the last
// dot.
struct Forwarder {
  Text module;
  Text name;         // empty when by ordinal
  uint32_t ordinal;  // when name is empty
};

constexpr size_t kMaxForwarderLength = 2 * kMaxNameLength + 1;

// Reads the forwarder text of an export; false when it does not read as
// either form.
bool readForwarder(const Headers &headers, const View &view,
                   const Export &exported, Forwarder &out);
// The same for a forwarder text read by the caller (without terminator).
bool parseForwarder(Text text, Forwarder &out);

// ---- imports ----------------------------------------------------------------

constexpr uint32_t kImportDescriptorSize = 20;

// One import descriptor: the functions an image imports from one module.
struct ImportModule {
  uint32_t lookupTable;  // RVA of the names or ordinals (0: use addresses)
  uint32_t timeDateStamp;
  uint32_t name;          // RVA of the module's name
  uint32_t addressTable;  // RVA of the slots the loader fills in
};

// Walks the import descriptors: begin with ImportCursor{}.
struct ImportCursor {
  uint32_t index;
};

enum class Read : uint8_t { Item, End, Broken };

// The fields of the kImportDescriptorSize bytes of a descriptor at p.
void parseImportModule(const uint8_t *p, ImportModule &out);

// The next import descriptor. End at the terminating descriptor (all
// zeros) or when the image has no imports; Broken when the table runs out
// of the view or past kMaxImportModules entries.
constexpr uint32_t kMaxImportModules = 4096;
Read nextImportModule(const Headers &headers, const View &view,
                      ImportCursor &cursor, ImportModule &out);

struct ImportedFunction {
  uint32_t slot;  // RVA of its address slot in the address table
  bool byOrdinal;
  uint16_t ordinal;  // by ordinal
  uint16_t hint;     // by name: where to look in the exporter's name table
  Text name;         // by name
};

// Entry index of a descriptor's tables: Item, End at the terminating zero
// entry, Broken when the entry or its name is outside the view.
constexpr uint32_t kMaxImportedFunctions = 65536;
Read importedFunction(const Headers &headers, const View &view,
                      const ImportModule &module, uint32_t index,
                      ImportedFunction &out);

// What one entry of a lookup table (32 or 64 bits as the image is wide)
// names: End for the terminating zero, Broken for a name entry whose RVA
// has bits beyond 31.
struct ImportEntry {
  bool byOrdinal;
  uint16_t ordinal;   // by ordinal
  uint32_t hintName;  // by name: RVA of the hint (u16) and the name after it
};
Read decodeImportEntry(bool wide, uint64_t value, ImportEntry &out);

// The address slot at rva of a mapped image: the address the loader wrote
// (32 or 64 bits as the image is wide).
bool readAddressSlot(const Headers &headers, const View &view, uint32_t rva,
                     uint64_t &out);

// ---- base relocations -------------------------------------------------------

enum RelocationType : uint8_t {
  kRelocationAbsolute = 0,  // padding: nothing to do
  kRelocationHigh = 1,      // the high 16 bits of a 32-bit address
  kRelocationLow = 2,       // the low 16 bits
  kRelocationHighLow = 3,   // a 32-bit address
  kRelocationHighAdj = 4,   // not applied; its parameter takes the next entry
  kRelocationDir64 = 10,    // a 64-bit address
};

struct Relocation {
  uint32_t rva;  // the first byte the loader changes
  uint8_t type;
};

// Walks the base relocations: begin with RelocationCursor{}.
struct RelocationCursor {
  uint32_t block;      // offset of the current block in the directory
  uint32_t blockSize;  // 0 before the first block is read
  uint32_t entry;      // offset of the next entry in the block
  uint32_t page;       // the block's page RVA
};

// The next relocation (padding included). End after the last block; Broken
// when a block's header is not whole (its size below 8 or beyond the
// directory) or lies outside the view.
Read nextRelocation(const Headers &headers, const View &view,
                    RelocationCursor &cursor, Relocation &out);

// The relocation that the 16-bit entry of a block for page describes; false
// when it would lie beyond the 32-bit address space.
bool relocationEntry(uint32_t page, uint16_t entry, Relocation &out);

// The bytes a relocation of this type changes; 0 for padding and for types
// this reader does not apply.
uint32_t relocationWidth(uint8_t type);

// Applies one relocation to bytes, a copy of size bytes of the image from
// rva on, for an image moved by delta, when its bytes lie wholly inside the
// copy. False when it is of a type that cannot be applied and may touch
// the copy.
bool applyRelocation(const Relocation &r, uint32_t rva, uint8_t *bytes,
                     size_t size, uint64_t delta);

// Applies the base relocations for an image loaded at loadBase to bytes, a
// copy of size bytes of the image from rva on. Only relocations whose bytes
// lie wholly inside the copy are applied: a caller that copies a few bytes
// more on each side than it compares gets every byte it compares right.
// False (with bytes partly changed) when a relocation touching the copy is
// of a type that cannot be applied, when the table is broken, or when the
// image must be moved but has no relocations; true when there is nothing to
// do (loadBase is the image base).
bool applyRelocations(const Headers &headers, const View &relocations,
                      uint32_t rva, uint8_t *bytes, size_t size,
                      uint64_t loadBase);

}  // namespace qx::scan::pe
