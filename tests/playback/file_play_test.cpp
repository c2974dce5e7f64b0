// The file worker on copies made by the disk-to-PC copy and on damaged
// index files: what it hands to the channel, positioning by time, the
// single-frame view and the test feed.
#include "playback_fixture.h"

namespace pbtest {
namespace {

class FilePlayTest : public PlaybackTest {
 protected:
  // A copy of the whole disk, opened for file playback.
  void copy_and_open() {
    attach(two_runs());
    start_ = T(2024, 5, 1, 10, 0, 0);
    end_ = T(2024, 5, 1, 10, 30, 8);
    folder_ = dir_.file("copy");
    ASSERT_EQ(copy(folder_, start_, end_), 200);
    gops_ = copied_gops(manifest_, start_, end_);
    ASSERT_EQ(gops_.size(), 23u);
    ASSERT_EQ(playfile(data().c_str(), index().c_str(), ""), 0);
    ASSERT_TRUE(brin::play::control().file_running.load());
  }
  std::string data() const { return folder_ + "/ZEB.dat"; }
  std::string index() const { return folder_ + "/.index"; }

  // Steps one GOP with control and returns what was handed over (nothing:
  // an empty hand-over).
  HandOver step(int32_t (*control)(void)) {
    const size_t before = channel_.accepted_count();
    EXPECT_EQ(control(), 0);
    EXPECT_TRUE(file_idle());
    const auto got = channel_.accepted();
    return got.size() > before ? got.back() : HandOver{};
  }

