// qxpack: makes and checks the update packages that a game server pushes to
// its players' clients. pack writes a package with the server side's writer
// (peer/); verify and unpack run the client's own package reader on it.
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <system_error>
#include <vector>

#include "common/protocol.h"
#include "peer/digest.h"
#include "peer/package_peer.h"
#include "tools/common/options.h"
#include "update/package.h"

namespace {

namespace fs = std::filesystem;
using qx::peer::Bytes;

constexpr size_t kPathMax = 255;  // what the client's file object takes

const char kUsage[] =
    "qxpack: makes and checks Quellor update packages.\n"
    "\n"
    "usage:\n"
    "  qxpack pack MODULE PACKAGE      write the update package of MODULE\n"
    "  qxpack verify PACKAGE [MODULE]  check PACKAGE with the client's own\n"
    "                                  reader; with MODULE, also check that\n"
    "                                  it holds exactly that file\n"
    "  qxpack unpack PACKAGE OUT       write the module held in PACKAGE to "
    "OUT\n"
    "  qxpack --help                   show this text\n"
    "\n"
    "Name a package the way clients ask for it: the platform letter (w for\n"
    "Windows), a for the agent or c for the client module, the version in six\n"
    "digits and \".htm\", for example wa001200.htm. pack then prints the\n"
    "module's master-list record (kind, platform, version, size and the two\n"
    "module digests), which lets clients check the module they unpack.\n";

bool isPackageName(const std::string &name) {
  if (name.size() != 12 || (name[1] != 'a' && name[1] != 'c')) return false;
  for (size_t i = 2; i < 8; ++i)
    if (name[i] < '0' || name[i] > '9') return false;
  return name.compare(8, 4, ".htm") == 0 && name[0] >= 'a' && name[0] <= 'z';
}

char upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

bool readWhole(const std::string &path, Bytes &out, std::string &why) {
  std::string text;
  why = qxtools::readWholeFile(path, text);
  out.assign(text.begin(), text.end());
  return why.empty();
}

bool pathFits(const std::string &path) {
  if (path.size() + 6 <= kPathMax) return true;  // and a temporary suffix
  std::fprintf(stderr,
               "qxpack: the path %s is too long: the client's reader takes "
               "paths of at most %zu characters.\n",
               path.c_str(), kPathMax - 6);
  return false;
}

// The sizes a client checks before it takes a package. A package over any
// of them can be pushed but never installed: the client refuses the file or
// the unpacking, asks for the package again and the push repeats without end.
struct SizeLimit {
  const char *name;     // how the operator reads it
  const char *refusal;  // what a client does with anything larger
  uint32_t bytes;
};
constexpr SizeLimit kModuleLimit = {"module size",
                                    "a client does not unpack a larger module",
                                    qx::protocol::kTransferSizeMax};
constexpr SizeLimit kCompressedLimit = {
    "compressed size",
    "a client does not read a package with more compressed data",
    qx::protocol::kTransferSizeMax};
constexpr SizeLimit kTransferLimit = {
    "transfer size",
    "a client refuses a pushed file that is larger (the package holds the "
    "compressed module as two hexadecimal digits a byte)",
    qx::protocol::kTransferSizeMax};
// Every chunk index of a transfer of the largest size fits the chunk field.
static_assert(static_cast<uint64_t>(qx::protocol::kChunkIndexMax + 1) *
                      qx::protocol::kChunkSize >=
                  qx::protocol::kTransferSizeMax,
              "the transfer size limit is the tighter one");

// False, with the reason on stderr, when size is over the limit.
bool withinLimit(const SizeLimit &limit, uintmax_t size,
                 const std::string &package, const char *done) {
  if (size <= limit.bytes) return true;
  std::fprintf(stderr,
               "qxpack: %s is too large for a client: its %s is %ju bytes, "
               "over the client's limit of %" PRIu32 " bytes; %s.%s%s\n",
               package.c_str(), limit.name, size, limit.bytes, limit.refusal,
               *done ? " " : "", done);
  return false;
}

// Checks the package file's size and the sizes its header states against
// the client's limits. A package without a readable header passes here and
// is judged by the client's reader.
bool packageWithinLimits(const std::string &package, const char *done) {
  std::error_code error;
  const uintmax_t size = fs::file_size(package, error);
  if (!error && !withinLimit(kTransferLimit, size, package, done)) return false;
  qx::update::PackageSizes sizes;
  if (error || !qx::update::readPackageSizes(package.c_str(), sizes))
    return true;
  return withinLimit(kCompressedLimit, sizes.compressed, package, done) &&
         withinLimit(kModuleLimit, sizes.module, package, done);
}

// What an error of the reader means for the person holding the package.
const char *explain(const std::string &error) {
  struct Hint {
    const char *error, *hint;
  };
  static const Hint kHints[] = {
      {"ERROR: Cannot open source file", "the package cannot be read."},
      {"ERROR: Memory Allocation",
       "the package is malformed: no header, a damaged header, a record too "
       "long for the reader, or more or fewer data bytes than the header "
       "says (a cut or padded file)."},
      {"ERROR: Security Mismatch (A)",
       "the data does not match the first digest of the header: the file "
       "was changed after packing."},
      {"ERROR: Security Mismatch (B)",
       "the data does not match the second digest of the header: the file "
       "was changed after packing."},
      {"ERROR: Failed to Uncompress",
       "the data is not a zlib stream of the size the header gives."},
      {"ERROR: Size Mismatch",
       "the module in the package is not the size of the one expected."},
      {"ERROR: Security Mismatch (C)",
       "the module in the package is not the module expected."},
      {"ERROR: Cannot open target file for writing",
       "the output file cannot be created there."},
      {"ERROR: File Write Error", "writing the output file failed."},
  };
  for (const Hint &h : kHints)
    if (error == h.error) return h.hint;
  return "";
}

void printRecord(const std::string &packagePath,
                 const qx::peer::ModuleRecord &record) {
  const std::string name = fs::path(packagePath).filename().string();
  if (isPackageName(name)) {
    std::printf("master-list record:\n%s\n",
                qx::peer::masterListRecord(upper(name[1]), upper(name[0]),
                                           std::stoi(name.substr(2, 6)), record)
                    .c_str());
  } else {
    std::printf(
        "module size %X (hexadecimal), digests %s %s\n"
        "(name the package like wa001200.htm to get its master-list record: "
        "clients ask for packages by that name)\n",
        static_cast<unsigned>(record.size), record.digest1.c_str(),
        record.digest2.c_str());
  }
}

// Runs the client's reader; out receives the module. Prints the error,
// naming the package as shownAs (default: its path).
bool unpack(const std::string &package, const std::string &out,
            const qx::peer::ModuleRecord *expected,
            const std::string &shownAs = "") {
  const char *error = qx::update::unpackPackage(
      package.c_str(), out.c_str(), expected ? expected->size : 0,
      expected ? expected->digest1.c_str() : nullptr,
      expected ? expected->digest2.c_str() : nullptr);
  if (!error) return true;
  std::fprintf(stderr, "qxpack: the client refuses %s: %s\n  %s\n",
               (shownAs.empty() ? package : shownAs).c_str(), error,
               explain(error));
  return false;
}

std::string temporaryPath() {
  std::error_code error;
  fs::path dir = fs::temp_directory_path(error);
  if (error) dir = ".";
  for (int i = 0;; ++i) {
    const fs::path p = dir / ("qxpack-" + std::to_string(i) + ".tmp");
    if (!fs::exists(p, error)) return p.string();
  }
}

constexpr const char *kNothingWritten = "No file was written.";

// Writes the package beside its final place, checks it there with the
// client's own reader and only then gives it its name: a refused package
// leaves no file behind, and an older package of that name stays as it was.
bool writeChecked(const std::string &packagePath, const std::string &page,
                  const qx::peer::ModuleRecord &record) {
  const std::string partial = packagePath + ".tmp";
  std::error_code error;
  bool good;
  {
    std::ofstream out(partial, std::ios::binary | std::ios::trunc);
    good = out &&
           out.write(page.data(), static_cast<std::streamsize>(page.size())) &&
           out.flush();
  }
  if (!good)
    std::fprintf(stderr, "qxpack: cannot write the package %s. %s\n",
                 packagePath.c_str(), kNothingWritten);
  if (good) {
    const std::string check = temporaryPath();
    good = unpack(partial, check, &record, packagePath);
    fs::remove(check, error);
  }
  if (good) {
    fs::rename(partial, packagePath, error);
    good = !error;
    if (error)
      std::fprintf(stderr, "qxpack: cannot write the package %s: %s. %s\n",
                   packagePath.c_str(), error.message().c_str(),
                   kNothingWritten);
  }
  if (!good) fs::remove(partial, error);
  return good;
}

int pack(const std::string &modulePath, const std::string &packagePath) {
  Bytes module;
  std::string why;
  if (!readWhole(modulePath, module, why)) {
    std::fprintf(stderr, "qxpack: cannot read the module %s: %s.\n",
                 modulePath.c_str(), why.c_str());
    return 1;
  }
  if (module.empty()) {
    std::fprintf(stderr, "qxpack: the module %s is empty: nothing to pack.\n",
                 modulePath.c_str());
    return 1;
  }
  if (!pathFits(packagePath) ||
      !withinLimit(kModuleLimit, module.size(), packagePath, kNothingWritten))
    return 1;
  const std::string name = fs::path(packagePath).filename().string();
  // Compressed once: the page and the size reported below both use it.
  const Bytes compressed = qx::peer::compressModule(module);
  if (compressed.empty()) {
    std::fprintf(stderr, "qxpack: cannot compress the module %s. %s\n",
                 modulePath.c_str(), kNothingWritten);
    return 1;
  }
  if (!withinLimit(kCompressedLimit, compressed.size(), packagePath,
                   kNothingWritten))
    return 1;
  const std::string page = qx::peer::packagePage(
      name,
      qx::peer::packageHeader(compressed, static_cast<uint32_t>(module.size())),
      qx::peer::dataRecords(compressed));
  if (!withinLimit(kTransferLimit, page.size(), packagePath, kNothingWritten))
    return 1;
  const qx::peer::ModuleRecord record = qx::peer::moduleRecord(module);
  if (!writeChecked(packagePath, page, record)) return 1;
  std::printf(
      "qxpack: wrote %s (%zu bytes): the module's %zu bytes, "
      "compressed to %zu\n",
      packagePath.c_str(), page.size(), module.size(), compressed.size());
  printRecord(packagePath, record);
  return 0;
}

int verify(const std::string &packagePath, const std::string &modulePath) {
  if (!pathFits(packagePath) || !packageWithinLimits(packagePath, "")) return 1;
  Bytes expected;
  qx::peer::ModuleRecord record;
  if (!modulePath.empty()) {
    std::string why;
    if (!readWhole(modulePath, expected, why)) {
      std::fprintf(stderr, "qxpack: cannot read the module %s: %s.\n",
                   modulePath.c_str(), why.c_str());
      return 1;
    }
    record = qx::peer::moduleRecord(expected);
  }
  const std::string check = temporaryPath();
  const bool good =
      unpack(packagePath, check, modulePath.empty() ? nullptr : &record);
  Bytes module;
  std::string why;
  const bool read = good && readWhole(check, module, why);
  std::error_code error;
  fs::remove(check, error);
  if (!good) return 1;
  if (!read) {
    std::fprintf(stderr, "qxpack: cannot read back the unpacked module: %s.\n",
                 why.c_str());
    return 1;
  }
  if (!modulePath.empty() && module != expected) {
    std::fprintf(stderr, "qxpack: %s does not hold %s.\n", packagePath.c_str(),
                 modulePath.c_str());
    return 1;
  }
  std::printf("qxpack: %s is a good package: a module of %zu bytes%s\n",
              packagePath.c_str(), module.size(),
              modulePath.empty() ? "" : (", exactly " + modulePath).c_str());
  printRecord(packagePath, qx::peer::moduleRecord(module));
  return 0;
}

int unpackTo(const std::string &packagePath, const std::string &outPath) {
  if (!pathFits(packagePath) || !pathFits(outPath) ||
      !packageWithinLimits(packagePath, kNothingWritten))
    return 1;
  if (!unpack(packagePath, outPath, nullptr)) return 1;
  std::error_code error;
  std::printf("qxpack: unpacked %s to %s (%ju bytes)\n", packagePath.c_str(),
              outPath.c_str(),
              static_cast<uintmax_t>(fs::file_size(outPath, error)));
  return 0;
}

int usageError(const char *what) {
  std::fprintf(stderr, "qxpack: %s\nRun qxpack --help for how to use it.\n",
               what);
  return 2;
}

}  // namespace

int main(int argc, char **argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  if (args.empty())
    return usageError("tell it what to do: pack, verify or unpack.");
  const std::string &command = args[0];
  if (command == "--help" || command == "-h" || command == "help") {
    std::fputs(kUsage, stdout);
    std::printf(
        "\nA client takes a package only when its module, its compressed "
        "data and the\npackage file itself are each at most %" PRIu32
        " bytes; pack, verify and\nunpack refuse a package over any of these "
        "limits and leave no file behind.\n",
        qx::protocol::kTransferSizeMax);
    return 0;
  }
  if (command == "pack") {
    if (args.size() != 3)
      return usageError("pack takes the module file and the package to write.");
    return pack(args[1], args[2]);
  }
  if (command == "verify") {
    if (args.size() != 2 && args.size() != 3)
      return usageError(
          "verify takes the package and, optionally, the module it should "
          "hold.");
    return verify(args[1], args.size() == 3 ? args[2] : "");
  }
  if (command == "unpack") {
    if (args.size() != 3)
      return usageError("unpack takes the package and the file to write.");
    return unpackTo(args[1], args[2]);
  }
  return usageError(("there is no command \"" + command +
                     "\"; the commands are pack, verify and unpack.")
                        .c_str());
}
