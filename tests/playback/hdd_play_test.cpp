// The disk worker against the frames the image writer put on the disk: which
// GOPs it hands to the channel, in which order, with which mode and speed.
#include <random>
#include <set>
#include <thread>

#include "playback_fixture.h"

namespace pbtest {
namespace {

using HddPlayTest = PlaybackTest;

TEST_F(HddPlayTest, ReadStartRefusesASecondWorkerAndStopEndsIt) {
  attach(two_runs());
  EXPECT_EQ(hdd_read_start(), 0);
  EXPECT_EQ(hdd_read_start(), -1);
  EXPECT_EQ(hdd_read_stop(), 0);
  ASSERT_TRUE(velmora::testing::wait_until([] { return !brin::play::control().hdd_running.load(); }, 10s));
  EXPECT_EQ(hdd_read_stop(), -1);
  // A stopped worker can be started again, and it ends with its state idle.
  hdd_play_start();
  EXPECT_EQ(hdd_read_start(), 0);
  ASSERT_TRUE(hdd_idle());
  EXPECT_FALSE(channel_.accepted().empty());
}

TEST_F(HddPlayTest, PlayHandsOverEveryGopInOrderThenStops) {
  attach(two_runs());
  ReaderModel model(manifest_);
  model.at_oldest();
  const auto want = model.all_next();
  ASSERT_EQ(want.size(), 23u);
  ASSERT_EQ(hdd_read_start(), 0);
  ASSERT_EQ(hdd_play_start(), 0);
  ASSERT_TRUE(hdd_idle());
  expect_gops(channel_.accepted(), want, brin::play::kModeNormal, 0);
  // The sound is changed before the first GOP of the new state.
  const auto log = channel_.log();
  ASSERT_FALSE(log.empty());
  EXPECT_TRUE(log.front().sound_change());
}

TEST_F(HddPlayTest, PlayStartsWhereTheTimeSearchPutThePosition) {
  attach(two_runs());
  const RecTime at = T(2024, 5, 1, 10, 0, 7);
  ASSERT_EQ(search_play(S(at)), 1);
  ReaderModel model(manifest_);
  model.at(at);
  ASSERT_EQ(hdd_read_start(), 0);
  ASSERT_EQ(hdd_play_start(), 0);
  ASSERT_TRUE(hdd_idle());
  const auto got = channel_.accepted();
  expect_gops(got, model.all_next(), brin::play::kModeNormal, 0);
  ASSERT_FALSE(got.empty());
  EXPECT_TRUE(got.front().bytes == manifest_.records[2].gops[1].frame_bytes);
}

struct SpeedRow {
  int32_t speed;
  int step;              // GOPs the reader moves at a time
  int32_t handed_speed;  // the speed code handed over
};

class HddSpeedTest : public PlaybackTest, public ::testing::WithParamInterface<SpeedRow> {};

TEST_P(HddSpeedTest, FastForwardThinsOutAtFourAndAbove) {
  const SpeedRow row = GetParam();
  attach(two_runs());
  ReaderModel model(manifest_);
  model.at_oldest();
  const auto want = model.all_next(row.step);
  ASSERT_EQ(hdd_read_start(), 0);
  ASSERT_EQ(hdd_play_forward(row.speed), 0);
  ASSERT_TRUE(hdd_idle());
  expect_gops(channel_.accepted(), want, brin::play::kModeSingle, row.handed_speed);
}

TEST_P(HddSpeedTest, FastBackwardThinsOutAtFourAndAbove) {
  const SpeedRow row = GetParam();
  attach(two_runs());
  ASSERT_EQ(search_play(S(T(2024, 6, 1, 0, 0, 0))), 2);
  ReaderModel model(manifest_);
  model.at_newest();
  const auto want = model.all_previous(row.step);
  ASSERT_EQ(hdd_read_start(), 0);
  ASSERT_EQ(hdd_play_back(row.speed), 0);
  ASSERT_TRUE(hdd_idle());
  expect_gops(channel_.accepted(), want, brin::play::kModeSingle, row.handed_speed);
}

INSTANTIATE_TEST_SUITE_P(Speeds, HddSpeedTest,
                         ::testing::Values(SpeedRow{0, 1, 0}, SpeedRow{1, 1, 1}, SpeedRow{2, 1, 2}, SpeedRow{3, 1, 3},
                                           SpeedRow{4, 2, 3}, SpeedRow{5, 4, 3}, SpeedRow{6, 4, 4}),
                         [](const auto& info) { return "Speed" + std::to_string(info.param.speed); });

TEST_F(HddPlayTest, OneStepHandsOverOneGopAndReturnsToIdle) {
  attach(two_runs());
  ReaderModel model(manifest_);
  model.at_oldest();
  // The steps back take the speed set last (set before the worker runs, so
  // that it never plays forward).
  hdd_play_forward(2);
  hdd_play_stop();
  ASSERT_EQ(hdd_read_start(), 0);
  std::vector<const zebdisk::GopInfo*> want;
  std::vector<int32_t> speeds;
  auto step = [&](int32_t (*control)(void), const zebdisk::GopInfo* expected, int32_t speed) {
    const size_t before = channel_.accepted_count();
    ASSERT_EQ(control(), 0);
    ASSERT_TRUE(hdd_idle());
    EXPECT_EQ(channel_.accepted_count(), before + 1);
    want.push_back(expected);
    speeds.push_back(speed);
  };
  step(hdd_one_play, model.next(), 0);
  step(hdd_one_play, model.next(), 0);
  step(hdd_one_play, model.next(), 0);
  step(hdd_one_back, model.previous(), 2);
  step(hdd_one_back, model.previous(), 2);
  const auto got = channel_.accepted();
  ASSERT_EQ(got.size(), want.size());
  for (size_t i = 0; i < got.size(); ++i) {
    EXPECT_TRUE(got[i].bytes == want[i]->frame_bytes) << "step " << i;
    EXPECT_EQ(got[i].mode, brin::play::kModeSingle);
    EXPECT_EQ(got[i].speed, speeds[i]);
  }
}

TEST_F(HddPlayTest, RefusedGopsAreOfferedAgainUntilAccepted) {
  attach(two_runs());
  ReaderModel model(manifest_);
  model.at_oldest();
  const auto want = model.all_next();
  channel_.refuse_every(2);
  ASSERT_EQ(hdd_read_start(), 0);
  ASSERT_EQ(hdd_play_start(), 0);
  ASSERT_TRUE(hdd_idle());
  expect_gops(channel_.accepted(), want, brin::play::kModeNormal, 0);
  // Each refused offer is followed by the same GOP again.
  const auto log = channel_.log();
  int refused = 0;
  for (size_t i = 0; i + 1 < log.size(); ++i) {
    if (log[i].sound_change() || log[i].accepted) continue;
    ++refused;
    EXPECT_TRUE(log[i].bytes == log[i + 1].bytes);
  }
  EXPECT_GE(refused, static_cast<int>(want.size()) - 1);
}

TEST_F(HddPlayTest, ADamagedChunkEndsPlayAndPlayGoesOnAfterIt) {
  zebdisk::DiskSpec spec = two_runs();
  spec.runs[0].lost_chunks = {{1, 1}};
  attach(spec);
  const zebdisk::GopInfo& lost = manifest_.records[1].gops[1];
  ASSERT_FALSE(lost.readable);
  ReaderModel model(manifest_);
  model.at_oldest();
  auto all = model.all_next();
  ASSERT_EQ(hdd_read_start(), 0);
  ASSERT_EQ(hdd_play_start(), 0);
  ASSERT_TRUE(hdd_idle());
  // Up to the damaged GOP.
  const auto first = channel_.accepted();
  ASSERT_EQ(first.size(), 4u);
  std::vector<const zebdisk::GopInfo*> want(all.begin(), all.begin() + 4);
  expect_gops(first, want, brin::play::kModeNormal, 0);
  // Play again: from the GOP after it to the end.
  channel_.clear();
  ASSERT_EQ(hdd_play_start(), 0);
  ASSERT_TRUE(hdd_idle());
  want.assign(all.begin() + 5, all.end());
  expect_gops(channel_.accepted(), want, brin::play::kModeNormal, 0);
}

TEST_F(HddPlayTest, ControlsSetTheStateAlsoWithoutAWorker) {
  attach(two_runs());
  hdd_play_forward(5);
  EXPECT_EQ(brin::play::control().hdd_state.load(), brin::play::kForward);
  EXPECT_EQ(brin::play::control().speed.load(), 5);
  hdd_one_back();
  EXPECT_EQ(brin::play::control().hdd_state.load(), brin::play::kStepBackward);
  hdd_play_start();
  EXPECT_TRUE(channel_.log().empty());
  // The worker takes the state up when it starts.
  ASSERT_EQ(hdd_read_start(), 0);
  ASSERT_TRUE(hdd_idle());
  EXPECT_EQ(channel_.accepted().size(), 23u);
}

TEST_F(HddPlayTest, ControlsFromAnotherThreadWhilePlayingLeaveWholeGops) {
  zebdisk::DiskSpec spec = two_runs();
  spec.runs[0].end = T(2024, 5, 1, 10, 1, 0);
  attach(spec);
  std::set<std::vector<uint8_t>> gops;
  for (const zebdisk::RecordInfo& r : manifest_.records)
    for (const zebdisk::GopInfo& g : r.gops) gops.insert(g.frame_bytes);
  ASSERT_EQ(hdd_read_start(), 0);
  std::atomic<bool> done{false};
  // The viewer's picture timer beside the controls.
  std::thread timer([&] {
    velmora::testing::TempDir pictures;
    velmora::testing::ScopedCwd cwd(pictures.path());
    while (!done.load()) {
      int32_t layout = 0, a = 0, b = 0, idle = 0;
      uint32_t time = 0;
      make_bmp(&layout, &a, &b, &time, &idle);
      std::this_thread::sleep_for(1ms);
    }
  });
  std::mt19937 random(7);
  for (int i = 0; i < 300; ++i) {
    switch (random() % 8) {
      case 0: hdd_play_start(); break;
      case 1: hdd_play_stop(); break;
      case 2: hdd_play_forward(static_cast<int32_t>(random() % 7)); break;
      case 3: hdd_play_back(static_cast<int32_t>(random() % 7)); break;
      case 4: hdd_one_play(); break;
      case 5: hdd_one_back(); break;
      case 6: search_play(S(T(2024, 5, 1, 10, 0, static_cast<int>(random() % 60)))); break;
      default: skip_foward(); break;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(random() % 3000));
  }
  done = true;
  timer.join();
  hdd_play_stop();
  ASSERT_EQ(hdd_read_stop(), 0);
  ASSERT_TRUE(velmora::testing::wait_until([] { return !brin::play::control().hdd_running.load(); }, 10s));
  const auto got = channel_.accepted();
  EXPECT_FALSE(got.empty());
  for (const HandOver& h : got) EXPECT_TRUE(gops.count(h.bytes) == 1) << "a hand-over that is no whole GOP";
}

}  // namespace
}  // namespace pbtest
