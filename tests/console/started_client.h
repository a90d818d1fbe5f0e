// Fixture of the console suites: a started client in a fake host, and the
// player typing a line at the game console (host event 14).
#pragma once

#include <gtest/gtest.h>

#include <string>

#include "fake_host.h"

class StartedClient : public testing::Test {
 protected:
  void SetUp() override { host.start(); }
  // Clears what the host recorded, hands the line over and runs the frames
  // that process it.
  void type(const std::string &line) {
    host.clearOutput();
    host.console(line);
    host.pump();
  }
  qxtest::FakeHost host;
};
