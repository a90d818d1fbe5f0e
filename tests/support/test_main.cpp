// Test main: every test starts from a freshly constructed client state and
// the system clocks.
#include <gtest/gtest.h>

#include "host/client_state.h"
#include "platform/platform.h"

namespace {

class FreshClient : public testing::EmptyTestEventListener {
  void OnTestStart(const testing::TestInfo &) override {
    qx::resetClientState();
    qx::platform::setTickSource(nullptr);
    qx::platform::setCalendarSource(nullptr);
  }
};

}  // namespace

int main(int argc, char **argv) {
  testing::InitGoogleTest(&argc, argv);
  testing::UnitTest::GetInstance()->listeners().Append(new FreshClient);
  return RUN_ALL_TESTS();
}
