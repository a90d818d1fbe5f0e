#include "peer/code_image.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <iterator>

#include "peer/digest.h"

namespace qx::peer {

namespace {

constexpr uint64_t kImageMax = 256u << 20;
constexpr uint64_t kPage = 4096;

// Little-endian reads that fail, instead of reading past the end, once a
// field lies outside the bytes.
class Reader {
 public:
  explicit Reader(const Bytes &bytes) : bytes_(bytes) {}
  bool has(uint64_t offset, uint64_t size) const {
    return offset <= bytes_.size() && size <= bytes_.size() - offset;
  }
  uint64_t get(uint64_t offset, int size) {
    if (!has(offset, static_cast<uint64_t>(size))) {
      bad_ = true;
      return 0;
    }
    uint64_t v = 0;
    for (int i = size - 1; i >= 0; --i) v = v << 8 | bytes_[offset + i];
    return v;
  }
  uint16_t u16(uint64_t offset) {
    return static_cast<uint16_t>(get(offset, 2));
  }
  uint32_t u32(uint64_t offset) {
    return static_cast<uint32_t>(get(offset, 4));
  }
  uint64_t u64(uint64_t offset) { return get(offset, 8); }
  bool bad() const { return bad_; }

 private:
  const Bytes &bytes_;
  bool bad_ = false;
};

// Copies count bytes of file at from into image at to, both checked.
bool place(const Bytes &file, uint64_t from, uint64_t count, Bytes &image,
           uint64_t to) {
  if (count == 0) return true;
  if (from > file.size() || count > file.size() - from || to > image.size() ||
      count > image.size() - to)
    return false;
  std::memcpy(image.data() + to, file.data() + from, count);
  return true;
}

// More relocations than the largest real image has: the file is refused
// rather than held in memory entry by entry.
constexpr size_t kRelocationsMax = 1u << 22;

bool tooManyRelocations(const CodeImage &out) {
  return out.fixups.size() + out.loaderWritten.size() > kRelocationsMax;
}

void addLoaderWritten(CodeImage &out, uint64_t offset, uint64_t size) {
  out.loaderWritten.push_back({offset, offset + size});
}

// ---- PE ----------------------------------------------------------------

constexpr uint32_t kScnExecute = 0x20000000u;
constexpr uint32_t kScnCode = 0x20u;

// No real image imports a million functions; a file whose tables claim
// more is refused rather than walked without end.
constexpr uint64_t kImportSlotsMax = 1u << 20;

// Marks an address table of thunks (each entry size bytes, up to the first
// zero entry of names, which runs beside it) as written by the loader.
// False once the image's tables together pass kImportSlotsMax entries.
bool markThunks(Reader &image, CodeImage &out, uint64_t table, uint64_t names,
                int size, uint64_t &slots) {
  for (uint64_t i = 0;; ++i) {
    const uint64_t at = (names ? names : table) + i * size;
    if (!image.has(at, static_cast<uint64_t>(size)) || image.get(at, size) == 0)
      return true;
    if (++slots > kImportSlotsMax) return false;
    addLoaderWritten(out, table + i * size, static_cast<uint64_t>(size));
  }
}

std::string loadPe(const Bytes &file, CodeImage &out) {
  Reader f(file);
  const uint32_t pe = f.u32(0x3C);
  if (f.u32(pe) != 0x00004550u) return "no PE signature";
  const uint16_t sections = f.u16(pe + 6);
  const uint16_t optionalSize = f.u16(pe + 20);
  const uint64_t opt = pe + 24;
  const uint16_t magic = f.u16(opt);
  if (magic != 0x10B && magic != 0x20B) return "not a PE32 or PE32+ image";
  const bool wide = magic == 0x20B;
  out.format = CodeImage::Format::kPe;
  out.preferredBase = wide ? f.u64(opt + 24) : f.u32(opt + 28);
  const uint32_t imageSize = f.u32(opt + 56);
  const uint32_t headersSize = f.u32(opt + 60);
  const uint32_t directories = f.u32(opt + (wide ? 108 : 92));
  const uint64_t directory = opt + (wide ? 112 : 96);
  if (f.bad()) return "the PE headers are cut short";
  if (imageSize == 0 || imageSize > kImageMax)
    return "the image size " + std::to_string(imageSize) + " is out of range";
  out.image.assign(imageSize, 0);
  if (!place(file, 0, std::min<uint64_t>(headersSize, file.size()), out.image,
             0))
    return "the headers do not fit the image";
  const uint64_t table = opt + optionalSize;
  for (uint16_t i = 0; i < sections; ++i) {
    const uint64_t s = table + 40u * i;
    const uint32_t virtualSize = f.u32(s + 8), address = f.u32(s + 12);
    const uint32_t rawSize = f.u32(s + 16), rawAt = f.u32(s + 20);
    const uint32_t flags = f.u32(s + 36);
    if (f.bad()) return "the section table is cut short";
    const uint64_t span = virtualSize ? virtualSize : rawSize;
    if (address > imageSize || span > imageSize - address)
      return "section " + std::to_string(i) + " lies outside the image";
    if (!place(file, rawAt, std::min<uint64_t>(rawSize, span), out.image,
               address))
      return "section " + std::to_string(i) + "'s bytes lie outside the file";
    if ((flags & kScnExecute) || (flags & kScnCode))
      out.code.push_back({address, address + span});
  }
  Reader image(out.image);
  auto dir = [&](uint32_t index, uint32_t &rva, uint32_t &size) {
    rva = size = 0;
    if (index >= directories) return;
    rva = f.u32(directory + 8u * index);
    size = f.u32(directory + 8u * index + 4);
  };
  uint32_t rva, size;
  // Base relocations: blocks of a page address, a block size and entries
  // of a type (high 4 bits) and an offset in the page.
  dir(5, rva, size);
  for (uint64_t at = rva; size && at + 8 <= uint64_t{rva} + size;) {
    const uint32_t page = image.u32(at), block = image.u32(at + 4);
    if (image.bad() || block < 8 || block > uint64_t{rva} + size - at)
      return "the base relocations do not parse";
    if (tooManyRelocations(out))
      return "more base relocations than any image has";
    for (uint64_t e = at + 8; e + 2 <= at + block; e += 2) {
      const uint16_t entry = image.u16(e);
      const uint64_t where = uint64_t{page} + (entry & 0xFFF);
      switch (entry >> 12) {
        case 0:
          break;  // padding
        case 3:
          out.fixups.push_back({where, 4, false, 0});
          break;
        case 10:
          out.fixups.push_back({where, 8, false, 0});
          break;
        default:
          addLoaderWritten(out, where, 4);
          break;
      }
    }
    at += block;
  }
  // The import address tables: named by directory 12, and each
  // descriptor's first thunk; delay-loaded ones are written at run time.
  const int thunk = wide ? 8 : 4;
  dir(12, rva, size);
  if (size) addLoaderWritten(out, rva, size);
  uint64_t slots = 0;
  dir(1, rva, size);
  for (uint64_t d = rva; size && image.has(d, 20); d += 20) {
    const uint32_t names = image.u32(d), first = image.u32(d + 16);
    if (names == 0 && first == 0) break;
    if (!markThunks(image, out, first, names, thunk, slots))
      return "the import tables do not parse";
  }
  dir(13, rva, size);
  for (uint64_t d = rva; size && image.has(d, 32); d += 32) {
    const uint32_t tableAt = image.u32(d + 12), names = image.u32(d + 16);
    if (tableAt == 0) break;
    if (!markThunks(image, out, tableAt, names, thunk, slots))
      return "the import tables do not parse";
  }
  return "";
}

// ---- ELF ---------------------------------------------------------------

constexpr uint32_t kPtLoad = 1, kPtDynamic = 2;
constexpr uint32_t kPfExecute = 1;
constexpr uint32_t kShtNobits = 8;
constexpr uint64_t kShfAlloc = 2, kShfExecute = 4;
constexpr uint16_t kMachine386 = 3, kMachineX8664 = 62;

struct ElfLayout {
  bool wide = false;
  uint16_t machine = 0;
  uint64_t low = 0;  // the lowest loaded address, page aligned: offset 0
};

// The relocations of one table: r_offset, r_info and (RELA) r_addend.
void elfRelocations(Reader &image, const ElfLayout &l, uint64_t table,
                    uint64_t size, bool withAddend, CodeImage &out) {
  const int word = l.wide ? 8 : 4;
  const uint64_t entry = static_cast<uint64_t>(word) * (withAddend ? 3 : 2);
  for (uint64_t at = table - l.low; at + entry <= table - l.low + size;
       at += entry) {
    const uint64_t offset = image.get(at, word) - l.low;
    const uint64_t info = image.get(at + word, word);
    if (image.bad() || tooManyRelocations(out)) return;
    const uint32_t type = l.wide ? static_cast<uint32_t>(info) : info & 0xFF;
    const bool none = type == 0;
    const bool relative = type == 8;  // R_X86_64_RELATIVE, R_386_RELATIVE
    if (none) continue;
    if (relative) {
      const uint64_t addend =
          withAddend ? image.get(at + 2 * word, word) : image.get(offset, word);
      out.fixups.push_back(
          {offset, static_cast<uint8_t>(word), true, addend - l.low});
    } else {
      addLoaderWritten(out, offset, static_cast<uint64_t>(word));
    }
  }
}

// Packed relative relocations: an even word is an address, an odd word a
// bitmap of the words that follow the last one.
void elfPackedRelocations(Reader &image, const ElfLayout &l, uint64_t table,
                          uint64_t size, CodeImage &out) {
  const int word = l.wide ? 8 : 4;
  uint64_t where = 0;
  auto relocate = [&](uint64_t offset) {
    const uint64_t value = image.get(offset, word);
    out.fixups.push_back(
        {offset, static_cast<uint8_t>(word), true, value - l.low});
  };
  for (uint64_t at = table - l.low; at + word <= table - l.low + size;
       at += word) {
    const uint64_t entry = image.get(at, word);
    if (image.bad() || tooManyRelocations(out)) return;
    if ((entry & 1) == 0) {
      where = entry - l.low;
      relocate(where);
      where += word;
    } else {
      for (int bit = 1; bit < 8 * word; ++bit)
        if (entry >> bit & 1)
          relocate(where + static_cast<uint64_t>(bit - 1) * word);
      where += static_cast<uint64_t>(8 * word - 1) * word;
    }
  }
}

std::string loadElf(const Bytes &file, CodeImage &out) {
  Reader f(file);
  ElfLayout l;
  if (file.size() < 16 || file[4] < 1 || file[4] > 2 || file[5] != 1)
    return "not a little-endian ELF file of 32 or 64 bits";
  l.wide = file[4] == 2;
  l.machine = f.u16(18);
  if (l.machine != kMachine386 && l.machine != kMachineX8664)
    return "an ELF file for a machine other than x86";
  const int word = l.wide ? 8 : 4;
  const uint64_t phoff = f.get(l.wide ? 32 : 28, word);
  const uint64_t shoff = f.get(l.wide ? 40 : 32, word);
  const uint16_t phentsize = f.u16(l.wide ? 54 : 42),
                 phnum = f.u16(l.wide ? 56 : 44);
  const uint16_t shentsize = f.u16(l.wide ? 58 : 46),
                 shnum = f.u16(l.wide ? 60 : 48);
  if (f.bad() || phnum == 0) return "the ELF headers are cut short";
  struct Segment {
    uint32_t type, flags;
    uint64_t offset, vaddr, filesz, memsz;
  };
  std::vector<Segment> segments;
  uint64_t low = UINT64_MAX, high = 0;
  for (uint16_t i = 0; i < phnum; ++i) {
    const uint64_t h = phoff + uint64_t{phentsize} * i;
    Segment s;
    s.type = f.u32(h);
    if (l.wide) {
      s.flags = f.u32(h + 4);
      s.offset = f.u64(h + 8), s.vaddr = f.u64(h + 16);
      s.filesz = f.u64(h + 32), s.memsz = f.u64(h + 40);
    } else {
      s.offset = f.u32(h + 4), s.vaddr = f.u32(h + 8);
      s.filesz = f.u32(h + 16), s.memsz = f.u32(h + 20);
      s.flags = f.u32(h + 24);
    }
    if (f.bad()) return "the program headers are cut short";
    if (s.type != kPtLoad && s.type != kPtDynamic) continue;
    if (s.memsz > kImageMax || s.vaddr > UINT64_MAX - s.memsz ||
        s.filesz > s.memsz)
      return "a segment's sizes are out of range";
    segments.push_back(s);
    if (s.type == kPtLoad) {
      low = std::min(low, s.vaddr);
      high = std::max(high, s.vaddr + s.memsz);
    }
  }
  if (high == 0) return "no loadable segment";
  l.low = low & ~(kPage - 1);
  if (high - l.low > kImageMax) return "the image is larger than 256 MiB";
  out.format = CodeImage::Format::kElf;
  out.preferredBase = l.low;
  out.image.assign(high - l.low, 0);
  uint64_t dynamic = 0, dynamicSize = 0;
  for (const Segment &s : segments) {
    if (s.type == kPtDynamic) {
      dynamic = s.vaddr - l.low;
      dynamicSize = s.memsz;
      continue;
    }
    if (!place(file, s.offset, s.filesz, out.image, s.vaddr - l.low))
      return "a segment's bytes lie outside the file";
  }
  // The executable sections, or the executable segments where the file
  // has no section table.
  for (uint16_t i = 0; shoff && i < shnum; ++i) {
    const uint64_t h = shoff + uint64_t{shentsize} * i;
    const uint32_t type = f.u32(h + 4);
    const uint64_t flags = f.get(h + 8, word);
    const uint64_t addr = f.get(l.wide ? h + 16 : h + 12, word);
    const uint64_t size = f.get(l.wide ? h + 32 : h + 20, word);
    if (f.bad()) return "the section headers are cut short";
    if (type == kShtNobits ||
        (flags & (kShfAlloc | kShfExecute)) != (kShfAlloc | kShfExecute))
      continue;
    if (addr < l.low || addr - l.low > out.image.size() ||
        size > out.image.size() - (addr - l.low))
      return "section " + std::to_string(i) + " lies outside the image";
    if (size) out.code.push_back({addr - l.low, addr - l.low + size});
  }
  if (out.code.empty())
    for (const Segment &s : segments)
      if (s.type == kPtLoad && (s.flags & kPfExecute))
        out.code.push_back({s.vaddr - l.low, s.vaddr - l.low + s.filesz});
  std::sort(out.code.begin(), out.code.end(),
            [](const CodeImage::Span &a, const CodeImage::Span &b) {
              return a.begin < b.begin;
            });
  // The dynamic section names the relocation tables.
  Reader image(out.image);
  uint64_t tables[40] = {};
  for (uint64_t at = dynamic;
       dynamicSize && at + 2 * word <= dynamic + dynamicSize; at += 2 * word) {
    const uint64_t tag = image.get(at, word),
                   value = image.get(at + word, word);
    if (image.bad() || tag == 0) break;
    if (tag < 40) tables[tag] = value;
  }
  constexpr int kRela = 7, kRelaSize = 8, kRel = 17, kRelSize = 18,
                kJmpRel = 23, kPltRelSize = 2, kPltRel = 20, kRelr = 36,
                kRelrSize = 35;
  if (tables[kRela])
    elfRelocations(image, l, tables[kRela], tables[kRelaSize], true, out);
  if (tables[kRel])
    elfRelocations(image, l, tables[kRel], tables[kRelSize], false, out);
  if (tables[kJmpRel])
    elfRelocations(image, l, tables[kJmpRel], tables[kPltRelSize],
                   tables[kPltRel] == kRela, out);
  if (tables[kRelr])
    elfPackedRelocations(image, l, tables[kRelr], tables[kRelrSize], out);
  if (tooManyRelocations(out)) return "more relocations than any image has";
  return "";
}

bool overlaps(uint64_t a, uint64_t aEnd, uint64_t b, uint64_t bEnd) {
  return a < bEnd && b < aEnd;
}

}  // namespace

std::string loadCodeImage(const Bytes &file, CodeImage &out) {
  out = CodeImage{};
  std::string error;
  if (file.size() >= 2 && file[0] == 'M' && file[1] == 'Z')
    error = loadPe(file, out);
  else if (file.size() >= 4 && std::memcmp(file.data(),
                                           "\x7F"
                                           "ELF",
                                           4) == 0)
    error = loadElf(file, out);
  else
    error = "neither a PE nor an ELF file";
  if (error.empty() && out.code.empty()) error = "no executable section";
  if (!error.empty()) {
    out = CodeImage{};
    return error;
  }
  std::sort(out.fixups.begin(), out.fixups.end(),
            [](const CodeImage::Fixup &a, const CodeImage::Fixup &b) {
              return a.offset < b.offset;
            });
  // The loader-written bytes as disjoint spans in address order.
  std::vector<CodeImage::Span> &w = out.loaderWritten;
  std::sort(w.begin(), w.end(),
            [](const CodeImage::Span &a, const CodeImage::Span &b) {
              return a.begin < b.begin;
            });
  size_t kept = 0;
  for (const CodeImage::Span &span : w) {
    if (kept && span.begin <= w[kept - 1].end)
      w[kept - 1].end = std::max(w[kept - 1].end, span.end);
    else
      w[kept++] = span;
  }
  w.resize(kept);
  return "";
}

std::string loadCodeImageFile(const std::string &path, CodeImage &out) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return "cannot read " + path;
  const Bytes file((std::istreambuf_iterator<char>(in)),
                   std::istreambuf_iterator<char>());
  const std::string error = loadCodeImage(file, out);
  return error.empty() ? "" : path + ": " + error;
}

