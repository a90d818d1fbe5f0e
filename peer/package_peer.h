// Update packages as a server operator makes them: the module compressed
// with zlib and written as upper-case hexadecimal text in the "<p>" records
// of a small HTML page, after a header with the two digests of the
// compressed data that the client checks. The pieces are separate so that
// tests can build damaged packages from them.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qx::peer {

using Bytes = std::vector<uint8_t>;

// What a master list publishes about a module: its size and the MD5 of the
// whole module and of the module from its second byte on.
struct ModuleRecord {
  uint32_t size = 0;
  std::string digest1;
  std::string digest2;
};
ModuleRecord moduleRecord(const Bytes &module);

// A master-list F record: "<p> F kind platform version size digest1
// digest2", the size in hexadecimal.
std::string masterListRecord(char kind, char platform, int version,
                             const ModuleRecord &record);

// zlib format at the best compression.
Bytes compressModule(const Bytes &module);
// "S<compressed size> <module size> <digest A> <digest B>".
std::string packageHeader(const Bytes &compressed, uint32_t moduleSize);
// The compressed data as hexadecimal text, cut into records of at most
// digitsPerRecord digits, each in lines of 64.
std::vector<std::string> dataRecords(const Bytes &compressed,
                                     size_t digitsPerRecord = 1024);
// The page: each record in its own "<p>" element, the header first.
std::string packagePage(const std::string &title, const std::string &header,
                        const std::vector<std::string> &records);

// The whole package of a module.
std::string packModule(const Bytes &module, const std::string &title);

}  // namespace qx::peer
