// The remote playback commands and the play list file.
#include <filesystem>
#include <fstream>
#include <string>

#include "sim_fixture.h"

namespace {

class PlaybackTest : public SimTest {
 protected:
  void SetUp() override {
    SimTest::SetUp();
    start_sim();
    connect();
    sim_->clear_requests();
  }
  velmora::testing::TempDir dir_;
  velmora::testing::ScopedCwd cwd_{dir_.path()};
};

TEST_F(PlaybackTest, CommandsHaveTheirRequestLines) {
  EXPECT_EQ(brin_ctrl_play(0, 3), 0);
  EXPECT_EQ(last_request(), "<ID> ControlPlay 03\n");
  EXPECT_EQ(brin_play_search(0, 2026, 12, 7, 9, 5, 3), 0);
  EXPECT_EQ(last_request(), "<ID> PlaySearch 2026 12 07 09 05 03 00\n");
  EXPECT_EQ(brin_set_playpointer(0, 0x1234, -1), 0);
  EXPECT_EQ(last_request(), "<ID> SetPlayPointer 00001234 FFFFFFFF\n");
  EXPECT_EQ(brin_rx_hddlist(0, 1, 2), 0);
  EXPECT_EQ(last_request(), "<ID> ReadHddList 00000001 00000002\n");
  sim_->inject({zebsim::Fault::kNotOk, 1});
  EXPECT_EQ(brin_ctrl_play(0, 1), -10501);
  sim_->inject({zebsim::Fault::kNoReply, 1});
  EXPECT_EQ(brin_ctrl_play(0, 1), -1);
}

TEST_F(PlaybackTest, PlayListFileSaysZeroDuringTheTransferThenHoldsTheList) {
  const std::string list = "2\n2026/12/07 09:00:00 2026/12/07 09:30:00;1\n2026/12/07 10:00:00 x;1\n";
  std::string during;
  // A recorder that holds the list back until the client's file was seen.
  sim_->add_command("GetPlayList", [&](zebsim::Session& s, const zebsim::Request& r) {
    char size[16];
    std::snprintf(size, sizeof size, "%04zX", list.size());
    s.reply(r, size);
    std::string line;
    ASSERT_TRUE(s.read_line(line, 2000));
    EXPECT_EQ(line, "JpegSendStart");
    velmora::testing::wait_until([&] { return velmora::testing::read_file("img/list0.txt") == "0\n"; },
                                 std::chrono::seconds(20));
    during = velmora::testing::read_file("img/list0.txt");
    s.send_raw(list.data(), list.size());
  });
  EXPECT_EQ(brin_rx_playlist(0, 0), static_cast<int32_t>(list.size()));
  EXPECT_EQ(last_request(), "<ID> GetPlayList 00\n");
  sim_->stop();  // the handler has finished with `during` and `list`
  EXPECT_EQ(during, "0\n");
  EXPECT_EQ(velmora::testing::read_file("img/list0.txt"), list);
}

TEST_F(PlaybackTest, ListBytesBeyondTheListBufferOrTheAnnouncedSizeAreDropped) {
  // The transfers end by their byte count, however slowly they arrive.
  brin::timing().bulk_quiet_ms = 60000;
  brin::timing().playlist_timeout_ms = 60000;
  // 150 KiB of numbered lines; the file keeps the first 128 KiB.
  std::string list;
  for (int i = 0; list.size() < 150 * 1024; ++i) list += std::to_string(100000 + i) + "\n";
  list.resize(150 * 1024);
  sim_->set_play_list(list);
  EXPECT_EQ(brin_rx_playlist(0, 0), 150 * 1024);
  EXPECT_EQ(velmora::testing::read_file("img/list0.txt"), list.substr(0, 128 * 1024));
  EXPECT_EQ(brin_rx_status(0, 2), 0x000F);

  // A short list followed by 16 bytes the recorder did not announce.
  const std::string small = "1\n2026/12/07 09:00:00 2026/12/07 09:30:00;1\n";
  sim_->set_play_list(small);
  sim_->inject({zebsim::Fault::kSurplusData, 1});
  EXPECT_EQ(brin_rx_playlist(0, 1), static_cast<int32_t>(small.size()));
  EXPECT_EQ(velmora::testing::read_file("img/list1.txt"), small);
  EXPECT_EQ(brin_rx_status(0, 3), 0x000F);
  EXPECT_EQ(brin_ctrl_play(0, 1), 0);
}

TEST_F(PlaybackTest, EmptyListLeavesTheFileAlone) {
  std::filesystem::create_directory("img");
  velmora::testing::write_file("img/list0.txt", "old list\n");
  sim_->set_play_list("");
  EXPECT_EQ(brin_rx_playlist(0, 0), 0);
  EXPECT_EQ(velmora::testing::read_file("img/list0.txt"), "old list\n");
  // No "JpegSendStart" went out: the next command gets its own reply.
  EXPECT_EQ(brin_ctrl_play(0, 1), 0);
}

TEST_F(PlaybackTest, ListNumberIsWrittenInHexadecimal) {
  EXPECT_GT(brin_rx_playlist(0, 10), 0);
  EXPECT_EQ(last_request(), "<ID> GetPlayList 0A\n");
  EXPECT_TRUE(velmora::testing::file_exists("img/lista.txt"));
}

TEST_F(PlaybackTest, FailedRequestLeavesTheListFileAsItWas) {
  std::filesystem::create_directory("img");
  velmora::testing::write_file("img/list0.txt", "kept\n");
  sim_->inject({zebsim::Fault::kNoReply, 1});
  EXPECT_EQ(brin_rx_playlist(0, 0), -1);
  EXPECT_EQ(velmora::testing::read_file("img/list0.txt"), "kept\n");
}

}  // namespace
