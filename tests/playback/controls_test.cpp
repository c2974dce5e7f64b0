// The play-state controls, the "PLAYMODE" lock around them, and the
// pass-throughs to the channel library.
#include <thread>

#include "OvoDec1.h"
#include "playback_fixture.h"
#include "velmora/sync.h"

namespace pbtest {
namespace {

using ControlsTest = PlaybackTest;
using brin::play::control;

TEST_F(ControlsTest, EachControlSetsItsStateAndTheSharedSpeed) {
  struct Row {
    int32_t (*call)();
    const std::atomic<int32_t>* state;
    int32_t want;
  };
  const Row rows[] = {
      {hdd_play_start, &control().hdd_state, 1},   {hdd_one_play, &control().hdd_state, 4},
      {hdd_one_back, &control().hdd_state, 5},     {hdd_play_stop, &control().hdd_state, 0},
      {file_play_start, &control().file_state, 1}, {file_one_play, &control().file_state, 4},
      {file_one_back, &control().file_state, 5},   {file_play_stop, &control().file_state, 0},
  };
  for (const Row& r : rows) {
    EXPECT_EQ(r.call(), 0);
    EXPECT_EQ(r.state->load(), r.want);
  }
  EXPECT_EQ(hdd_play_forward(3), 0);
  EXPECT_EQ(control().hdd_state.load(), 2);
  EXPECT_EQ(file_play_back(6), 0);
  EXPECT_EQ(control().file_state.load(), 3);
  EXPECT_EQ(control().speed.load(), 6);
  EXPECT_EQ(hdd_play_back(1), 0);
  EXPECT_EQ(control().hdd_state.load(), 3);
  EXPECT_EQ(file_play_forward(2), 0);
  EXPECT_EQ(control().file_state.load(), 2);
  EXPECT_EQ(control().speed.load(), 2);
}

TEST_F(ControlsTest, ControlsWaitForThePlaymodeLock) {
  std::mutex& playmode = vp::named_mutex("PLAYMODE");
  std::unique_lock<std::mutex> held(playmode);
  std::atomic<bool> returned{false};
  std::thread viewer([&] {
    hdd_play_forward(4);
    returned = true;
  });
  // Held elsewhere, nothing changes.
  std::this_thread::sleep_for(50ms);
  EXPECT_FALSE(returned.load());
  EXPECT_EQ(control().hdd_state.load(), 0);
  held.unlock();
  EXPECT_TRUE(velmora::testing::wait_until([&] { return returned.load(); }, 30s));
  viewer.join();
  EXPECT_EQ(control().hdd_state.load(), 2);
  EXPECT_EQ(control().speed.load(), 4);
}

TEST_F(ControlsTest, ViewerModeTakesChannelsZeroToSevenOnly) {
  EXPECT_EQ(Ovo_set_viewer_mode(8, 0), -1);
  EXPECT_EQ(Ovo_set_viewer_mode(-1, 0), -1);
  EXPECT_EQ(Ovo_set_viewer_mode(0, 0), 0);
  EXPECT_EQ(Ovo_set_viewer_mode(7, 0), 0);
}

TEST_F(ControlsTest, PassThroughsReachTheChannelLibrary) {
  Channel::uninstall();
  ASSERT_EQ(Ovo_play_open(0, "", "", 0), 0);
  EXPECT_EQ(audio_set(1), 0);
  EXPECT_EQ(get_dec_sts(), 0);
  // A stream whose start cannot be decoded sets the decoder error.
  zebsim::FrameSpec spec;
  const std::vector<uint8_t> junk(200, 0x11);
  const auto frame = zebsim::frame_record(spec, junk.data(), junk.size());
  ASSERT_TRUE(velmora::testing::wait_until(
      [&] {
        play_add_ring1(0, frame.data(), static_cast<int32_t>(frame.size()), 0, 0);
        return get_dec_sts() == 1;
      },
      10s));
  EXPECT_EQ(clear_dec_err(), 0);
  EXPECT_EQ(err_flag_status(), 0);
  EXPECT_EQ(set_init_dec(), 0);
  EXPECT_EQ(play_end(), 0);
  audio_set(0);
  uint8_t picture[16] = {};
  int32_t w = -1, h = -1;
  EXPECT_EQ(get_bmp(picture, &w, &h, 9), 0);
}

}  // namespace
}  // namespace pbtest
