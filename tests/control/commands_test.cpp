// The settings and status commands: exact request lines, results, failure
// codes and the receive attempts.
#include <cstdio>
#include <cstring>
#include <fstream>

#include "sim_fixture.h"
#include "velmora/clock.h"

namespace {

class CommandTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    start_sim();
    connect();
    sim_->clear_requests();
  }
};

TEST_F(CommandTest, SwitchItemsAreWrittenAndReadBack) {
  EXPECT_EQ(brin_cam_swset(0, 0x89, 0x42), 0x42);
  EXPECT_EQ(last_request(), "<ID> CamSwSet 89 42\n");
  EXPECT_EQ(brin_cam_swget(0, 0x89), 0x42);
  EXPECT_EQ(last_request(), "<ID> CamSwGet 000089\n");
  EXPECT_EQ(brin_hd_swset(0, 5, 7), 7);
  EXPECT_EQ(last_request(), "<ID> HDSwSet 05 07\n");
  EXPECT_EQ(brin_hd_swget(0, 5), 7);
  EXPECT_EQ(last_request(), "<ID> HDSwGet 000005\n");
  EXPECT_EQ(brin_jpeg_swset(0, 3, 0x1234), 0x1234);
  EXPECT_EQ(last_request(), "<ID> JpegSwSet 03 1234\n");
  EXPECT_EQ(brin_jpeg_swget(0, 3), 0x1234);
  EXPECT_EQ(last_request(), "<ID> JpegSwGet 000003\n");
  // A value wider than its field is written with all its digits.
  EXPECT_EQ(brin_cam_swset(0, 0x1FF, 1), 1);
  EXPECT_EQ(last_request(), "<ID> CamSwSet 1FF 01\n");
  // The stream address item as the viewer reads it.
  EXPECT_EQ(static_cast<uint32_t>(brin_cam_swget(0, 182)), 0xEF010203u);
}

TEST_F(CommandTest, CombiValuesTravelInTheirFields) {
  EXPECT_EQ(brin_combi_set(0, 1, 2, 3, 0x44, 0xABCD), 0);
  EXPECT_EQ(last_request(), "<ID> CombiSwSet 0001 0002 0003 0044 ABCD\n");
  int32_t p1 = 9, p2 = 8, p3 = 7, p4 = 6;
  EXPECT_EQ(brin_combi_get(0, &p1, &p2, &p3, &p4, 5), 0);
  EXPECT_EQ(last_request(), "<ID> CombiSwGet 09 0008 0007 0006 0005 0000\n");
  // p1 from token 5, p2 to p4 from tokens 2 to 4.
  EXPECT_EQ(p1, 1);
  EXPECT_EQ(p2, 2);
  EXPECT_EQ(p3, 3);
  EXPECT_EQ(p4, 0x44);
}

TEST_F(CommandTest, RegisterCommandsHaveTheirRequestLines) {
  EXPECT_EQ(brin_mem_set(0, 1, 0x20, 0x5A5A), 0x5A5A);
  EXPECT_EQ(last_request(), "<ID> MemSet 01 0020 5A5A\n");
  EXPECT_EQ(brin_mem_get(0, 1, 0x20), 0x5A5A);
  EXPECT_EQ(last_request(), "<ID> MemGet 000001 000020\n");
  EXPECT_EQ(brin_i2c_set(0, 0x50, 3, 0x77), 0x77);
  EXPECT_EQ(last_request(), "<ID> I2cSet 0050 0003 0077\n");
  EXPECT_EQ(brin_i2c_get(0, 0x50, 3), 0x77);
  EXPECT_EQ(last_request(), "<ID> I2cGet 000050 0003\n");
  EXPECT_EQ(brin_nvc_set(0, 1, 2, 3, 0x99), 0x99);
  EXPECT_EQ(last_request(), "<ID> NvcSet 0001 0002 0003 0099\n");
  EXPECT_EQ(brin_nvc_get(0, 1, 2, 3), 0x99);
  EXPECT_EQ(last_request(), "<ID> NvcGet 0001 0002 0003\n");
  EXPECT_EQ(brin_rx_status(0, 2), 0x000F);
  EXPECT_EQ(last_request(), "<ID> SendStatus 02\n");
  EXPECT_EQ(brin_re_boot(0), 0);
  EXPECT_EQ(last_request(), "<ID> ReBoot \n");
  EXPECT_EQ(sim_->reboots(), 1);
}

TEST_F(CommandTest, ClockReadCompletesTwoDigitYears) {
  char date[258], time[258];
  ASSERT_EQ(brin_get_time(0, date, time), 0);
  EXPECT_EQ(last_request(), "<ID> GetTime\n");
  EXPECT_EQ(std::string(date), sim_->clock_date());
  EXPECT_EQ(std::strlen(time), 8u);

  ASSERT_EQ(brin_set_time(0, "1985/01/01", "12:00:00"), 0);
  EXPECT_EQ(last_request(), "<ID> SetTime 1985/01/01 12:00:00\n");
  ASSERT_EQ(brin_get_time(0, date, time), 0);
  EXPECT_STREQ(date, "1985/01/01");  // sent as 85/01/01

  ASSERT_EQ(brin_set_time(0, "07/12/25", "23:59:58"), 0);
  ASSERT_EQ(brin_get_time(0, date, time), 0);
  EXPECT_STREQ(date, "2007/12/25");
  EXPECT_EQ(std::string(time).substr(0, 5), "23:59");
}

