// The ELF side of the image interface: a loaded module's dynamic section,
// symbol table and hash tables read from memory, its PLT and GOT slots, its
// exported functions, and its executable segments compared with its file.
//
// Everything is read through platform::readOwnMemory and checked against
// the module's extent before it is used; a table that points elsewhere
// ends the walk as if it were empty.
#include "scan/image.h"

#include <elf.h>
#include <link.h>

#include <climits>
#include <cstring>
#include <new>

#include "platform/platform.h"

namespace qx::scan {

namespace {

using Ehdr = ElfW(Ehdr);
using Phdr = ElfW(Phdr);
using Dyn = ElfW(Dyn);
using Sym = ElfW(Sym);
using Rela = ElfW(Rela);
using Rel = ElfW(Rel);
using Addr = ElfW(Addr);

#if defined(__x86_64__)
constexpr unsigned char kElfClass = ELFCLASS64;
constexpr uint16_t kMachine = EM_X86_64;
inline uint32_t relocationType(uint64_t info) { return ELF64_R_TYPE(info); }
inline uint32_t relocationSymbol(uint64_t info) { return ELF64_R_SYM(info); }
#elif defined(__i386__)
constexpr unsigned char kElfClass = ELFCLASS32;
constexpr uint16_t kMachine = EM_386;
inline uint32_t relocationType(uint32_t info) { return ELF32_R_TYPE(info); }
inline uint32_t relocationSymbol(uint32_t info) { return ELF32_R_SYM(info); }
#else
#error "the ELF image reader knows x86 and x86_64 only"
#endif

// The relocation types of import slots, the same number on x86 and x86_64.
constexpr uint32_t kGlobDat = 6;
constexpr uint32_t kJumpSlot = 7;

constexpr int kMostPhdrs = 64;
constexpr int kMostDynamic = 512;
constexpr int kMostSegments = 4;       // executable segments compared
constexpr uint32_t kMostChain = 4096;  // hash chain entries looked at

struct Segment {
  Addr vaddr;   // where it lies, before the load bias
  Addr offset;  // where it starts in the file
  Addr filesz;  // bytes that come from the file
};

// What imageOpen keeps of an ELF image.
struct ElfImage {
  uintptr_t bias;  // memory address = bias + virtual address
  uintptr_t symtab, strtab, versym;
  size_t strsz, syment;
  uintptr_t gnuHash, sysvHash;
  uintptr_t jmprel, rela;  // relocation tables (REL or RELA, see below)
  size_t jmprelSize, relaSize;
  bool jmprelIsRela, relaIsRela;
  bool textRelocations;
  uint32_t symbolCount;
  // The GNU hash table's shape, read once.
  uint32_t buckets, symbolOffset;
  uintptr_t bucketTable, chainTable;
  Segment code[kMostSegments];
  int codeCount;
  Addr phdrOffset;  // of the program headers in the file
  uint16_t phnum;
};
static_assert(sizeof(ElfImage) <= sizeof(Image::format),
              "the ELF record fits Image::format");
static_assert(alignof(ElfImage) <= 8, "Image::format is 8-aligned");

const ElfImage &elf(const Image &image) {
  return *std::launder(reinterpret_cast<const ElfImage *>(image.format));
}

template <typename T>
bool readValue(uintptr_t address, T &out) {
  return platform::readOwnMemory(address, &out, sizeof out) == sizeof out;
}

bool inModule(const platform::ModuleInfo &m, uintptr_t address, size_t size) {
  return address >= m.base && address - m.base <= m.size &&
         size <= m.size - (address - m.base);
}

// A dynamic entry's address: the loader adjusts most of them to the loaded
// base in place (glibc), leaves some as they are in the file (the vDSO,
// other loaders); either way the table lies inside the module.
uintptr_t dynamicAddress(const platform::ModuleInfo &m, uintptr_t bias,
                         Addr value) {
  if (value == 0) return 0;
  if (inModule(m, value, 1)) return value;
  if (inModule(m, bias + value, 1)) return bias + value;
  return 0;
}

// The name at offset in the string table, terminated; false when it does
// not lie in the table or does not end within kSymbolMax bytes.
bool readName(const ElfImage &e, const platform::ModuleInfo &m, uint32_t offset,
              char *out) {
  if (offset >= e.strsz) return false;
  size_t want = e.strsz - offset;
  if (want > kSymbolMax) want = kSymbolMax;
  const uintptr_t at = e.strtab + offset;
  if (!inModule(m, at, want)) return false;
  const size_t got = platform::readOwnMemory(at, out, want);
  const void *end = std::memchr(out, '\0', got);
  if (!end) return false;
  return true;
}

bool readSymbol(const ElfImage &e, const platform::ModuleInfo &m,
                uint32_t index, Sym &out) {
  if (e.symtab == 0 || index >= e.symbolCount) return false;
  const uintptr_t at = e.symtab + static_cast<uintptr_t>(index) * e.syment;
  return inModule(m, at, sizeof out) && readValue(at, out);
}

// Counts the symbols through the GNU hash table: the highest index any
// bucket starts at, then along its chain to the entry that ends it.
bool countGnuSymbols(ElfImage &e, const platform::ModuleInfo &m) {
  uint32_t header[4];
  if (!inModule(m, e.gnuHash, sizeof header) || !readValue(e.gnuHash, header))
    return false;
  e.buckets = header[0];
  e.symbolOffset = header[1];
  const uint64_t bloomBytes = uint64_t{header[2]} * sizeof(Addr);
  if (e.buckets == 0 || bloomBytes > m.size) return false;
  e.bucketTable =
      e.gnuHash + sizeof header + static_cast<uintptr_t>(bloomBytes);
  e.chainTable = e.bucketTable + uintptr_t{e.buckets} * 4;
  if (!inModule(m, e.bucketTable, uintptr_t{e.buckets} * 4)) return false;
  uint32_t highest = 0;
  uint32_t chunk[256];
  for (uint32_t done = 0; done < e.buckets;) {
    uint32_t n = e.buckets - done;
    if (n > 256) n = 256;
    if (platform::readOwnMemory(e.bucketTable + uintptr_t{done} * 4, chunk,
                                n * 4) != n * 4)
      return false;
    for (uint32_t i = 0; i < n; ++i)
      if (chunk[i] > highest) highest = chunk[i];
    done += n;
  }
  if (highest < e.symbolOffset) {
    e.symbolCount = e.symbolOffset;
    return true;
  }
  for (uint32_t i = highest;; ++i) {
    uint32_t link;
    const uintptr_t at = e.chainTable + uintptr_t{i - e.symbolOffset} * 4;
    if (!inModule(m, at, 4) || !readValue(at, link)) return false;
    if (link & 1) {
      e.symbolCount = i + 1;
      return true;
    }
    if (i - highest > kMostChain) return false;
  }
}

bool countSysvSymbols(ElfImage &e, const platform::ModuleInfo &m) {
  uint32_t header[2];
  if (!inModule(m, e.sysvHash, sizeof header) || !readValue(e.sysvHash, header))
    return false;
  e.symbolCount = header[1];  // nchain: one entry per symbol
  return true;
}

// The dynamic entries the reader uses, as the module holds them.
struct DynamicEntries {
  Addr symtab, strtab, strsz, syment, gnuHash, hash, versym;
  Addr jmprel, pltrelsz, pltrel, rela, relasz, relaent, rel, relsz, relent;
  Addr flags, textrel;
};

struct DynamicTag {
  ElfW(Sxword) tag;
  Addr DynamicEntries::*field;
};

constexpr DynamicTag kDynamicTags[] = {
    {DT_SYMTAB, &DynamicEntries::symtab},
    {DT_STRTAB, &DynamicEntries::strtab},
    {DT_STRSZ, &DynamicEntries::strsz},
    {DT_SYMENT, &DynamicEntries::syment},
    {DT_GNU_HASH, &DynamicEntries::gnuHash},
    {DT_HASH, &DynamicEntries::hash},
    {DT_VERSYM, &DynamicEntries::versym},
    {DT_JMPREL, &DynamicEntries::jmprel},
    {DT_PLTRELSZ, &DynamicEntries::pltrelsz},
    {DT_PLTREL, &DynamicEntries::pltrel},
    {DT_RELA, &DynamicEntries::rela},
    {DT_RELASZ, &DynamicEntries::relasz},
    {DT_RELAENT, &DynamicEntries::relaent},
    {DT_REL, &DynamicEntries::rel},
    {DT_RELSZ, &DynamicEntries::relsz},
    {DT_RELENT, &DynamicEntries::relent},
    {DT_FLAGS, &DynamicEntries::flags},
    {DT_TEXTREL, &DynamicEntries::textrel},
};

// Reads count entries at at, up to DT_NULL.
bool readEntries(uintptr_t at, size_t count, DynamicEntries &out) {
  Dyn chunk[32];
  for (size_t done = 0; done < count; done += 32) {
    size_t n = count - done;
    if (n > 32) n = 32;
    const size_t bytes = n * sizeof(Dyn);
    if (platform::readOwnMemory(at + done * sizeof(Dyn), chunk, bytes) != bytes)
      return false;
    for (size_t i = 0; i < n; ++i) {
      if (chunk[i].d_tag == DT_NULL) return true;
      for (const DynamicTag &t : kDynamicTags)
        if (t.tag == chunk[i].d_tag) {
          // DT_TEXTREL says so by being there, whatever its value.
          out.*t.field = t.tag == DT_TEXTREL ? 1 : chunk[i].d_un.d_val;
          break;
        }
    }
  }
  return true;
}

bool readDynamic(ElfImage &e, const platform::ModuleInfo &m, uintptr_t at,
                 size_t count) {
  DynamicEntries d{};
  if (!readEntries(at, count, d)) return false;
  auto address = [&](Addr v) { return dynamicAddress(m, e.bias, v); };
  e.symtab = d.syment == sizeof(Sym) ? address(d.symtab) : 0;
  e.strtab = address(d.strtab);
  e.strsz = d.strsz;
  e.syment = d.syment;
  e.gnuHash = address(d.gnuHash);
  e.sysvHash = address(d.hash);
  e.versym = address(d.versym);
  e.textRelocations = d.textrel || (d.flags & DF_TEXTREL);
  e.jmprel = address(d.jmprel);
  e.jmprelSize = d.pltrelsz;
  e.jmprelIsRela = d.pltrel != DT_REL;
  e.relaIsRela = d.rela != 0;
  if (d.rela && (d.relaent == 0 || d.relaent == sizeof(Rela))) {
    e.rela = address(d.rela);
    e.relaSize = d.relasz;
  } else if (!d.rela && d.rel && (d.relent == 0 || d.relent == sizeof(Rel))) {
    e.rela = address(d.rel);
    e.relaSize = d.relsz;
  }
  if (e.strtab && !inModule(m, e.strtab, e.strsz)) e.strtab = 0;
  if (e.jmprel && !inModule(m, e.jmprel, e.jmprelSize)) e.jmprel = 0;
  if (e.rela && !inModule(m, e.rela, e.relaSize)) e.rela = 0;
  return true;
}

}  // namespace

bool imageOpen(Image &image, const platform::ModuleInfo &module) {
  image.module = module;
  image.valid = false;
  ElfImage &e = *new (image.format) ElfImage{};
  const platform::ModuleInfo &m = image.module;
  Ehdr header;
  if (m.size < sizeof header || !readValue(m.base, header)) return false;
  if (std::memcmp(header.e_ident, ELFMAG, SELFMAG) != 0 ||
      header.e_ident[EI_CLASS] != kElfClass || header.e_machine != kMachine ||
      header.e_phentsize != sizeof(Phdr) || header.e_phnum == 0 ||
      header.e_phnum > kMostPhdrs)
    return false;
  // The headers lie at the start of the first loadable segment, which maps
  // the start of the file.
  Phdr ph[kMostPhdrs];
  const size_t phBytes = header.e_phnum * sizeof(Phdr);
  if (!inModule(m, m.base + header.e_phoff, phBytes) ||
      platform::readOwnMemory(m.base + header.e_phoff, ph, phBytes) != phBytes)
    return false;
  e.phdrOffset = header.e_phoff;
  e.phnum = header.e_phnum;
  bool sawLoad = false;
  Addr lowest = 0;
  for (int i = 0; i < header.e_phnum; ++i)
    if (ph[i].p_type == PT_LOAD && (!sawLoad || ph[i].p_vaddr < lowest)) {
      lowest = ph[i].p_vaddr;
      sawLoad = true;
    }
  if (!sawLoad) return false;
  const Addr page = platform::systemInfo().pageSize;
  e.bias = m.base - (lowest & ~(page - 1));
  uintptr_t dynamic = 0;
  size_t dynamicCount = 0;
  for (int i = 0; i < header.e_phnum; ++i) {
    const Phdr &p = ph[i];
    if (p.p_type == PT_DYNAMIC) {
      dynamic = e.bias + p.p_vaddr;
      dynamicCount = p.p_memsz / sizeof(Dyn);
      if (dynamicCount > kMostDynamic) dynamicCount = kMostDynamic;
    } else if (p.p_type == PT_LOAD && (p.p_flags & PF_X) && p.p_filesz > 0) {
      if (e.codeCount == kMostSegments) return false;
      e.code[e.codeCount++] = {p.p_vaddr, p.p_offset, p.p_filesz};
    }
  }
  if (dynamic && inModule(m, dynamic, dynamicCount * sizeof(Dyn)) &&
      readDynamic(e, m, dynamic, dynamicCount)) {
    const bool counted = (e.gnuHash && countGnuSymbols(e, m)) ||
                         (e.sysvHash && countSysvSymbols(e, m));
    if (!counted || !e.strtab) e.symtab = 0;
    if (e.symtab && !inModule(m, e.symtab, size_t{e.symbolCount} * e.syment))
      e.symtab = 0;
  }
  image.valid = true;
  return true;
}

// ---- exports
// ------------------------------------------------------------------

namespace {

constexpr uint32_t kSymbolsAhead = 64;

struct ElfExports {
  Image image;
  uint32_t next;        // the next symbol to look at
  uint32_t aheadFirst;  // the first symbol held in ahead
  uint32_t aheadCount;
  Sym ahead[kSymbolsAhead];
};
static_assert(sizeof(ElfExports) <= sizeof(ExportCursor::format),
              "the ELF export walk fits ExportCursor::format");

ElfExports &exportWalk(ExportCursor &cursor) {
  return *std::launder(reinterpret_cast<ElfExports *>(cursor.format));
}

// Symbol index of the walk, read ahead a chunk at a time.
bool aheadSymbol(ElfExports &w, uint32_t index, Sym &out) {
  const ElfImage &e = elf(w.image);
  if (index < w.aheadFirst || index >= w.aheadFirst + w.aheadCount) {
    uint32_t n = e.symbolCount - index;
    if (n > kSymbolsAhead) n = kSymbolsAhead;
    const uintptr_t at = e.symtab + uintptr_t{index} * e.syment;
    if (n == 0 || platform::readOwnMemory(at, w.ahead, n * sizeof(Sym)) !=
                      n * sizeof(Sym))
      return false;
    w.aheadFirst = index;
    w.aheadCount = n;
  }
  out = w.ahead[index - w.aheadFirst];
  return true;
}

bool isExportedFunction(const Sym &s) {
  const unsigned bind = ELF64_ST_BIND(s.st_info);
  return s.st_shndx != SHN_UNDEF && s.st_value != 0 &&
         ELF64_ST_TYPE(s.st_info) == STT_FUNC &&
         (bind == STB_GLOBAL || bind == STB_WEAK) &&
         ELF64_ST_VISIBILITY(s.st_other) != STV_HIDDEN &&
         ELF64_ST_VISIBILITY(s.st_other) != STV_INTERNAL;
}

// Exported data and functions both satisfy an import.
bool isDefinition(const Sym &s) {
  const unsigned bind = ELF64_ST_BIND(s.st_info);
  const unsigned type = ELF64_ST_TYPE(s.st_info);
  return s.st_shndx != SHN_UNDEF &&
         (bind == STB_GLOBAL || bind == STB_WEAK || bind == STB_GNU_UNIQUE) &&
         (type == STT_FUNC || type == STT_OBJECT || type == STT_GNU_IFUNC ||
          type == STT_NOTYPE || type == STT_TLS || type == STT_COMMON);
}

}  // namespace

void exportsBegin(ExportCursor &cursor, const Image &image) {
  ElfExports &w = *new (cursor.format) ElfExports{};
  w.image = image;
  const ElfImage &e = elf(image);
  w.next = e.gnuHash ? e.symbolOffset : 1;
  if (!image.valid || !e.symtab) w.next = e.symbolCount;
}

bool nextExport(ExportCursor &cursor, ExportEntry &out) {
  ElfExports &w = exportWalk(cursor);
  const ElfImage &e = elf(w.image);
  // At most a chunk of symbols a call, so a table of local and undefined
  // symbols costs no more than one read.
  for (uint32_t looked = 0; w.next < e.symbolCount && looked < kSymbolsAhead;
       ++looked) {
    Sym s;
    if (!aheadSymbol(w, w.next, s)) {
      w.next = e.symbolCount;
      return false;
    }
    ++w.next;
    if (!isExportedFunction(s)) continue;
    if (!readName(e, w.image.module, s.st_name, out.symbol)) continue;
    out.entry = e.bias + s.st_value;
    return true;
  }
  if (w.next < e.symbolCount) {
    out.entry = 0;  // nothing in this chunk; the caller goes on
    out.symbol[0] = '\0';
    return true;
  }
  return false;
}

namespace {

uint32_t gnuHash(const char *name) {
  uint32_t h = 5381;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name);
       *p; ++p)
    h = h * 33 + *p;
  return h;
}

