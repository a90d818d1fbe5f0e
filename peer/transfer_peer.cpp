#include "peer/transfer_peer.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "common/protocol.h"
#include "peer/digest.h"

namespace qx::peer {

namespace p = qx::protocol;

Bytes fileAnnouncement(uint32_t size, const std::string &digest,
                       const std::string &name) {
  const std::string text = std::string(1, p::kCodeFileAnnouncement) +
                           std::to_string(size) + " " + digest + " " + name;
  return Bytes(text.c_str(), text.c_str() + text.size() + 1);
}

Bytes fileChunk(int32_t index, const uint8_t *data, size_t size) {
  const uint16_t wire = static_cast<uint16_t>(index);
  Bytes out(3 + size);
  out[0] = static_cast<uint8_t>(p::kCodeFileChunk);
  out[1] = static_cast<uint8_t>(wire >> 8);
  out[2] = static_cast<uint8_t>(wire);
  if (size) std::memcpy(out.data() + 3, data, size);
  return out;
}

ResendRequest decodeResendRequest(const Bytes &message) {
  ResendRequest r;
  const std::string prefix = p::kResendPrefix;
  const size_t head = 1 + prefix.size();
  if (message.size() < head + 2 || message[0] != p::kResendCode ||
      std::memcmp(message.data() + 1, prefix.data(), prefix.size()) != 0)
    return r;
  r.letter = static_cast<char>(message[head]);
  std::string number;
  for (size_t i = head + 1; i < message.size() && message[i]; ++i)
    number += static_cast<char>(message[i]);
  char *end = nullptr;
  const long value = std::strtol(number.c_str(), &end, 10);
  if (number.empty() || *end || value < p::kResendNoTransfer ||
      value > p::kChunkIndexMax)
    return r;
  r.chunk = static_cast<int32_t>(value);
  r.valid = true;
  return r;
}

std::string describe(const ResendRequest &request) {
  if (!request.valid) return "not a resend request";
  const std::string letter(1, request.letter);
  if (request.chunk == p::kResendNoTransfer)
    return "resend request " + letter + " -1: no transfer in progress";
  return "resend request " + letter + " from chunk " +
         std::to_string(request.chunk);
}

FilePush::FilePush(std::string name, Bytes content)
    : name_(std::move(name)), content_(std::move(content)) {}

char FilePush::letter() const {
  const char c = name_.size() > 1 ? name_[1] : 0;
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

int FilePush::chunkCount() const {
  return static_cast<int>((content_.size() + p::kChunkSize - 1) /
                          p::kChunkSize);
}

Bytes FilePush::announcement() const {
  return fileAnnouncement(static_cast<uint32_t>(content_.size()),
                          digestText(content_.data(), content_.size(), 0),
                          name_);
}

Bytes FilePush::chunk(int index) const {
  const size_t offset = static_cast<size_t>(index) * p::kChunkSize;
  const size_t size = std::min<size_t>(p::kChunkSize, content_.size() - offset);
  return fileChunk(index, content_.data() + offset, size);
}

std::vector<Outgoing> FilePush::chunksFrom(int first,
                                           const std::string &note) const {
  std::vector<Outgoing> out;
  for (int i = first; i < chunkCount(); ++i) out.push_back({"", chunk(i)});
  if (!out.empty())
    out.back().what = "chunks " + std::to_string(first) + "-" +
                      std::to_string(chunkCount() - 1) + note;
  return out;
}

std::vector<Outgoing> FilePush::messages() const {
  std::vector<Outgoing> out;
  out.push_back({"file " + name_ + ": " + std::to_string(content_.size()) +
                     " bytes in " + std::to_string(chunkCount()) +
                     " chunks, MD5 " +
                     digestText(content_.data(), content_.size(), 0),
                 announcement()});
  std::vector<int> order;
  for (int i = 0; i < chunkCount(); ++i) order.push_back(i);
  for (int i : swapped_)
    if (i >= 0 && i + 1 < chunkCount()) std::swap(order[i], order[i + 1]);
  for (int i : order) {
    if (std::find(dropped_.begin(), dropped_.end(), i) != dropped_.end())
      out.push_back({"chunk " + std::to_string(i) + " lost on the way", {}});
    else
      out.push_back({"", chunk(i)});
  }
  std::string summary = "chunks 0-" + std::to_string(chunkCount() - 1);
  for (int i : swapped_)
    if (i >= 0 && i + 1 < chunkCount())
      summary +=
          ", chunk " + std::to_string(i + 1) + " before " + std::to_string(i);
  out.push_back({summary, {}});
  return out;
}

std::vector<Outgoing> FilePush::answer(const ResendRequest &request) const {
  if (!request.valid) return {};
  if (request.chunk == p::kResendNoTransfer) {
    std::vector<Outgoing> out{{"file " + name_ + " again", announcement()}};
    for (Outgoing &o : chunksFrom(0, " again")) out.push_back(std::move(o));
    return out;
  }
  if (request.letter != letter() || request.chunk >= chunkCount()) return {};
  return chunksFrom(request.chunk, " again");
}

void PushSchedule::start(const FilePush &push) {
  push_.assign(1, push);
  queue_.clear();
  for (Outgoing &o : push.messages()) queue_.push_back(std::move(o));
}

std::vector<Outgoing> PushSchedule::next(size_t batch) {
  std::vector<Outgoing> out;
  while (!queue_.empty() && out.size() < batch) {
    out.push_back(std::move(queue_.front()));
    queue_.pop_front();
  }
  return out;
}

bool PushSchedule::answer(const ResendRequest &request) {
  if (push_.empty()) return false;
  std::vector<Outgoing> reply = push_[0].answer(request);
  if (reply.empty()) return false;
  queue_.assign(reply.begin(), reply.end());
  return true;
}

}  // namespace qx::peer
