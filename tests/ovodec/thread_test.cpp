// The decode thread with the stand-in decoder: what each hand-over shows, the
// error flag, the thread's life, the camera-set summary, the picture time,
// snapshots, and pacing by the timer.
#include <gtest/gtest.h>

#include <atomic>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>

#include "ovodec_fixture.h"
#include "velmora/clock.h"
#include "velmora/rectime.h"

namespace {

using namespace ovotest;

// The threads of this process the kernel lists with a name starting "ovo-":
// the engine's own.
size_t engine_threads() {
  size_t n = 0;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(task.path() / "comm");
    std::string name;
    if (std::getline(comm, name) && name.rfind("ovo-", 0) == 0) ++n;
  }
  return n;
}
using velmora::testing::wait_until;

constexpr int kW = 16, kH = 8;

class ThreadTest : public EngineTest {
 protected:
  void open() { ASSERT_EQ(Ovo_play_open1(0, 0, 0, 0), 0); }
  // The luma (17 to 255, where the conversion tells them apart) every pixel
  // of the current picture converts from; -1 without a picture, -2 for
  // another picture.
  int current_value(int32_t* count = nullptr, int32_t* first = nullptr, int32_t* second = nullptr,
                    uint32_t* time = nullptr) {
    int32_t c, f, s;
    uint32_t t;
    std::vector<uint8_t> rgb(ovo::kMaxRgbBytes, 0);
    if (get_bmpdata(count ? count : &c, first ? first : &f, second ? second : &s, rgb.data(), time ? time : &t) != 0) {
      return -1;
    }
    for (int y = 17; y < 256; ++y) {
      if (rgb[0] == grey_rgb(y) &&
          std::all_of(rgb.begin(), rgb.begin() + kW * kH * 3, [&](uint8_t b) { return b == rgb[0]; })) {
        return y;
      }
    }
    return -2;
  }
  std::vector<uint8_t> first_record(uint8_t value, zebsim::FrameSpec spec = video_spec()) {
    return record(spec, fake_headers(kW, kH, value));
  }
};

TEST_F(ThreadTest, EachHandOverShowsTheRecordHandedOver) {
  open();
  // Stepped one at a time: the picture after each hand-over is that record's.
  ASSERT_TRUE(hand_over(first_record(40), 1, 6));
  ASSERT_TRUE(wait_pictures(1));
  EXPECT_EQ(current_value(), 40);
  for (int i = 1; i <= 5; ++i) {
    const uint8_t value = static_cast<uint8_t>(40 + 20 * i);
    ASSERT_TRUE(hand_over(record(video_spec(), fake_picture(value)), 1, 6));
    ASSERT_TRUE(wait_pictures(1 + i));
    EXPECT_EQ(current_value(), value) << i;
  }
  // The last record of a stream is shown too.
  std::vector<uint8_t> tail;
  for (uint8_t v : {50, 60, 70}) append(tail, video_spec(1000), fake_picture(v));
  ASSERT_TRUE(hand_over(tail));
  ASSERT_TRUE(wait_pictures(9));
  EXPECT_EQ(current_value(), 70);
  // Nothing is decoded twice.
  EXPECT_EQ(FakeDecoder::decodes.load(), 9);
}

// A caller fetching the current picture converts its own copy: while it
// converts, the next picture still becomes current. A fetch that held the
// current picture's lock through the conversion would hold the presenter
// up for as long as the conversion takes, and a caller fetching every
// millisecond would make the pictures late.
std::atomic<bool> g_presented_during_fetch{false};
void present_next_during_fetch() {
  lib().engine.set_fetch_hook_for_test(nullptr);
  g_presented_during_fetch.store(hand_over(record(video_spec(), fake_picture(60)), 1, 6) &&
                                 velmora::testing::wait_until([] { return lib().engine.pictures_decoded() >= 2; },
                                                              std::chrono::milliseconds(10000)));
}

TEST_F(ThreadTest, APictureBecomesCurrentWhileACallerConvertsTheOneBefore) {
  open();
  ASSERT_TRUE(hand_over(first_record(40), 1, 6));
  ASSERT_TRUE(wait_pictures(1));
  g_presented_during_fetch.store(false);
  lib().engine.set_fetch_hook_for_test(present_next_during_fetch);
  // The fetch gives the picture current when it began.
  EXPECT_EQ(current_value(), 40);
  EXPECT_TRUE(g_presented_during_fetch.load());
  EXPECT_EQ(current_value(), 60);
}

