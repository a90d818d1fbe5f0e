// File transfers from fuzz input: a stream of 'G' and 'H' messages with a
// moving clock. Each step is one byte, then its bytes:
//   op & 3 == 0  announcement: a length byte, then that many bytes of text
//   op & 3 == 1  chunk: a length byte n, then the index (2 bytes) and
//                min(n * 5, 1098) bytes of data
//   op & 3 == 2  announcement of a file of zeros whose digest is right: two
//                bytes of size (at most 8191) and a name byte
//   op & 3 == 3  the staleness check
// and op >> 2 moves the clock by that many times 250 ms first.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/paths.h"
#include "console_fuzz_support.h"
#include "peer/transfer_peer.h"
#include "update/transfer.h"

namespace {

constexpr size_t kDataMax = 1098;  // the longest message holds no more
uint32_t g_now = 1000;
uint32_t fuzzTicks() { return g_now; }
void QX_CDECL noSend(int32_t, const void *) {}

// Names that the client accepts and ones it must refuse, also as Windows
// reads them.
const char *const kNames[] = {
    "wa001200.htm", "wc001199.htm", "x.htm",   "..\\up.htm",   "a/b.htm",
    "c:d.htm",      "note.txt",     "HTM",     "com1.htm",     "NUL.htm",
    "qxupd.htm",    "QXUPD.HTM",    "aux.htm", "WA0012~1.htm", "x\x01.htm"};

struct Input {
  const uint8_t *data;
  size_t size;
  bool take(size_t n, const uint8_t *&out) {
    if (n > size) return false;
    out = data;
    data += n;
    size -= n;
    return true;
  }
};

// Files land in memory-backed storage where there is one: every complete
// transfer writes one.
const std::string &homeDirectory() {
  static const std::string home = [] {
    char shm[] = "/dev/shm/qxfuzz_XXXXXX";
    const char *made = mkdtemp(shm);
    const std::string dir =
        made ? std::string(made) + "\\" : qxfuzz::homeDirectory();
    qx::platform::makeDirectory((dir + "htm").c_str());
    return dir;
  }();
  return home;
}

void checkInvariants() {
  const qx::update::Transfer &t = qx::client().update.transfer;
  // A buffer always belongs to a named transfer, and what was stored lies
  // inside it.
  if (t.buffer && !t.path[0]) std::abort();
  // A transfer in progress names one file under htm\ that passes the name
  // rule and is not the local update.
  const char *name = t.path + 4;
  if (t.path[0] && (std::strncmp(t.path, "htm\\", 4) != 0 ||
                    !qx::isPlainFileName(name) || qx::isLocalUpdateName(name)))
    std::abort();
  if (t.buffer && t.lastChunk >= 0 &&
      static_cast<uint64_t>(t.lastChunk) * 1024 >= t.size)
    std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
  QxGameInterface *gi = qxfuzz::freshClient(true);
  gi->sendToServer = noSend;
  qx::platform::setTickSource(fuzzTicks);
  qx::copyText(qx::client().host.homeDir, homeDirectory().c_str(),
               sizeof qx::client().host.homeDir - 1);
  g_now = 1000;
  Input in{data, size};
  const uint8_t *p;
  while (in.take(1, p)) {
    const uint8_t op = p[0];
    g_now += static_cast<uint32_t>(op >> 2) * 250u;
    switch (op & 3) {
      case 0: {
        const uint8_t *n, *text;
        if (!in.take(1, n) || !in.take(n[0], text)) return 0;
        qx::update::announceTransfer(gi, n[0], text);
        break;
      }
      case 1: {
        const uint8_t *n, *bytes;
        if (!in.take(1, n)) return 0;
        const size_t length = 2 + std::min<size_t>(n[0] * 5u, kDataMax);
        if (!in.take(length, bytes)) return 0;
        qx::update::receiveChunk(gi, static_cast<int>(length), bytes);
        break;
      }
      case 2: {
        const uint8_t *b;
        if (!in.take(3, b)) return 0;
        const size_t fileSize = (b[0] << 8 | b[1]) & 0x1FFF;
        const qx::peer::FilePush push(
            kNames[b[2] % (sizeof kNames / sizeof kNames[0])],
            std::vector<uint8_t>(fileSize));
        const std::vector<uint8_t> m = push.announcement();
        qx::update::announceTransfer(gi, static_cast<int>(m.size()) - 1,
                                     m.data() + 1);
        break;
      }
      default:
        qx::update::abandonStaleTransfer(g_now);
        break;
    }
    checkInvariants();
  }
  return 0;
}
