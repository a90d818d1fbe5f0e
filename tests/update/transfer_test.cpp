// Server file transfer: announcements, chunks in and out of order, resend
// requests and their pacing, the digest check, refused names and sizes, and
// chunks that lie outside the file.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../channel/channel_fixture.h"
#include "common/protocol.h"
#include "peer/digest.h"
#include "peer/transfer_peer.h"
#include "test_heap.h"
#include "update/transfer.h"
#include "update_fixture.h"

namespace {

using qx::client;
using updatetest::Bytes;
namespace peer = qx::peer;
namespace update = qx::update;

constexpr const char *kAgentPackage = "wa001200.htm";

class TransferTest : public channeltest::ChannelTest {
 protected:
  void TearDown() override { qxtest::failAllocations(nullptr); }

  // The handlers get the message without its code byte, as from dispatch.
  void deliver(const Bytes &m) {
    if (m[0] == qx::protocol::kCodeFileAnnouncement)
      update::announceTransfer(&host.gi, static_cast<int>(m.size()) - 1,
                               m.data() + 1);
    else
      update::receiveChunk(&host.gi, static_cast<int>(m.size()) - 1,
                           m.data() + 1);
  }
  void announce(const std::string &text) {
    deliver(peer::text(std::string(1, 'G') + text));
  }
  void chunks(const peer::FilePush &push, std::initializer_list<int> order) {
    for (int i : order) deliver(push.chunk(i));
  }
  void all(const peer::FilePush &push) {
    deliver(push.announcement());
    for (int i = 0; i < push.chunkCount(); ++i) deliver(push.chunk(i));
  }

  // The resend requests sent since the last call.
  std::vector<peer::ResendRequest> requests() {
    std::vector<peer::ResendRequest> out;
    for (const peer::Unframed &u : packets()) {
      out.push_back(peer::decodeResendRequest(u.message));
      EXPECT_TRUE(out.back().valid);
    }
    host.clearOutput();
    return out;
  }
  void expectRequest(char letter, int32_t chunk) {
    const std::vector<peer::ResendRequest> r = requests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].letter, letter);
    EXPECT_EQ(r[0].chunk, chunk);
  }
  void expectNoRequest() { EXPECT_TRUE(requests().empty()); }

  std::string home(const std::string &name) const {
    return std::string(client().host.homeDir) + name;
  }
  Bytes received(const std::string &name) {
    return updatetest::readBytes(home("htm\\" + name));
  }
  bool arrived(const std::string &name) {
    return updatetest::fileExists(home("htm\\" + name));
  }
  const update::Transfer &transfer() const { return client().update.transfer; }
};

TEST_F(TransferTest, FilesOfEverySizeArriveWhole) {
  for (size_t size : {1u, 1023u, 1024u, 1025u, 2500u, 5000u}) {
    SCOPED_TRACE(size);
    const std::string name = "wa00" + std::to_string(1000 + size) + ".htm";
    const peer::FilePush push(name, updatetest::sampleModule(size, 7));
    deliver(push.announcement());
    for (int i = 0; i + 1 < push.chunkCount(); ++i) deliver(push.chunk(i));
    EXPECT_FALSE(arrived(name));  // not before its last byte
    deliver(push.chunk(push.chunkCount() - 1));
    EXPECT_EQ(received(name), push.content());
    EXPECT_EQ(transfer().buffer, nullptr);
    EXPECT_STREQ(transfer().path, "");
    expectNoRequest();
  }
}

TEST_F(TransferTest, ALastChunkLongerThanTheFileIsCut) {
  const peer::FilePush push(kAgentPackage, updatetest::sampleModule(2500));
  deliver(push.announcement());
  chunks(push, {0, 1});
  Bytes last = push.chunk(2);
  last.resize(3 + 1024, 0xEE);  // 452 bytes of the file and padding
  deliver(last);
  EXPECT_EQ(received(kAgentPackage), push.content());
}

TEST_F(TransferTest, AGapIsAskedForAtMostEveryThreeSeconds) {
  const peer::FilePush push(kAgentPackage, updatetest::sampleModule(6000));
  deliver(push.announcement());
  chunks(push, {0, 2});
  expectRequest('A', 1);
  chunks(push, {3});
  expectNoRequest();
  host.advance(3000);
  chunks(push, {3});
  expectNoRequest();
  host.advance(1);
  chunks(push, {4});
  expectRequest('A', 1);
  // Chunks after the gap were discarded: the file needs them again.
  chunks(push, {1, 2, 3, 4});
  EXPECT_FALSE(arrived(kAgentPackage));
  chunks(push, {5});
  EXPECT_EQ(received(kAgentPackage), push.content());
  expectNoRequest();

  // A client package carries the letter C.
  const peer::FilePush client("wc001199.htm", updatetest::sampleModule(3000));
  deliver(client.announcement());
  host.advance(3001);
  chunks(client, {2});
  expectRequest('C', 0);
}

