// The stream requests on the control connection.
#include <gtest/gtest.h>

#include <regex>

#include "brinlib.h"
#include "brinlib_internal.h"
#include "testing.h"
#include "zebsim/recorder.h"

namespace {

class StreamRequests : public ::testing::Test {
 protected:
  void SetUp() override {
    brin::timing().receive_timeout_ms = 300;
    brin::timing().unconnect_sleep_ms = 1;
    config_.address = velmora::testing::unique_loopback();
    config_.password = "pw";
    sim_ = std::make_unique<zebsim::Recorder>(config_);
    ASSERT_TRUE(sim_->start()) << sim_->error();
    // A recorder that only answers: the live stream itself is not started.
    for (const char* w : {"UDPup", "UDPdown", "UDPdispmode"})
      sim_->add_command(w, [](zebsim::Session& s, const zebsim::Request& r) { s.reply(r, "05"); });
    ASSERT_EQ(brin_connect(0, config_.address.c_str(), "pw", nullptr), 0);
    sim_->clear_requests();
  }
  void TearDown() override {
    brin_unconnect(0, 0, 0, 0);
    sim_->stop();
  }
  std::string last() {
    auto r = sim_->requests();
    return r.empty() ? "" : std::regex_replace(r.back(), std::regex("^ID[0-9A-F]{8} "), "<ID> ");
  }
  zebsim::Config config_;
  std::unique_ptr<zebsim::Recorder> sim_;
};

TEST_F(StreamRequests, StartAndStopCarryTheirNumbersAndSetTheAudioSwitch) {
  EXPECT_EQ(brin_udp_count(0, 0, 1, 3), 5);
  EXPECT_EQ(last(), "<ID> UDPup 01 03\n");
  EXPECT_EQ(brin::live::state().audio_switch.load(), 3);
  EXPECT_EQ(brin_udp_count(0, 1, 0, 0), 5);
  EXPECT_EQ(last(), "<ID> UDPdown 00 00\n");
  EXPECT_EQ(brin::live::state().audio_switch.load(), 0);
  // A refused request leaves the audio switch alone.
  sim_->inject({zebsim::Fault::kNotOk, 1});
  EXPECT_EQ(brin_udp_count(0, 0, 1, 7), -10501);
  EXPECT_EQ(brin::live::state().audio_switch.load(), 0);
  sim_->inject({zebsim::Fault::kNoReply, 1});
  EXPECT_EQ(brin_udp_count(0, 0, 1, 1), -10035);
  EXPECT_EQ(brin_udp_count(1, 0, 1, 1), -10200);
  EXPECT_EQ(brin_udp_count(16, 0, 1, 1), -127);
}

TEST_F(StreamRequests, TheSelectionHoldsWhetherOrNotTheRecorderAccepts) {
  EXPECT_EQ(brin_udp_dispmode(0, 4, 1), 5);
  EXPECT_EQ(last(), "<ID> UDPdispmode 04 01 00\n");
  EXPECT_EQ(brin::live::state().selected.load(), 4);
  sim_->inject({zebsim::Fault::kNotOk, 1});
  EXPECT_EQ(brin_udp_dispmode(0, 16, 0), -10501);
  EXPECT_EQ(last(), "<ID> UDPdispmode 10 00 00\n");
  EXPECT_EQ(brin::live::state().selected.load(), 16);
  // Not connected: refused before anything changes.
  EXPECT_EQ(brin_udp_dispmode(2, 3, 0), -10200);
  EXPECT_EQ(brin::live::state().selected.load(), 16);
}

}  // namespace
