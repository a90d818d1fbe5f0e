// The server side of screenshots: requests with a valid check, restarts,
// and the reassembly of uploads (a header, then 1 KiB chunks in any order,
// headers again after a restart) checked against the announced MD5.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

namespace qx::peer {

using Bytes = std::vector<uint8_t>;

struct ScreenshotRequest {
  uint32_t seconds = 0;  // the client waits a random time below this
  int32_t number = 0;    // request number; names the transfer
  // Empty: the client's defaults. Otherwise W, H, X, Y, rate as text, so
  // that tests can send any words.
  std::vector<std::string> numbers;
};

// A check value the client accepts for the third host number c.
uint32_t screenshotCheck(int32_t c, uint32_t salt = 0);

Bytes screenshotRequest(const ScreenshotRequest &request, int32_t c);  // 'I'
// 'O': "PNG", the letter and the chunk to go on from (negative: '-').
Bytes screenshotRestartFrom(char letter, int32_t chunk);

// The transfer name the client gives request number n.
std::string screenshotName(int32_t number);

class ScreenshotReceiver {
 public:
  struct Event {
    // "header", "chunk", "complete", "bad-digest", "again" (a chunk of a
    // finished upload, sent again after a restart), "bad" (a malformed
    // message), or empty for a message that is not a screenshot upload.
    std::string kind;
    char letter = 0;
    std::string name;  // transfer name
    uint32_t chunk = 0;
    Bytes png;  // complete only
  };

  // Takes one unsealed message of the client.
  Event accept(const Bytes &message);

  // Chunks a transfer still lacks (the server may ask for a restart).
  std::vector<uint32_t> missing(char letter) const;

 private:
  struct Transfer {
    uint32_t size = 0;
    std::string digest;  // 32 upper-case hexadecimal digits
    std::string name;
    std::map<uint32_t, Bytes> chunks;
    bool done = false;
  };
  std::map<char, Transfer> transfers_;
};

}  // namespace qx::peer

namespace qx::peer {

// A reference-server script command: "screenshot SECONDS NUMBER [W H X Y
// RATE]" or "screenshot-restart LETTER CHUNK" (CHUNK '-' for all again).
// False for any other command or malformed words; what describes the
// message for a person.
bool screenshotCommand(const std::string &command, const std::string &rest,
                       int32_t c, Bytes &message, std::string &what);

// One line for a person about an upload event; a complete upload with a
// good digest is written as dir/<transfer name> (a plain file name only),
// and the line names the file.
std::string describeAndSave(const ScreenshotReceiver::Event &event,
                            const std::string &dir);

}  // namespace qx::peer