// The code spans with the loader-written bytes cut out of them.
std::vector<CodeImage::Span> clearSpans(const CodeImage &image) {
  const std::vector<CodeImage::Span> &written = image.loaderWritten;
  std::vector<CodeImage::Span> clear;
  for (const CodeImage::Span &code : image.code) {
    uint64_t from = code.begin;
    // The written spans are disjoint and in order: the first that may
    // overlap is the first that ends after the code begins.
    auto w = std::upper_bound(
        written.begin(), written.end(), code.begin,
        [](uint64_t at, const CodeImage::Span &s) { return at < s.end; });
    for (; w != written.end() && w->begin < code.end; ++w) {
      if (w->begin > from) clear.push_back({from, w->begin});
      from = std::max(from, w->end);
    }
    if (from < code.end) clear.push_back({from, code.end});
  }
  return clear;
}

std::vector<CodeRange> pickCodeRanges(const CodeImage &image, size_t count,
                                      uint32_t length, std::mt19937 &random) {
  const std::vector<CodeImage::Span> clear = clearSpans(image);
  // Each start position within the clear spans is equally likely.
  uint64_t starts = 0;
  for (const CodeImage::Span &s : clear)
    if (s.end - s.begin >= length) starts += s.end - s.begin - length + 1;
  std::vector<CodeRange> out;
  if (length == 0 || starts == 0) return out;
  for (size_t i = 0; i < count; ++i) {
    uint64_t pick =
        std::uniform_int_distribution<uint64_t>(0, starts - 1)(random);
    for (const CodeImage::Span &s : clear) {
      if (s.end - s.begin < length) continue;
      const uint64_t here = s.end - s.begin - length + 1;
      if (pick < here) {
        out.push_back({static_cast<uint32_t>(s.begin + pick), length});
        break;
      }
      pick -= here;
    }
  }
  return out;
}