  RecTime start_, end_;
  std::string folder_;
  std::vector<const zebdisk::GopInfo*> gops_;
};

TEST_F(FilePlayTest, PlayfileNeedsBothFiles) {
  EXPECT_EQ(file_read_stop(), -1);
  EXPECT_EQ(file_search(0), -1);
  copy_and_open();
  EXPECT_EQ(playfile(dir_.file("none.dat").c_str(), index().c_str(), ""), -1);
  EXPECT_EQ(playfile(data().c_str(), dir_.file("none.index").c_str(), ""), -1);
  EXPECT_EQ(playfile(nullptr, index().c_str(), ""), -1);
  // A refused playfile has ended the file playback before.
  EXPECT_FALSE(brin::play::control().file_running.load());
  EXPECT_EQ(file_read_stop(), -1);
}

TEST_F(FilePlayTest, PlayHandsOverTheSameGopsAsDiskPlayOfTheSpan) {
  copy_and_open();
  ASSERT_EQ(file_play_start(), 0);
  ASSERT_TRUE(file_idle());
  const auto from_file = channel_.accepted();
  expect_gops(from_file, gops_, brin::play::kModeNormal, 0);
  // The same span played from the disk.
  channel_.clear();
  ASSERT_EQ(search_play(S(start_)), 1);
  ASSERT_EQ(hdd_read_start(), 0);
  ASSERT_EQ(hdd_play_start(), 0);
  ASSERT_TRUE(hdd_idle());
  const auto from_disk = channel_.accepted();
  ASSERT_GE(from_disk.size(), from_file.size());
  for (size_t i = 0; i < from_file.size(); ++i) {
    EXPECT_TRUE(from_disk[i].bytes == from_file[i].bytes) << "GOP " << i;
    EXPECT_EQ(from_disk[i].mode, from_file[i].mode);
  }
}

TEST_F(FilePlayTest, FastForwardHandsOverEveryGopAtEverySpeed) {
  copy_and_open();
  for (int32_t speed = 0; speed <= 6; ++speed) {
    SCOPED_TRACE(speed);
    channel_.clear();
    ASSERT_EQ(file_search(S(start_)), 0);
    ASSERT_EQ(file_play_forward(speed), 0);
    ASSERT_TRUE(file_idle());
    expect_gops(channel_.accepted(), gops_, brin::play::kModeSingle, speed);
  }
}

TEST_F(FilePlayTest, BackwardPlayRunsToTheFirstGopThenStopsAndRewinds) {
  copy_and_open();
  ASSERT_EQ(file_search(S(end_)), 0);
  ASSERT_EQ(file_play_back(3), 0);
  ASSERT_TRUE(file_idle());
  std::vector<const zebdisk::GopInfo*> want(gops_.rbegin() + 1, gops_.rend());
  expect_gops(channel_.accepted(), want, brin::play::kModeSingle, 3);
  // Rewound: backward again hands nothing over, forward starts at the first.
  channel_.clear();
  ASSERT_EQ(file_play_back(3), 0);
  ASSERT_TRUE(file_idle());
  EXPECT_TRUE(channel_.accepted().empty());
  EXPECT_TRUE(step(file_one_play).bytes == gops_[0]->frame_bytes);
}

TEST_F(FilePlayTest, StepsGoOneGopForwardAndBack) {
  copy_and_open();
  const HandOver a = step(file_one_play);
  const HandOver b = step(file_one_play);
  const HandOver c = step(file_one_play);
  EXPECT_TRUE(a.bytes == gops_[0]->frame_bytes);
  EXPECT_TRUE(b.bytes == gops_[1]->frame_bytes);
  EXPECT_TRUE(c.bytes == gops_[2]->frame_bytes);
  EXPECT_EQ(a.mode, brin::play::kModeSingle);
  EXPECT_EQ(a.speed, 0);
  // Back from the position after the third: the third, the second, the
  // first, then nothing (the first GOP is reached). The speed is shared with
  // disk play, whose controls set it here without any play starting.
  hdd_play_forward(5);
  hdd_play_stop();
  EXPECT_EQ(brin::play::control().speed.load(), 5);
  const HandOver d = step(file_one_back);
  EXPECT_TRUE(d.bytes == gops_[2]->frame_bytes);
  EXPECT_EQ(d.speed, 0);
  EXPECT_TRUE(step(file_one_back).bytes == gops_[1]->frame_bytes);
  EXPECT_TRUE(step(file_one_back).bytes == gops_[0]->frame_bytes);
  EXPECT_TRUE(step(file_one_back).bytes.empty());
  EXPECT_TRUE(step(file_one_play).bytes == gops_[0]->frame_bytes);
}

TEST_F(FilePlayTest, ForwardPlayEndsOnTheLastGopAndStaysThere) {
  copy_and_open();
  ASSERT_EQ(file_search(S(end_)), 0);
  EXPECT_TRUE(step(file_one_play).bytes == gops_.back()->frame_bytes);
  EXPECT_TRUE(step(file_one_play).bytes == gops_.back()->frame_bytes);
}

TEST_F(FilePlayTest, SearchPositionsProportionallyInTheIndex) {
  copy_and_open();
  uint32_t first = 0, last = 0;
  ASSERT_EQ(file_read_start_end_sec(&first, &last), 0);
  EXPECT_EQ(first, S(start_));
  EXPECT_EQ(last, S(end_));
  EXPECT_EQ(file_search(first - 1), -2);
  EXPECT_EQ(file_search(last + 1), -2);
  ASSERT_EQ(file_search(first), 0);
  EXPECT_TRUE(step(file_one_play).bytes == gops_.front()->frame_bytes);
  ASSERT_EQ(file_search(last), 0);
  EXPECT_TRUE(step(file_one_play).bytes == gops_.back()->frame_bytes);
  // Not looked up: a time in the gap lands at its share of the records.
  const uint32_t t = S(T(2024, 5, 1, 10, 15, 0));
  const uint64_t k = (gops_.size() - 1) * uint64_t{t - first} / (last - first);
  ASSERT_EQ(file_search(t), 0);
  EXPECT_TRUE(step(file_one_play).bytes == gops_[k]->frame_bytes);
  // A refused search leaves the position.
  EXPECT_EQ(file_search(last + 100), -2);
  EXPECT_TRUE(step(file_one_play).bytes == gops_[k + 1]->frame_bytes);
}

TEST_F(FilePlayTest, ARefusedHandOverThenIdleLetsTheSearchGoAhead) {
  copy_and_open();
  channel_.refuse_every(1);
  ASSERT_EQ(file_play_start(), 0);
  ASSERT_TRUE(velmora::testing::wait_until([] { return brin::play::control().file_busy.load() == 1; }, 10s));
  ASSERT_EQ(file_play_stop(), 0);
  // Going idle clears busy, so nothing waits for an accepted hand-over.
  EXPECT_TRUE(velmora::testing::wait_until(
      [] { return brin::play::control().file_busy.load() == 0 && brin::play::control().file_active.load() == 0; }, 2s));
  channel_.refuse_every(0);
  ASSERT_EQ(file_search(S(end_)), 0);
  EXPECT_TRUE(step(file_one_play).bytes == gops_.back()->frame_bytes);
}

TEST_F(FilePlayTest, ARefusedGopIsOfferedAgain) {
  copy_and_open();
  channel_.refuse_every(3);
  ASSERT_EQ(file_play_start(), 0);
  ASSERT_TRUE(file_idle());
  expect_gops(channel_.accepted(), gops_, brin::play::kModeNormal, 0);
}

TEST_F(FilePlayTest, ANewPlayfileReplacesTheRunningOne) {
  copy_and_open();
  channel_.refuse_every(1);
  ASSERT_EQ(file_play_start(), 0);
  ASSERT_TRUE(velmora::testing::wait_until([&] { return channel_.log().size() > 2; }, 10s));
  const std::string other = dir_.file("other");
  ASSERT_EQ(copy(other, T(2024, 5, 1, 10, 30, 2), T(2024, 5, 1, 10, 30, 4)), 200);
  hdd_play_start();
  ASSERT_EQ(playfile((other + "/ZEB.dat").c_str(), (other + "/.index").c_str(), ""), 0);
  // Idle, disk play stopped, at the new copy's first GOP.
  EXPECT_EQ(brin::play::control().file_state.load(), 0);
  EXPECT_EQ(brin::play::control().hdd_state.load(), 0);
  channel_.refuse_every(0);
  channel_.clear();
  ASSERT_EQ(file_play_start(), 0);
  ASSERT_TRUE(file_idle());
  expect_gops(channel_.accepted(), copied_gops(manifest_, T(2024, 5, 1, 10, 30, 2), T(2024, 5, 1, 10, 30, 4)),
              brin::play::kModeNormal, 0);
}

// A copy written by hand: frames of known sizes and an index of chosen
// offsets.
class HandMadeCopyTest : public PlaybackTest {
 protected:
  std::vector<uint8_t> frame(uint32_t payload, uint8_t fill) {
    zebsim::FrameSpec spec;
    std::vector<uint8_t> p(payload, fill);
    return zebsim::frame_record(spec, p.data(), p.size());
  }
  void write_copy(const std::vector<uint8_t>& data, const std::vector<uint64_t>& offsets) {
    std::vector<uint8_t> index;
    for (size_t i = 0; i < offsets.size(); ++i) {
      brin::copyfile::Record r;
      r.offset = offsets[i];
      r.time = T(2024, 5, 1, 12, 0, static_cast<int>(i));
      uint8_t raw[24];
      brin::copyfile::encode_record(r, raw);
      index.insert(index.end(), raw, raw + 24);
    }
    ASSERT_TRUE(zebsim::write_binary_file(dir_.file("ZEB.dat"), data));
    ASSERT_TRUE(zebsim::write_binary_file(dir_.file(".index"), index));
  }
  void open() { ASSERT_EQ(playfile(dir_.file("ZEB.dat").c_str(), dir_.file(".index").c_str(), ""), 0); }
  std::vector<std::vector<uint8_t>> play(int32_t (*control)(void)) {
    EXPECT_EQ(control(), 0);
    EXPECT_TRUE(file_idle());
    std::vector<std::vector<uint8_t>> out;
    for (const HandOver& h : channel_.accepted()) out.push_back(h.bytes);
    channel_.clear();
    return out;
  }
};

TEST_F(HandMadeCopyTest, GopsOfImpossibleLengthArePassedOver) {
  const auto a = frame(100, 1), b = frame(200, 2), c = frame(300, 3);
  std::vector<uint8_t> data;
  for (const auto* f : {&a, &b, &c}) data.insert(data.end(), f->begin(), f->end());
  const uint64_t ab = a.size() + b.size();
  // GOP 1 ends before it starts, GOP 3 runs past the end of the data; GOP 4
  // starts there.
  write_copy(data, {0, ab, a.size(), ab, data.size() + 10});
  open();
  std::vector<uint8_t> gop0(data.begin(), data.begin() + static_cast<long>(ab));
  std::vector<uint8_t> gop2(data.begin() + static_cast<long>(a.size()), data.begin() + static_cast<long>(ab));
  const auto forward = play(file_play_start);
  ASSERT_EQ(forward.size(), 2u);
  EXPECT_TRUE(forward[0] == gop0);
  EXPECT_TRUE(forward[1] == gop2);
  // Backward from the last record: only the good GOPs again.
  const auto backward = play([]() -> int32_t { return file_play_back(1); });
  ASSERT_EQ(backward.size(), 2u);
  EXPECT_TRUE(backward[0] == gop2);
  EXPECT_TRUE(backward[1] == gop0);
}

TEST_F(HandMadeCopyTest, AGopLargerThanTheFrameBufferIsPassedOver) {
  const auto a = frame(1000, 1), big = frame(2097152, 7), c = frame(300, 3);
  std::vector<uint8_t> data;
  for (const auto* f : {&a, &big, &c}) data.insert(data.end(), f->begin(), f->end());
  write_copy(data, {0, a.size(), a.size() + big.size()});
  open();
  const auto forward = play(file_play_start);
  ASSERT_EQ(forward.size(), 2u);
  EXPECT_TRUE(forward[0] == a);
  EXPECT_TRUE(forward[1] == c);
}

TEST_F(HandMadeCopyTest, AnIndexWithoutAWholeRecordPlaysNothing) {
  ASSERT_TRUE(zebsim::write_binary_file(dir_.file("ZEB.dat"), frame(10, 1)));
  ASSERT_TRUE(zebsim::write_binary_file(dir_.file(".index"), std::vector<uint8_t>(23, 0)));
  open();
  // No worker runs for it: nothing to stop, search or play.
  EXPECT_FALSE(brin::play::control().file_running.load());
  EXPECT_EQ(file_read_stop(), -1);
  EXPECT_EQ(file_search(0), -1);
  uint32_t first = 7, last = 7;
  ASSERT_EQ(file_read_start_end_sec(&first, &last), 0);
  EXPECT_EQ(first, 0u);
  EXPECT_EQ(last, 0u);
}

TEST_F(HandMadeCopyTest, ACopyCutShortInARecordEndsAtTheLastWholeOne) {
  const auto a = frame(100, 1), b = frame(200, 2);
  std::vector<uint8_t> data(a);
  data.insert(data.end(), b.begin(), b.end());
  write_copy(data, {0, a.size()});
  std::vector<uint8_t> index = file_bytes(dir_.file(".index"));
  index.resize(index.size() + 10, 0xEE);
  ASSERT_TRUE(zebsim::write_binary_file(dir_.file(".index"), index));
  open();
  uint32_t first = 0, last = 0;
  file_read_start_end_sec(&first, &last);
  EXPECT_EQ(first, S(T(2024, 5, 1, 12, 0, 0)));
  EXPECT_EQ(last, S(T(2024, 5, 1, 12, 0, 1)));
  const auto forward = play(file_play_start);
  ASSERT_EQ(forward.size(), 2u);
  EXPECT_TRUE(forward[1] == b);
}

TEST_F(HandMadeCopyTest, OneFrameViewHandsOverTheFileAsItIs) {
  EXPECT_EQ(one_farme_view(dir_.file("none.mpi").c_str(), ""), -1);
  const auto f = frame(5000, 9);
  ASSERT_TRUE(zebsim::write_binary_file(dir_.file("a.mpi"), f));
  hdd_play_start();
  file_play_start();
  ASSERT_EQ(one_farme_view(dir_.file("a.mpi").c_str(), ""), 0);
  EXPECT_EQ(brin::play::control().hdd_state.load(), 0);
  EXPECT_EQ(brin::play::control().file_state.load(), 0);
  const auto got = channel_.accepted();
  ASSERT_EQ(got.size(), 1u);
  EXPECT_TRUE(got[0].bytes == f);
  EXPECT_EQ(got[0].mode, brin::play::kModeNormal);
  // A frame of the largest payload a ring slot takes is handed over whole.
  const auto largest = frame(262144, 4);
  ASSERT_TRUE(zebsim::write_binary_file(dir_.file("b.mpi"), largest));
  ASSERT_EQ(one_farme_view(dir_.file("b.mpi").c_str(), ""), 0);
  EXPECT_TRUE(channel_.accepted().back().bytes == largest);
}

TEST_F(HandMadeCopyTest, PlaytestHandsOverWhatTheStoreHolds) {
  EXPECT_EQ(playtest(), 0);
  const auto a = frame(10, 1), b = frame(20, 2), c = frame(30, 3);
  ASSERT_TRUE(brin::play::testing::feed_test_frame(a.data(), static_cast<int32_t>(a.size())));
  ASSERT_TRUE(brin::play::testing::feed_test_frame(b.data(), static_cast<int32_t>(b.size())));
  EXPECT_FALSE(brin::play::testing::feed_test_frame(c.data(), static_cast<int32_t>(c.size())));
  EXPECT_EQ(playtest(), 2);
  const auto got = channel_.accepted();
  ASSERT_EQ(got.size(), 2u);
  EXPECT_TRUE(got[0].bytes == a);
  EXPECT_TRUE(got[1].bytes == b);
}

}  // namespace
}  // namespace pbtest
