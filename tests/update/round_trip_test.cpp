// A module packed by the server side's packager, pushed through the real
// entry points with a chunk lost, the client's resend requests answered,
// and the package unpacked by the client's reader.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "../channel/channel_fixture.h"
#include "peer/package_peer.h"
#include "peer/transfer_peer.h"
#include "update/package.h"
#include "update_fixture.h"

namespace {

namespace peer = qx::peer;

class RoundTrip : public channeltest::ChannelTest {};

TEST_F(RoundTrip, APushedPackageUnpacksToTheSameModule) {
  const updatetest::Bytes module = updatetest::sampleModule(120000, 11);
  const std::string page = peer::packModule(module, "wa001200.htm");
  peer::FilePush push("wa001200.htm",
                      updatetest::Bytes(page.begin(), page.end()));
  ASSERT_GT(push.chunkCount(), 20);
  push.drop(5);

  // Each frame of the fake host passes time, so a long run of discarded
  // chunks draws the same request again every three seconds; the server
  // answers the last one.
  std::vector<peer::Outgoing> outgoing = push.messages();
  std::vector<peer::ResendRequest> requests;
  while (!outgoing.empty() && requests.size() < 100) {
    for (const peer::Outgoing &o : outgoing)
      if (!o.message.empty()) sendE(o.message);
    outgoing.clear();
    for (const peer::Reply &r : replies()) {
      requests.push_back(peer::decodeResendRequest(r.message));
      outgoing = push.answer(requests.back());
    }
    host.clearOutput();
  }
  ASSERT_FALSE(requests.empty());
  for (const peer::ResendRequest &r : requests) {
    EXPECT_EQ(r.letter, 'A');
    EXPECT_EQ(r.chunk, 5);
  }

  const std::string home = qx::client().host.homeDir;
  const peer::ModuleRecord r = peer::moduleRecord(module);
  EXPECT_EQ(updatetest::readBytes(home + "htm\\wa001200.htm"), push.content());
  EXPECT_EQ(
      qx::update::unpackPackage((home + "htm\\wa001200.htm").c_str(),
                                (home + "dll\\wa001200.dll").c_str(), r.size,
                                r.digest1.c_str(), r.digest2.c_str()),
      nullptr);
  EXPECT_EQ(updatetest::readBytes(home + "dll\\wa001200.dll"), module);
}

}  // namespace
