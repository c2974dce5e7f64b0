// The main window, offscreen, connected to a recorder whose live stream is
// replaced by a hostile peer: the window keeps working (its clock ticks on,
// its buttons respond), shows no picture from a damaged frame, lets the
// cells of the hostile cameras go stale, and its resident memory stays
// within a bound. The longest clock tick is measured and reported.
#include <QImage>
#include <QTimer>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <random>
#include <vector>

#include "disk_fixture.h"
#include "hostile_peer.h"
#include "zebsim/live.h"

namespace {

using namespace velmora::viewer;
using hostile::Datagram;

constexpr size_t kMiB = 1024 * 1024;

// The growth of resident memory a hostile stream may cause. One 4095 x 4095
// picture costs 24 MB, sixteen of them 400 MB; the sanitizers' own
// bookkeeping needs more room.
size_t growth_bound() {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  return 120 * kMiB;
#else
  return 20 * kMiB;
#endif
}

}  // namespace

#if defined(__SANITIZE_ADDRESS__)
// The address sanitizer holds freed memory back (256 MB by default) to
// catch late use; every size flip frees pictures, which would fill that
// store and hide the growth the bound is about. A smaller store still
// catches late use soon after the free.
extern "C" __attribute__((visibility("default"))) const char* __asan_default_options() {
  return "quarantine_size_mb=32";
}
#endif

namespace {

// A base port p with p and p + 1 free for UDP.
uint16_t free_port_pair() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    int a = ::socket(AF_INET, SOCK_DGRAM, 0), b = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    socklen_t len = sizeof sa;
    bool ok = ::bind(a, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 &&
              ::getsockname(a, reinterpret_cast<sockaddr*>(&sa), &len) == 0 && ntohs(sa.sin_port) < 65535;
    const uint16_t port = ntohs(sa.sin_port);
    sa.sin_port = htons(static_cast<uint16_t>(port + 1));
    ok = ok && ::bind(b, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    ::close(a);
    ::close(b);
    if (ok) return port;
  }
  return 0;
}

class HostileWindow : public DiskViewerTest {
 protected:
  void SetUp() override {
    DiskViewerTest::SetUp();
    // Cells go stale quickly; a silent recorder is never asked again, so
    // the hostile stream is all the window gets.
    timing().stale_ms = 300;
    timing().silent_ms = 1 << 30;
  }
  void TearDown() override {
    peer_.reset();
    if (stream_) stream_->stop();
    DiskViewerTest::TearDown();
  }

  // A recorder streaming to this PC, listed and connected; the genuine
  // stream only when asked for.
  MainView& connect(bool genuine, const zebsim::LiveFaults& faults = {}) {
    auto& sim = start_sim();
    port_ = free_port_pair();
    EXPECT_NE(port_, 0);
    sim.set_switch_item("cam", 182, 0x7F000001);
    sim.set_switch_item("cam", 183, port_);
    if (genuine) {
      zebsim::LiveConfig config;
      config.clips_dir = velmora::testing::clips_dir();
      config.audio_channels = 0;
      stream_ = std::make_unique<zebsim::LiveStream>(sim, config);
      stream_->set_faults(faults);
    }
    write_lansetting(entry(1, "Shop", sim.config().address));
    MainView& v = start_view();
    double_click_entry(1);
    EXPECT_TRUE(message_texts().empty());
    EXPECT_TRUE(v.receiving());
    address_ = sim.config().address;
    peer_ = std::make_unique<hostile::Peer>(address_, port_);
    EXPECT_TRUE(peer_->bound());
    watch_clock_ticks();
    return v;
  }

