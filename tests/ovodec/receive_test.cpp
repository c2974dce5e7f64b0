// The receive path: key-frame and sequence-number synchronisation, recording
// to the data and index files or to AVI, presentation through the callbacks.
#include <gtest/gtest.h>

#include <deque>
#include <filesystem>
#include <mutex>

#include "clip_tools.h"
#include "ovodec_internal.h"
#include "velmora/clock.h"

namespace {

using namespace ovotest;
using velmora::testing::TempDir;
using velmora::testing::wait_until;

// The receive queue the test fills.
struct Queue {
  std::mutex lock;
  std::deque<std::vector<uint8_t>> records;
  void push(std::vector<uint8_t> r) {
    std::lock_guard<std::mutex> g(lock);
    records.push_back(std::move(r));
  }
  bool empty() {
    std::lock_guard<std::mutex> g(lock);
    return records.empty();
  }
  static int32_t take(void* context, uint8_t* buffer, int32_t capacity) {
    auto* q = static_cast<Queue*>(context);
    std::lock_guard<std::mutex> g(q->lock);
    if (q->records.empty()) return 0;
    std::vector<uint8_t> r = std::move(q->records.front());
    q->records.pop_front();
    if (r.size() > static_cast<size_t>(capacity)) return -1;
    std::memcpy(buffer, r.data(), r.size());
    return static_cast<int32_t>(r.size());
  }
};

struct Shown {
  std::mutex lock;
  int pictures = 0;
  int32_t window = 0, width = 0, height = 0;
  std::vector<uint8_t> last;
  std::vector<std::string> titles;
  static void picture(void* context, int32_t window, const uint8_t* rgb, int32_t width, int32_t height) {
    auto* s = static_cast<Shown*>(context);
    std::lock_guard<std::mutex> g(s->lock);
    ++s->pictures;
    s->window = window;
    s->width = width;
    s->height = height;
    s->last.assign(rgb, rgb + static_cast<size_t>(width) * height * 3);
  }
  static void title(void* context, int32_t, const char* text) {
    auto* s = static_cast<Shown*>(context);
    std::lock_guard<std::mutex> g(s->lock);
    s->titles.push_back(text);
  }
};

// A live-like stream: raw pictures, key frames starting at their video
// object start code, sequence numbers counting up, record kind 11.
struct LiveStream {
  Clip clip;
  std::vector<std::vector<uint8_t>> payloads;
  std::vector<bool> key;

  explicit LiveStream(Clip c) : clip(std::move(c)) {
    for (size_t k = 0; k < clip.pictures.size(); ++k) {
      std::vector<uint8_t> p = picture_bytes(clip, k);
      const bool is_key = clip.pictures[k].has_headers;
      if (is_key) {
        // The recorder's key frames begin at the video object start code.
        for (size_t i = 0; i + 4 <= p.size(); ++i) {
          if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1 && p[i + 3] == 0) {
            p.erase(p.begin(), p.begin() + static_cast<ptrdiff_t>(i));
            break;
          }
        }
      }
      payloads.push_back(std::move(p));
      key.push_back(is_key);
    }
  }

  std::vector<uint8_t> record_of(size_t k, int16_t sequence) const {
    zebsim::FrameSpec spec = video_spec(33333);
    spec.sequence = sequence;
    spec.record_kind = 11;
    auto r = record(spec, payloads[k]);
    // The fields the index carries: the 32-bit value at 4 and the byte at 10.
    const uint32_t field4 = 0x10000 + static_cast<uint32_t>(k);
    std::memcpy(r.data() + 4, &field4, 4);
    r[10] = static_cast<uint8_t>(k);
    return r;
  }
};

class ReceiveTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ovo::decoder_factory() = ovo::make_mpeg4_decoder;
    if (!ovo::make_mpeg4_decoder()) GTEST_SKIP() << "built without the decoder core";
    Ovo_set_receive_source1(0, &Queue::take, &queue_);
    Ovo_set_presenter1(0, &Shown::picture, &Shown::title, &shown_);
    base_handled_ = lib().receiver.records_handled();
    base_presented_ = lib().receiver.pictures_presented();
  }
  void TearDown() override {
    Ovo_receive_stop1(0);
    EngineTest::TearDown();
  }
  // Records handled and pictures presented by this test.
  uint64_t handled() const { return lib().receiver.records_handled() - base_handled_; }
  uint64_t presented() const { return lib().receiver.pictures_presented() - base_presented_; }
  bool drained(uint64_t n) {
    return wait_until([&] { return queue_.empty() && handled() >= n; }, std::chrono::seconds(30));
  }
  uint64_t base_handled_ = 0;
  uint64_t base_presented_ = 0;
  Queue queue_;
  Shown shown_;
  TempDir dir_;
};

