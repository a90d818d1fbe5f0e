#include "master/web_update.h"

#include <cstring>

#include "common/file.h"
#include "common/numbers.h"
#include "common/paths.h"
#include "common/protocol.h"
#include "common/text.h"
#include "common/ticks.h"
#include "host/client_state.h"
#include "log/log.h"
#include "master/master_list.h"
#include "master/name_resolution.h"

namespace qx::master {

namespace {

constexpr const char *kThrottled =
    "Web Update Request Ignored ... Less than 60 seconds have passed since "
    "the prior attempt";
constexpr const char *kAttempting = "Attempting QX Web Update";
constexpr const char *kCannotContinue = "Web Update cannot continue";
constexpr const char *kNotResolved = "%s; %s has not yet resolved";
constexpr const char *kSocketError = "%s; Network Socket ERROR #%d";
constexpr const char *kConnectFailed = "%s; Failed Connection to %s (%d)";
constexpr const char *kSendFailed = "%s; Send Failed (%d)";
constexpr const char *kReplyError = "Web Update Error:  %s";
constexpr const char *kTimeout = "Web Update Failed: Timeout";
constexpr const char *kNoWebHost = "127.0.0.1";
constexpr const char *kRequestFormat =
    "GET http://%s/downloads/%s/qxsec.htm HTTP/1.0\r\nHost: %s\r\n\r\n";
constexpr const char *kWebSource = "Web Update";
constexpr const char *kLocalSource = "Local Update";
constexpr int kStatusOk = 200;

void buildRequest(WebUpdate &w) {
  char code[8];
  copyText(code, protocol::kWebPathCode, sizeof code - 1);
  for (char *p = code; *p; ++p) *p = lowerAscii(*p);
  w.requestLength = static_cast<int32_t>(
      formatText(w.request, sizeof w.request, kRequestFormat,
                 protocol::kWebHost, code, protocol::kWebHost));
  w.requestSent = 0;
  w.replyLength = 0;
}

// Position of the first occurrence of pattern in data, or -1.
int32_t find(const uint8_t *data, int32_t length, const char *pattern) {
  const int32_t n = static_cast<int32_t>(std::strlen(pattern));
  for (int32_t i = 0; i + n <= length; ++i)
    if (std::memcmp(data + i, pattern, static_cast<size_t>(n)) == 0) return i;
  return -1;
}

// Where the body starts: after the header's end, "\n\n" (2 bytes),
// "\r\n\r\n" or "\n\r\n\r" (4 bytes), whichever comes first; at the start
// of the reply when there is none. (The earliest one: a body with a blank
// line behind a "\r\n\r\n" header is kept whole.)
int32_t bodyStart(const uint8_t *reply, int32_t length) {
  static const struct {
    const char *end;
    int32_t size;
  } kHeaderEnds[] = {{"\n\n", 2}, {"\r\n\r\n", 4}, {"\n\r\n\r", 4}};
  int32_t first = -1, start = 0;
  for (const auto &e : kHeaderEnds) {
    const int32_t at = find(reply, length, e.end);
    if (at >= 0 && (first < 0 || at < first)) {
      first = at;
      start = at + e.size;
    }
  }
  return start;
}

// Reads the status line. A line with a space before its end names a
// status after its first word; a status other than 200 gives the error
// text from the status number on (at most 250 characters). Returns false
// with error filled for such a status.
bool statusAccepted(const uint8_t *reply, int32_t length, char *error) {
  int32_t end = 0;
  while (end < length && reply[end] != '\r' && reply[end] != '\n' &&
         reply[end] != '\0')
    ++end;
  const char *line = reinterpret_cast<const char *>(reply);
  const void *space = std::memchr(line, ' ', static_cast<size_t>(end));
  if (!space) return true;
  int32_t at = static_cast<int32_t>(static_cast<const char *>(space) - line);
  while (at < end && line[at] == ' ') ++at;
  const size_t rest = static_cast<size_t>(end - at);
  if (readDecimal(line + at, rest) == kStatusOk) return true;
  copyText(error, line + at,
           rest < kWebErrorSize - 1 ? rest : kWebErrorSize - 1);
  return false;
}

void savedFilePath(char *path) { homeFilePath(path, protocol::kWebFile); }

// qxsec.htm lives only until it has been processed a moment later, so it
// is written without being committed to disk: the frame that ends the
// exchange never waits on the disk for it.
bool saveReply(const char *path, const uint8_t *body, int32_t length) {
  File file(path, platform::OpenMode::Write);
  return file.open() &&
         (length == 0 || file.write(body, static_cast<size_t>(length)));
}

void finishExchange(QxGameInterface *gi, WebUpdate &w) {
  closeWebExchange(w);
  handleWebReply(gi, w.reply, w.replyLength);
}

void connectFailed(WebUpdate &w, int error) {
  closeWebExchange(w);
  log::printMessage(1, kConnectFailed, kCannotContinue, w.hostAddress, error);
}

// Moves the exchange on by what its connect reports. A failed connect ends
// the exchange with its own message, not with the outcome of a reply.
void connectProgress(WebUpdate &w, platform::ConnectState state, int error) {
  if (state == platform::ConnectState::Failed)
    connectFailed(w, error);
  else if (state == platform::ConnectState::Connected)
    w.phase = WebPhase::Sending;
}

void stepConnecting(WebUpdate &w) {
  int error = 0;
  const platform::ConnectState state =
      platform::tcpConnectResult(w.socket, &error);
  connectProgress(w, state, error);
}

// A request that could not be sent ends the exchange with its own
// message, as a failed connect does: no reply was ever asked for.
void sendFailed(WebUpdate &w, int error) {
  closeWebExchange(w);
  log::printMessage(1, kSendFailed, kCannotContinue, error);
}

// Sends what the stream takes of the request; a send error ends the
// exchange (the phase is then Idle).
void stepSending(WebUpdate &w) {
  const int sent = platform::tcpSend(w.socket, w.request + w.requestSent,
                                     w.requestLength - w.requestSent);
  if (sent < 0) {
    sendFailed(w, platform::lastSocketErrorNumber());
    return;
  }
  w.requestSent += sent;
  if (w.requestSent >= w.requestLength) w.phase = WebPhase::Receiving;
}

// Reads what has arrived. The reply ends when the server closes the stream
// (HTTP/1.0) or the buffer is full; a reply split over several reads is
// kept whole.
bool stepReceiving(WebUpdate &w) {
  while (w.replyLength < kWebReplySize) {
    const int got = platform::tcpReceive(w.socket, w.reply + w.replyLength,
                                         kWebReplySize - w.replyLength);
    if (got == platform::kStreamPending) return false;
    if (got <= 0) return true;  // closed, or failed
    w.replyLength += got;
  }
  return true;
}

}  // namespace

void webUpdate(QxGameInterface *gi, int report) {
  WebUpdate &w = client().master.web;
  const uint32_t now = platform::tickCount();
  if (w.phase != WebPhase::Idle ||
      (w.lastAttempt != 0 && tickDiff(now, w.lastAttempt) < kWebThrottle)) {
    if (report == 1) log::printMessage(1, "%s", kThrottled);
    return;
  }
  w.lastAttempt = now;
  log::printMessage(1, "%s", kAttempting);
  if (!resolveHost(gi, protocol::kWebHost, w.hostAddress)) {
    log::printMessage(1, kNotResolved, kCannotContinue, protocol::kWebHost);
    return;
  }
  if (std::strcmp(w.hostAddress, kNoWebHost) == 0) return;
  const platform::Socket s = platform::tcpOpen();
  if (s == platform::kNoSocket) {
    log::printMessage(1, kSocketError, kCannotContinue,
                      platform::lastSocketErrorNumber());
    return;
  }
  w.socket = s;
  w.phase = WebPhase::Connecting;
  w.exchangeStart = now;
  buildRequest(w);
  int error = 0;
  const platform::ConnectState state =
      platform::tcpConnect(s, w.hostAddress, protocol::kWebPort, &error);
  connectProgress(w, state, error);
}

void webUpdateStep(QxGameInterface *gi, uint32_t now) {
  WebUpdate &w = client().master.web;
  bool ended = false;
  if (w.phase == WebPhase::Connecting) stepConnecting(w);
  if (w.phase == WebPhase::Sending) stepSending(w);
  if (w.phase == WebPhase::Receiving) ended = stepReceiving(w);
  if (w.phase == WebPhase::Idle) return;
  if (!ended && tickDiff(now, w.exchangeStart) < kWebExchangeTime) return;
  // The connect shares the exchange's time: one still pending then fails
  // as a connect that timed out, instead of holding the socket for the
  // system's own connect timeout.
  if (w.phase == WebPhase::Connecting) {
    connectFailed(w, platform::timedOutErrorNumber());
    return;
  }
  finishExchange(gi, w);
}

void handleWebReply(QxGameInterface *gi, const uint8_t *reply, int32_t length) {
  char path[kPathCapacity];
  savedFilePath(path);
  char error[kWebErrorSize];
  if (length <= 0) {
    log::printMessage(1, "%s", kTimeout);
  } else if (!statusAccepted(reply, length, error)) {
    log::printMessage(1, kReplyError, error);
  } else {
    const int32_t body = bodyStart(reply, length);
    if (path[0] && saveReply(path, reply + body, length - body))
      processUpdateFile(gi, path, kWebSource);
  }
  if (path[0]) platform::fileRemove(path);
}

void resolveWebHost(QxGameInterface *gi) {
  resolveHost(gi, protocol::kWebHost, client().master.web.hostAddress);
}

bool processUpdateFile(QxGameInterface *gi, const char *path,
                       const char *source) {
  char opened[kPathCapacity];
  copyText(opened, path, kPathCapacity - 1);
  TextFile file;
  if (!readTextFile(opened, file)) {
    const size_t n = std::strlen(opened);
    if (n == 0) return false;
    opened[n - 1] = '\0';
    if (!readTextFile(opened, file)) return false;
  }
  platform::fileRemove(opened);
  State &m = client().master;
  if (const char *error = parseMasterList(gi, file.text, file.length + 1,
                                          m.parsed, &m.parsedCount)) {
    log::printMessage(1, "%s", error);
    return true;
  }
  noteMergeOutcome(mergeParsed(gi), source, true);
  return true;
}

void importLocalUpdate(QxGameInterface *gi) {
  char path[kPathCapacity];
  if (homeFilePath(path, protocol::kLocalUpdateFile) &&
      processUpdateFile(gi, path, kLocalSource))
    return;
  char name[kPathCapacity];
  formatText(name, sizeof name, "%s\\%s", protocol::kLocalUpdateDirectory,
             protocol::kLocalUpdateFile);
  if (homeFilePath(path, name)) processUpdateFile(gi, path, kLocalSource);
}

}  // namespace qx::master