  // Counts the window's clock ticks (which poll the live stream) and
  // measures each: the event filter sees the timer event before the tick,
  // the slot connected after the window's own runs after it.
  void watch_clock_ticks() {
    auto* timer = view_->findChild<QTimer*>(QStringLiteral("tmrTokei"));
    ASSERT_NE(timer, nullptr);
    timer->installEventFilter(&tick_watch_);
    QObject::connect(timer, &QTimer::timeout, &tick_watch_, [this] {
      ++ticks_;
      if (peer_) peer_->tick();
      if (tick_watch_.began.empty()) return;
      const std::chrono::duration<double, std::milli> took =
          std::chrono::steady_clock::now() - tick_watch_.began.back();
      tick_watch_.began.pop_back();
      longest_tick_ms_ = std::max(longest_tick_ms_, took.count());
    });
  }

  struct TickWatch : QObject {
    std::vector<std::chrono::steady_clock::time_point> began;
    bool eventFilter(QObject*, QEvent* e) override {
      if (e->type() == QEvent::Timer) began.push_back(std::chrono::steady_clock::now());
      return false;
    }
  };

  // Sends rounds before the measurement, each at a tick, and lets the window
  // poll them: what a stream costs once, such as the first picture of a
  // camera at the largest size a recorder sends, is not counted against
  // the hostile rounds that follow.
  void warm_up(std::vector<std::vector<Datagram>> rounds) {
    const long count = static_cast<long>(rounds.size());
    peer_->start(std::move(rounds));
    ASSERT_TRUE(wait_for([&] { return peer_->done(); }, 120000));
    EXPECT_EQ(peer_->rounds_sent(), count);
    const long ticks = ticks_;
    ASSERT_TRUE(wait_for([&] { return ticks_ >= ticks + 5; }));
    peer_ = std::make_unique<hostile::Peer>(address_, port_);
    ASSERT_TRUE(peer_->bound());
  }

  // Rounds of frames of the four shown cameras at the largest recorder
  // size: three of each, so that each camera's decoder holds all the
  // pictures a stream of that size keeps (the one being decoded and its
  // two references).
  std::vector<std::vector<Datagram>> largest_frames(uint8_t& number) {
    std::vector<std::vector<Datagram>> rounds(3);
    for (auto& round : rounds)
      for (int camera = 0; camera < 4; ++camera)
        hostile::append(round, hostile::fragments(number++, hostile::forged_frame(camera, 1920, 1088)));
    return rounds;
  }

  // Runs the hostile rounds to their end while the event loop runs, with a
  // click on the buttons halfway: resident memory is sampled throughout.
  void run_peer(std::vector<std::vector<Datagram>> rounds) {
    const long count = static_cast<long>(rounds.size());
    baseline_ = peak_ = hostile::resident_bytes();
    ASSERT_GT(baseline_, 0u);
    longest_tick_ms_ = 0;
    const long ticks_before = ticks_;
    peer_->start(std::move(rounds));
    auto sample = [&] {
      peak_ = std::max(peak_, hostile::resident_bytes());
      for (int cell = 0; cell < 4; ++cell) fresh_cell_seen_ = fresh_cell_seen_ || !view_->cell_stale(cell);
      return true;
    };
    ASSERT_TRUE(wait_for([&] { return sample() && peer_->rounds_sent() >= count / 2; }, 120000));
    // The buttons answer while the peer sends.
    click("Command8_1");
    EXPECT_EQ(view_->split_mode(), 1);
    click("Command9");
    EXPECT_EQ(view_->split_mode(), 4);
    ASSERT_TRUE(wait_for([&] { return sample() && peer_->done(); }, 120000));
    // The clock ticked once for each round at least.
    EXPECT_GE(ticks_ - ticks_before, count);
    EXPECT_EQ(peer_->rounds_sent(), count);
    // The datagrams still queued are polled too.
    const long ticks_after = ticks_;
    ASSERT_TRUE(wait_for([&] { return sample() && ticks_ >= ticks_after + 5; }));
    std::printf(
        "%ld datagrams in %ld rounds; resident memory %.1f MB before, peak %.1f MB (bound: +%.0f MB); "
        "longest clock tick %.1f ms\n",
        peer_->datagrams_sent(), count, double(baseline_) / kMiB, double(peak_) / kMiB, double(growth_bound()) / kMiB,
        longest_tick_ms_);
    EXPECT_LT(peak_, baseline_ + growth_bound());
  }