TEST_F(ReceiveTest, RecordsKeyFramesAndSkipsWhatIsOutOfStep) {
  const LiveStream live(load_clip("cam0_352x240", 352, 240, dir_.path(), false));
  ASSERT_EQ(live.payloads.size(), 90u);
  const std::string out_dir = dir_.file("rec/a/b");
  ASSERT_EQ(Ovo_record_open1(0, out_dir.c_str(), 1, 7, 8), 0);
  ASSERT_EQ(Ovo_receive_start1(0, "recorder", 5001, 5002, 42), 0);

  // The stream headers arrive with a picture that is no key frame: the
  // decoder starts there, but nothing is shown or recorded before a key frame.
  auto first = live.record_of(0, 0);
  queue_.push(zebsim::frame_record(video_spec(), live.clip.es.data(), live.clip.pictures[0].size));
  queue_.push(live.record_of(1, 1));
  queue_.push(live.record_of(2, 2));
  std::vector<size_t> recorded, indexed;
  int16_t seq = 100;
  for (size_t k = 15; k < 60; ++k) {
    if (k == 40) {
      ++seq;  // lost: 41 to 44 are out of step until the key frame 45
      continue;
    }
    queue_.push(live.record_of(k, seq++));
    if (k < 40 || k >= 45) recorded.push_back(k);
    if (live.key[k] && (k < 40 || k >= 45)) indexed.push_back(k);
  }
  // Every record is handled, the headers' record too: until all 3 + 44 are,
  // the last one may still be on its way to the files when the close comes.
  ASSERT_TRUE(drained(3 + 44));
  EXPECT_TRUE(lib().receiver.recording());
  ASSERT_EQ(Ovo_record_close1(0), 0);
  for (size_t k = 60; k < 65; ++k) queue_.push(live.record_of(k, seq++));
  ASSERT_TRUE(wait_until([] { return !lib().receiver.recording(); }, std::chrono::seconds(20)));
  ASSERT_TRUE(drained(3 + 44 + 5));
  ASSERT_TRUE(wait_until([&] { return presented() == recorded.size() + 5; }, std::chrono::seconds(20)));

  {
    std::lock_guard<std::mutex> g(shown_.lock);
    EXPECT_EQ(shown_.pictures, static_cast<int>(recorded.size()) + 5);
    EXPECT_EQ(shown_.window, 42);
    EXPECT_EQ(shown_.width, 352);
    EXPECT_EQ(shown_.height, 240);
  }

  std::vector<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator(out_dir + "/")) names.push_back(e.path().filename());
  std::sort(names.begin(), names.end());
  ASSERT_EQ(names.size(), 2u);
  ASSERT_EQ(names[0].size(), 19u);
  EXPECT_EQ(names[0].substr(14), "M.dat");
  EXPECT_EQ(names[1], names[0].substr(0, 15) + ".idx");

  const auto data = zebsim::read_binary_file(out_dir + "/" + names[0]);
  const auto index = zebsim::read_binary_file(out_dir + "/" + names[1]);
  std::vector<uint8_t> expected_data;
  std::vector<uint64_t> key_offsets;
  for (size_t k : recorded) {
    if (live.key[k]) key_offsets.push_back(expected_data.size());
    expected_data.insert(expected_data.end(), live.payloads[k].begin(), live.payloads[k].end());
  }
  EXPECT_EQ(data, expected_data);

  ovo::RecordIndex parsed;
  std::string why;
  ASSERT_TRUE(ovo::parse_record_index(index.data(), index.size(), data.size(), &parsed, &why)) << why;
  EXPECT_EQ(parsed.header.kind, 1);
  EXPECT_GT(parsed.header.first_time, 0);
  EXPECT_GE(parsed.header.last_time, parsed.header.first_time);
  ASSERT_EQ(parsed.entries.size(), indexed.size());
  for (size_t i = 0; i < indexed.size(); ++i) {
    EXPECT_EQ(parsed.entries[i].offset, key_offsets[i]);
    EXPECT_EQ(parsed.entries[i].field4, static_cast<int32_t>(0x10000 + indexed[i]));
    EXPECT_EQ(parsed.entries[i].byte10, static_cast<uint8_t>(indexed[i]));
    EXPECT_TRUE(ovo::is_key_frame_payload(data.data() + key_offsets[i], data.size() - key_offsets[i]));
  }
}