uint32_t sysvHash(const char *name) {
  uint32_t h = 0;
  for (const unsigned char *p = reinterpret_cast<const unsigned char *>(name);
       *p; ++p) {
    h = (h << 4) + *p;
    const uint32_t g = h & 0xF0000000u;
    if (g) h ^= g >> 24;
    h &= ~g;
  }
  return h;
}

// A symbol of the chain that defines name; hidden versions count only when
// no default one is found.
struct Candidate {
  bool found;
  bool hidden;
  uintptr_t address;
};

void consider(const ElfImage &e, const platform::ModuleInfo &m, uint32_t index,
              const char *name, Candidate &best) {
  Sym s;
  char text[kSymbolMax];
  if (!readSymbol(e, m, index, s) || !isDefinition(s)) return;
  if (!readName(e, m, s.st_name, text) || std::strcmp(text, name) != 0) return;
  bool hidden = false;
  uint16_t version;
  if (e.versym && readValue(e.versym + uintptr_t{index} * 2, version))
    hidden = (version & 0x8000) != 0;
  if (best.found && (hidden || !best.hidden)) return;
  best = {true, hidden, e.bias + s.st_value};
}

Candidate lookGnu(const ElfImage &e, const platform::ModuleInfo &m,
                  const char *name) {
  Candidate best{};
  const uint32_t h = gnuHash(name);
  uint32_t index;
  if (!readValue(e.bucketTable + uintptr_t{h % e.buckets} * 4, index) ||
      index < e.symbolOffset)
    return best;
  for (uint32_t looked = 0; looked < kMostChain && index < e.symbolCount;
       ++looked, ++index) {
    uint32_t link;
    if (!readValue(e.chainTable + uintptr_t{index - e.symbolOffset} * 4, link))
      break;
    if ((link | 1) == (h | 1)) consider(e, m, index, name, best);
    if (link & 1) break;
  }
  return best;
}

