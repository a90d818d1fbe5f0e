#include "peer/screenshot_peer.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/protocol.h"
#include "peer/digest.h"
#include "peer/peer.h"

namespace qx::peer {

namespace p = qx::protocol;

uint32_t screenshotCheck(int32_t c, uint32_t salt) {
  // (check ^ c) / 10 must be even: the low part picks 0..9 or 20..29.
  const uint32_t k = salt % 10 + (salt / 10 % 2) * 20;
  return static_cast<uint32_t>(c) ^ k;
}

std::string screenshotName(int32_t number) {
  char name[32];
  std::snprintf(name, sizeof name, p::kScreenshotTransferFormat, number);
  return name;
}

Bytes screenshotRequest(const ScreenshotRequest &request, int32_t c) {
  std::string text = std::to_string(request.seconds) + " " +
                     std::to_string(screenshotCheck(c, request.seconds)) + " " +
                     std::to_string(request.number);
  for (const std::string &n : request.numbers) text += " " + n;
  Bytes out(text.size() + 2, 0);
  out[0] = static_cast<uint8_t>(p::kCodeScreenshot);
  std::copy(text.begin(), text.end(), out.begin() + 1);
  return out;
}

Bytes screenshotRestartFrom(char letter, int32_t chunk) {
  const std::string number = chunk < 0 ? "-" : std::to_string(chunk);
  Bytes out = screenshotRestart(std::string(p::kScreenshotRestartMagic, 3) +
                                letter + number);
  out.push_back(0);
  return out;
}

namespace {

// "G<size> <32 hex> <letter><name>\0"
bool parseHeader(const Bytes &m, uint32_t &size, std::string &digest,
                 char &letter, std::string &name) {
  std::string text(m.begin() + 1, m.end());
  const size_t zero = text.find('\0');
  if (zero == std::string::npos) return false;
  text.resize(zero);
  unsigned long value = 0;
  char hex[33] = {};
  int used = 0;
  if (std::sscanf(text.c_str(), "%lu %32[0-9A-F] %n", &value, hex, &used) < 2 ||
      used == 0 || std::strlen(hex) != 32 ||
      static_cast<size_t>(used) >= text.size() || value > 0xFFFFFFFFul)
    return false;
  size = static_cast<uint32_t>(value);
  digest = hex;
  letter = text[static_cast<size_t>(used)];
  name = text.substr(static_cast<size_t>(used) + 1);
  return letter >= 'A' && letter <= 'Z' && !name.empty();
}

}  // namespace

ScreenshotReceiver::Event ScreenshotReceiver::accept(const Bytes &m) {
  Event e;
  if (m.empty()) return e;
  if (m[0] == p::kCodeScreenshotHeader) {
    e.kind = "bad";
    Transfer fresh;
    if (!parseHeader(m, fresh.size, fresh.digest, e.letter, fresh.name))
      return e;
    e.kind = "header";
    e.name = fresh.name;
    Transfer &t = transfers_[e.letter];
    // The same transfer announced again (a restart) keeps its chunks.
    if (t.size != fresh.size || t.digest != fresh.digest ||
        t.name != fresh.name || t.done)
      t = fresh;
    return e;
  }
  if (m[0] != p::kCodeScreenshotChunk) return e;
  e.kind = "bad";
  if (m.size() < static_cast<size_t>(p::kScreenshotChunkHeader)) return e;
  e.letter = static_cast<char>(m[3]);
  e.chunk = uint32_t{m[1]} << 8 | m[2];
  auto it = transfers_.find(e.letter);
  if (it == transfers_.end()) return e;
  Transfer &t = it->second;
  const uint64_t offset = uint64_t{e.chunk} * p::kScreenshotChunkSize;
  const size_t length = m.size() - p::kScreenshotChunkHeader;
  const uint64_t expected =
      offset >= t.size
          ? 0
          : std::min<uint64_t>(p::kScreenshotChunkSize, t.size - offset);
  if (length == 0 || length != expected) return e;
  // A restart that reaches the client after the last chunk (late, or sent
  // again) has it send the finished upload again from there.
  if (t.done) {
    e.kind = "again";
    return e;
  }
  t.chunks[e.chunk] = Bytes(m.begin() + p::kScreenshotChunkHeader, m.end());
  e.kind = "chunk";
  e.name = t.name;
  const uint64_t count = (uint64_t{t.size} + p::kScreenshotChunkSize - 1) /
                         p::kScreenshotChunkSize;
  if (t.chunks.size() < count) return e;
  Bytes png;
  for (const auto &[number, bytes] : t.chunks)
    png.insert(png.end(), bytes.begin(), bytes.end());
  t.done = true;
  e.kind = digestText(png.data(), png.size(), 0) == t.digest ? "complete"
                                                             : "bad-digest";
  e.png = std::move(png);
  return e;
}

std::vector<uint32_t> ScreenshotReceiver::missing(char letter) const {
  std::vector<uint32_t> out;
  auto it = transfers_.find(letter);
  if (it == transfers_.end()) return out;
  const Transfer &t = it->second;
  const uint32_t count =
      static_cast<uint32_t>((uint64_t{t.size} + p::kScreenshotChunkSize - 1) /
                            p::kScreenshotChunkSize);
  for (uint32_t i = 0; i < count; ++i)
    if (!t.chunks.count(i)) out.push_back(i);
  return out;
}

}  // namespace qx::peer

