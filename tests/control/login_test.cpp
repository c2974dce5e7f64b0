// Login, command connection and logout against the simulated recorder.
#include <cstring>
#include <thread>

#include "brinlib_internal.h"
#include "sim_fixture.h"

namespace {

using LoginTest = SimTest;

TEST_F(LoginTest, LogsInDecodesTheReplyTextAndOpensTheCommandConnection) {
  auto& sim = start_sim();
  char text[128];
  std::memset(text, 'x', sizeof text);
  ASSERT_EQ(brin_connect(0, config_.address.c_str(), "secret", text), 0);
  EXPECT_STREQ(text, "ZEB-5 Shop");
  EXPECT_EQ(sim.logins(), 1);
  EXPECT_TRUE(velmora::testing::wait_until([&] { return sim.open_sessions() == 1; }, std::chrono::seconds(20)));
  EXPECT_EQ(brin::connection(0).command_established.load(), 1);
  EXPECT_EQ(brin_unconnect(0, 0, 0, 0), 0);
  EXPECT_TRUE(velmora::testing::wait_until([&] { return sim.open_sessions() == 0; }, std::chrono::seconds(20)));
  EXPECT_EQ(brin_unconnect(0, 0, 0, 0), -10200);
}

TEST_F(LoginTest, EncodesThePasswordAsHexFilledTo32Characters) {
  config_.password = "abc";
  auto& sim = start_sim();
  connect();
  EXPECT_EQ(sim.last_password_line(), "PASSWORD 616263" + std::string(26, '0'));
  brin_unconnect(0, 0, 0, 0);

  const std::string twenty = "ABCDEFGHIJKLMNOPQRST";
  sim.stop();
  config_.password = twenty;
  auto& sim2 = start_sim();
  connect();
  std::string hex;
  for (char c : twenty) {
    char b[3];
    std::snprintf(b, sizeof b, "%02X", static_cast<unsigned char>(c));
    hex += b;
  }
  EXPECT_EQ(sim2.last_password_line(), "PASSWORD " + hex);
}

TEST_F(LoginTest, BusyRecorderGivesMinusOneAndNoPasswordIsSent) {
  auto& sim = start_sim();
  sim.inject({zebsim::Fault::kBusy});
  EXPECT_EQ(brin_connect(0, config_.address.c_str(), "secret", nullptr), -1);
  EXPECT_EQ(sim.last_password_line(), "");
  EXPECT_EQ(brin_unconnect(0, 0, 0, 0), -10200);
}

TEST_F(LoginTest, RefusedPasswordGivesTheNegatedRefusalByte) {
  auto& sim = start_sim();
  EXPECT_EQ(brin_connect(0, config_.address.c_str(), "wrong", nullptr), -50);
  sim.inject({zebsim::Fault::kRefusePassword, 1, 0, 51});
  EXPECT_EQ(brin_connect(0, config_.address.c_str(), "secret", nullptr), -51);
  // A refusal byte that is a separator has become the zero after "NG": a
  // refusal without a code, still negative.
  sim.inject({zebsim::Fault::kRefusePassword, 1, 0, ' '});
  EXPECT_EQ(brin_connect(0, config_.address.c_str(), "secret", nullptr), -256);
  EXPECT_EQ(brin_unconnect(0, 0, 0, 0), -10200);
  // A byte of 128 or more is no refusal code either.
  sim.inject({zebsim::Fault::kRefusePassword, 1, 0, 0xF0});
  EXPECT_EQ(brin_connect(0, config_.address.c_str(), "secret", nullptr), -256);
  EXPECT_EQ(brin_unconnect(0, 0, 0, 0), -10200);
  // A good login afterwards still works.
  connect();
}

TEST_F(LoginTest, ShortLoginReplyGivesMinusOneAfterTheReplyTextWasWritten) {
  auto& sim = start_sim();
  sim.inject({zebsim::Fault::kShortLoginReply, 1});
  char text[128] = {};
  EXPECT_EQ(brin_connect(0, config_.address.c_str(), "secret", text), -1);
  EXPECT_STREQ(text, "ZEB-5 Shop");
  EXPECT_EQ(brin_unconnect(0, 0, 0, 0), -10200);
}

TEST_F(LoginTest, MissingGreetingOrLoginReplyTimesOut) {
  auto& sim = start_sim();
  sim.inject({zebsim::Fault::kNoGreeting, 1});
  EXPECT_EQ(brin_connect(0, config_.address.c_str(), "secret", nullptr), -254);
  sim.inject({zebsim::Fault::kNoLoginReply, 1});
  EXPECT_EQ(brin_connect(0, config_.address.c_str(), "secret", nullptr), -255);
  EXPECT_EQ(brin_unconnect(0, 0, 0, 0), -10200);
}

TEST_F(LoginTest, BadConnectionNumbersFailWithoutNetworkActivity) {
  auto& sim = start_sim();
  EXPECT_EQ(brin_connect(-1, config_.address.c_str(), "secret", nullptr), -127);
  EXPECT_EQ(brin_connect(16, config_.address.c_str(), "secret", nullptr), -127);
  EXPECT_EQ(brin_unconnect(16, 0, 0, 0), -127);
  EXPECT_EQ(brin_unconnect(-1, 0, 0, 0), -127);
  EXPECT_EQ(brin_cam_swget(16, 1), -127);
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(sim.accepts(), 0);
}

TEST_F(LoginTest, AddressesAreCheckedBeforeConnecting) {
  auto& sim = start_sim();
  EXPECT_EQ(brin_connect(0, "", "secret", nullptr), -5);
  EXPECT_EQ(brin_connect(0, nullptr, "secret", nullptr), -5);
  EXPECT_EQ(brin_connect(0, "256.1.1.1", "secret", nullptr), -6);
  EXPECT_EQ(brin_connect(0, "recorder.example", "secret", nullptr), -6);
  // Longer than the 19 characters the address field holds.
  EXPECT_EQ(brin_connect(0, "127.000.000.0001.000", "secret", nullptr), -6);
  EXPECT_EQ(sim.accepts(), 0);
}

TEST_F(LoginTest, NothingListeningGivesMinusSeven) {
  // No recorder started on this address.
  EXPECT_EQ(brin_connect(0, config_.address.c_str(), "secret", nullptr), -7);
  EXPECT_EQ(brin_unconnect(0, 0, 0, 0), -10200);
}

TEST_F(LoginTest, SecondConnectOnAConnectedNumberIsRefused) {
  start_sim();
  connect(3);
  EXPECT_EQ(brin_connect(3, config_.address.c_str(), "secret", nullptr), -10201);
  EXPECT_EQ(brin_unconnect(3, 0, 0, 0), 0);
  connect(3);
}

TEST_F(LoginTest, ConnectionFifteenLogsInOnPort5031) {
  config_.first_connection = 15;
  config_.last_connection = 15;
  auto& sim = start_sim();
  connect(15);
  EXPECT_EQ(brin::connection(15).login_port, 5031);
  EXPECT_EQ(sim.logins(), 1);
  // Connection 14 would use 5029, where nothing listens.
  EXPECT_EQ(brin_connect(14, config_.address.c_str(), "secret", nullptr), -7);
}

TEST_F(LoginTest, RefusedCommandConnectionStillConnectsButCommandsFail) {
  auto& sim = start_sim();
  sim.inject({zebsim::Fault::kRejectSession, 1});
  connect();
  EXPECT_EQ(brin::connection(0).command_error.load(), brin::kCommandNotOk);
  EXPECT_LT(brin_cam_swget(0, 181), 0);
  EXPECT_EQ(brin_unconnect(0, 0, 0, 0), 0);
}

}  // namespace