  std::unique_ptr<zebsim::LiveStream> stream_;
  std::unique_ptr<hostile::Peer> peer_;
  std::string address_;
  uint16_t port_ = 0;
  TickWatch tick_watch_;
  long ticks_ = 0;
  double longest_tick_ms_ = 0;
  size_t baseline_ = 0, peak_ = 0;
  bool fresh_cell_seen_ = false;  // a cell not stale while the peer sent
};

// Stream headers of every camera declaring 4095 x 4095, and the four shown
// cameras flipping between sizes each tick, among runs of datagrams that
// are no fragments at all, and a flood of random fragments halfway.
TEST_F(HostileWindow, OversizeHeadersSizeFlipsAndFloodsCostNoMemoryAndKeepTheWindowGoing) {
  connect(false);
  uint8_t number = 0;
  warm_up(largest_frames(number));
  // Recorder sizes (the largest costs what a recorder's stream of that size
  // costs, and was paid for above) and sizes just beyond the largest one.
  const int sizes[][2] = {{704, 480},   {1921, 1088}, {720, 480}, {4095, 4095}, {352, 240}, {1920, 1088},
                          {1904, 1072}, {16, 4095},   {704, 576}, {1920, 1089}, {4095, 16}};
  std::vector<std::vector<Datagram>> rounds;
  for (int r = 0; r < 60; ++r) {
    std::vector<Datagram> round;
    for (int camera = 0; camera < 16; ++camera)
      hostile::append(round, hostile::fragments(number++, hostile::forged_frame(camera, 4095, 4095)));
    for (int camera = 0; camera < 4; ++camera) {
      const auto& s = sizes[(r + camera) % std::size(sizes)];
      hostile::append(round, hostile::fragments(number++, hostile::forged_frame(camera, s[0], s[1])));
    }
    // Runt datagrams: shorter than a fragment header, or a header alone, or
    // a fragment index at or beyond its count, or no count at all.
    for (size_t n = 0; n <= 8; ++n) round.push_back(Datagram(n, static_cast<uint8_t>(r)));
    round.push_back({number, 5, 5, 0, 0x70, 0x05, 0, 0, 1, 2, 3});
    round.push_back({number, 0, 0, 0, 0x70, 0x05, 0, 0, 1, 2, 3});
    round.push_back({number, 0, 1, 7, 0xFF, 0xFF, 0, 0, 1, 2, 3});
    rounds.push_back(std::move(round));
  }
  // A flood between two ticks: full-size fragments of random bytes, whose
  // headers claim frames of one to four fragments.
  std::mt19937 random(17);
  std::vector<Datagram> flood;
  for (int n = 0; n < 2000; ++n) {
    Datagram d(8 + hostile::kStride);
    for (uint8_t& b : d) b = static_cast<uint8_t>(random());
    d[2] = static_cast<uint8_t>(1 + d[2] % 4);
    d[1] = static_cast<uint8_t>(d[1] % d[2]);
    d[3] = 0;
    d[4] = hostile::kStride & 0xFF;
    d[5] = hostile::kStride >> 8;
    flood.push_back(std::move(d));
  }
  rounds.insert(rounds.begin() + 30, std::move(flood));
  run_peer(std::move(rounds));
  EXPECT_TRUE(view_->receiving());
  EXPECT_TRUE(messages_.empty()) << message_texts()[0].toStdString();
}

// The four shown cameras flip each tick between the largest recorder size
// and one a macroblock smaller in both directions: sizes a recorder may
// send, so each is taken on, but a channel keeps the memory of the larger
// one instead of making its pictures anew on every change. Once each
// camera has been at the largest size, the flips cost no memory.
TEST_F(HostileWindow, FlipsBetweenLargeRecorderSizesCostNoMemory) {
  connect(false);
  uint8_t number = 0;
  warm_up(largest_frames(number));
  const int sizes[][2] = {{1920, 1088}, {1904, 1072}};
  std::vector<std::vector<Datagram>> rounds;
  for (int r = 0; r < 60; ++r) {
    std::vector<Datagram> round;
    for (int camera = 0; camera < 4; ++camera) {
      const auto& s = sizes[(r + camera) % 2];
      hostile::append(round, hostile::fragments(number++, hostile::forged_frame(camera, s[0], s[1])));
    }
    rounds.push_back(std::move(round));
  }
  run_peer(std::move(rounds));
  EXPECT_TRUE(view_->receiving());
  EXPECT_TRUE(messages_.empty()) << message_texts()[0].toStdString();
}

// A genuine stream shows the four cameras; then the hostile peer takes its
// place with frames that are damaged in every way the fragment header
// allows. No cell changes its picture, all go stale, and the genuine stream
// is shown again once it returns.
TEST_F(HostileWindow, DamagedFramesShowNoPictureAndTheCellsGoStale) {
  MainView& v = connect(true);
  ASSERT_TRUE(wait_for(
      [&] {
        const auto& shown = v.picture_shown();
        return shown[0] && shown[1] && shown[2] && shown[3];
      },
      20000));
  stream_->stop();
  auto all_stale = [&] { return v.cell_stale(0) && v.cell_stale(1) && v.cell_stale(2) && v.cell_stale(3); };
  ASSERT_TRUE(wait_for(all_stale));
  std::vector<QImage> before;
  for (int cell = 0; cell < 4; ++cell)
    before.push_back(find<PictureBox>(("Image1_" + std::to_string(cell)).c_str())->image());

  // Whole frames of each camera, of different fragment counts.
  std::vector<std::vector<uint8_t>> frames, shorter;
  for (int camera = 0; camera < 4; ++camera) {
    const std::string clip = velmora::testing::clips_dir() + "/cam" + std::to_string(camera) + "_704x480.m4v";
    frames.push_back(hostile::clip_frame(camera, clip, 15));
    shorter.push_back(hostile::clip_frame(camera, clip, 3));
    ASSERT_NE(hostile::fragments(0, frames.back()).size(), hostile::fragments(0, shorter.back()).size());
    ASSERT_GT(hostile::fragments(0, shorter.back()).size(), 3u);
  }
  std::vector<std::vector<Datagram>> rounds;
  uint8_t number = 0;
  for (int r = 0; r < 40; ++r) {
    const int camera = r % 4, other = (r + 1) % 4;
    std::vector<Datagram> round;
    // Fragment 0 as often as the frame has fragments.
    auto parts = hostile::fragments(number++, frames[camera]);
    round.insert(round.end(), parts.size(), parts[0]);
    // Every fragment but the one after the header, fragment 0 twice.
    parts = hostile::fragments(number++, frames[camera]);
    round.push_back(parts[0]);
    round.push_back(parts[0]);
    round.insert(round.end(), parts.begin() + 2, parts.end());
    // The header of one camera's frame, the rest of another camera's frame
    // under the same number.
    parts = hostile::fragments(number, frames[camera]);
    const auto foreign = hostile::fragments(number++, shorter[other]);
    round.push_back(parts[0]);
    round.insert(round.end(), foreign.begin() + 1, foreign.end());
    // A frame without its header.
    parts = hostile::fragments(number++, frames[camera]);
    round.insert(round.end(), parts.begin() + 1, parts.end());
    // Fragments that overlap: each carries twice the stride it declares.
    hostile::append(round, hostile::fragments(number++, frames[camera], hostile::kStride / 2, hostile::kStride));
    // A frame shifted by a stride that does not match its fragments' sizes.
    hostile::append(round, hostile::fragments(number++, frames[camera], hostile::kStride + 64, hostile::kStride));
    rounds.push_back(std::move(round));
  }
  run_peer(std::move(rounds));
  // A picture shown at any time would have made its cell fresh for a while.
  EXPECT_FALSE(fresh_cell_seen_);
  EXPECT_TRUE(all_stale());
  for (int cell = 0; cell < 4; ++cell)
    EXPECT_TRUE(find<PictureBox>(("Image1_" + std::to_string(cell)).c_str())->image() == before[size_t(cell)])
        << "cell " << cell << " shows a picture from a damaged frame";

  // The genuine stream again: every cell follows its camera once more, each
  // loading a new picture (a new image, though a looping clip may give the
  // same pixels). Not "all four fresh at once": a cell is fresh for only
  // 300 ms after its picture, and on a loaded machine the four cameras'
  // pictures need not all come within one such window.
  stream_->start(htonl(INADDR_LOOPBACK), port_);
  std::array<bool, 4> followed{};
  EXPECT_TRUE(wait_for([&] {
    for (int cell = 0; cell < 4; ++cell) {
      const QImage& shown = find<PictureBox>(("Image1_" + std::to_string(cell)).c_str())->image();
      followed[size_t(cell)] = followed[size_t(cell)] || shown.cacheKey() != before[size_t(cell)].cacheKey();
    }
    return followed[0] && followed[1] && followed[2] && followed[3];
  }));
  EXPECT_TRUE(messages_.empty()) << message_texts()[0].toStdString();
}

}  // namespace