TEST_F(ThreadTest, ErrorFlagForAStreamWithoutAHeader) {
  open();
  EXPECT_EQ(err_flag_status(), 0);
  ASSERT_TRUE(hand_over(record(video_spec(), fake_picture(100))));  // no stream header
  ASSERT_TRUE(wait_until([] { return err_flag_status() == 1; }, std::chrono::seconds(10)));
  EXPECT_EQ(err_flag_reset(), 0);
  EXPECT_EQ(err_flag_status(), 0);
  ASSERT_TRUE(hand_over(record(video_spec(), {1, 2, 3})));
  ASSERT_TRUE(wait_until([] { return err_flag_status() == 1; }, std::chrono::seconds(10)));
  // It stays set until a stream starts.
  vp::sleep_ms(30);
  EXPECT_EQ(err_flag_status(), 1);
  ASSERT_TRUE(hand_over(first_record(90)));
  ASSERT_TRUE(wait_pictures(1));
  EXPECT_EQ(err_flag_status(), 0);
  EXPECT_EQ(current_value(), 90);
}

TEST_F(ThreadTest, AudioBeforeTheFirstVideoRecordIsPassedOver) {
  open();
  std::vector<uint8_t> buffer;
  append(buffer, audio_spec(), std::vector<uint8_t>(168, 0xD5));
  append(buffer, audio_spec(), std::vector<uint8_t>(168, 0xD5));
  append(buffer, video_spec(), fake_headers(kW, kH, 33));
  ASSERT_TRUE(hand_over(buffer));
  ASSERT_TRUE(wait_pictures(1));
  EXPECT_EQ(current_value(), 33);
  EXPECT_EQ(err_flag_status(), 0);
}

TEST_F(ThreadTest, OneDecodeThreadPerRing) {
  auto started = [](uint64_t n) {
    return wait_until([&] { return lib().engine.decode_threads_started() >= n; }, std::chrono::seconds(10));
  };
  open();
  open();
  ASSERT_TRUE(started(1));
  EXPECT_GE(engine_threads(), 1u);
  vp::sleep_ms(20);
  EXPECT_EQ(lib().engine.decode_threads_started(), 1u);
  EXPECT_EQ(lib().worker.running(), ovo::WorkerKind::kDecode);
  // Stopped and opened again at once: the old thread ends, a new one runs.
  EXPECT_EQ(stop_play_thread(), 0);
  open();
  ASSERT_TRUE(started(2));
  EXPECT_EQ(lib().worker.running(), ovo::WorkerKind::kDecode);
  ASSERT_TRUE(hand_over(first_record(77)));
  ASSERT_TRUE(wait_pictures(1));
  EXPECT_EQ(current_value(), 77);
  EXPECT_EQ(stop_play_thread(), 0);
  // The wait for the end leaves no thread of the engine in the process,
  // not even one still on its way out.
  EXPECT_EQ(Ovo_wait_play_end1(0, 10000), 0);
  EXPECT_EQ(engine_threads(), 0u);
  EXPECT_EQ(Ovo_wait_play_end1(0, 0), 0);
}

TEST_F(ThreadTest, ThePictureOutlivesTheThread) {
  open();
  ASSERT_TRUE(hand_over(first_record(120)));
  ASSERT_TRUE(wait_pictures(1));
  stop_play_thread();
  ASSERT_TRUE(lib().worker.wait_ended(10000));
  EXPECT_EQ(current_value(), 120);
}

TEST_F(ThreadTest, RecordsQueuedBeforeTheThreadAreDecodedByIt) {
  std::vector<uint8_t> buffer;
  append(buffer, video_spec(1000), fake_headers(kW, kH, 21));
  append(buffer, video_spec(1000), fake_picture(22));
  ASSERT_EQ(play_add_ring1(0, buffer.data(), static_cast<int32_t>(buffer.size()), 0, 0), 0);
  open();
  ASSERT_TRUE(wait_pictures(2));
  EXPECT_EQ(current_value(), 22);
}

TEST_F(ThreadTest, ReinitialiseRestartsTheDecoderOnTheNextVideoRecord) {
  open();
  ASSERT_TRUE(hand_over(first_record(110), 1, 6));
  ASSERT_TRUE(wait_pictures(1));
  EXPECT_EQ(FakeDecoder::starts.load(), 1);
  EXPECT_EQ(set_init_again(), 0);
  // The next video record must start a stream again.
  ASSERT_TRUE(hand_over(record(video_spec(), fake_picture(20)), 1, 6));
  ASSERT_TRUE(wait_until([] { return err_flag_status() == 1; }, std::chrono::seconds(10)));
  EXPECT_EQ(FakeDecoder::starts.load(), 2);
  ASSERT_TRUE(hand_over(first_record(30), 1, 6));
  ASSERT_TRUE(wait_pictures(2));
  EXPECT_EQ(current_value(), 30);
  EXPECT_EQ(err_flag_status(), 0);
}