TEST_F(ReceiveTest, RecordsToAviThatFfmpegDecodesFrameForFrame) {
  if (!have_program("ffprobe")) GTEST_SKIP() << "ffprobe is the reference";
  const LiveStream live(load_clip("cam0_352x240", 352, 240, dir_.path(), false));
  lib().receiver.set_record_format(ovo::RecordFormat::kAvi);
  ASSERT_EQ(Ovo_record_open1(0, dir_.file("avi").c_str(), 1, 0, 0), 0);
  ASSERT_EQ(Ovo_receive_start1(0, "recorder", 0, 0, 1), 0);
  std::vector<uint8_t> es;  // what the AVI should hold, as an elementary stream
  for (size_t k = 0; k < 45; ++k) {
    queue_.push(live.record_of(k, static_cast<int16_t>(k)));
    es.insert(es.end(), live.payloads[k].begin(), live.payloads[k].end());
  }
  ASSERT_TRUE(drained(45));
  Ovo_record_close1(0);
  queue_.push(live.record_of(45, 45));
  ASSERT_TRUE(wait_until([] { return !lib().receiver.recording(); }, std::chrono::seconds(20)));

  std::string avi;
  for (const auto& e : std::filesystem::directory_iterator(dir_.file("avi"))) avi = e.path();
  ASSERT_EQ(avi.substr(avi.size() - 5), "M.avi");
  std::string probe;
  ASSERT_TRUE(
      run("ffprobe -v error -count_frames -select_streams v:0 -show_entries "
          "stream=codec_name,codec_tag_string,width,height,nb_read_frames,time_base,avg_frame_rate "
          "-of default=nw=1 " +
              shell_quoted(avi),
          &probe))
      << probe;
  EXPECT_NE(probe.find("codec_name=mpeg4"), std::string::npos) << probe;
  EXPECT_NE(probe.find("codec_tag_string=XVID"), std::string::npos) << probe;
  EXPECT_NE(probe.find("width=352"), std::string::npos) << probe;
  EXPECT_NE(probe.find("height=240"), std::string::npos) << probe;
  EXPECT_NE(probe.find("nb_read_frames=45"), std::string::npos) << probe;
  // The frame rate comes from the records' durations: 33,333 us a frame.
  EXPECT_NE(probe.find("time_base=33333/1000000"), std::string::npos) << probe;
  EXPECT_NE(probe.find("avg_frame_rate=1000000/33333"), std::string::npos) << probe;

  ASSERT_TRUE(zebsim::write_binary_file(dir_.file("same.m4v"), es));
  std::string from_avi, from_es;
  ASSERT_TRUE(run("ffmpeg -nostdin -loglevel error -i " + shell_quoted(avi) + " -f framemd5 -", &from_avi));
  ASSERT_TRUE(
      run("ffmpeg -nostdin -loglevel error -i " + shell_quoted(dir_.file("same.m4v")) + " -f framemd5 -", &from_es));
  auto hashes = [](const std::string& text) {
    std::vector<std::string> h;
    size_t at = 0;
    while ((at = text.find('\n', at)) != std::string::npos) {
      const size_t end = text.find('\n', at + 1);
      const std::string line = text.substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
      if (!line.empty() && line[0] != '#') h.push_back(line.substr(line.rfind(',') + 1));
      at = end == std::string::npos ? text.size() : end;
    }
    return h;
  };
  const auto a = hashes(from_avi), b = hashes(from_es);
  EXPECT_EQ(a.size(), 45u);
  EXPECT_EQ(a, b);
}

