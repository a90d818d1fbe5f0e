// Named record lists: growth, bounds, names, allocation failure, destroy.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/heap.h"
#include "console/record_list.h"
#include "host/client_state.h"
#include "test_heap.h"

using namespace qx::console;

namespace {

struct Rec {
  int32_t key;
  char text[12];
};

class RecordListTest : public testing::Test {
 protected:
  void SetUp() override { listConstruct(list, sizeof(Rec), "FLXX"); }
  void TearDown() override {
    qxtest::failAllocations(nullptr);
    listDestroy(list);
  }
  Rec make(int32_t key) {
    Rec r{};
    r.key = key;
    std::snprintf(r.text, sizeof r.text, "r%d", key);
    return r;
  }
  RecordList list;
};

TEST_F(RecordListTest, GrowsFromFourToEightKeepingRecords) {
  for (int i = 1; i <= 4; ++i) {
    Rec r = make(i);
    EXPECT_EQ(listAppend(list, &r), i);
  }
  EXPECT_EQ(list.capacity, 4);
  Rec r = make(5);
  EXPECT_EQ(listAppend(list, &r), 5);
  EXPECT_EQ(list.capacity, 8);
  for (int i = 0; i < 5; ++i) {
    const Rec expected = make(i + 1);
    EXPECT_EQ(std::memcmp(listAt(list, i), &expected, sizeof expected), 0);
  }
  for (int i = 6; i <= 17; ++i) {
    Rec more = make(i);
    listAppend(list, &more);
  }
  EXPECT_EQ(list.capacity, 32);
}

TEST_F(RecordListTest, IndexOutsideTheListIsNull) {
  Rec r = make(1);
  listAppend(list, &r);
  EXPECT_EQ(listAt(list, -1), nullptr);
  EXPECT_EQ(listAt(list, 1), nullptr);
  EXPECT_NE(listAt(list, 0), nullptr);
  EXPECT_EQ(listAppend(list, nullptr), 0);
}

TEST_F(RecordListTest, EmptyingKeepsStorageForReuse) {
  Rec r = make(1);
  listAppend(list, &r);
  uint8_t *storage = list.data;
  list.count = 0;
  qxtest::failAllocations(qxtest::everyAllocation);
  EXPECT_EQ(listAppend(list, &r), 1);  // no allocation needed
  EXPECT_EQ(list.data, storage);
}

TEST_F(RecordListTest, AllocationFailureLeavesTheListUnchanged) {
  for (int i = 0; i < 4; ++i) {
    Rec r = make(i);
    listAppend(list, &r);
  }
  qxtest::failAllocations(qxtest::everyAllocation);
  Rec r = make(9);
  EXPECT_EQ(listAppend(list, &r), 0);
  EXPECT_EQ(list.count, 4);
  EXPECT_EQ(list.capacity, 4);
  EXPECT_EQ(listRecord<Rec>(list, 3)->key, 3);
}

TEST_F(RecordListTest, DestroyMarksTheName) {
  Rec r = make(1);
  listAppend(list, &r);
  listDestroy(list);
  EXPECT_STREQ(list.name, "FLXX!");
  EXPECT_EQ(list.data, nullptr);
  EXPECT_EQ(list.count, 1);  // left as it was
  listConstruct(list, sizeof(Rec), "FLXX");
}

TEST(RecordList, NamesAndSizes) {
  RecordList a, b, c;
  listConstruct(a, 0, "FLAB");
  EXPECT_EQ(a.recordSize, 1);
  listConstruct(b, 64, "");
  EXPECT_STREQ(b.name, "F64");
  listConstruct(c, 4, std::string(40, 'n').c_str());
  EXPECT_EQ(std::string(c.name), std::string(30, 'n'));
  for (RecordList *l : {&a, &b, &c}) listDestroy(*l);
}

TEST(RecordList, TheClientHasItsElevenLists) {
  qx::ClientState &c = qx::client();
  const std::pair<RecordList *, const char *> lists[] = {
      {&c.cvars.rules, "FLCV"},     {&c.master.transfers, "FLFC"},
      {&c.regnames.names, "FLRN"},  {&c.scan.buffers, "FLBU"},
      {&c.update.index, "FLPA"},    {&c.cvars.expected, "FLLC"},
      {&c.scan.windows, "FLMF"},    {&c.channel.outbound, "FLOU"},
      {&c.scan.processes, "FLPR"},  {&c.scan.modules, "FLMO"},
      {&c.master.hostNames, "FLHN"}};
  for (const auto &[list, name] : lists) {
    EXPECT_STREQ(list->name, name);
    EXPECT_EQ(list->count, 0);
    EXPECT_EQ(list->growBy, 4);
  }
  EXPECT_EQ(c.channel.outbound.recordSize, 12 + 1100);
}

TEST(RecordList, TransferListReleasesTheBuffersItsRecordsOwn) {
  qx::ClientState &c = qx::client();
  qx::master::ContentTransfer t{};
  t.identifier = 7;
  t.buffer = static_cast<uint8_t *>(qx::heap::allocate(100));
  listAppend(c.master.transfers, &t);
  qx::unloadClientState();  // the sanitizers report a leaked buffer
  EXPECT_STREQ(c.master.transfers.name, "FLFC!");
  qx::loadClientState();
}

}  // namespace