TEST_F(ThreadTest, AReinitialiseRequestBeforeAStreamLosesNoRecord) {
  // Asked for while nothing was decoding (a stream that never started, or
  // before playback): the first record handed over is still shown.
  EXPECT_EQ(set_init_again(), 0);
  open();
  ASSERT_TRUE(hand_over(first_record(90), 1, 6));
  ASSERT_TRUE(wait_pictures(1));
  EXPECT_EQ(current_value(), 90);
  EXPECT_EQ(FakeDecoder::starts.load(), 1);
}

TEST_F(ThreadTest, ADamagedPictureIsSkippedAndDecodingGoesOn) {
  open();
  std::vector<uint8_t> buffer;
  append(buffer, video_spec(1000), fake_headers(kW, kH, 50));
  append(buffer, video_spec(1000), {'F', 'K', 'B', 'D'});
  append(buffer, video_spec(1000), fake_picture(70));
  ASSERT_TRUE(hand_over(buffer));
  ASSERT_TRUE(wait_pictures(2));
  EXPECT_EQ(current_value(), 70);
  EXPECT_EQ(FakeDecoder::decodes.load(), 3);
}

TEST_F(ThreadTest, SoundChangeDropsWhatIsQueuedAndOtherValuesDoNothing) {
  open();
  // Long durations keep the later records waiting in the ring.
  std::vector<uint8_t> buffer;
  append(buffer, video_spec(1000), fake_headers(kW, kH, 21));
  append(buffer, video_spec(5000000), fake_picture(22));
  for (int i = 0; i < 5; ++i) append(buffer, video_spec(5000000), fake_picture(23));
  ASSERT_TRUE(hand_over(buffer));
  ASSERT_TRUE(wait_pictures(2));
  // Waiting in the ring, or decoded and waiting for their time.
  auto queued = [] {
    size_t n = lib().engine.pictures_waiting();
    for (int i = 0; i < ovo::kRingSlots; ++i) n += lib().engine.slot_state(i) != ovo::Engine::kFree;
    return n;
  };
  ASSERT_TRUE(wait_until([&] { return queued() == 5; }, std::chrono::seconds(10)));
  EXPECT_EQ(sound_change(0), 0);
  EXPECT_EQ(sound_change(7), 0);
  EXPECT_EQ(queued(), 5u);
  EXPECT_EQ(sound_change(1), 0);
  ASSERT_TRUE(wait_until([&] { return queued() == 0; }, std::chrono::seconds(10)));
  vp::sleep_ms(50);
  EXPECT_EQ(lib().engine.pictures_decoded(), 2u);
  EXPECT_EQ(current_value(), 22);
}

TEST_F(ThreadTest, ASoundChangeBeforeTheStreamStartsKeepsWhatComesAfterIt) {
  open();
  ASSERT_TRUE(hand_over(record(video_spec(), fake_picture(100))));  // no stream header
  ASSERT_TRUE(wait_until([] { return err_flag_status() == 1; }, std::chrono::seconds(10)));
  // The sound change has been served when the call returns, so the records
  // handed over right after it are not flushed by it.
  EXPECT_EQ(sound_change(1), 0);
  EXPECT_FALSE(lib().engine.sound_change_pending());
  std::vector<uint8_t> gop;
  append(gop, video_spec(1000), fake_headers(kW, kH, 31));
  for (uint8_t v = 32; v < 38; ++v) append(gop, video_spec(1000), fake_picture(v));
  ASSERT_TRUE(hand_over(gop));
  ASSERT_TRUE(wait_pictures(7));
  EXPECT_EQ(current_value(), 37);
}