std::vector<CodeRange> coverCode(const CodeImage &image, size_t count,
                                 uint64_t bytes) {
  std::vector<CodeRange> out;
  uint64_t total = 0;
  for (const CodeImage::Span &s : clearSpans(image)) {
    total += s.end - s.begin;
    if (out.size() == count || total > bytes || s.end > UINT32_MAX) return {};
    out.push_back({static_cast<uint32_t>(s.begin),
                   static_cast<uint32_t>(s.end - s.begin)});
  }
  return out;
}

bool codeBytes(const CodeImage &image, uint64_t base,
               const std::vector<CodeRange> &ranges, Bytes &out) {
  out.clear();
  const uint64_t delta = base - image.preferredBase;
  for (const CodeRange &r : ranges) {
    const uint64_t begin = r.offset, end = begin + r.length;
    if (end > image.image.size()) return false;
    const size_t at = out.size();
    out.insert(out.end(), image.image.begin() + static_cast<long>(begin),
               image.image.begin() + static_cast<long>(end));
    // The fixups that touch the range: none starts more than 8 bytes
    // before it.
    auto f = std::lower_bound(
        image.fixups.begin(), image.fixups.end(), begin < 8 ? 0 : begin - 8,
        [](const CodeImage::Fixup &x, uint64_t v) { return x.offset < v; });
    for (; f != image.fixups.end() && f->offset < end; ++f) {
      if (!overlaps(f->offset, f->offset + f->size, begin, end) ||
          f->offset + f->size > image.image.size())
        continue;
      uint64_t value = 0;
      for (int i = f->size - 1; i >= 0; --i)
        value = value << 8 | image.image[f->offset + i];
      value = f->absolute ? base + f->addend : value + delta;
      for (uint64_t i = 0; i < f->size; ++i) {
        const uint64_t where = f->offset + i;
        if (where >= begin && where < end)
          out[at + (where - begin)] = static_cast<uint8_t>(value >> (8 * i));
      }
    }
  }
  return true;
}

bool expectedAnswer(const CodeImage &image, uint64_t base,
                    const std::vector<CodeRange> &ranges, uint32_t nonce,
                    ChallengeAnswer &out) {
  Bytes bytes;
  if (!codeBytes(image, base, ranges, bytes)) return false;
  out.digest = digestOf(bytes.data(), bytes.size(), nonce);
  out.bytes = bytes.size();
  return true;
}

}  // namespace qx::peer