namespace qx::peer {

bool screenshotCommand(const std::string &command, const std::string &rest,
                       int32_t c, Bytes &message, std::string &what) {
  std::vector<std::string> words;
  size_t at = 0;
  while (at < rest.size()) {
    const size_t end = rest.find(' ', at);
    const std::string word = rest.substr(
        at, end == std::string::npos ? std::string::npos : end - at);
    if (!word.empty()) words.push_back(word);
    if (end == std::string::npos) break;
    at = end + 1;
  }
  if (command == "screenshot" && words.size() >= 2) {
    ScreenshotRequest r;
    r.seconds =
        static_cast<uint32_t>(std::strtoul(words[0].c_str(), nullptr, 10));
    r.number = static_cast<int32_t>(std::strtol(words[1].c_str(), nullptr, 10));
    r.numbers.assign(words.begin() + 2, words.end());
    message = screenshotRequest(r, c);
    what = "screenshot request \"" +
           std::string(message.begin() + 1, message.end() - 1) + "\"";
    return true;
  }
  if (command == "screenshot-restart" && words.size() == 2 &&
      words[0].size() == 1) {
    const int32_t chunk =
        words[1] == "-"
            ? -1
            : static_cast<int32_t>(std::strtol(words[1].c_str(), nullptr, 10));
    message = screenshotRestartFrom(words[0][0], chunk);
    what = "screenshot restart " + words[0] + " from " + words[1];
    return true;
  }
  return false;
}

std::string describeAndSave(const ScreenshotReceiver::Event &e,
                            const std::string &dir) {
  std::string line = "screenshot " + e.kind + " " + std::string(1, e.letter);
  if (!e.name.empty()) line += " " + e.name;
  if (e.kind == "chunk") line += " #" + std::to_string(e.chunk);
  if (e.kind != "complete") return line;
  line += ": " + std::to_string(e.png.size()) + " bytes, MD5 ok";
  const bool plain = e.name.find_first_of("/\\:") == std::string::npos &&
                     e.name != "." && e.name != "..";
  if (!plain) return line + ", name refused";
  const std::string path = dir + "/" + e.name;
  FILE *f = std::fopen(path.c_str(), "wb");
  const bool written =
      f && std::fwrite(e.png.data(), 1, e.png.size(), f) == e.png.size();
  if (f) std::fclose(f);
  return line + (written ? ", saved to " + path : ", cannot write " + path);
}

}  // namespace qx::peer
