// The web update against real peers: nginx from Debian's packages on a
// loopback address of its own, and scripted servers (silent, or answering
// with given bytes). The exchange runs over work frames; the clock of the
// client moves in small steps while the real network does its part.
#include <chrono>
#include <memory>
#include <string>
#include <thread>

#if defined(_WIN32)
#include <winsock2.h>
#else
#include <sys/socket.h>
#endif

#include "master/web_update.h"
#include "master_fixture.h"
#include "platform/platform.h"
#include "web_server.h"

namespace mastertest {
namespace {

const std::string kD1 = "00112233445566778899AABBCCDDEEFF";
const std::string kD2 = "FFEEDDCCBBAA99887766554433221100";
const std::string kPath =
    std::string("downloads/") + protocol::kWebPathCode + "/qxsec.htm";

// A page with a blank line inside (unless compact): the body must not
// start after it.
std::string updateText(int version, bool compact = false) {
  return "<html><p> S 2 " + std::string(protocol::kBuiltInMasters[0]) +
         " 16567 0\n" + (compact ? "" : "\n") + "<p> F A W " +
         std::to_string(version) + " 400 " + kD1 + " " + kD2 + "\n</html>\n";
}

class WebUpdate : public MasterTest {
 public:
  static void SetUpTestSuite() {
    nginx = std::make_unique<qxtest::Nginx>();
    for (int attempt = 0; attempt < 4; ++attempt)
      if (nginx->start(qxtest::freshLoopbackAddress())) return;
  }
  static void TearDownTestSuite() { nginx.reset(); }

 protected:
  void SetUp() override {
    ASSERT_TRUE(nginx->running()) << nginx->error();
    MasterTest::SetUp();
    client().settings.sleep = 0;  // every call is due
    resolves(protocol::kWebHost, nginx->address());
  }