TEST_F(CommandTest, ClockReadCopiesFourDigitYearsUnchanged) {
  sim_->add_command("GetTime", [](zebsim::Session& s, const zebsim::Request& r) { s.reply(r, "2007/12/25 01:02:03"); });
  char date[258], time[258];
  ASSERT_EQ(brin_get_time(0, date, time), 0);
  EXPECT_STREQ(date, "2007/12/25");
  EXPECT_STREQ(time, "01:02:03");
}

TEST_F(CommandTest, MenuDataArriveAfterTheDummyLine) {
  uint8_t menu[600];
  std::memset(menu, 0xEE, sizeof menu);
  EXPECT_EQ(brin_rx_menu_data(0, 0, menu), 513);
  const auto requests = sim_->requests();
  ASSERT_EQ(requests.size(), 1u);  // "dummy" is not a command line
  EXPECT_EQ(last_request(), "<ID> SendMenu 00\n");
  const auto expected = sim_->menu_data();
  EXPECT_EQ(std::memcmp(menu, expected.data(), 513), 0);
  EXPECT_EQ(menu[0], 1);
  EXPECT_EQ(menu[4], 0);
  EXPECT_EQ(menu[513], 0xEE);  // nothing past the announced size
}

TEST_F(CommandTest, MenuBytesBeyondTheAnnouncedSizeAreNotTakenForLaterReplies) {
  sim_->set_switch_item("hd", 4, 0x31);
  sim_->inject({zebsim::Fault::kSurplusData, 1});  // 16 bytes more than announced
  uint8_t menu[600];
  std::memset(menu, 0xEE, sizeof menu);
  ASSERT_EQ(brin_rx_menu_data(0, 0, menu), 513);
  const auto expected = sim_->menu_data();
  EXPECT_EQ(std::memcmp(menu, expected.data(), 513), 0);
  EXPECT_EQ(menu[513], 0xEE);
  // Every later command reads its own reply.
  EXPECT_EQ(brin_hd_swget(0, 4), 0x31);
  EXPECT_EQ(brin_mem_set(0, 1, 0x20, 0x1234), 0x1234);
  EXPECT_EQ(brin_mem_get(0, 1, 0x20), 0x1234);
}

TEST_F(CommandTest, RequestsWithinOneMillisecondCarryDifferentIds) {
  // Pairs of requests, bracketed by the clock, until enough pairs went out
  // within one tick of it.
  int same_tick = 0;
  for (int i = 0; i < 2000 && same_tick < 20; ++i) {
    const size_t first = sim_->requests().size();
    const uint32_t before = vp::tick_count_ms();
    ASSERT_EQ(brin_hd_swget(0, 1), 0);
    ASSERT_EQ(brin_hd_swget(0, 1), 0);
    if (vp::tick_count_ms() != before) continue;
    ++same_tick;
    const auto lines = sim_->requests();
    ASSERT_EQ(lines.size(), first + 2);
    EXPECT_NE(lines[first].substr(0, 10), lines[first + 1].substr(0, 10)) << lines[first];
  }
  // No request on the connection repeats the ID of the one before it.
  const auto lines = sim_->requests();
  for (size_t i = 1; i < lines.size(); ++i) ASSERT_NE(lines[i - 1].substr(0, 10), lines[i].substr(0, 10)) << i;
  if (same_tick == 0) GTEST_SKIP() << "no two requests went out within one millisecond";
}

TEST_F(CommandTest, TransactionCheckComesBeforeTheStatusCheck) {
  // Another transaction ID and "NG" in one reply.
  sim_->inject({zebsim::Fault::kWrongTransaction, 1});
  sim_->inject({zebsim::Fault::kNotOk, 1});
  EXPECT_EQ(brin_cam_swget(0, 1), -10500);
  sim_->inject({zebsim::Fault::kNotOk, 1});
  EXPECT_EQ(brin_hd_swget(0, 1), -10501);
  sim_->set_switch_item("hd", 1, 0x77);
  EXPECT_EQ(brin_hd_swget(0, 1), 0x77);
}

TEST_F(CommandTest, LateReplyIsTakenByTheNextRequest) {
  sim_->inject({zebsim::Fault::kLateReply, 1, 500});
  char date[258], time[258];
  EXPECT_EQ(brin_get_time(0, date, time), -1);
  // The clock reply arrives while this request waits for its own.
  EXPECT_EQ(brin_hd_swget(0, 1), -10500);
}