TEST_F(ReceiveTest, RecordOpenChecksTheDirectory) {
  EXPECT_EQ(Ovo_record_open1(0, nullptr, 1, 0, 0), -1001);
  EXPECT_EQ(Ovo_record_open1(0, "", 1, 0, 0), -1001);
  ASSERT_TRUE(velmora::testing::write_file(dir_.file("plain"), "x"));
  EXPECT_EQ(Ovo_record_open1(0, dir_.file("plain").c_str(), 1, 0, 0), -1);
  EXPECT_EQ(Ovo_record_open1(0, dir_.file("plain/below").c_str(), 1, 0, 0), -1);
  // Room for the file names in a 260-byte path: 240 characters with the slash.
  std::string longest = dir_.path() + "/";
  longest += std::string(239 - longest.size(), 'd');
  EXPECT_EQ(Ovo_record_open1(0, longest.c_str(), 1, 0, 0), 0);
  EXPECT_TRUE(std::filesystem::is_directory(longest));
  EXPECT_EQ(Ovo_record_open1(0, (longest + "e").c_str(), 1, 0, 0), -1);
  EXPECT_EQ(Ovo_record_open1(0, (longest + "/").c_str(), 1, 0, 0), 0);  // a slash is not added twice
  EXPECT_EQ(Ovo_record_open1(0, dir_.file("x/y/z").c_str(), 1, 0, 0), 0);
  EXPECT_TRUE(std::filesystem::is_directory(dir_.file("x/y/z")));
}

TEST_F(ReceiveTest, StartChecksTheHostAndSharesTheThreadWithPlayback) {
  EXPECT_EQ(Ovo_receive_start1(0, std::string(64, 'h').c_str(), 1, 2, 3), -1);
  EXPECT_EQ(lib().worker.running(), ovo::WorkerKind::kNone);
  ASSERT_EQ(Ovo_play_open1(0, 0, 0, 0), 0);
  EXPECT_EQ(Ovo_receive_start1(0, std::string(63, 'h').c_str(), 1, 2, 3), 0);
  EXPECT_EQ(lib().receiver.host(), std::string(63, 'h'));
  EXPECT_EQ(lib().worker.running(), ovo::WorkerKind::kDecode);
  EXPECT_EQ(Ovo_receive_stop1(0), 0);
  EXPECT_EQ(lib().worker.running(), ovo::WorkerKind::kDecode);
  stop_play_thread();
  ASSERT_TRUE(lib().worker.wait_ended(10000));
  ASSERT_EQ(Ovo_receive_start1(0, "r", 1, 2, 3), 0);
  EXPECT_EQ(lib().worker.running(), ovo::WorkerKind::kReceive);
  EXPECT_EQ(Ovo_play_open1(0, 0, 0, 0), -1);  // the receive thread holds it
  EXPECT_EQ(Ovo_receive_stop1(0), 0);
  EXPECT_EQ(lib().worker.running(), ovo::WorkerKind::kNone);
}

TEST_F(ReceiveTest, PausedAndSingleStepRunStates) {
  const LiveStream live(load_clip("cam0_352x240", 352, 240, dir_.path(), false));
  ASSERT_EQ(Ovo_receive_start1(0, "r", 0, 0, 0), 0);
  queue_.push(live.record_of(0, 0));
  ASSERT_TRUE(drained(1));
  lib().receiver.set_run_state(ovo::kRunPaused);
  vp::sleep_ms(20);
  for (size_t k = 1; k < 4; ++k) queue_.push(live.record_of(k, static_cast<int16_t>(k)));
  vp::sleep_ms(50);
  EXPECT_EQ(handled(), 1u);
  lib().receiver.set_run_state(ovo::kRunStep);
  ASSERT_TRUE(wait_until([] { return lib().receiver.run_state() == ovo::kRunPaused; }, std::chrono::seconds(10)));
  EXPECT_EQ(handled(), 2u);
  lib().receiver.set_run_state(ovo::kRunRunning);
  ASSERT_TRUE(wait_until([&] { return presented() == 4; }, std::chrono::seconds(20)));
  EXPECT_EQ(handled(), 4u);
}