TEST_F(TransferTest, RepeatedAndReorderedChunksEndInTheWholeFile) {
  peer::FilePush push(kAgentPackage, updatetest::sampleModule(8000, 3));
  push.swap(2);  // chunk 3 before chunk 2
  for (const peer::Outgoing &o : push.messages())
    if (!o.message.empty()) deliver(o.message);
  const std::vector<peer::ResendRequest> r = requests();
  ASSERT_EQ(r.size(), 1u);
  EXPECT_EQ(r[0].chunk, 2);
  EXPECT_FALSE(arrived(kAgentPackage));
  for (const peer::Outgoing &o : push.answer(r[0])) deliver(o.message);
  EXPECT_EQ(received(kAgentPackage), push.content());

  // A repeat moves the last chunk back; the file still completes.
  const peer::FilePush again("wa001201.htm", updatetest::sampleModule(4000));
  deliver(again.announcement());
  chunks(again, {0, 1, 0, 1, 2, 2, 3});
  EXPECT_EQ(received("wa001201.htm"), again.content());
  expectNoRequest();
}

TEST_F(TransferTest, RefusedAnnouncementsLeaveNoTransfer) {
  const Bytes content = updatetest::sampleModule(2500);
  const std::string digest = peer::digestText(content.data(), 2500, 0);
  const struct {
    const char *why;
    std::string text;
  } cases[] = {
      {"wrong ending", "2500 " + digest + " wa001200.txt"},
      {"parent folder", "2500 " + digest + " ..\\escape.htm"},
      {"forward parent", "2500 " + digest + " ../escape.htm"},
      {"sub-folder", "2500 " + digest + " sub\\escape.htm"},
      {"drive letter", "2500 " + digest + " C:escape.htm"},
      {"absolute", "2500 " + digest + " \\escape.htm"},
      {"absolute, forward", "2500 " + digest + " /escape.htm"},
      {"digest of 31", "2500 " + digest.substr(1) + " escape.htm"},
      {"digest of 33", "2500 " + digest + "0 escape.htm"},
      {"no name", "2500 " + digest},
      {"size 0", "0 " + digest + " escape.htm"},
      {"no size", "x2500 " + digest + " escape.htm"},
      // Names Windows reads as a device, or as another file.
      {"serial port", "2500 " + digest + " com1.htm"},
      {"null device", "2500 " + digest + " NUL.htm"},
      {"printer port", "2500 " + digest + " lpt1.htm"},
      {"console", "2500 " + digest + " con.htm"},
      {"console output", "2500 " + digest + " CONOUT$.htm"},
      {"device before blanks", "2500 " + digest + " \"aux .htm\""},
      {"short alias", "2500 " + digest + " WA0012~1.htm"},
      {"control character", "2500 " + digest + " esc\x01ape.htm"},
      // The local update reads htm\qxupd.htm as trusted master-list text.
      {"local update", "2500 " + digest + " qxupd.htm"},
      {"local update, upper case", "2500 " + digest + " QXUPD.HTM"},
  };
  // Before any announcement a chunk draws "-1" with no letter to name.
  chunks(peer::FilePush("escape.htm", content), {0});
  expectRequest('?', -1);
  host.advance(20000);
  update::abandonStaleTransfer(qxtest::FakeHost::now);
  for (const auto &c : cases) {
    SCOPED_TRACE(c.why);
    announce(c.text);
    EXPECT_EQ(transfer().buffer, nullptr);
    EXPECT_STREQ(transfer().path, "");
    // The chunks that follow draw one "-1" request and are not stored.
    const peer::FilePush push("escape.htm", content);
    chunks(push, {0, 1, 2});
    const std::vector<peer::ResendRequest> r = requests();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].chunk, -1);
    EXPECT_FALSE(updatetest::fileExists(home("escape.htm")));
    EXPECT_FALSE(updatetest::fileExists(home("..\\escape.htm")));
    EXPECT_FALSE(arrived("escape.htm"));
    EXPECT_FALSE(updatetest::fileExists(home("crptfile.dat")));
    host.advance(20000);
    update::abandonStaleTransfer(qxtest::FakeHost::now);
  }
}

