// Update packages: a zlib-compressed program module written as hexadecimal
// text in the "<p>" records of a page, so that it travels as a ".htm" file.
// The first record is the header: the compressed size, the module size and
// two MD5 digests of the compressed data (of all of it, and from its second
// byte on). Every later record holds compressed data; within a data record
// only '0'-'9' and 'A'-'F' carry data, read in pairs, a lone last digit
// giving a byte of its own.
#pragma once

#include <cstdint>

namespace qx::update {

// Unpacks the package at packagePath (a full path) into the module file at
// modulePath. The package is streamed through a 2048-byte window; a record
// that does not fit the window makes the package malformed. Both digests of
// the header must match, the data must inflate, and then the optional
// expectations must hold: expectedSize (0: any) and the MD5 digests of the
// whole module and of the module from its second byte on (32 hexadecimal
// digits each; compared only when both are given). The module file is
// written whole, replacing an existing one, and only when every check
// passed. Returns null on success, else the error text.
const char *unpackPackage(const char *packagePath, const char *modulePath,
                          uint32_t expectedSize, const char *expectedDigest1,
                          const char *expectedDigest2);

// The two sizes of a package's header record, as unpackPackage reads them.
struct PackageSizes {
  uint32_t compressed = 0;
  uint32_t module = 0;
};
// Reads only the header of the package at packagePath; false when the file
// cannot be opened or holds no well-formed header. Lets a tool tell a
// package that is too large for a client from one that is damaged.
bool readPackageSizes(const char *packagePath, PackageSizes &sizes);

}  // namespace qx::update
