// The channel's packet paths against memcpy of the same bytes: receiving an
// 1100-byte 'E' packet (check, unscramble, dispatch of an ignored code) and
// sending an 1100-byte message as 'E' (frame, check, scramble, hand to a
// no-op callback). A counting allocator shows that neither path allocates.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "allocation_counter.h"
#include "channel/channel.h"
#include "host/client_state.h"
#include "peer/peer.h"
#include "ratio_reporter.h"

namespace {

constexpr int kMessageSize = 1100;
constexpr int32_t kHostNumbers[4] = {1234, 77, 250, 9};

void QX_CDECL noSend(int32_t length, const void *packet) {
  benchmark::DoNotOptimize(length);
  benchmark::DoNotOptimize(packet);
}
void QX_CDECL quietPrint(const char *, int32_t) {}

QxGameInterface &channelInterface() {
  static QxGameInterface gi{};
  qx::resetClientState();
  gi.magic = QX_INTERFACE_MAGIC;
  gi.sendToServer = noSend;
  gi.print = quietPrint;
  std::memcpy(gi.agentParams, kHostNumbers, sizeof kHostNumbers);
  qx::ClientState &c = qx::client();
  c.host.enabled = 1;
  c.host.gi = &gi;
  qx::channel::ensureKeyBlock();
  qx::channel::deriveChannelKey(c.channel.keyBlock, kHostNumbers[0],
                                kHostNumbers[1], kHostNumbers[2],
                                kHostNumbers[3]);
  return gi;
}

std::vector<uint8_t> message() {
  // Code 'Z' is ignored by the dispatcher.
  std::vector<uint8_t> m(kMessageSize);
  m[0] = 'Z';
  for (size_t i = 1; i < m.size(); ++i) m[i] = static_cast<uint8_t>(i * 131);
  return m;
}

void reportAllocations(benchmark::State &state, uint64_t before) {
  state.counters["allocs/packet"] =
      benchmark::Counter(static_cast<double>(qxbench::allocations() - before) /
                         static_cast<double>(state.iterations()));
}

void BM_ReceiveScrambled(benchmark::State &state) {
  QxGameInterface &gi = channelInterface();
  const std::vector<uint8_t> packet = qx::peer::frameScrambled(
      qx::peer::deriveKey(kHostNumbers[0], kHostNumbers[1], kHostNumbers[2],
                          kHostNumbers[3]),
      message());
  const uint64_t before = qxbench::allocations();
  for (auto _ : state)
    benchmark::DoNotOptimize(qx::channel::receivePacket(
        &gi, static_cast<int32_t>(packet.size()), packet.data()));
  reportAllocations(state, before);
  if (qx::client().channel.dispatched != state.iterations())
    state.SkipWithError("packets were refused");
}
BENCHMARK(BM_ReceiveScrambled);

void BM_SendScrambled(benchmark::State &state) {
  QxGameInterface &gi = channelInterface();
  const std::vector<uint8_t> m = message();
  const uint64_t before = qxbench::allocations();
  for (auto _ : state) qx::channel::sendMessage(&gi, m.data(), kMessageSize);
  reportAllocations(state, before);
}
BENCHMARK(BM_SendScrambled);

void BM_Memcpy1100(benchmark::State &state) {
  const std::vector<uint8_t> source = message();
  std::vector<uint8_t> target(kMessageSize);
  for (auto _ : state) {
    std::memcpy(target.data(), source.data(), kMessageSize);
    benchmark::DoNotOptimize(target.data());
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_Memcpy1100);

}  // namespace

int main(int argc, char **argv) {
  qxbench::RatioReporter reporter;
  reporter.ratio("BM_ReceiveScrambled", "BM_Memcpy1100");
  reporter.ratio("BM_SendScrambled", "BM_Memcpy1100");
  return qxbench::runWithRatios(argc, argv, reporter);
}