TEST_F(TransferTest, AWrongDigestGoesToTheCorruptFileOnly) {
  const Bytes good = updatetest::sampleModule(3000, 5);
  updatetest::writeText(home("htm\\wa001200.htm"), "the file held before");
  Bytes bad = good;
  bad[2999] ^= 1;
  const peer::FilePush push(kAgentPackage, bad);
  deliver(peer::fileAnnouncement(
      3000, peer::digestText(good.data(), good.size(), 0), kAgentPackage));
  chunks(push, {0, 1, 2});
  EXPECT_TRUE(host.printed("Corrupted File Received: htm\\wa001200.htm"));
  EXPECT_EQ(updatetest::readBytes(home("crptfile.dat")), bad);
  EXPECT_EQ(qxtest::readFile(home("htm\\wa001200.htm")),
            "the file held before");

  // The same digest in lower case: the file replaces the one before.
  std::string lower = peer::digestText(good.data(), good.size(), 0);
  for (char &ch : lower) ch = static_cast<char>(std::tolower(ch));
  deliver(peer::fileAnnouncement(3000, lower, kAgentPackage));
  chunks(peer::FilePush(kAgentPackage, good), {0, 1, 2});
  EXPECT_EQ(received(kAgentPackage), good);
}

TEST_F(TransferTest, SizesOverTheCapAndFailedAllocationsKeepOnlyThePath) {
  const std::string digest(32, 'A');
  for (bool failAllocation : {false, true}) {
    SCOPED_TRACE(failAllocation);
    const uint32_t size =
        failAllocation ? 4096 : qx::protocol::kTransferSizeMax + 1;
    qxtest::failAllocations(failAllocation ? qxtest::everyAllocation : nullptr);
    announce(std::to_string(size) + " " + digest + " " + kAgentPackage);
    qxtest::failAllocations(nullptr);
    EXPECT_EQ(transfer().buffer, nullptr);
    EXPECT_STREQ(transfer().path, "htm\\wa001200.htm");
    const peer::FilePush push(kAgentPackage, Bytes(4096));
    host.advance(3001);
    chunks(push, {0});
    expectRequest('A', -1);
    chunks(push, {1});
    expectNoRequest();
    host.advance(3001);
    chunks(push, {2});
    expectRequest('A', -1);
  }
  EXPECT_FALSE(arrived(kAgentPackage));
}

TEST_F(TransferTest, ChunksOutsideTheFileAreDiscarded) {
  const peer::FilePush push(kAgentPackage, updatetest::sampleModule(2048));
  deliver(push.announcement());
  chunks(push, {0});
  // A short chunk 1, then chunk 2, whose offset is the end of the file.
  deliver(peer::fileChunk(1, push.content().data() + 1024, 500));
  deliver(peer::fileChunk(2, push.content().data(), 1024));
  // Negative indices would land before the buffer.
  const Bytes filler(1024, 0x5A);
  for (int32_t index : {-1, -256, -32768})
    deliver(peer::fileChunk(index, filler.data(), filler.size()));
  EXPECT_FALSE(arrived(kAgentPackage));
  EXPECT_FALSE(updatetest::fileExists(home("crptfile.dat")));
  EXPECT_EQ(transfer().lastChunk, 1);
  chunks(push, {1});
  EXPECT_EQ(received(kAgentPackage), push.content());
  expectNoRequest();
}

TEST_F(TransferTest, ANewAnnouncementReplacesTheTransfer) {
  const peer::FilePush first(kAgentPackage, updatetest::sampleModule(5000));
  const peer::FilePush second("wc001199.htm", updatetest::sampleModule(3000));
  deliver(first.announcement());
  chunks(first, {0, 1});
  deliver(second.announcement());
  chunks(first, {2});  // a gap of the new transfer
  expectRequest('C', 0);
  chunks(second, {0, 1, 2});
  EXPECT_EQ(received("wc001199.htm"), second.content());
  EXPECT_FALSE(arrived(kAgentPackage));
}

TEST_F(TransferTest, AStaleTransferIsAbandonedAndForgotten) {
  const peer::FilePush push(kAgentPackage, updatetest::sampleModule(5000));
  deliver(push.announcement());
  chunks(push, {0, 2});
  expectRequest('A', 1);
  host.advance(19999);
  update::abandonStaleTransfer(qxtest::FakeHost::now);
  EXPECT_NE(transfer().buffer, nullptr);
  host.advance(1);
  update::abandonStaleTransfer(qxtest::FakeHost::now);
  EXPECT_EQ(transfer().buffer, nullptr);
  EXPECT_STREQ(transfer().path, "");
  // The next chunk draws "-1" at once, naming the dropped transfer, and
  // then no more.
  chunks(push, {1});
  expectRequest('A', -1);
  host.advance(5000);
  chunks(push, {2});
  expectNoRequest();

  // Unload frees a transfer in progress.
  deliver(push.announcement());
  ASSERT_NE(transfer().buffer, nullptr);
  qx::unloadClientState();
  EXPECT_EQ(transfer().buffer, nullptr);
  EXPECT_STREQ(transfer().path, "");
  qx::loadClientState();
}

}  // namespace
