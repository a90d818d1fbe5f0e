#include "host/client_state.h"

#include <cstdlib>
#include <cstring>
#include <new>

#include "common/heap.h"
#include "common/pending_replace.h"
#include "common/protocol.h"
#include "common/text.h"
#include "screenshot/screenshot.h"
#include "update/transfer.h"

namespace qx {

namespace {

// The state lives in raw static storage and is built by loadClientState, so
// that tests can tear it down and build it again in place.
alignas(ClientState) unsigned char g_storage[sizeof(ClientState)];

void constructLists(ClientState &c) {
  using console::listConstruct;
  listConstruct(c.cvars.rules, sizeof(cvars::Rule), "FLCV");
  listConstruct(c.master.transfers, sizeof(master::ContentTransfer), "FLFC");
  c.master.transfers.releaseRecords = master::releaseTransfers;
  listConstruct(c.regnames.names, sizeof(regnames::Record), "FLRN");
  listConstruct(c.scan.buffers, sizeof(scan::BufferEntry), "FLBU");
  listConstruct(c.update.index, sizeof(update::IndexEntry), "FLPA");
  listConstruct(c.cvars.expected, sizeof(cvars::ExpectedValue), "FLLC");
  listConstruct(c.scan.windows, sizeof(scan::WindowEntry), "FLMF");
  listConstruct(c.channel.outbound, sizeof(channel::Outbound), "FLOU");
  listConstruct(c.scan.processes, sizeof(scan::ProcessEntry), "FLPR");
  listConstruct(c.scan.modules, sizeof(scan::ModuleEntry), "FLMO");
  listConstruct(c.master.hostNames, sizeof(master::HostName), "FLHN");
}

void destroyLists(ClientState &c) {
  using console::listDestroy;
  console::RecordList *lists[] = {
      &c.cvars.rules,  &c.master.transfers, &c.regnames.names,
      &c.scan.buffers, &c.update.index,     &c.cvars.expected,
      &c.scan.windows, &c.channel.outbound, &c.scan.processes,
      &c.scan.modules, &c.master.hostNames};
  for (console::RecordList *list : lists) listDestroy(*list);
}

void freeEventData(host::EventQueue &q) {
  for (host::Event &e : q.records) {
    heap::release(e.data);
    e.data = nullptr;
  }
}

// Sockets, files and the screen's objects. When the process is ending they
// are left to the system (see host::State::processExiting).
void releaseSystemObjects(ClientState &c) {
  if (c.host.processExiting) return;
  finishPendingReplaces();
  platform::releaseScreen();
  if (c.frame.udpSocket != platform::kNoSocket) {
    platform::socketClose(c.frame.udpSocket);
    c.frame.udpSocket = platform::kNoSocket;
  }
  master::releaseMasterState(c.master);
}

// Runs the construction at library load and the unload at library unload.
struct Lifetime {
  Lifetime() { loadClientState(); }
  ~Lifetime() { unloadClientState(); }
} g_lifetime;

}  // namespace

ClientState &client() {
  return *std::launder(reinterpret_cast<ClientState *>(g_storage));
}

void loadClientState() {
  std::memset(g_storage, 0, sizeof g_storage);
  ClientState &c = *new (g_storage) ClientState{};
  c.settings.security = 1;
  c.settings.sleep = 60;
  c.settings.system = 1;
  c.settings.ssLog = 1;
  c.settings.ssSave = 0;
  c.settings.logToFile = 0;
  copyText(c.settings.regNameFn, "regname.dat",
           sizeof c.settings.regNameFn - 1);
  c.channel.sealModulus = protocol::kSealModulus;
  c.channel.sealExponent = protocol::kSealExponent;
  c.channel.streamPosition = channel::kStreamUnseeded;
  c.frame.udpSocket = platform::kNoSocket;
  c.frame.parity = -1;
  constructLists(c);
}

void unloadClientState() {
  ClientState &c = client();
  heap::release(c.channel.keyBlock);
  c.channel.keyBlock = nullptr;
  freeEventData(c.events);
  update::releaseTransfer(c.update.transfer);
  screenshot::releaseScreenshots(c.screenshot);
  releaseSystemObjects(c);
  destroyLists(c);
}

void resetClientState() {
  unloadClientState();
  loadClientState();
}

namespace host {

CallBudget &currentCall() { return client().frame.call; }

}  // namespace host

}  // namespace qx