Candidate lookSysv(const ElfImage &e, const platform::ModuleInfo &m,
                   const char *name) {
  Candidate best{};
  uint32_t header[2];
  if (!readValue(e.sysvHash, header) || header[0] == 0) return best;
  const uintptr_t buckets = e.sysvHash + 8;
  const uintptr_t chains = buckets + uintptr_t{header[0]} * 4;
  uint32_t index;
  if (!readValue(buckets + uintptr_t{sysvHash(name) % header[0]} * 4, index))
    return best;
  for (uint32_t looked = 0;
       looked < kMostChain && index != 0 && index < header[1]; ++looked) {
    consider(e, m, index, name, best);
    if (!readValue(chains + uintptr_t{index} * 4, index)) break;
  }
  return best;
}

}  // namespace

Lookup findExport(const Image &image, const char *symbol, ExportTarget &out) {
  const ElfImage &e = elf(image);
  if (!image.valid || !e.symtab) return Lookup::Unreadable;
  if (!symbol[0] || symbol[0] == '#') return Lookup::Missing;
  const Candidate c = e.gnuHash ? lookGnu(e, image.module, symbol)
                                : lookSysv(e, image.module, symbol);
  if (!c.found) return Lookup::Missing;
  out.address = c.address;
  out.library[0] = out.symbol[0] = '\0';
  return Lookup::Found;
}

