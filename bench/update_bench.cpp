// Update packages and file transfers. Unpacking the package of a 1 MiB
// module (the client's reader: the package streamed from a file, both
// package digests, inflating, both module digests, the module file written)
// against the same work done directly with zlib and OpenSSL's MD5 in memory
// (hex decode, uncompress, four MD5 passes). Receiving the chunks of a 1 MiB
// transfer against memcpy of the same 1024-byte pieces, with a counting
// allocator showing that storing a chunk allocates nothing. Installing an
// agent from its kept copy (the agent in use unloaded, the copy put in its
// place, loaded and asked its version) against the loader's part of it
// alone: one library unloaded and one loaded.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <benchmark/benchmark.h>
#include <openssl/md5.h>
#include <unistd.h>
#include <zlib.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "allocation_counter.h"
#include "common/protocol.h"
#include "common/text.h"
#include "host/client_state.h"
#include "peer/digest.h"
#include "peer/package_peer.h"
#include "peer/transfer_peer.h"
#include "platform/platform.h"
#include "ratio_reporter.h"
#include "update/modules.h"
#include "update/package.h"
#include "update/transfer.h"

namespace {

using Bytes = std::vector<uint8_t>;

constexpr size_t kModuleSize = 1 << 20;
constexpr int kChunks =
    static_cast<int>(kModuleSize) / qx::protocol::kChunkSize;

// Files go to memory-backed storage where there is one, so that the disk's
// speed does not stand in for the code's.
std::string workDirectory() {
  static std::string dir;
  if (dir.empty()) {
    char pattern[] = "/dev/shm/qxbench_XXXXXX";
    char fallback[] = "/tmp/qxbench_XXXXXX";
    const char *made = mkdtemp(pattern);
    if (!made) made = mkdtemp(fallback);
    dir = made ? made : ".";
  }
  return dir;
}

// A real program's bytes: the benchmark's own executable, repeated if it is
// shorter than a mebibyte.
const Bytes &module() {
  static const Bytes bytes = [] {
    std::ifstream in("/proc/self/exe", std::ios::binary);
    Bytes exe((std::istreambuf_iterator<char>(in)),
              std::istreambuf_iterator<char>());
    if (exe.empty()) exe.assign(4096, 0x90);
    Bytes m;
    while (m.size() < kModuleSize)
      m.insert(m.end(), exe.begin(),
               exe.begin() + static_cast<long>(
                                 std::min(exe.size(), kModuleSize - m.size())));
    return m;
  }();
  return bytes;
}

void BM_UnpackPackage(benchmark::State &state) {
  const std::string package = workDirectory() + "/wa001200.htm";
  const std::string target = workDirectory() + "/wa001200.dll";
  const std::string page = qx::peer::packModule(module(), "wa001200.htm");
  std::ofstream(package, std::ios::binary).write(page.data(), page.size());
  const qx::peer::ModuleRecord r = qx::peer::moduleRecord(module());
  for (auto _ : state) {
    const char *error =
        qx::update::unpackPackage(package.c_str(), target.c_str(), r.size,
                                  r.digest1.c_str(), r.digest2.c_str());
    if (error) state.SkipWithError(error);
  }
  state.SetBytesProcessed(state.iterations() *
                          static_cast<int64_t>(kModuleSize));
}
BENCHMARK(BM_UnpackPackage)->Unit(benchmark::kMillisecond);

int hexValue(char c) { return c <= '9' ? c - '0' : c - 'A' + 10; }

void BM_UnpackDirect(benchmark::State &state) {
  const Bytes compressed = qx::peer::compressModule(module());
  const std::string hex =
      qx::peer::hexText(compressed.data(), compressed.size());
  const size_t n = hex.size() / 2;
  for (auto _ : state) {
    // Blocks as the reader gets them: allocated, not cleared.
    std::unique_ptr<uint8_t[]> data(new uint8_t[n]);
    for (size_t i = 0; i < n; ++i)
      data[i] = static_cast<uint8_t>(hexValue(hex[2 * i]) << 4 |
                                     hexValue(hex[2 * i + 1]));
    std::unique_ptr<uint8_t[]> out(new uint8_t[kModuleSize]);
    uLongf size = static_cast<uLongf>(kModuleSize);
    if (uncompress(out.get(), &size, data.get(), static_cast<uLong>(n)) != Z_OK)
      state.SkipWithError("uncompress failed");
    uint8_t digests[4][16];
    MD5(data.get(), n, digests[0]);
    MD5(data.get() + 1, n - 1, digests[1]);
    MD5(out.get(), size, digests[2]);
    MD5(out.get() + 1, size - 1, digests[3]);
    benchmark::DoNotOptimize(digests);
  }
  state.SetBytesProcessed(state.iterations() *
                          static_cast<int64_t>(kModuleSize));
}
BENCHMARK(BM_UnpackDirect)->Unit(benchmark::kMillisecond);

void QX_CDECL noSend(int32_t, const void *packet) {
  benchmark::DoNotOptimize(packet);
}
void QX_CDECL quietPrint(const char *, int32_t) {}

QxGameInterface &transferClient() {
  static QxGameInterface gi{};
  qx::resetClientState();
  gi.magic = QX_INTERFACE_MAGIC;
  gi.sendToServer = noSend;
  gi.print = quietPrint;
  qx::ClientState &c = qx::client();
  c.host.enabled = 1;
  c.host.gi = &gi;
  const std::string home = workDirectory() + "\\";
  qx::copyText(c.host.homeDir, home.c_str(), sizeof c.host.homeDir - 1);
  qx::platform::makeDirectory((home + "htm").c_str());
  return gi;
}

void deliver(QxGameInterface &gi, const Bytes &m) {
  if (m[0] == qx::protocol::kCodeFileAnnouncement)
    qx::update::announceTransfer(&gi, static_cast<int>(m.size()) - 1,
                                 m.data() + 1);
  else
    qx::update::receiveChunk(&gi, static_cast<int>(m.size()) - 1, m.data() + 1);
}

// One chunk stored, over and over: chunks 0 to 1022 in turn, so that the
// transfer never completes.
void BM_ReceiveChunk(benchmark::State &state) {
  QxGameInterface &gi = transferClient();
  const qx::peer::FilePush push("wa001200.htm", module());
  deliver(gi, push.announcement());
  std::vector<Bytes> chunks;
  for (int i = 0; i < kChunks - 1; ++i) chunks.push_back(push.chunk(i));
  size_t next = 0;
  const uint64_t before = qxbench::allocations();
  for (auto _ : state) {
    deliver(gi, chunks[next]);
    if (++next == chunks.size()) next = 0;
  }
  state.counters["allocs/chunk"] =
      benchmark::Counter(static_cast<double>(qxbench::allocations() - before) /
                         static_cast<double>(state.iterations()));
  if (qx::client().update.transfer.buffer == nullptr)
    state.SkipWithError("the transfer ended");
}
BENCHMARK(BM_ReceiveChunk);

void BM_Memcpy1024(benchmark::State &state) {
  Bytes target(kModuleSize);
  const Bytes &source = module();
  size_t size = 1024;  // not known to the compiler, as a chunk's is not
  benchmark::DoNotOptimize(size);
  size_t offset = 0;
  for (auto _ : state) {
    std::memcpy(target.data() + offset, source.data() + offset, size);
    benchmark::ClobberMemory();
    offset += 1024;
    if (offset == kModuleSize - 1024) offset = 0;
  }
}
BENCHMARK(BM_Memcpy1024);

// A whole transfer: the announcement and all 1024 chunks, the last of which
// checks the digest and writes the file.
void BM_ReceiveTransfer(benchmark::State &state) {
  QxGameInterface &gi = transferClient();
  const qx::peer::FilePush push("wa001200.htm", module());
  std::vector<Bytes> messages{push.announcement()};
  for (int i = 0; i < kChunks; ++i) messages.push_back(push.chunk(i));
  const uint64_t before = qxbench::allocations();
  for (auto _ : state)
    for (const Bytes &m : messages) deliver(gi, m);
  state.counters["allocs/transfer"] =
      benchmark::Counter(static_cast<double>(qxbench::allocations() - before) /
                         static_cast<double>(state.iterations()));
  state.SetItemsProcessed(state.iterations() * kChunks);
}
BENCHMARK(BM_ReceiveTransfer)->Unit(benchmark::kMicrosecond);

void BM_Memcpy1024Chunks(benchmark::State &state) {
  Bytes target(kModuleSize);
  const Bytes &source = module();
  size_t size = 1024;
  benchmark::DoNotOptimize(size);
  for (auto _ : state) {
    for (size_t offset = 0; offset < kModuleSize; offset += 1024)
      std::memcpy(target.data() + offset, source.data() + offset, size);
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kChunks);
}
BENCHMARK(BM_Memcpy1024Chunks)->Unit(benchmark::kMicrosecond);

#if defined(QX_AGENT_1300) && defined(QX_AGENT_1301)
void copyFile(const std::string &from, const std::string &to) {
  std::ifstream in(from, std::ios::binary);
  std::ofstream(to, std::ios::binary | std::ios::trunc) << in.rdbuf();
}

// The client with the kept copies of both test agents under dll/, so that
// installing each in turn replaces the other.
QxGameInterface &moduleClient() {
  QxGameInterface &gi = transferClient();
  qx::client().settings.security = 0;
  const std::string dll = workDirectory() + "/dll";
  qx::platform::makeDirectory(dll.c_str());
  const char *suffix = qx::protocol::kThisPlatform.suffix;
  const char letter = qx::protocol::kThisPlatform.letter;
  copyFile(QX_AGENT_1300, dll + "/" + letter + "a001300" + suffix);
  copyFile(QX_AGENT_1301, dll + "/" + letter + "a001301" + suffix);
  return gi;
}

void BM_InstallAgentFromKeptCopy(benchmark::State &state) {
  QxGameInterface &gi = moduleClient();
  int32_t version = 1300;
  for (auto _ : state) {
    if (qx::update::installAgent(&gi, version, 0) != 1)
      state.SkipWithError("the kept copy was not installed");
    version = version == 1300 ? 1301 : 1300;
  }
  qx::update::unloadAgent(&gi);
}
BENCHMARK(BM_InstallAgentFromKeptCopy)->Unit(benchmark::kMicrosecond);

void BM_LoadAndUnloadLibrary(benchmark::State &state) {
  const std::string agent = workDirectory() + "/loaded_agent";
  copyFile(QX_AGENT_1301, agent);
  for (auto _ : state) {
    qx::platform::Library lib = qx::platform::libraryOpen(agent.c_str());
    if (!lib) state.SkipWithError("the agent does not load");
    benchmark::DoNotOptimize(qx::platform::librarySymbol(lib, "a"));
    qx::platform::libraryClose(lib);
  }
  std::remove(agent.c_str());
}
BENCHMARK(BM_LoadAndUnloadLibrary)->Unit(benchmark::kMicrosecond);
#endif

}  // namespace

int main(int argc, char **argv) {
  qxbench::RatioReporter reporter;
  reporter.ratio("BM_UnpackPackage", "BM_UnpackDirect");  // limit 1.5
  reporter.ratio("BM_ReceiveChunk", "BM_Memcpy1024");
  reporter.ratio("BM_ReceiveTransfer", "BM_Memcpy1024Chunks");
  reporter.ratio("BM_InstallAgentFromKeptCopy", "BM_LoadAndUnloadLibrary");
  const int result = qxbench::runWithRatios(argc, argv, reporter);
  const std::string dir = workDirectory();
  for (const char *name :
       {"/wa001200.htm", "/wa001200.dll", "/htm/wa001200.htm"})
    std::remove((dir + name).c_str());
  const qx::protocol::ModulePlatform &platform = qx::protocol::kThisPlatform;
  for (const char *version : {"1300", "1301"})
    std::remove(
        (dir + "/dll/" + platform.letter + "a00" + version + platform.suffix)
            .c_str());
  std::remove((dir + "/" + platform.agentFile).c_str());
  rmdir((dir + "/dll").c_str());
  rmdir((dir + "/htm").c_str());
  rmdir(dir.c_str());
  return result;
}
