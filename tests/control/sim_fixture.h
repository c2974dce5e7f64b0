// A simulated recorder on an address of its own, with the control client's
// waits shortened so that failure paths take a fraction of a second.
#pragma once
#include <gtest/gtest.h>

#include <memory>
#include <regex>
#include <string>

#include "brinlib.h"
#include "control/Tcpetc.h"
#include "testing.h"
#include "zebsim/recorder.h"

class SimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    brin::timing().receive_timeout_ms = 300;
    brin::timing().command_start_polls = 200;
    brin::timing().menu_delay_ms = 10;
    brin::timing().menu_timeout_ms = 2000;
    brin::timing().playlist_timeout_ms = 2000;
    brin::timing().jpeg_special_sleep_ms = 100;
    brin::timing().unconnect_sleep_ms = 1;
    brin::timing().bulk_quiet_ms = 200;
    config_.address = velmora::testing::unique_loopback();
    config_.password = "secret";
  }

  void TearDown() override {
    for (int cn = 0; cn < 16; ++cn) brin_unconnect(cn, 0, 0, 0);
    if (sim_) sim_->stop();
  }

  zebsim::Recorder& start_sim() {
    sim_ = std::make_unique<zebsim::Recorder>(config_);
    EXPECT_TRUE(sim_->start()) << sim_->error();
    return *sim_;
  }

  // Logs in on cn and checks that it worked.
  void connect(int cn = 0) {
    char text[128] = {};
    ASSERT_EQ(brin_connect(cn, config_.address.c_str(), config_.password.c_str(), text), 0);
  }

  // The last command line the recorder received, with its transaction ID
  // replaced by "<ID>" after checking its form.
  std::string last_request() {
    const auto lines = sim_->requests();
    if (lines.empty()) return "";
    static const std::regex id("^ID[0-9A-F]{8} ");
    const std::string& line = lines.back();
    if (!std::regex_search(line, id)) return "bad transaction ID: " + line;
    return "<ID> " + line.substr(11);
  }

  zebsim::Config config_;
  std::unique_ptr<zebsim::Recorder> sim_;
};