// ---- imports
// ------------------------------------------------------------------

namespace {

constexpr uint32_t kRelocationsAhead = 48;

struct ElfImports {
  Image image;
  int table;      // 0: DT_JMPREL, 1: DT_RELA or DT_REL, 2: done
  uint32_t next;  // index in the table
  uint32_t aheadFirst, aheadCount;
  Rela ahead[kRelocationsAhead];  // REL entries are widened on reading
};
static_assert(sizeof(ElfImports) <= sizeof(ImportCursor::format),
              "the ELF import walk fits ImportCursor::format");

ElfImports &importWalk(ImportCursor &cursor) {
  return *std::launder(reinterpret_cast<ElfImports *>(cursor.format));
}

struct Table {
  uintptr_t at;
  uint32_t count;
  bool rela;
};

Table relocationTable(const ElfImage &e, int table) {
  if (table == 0)
    return {e.jmprel,
            static_cast<uint32_t>(
                e.jmprelSize / (e.jmprelIsRela ? sizeof(Rela) : sizeof(Rel))),
            e.jmprelIsRela};
  return {e.rela,
          static_cast<uint32_t>(e.relaSize /
                                (e.relaIsRela ? sizeof(Rela) : sizeof(Rel))),
          e.relaIsRela};
}

bool aheadRelocation(ElfImports &w, const Table &t, uint32_t index, Rela &out) {
  if (index < w.aheadFirst || index >= w.aheadFirst + w.aheadCount) {
    uint32_t n = t.count - index;
    if (n > kRelocationsAhead) n = kRelocationsAhead;
    if (t.rela) {
      const size_t bytes = n * sizeof(Rela);
      if (platform::readOwnMemory(t.at + uintptr_t{index} * sizeof(Rela),
                                  w.ahead, bytes) != bytes)
        return false;
    } else {
      Rel plain[kRelocationsAhead];
      const size_t bytes = n * sizeof(Rel);
      if (platform::readOwnMemory(t.at + uintptr_t{index} * sizeof(Rel), plain,
                                  bytes) != bytes)
        return false;
      for (uint32_t i = 0; i < n; ++i)
        w.ahead[i] = {plain[i].r_offset, plain[i].r_info, 0};
    }
    w.aheadFirst = index;
    w.aheadCount = n;
  }
  out = w.ahead[index - w.aheadFirst];
  return true;
}

bool inCode(const ElfImage &e, uintptr_t address) {
  for (int i = 0; i < e.codeCount; ++i) {
    const uintptr_t start = e.bias + e.code[i].vaddr;
    if (address >= start && address - start < e.code[i].filesz) return true;
  }
  return false;
}

// A lazily bound slot still holds the address of its own PLT entry's
// second half, "push <index>; jmp <resolver>" (behind an end-branch marker
// where the module was built for indirect branch tracking).
bool awaitsBinding(const ElfImage &e, uintptr_t target) {
  if (!inCode(e, target)) return false;
  unsigned char code[5];
  if (platform::readOwnMemory(target, code, sizeof code) != sizeof code)
    return false;
  static const unsigned char kEndBranch[4] = {0xF3, 0x0F, 0x1E, 0xFA};
  if (std::memcmp(code, kEndBranch, 4) == 0)
    return readValue(target + 4, code[0]) && code[0] == 0x68;
  return code[0] == 0x68;
}

}  // namespace

