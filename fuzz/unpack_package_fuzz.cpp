// The package reader on package files from fuzz input. With the first byte
// even, the rest is the package file as it is. With it odd, the rest is the
// compressed data (after two bytes of module size): the target wraps it in
// a package whose digests are right, so that inflating and the module
// checks see arbitrary data too.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "peer/digest.h"
#include "peer/package_peer.h"
#include "update/package.h"

namespace {

const std::string &directory() {
  static const std::string dir = [] {
    char shm[] = "/dev/shm/qxfuzz_XXXXXX";
    char tmp[] = "/tmp/qxfuzz_XXXXXX";
    const char *made = mkdtemp(shm);
    if (!made) made = mkdtemp(tmp);
    if (!made) std::abort();
    return std::string(made);
  }();
  return dir;
}

void writeFile(const std::string &path, const void *data, size_t size) {
  FILE *f = std::fopen(path.c_str(), "wb");
  if (!f) std::abort();
  if (size) std::fwrite(data, 1, size, f);
  std::fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  if (size < 3) return 0;
  const std::string package = directory() + "/package.htm";
  const std::string module = directory() + "/module.dll";
  std::remove(module.c_str());
  const bool wrapped = data[0] & 1;
  if (wrapped) {
    const uint32_t moduleSize = static_cast<uint32_t>(data[1] << 8 | data[2]);
    const std::vector<uint8_t> compressed(data + 3, data + size);
    const std::string page = qx::peer::packagePage(
        "fuzz", qx::peer::packageHeader(compressed, moduleSize),
        qx::peer::dataRecords(compressed));
    writeFile(package, page.data(), page.size());
  } else {
    writeFile(package, data + 1, size - 1);
  }
  // Sometimes with expectations: a size, and digests of an empty module.
  const bool expect = data[0] & 2;
  const std::string none = qx::peer::digestText("", 0, 0);
  const char *error = qx::update::unpackPackage(
      package.c_str(), module.c_str(), expect ? data[1] : 0,
      expect ? none.c_str() : nullptr, expect ? none.c_str() : nullptr);
  // A module file exists exactly when the reader reports success.
  const bool written = access(module.c_str(), F_OK) == 0;
  if (written != (error == nullptr)) std::abort();
  return 0;
}