TEST_F(ThreadTest, CameraSetSummary) {
  struct Row {
    uint8_t bits;
    int32_t count, first, second;
  };
  // Applied in order: a byte with one of bits 0-3 and other bits beside it
  // leaves the summary as it was.
  const Row rows[] = {{1, 1, 1, 0},    {2, 1, 2, 0}, {4, 1, 3, 0},    {8, 1, 4, 0},
                      {0x11, 1, 4, 0}, {3, 2, 1, 2}, {0x0C, 2, 3, 4}, {0x05, 2, 1, 3},
                      {0x0A, 2, 2, 4}, {0, 4, 2, 4}, {0x07, 4, 2, 4}, {0x0F, 4, 2, 4}};
  open();
  uint64_t pictures = 0;
  bool first_record_sent = false;
  for (const Row& row : rows) {
    zebsim::FrameSpec spec = video_spec();
    spec.camera_set = row.bits;
    const auto rec = first_record_sent ? record(spec, fake_picture(99)) : first_record(99, spec);
    first_record_sent = true;
    ASSERT_TRUE(hand_over(rec, 1, 6));
    ASSERT_TRUE(wait_pictures(++pictures));
    int32_t count = -1, first = -1, second = -1;
    ASSERT_EQ(current_value(&count, &first, &second), 99);
    EXPECT_EQ(count, row.count) << int(row.bits);
    EXPECT_EQ(first, row.first) << int(row.bits);
    EXPECT_EQ(second, row.second) << int(row.bits);
  }
}

TEST_F(ThreadTest, PictureTimeIsARecSecondsCount) {
  auto local_time = [](int year, int month, int day, int hour = 0, int minute = 0, int second = 0) {
    struct tm t = {};
    t.tm_year = year - 1900;
    t.tm_mon = month - 1;
    t.tm_mday = day;
    t.tm_hour = hour;
    t.tm_min = minute;
    t.tm_sec = second;
    t.tm_isdst = -1;
    return static_cast<int32_t>(mktime(&t));
  };
  struct Row {
    int32_t time;
    uint32_t rec_seconds;
  };
  const Row rows[] = {{local_time(2000, 1, 1), 0u},
                      {local_time(2000, 2, 1), 2678400u},
                      {local_time(2008, 3, 4, 5, 6, 7), vp::rec_seconds(2008, 3, 4, 5, 6, 7)}};
  open();
  uint64_t pictures = 0;
  for (const Row& row : rows) {
    zebsim::FrameSpec spec = video_spec();
    spec.time = row.time;
    ASSERT_TRUE(hand_over(pictures ? record(spec, fake_picture(44)) : first_record(44, spec), 1, 6));
    ASSERT_TRUE(wait_pictures(++pictures));
    uint32_t time = 12345;
    ASSERT_EQ(current_value(nullptr, nullptr, nullptr, &time), 44);
    EXPECT_EQ(time, row.rec_seconds);
  }
}

TEST_F(ThreadTest, SnapshotsFollowTheCamerasOfEachPicture) {
  std::vector<uint8_t> out(ovo::kMaxRgbBytes, 0xAB);
  int32_t w = -1, h = -1;
  EXPECT_EQ(get_ch_bmp(out.data(), &w, &h, 0), -1);
  EXPECT_EQ(get_ch_bmp(out.data(), &w, &h, 5), -1);
  ASSERT_EQ(get_ch_bmp(out.data(), &w, &h, 1), 0);
  EXPECT_EQ(w, 0);
  EXPECT_EQ(h, 0);
  EXPECT_TRUE(std::all_of(out.begin(), out.end(), [](uint8_t b) { return b == 0; }));

  open();
  zebsim::FrameSpec spec = video_spec();
  spec.camera_set = 0x02;  // camera 2 alone
  ASSERT_TRUE(hand_over(first_record(60, spec), 1, 6));
  ASSERT_TRUE(wait_pictures(1));
  spec.camera_set = 0x0F;  // a split screen of four
  ASSERT_TRUE(hand_over(record(spec, fake_picture(80)), 1, 6));
  ASSERT_TRUE(wait_pictures(2));
  spec.camera_set = 0x05;  // cameras 1 and 3
  ASSERT_TRUE(hand_over(record(spec, fake_picture(100)), 1, 6));
  ASSERT_TRUE(wait_pictures(3));

  struct Expect {
    int32_t slot, width, height;
    uint8_t value;
  };
  for (const Expect& e :
       {Expect{1, kW, kH, 100}, Expect{2, kW / 2, kH / 2, 80}, Expect{3, kW, kH, 100}, Expect{4, kW / 2, kH / 2, 80}}) {
    std::fill(out.begin(), out.end(), 0xAB);
    ASSERT_EQ(get_ch_bmp(out.data(), &w, &h, e.slot), 0);
    EXPECT_EQ(w, e.width) << e.slot;
    EXPECT_EQ(h, e.height) << e.slot;
    const size_t used = static_cast<size_t>(w) * h * 3;
    EXPECT_TRUE(std::all_of(out.begin(), out.begin() + used, [&](uint8_t b) { return b == grey_rgb(e.value); }));
    EXPECT_TRUE(std::all_of(out.begin() + used, out.end(), [](uint8_t b) { return b == 0; }));
  }
  EXPECT_EQ(get_ch_bmp(nullptr, &w, &h, 1), -1);
}

