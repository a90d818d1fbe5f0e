// The server side of the file transfer: a file announced ('G') and cut into
// 1024-byte chunks ('H'), sent in order or with chunks dropped or swapped on
// purpose; the client's resend requests decoded and answered.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

namespace qx::peer {

using Bytes = std::vector<uint8_t>;

// 'G' and "size digest name" with its terminator.
Bytes fileAnnouncement(uint32_t size, const std::string &digest,
                       const std::string &name);
// 'H', the index as two big-endian bytes (a negative index as the wire
// carries it), then the data.
Bytes fileChunk(int32_t index, const uint8_t *data, size_t size);

// "OUPD", the transfer letter and a chunk index, from the client.
struct ResendRequest {
  bool valid = false;
  char letter = 0;
  int32_t chunk = 0;  // first missing chunk; -1: the client holds no transfer
};
ResendRequest decodeResendRequest(const Bytes &message);
std::string describe(const ResendRequest &request);

// A message to send, with a line for a person (empty: send quietly); a
// message that is empty only prints its line.
struct Outgoing {
  std::string what;
  Bytes message;
};

// One file to push to the client.
class FilePush {
 public:
  FilePush(std::string name, Bytes content);

  const std::string &name() const { return name_; }
  const Bytes &content() const { return content_; }
  char letter() const;  // second letter of the name, upper case
  int chunkCount() const;
  Bytes announcement() const;
  Bytes chunk(int index) const;

  // Changes to the first sending: a chunk left out, or a chunk sent after
  // the one that follows it.
  void drop(int index) { dropped_.push_back(index); }
  void swap(int index) { swapped_.push_back(index); }

  // The first sending: the announcement, then the chunks.
  std::vector<Outgoing> messages() const;
  // The answer to a resend request: the chunks from the one asked for on,
  // or for "-1" the announcement and every chunk. Empty when the request
  // names another transfer or a chunk this file does not have.
  std::vector<Outgoing> answer(const ResendRequest &request) const;

 private:
  std::vector<Outgoing> chunksFrom(int first, const std::string &note) const;

  std::string name_;
  Bytes content_;
  std::vector<int> dropped_;
  std::vector<int> swapped_;
};

// Paces a push for a server loop: a few messages at each step, so that the
// client's event queue keeps up, and resend requests queue their answer.
class PushSchedule {
 public:
  void start(const FilePush &push);
  // The next messages to send, at most batch of them.
  std::vector<Outgoing> next(size_t batch);
  // Queues the answer to a request; false when it is not for this push.
  bool answer(const ResendRequest &request);
  bool busy() const { return !queue_.empty(); }

 private:
  std::vector<FilePush> push_;  // the push in progress, when there is one
  std::deque<Outgoing> queue_;
};

}  // namespace qx::peer
