// The PE reader on arbitrary bytes, read both as a file and as a mapped
// image: the headers, every export (by slot, by name through the loader's
// search, its forwarder), every import of every descriptor, every base
// relocation, and the relocations applied to a copy of each section for a
// moved base. Each read must stay inside the input; the sanitizers see to
// that. The walks are capped so that one input stays fast.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "scan/pe_image.h"

namespace pe = qx::scan::pe;

namespace {

constexpr uint32_t kMostItems = 4096;

void walkExports(const pe::Headers &h, const pe::View &view) {
  pe::Exports e;
  if (!pe::readExports(h, view, e)) return;
  pe::Export x;
  pe::Forwarder f;
  for (uint32_t i = 0; i < e.functionCount && i < kMostItems; ++i)
    if (pe::exportAt(h, view, e, i, x)) pe::readForwarder(h, view, x, f);
  for (uint32_t i = 0; i < e.nameCount && i < kMostItems; ++i) {
    pe::Text name;
    uint32_t slot;
    if (!pe::exportName(h, view, e, i, name, slot)) continue;
    // Looked up as an importer would, with a hint that is one off.
    pe::findExport(h, view, e, name.data, name.length,
                   static_cast<uint16_t>(i + 1), x);
  }
  pe::findExportByOrdinal(h, view, e, e.ordinalBase, x);
}

void walkImports(const pe::Headers &h, const pe::View &view) {
  pe::ImportCursor cursor{};
  pe::ImportModule m;
  uint32_t items = 0;
  while (pe::nextImportModule(h, view, cursor, m) == pe::Read::Item) {
    pe::Text name;
    pe::textAt(h, view, m.name, pe::kMaxNameLength, name);
    pe::ImportedFunction f;
    for (uint32_t i = 0; items < kMostItems; ++i, ++items) {
      if (pe::importedFunction(h, view, m, i, f) != pe::Read::Item) break;
      uint64_t slot;
      pe::readAddressSlot(h, view, f.slot, slot);
    }
    if (++items >= kMostItems) break;
  }
}

void walkRelocations(const pe::Headers &h, const pe::View &view) {
  pe::RelocationCursor cursor{};
  pe::Relocation r;
  for (uint32_t i = 0; i < kMostItems; ++i)
    if (pe::nextRelocation(h, view, cursor, r) != pe::Read::Item) break;
  // Each section's bytes as the view holds them, moved to another base.
  std::vector<uint8_t> copy;
  for (uint32_t s = 0; s < h.sectionCount && s < 8; ++s) {
    const pe::Section &section = h.sections[s];
    uint32_t size = section.mappedSize < 0x4000 ? section.mappedSize : 0x4000;
    const uint8_t *bytes = pe::bytesAt(h, view, section.rva, size);
    if (!bytes) continue;
    copy.assign(bytes, bytes + size);
    pe::applyRelocations(h, view, section.rva, copy.data(), copy.size(),
                         h.imageBase + 0x10000);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  pe::Headers h;
  if (pe::parseHeaders(data, size, h) != nullptr) return 0;
  for (pe::Layout layout : {pe::Layout::File, pe::Layout::Mapped}) {
    const pe::View view{data, size, 0, layout};
    walkExports(h, view);
    walkImports(h, view);
    walkRelocations(h, view);
  }
  return 0;
}
