#include "peer/master_peer.h"

#include <zlib.h>

#include <cstdio>
#include <cstring>

#include "common/protocol.h"
#include "peer/digest.h"

namespace qx::peer {

namespace p = qx::protocol;

namespace {

void putBigEndian(Bytes &out, uint32_t v) {
  out.push_back(static_cast<uint8_t>(v >> 24));
  out.push_back(static_cast<uint8_t>(v >> 16));
  out.push_back(static_cast<uint8_t>(v >> 8));
  out.push_back(static_cast<uint8_t>(v));
}

Bytes header(char type) {
  return {static_cast<uint8_t>(p::kPacketMagic[0]),
          static_cast<uint8_t>(p::kPacketMagic[1]),
          static_cast<uint8_t>(p::kPacketMagic[2]), static_cast<uint8_t>(type)};
}

// Bytes 4 onward of a content body are XOR-ed with the nonce from position
// 8 on; bytes 0-3 (the identifier) never are.
Bytes contentPacket(const std::string &nonce, Bytes body) {
  for (size_t k = 4; k < body.size() && !nonce.empty(); ++k)
    body[k] ^= static_cast<uint8_t>(
        nonce[(k + p::kContentNonceOffset) % nonce.size()]);
  Bytes packet = header(p::kTypeContent);
  packet.insert(packet.end(), body.begin(), body.end());
  return packet;
}

uint32_t chunksOf(size_t size) {
  return static_cast<uint32_t>((size + p::kContentChunkSize - 1) /
                               p::kContentChunkSize);
}

// The bytes of chunk index: from index * 1024 on, at most 1024 of them.
Bytes slice(const Bytes &sent, uint32_t index) {
  const size_t from = static_cast<size_t>(index) * p::kContentChunkSize;
  const size_t to = from + p::kContentChunkSize < sent.size()
                        ? from + p::kContentChunkSize
                        : sent.size();
  return from < to ? Bytes(sent.begin() + static_cast<long>(from),
                           sent.begin() + static_cast<long>(to))
                   : Bytes();
}

}  // namespace

bool readMasterQuery(const Bytes &datagram, std::string &nonce) {
  char prefix[16];
  std::snprintf(prefix, sizeof prefix, p::kMasterQueryFormat,
                p::kMasterQueryLetter, "");
  const size_t n = std::strlen(prefix);
  if (datagram.size() < n + 2 || datagram.back() != 0 ||
      std::memcmp(datagram.data(), prefix, n) != 0)
    return false;
  nonce.assign(datagram.begin() + static_cast<long>(n), datagram.end() - 1);
  return !nonce.empty() && nonce.find('\0') == std::string::npos;
}

Bytes masterListPacket(const std::string &nonce, const std::string &text) {
  Bytes packet = header(p::kTypeMasterList);
  for (size_t i = 0; i < text.size(); ++i)
    packet.push_back(static_cast<uint8_t>(
        text[i] ^ (nonce.empty() ? 0 : nonce[i % nonce.size()])));
  return packet;
}

Bytes ContentTransfer::transferred() const {
  if (!compress) return content;
  uLongf size = compressBound(static_cast<uLong>(content.size()));
  Bytes out(size);
  if (::compress(out.data(), &size, content.data(),
                 static_cast<uLong>(content.size())) != Z_OK)
    return content;
  out.resize(size);
  return out;
}

Bytes ContentTransfer::announcement(const std::string &nonce) const {
  const Bytes sent = transferred();
  Bytes body;
  putBigEndian(body, identifier);
  body.insert(body.end(), p::kContentAnnounceTag, p::kContentAnnounceTag + 4);
  putBigEndian(body, static_cast<uint32_t>(content.size()));
  putBigEndian(body, static_cast<uint32_t>(sent.size()));
  uint8_t md5[16];
  digest(sent.data(), sent.size(), 0, md5);
  body.insert(body.end(), md5, md5 + 16);
  body.insert(body.end(), name.begin(), name.end());
  body.push_back(0);
  return contentPacket(nonce, body);
}

Bytes ContentTransfer::chunk(const std::string &nonce, uint32_t index,
                             const Bytes &data) const {
  Bytes body;
  putBigEndian(body, identifier);
  body.insert(body.end(), p::kContentChunkTag, p::kContentChunkTag + 4);
  putBigEndian(body, index & 0xFFFFFFu);
  body.insert(body.end(), data.begin(), data.end());
  return contentPacket(nonce, body);
}

Bytes ContentTransfer::chunk(const std::string &nonce, uint32_t index) const {
  return chunk(nonce, index, slice(transferred(), index));
}

uint32_t ContentTransfer::chunkCount() const {
  return chunksOf(transferred().size());
}

// Compresses once for the whole transfer, not once per chunk.
std::vector<Bytes> ContentTransfer::packets(const std::string &nonce) const {
  const Bytes sent = transferred();
  std::vector<Bytes> out{announcement(nonce)};
  const uint32_t count = chunksOf(sent.size());
  for (uint32_t i = 0; i < count; ++i)
    out.push_back(chunk(nonce, i, slice(sent, i)));
  return out;
}

std::string masterListName(const std::string &base) {
  return base + p::kMasterListMarker;
}

std::string serverRecord(int32_t kind, const std::string &host, int port,
                         int counter) {
  return "<p> S " + std::to_string(kind) + " " + host + " " +
         std::to_string(port) + " " + std::to_string(counter) + "\r\n";
}

std::string mirrorRecord(const std::string &host, int port) {
  return "<p> M " + host + " " + std::to_string(port) + "\r\n";
}

std::string moduleRecord(char kind, char platform, int32_t version,
                         const Bytes &module) {
  char size[16];
  std::snprintf(size, sizeof size, "%X", static_cast<unsigned>(module.size()));
  const std::string whole = digestText(module.data(), module.size(), 0);
  const std::string tail =
      module.empty() ? digestText(module.data(), 0, 0)
                     : digestText(module.data() + 1, module.size() - 1, 0);
  return std::string("<p> F ") + kind + " " + platform + " " +
         std::to_string(version) + " " + size + " " + whole + " " + tail +
         "\r\n";
}

}  // namespace qx::peer
