// A simulated recorder on an address of its own, with the control client's
// waits shortened so that failure paths take a fraction of a second.
#pragma once
#include <gtest/gtest.h>

#include <cctype>
#include <memory>
#include <string>

#include "brinlib.h"
#include "brinlib_internal.h"
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
    const std::string& line = lines.back();
    if (!has_transaction_id(line)) return "bad transaction ID: " + line;
    return "<ID> " + line.substr(11);
  }

  // "ID", eight upper-case hexadecimal digits and a space.
  static bool has_transaction_id(const std::string& line) {
    if (line.size() < 11 || line.compare(0, 2, "ID") != 0 || line[10] != ' ') return false;
    for (size_t i = 2; i < 10; ++i)
      if (!std::isdigit(static_cast<unsigned char>(line[i])) && (line[i] < 'A' || line[i] > 'F')) return false;
    return true;
  }

  zebsim::Config config_;
  std::unique_ptr<zebsim::Recorder> sim_;
};
