// Shared by the playback tests: recorder disk images attached as drive 0, a
// channel stand-in that records what the workers hand over (and can refuse),
// a model of the GOPs a disk reader returns, and the workers stopped again
// after each test.
#pragma once
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <string>
#include <vector>

#include "brinlib.h"
#include "brinlib_internal.h"
#include "disk_specs.h"
#include "testing.h"
#include "zebdisk/disk_image.h"
#include "zebsim/packets.h"

namespace pbtest {

using zebdisk::RecTime;
using namespace std::chrono_literals;

using velmora::testing::run;
using velmora::testing::S;
using velmora::testing::T;
using velmora::testing::two_runs;

// One call of the channel's hand-over, or a sound change (length -1).
struct HandOver {
  std::vector<uint8_t> bytes;
  int32_t length = 0;
  int32_t mode = 0;
  int32_t speed = 0;
  bool accepted = true;
  bool sound_change() const { return length < 0; }
};

// Records every hand-over and sound change in order. refuse(n) makes every
// n-th hand-over be refused (0: none), refuse_from(k) every one from the k-th
// on (counting accepted ones from 1).
class Channel {
 public:
  void install() {
    brin::play::testing::ChannelHooks h;
    h.hand_over = [this](const uint8_t* frames, int32_t length, int32_t mode, int32_t speed) {
      std::lock_guard<std::mutex> g(lock_);
      HandOver o;
      o.bytes.assign(frames, frames + std::max(length, 0));
      o.length = length;
      o.mode = mode;
      o.speed = speed;
      ++calls_;
      o.accepted =
          !((refuse_every_ > 0 && calls_ % refuse_every_ == 0) || (refuse_from_ > 0 && accepted_ + 1 >= refuse_from_));
      if (o.accepted) ++accepted_;
      if (o.accepted && forward_) o.accepted = forward_(frames, length, mode, speed) != brin::play::kRefused;
      log_.push_back(std::move(o));
      return log_.back().accepted ? 0 : brin::play::kRefused;
    };
    h.sound_change = [this] {
      std::lock_guard<std::mutex> g(lock_);
      HandOver o;
      o.length = -1;
      log_.push_back(o);
    };
    brin::play::testing::set_channel_hooks(h);
  }
  static void uninstall() { brin::play::testing::set_channel_hooks({}); }

  void refuse_every(int n) {
    std::lock_guard<std::mutex> g(lock_);
    refuse_every_ = n;
  }
  void refuse_from(int k) {
    std::lock_guard<std::mutex> g(lock_);
    refuse_from_ = k;
  }
  // Accepted hand-overs also go to this function (the real channel).
  void forward_to(std::function<int32_t(const uint8_t*, int32_t, int32_t, int32_t)> f) {
    std::lock_guard<std::mutex> g(lock_);
    forward_ = std::move(f);
  }

  std::vector<HandOver> log() {
    std::lock_guard<std::mutex> g(lock_);
    return log_;
  }
  std::vector<HandOver> accepted() {
    std::vector<HandOver> out;
    for (HandOver& o : log())
      if (!o.sound_change() && o.accepted) out.push_back(std::move(o));
    return out;
  }
  size_t accepted_count() {
    std::lock_guard<std::mutex> g(lock_);
    return static_cast<size_t>(accepted_);
  }
  void clear() {
    std::lock_guard<std::mutex> g(lock_);
    log_.clear();
    calls_ = accepted_ = 0;
  }

 private:
  std::mutex lock_;
  std::vector<HandOver> log_;
  int calls_ = 0;
  int accepted_ = 0;
  int refuse_every_ = 0;
  int refuse_from_ = 0;
  std::function<int32_t(const uint8_t*, int32_t, int32_t, int32_t)> forward_;
};

// The GOP a disk reader returns, by record and GOP number, on a disk whose
// records are all readable stepping targets.
class ReaderModel {
 public:
  explicit ReaderModel(const zebdisk::Manifest& m) : m_(m) {}

  void at_oldest() {
    r_ = 0;
    g_ = 0;
  }
  void at_newest() {
    r_ = static_cast<int>(m_.records.size()) - 1;
    g_ = count(r_) - 1;
  }
  // At the GOP the time search finds for a time on the disk: the one with
  // that time, else the last one before it.
  void at(const RecTime& t) {
    for (int r = 0; r < static_cast<int>(m_.records.size()); ++r)
      for (int g = 0; g < count(r); ++g)
        if (vp::compare_rec_time(gop(r, g).time, t) <= 0) {
          r_ = r;
          g_ = g;
        }
  }

  // The next GOP forward with the index moved by n; null at the end.
  const zebdisk::GopInfo* next(int n = 1) {
    if (g_ < 0) g_ = 0;
    while (g_ >= count(r_)) {
      if (r_ + 1 >= static_cast<int>(m_.records.size())) return nullptr;
      ++r_;
      g_ = 0;
    }
    const zebdisk::GopInfo* out = &gop(r_, g_);
    g_ += n;
    if (g_ >= count(r_) && r_ + 1 < static_cast<int>(m_.records.size())) {
      ++r_;
      g_ = 0;
    }
    return out;
  }
  const zebdisk::GopInfo* previous(int n = 1) {
    if (g_ >= count(r_)) g_ = count(r_) - 1;
    while (g_ < 0) {
      if (r_ == 0) return nullptr;
      --r_;
      g_ = count(r_) - 1;
    }
    const zebdisk::GopInfo* out = &gop(r_, g_);
    g_ -= n;
    if (g_ < 0 && r_ > 0) {
      --r_;
      g_ = count(r_) - 1;
    }
    return out;
  }

