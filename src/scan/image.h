// What the scanning passes read of one loaded module through its image
// format: its import slots with the symbol and library each names, its
// exported functions' entries, a lookup of one export, and a comparison of
// its code in memory with the code in its file. There is one implementation
// per image format, picked by the platform: ELF on POSIX
// (scan/posix/image_elf.cpp), PE on Windows (scan/win32/image_pe.cpp).
//
// Every read of memory goes through platform::readOwnMemory, so a module
// that is unloaded while a pass looks at it ends the pass's walk over it
// (the calls below then report the end or Unreadable); nothing here faults,
// writes, allocates or reads past a bound that the image itself states
// without checking it against the module's extent first.
//
// The walks are cursors that hold all they need (the image's table
// addresses, read-ahead, the open file of a comparison) in fixed storage,
// so they live in the scanning's state, are started once per module and go
// on from slice to slice: each next…() or compareStep() call does a bounded
// amount of work (at most one block read from the file, a few small reads
// of memory). Close a comparison when its pass is cancelled.
//
// To keep that bound where a table holds long runs of entries that are
// not items (local symbols, relocations of other kinds), nextImport and
// nextExport may give a blank item, with an empty symbol, after a chunk of
// such entries: the caller skips it and calls again.
//
// The cursors' storage is opaque to the passes: each implementation lays
// its own record into it (static_assert on the size) and the passes use
// only the functions below.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/process.h"

namespace qx::scan {

constexpr size_t kSymbolMax = 128;  // bytes of a symbol name, terminator in
constexpr size_t kLibraryMax = 64;  // bytes of a library name, terminator in
constexpr size_t kCompareBlock = 4096;

// ---- an image ---------------------------------------------------------------

// One module's headers, read from memory once and kept for the walks below.
struct Image {
  platform::ModuleInfo module;  // as listModules gave it
  bool valid;                   // the headers were read and are of this format
  alignas(8) unsigned char format[512];  // the implementation's record
};

// Reads the headers of module from memory into image. False (and
// image.valid false) when they cannot be read or are not an image of this
// platform's format (the vDSO's pages on Linux are an image; Wine's
// unix-side libraries are not a PE image).
bool imageOpen(Image &image, const platform::ModuleInfo &module);

// ---- imports
// ------------------------------------------------------------------

// One slot of an import table: the pointer the loader wrote for one symbol
// the module imports.
struct ImportSlot {
  uintptr_t slot;             // where the pointer lies
  uintptr_t target;           // what it holds now (0: not bound, a weak
                              // symbol nobody defines)
  bool bound;                 // false while the loader has not bound it yet
                              // (lazy binding, a delay-loaded import): its
                              // target is then the importer's own resolver
                              // stub and says nothing about hooks
  char symbol[kSymbolMax];    // the function's name, or "#<ordinal>" for an
                              // import by ordinal
  char library[kLibraryMax];  // the library the importer names for it (PE:
                              // "KERNEL32.dll"); empty when the format names
                              // none (ELF: the loader's search order decides)
};

struct ImportCursor {
  alignas(8) unsigned char format[4096];
};
void importsBegin(ImportCursor &cursor, const Image &image);
// The next slot; false at the end, or when the tables can no longer be read.
bool nextImport(ImportCursor &cursor, ImportSlot &out);

// ---- exports
// ------------------------------------------------------------------

// One exported function and where it begins in memory. Forwarded exports
// and exported data are not entries.
struct ExportEntry {
  uintptr_t entry;
  char symbol[kSymbolMax];
};

struct ExportCursor {
  alignas(8) unsigned char format[4096];
};
void exportsBegin(ExportCursor &cursor, const Image &image);
bool nextExport(ExportCursor &cursor, ExportEntry &out);  // false at the end

// Where image exports symbol ("#<ordinal>" looks up an ordinal, on formats
// that have them). Forwarded: the export is the forwarder's text, split into
// library (without an extension, as the forwarder writes it: "NTDLL") and
// symbol; the caller looks it up in that library. A bounded number of reads
// (a hash or binary search), fit for a slice per lookup. A function the
// loader picks among versions at run time (an ELF indirect function) is
// found at its selector, which lies in the same module as its versions.
enum class Lookup { Found, Forwarded, Missing, Unreadable };
struct ExportTarget {
  uintptr_t address;          // Found
  char library[kLibraryMax];  // Forwarded
  char symbol[kSymbolMax];    // Forwarded
};
Lookup findExport(const Image &image, const char *symbol, ExportTarget &out);

// ---- code in memory against the file ---------------------------------------

// Compares the executable parts of the image in memory with the same bytes
// of the file it was loaded from, after applying the relocations for the
// loaded base to the file's bytes, and leaving out the bytes the loader
// writes into those parts (PE: import address tables and bound data that
// lie in code sections; ELF: text relocations). Offsets count from the
// module's base.
enum class Compare {
  More,        // call compareStep again
  Matches,     // done: every compared byte is the file's
  Differs,     // done: see differing and firstOffset
  Unreadable,  // done: the file could not be opened or read, or is not the
               // image that is loaded (its headers disagree with memory)
  Gone,        // done: the module's memory could no longer be read
};

struct CodeComparison {
  uint64_t compared;     // bytes compared so far
  uint64_t differing;    // bytes that differ so far
  uint64_t firstOffset;  // offset of the first differing byte
  alignas(8) unsigned char format[3 * kCompareBlock + 1024];
};
// path is the module's file (ModuleInfo::path; it may differ from
// image.module.path when the caller resolved it, as for the main program).
void compareBegin(CodeComparison &comparison, const Image &image,
                  const char *path);
// Compares at most one block (kCompareBlock bytes) and returns More, or the
// outcome once the last block is done. Calls after the outcome return it
// again.
Compare compareStep(CodeComparison &comparison);
// Closes the file; safe to call at any point, and more than once.
void compareClose(CodeComparison &comparison);

}  // namespace qx::scan
