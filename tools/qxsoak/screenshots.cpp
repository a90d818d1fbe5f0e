#include "screenshots.h"

#include <zlib.h>

#include <algorithm>
#include <cstdlib>

#include "files.h"
#include "screenshot/screenshot.h"

namespace qxsoak {

namespace {

using qx::peer::Bytes;

// After its delay, a request's capture and annotation take a few seconds of
// work frames; the upload must have begun within a minute more.
constexpr uint64_t kStartAllowanceMs = 60000;
// An announced upload sends a chunk a second; half a minute without one is
// an upload that stopped.
constexpr uint64_t kStallMs = 30000;
// The player's screenshot is saved or refused within a minute.
constexpr uint64_t kLocalAllowanceMs = 60000;
// The client's five slots hold the server's requests and the player's
// screenshots; a finished slot may wait a call or two to be freed. A new
// request of the server finds a free slot for sure while at most two may be
// in hand: with it three, one slot for a finished one not yet freed, and one
// for a screenshot the player may take meanwhile. The player's screenshot
// finds a slot (and is taken, or refused with a message) while at most
// three of the server's may be in hand.
constexpr size_t kServerMayAsk = 2;
constexpr size_t kPlayerMayTake = 3;

// The start of the client's messages about a stored screenshot (those
// about a screenshot that failed come from screenshot.h).
constexpr const char *kSaved = "Screenshot saved to ";
constexpr const char *kSaveFailed = "ERROR Creating Screenshot file";

uint32_t bigEndian(const uint8_t *p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 |
         p[3];
}

// The request number in a transfer name ("qx000042.png"); -1 for another
// name.
int32_t transferNumber(const std::string &name) {
  if (name.size() != 12 || name.compare(0, 2, "qx") != 0 ||
      name.compare(8, 4, ".png") != 0)
    return -1;
  int32_t n = 0;
  for (size_t i = 2; i < 8; ++i) {
    if (name[i] < '0' || name[i] > '9') return -1;
    n = n * 10 + (name[i] - '0');
  }
  return n;
}

// The inflated size of image data: every row a filter byte and its samples.
bool imageData(const Bytes &compressed, uint64_t expected, std::string &why) {
  Bytes rows(static_cast<size_t>(expected) + 1);
  uLongf length = static_cast<uLongf>(rows.size());
  const int rc = uncompress(rows.data(), &length, compressed.data(),
                            static_cast<uLong>(compressed.size()));
  if (rc != Z_OK) {
    why = "its image data does not inflate (zlib " + std::to_string(rc) + ")";
    return false;
  }
  if (length != expected) {
    why = "its image data inflates to " + std::to_string(length) +
          " bytes, not " + std::to_string(expected);
    return false;
  }
  return true;
}

}  // namespace

bool pngSound(const Bytes &png, uint32_t width, uint32_t height,
              std::string &why) {
  static const uint8_t kSignature[8] = {0x89, 'P',  'N',  'G',
                                        0x0D, 0x0A, 0x1A, 0x0A};
  if (png.size() < 8 || !std::equal(kSignature, kSignature + 8, png.begin())) {
    why = "it has no PNG signature";
    return false;
  }
  uint32_t w = 0, h = 0, samples = 0;
  Bytes data;
  bool ended = false;
  for (size_t at = 8; !ended;) {
    if (png.size() - at < 12) {
      why = "it ends inside a chunk";
      return false;
    }
    const uint32_t length = bigEndian(&png[at]);
    if (length > png.size() - at - 12) {
      why = "a chunk is longer than the file";
      return false;
    }
    const uint8_t *type = &png[at + 4];
    const uint8_t *body = type + 4;
    const uLong crc = crc32(crc32(0, nullptr, 0), type, length + 4);
    if (crc != bigEndian(body + length)) {
      why = "a chunk's check value is wrong";
      return false;
    }
    const std::string name(type, type + 4);
    if (at == 8 && (name != "IHDR" || length != 13)) {
      why = "it does not begin with its header";
      return false;
    }
    if (name == "IHDR") {
      w = bigEndian(body);
      h = bigEndian(body + 4);
      // 8-bit samples: grey, red-green-blue, or either with alpha.
      static const uint32_t kSamples[7] = {1, 0, 3, 0, 2, 0, 4};
      samples = body[8] == 8 && body[9] < 7 ? kSamples[body[9]] : 0;
      if (samples == 0 || body[12] != 0) {
        why = "its header asks for samples other than 8-bit ones";
        return false;
      }
    } else if (name == "IDAT") {
      data.insert(data.end(), body, body + length);
    }
    ended = name == "IEND";
    at += 12 + size_t{length};
  }
  if (w < width || h < height) {
    why = "it is " + std::to_string(w) + " x " + std::to_string(h) +
          ", smaller than the " + std::to_string(width) + " x " +
          std::to_string(height) + " asked for";
    return false;
  }
  return imageData(data, uint64_t{h} * (1 + uint64_t{w} * samples), why);
}

bool ScreenshotLedger::mayAsk() const {
  const size_t local = localSince_ == kNone ? 0 : 1;
  return inHand_.size() + replays_.size() + local <= kServerMayAsk;
}

bool ScreenshotLedger::mayTakeLocal() const {
  return localSince_ == kNone &&
         inHand_.size() + replays_.size() <= kPlayerMayTake;
}

void ScreenshotLedger::asked(int32_t number, uint32_t seconds, uint32_t width,
                             uint32_t height, uint64_t now) {
  Request r;
  r.seconds = seconds;
  r.width = width;
  r.height = height;
  r.askedMs = now;
  r.deadline = now + uint64_t{seconds} * 1000 + kStartAllowanceMs;
  inHand_[number] = r;
  asked_[number] = r;
  ++tally_.asked;
}

void ScreenshotLedger::askedAgain(int32_t number, uint64_t now) {
  const auto it = asked_.find(number);
  if (it == asked_.end()) return;
  ++tally_.replays;
  replays_.push_back(
      {number, now + uint64_t{it->second.seconds} * 1000 + kStartAllowanceMs});
}

void ScreenshotLedger::upload(const qx::peer::ScreenshotReceiver::Event &e,
                              size_t missingChunks, uint64_t now,
                              std::vector<std::string> &failures) {
  const int32_t number = transferNumber(e.name);
  if (e.kind == "bad" || e.kind == "again") return;
  if (number < 0 || asked_.count(number) == 0) {
    failures.push_back(minuteText(now) + ", screenshot: an upload named \"" +
                       e.name + "\" that no request asked for");
    return;
  }
  const auto it = inHand_.find(number);
  if (e.kind == "header" || e.kind == "chunk") {
    if (it == inHand_.end()) return;
    Request &r = it->second;
    r.chunks = std::max(r.chunks, missingChunks);
    r.received = r.chunks - std::min(r.chunks, missingChunks);
    r.deadline = now + kStallMs;
    return;
  }
  if (e.kind == "bad-digest") {
    failures.push_back(minuteText(now) + ", screenshot: the upload of " +
                       e.name + " does not match its digest");
    if (it != inHand_.end()) inHand_.erase(it);
    return;
  }
  if (e.kind == "complete") received(number, e.png, now, failures);
}

void ScreenshotLedger::received(int32_t number, const Bytes &png, uint64_t now,
                                std::vector<std::string> &failures) {
  const Request &asked = asked_[number];
  std::string why;
  if (!pngSound(png, asked.width, asked.height, why))
    failures.push_back(minuteText(now) + ", screenshot: the upload of " +
                       qx::peer::screenshotName(number) +
                       " is no sound image: " + why);
  const auto it = inHand_.find(number);
  if (it != inHand_.end()) {
    inHand_.erase(it);
    ++tally_.checked;
    return;
  }
  ++tally_.uploadsAgain;
  const auto replay =
      std::find_if(replays_.begin(), replays_.end(),
                   [number](const Replay &r) { return r.number == number; });
  if (replay != replays_.end()) replays_.erase(replay);
}

void ScreenshotLedger::expire(uint64_t now, std::vector<std::string> &lost) {
  replays_.erase(
      std::remove_if(replays_.begin(), replays_.end(),
                     [now](const Replay &r) { return r.deadline <= now; }),
      replays_.end());
  for (auto it = inHand_.begin(); it != inHand_.end();) {
    const Request &r = it->second;
    if (r.deadline > now) {
      ++it;
      continue;
    }
    const std::string what = "screenshot " + std::to_string(it->first) +
                             " (asked at " + minuteText(r.askedMs) +
                             ", a delay of up to " + std::to_string(r.seconds) +
                             " s): ";
    if (r.chunks == 0)
      lost.push_back(minuteText(now) + ", " + what +
                     "no upload began within its delay and a minute");
    else
      lost.push_back(minuteText(now) + ", " + what + "its upload stopped at " +
                     std::to_string(r.received) + " of " +
                     std::to_string(r.chunks) + " chunks");
    ++tally_.lost;
    it = inHand_.erase(it);
  }
  if (localSince_ != kNone && now - localSince_ > kLocalAllowanceMs) {
    lost.push_back(minuteText(now) +
                   ", screenshot: the player's screenshot of " +
                   minuteText(localSince_) + " was neither saved nor refused");
    localSince_ = kNone;
  }
}

void ScreenshotLedger::end(uint64_t now, std::vector<std::string> &lost) {
  expire(now, lost);
  tally_.inFlight += inHand_.size();
  inHand_.clear();
}

void ScreenshotLedger::localAsked(uint64_t now) {
  localSince_ = now;
  ++tally_.localAsked;
}

void ScreenshotLedger::printed(const std::string &text, uint64_t now,
                               std::vector<std::string> &failures) {
  if (text.find(kSaveFailed) != std::string::npos ||
      text.find(qx::screenshot::kOutOfMemoryMessage) != std::string::npos ||
      text.find(qx::screenshot::kCompressionMessage) != std::string::npos) {
    failures.push_back(minuteText(now) + ", screenshot: \"" + text + "\"");
    localSince_ = kNone;
  } else if (localSince_ == kNone) {
    return;
  } else if (text.find(kSaved) != std::string::npos) {
    ++tally_.localSaved;
    localSince_ = kNone;
  } else if (text.find(qx::screenshot::kLocalRefused) != std::string::npos) {
    ++tally_.localRefused;
    localSince_ = kNone;
  }
}

}  // namespace qxsoak