  // All the GOPs forward (backward) from the position.
  std::vector<const zebdisk::GopInfo*> all_next(int n = 1) {
    std::vector<const zebdisk::GopInfo*> out;
    while (const zebdisk::GopInfo* g = next(n)) out.push_back(g);
    return out;
  }
  std::vector<const zebdisk::GopInfo*> all_previous(int n = 1) {
    std::vector<const zebdisk::GopInfo*> out;
    while (const zebdisk::GopInfo* g = previous(n)) out.push_back(g);
    return out;
  }

 private:
  int count(int r) const { return static_cast<int>(m_.records[static_cast<size_t>(r)].gops.size()); }
  const zebdisk::GopInfo& gop(int r, int g) const {
    return m_.records[static_cast<size_t>(r)].gops[static_cast<size_t>(g)];
  }

  const zebdisk::Manifest& m_;
  int r_ = 0;
  int g_ = 0;
};

// The GOPs a copy of [start, end] holds: from the GOP the time search finds
// for start up to the first GOP at or after end.
inline std::vector<const zebdisk::GopInfo*> copied_gops(const zebdisk::Manifest& m, const RecTime& start,
                                                        const RecTime& end) {
  ReaderModel model(m);
  model.at(start);
  std::vector<const zebdisk::GopInfo*> out;
  while (const zebdisk::GopInfo* g = model.next()) {
    out.push_back(g);
    if (vp::compare_rec_time(g->time, end) >= 0) break;
  }
  return out;
}

inline std::vector<uint8_t> concat(const std::vector<const zebdisk::GopInfo*>& gops) {
  std::vector<uint8_t> out;
  for (const zebdisk::GopInfo* g : gops) out.insert(out.end(), g->frame_bytes.begin(), g->frame_bytes.end());
  return out;
}

inline std::vector<uint8_t> file_bytes(const std::string& path) { return zebsim::read_binary_file(path); }

class PlaybackTest : public ::testing::Test {
 protected:
  void SetUp() override {
    setenv("VELMORA_AUDIO", "none", 1);
    channel_.install();
  }

  void TearDown() override {
    using brin::play::control;
    hdd_play_stop();
    file_play_stop();
    hdd_read_stop();
    file_read_stop();
    hdd_copy_usb_stop();
    EXPECT_TRUE(velmora::testing::wait_until(
        [] { return !control().hdd_running.load() && !control().file_running.load() && !copy_running(); }, 20s));
    brin::play::testing::join_workers();
    brin::copy::testing::join_copy();
    brin::copy::testing::set_gop_hook({});
    brin::copy::testing::set_free_space_query({});
    Channel::uninstall();
    hdd_close();
    unsetenv("VELMORA_DRIVE0");
  }

  static bool copy_running() {
    int32_t status = 0;
    hdd_copy_usb_get_sts(&status);
    return status >= 0 && status < brin::copy::kComplete;
  }

  // Writes the image, attaches it as drive 0 and loads its index.
  void attach(const zebdisk::DiskSpec& spec) {
    path_ = dir_.file("disk.img");
    std::string error;
    ASSERT_TRUE(zebdisk::write_disk(spec, path_, &manifest_, &error)) << error;
    setenv("VELMORA_DRIVE0", path_.c_str(), 1);
    ASSERT_EQ(hdd_open(0), 0);
    ASSERT_EQ(first_section_play(), 0);
  }

  // Waits until the disk (file) play state is idle again.
  static bool hdd_idle() {
    return velmora::testing::wait_until([] { return brin::play::control().hdd_state.load() == 0; }, 30s);
  }
  static bool file_idle() {
    return velmora::testing::wait_until([] { return brin::play::control().file_state.load() == 0; }, 30s);
  }

  // Copies [start, end] into a new folder and waits for the end; the final
  // status.
  int32_t copy(const std::string& folder, const RecTime& start, const RecTime& end) {
    mkdir(folder.c_str(), 0755);
    if (hdd_copy_usb(folder.c_str(), S(start), S(end)) != 0) return -1;
    return wait_copy();
  }
  static int32_t wait_copy() {
    int32_t status = -1;
    velmora::testing::wait_until(
        [&] {
          hdd_copy_usb_get_sts(&status);
          return status > 100;
        },
        60s);
    return status;
  }

  static void expect_gops(const std::vector<HandOver>& got, const std::vector<const zebdisk::GopInfo*>& want,
                          int32_t mode, int32_t speed) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_TRUE(got[i].bytes == want[i]->frame_bytes) << "GOP " << i << " at " << zebdisk::format_time(want[i]->time);
      EXPECT_EQ(got[i].mode, mode) << "GOP " << i;
      EXPECT_EQ(got[i].speed, speed) << "GOP " << i;
    }
  }

  velmora::testing::TempDir dir_;
  std::string path_;
  zebdisk::Manifest manifest_;
  Channel channel_;
};

}  // namespace pbtest