// Feeds records one hand-over at a time for as long as the test watches,
// keeping the ring full.
class Feeder {
 public:
  Feeder(int32_t duration_us, int32_t single_frame, int32_t speed) {
    thread_ = std::thread([=, this] {
      uint8_t value = 20;
      bool first = true;
      while (!done_.load()) {
        const auto rec = first ? record(video_spec(duration_us), fake_headers(kW, kH, value))
                               : record(video_spec(duration_us), fake_picture(value));
        while (!done_.load() &&
               play_add_ring1(0, rec.data(), static_cast<int32_t>(rec.size()), single_frame, speed) != 0) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        first = false;
        value = static_cast<uint8_t>(value == 219 ? 20 : value + 1);  // every picture differs from the last
      }
    });
  }
  ~Feeder() {
    done_.store(true);
    thread_.join();
  }

 private:
  std::atomic<bool> done_{false};
  std::thread thread_;
};

TEST_F(ThreadTest, PicturesOf33333usComeAt30PerSecondWithoutAudio) {
  open();
  Feeder feeder(33333, 0, 0);
  ASSERT_TRUE(wait_pictures(1));
  expect_pace(std::chrono::milliseconds(3000), 33);
}

TEST_F(ThreadTest, SingleFrameSpeedCode3Gives8PicturesPerSecond) {
  open();
  Feeder feeder(33333, 1, 3);
  ASSERT_TRUE(wait_pictures(1));
  expect_pace(std::chrono::milliseconds(3000), 125);
}

// Feeds a 30 pictures per second stream with its sound as a recorder records
// it: each picture followed by the 20 ms sound pieces due by its end.
class SoundFeeder {
 public:
  SoundFeeder() {
    thread_ = std::thread([this] {
      uint8_t value = 20;
      for (int p = 0, pieces = 0; !done_.load(); ++p) {
        std::vector<uint8_t> buffer;
        append(buffer, video_spec(33333), p == 0 ? fake_headers(kW, kH, value) : fake_picture(value));
        for (; pieces < (p + 1) * 5 / 3; ++pieces) append(buffer, audio_spec(20000), std::vector<uint8_t>(168, 0xD5));
        while (!done_.load() && play_add_ring1(0, buffer.data(), static_cast<int32_t>(buffer.size()), 0, 0) != 0) {
          std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        value = static_cast<uint8_t>(value == 219 ? 20 : value + 1);
      }
    });
  }
  ~SoundFeeder() {
    done_.store(true);
    thread_.join();
  }

 private:
  std::atomic<bool> done_{false};
  std::thread thread_;
};

TEST_F(ThreadTest, WithSoundEveryPictureIsShownForItsTime) {
  open();
  SoundFeeder feeder;
  // Past the start, where the pictures wait for the sound to be heard.
  ASSERT_TRUE(wait_pictures(20));
  // A watcher of the current picture, woken by each new one and looking at
  // least every millisecond, sees every picture: each is shown for its
  // 33 ms. Pictures replaced as soon as shown would go by unseen. Only what
  // the machine kept the watcher from running may be missed.
  velmora::testing::StallMeter stalls;
  const auto start = std::chrono::steady_clock::now();
  const uint64_t first = lib().engine.pictures_decoded();
  uint64_t presented = first;
  int last = current_value();
  int seen = 0;
  while (std::chrono::steady_clock::now() - start < std::chrono::seconds(3)) {
    lib().worker.signal().wait_for(1, [&] { return lib().engine.pictures_decoded() != presented; });
    presented = lib().engine.pictures_decoded();
    const int value = current_value();
    if (value >= 0 && value != last) {
      ++seen;
      last = value;
    }
  }
  const uint64_t shown = lib().engine.pictures_decoded() - first;
  const double stalled = static_cast<double>(stalls.stalled().count());
  EXPECT_GE(seen + stalled / 33 + 2, static_cast<double>(shown))
      << seen << " of " << shown << " pictures seen, " << stalled << " ms held up";
  // And they come at the sound's pace, 30 a second.
  expect_pace(std::chrono::milliseconds(3000), 33.333);
}

}  // namespace