void importsBegin(ImportCursor &cursor, const Image &image) {
  ElfImports &w = *new (cursor.format) ElfImports{};
  w.image = image;
  const ElfImage &e = elf(image);
  w.table = image.valid && e.symtab ? 0 : 2;
}

bool nextImport(ImportCursor &cursor, ImportSlot &out) {
  ElfImports &w = importWalk(cursor);
  const ElfImage &e = elf(w.image);
  const platform::ModuleInfo &m = w.image.module;
  for (uint32_t looked = 0; w.table < 2 && looked < kRelocationsAhead;
       ++looked) {
    const Table t = relocationTable(e, w.table);
    if (!t.at || w.next >= t.count) {
      ++w.table;
      w.next = 0;
      w.aheadFirst = w.aheadCount = 0;
      continue;
    }
    Rela r;
    if (!aheadRelocation(w, t, w.next, r)) {
      w.table = 2;
      return false;
    }
    ++w.next;
    const uint32_t type = relocationType(r.r_info);
    const bool jumpSlot = w.table == 0 && type == kJumpSlot;
    if (!jumpSlot && type != kGlobDat) continue;
    Sym s;
    const uintptr_t slot = e.bias + r.r_offset;
    if (!readSymbol(e, m, relocationSymbol(r.r_info), s) ||
        !readName(e, m, s.st_name, out.symbol) || !out.symbol[0] ||
        !inModule(m, slot, sizeof(uintptr_t)) || !readValue(slot, out.target))
      continue;
    out.slot = slot;
    out.library[0] = '\0';
    out.bound = !(jumpSlot && awaitsBinding(e, out.target));
    return true;
  }
  if (w.table < 2) {
    out.slot = out.target = 0;  // nothing in this chunk; the caller goes on
    out.bound = false;
    out.symbol[0] = out.library[0] = '\0';
    return true;
  }
  return false;
}