TEST_F(CommandTest, SwitchSettingRetriesItsReceive) {
  // Answered after two time-outs of 300 ms: the third attempt takes it.
  sim_->inject({zebsim::Fault::kLateReply, 1, 750});
  EXPECT_EQ(brin_cam_swset(0, 0x10, 0x20), 0x20);
  EXPECT_EQ(sim_->requests().size(), 1u);  // sent once, received up to five times

  // Never answered: five attempts, then the time-out code itself.
  sim_->inject({zebsim::Fault::kNoReply, 1});
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(brin_cam_swset(0, 0x10, 0x21), -10035);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1400));
  sim_->inject({zebsim::Fault::kNoReply, 1});
  EXPECT_EQ(brin_hd_swset(0, 0x10, 0x21), -10035);
  // The reads give -1 once their attempts are used.
  sim_->inject({zebsim::Fault::kNoReply, 1});
  EXPECT_EQ(brin_cam_swget(0, 0x10), -1);
  sim_->inject({zebsim::Fault::kNoReply, 1});
  EXPECT_EQ(brin_mem_get(0, 0x10, 0), -1);
}

TEST_F(CommandTest, JpegSwitchNinetyNineLeavesItsReplyUnread) {
  EXPECT_EQ(brin_jpeg_swset(0, 99, 1), -99);
  EXPECT_EQ(last_request(), "<ID> JpegSwSet 63 0001\n");
  // The next request reads the left-over reply. (Its own reply is then left
  // over in turn, unless both arrived in one receive; the connection stays
  // one reply behind until the program reconnects.)
  EXPECT_EQ(brin_cam_swget(0, 181), -10500);
}

TEST_F(CommandTest, ClosedConnectionIsAReceiveFailureNotThePreviousReply) {
  EXPECT_EQ(brin_cam_swget(0, 183), 50000);
  sim_->inject({zebsim::Fault::kCloseMidReply, 1, 0, 0, "CamSwGet"});
  // Half a reply arrives (just the transaction ID), then the close: a reply
  // without results reads as 0, never as the previous reply's value.
  EXPECT_EQ(brin_cam_swget(0, 183), 0);
  // Now the connection is closed: a receive of zero bytes.
  EXPECT_EQ(brin_cam_swget(0, 183), -1);
  EXPECT_EQ(brin_cam_swset(0, 1, 1), -10054);
}

TEST_F(CommandTest, NotConnectedCommandsFailWithoutSending) {
  EXPECT_EQ(brin_cam_swget(5, 1), -10200);
  EXPECT_EQ(brin_get_time(5, nullptr, nullptr), -10200);
  EXPECT_EQ(brin_update(5, "/nonexistent", 0), -10200);
  EXPECT_EQ(brin_rx_playlist(5, 0), -10200);
  EXPECT_TRUE(sim_->requests().empty());
}

TEST_F(CommandTest, UpdateSendsTheFileWithATrailingZero) {
  velmora::testing::TempDir dir;
  EXPECT_EQ(brin_update(0, dir.file("missing.bin").c_str(), 1), -1);
  EXPECT_TRUE(sim_->requests().empty());

  velmora::testing::write_file(dir.file("empty.bin"), "");
  EXPECT_EQ(brin_update(0, dir.file("empty.bin").c_str(), 1), -2);

  std::string data = "firmware\x01\x02";
  data.push_back('\0');
  data += "tail";
  velmora::testing::write_file(dir.file("fw.bin"), data);
  EXPECT_EQ(brin_update(0, dir.file("fw.bin").c_str(), 0x1A), static_cast<int32_t>(data.size()));
  char expect[64];
  std::snprintf(expect, sizeof expect, "<ID> SendUpdate 1A %08X\n", static_cast<unsigned>(data.size() + 1));
  EXPECT_EQ(last_request(), expect);
  ASSERT_TRUE(velmora::testing::wait_until([&] { return !sim_->last_update().empty(); }, std::chrono::seconds(20)));
  const auto got = sim_->last_update();
  ASSERT_EQ(got.size(), data.size() + 1);
  EXPECT_EQ(std::string(got.begin(), got.end() - 1), data);
  EXPECT_EQ(got.back(), 0);
}

TEST_F(CommandTest, UpdateRefusesFilesOfEightMebibytesOrMore) {
  velmora::testing::TempDir dir;
  velmora::testing::write_file(dir.file("big.bin"), std::string(8u << 20, 'a'));
  EXPECT_EQ(brin_update(0, dir.file("big.bin").c_str(), 1), -3);
  EXPECT_TRUE(sim_->requests().empty());
  velmora::testing::write_file(dir.file("ok.bin"), std::string((8u << 20) - 1, 'b'));
  EXPECT_EQ(brin_update(0, dir.file("ok.bin").c_str(), 1), (8 << 20) - 1);
  ASSERT_TRUE(
      velmora::testing::wait_until([&] { return sim_->last_update().size() == (8u << 20); }, std::chrono::seconds(10)));
}

}  // namespace