  // Calls ca with the clock 5 ms further each time until text is printed
  // or limit ms have passed on the clock; the real network gets a moment
  // between calls. Returns the clock time it took.
  uint32_t runUntil(const std::string &text, uint32_t limit = 4000,
                    qxtest::ScriptedServer *server = nullptr) {
    const uint32_t start = qxtest::FakeHost::now;
    while (!host.printedPart(text) && qxtest::FakeHost::now - start < limit) {
      host.advance(5);
      host.frame();
      if (server) server->serve();
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return qxtest::FakeHost::now - start;
  }

  static std::unique_ptr<qxtest::Nginx> nginx;
};

std::unique_ptr<qxtest::Nginx> WebUpdate::nginx;

TEST_F(WebUpdate, FetchesMergesAndDeletesTheUpdate) {
  nginx->putFile(kPath, updateText(1400));
  directive("QX_WEBUPDATE");
  EXPECT_TRUE(host.printed("Attempting QX Web Update"));
  runUntil("Master List Updated (Web Update)");
  EXPECT_TRUE(host.printed("Master List Updated (Web Update)"));
  const master::ModuleRecord *r = master::findModule('A', 'w', 1400);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->size, 0x400u);
  EXPECT_NE(read("qxcl.db").find("<p> F A W 1400 400 " + kD1),
            std::string::npos);
  EXPECT_FALSE(exists("qxsec.htm"));
  EXPECT_FALSE(host.printedPart("Web Update Error"));
  EXPECT_FALSE(host.printedPart("Timeout"));
}

TEST_F(WebUpdate, ANotFoundAnswerShowsItsStatusLine) {
  nginx->removeFile(kPath);
  directive("QX_WEBUPDATE");
  runUntil("Web Update Error");
  EXPECT_TRUE(host.printed("Web Update Error:  404 Not Found"));
  EXPECT_EQ(master::findModule('A', 'w', 1400), nullptr);
}

TEST_F(WebUpdate, ASilentServerTimesOutAfterTwoSeconds) {
  qxtest::ScriptedServer silent;
  const std::string address = qxtest::freshLoopbackAddress();
  ASSERT_TRUE(silent.listen(address));
  resolves(protocol::kWebHost, address);
  master::webUpdate(&host.gi, 0);
  EXPECT_TRUE(host.printed("Attempting QX Web Update"));
  const uint32_t took = runUntil("Web Update Failed: Timeout");
  EXPECT_TRUE(host.printed("Web Update Failed: Timeout"));
  EXPECT_GE(took, master::kWebExchangeTime);
  EXPECT_LE(took, master::kWebExchangeTime + 50);
  EXPECT_EQ(client().master.web.phase, master::WebPhase::Idle);
}

TEST_F(WebUpdate, AttemptsAreThrottledToOneAMinute) {
  nginx->putFile(kPath, updateText(1401));
  master::webUpdate(&host.gi, 0);
  runUntil("Master List Updated");
  host.clearOutput();
  host.advance(30000);
  master::webUpdate(&host.gi, 0);  // automatic: nothing shown
  EXPECT_TRUE(host.texts.empty());
  directive("QX_WEBUPDATE");
  EXPECT_TRUE(host.printed(
      "Web Update Request Ignored ... Less than 60 seconds have passed since "
      "the prior attempt"));
  EXPECT_FALSE(host.printedPart("Attempting"));
  host.advance(30000);
  directive("QX_WEBUPDATE");
  EXPECT_TRUE(host.printed("Attempting QX Web Update"));
}

// The host's answer is cached once given, so each test below starts a
// client whose host has not yet answered for the web host.
TEST_F(WebUpdate, AWebHostAtTheLoopbackAddressStopsSilently) {
  resolves(protocol::kWebHost, "127.0.0.1");  // no web host
  master::webUpdate(&host.gi, 1);
  runUntil("never", 2500);
  EXPECT_EQ(host.texts, std::vector<std::string>({"Attempting QX Web Update"}));
}

TEST_F(WebUpdate, AnUnresolvedWebHostStopsTheUpdate) {
  host.cvars.erase(std::string("qx_isresolved ") + protocol::kWebHost);
  master::webUpdate(&host.gi, 1);
  EXPECT_TRUE(host.printed(std::string("Web Update cannot continue; ") +
                           protocol::kWebHost + " has not yet resolved"));
}

TEST_F(WebUpdate, ARefusedConnectionIsShown) {
  const std::string nobody = qxtest::freshLoopbackAddress();
  resolves(protocol::kWebHost, nobody);  // nothing listens there
  master::webUpdate(&host.gi, 1);
  runUntil("Failed Connection");
  EXPECT_TRUE(host.printedPart(
      "Web Update cannot continue; Failed Connection to " + nobody + " ("));
  EXPECT_FALSE(host.printedPart("Timeout"));
}

// The request text, and where the body starts for each way of ending the
// header; the body is the master list text.
TEST_F(WebUpdate, TheBodyFollowsTheFirstHeaderEnd) {
  struct Case {
    std::string head;
    int version;
    bool compact;
  } cases[] = {
      {"HTTP/1.0 200 OK\r\nContent-Type: text/html\r\n\r\n", 1500, false},
      {"HTTP/1.0 200 OK\nServer: x\n\n", 1501, false},
      {"HTTP/1.0 200 OK\n\r\n\r", 1502, false},
      // A first line without a space is no status line: the whole reply
      // is the body.
      {"<!doctype>\n", 1503, true},
  };
  qxtest::ScriptedServer server;
  const std::string address = qxtest::freshLoopbackAddress();
  ASSERT_TRUE(server.listen(address));
  resolves(protocol::kWebHost, address);
  for (const Case &c : cases) {
    server.requests.clear();
    server.reply = c.head + updateText(c.version, c.compact);
    host.clearOutput();
    host.advance(60000);
    master::webUpdate(&host.gi, 1);
    runUntil("Master List Updated", 2500, &server);
    EXPECT_NE(master::findModule('A', 'w', c.version), nullptr) << c.version;
    ASSERT_EQ(server.requests.size(), 1u);
    EXPECT_EQ(server.requests[0],
              std::string("GET http://") + protocol::kWebHost + "/" + kPath +
                  " HTTP/1.0\r\nHost: " + protocol::kWebHost + "\r\n\r\n");
  }
}

// The reply arrives in pieces over several reads; it is kept whole.
TEST_F(WebUpdate, AReplyOverSeveralReadsIsKeptWhole) {
  qxtest::ScriptedServer server;
  const std::string address = qxtest::freshLoopbackAddress();
  ASSERT_TRUE(server.listen(address));
  resolves(protocol::kWebHost, address);
  server.reply = "HTTP/1.0 200 OK\r\n\r\n" + updateText(1510);
  server.pieceSize = 16;
  master::webUpdate(&host.gi, 1);
  runUntil("Master List Updated", 2500, &server);
  EXPECT_NE(master::findModule('A', 'w', 1510), nullptr);
}

// A connect that never completes (the server's queue is full) counts
// against the same two seconds as the reply, and then fails as timed out.
TEST_F(WebUpdate, AConnectThatNeverCompletesFailsAfterTwoSeconds) {
  qxtest::ScriptedServer full;
  const std::string address = qxtest::freshLoopbackAddress();
  ASSERT_TRUE(full.listen(address, 80, 0));
  // One connection the server never accepts fills its queue.
  const qx::platform::Socket filler = qx::platform::tcpOpen();
  int error = 0;
  qx::platform::tcpConnect(filler, address.c_str(), 80, &error);
  for (int i = 0; i < 100 && qx::platform::tcpConnectResult(filler, &error) ==
                                 qx::platform::ConnectState::Pending;
       ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  resolves(protocol::kWebHost, address);
  master::webUpdate(&host.gi, 1);
  const uint32_t took = runUntil("Failed Connection");
  qx::platform::socketClose(filler);
  EXPECT_TRUE(host.printed(
      "Web Update cannot continue; Failed Connection to " + address + " (" +
      std::to_string(qx::platform::timedOutErrorNumber()) + ")"));
  EXPECT_GE(took, master::kWebExchangeTime);
  EXPECT_LE(took, master::kWebExchangeTime + 50);
  EXPECT_EQ(client().master.web.phase, master::WebPhase::Idle);
}

// Closes the sending side of the client's stream, so that its next send
// fails as a send to a peer that has gone does.
void stopSending(qx::platform::Socket s) {
#if defined(_WIN32)
  ::shutdown(static_cast<SOCKET>(s), SD_SEND);
#else
  ::shutdown(static_cast<int>(s), SHUT_WR);
#endif
}

TEST_F(WebUpdate, ASendErrorIsShownAsASendError) {
  qxtest::ScriptedServer silent;
  const std::string address = qxtest::freshLoopbackAddress();
  ASSERT_TRUE(silent.listen(address));
  resolves(protocol::kWebHost, address);
  master::webUpdate(&host.gi, 1);
  const qx::platform::Socket s = client().master.web.socket;
  int error = 0;
  for (int i = 0; i < 100 && qx::platform::tcpConnectResult(s, &error) ==
                                 qx::platform::ConnectState::Pending;
       ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  stopSending(s);
  runUntil("Send Failed");
  EXPECT_TRUE(host.printedPart("Web Update cannot continue; Send Failed ("));
  EXPECT_FALSE(host.printedPart("Timeout"));
  EXPECT_EQ(client().master.web.phase, master::WebPhase::Idle);
}

// ---- the local update file
// ---------------------------------------------------

class LocalUpdate : public MasterTest {
 protected:
  void prepare() override {
    qx::platform::makeDirectory(local(path("htm")).c_str());
    write("htm\\qxupd.html", updateText(1600));
    write("qxupd.htm", updateText(1601));  // the name less its last letter
  }
};

TEST_F(LocalUpdate, IsOfferedOncePerLifeFromTheHomeDirectoryFirst) {
  // The first work frame while connected took the home directory's file
  // (under its shorter name), and not the second directory's.
  EXPECT_NE(master::findModule('A', 'w', 1601), nullptr);
  EXPECT_EQ(master::findModule('A', 'w', 1600), nullptr);
  EXPECT_FALSE(exists("qxupd.htm"));
  EXPECT_TRUE(exists("htm\\qxupd.html"));
  host.pump(4);
  EXPECT_EQ(master::findModule('A', 'w', 1600), nullptr);

  EXPECT_TRUE(master::processUpdateFile(
      &host.gi, path("htm\\qxupd.html").c_str(), "Local Update"));
  EXPECT_NE(master::findModule('A', 'w', 1600), nullptr);
  EXPECT_TRUE(host.printed("Master List Updated (Local Update)"));
  EXPECT_FALSE(master::processUpdateFile(
      &host.gi, path("htm\\qxupd.html").c_str(), "Local Update"));
}

}  // namespace
}  // namespace mastertest
