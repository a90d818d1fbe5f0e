// Known-good module files as the server half lays them out for its code
// challenges, from fuzz input: a damaged PE or ELF file is refused or laid
// out within its bounds, and the challenge bytes of any layout are read
// within the image.
#include <cstddef>
#include <cstdint>
#include <random>

#include "peer/code_image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  qx::peer::CodeImage image;
  if (!qx::peer::loadCodeImage(qx::peer::Bytes(data, data + size), image)
           .empty())
    return 0;
  std::mt19937 random(static_cast<uint32_t>(size));
  const auto ranges = qx::peer::pickCodeRanges(image, 8, 16, random);
  qx::peer::Bytes bytes;
  qx::peer::codeBytes(image, 0x7F0000000000u, ranges, bytes);
  qx::peer::codeBytes(image, 0x10000, {{0, 64}, {0xFFFFFFF0u, 32}}, bytes);
  return 0;
}