// ---- code in memory against the file ---------------------------------------

namespace {

constexpr uint32_t kMaskBytes = kCompareBlock / 8;

enum class Phase : uint8_t {
  Headers,      // open the file, check its program headers
  Relocations,  // mark the block's bytes that text relocations write
  Compare,      // compare the block
  Done,
};

struct ElfComparison {
  Image image;
  platform::FileHandle file;
  Phase phase;
  Compare outcome;
  int segment;          // in image's code segments
  Addr position;        // bytes of the segment done
  uint32_t blockBytes;  // of the block at position
  int relocationTable;  // text relocations: the table being read for it
  uint32_t relocationNext;
  char path[platform::kModulePathMax];
  unsigned char mask[kMaskBytes];  // 1: a byte the loader writes
  unsigned char fromFile[kCompareBlock];
  unsigned char inMemory[kCompareBlock];
  Rela relocations[kRelocationsAhead];
};
static_assert(sizeof(ElfComparison) <= sizeof(CodeComparison::format),
              "the ELF comparison fits CodeComparison::format");

ElfComparison &comparisonOf(CodeComparison &c) {
  return *std::launder(reinterpret_cast<ElfComparison *>(c.format));
}

Compare finish(ElfComparison &w, CodeComparison &c, Compare outcome) {
  if (w.file) platform::fileClose(w.file);
  w.file = nullptr;
  w.phase = Phase::Done;
  w.outcome =
      outcome == Compare::Matches && c.differing ? Compare::Differs : outcome;
  return w.outcome;
}

bool readFileAt(platform::FileHandle f, Addr offset, void *buffer,
                size_t size) {
  return offset <= static_cast<Addr>(LONG_MAX) &&
         platform::fileSeek(f, static_cast<long>(offset)) &&
         platform::fileRead(f, buffer, size) == size;
}

// The file's program headers must place the same code where memory has it;
// a file that was replaced since it was loaded is not the loaded image.
bool sameLayout(ElfComparison &w) {
  const ElfImage &e = elf(w.image);
  Ehdr header;
  if (!readFileAt(w.file, 0, &header, sizeof header) ||
      header.e_phoff != e.phdrOffset || header.e_phnum != e.phnum ||
      header.e_phentsize != sizeof(Phdr))
    return false;
  Phdr ph[kMostPhdrs];
  const size_t bytes = size_t{e.phnum} * sizeof(Phdr);
  if (!readFileAt(w.file, header.e_phoff, ph, bytes)) return false;
  int code = 0;
  for (int i = 0; i < e.phnum; ++i) {
    const Phdr &p = ph[i];
    if (p.p_type != PT_LOAD || !(p.p_flags & PF_X) || p.p_filesz == 0) continue;
    if (code == e.codeCount) return false;
    const Segment &s = e.code[code++];
    if (s.vaddr != p.p_vaddr || s.offset != p.p_offset ||
        s.filesz != p.p_filesz)
      return false;
  }
  return code == e.codeCount;
}

void startBlock(ElfComparison &w) {
  const ElfImage &e = elf(w.image);
  const Segment &s = e.code[w.segment];
  const Addr left = s.filesz - w.position;
  w.blockBytes =
      static_cast<uint32_t>(left < kCompareBlock ? left : kCompareBlock);
  std::memset(w.mask, 0, sizeof w.mask);
  w.relocationTable = 0;
  w.relocationNext = 0;
  w.phase = e.textRelocations ? Phase::Relocations : Phase::Compare;
}

// Marks the block's bytes that one chunk of relocations writes; true when
// every table has been read for this block.
bool markRelocations(ElfComparison &w) {
  const ElfImage &e = elf(w.image);
  const uintptr_t blockStart = e.bias + e.code[w.segment].vaddr + w.position;
  while (w.relocationTable < 2) {
    const Table t = relocationTable(e, w.relocationTable);
    if (!t.at || w.relocationNext >= t.count) {
      ++w.relocationTable;
      w.relocationNext = 0;
      continue;
    }
    uint32_t n = t.count - w.relocationNext;
    if (n > kRelocationsAhead) n = kRelocationsAhead;
    const size_t entry = t.rela ? sizeof(Rela) : sizeof(Rel);
    unsigned char raw[kRelocationsAhead * sizeof(Rela)];
    if (platform::readOwnMemory(t.at + uintptr_t{w.relocationNext} * entry, raw,
                                n * entry) != n * entry)
      return false;
    for (uint32_t i = 0; i < n; ++i) {
      Addr offset;
      std::memcpy(&offset, raw + i * entry, sizeof offset);
      const uintptr_t at = e.bias + offset;
      // A relocation writes at most a word.
      for (size_t k = 0; k < sizeof(Addr); ++k) {
        const uintptr_t byte = at + k;
        if (byte >= blockStart && byte - blockStart < w.blockBytes) {
          const size_t bit = byte - blockStart;
          w.mask[bit / 8] |= static_cast<unsigned char>(1u << (bit % 8));
        }
      }
    }
    w.relocationNext += n;
    return false;
  }
  return true;
}

void compareBlock(ElfComparison &w, CodeComparison &c) {
  const uint64_t blockOffset = elf(w.image).code[w.segment].vaddr + w.position -
                               (w.image.module.base - elf(w.image).bias);
  for (uint32_t i = 0; i < w.blockBytes; ++i) {
    if (w.mask[i / 8] & (1u << (i % 8))) continue;
    ++c.compared;
    if (w.fromFile[i] == w.inMemory[i]) continue;
    if (c.differing++ == 0) c.firstOffset = blockOffset + i;
  }
}

}  // namespace

