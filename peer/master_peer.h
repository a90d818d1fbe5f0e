// The master server's side: reading the client's master query, master list
// replies ('1') scrambled with the client nonce, content transfers ('C')
// announced and sent in 1024-byte chunks, and master list text with module
// records computed from a module's bytes. Used by the test suites and the
// reference master server; never linked into the client.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace qx::peer {

using Bytes = std::vector<uint8_t>;

// The nonce of a master query datagram ("qxmq C <nonce>" and its
// terminator); false when the datagram is no query.
bool readMasterQuery(const Bytes &datagram, std::string &nonce);

// A '1' packet carrying master list text for the client with this nonce.
Bytes masterListPacket(const std::string &nonce, const std::string &text);

// The packets of one content transfer: the announcement, then every chunk
// in order. With compress the content travels zlib-compressed.
struct ContentTransfer {
  uint32_t identifier = 1;
  std::string name;
  Bytes content;
  bool compress = false;

  Bytes transferred() const;  // the bytes that travel (compressed or not)
  Bytes announcement(const std::string &nonce) const;
  // Chunk index, carrying the transferred bytes from index * 1024 on, or
  // the given data in their place.
  Bytes chunk(const std::string &nonce, uint32_t index) const;
  Bytes chunk(const std::string &nonce, uint32_t index,
              const Bytes &data) const;
  uint32_t chunkCount() const;
  std::vector<Bytes> packets(const std::string &nonce) const;
};

// A name that the client takes for master list text.
std::string masterListName(const std::string &base);

// "<p> S kind host port counter\r\n" and "<p> M host port\r\n".
std::string serverRecord(int32_t kind, const std::string &host, int port,
                         int counter = 0);
std::string mirrorRecord(const std::string &host, int port);
// "<p> F kind platform version size digest1 digest2\r\n" for a module: its
// size, the MD5 of it whole and of it without its first byte.
std::string moduleRecord(char kind, char platform, int32_t version,
                         const Bytes &module);

}  // namespace qx::peer
