// Master queries: the 30-minute rotation, both routes, and a master server
// on a real UDP socket answering the client's own socket.
#include <string>
#include <vector>

#include "master/master_query.h"
#include "master_fixture.h"
#include "platform/platform.h"

namespace mastertest {
namespace {

namespace platform = qx::platform;

constexpr uint32_t kInterval = master::kMasterQueryInterval;

class MasterQuery : public MasterTest {
 protected:
  void prepare() override {
    write("qxcl.db",
          "<p> S 2 first.example 1002 0\r\n<p> S 1 second.example 1001 0\r\n"
          "<p> S 4 third.example 1004 0\r\n<p> S 5 10.0.0.5 1005 0\r\n");
    resolves("FIRST.EXAMPLE", "10.0.0.2");
    resolves("THIRD.EXAMPLE", "10.0.0.4");
  }
  // Makes the next query due and runs the frames that send it.
  void nextQuery() {
    host.clearOutput();
    host.advance(kInterval);
    host.pump(2);
  }
  std::string queryText() const {
    return std::string(protocol::kMasterQueryFormat, 5) +
           protocol::kMasterQueryLetter + " " + nonce();
  }
};

TEST_F(MasterQuery, QueriesRotateOverTheEntriesEveryThirtyMinutes) {
  client().master.queryRotation = 3;  // the next query goes to entry 0
  std::vector<int32_t> ports;
  for (int i = 0; i < 5; ++i) {
    nextQuery();
    ports.push_back(host.sentOob.empty() ? 0 : host.sentOob.back().port);
    EXPECT_LE(host.sentOob.size(), 1u);
  }
  // Entry 1 is of kind 1: it uses its turn and is never queried.
  EXPECT_EQ(ports, std::vector<int32_t>({1002, 0, 1004, 1005, 1002}));

  nextQuery();  // the kind 1 entry again: nothing
  EXPECT_TRUE(host.sentOob.empty());
  host.clearOutput();
  host.advance(kInterval - 5000);
  host.pump(2);
  EXPECT_TRUE(host.sentOob.empty());  // not due yet
}

TEST_F(MasterQuery, AQueryGoesOutOfBandCountedAndSaved) {
  client().master.queryRotation = 3;
  const uint32_t before = client().channel.bytesOut;
  host.clearOutput();
  master::masterQuery(&host.gi, client().master.lastMasterQuery + kInterval);
  ASSERT_EQ(host.sentOob.size(), 1u);
  const qxtest::Packet &q = host.sentOob[0];
  EXPECT_EQ(q.address, "10.0.0.2");
  const std::string expected = queryText();
  EXPECT_EQ(std::string(q.bytes.begin(), q.bytes.end()),
            std::string(expected.c_str(), expected.size() + 1));
  std::string nonceRead;
  EXPECT_TRUE(peer::readMasterQuery(q.bytes, nonceRead));
  EXPECT_EQ(nonceRead, nonce());
  EXPECT_EQ(client().channel.bytesOut - before, q.bytes.size());
  EXPECT_TRUE(
      host.printed("Master Query Sent to FIRST.EXAMPLE (10.0.0.2:1002)"));
  // The counter of queries without a reply is saved with the list.
  EXPECT_NE(read("qxcl.db").find("<p> S 2 FIRST.EXAMPLE 1002 1\r\n"),
            std::string::npos);
}

// A query that cannot go out (here: a host without the out-of-band send)
// is not reported as sent.
TEST_F(MasterQuery, AQueryThatCannotBeSentIsNotReportedAsSent) {
  client().master.queryRotation = 3;
  host.gi.sendOob = nullptr;
  nextQuery();
  EXPECT_FALSE(host.printedPart("Master Query Sent to"));
  EXPECT_TRUE(
      host.printed("No Master Query Sent - Send Failed for FIRST.EXAMPLE"));
}

class UnresolvedMaster : public MasterQuery {
  void prepare() override {
    MasterQuery::prepare();
    host.cvars.erase("qx_isresolved FIRST.EXAMPLE");
  }
};

TEST_F(UnresolvedMaster, IsReportedAndTheTurnPasses) {
  client().master.queryRotation = 3;
  nextQuery();
  EXPECT_TRUE(host.printed(
      "No Master Query Sent - DNS has not yet resolved for FIRST.EXAMPLE"));
  EXPECT_TRUE(host.sentOob.empty());
  nextQuery();  // kind 1
  nextQuery();
  ASSERT_EQ(host.sentOob.size(), 1u);
  EXPECT_EQ(host.sentOob[0].port, 1004);
}

TEST_F(MasterQuery, NextMasterMakesAQueryDueAndLanModeStopsThem) {
  client().master.queryRotation = 3;
  directive("QX_NEXTMASTER");
  host.pump(2);
  EXPECT_EQ(host.sentOob.size(), 1u);

  client().settings.lan = 1;
  nextQuery();
  nextQuery();
  EXPECT_TRUE(host.sentOob.empty());
}

// A UDP socket on 127.0.0.1 at a free port from first on.
platform::Socket boundSocket(uint16_t first, uint16_t *port) {
  const platform::Socket s = platform::udpOpen();
  *port = 0;
  for (uint16_t p = first; p < first + 100 && !*port; ++p)
    if (platform::socketBind(s, p)) *port = p;
  return s;
}

// When the own socket cannot be bound to QX_NETPORT, the query still goes
// out on it unbound; QX_NETPORT drops to 0, so the next one goes out of
// band.
TEST_F(MasterQuery, ABindFailureSendsUnboundAndThenOutOfBand) {
  uint16_t serverPort, takenPort;
  const platform::Socket server = boundSocket(29300, &serverPort);
  const platform::Socket taken = boundSocket(29400, &takenPort);
  ASSERT_NE(serverPort, 0);
  ASSERT_NE(takenPort, 0);
  std::snprintf(client().master.entries[0].host, master::kHostSize, "%s",
                "127.0.0.1");
  client().master.entries[0].port = serverPort;
  client().master.queryRotation = 3;
  client().settings.netPort = takenPort;
  host.advance(kInterval);
  master::masterQuery(&host.gi, qxtest::FakeHost::now);
  EXPECT_TRUE(host.printed("Network Socket error: cannot bind to port " +
                           std::to_string(takenPort)));
  EXPECT_EQ(client().settings.netPort, 0);
  EXPECT_TRUE(host.sentOob.empty());
  uint8_t buffer[2048];
  const int got = platform::socketReceive(server, buffer, sizeof buffer);
  std::string queryNonce;
  EXPECT_TRUE(got > 0 &&
              peer::readMasterQuery(Bytes(buffer, buffer + got), queryNonce));
  platform::socketClose(server);
  platform::socketClose(taken);

  client().master.queryRotation = 3;
  nextQuery();
  ASSERT_EQ(host.sentOob.size(), 1u);
  EXPECT_EQ(host.sentOob[0].port, serverPort);
}

// A master server on a real UDP socket answers the query that reaches it
// from the client's own socket (QX_NETPORT) with a master list reply and a
// content transfer, which come back to that socket.
TEST_F(MasterQuery, AMasterServerAnswersOnTheClientsOwnSocket) {
  const platform::Socket server = platform::udpOpen();
  ASSERT_NE(server, platform::kNoSocket);
  platform::socketSetNonBlocking(server);
  uint16_t serverPort = 0;
  for (uint16_t p = 29100; p < 29200 && !serverPort; ++p)
    if (platform::socketBind(server, p)) serverPort = p;
  ASSERT_NE(serverPort, 0);
  uint16_t clientPort = 0;
  for (uint16_t p = 29200; p < 29300 && !clientPort; ++p) {
    client().settings.netPort = p;
    host.pump(2);
    if (client().settings.netPort == p) clientPort = p;
  }
  ASSERT_NE(clientPort, 0);

  // Entry 3 names the master server.
  std::snprintf(client().master.entries[3].host, master::kHostSize, "%s",
                "127.0.0.1");
  client().master.entries[3].port = serverPort;
  client().master.queryRotation = 2;
  nextQuery();
  EXPECT_TRUE(host.sentOob.empty());

  uint8_t buffer[2048];
  const int got = platform::socketReceive(server, buffer, sizeof buffer);
  ASSERT_GT(got, 0);
  std::string queryNonce;
  ASSERT_TRUE(peer::readMasterQuery(Bytes(buffer, buffer + got), queryNonce));
  EXPECT_EQ(queryNonce, nonce());

  const Bytes mod = module(3000, 9);
  const Bytes answer = peer::masterListPacket(
      queryNonce, "<p> S 5 127.0.0.1 " + std::to_string(serverPort) + " 0\r\n" +
                      peer::moduleRecord('A', 'W', 1300, mod));
  peer::ContentTransfer file;
  file.identifier = 77;
  file.name = "notes.txt";
  file.content = Bytes(2500, 'n');
  std::vector<Bytes> packets{answer};
  for (const Bytes &p : file.packets(queryNonce)) packets.push_back(p);
  for (const Bytes &p : packets)
    ASSERT_EQ(platform::socketSendTo(server, "127.0.0.1", clientPort, p.data(),
                                     static_cast<int>(p.size())),
              static_cast<int>(p.size()));
  host.pump(4);
  platform::socketClose(server);

  const master::ModuleRecord *r = master::findModule('A', 'w', 1300);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->size, mod.size());
  EXPECT_EQ(read("notes.txt"), std::string(2500, 'n'));
  EXPECT_TRUE(host.printed("Content Transfer Stored: notes.txt"));
}

}  // namespace
}  // namespace mastertest