namespace zebsim {
void PrintTo(const LiveFaults& f, std::ostream* os) {
  *os << (f.duplicate_header ? "repeated headers" : "") << (f.overlap ? "overlapping fragments" : "")
      << (f.flood ? ", flood " + std::to_string(f.flood) : "");
}
}  // namespace zebsim

namespace {

// The recorder stand-in's own hostile modes: its camera frames with the
// first fragment repeated in place of the others (among random fragments),
// or with fragments that overlap. No frame is whole, so no cell ever shows
// a picture, while the window goes on ticking within its memory bound.
class HostileStream : public HostileWindow, public ::testing::WithParamInterface<zebsim::LiveFaults> {};

TEST_P(HostileStream, ShowsNoPicture) {
  MainView& v = connect(true, GetParam());
  const size_t baseline = hostile::resident_bytes();
  size_t peak = baseline;
  // Three frames of every camera, then ten ticks more for the last to be
  // polled.
  ASSERT_TRUE(wait_for([&] {
    peak = std::max(peak, hostile::resident_bytes());
    return stream_->frames_sent(0) >= 12;
  }));
  const long ticks = ticks_;
  ASSERT_TRUE(wait_for([&] {
    peak = std::max(peak, hostile::resident_bytes());
    return ticks_ >= ticks + 10;
  }));
  std::printf("%llu datagrams; resident memory %.1f MB before, peak %.1f MB; longest clock tick %.1f ms\n",
              static_cast<unsigned long long>(stream_->datagrams_sent()), double(baseline) / kMiB, double(peak) / kMiB,
              longest_tick_ms_);
  EXPECT_LT(peak, baseline + growth_bound());
  for (int cell = 0; cell < 4; ++cell) EXPECT_EQ(v.picture_shown()[size_t(cell)], 0) << "cell " << cell;
  EXPECT_TRUE(v.receiving());
  EXPECT_TRUE(messages_.empty()) << message_texts()[0].toStdString();
}

zebsim::LiveFaults repeated_headers() {
  zebsim::LiveFaults f;
  f.duplicate_header = true;
  f.flood = 20;
  return f;
}
zebsim::LiveFaults overlapping() {
  zebsim::LiveFaults f;
  f.overlap = true;
  return f;
}
INSTANTIATE_TEST_SUITE_P(Faults, HostileStream, ::testing::Values(repeated_headers(), overlapping()),
                         [](const ::testing::TestParamInfo<zebsim::LiveFaults>& info) {
                           return std::string(info.param.overlap ? "Overlapping" : "RepeatedHeadersAndFlood");
                         });

}  // namespace
