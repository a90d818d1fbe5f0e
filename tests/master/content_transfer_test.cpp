// Content transfers: chunks collected, checked, inflated and stored or
// merged; bad names, sizes and chunks refused; incomplete ones dropped.
#include <string>
#include <vector>

#include "common/text.h"
#include "master/content_transfer.h"
#include "master_fixture.h"

namespace mastertest {
namespace {

class ContentTransfers : public MasterTest {
 protected:
  peer::ContentTransfer transfer(const std::string &name, const Bytes &content,
                                 uint32_t id = 5) {
    peer::ContentTransfer t;
    t.identifier = id;
    t.name = name;
    t.content = content;
    return t;
  }
  void send(const peer::ContentTransfer &t) {
    for (const Bytes &p : t.packets(nonce())) host.packet(p);
    host.pump(4);
  }
  int32_t liveTransfers() {
    int32_t n = 0;
    for (int32_t i = 0; i < client().master.transfers.count; ++i)
      if (qx::console::listRecord<master::ContentTransfer>(
              client().master.transfers, i)
              ->identifier)
        ++n;
    return n;
  }
};

TEST_F(ContentTransfers, AFileIsStoredAndCompressedListTextIsMerged) {
  const Bytes content = module(2600, 3);
  send(transfer("data.bin", content));
  EXPECT_EQ(read("data.bin"), std::string(content.begin(), content.end()));
  EXPECT_TRUE(host.printed("Content Transfer Stored: data.bin"));

  const Bytes mod = module(5000, 1);
  const std::string list =
      "<p> S 2 " + std::string(protocol::kBuiltInMasters[0]) + " 16567 0\r\n" +
      peer::moduleRecord('C', 'W', 1300, mod);
  peer::ContentTransfer t = transfer(peer::masterListName("update"),
                                     Bytes(list.begin(), list.end()), 6);
  t.compress = true;
  ASSERT_NE(t.transferred().size(), t.content.size());
  send(t);
  EXPECT_NE(master::findModule('C', 'w', 1300), nullptr);
  // The notice names the transfer.
  EXPECT_TRUE(host.printed("Master List Updated (Content Transfer " +
                           peer::masterListName("update") + ")"));
  EXPECT_FALSE(exists(peer::masterListName("update")));
  EXPECT_EQ(liveTransfers(), 0);
}

// Names that leave the home directory, name the client's own files, or
// name them (or a device) as Windows reads a name.
const char *const kRefusedNames[] = {
    // Outside the home directory.
    "..", "../up.txt", "..\\up.txt", "sub/x.txt", "sub\\x.txt", "C:x.txt",
    "/abs.txt", "",
    // The client's own files.
    "qxag.dll", "QXAG.DLL", "qxclnew.so", "x.exe", "qxcl.cfg", "qxsys.cfg",
    "qxcl.db", "qxcl.log", "regname.dat", "REGNAME.DAT", "regname1.dat",
    "RegName1.DAT", "qxupd.html", "QXUPD.HTM",
    // The same as Windows reads them.
    "qxag.dll.", "qxag.dll ", "qxag.dll. .", "qxcl.cfg.", "regname.dat.",
    "qxcl.db ", "regname1.dat.", "qxupd.htm ", "REGNAM~1.DAT", "QXAG~1.DLL",
    "x.dll::$DATA",
    // Devices, and characters no Windows name holds.
    "com1.htm", "NUL.htm", "lpt1.htm", "con", "aux .txt", "CONIN$",
    "bell\x07.txt", "a*.txt"};

TEST_F(ContentTransfers, NamesTheClientMustNotStoreAreRefused) {
  for (const char *name : kRefusedNames) {
    host.clearOutput();
    send(transfer(name, Bytes(10, 'x')));
    EXPECT_TRUE(host.printed(
        std::string("Content Transfer Refused - Unsafe File Name: ") + name))
        << name;
    EXPECT_EQ(liveTransfers(), 0) << name;
  }
  // The registered-name file is the one qx_RegNameFn names.
  qx::copyText(client().settings.regNameFn, "names.txt",
               sizeof client().settings.regNameFn - 1);
  host.clearOutput();
  send(transfer("names.txt", Bytes(10, 'x')));
  EXPECT_TRUE(
      host.printed("Content Transfer Refused - Unsafe File Name: names.txt"));
}

TEST_F(ContentTransfers, SizesAreCappedAndAnEmptyTransferRefused) {
  // Body bytes 8-11 hold the final size, 12-15 the transfer size; the body
  // is scrambled, so the changes are XOR-ed in.
  struct Case {
    int byte;
    uint8_t mask;
    const char *message;
  } cases[] = {
      {8, 0x7F,
       "Content Transfer Refused - Too Large: big.bin (2130706442 bytes)"},
      {12, 0x01,
       "Content Transfer Refused - Too Large: big.bin (16777226 bytes)"},
      {15, 10, "Content Transfer Refused - Empty: big.bin"},
  };
  for (const Case &c : cases) {
    host.clearOutput();
    peer::ContentTransfer t = transfer("big.bin", Bytes(10, 'b'));
    Bytes announcement = t.announcement(nonce());
    announcement[4 + static_cast<size_t>(c.byte)] ^= c.mask;
    host.packet(announcement);
    host.pump(2);
    EXPECT_TRUE(host.printed(c.message)) << c.message;
    EXPECT_EQ(liveTransfers(), 0);
  }
}

TEST_F(ContentTransfers, TheLastChunkIsCutAtTheTransferSize) {
  const Bytes content = module(2000, 4);
  peer::ContentTransfer t = transfer("cut.bin", content);
  host.packet(t.announcement(nonce()));
  host.packet(t.chunk(nonce(), 0));
  Bytes last(content.begin() + 1024, content.end());  // 976 bytes
  last.resize(1030, 0xEE);
  host.packet(t.chunk(nonce(), 1, last));
  host.pump(4);
  EXPECT_EQ(read("cut.bin"), std::string(content.begin(), content.end()));
}

TEST_F(ContentTransfers, BadChunksAreDiscarded) {
  const Bytes content = module(1500, 6);
  peer::ContentTransfer t = transfer("chunks.bin", content);
  host.packet(t.announcement(nonce()));
  host.packet(t.chunk(nonce(), 7));                    // past the count
  host.packet(t.chunk(nonce(), 0, Bytes(1025, 'x')));  // over 1024 bytes
  host.packet(t.chunk(nonce(), 1));
  host.pump(4);
  // Only the last chunk counted: complete in bytes, not in chunks.
  EXPECT_FALSE(exists("chunks.bin"));
  host.packet(t.chunk(nonce(), 0));
  host.pump(4);
  EXPECT_EQ(read("chunks.bin"), std::string(content.begin(), content.end()));
}

// A datagram that arrives twice counts once: the transfer still waits for
// the chunk it lacks instead of failing its digest.
TEST_F(ContentTransfers, ARepeatedChunkCountsOnce) {
  const Bytes content = module(1500, 9);
  peer::ContentTransfer t = transfer("twice.bin", content);
  host.packet(t.announcement(nonce()));
  host.packet(t.chunk(nonce(), 1));
  host.packet(t.chunk(nonce(), 1));
  host.pump(4);
  EXPECT_FALSE(host.printedPart("Failed"));
  EXPECT_FALSE(exists("twice.bin"));
  host.packet(t.chunk(nonce(), 0));
  host.pump(4);
  EXPECT_EQ(read("twice.bin"), std::string(content.begin(), content.end()));
}

TEST_F(ContentTransfers, AnIncompleteTransferIsDroppedAfterTwoMinutes) {
  const Bytes content = module(3000, 8);
  peer::ContentTransfer t = transfer("late.bin", content);
  host.packet(t.announcement(nonce()));
  host.packet(t.chunk(nonce(), 2));  // the last byte, chunk 1 missing
  host.pump(4);
  // A new announcement under the same identifier is ignored meanwhile.
  host.packet(transfer("other.bin", Bytes(5, 'o')).announcement(nonce()));
  host.advance(100000);
  host.pump(2);
  EXPECT_FALSE(host.printedPart("Dropped"));
  host.advance(20000);
  host.pump(2);
  EXPECT_TRUE(host.printed("Content Transfer Dropped (Incomplete): late.bin"));
  EXPECT_EQ(liveTransfers(), 0);
  host.packet(t.chunk(nonce(), 0));  // too late: no record any more
  host.packet(t.chunk(nonce(), 1));
  host.pump(4);
  EXPECT_FALSE(exists("late.bin"));
}

// A master that announces transfers and never sends their last byte holds
// their records; once every record is taken, one announced two minutes ago
// or more makes room for a new transfer.
TEST_F(ContentTransfers, StaleAnnouncementsDoNotHoldEveryRecord) {
  for (uint32_t id = 1; id <= master::kMaxTransfers; ++id)
    host.packet(transfer("never" + std::to_string(id), Bytes(3000, 'v'), id)
                    .announcement(nonce()));
  host.pump(4);
  send(transfer("early.bin", Bytes(10, 'e'), 100));
  EXPECT_TRUE(
      host.printed("Content Transfer Refused - Too Many Transfers: early.bin"));
  EXPECT_FALSE(exists("early.bin"));

  host.advance(master::kTransferDropDelay);
  send(transfer("late.bin", Bytes(10, 'l'), 101));
  EXPECT_EQ(read("late.bin"), std::string(10, 'l'));
  EXPECT_EQ(client().master.transfers.count, master::kMaxTransfers);
}

// Identifier 0 marks a free record, so a transfer cannot use it.
TEST_F(ContentTransfers, IdentifierZeroIsIgnored) {
  send(transfer("zero.bin", Bytes(10, 'z'), 0));
  EXPECT_FALSE(exists("zero.bin"));
  EXPECT_EQ(liveTransfers(), 0);
  EXPECT_EQ(client().master.transfers.count, 0);
}

TEST_F(ContentTransfers, AWrongDigestOrBadCompressedDataStoresNothing) {
  peer::ContentTransfer t = transfer("wrong.bin", module(1200, 2));
  host.packet(t.announcement(nonce()));
  host.packet(t.chunk(nonce(), 0));
  host.packet(t.chunk(nonce(), 1, Bytes(176, 'z')));
  host.pump(4);
  EXPECT_TRUE(host.printed("Content Transfer Failed (MD5): wrong.bin"));
  EXPECT_FALSE(exists("wrong.bin"));

  // Sizes that differ mean compressed data; these bytes do not inflate.
  peer::ContentTransfer raw = transfer("raw.bin", Bytes(40, 'r'), 8);
  Bytes announcement = raw.announcement(nonce());
  announcement[4 + 11] ^= 1;  // final size 41
  host.packet(announcement);
  host.packet(raw.chunk(nonce(), 0));
  host.pump(4);
  EXPECT_TRUE(host.printed("Content Transfer Failed (Inflate): raw.bin"));
  EXPECT_FALSE(exists("raw.bin"));
  EXPECT_EQ(liveTransfers(), 0);
}

}  // namespace
}  // namespace mastertest
