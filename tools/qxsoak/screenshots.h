// The server side's account of the screenshots of a soak run. Every
// request the server sends is either received whole and checked, or lost
// with its reason; a lost request the client should have answered fails
// the run. The server asks only when the client is sure to take the
// request: it holds a request back while the channel key may be changing
// (session.cpp) and while so many requests may be in the client's five
// slots that the new one could find none. The player's own screenshots are
// followed too: each is saved or refused, with the client's message.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "peer/screenshot_peer.h"
#include "soak.h"

namespace qxsoak {

// Whether png is a sound PNG of at least width x height pixels: its
// signature, its chunks and their check values, a header of 8-bit samples,
// and image data that inflates to exactly its rows. why says what is wrong.
bool pngSound(const qx::peer::Bytes &png, uint32_t width, uint32_t height,
              std::string &why);

class ScreenshotLedger {
 public:
  explicit ScreenshotLedger(ScreenshotTally &tally) : tally_(tally) {}

  // Whether a new request of the server is sure to find a free slot.
  bool mayAsk() const;
  void heldBack() { ++tally_.deferred; }
  // The server asked for request number, with its delay of up to seconds
  // and a picture of width x height.
  void asked(int32_t number, uint32_t seconds, uint32_t width, uint32_t height,
             uint64_t now);
  // A request sent again as garbage: the client may take it as a new
  // request (with the key of its time, the client may not read it), so it
  // may hold a slot and upload again, but it is owed nothing.
  void askedAgain(int32_t number, uint64_t now);
  // An upload event of the server's receiver, and the chunks its transfer
  // still lacks after it. A failure (an upload that does not match its
  // digest or is no sound image, one that no request asked for) goes to
  // failures.
  void upload(const qx::peer::ScreenshotReceiver::Event &event,
              size_t missingChunks, uint64_t now,
              std::vector<std::string> &failures);
  // The requests whose time is up: each lost, with its reason, into lost.
  void expire(uint64_t now, std::vector<std::string> &lost);
  // At the run's end: what is still in time was in flight.
  void end(uint64_t now, std::vector<std::string> &lost);

  // The player's qx_GetSs: one at a time (the next waits for the message
  // of the one before), and only while it is sure to find a slot.
  bool mayTakeLocal() const;
  // Neither a replay nor the player's screenshot may be in a slot.
  bool quiet() const { return replays_.empty() && localSince_ == kNone; }
  void localAsked(uint64_t now);
  // A line the client printed: the player's screenshot saved or refused,
  // or a screenshot the client could not take or save (into failures).
  void printed(const std::string &text, uint64_t now,
               std::vector<std::string> &failures);

 private:
  static constexpr uint64_t kNone = ~uint64_t{0};
  struct Request {
    uint32_t seconds = 0, width = 0, height = 0;
    uint64_t askedMs = 0;
    uint64_t deadline = 0;
    size_t chunks = 0;    // of its upload, once announced
    size_t received = 0;  // of its chunks, in the latest announcement
  };
  struct Replay {
    int32_t number = 0;
    uint64_t deadline = 0;
  };
  void received(int32_t number, const qx::peer::Bytes &png, uint64_t now,
                std::vector<std::string> &failures);

  ScreenshotTally &tally_;
  std::map<int32_t, Request> inHand_;  // owed, by request number
  std::vector<Replay> replays_;        // may hold a slot, owed nothing
  std::map<int32_t, Request> asked_;   // every request, as asked
  uint64_t localSince_ = kNone;
};

}  // namespace qxsoak