TEST_F(ReceiveTest, PicturesAreStretchedToTheDrawArea) {
  const LiveStream live(load_clip("cam0_352x240", 352, 240, dir_.path(), false));
  ASSERT_EQ(Ovo_receive_start1(0, "r", 0, 0, 0), 0);
  queue_.push(live.record_of(0, 0));
  ASSERT_TRUE(wait_until([&] { return presented() == 1; }, std::chrono::seconds(20)));
  std::vector<uint8_t> full;
  {
    std::lock_guard<std::mutex> g(shown_.lock);
    ASSERT_EQ(shown_.width, 352);
    full = shown_.last;
  }
  ASSERT_EQ(Ovo_resize_draw_area1(0, 704, 120), 0);
  queue_.push(live.record_of(0, 1));  // the same picture again
  ASSERT_TRUE(wait_until([&] { return presented() == 2; }, std::chrono::seconds(20)));
  std::lock_guard<std::mutex> g(shown_.lock);
  ASSERT_EQ(shown_.width, 704);
  ASSERT_EQ(shown_.height, 120);
  std::vector<uint8_t> expected(704 * 120 * 3);
  ovo::scale_rgb(full.data(), 352, 240, expected.data(), 704, 120);
  EXPECT_EQ(shown_.last, expected);
  // Each output pixel is its source pixel: row j of 120 is row 2j of 240.
  EXPECT_EQ(0, std::memcmp(&shown_.last[(5 * 704 + 7) * 3], &full[(10 * 352 + 3) * 3], 3));
}

TEST(Presentation, TitleShowsRatesOfTheLastTwoSeconds) {
  ovo::Presentation p;
  uint32_t now = 50000;
  p.set_clock_for_test([&] { return now; });
  EXPECT_EQ(p.count_picture(100), "");  // no title window
  p.set_title_window(9, 0);
  EXPECT_EQ(p.count_picture(100), "Bitrate=0,600bps / FrameRate=1fps");
  for (int i = 0; i < 30; ++i) {
    now += 67;  // the 30th picture comes 2,010 ms after the last title
    const std::string t = p.count_picture(1000);
    // 30,000 bytes in 2 s; nothing before the interval is over.
    ASSERT_EQ(t, i < 29 ? "" : "Bitrate=120,0bps / FrameRate=15fps") << i;
  }
}

TEST(RecordFiles, StemNamesTheLocalTimeAndKind) {
  struct tm t = {};
  t.tm_year = 108;
  t.tm_mon = 2;
  t.tm_mday = 4;
  t.tm_hour = 5;
  t.tm_min = 6;
  t.tm_sec = 7;
  t.tm_isdst = -1;
  const time_t when = mktime(&t);
  EXPECT_EQ(ovo::record_stem("/d/", 1, when), "/d/20080304050607M");
  EXPECT_EQ(ovo::record_stem("/d/", 2, when), "/d/20080304050607A");
  EXPECT_EQ(ovo::record_stem("/d/", 4, when), "/d/20080304050607T");
  EXPECT_EQ(ovo::record_stem("/d/", 3, when), "");
}

TEST(RecordFiles, IndexReaderRefusesInconsistentFiles) {
  uint8_t file[16 + 32];
  ovo::put_index_header(file, ovo::IndexHeader{10, 20, 2, 1});
  ovo::put_index_entry(file + 16, ovo::IndexEntry{0, 5, 6});
  ovo::put_index_entry(file + 32, ovo::IndexEntry{0x100000000ull, 7, 8});
  ovo::RecordIndex index;
  std::string why;
  EXPECT_TRUE(ovo::parse_record_index(file, sizeof file, 0x100000001ull, &index, &why)) << why;
  EXPECT_EQ(index.entries[1].offset, 0x100000000ull);
  EXPECT_FALSE(ovo::parse_record_index(file, sizeof file, 0x100000000ull, &index, &why));  // past the data
  EXPECT_FALSE(ovo::parse_record_index(file, sizeof file - 1, 0x100000001ull, &index, &why));
  EXPECT_FALSE(ovo::parse_record_index(file, 15, 10, &index, &why));
  ovo::put_index_header(file, ovo::IndexHeader{10, 20, 3, 1});
  EXPECT_FALSE(ovo::parse_record_index(file, sizeof file, 0x100000001ull, &index, &why));  // count
  ovo::put_index_header(file, ovo::IndexHeader{10, 20, 2, 1});
  ovo::put_index_entry(file + 32, ovo::IndexEntry{0, 7, 8});
  EXPECT_FALSE(ovo::parse_record_index(file, sizeof file, 100, &index, &why));  // not rising
}

}  // namespace