void compareBegin(CodeComparison &comparison, const Image &image,
                  const char *path) {
  comparison.compared = comparison.differing = comparison.firstOffset = 0;
  ElfComparison &w = *new (comparison.format) ElfComparison{};
  w.image = image;
  w.phase = Phase::Headers;
  w.outcome = Compare::More;
  const size_t n = std::strlen(path);
  if (n < sizeof w.path) std::memcpy(w.path, path, n + 1);
}

Compare compareStep(CodeComparison &comparison) {
  ElfComparison &w = comparisonOf(comparison);
  const ElfImage &e = elf(w.image);
  switch (w.phase) {
    case Phase::Done:
      return w.outcome;
    case Phase::Headers:
      if (!w.image.valid || !w.path[0])
        return finish(w, comparison, Compare::Unreadable);
      w.file = platform::fileOpen(w.path, platform::OpenMode::Read);
      if (!w.file || !sameLayout(w))
        return finish(w, comparison, Compare::Unreadable);
      if (e.codeCount == 0) return finish(w, comparison, Compare::Matches);
      startBlock(w);
      return Compare::More;
    case Phase::Relocations:
      if (markRelocations(w)) w.phase = Phase::Compare;
      return Compare::More;
    case Phase::Compare:
      break;
  }
  const Segment &s = e.code[w.segment];
  const uintptr_t at = e.bias + s.vaddr + w.position;
  if (platform::readOwnMemory(at, w.inMemory, w.blockBytes) != w.blockBytes)
    return finish(w, comparison, Compare::Gone);
  if (!readFileAt(w.file, s.offset + w.position, w.fromFile, w.blockBytes))
    return finish(w, comparison, Compare::Unreadable);
  compareBlock(w, comparison);
  w.position += w.blockBytes;
  if (w.position >= s.filesz) {
    ++w.segment;
    w.position = 0;
    if (w.segment == e.codeCount)
      return finish(w, comparison, Compare::Matches);
  }
  startBlock(w);
  return Compare::More;
}

void compareClose(CodeComparison &comparison) {
  ElfComparison &w = comparisonOf(comparison);
  if (w.file) platform::fileClose(w.file);
  w.file = nullptr;
}

}  // namespace qx::scan
