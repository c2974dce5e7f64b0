// Shared by the channel library's tests: frame-record builders, a decoder
// stand-in with a trivial stream format, and a fixture that puts the
// library's process-wide state back to its state at load.
#pragma once
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "OvoDec1.h"
#include "ovodec_internal.h"
#include "testing.h"
#include "zebsim/packets.h"

namespace ovotest {

inline bool sanitizer_run() { return std::getenv("VELMORA_SANITIZER_RUN") != nullptr; }

// Records of the stand-in format: "FKHD" width height (16-bit each) starts a
// stream; "FKPC" value makes one picture whose luma is value (chroma 128);
// "FKBD" fails to decode. One unit per record.
inline std::vector<uint8_t> fake_headers(int width, int height, uint8_t value) {
  return {'F',
          'K',
          'H',
          'D',
          static_cast<uint8_t>(width),
          static_cast<uint8_t>(width >> 8),
          static_cast<uint8_t>(height),
          static_cast<uint8_t>(height >> 8),
          'F',
          'K',
          'P',
          'C',
          value};
}
inline std::vector<uint8_t> fake_picture(uint8_t value) { return {'F', 'K', 'P', 'C', value}; }

class FakeDecoder : public ovo::VideoDecoder {
 public:
  static std::atomic<int> starts;
  static std::atomic<int> decodes;

  int start(const uint8_t* data, size_t size, int* width, int* height, size_t* consumed) override {
    ++starts;
    *width = *height = 0;
    *consumed = 0;
    if (size < 8 || std::memcmp(data, "FKHD", 4) != 0) return 13;
    width_ = data[4] | data[5] << 8;
    height_ = data[6] | data[7] << 8;
    *width = width_;
    *height = height_;
    *consumed = 8;
    return 0;
  }

  int decode(const uint8_t* data, size_t size, size_t* consumed, ovo::YuvView* out) override {
    ++decodes;
    size_t at = 0;
    if (size >= 8 && std::memcmp(data, "FKHD", 4) == 0) at = 8;
    if (size < at + 5 || std::memcmp(data + at, "FKPC", 4) != 0 || width_ <= 0) return 20;
    y_.assign(static_cast<size_t>(width_) * height_, data[at + 4]);
    c_.assign(static_cast<size_t>((width_ + 1) / 2) * ((height_ + 1) / 2), 128);
    *out = ovo::YuvView{y_.data(), c_.data(), c_.data(), width_, (width_ + 1) / 2, width_, height_};
    *consumed = at + 5;
    return 0;
  }

 private:
  int width_ = 0;
  int height_ = 0;
  std::vector<uint8_t> y_, c_;
};

inline std::atomic<int> FakeDecoder::starts{0};
inline std::atomic<int> FakeDecoder::decodes{0};

inline zebsim::FrameSpec video_spec(int32_t duration_us = 33333, uint8_t camera = 0) {
  zebsim::FrameSpec s;
  s.video = true;
  s.duration_us = duration_us;
  s.camera = camera;
  return s;
}

inline zebsim::FrameSpec audio_spec(int32_t duration_us = 20000, uint8_t camera = 0) {
  zebsim::FrameSpec s = video_spec(duration_us, camera);
  s.video = false;
  return s;
}

inline void append(std::vector<uint8_t>& out, const zebsim::FrameSpec& spec, const std::vector<uint8_t>& payload) {
  zebsim::append_frame_record(out, spec, payload.data(), payload.size());
}

inline std::vector<uint8_t> record(const zebsim::FrameSpec& spec, const std::vector<uint8_t>& payload) {
  return zebsim::frame_record(spec, payload.data(), payload.size());
}

// Hands a buffer over, retrying while the ring is full, as brinlib does.
inline bool hand_over(const std::vector<uint8_t>& buffer, int32_t single_frame = 0, int32_t speed = 0,
                      int timeout_ms = 20000) {
  return velmora::testing::wait_until(
      [&] { return play_add_ring1(0, buffer.data(), static_cast<int32_t>(buffer.size()), single_frame, speed) == 0; },
      std::chrono::milliseconds(timeout_ms));
}

inline ovo::Library& lib() { return ovo::Library::get(); }

// The RGB value the conversion gives grey luma y (chroma 128).
inline uint8_t grey_rgb(int y) {
  const int v = (76309 * y - 1221968) >> 16;
  return static_cast<uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

class EngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("VELMORA_AUDIO", "none", 1);
    reset_library();
    ovo::decoder_factory() = [] { return std::make_unique<FakeDecoder>(); };
    FakeDecoder::starts = 0;
    FakeDecoder::decodes = 0;
  }
  void TearDown() override {
    reset_library();
    ovo::decoder_factory() = ovo::make_mpeg4_decoder;
  }
  static void reset_library() {
    Ovo_receive_stop1(0);
    lib().engine.reset_for_test();
    lib().replace_sound_for_test(nullptr);
    lib().snapshots.clear();
    lib().presentation.set_deinterlace(false);
    lib().presentation.set_callbacks(nullptr, nullptr, nullptr);
    lib().presentation.set_draw_area(0, 0);
    lib().presentation.set_title_window(0, 0);
    lib().presentation.set_clock_for_test(nullptr);
    lib().receiver.set_source(nullptr, nullptr);
    lib().receiver.set_record_format(ovo::RecordFormat::kDataAndIndex);
  }
  static bool wait_pictures(uint64_t n, int timeout_ms = 20000) {
    return velmora::testing::wait_until([&] { return lib().engine.pictures_decoded() >= n; },
                                        std::chrono::milliseconds(timeout_ms));
  }
};

// Checks the pace of the pictures the decode thread releases over a span,
// for pictures paced period_ms apart. The engine is never faster than its
// own clock, whatever the machine does; it is not slower either, except by
// the time the machine kept the process's threads from running. The engine
// counts whole milliseconds, so a wait may end up to one early, and its
// 1 ms polls may end it up to two late.
inline void expect_pace(std::chrono::milliseconds span, double period_ms) {
  using Clock = std::chrono::steady_clock;
  velmora::testing::StallMeter stalls;
  const auto start = Clock::now();
  const uint64_t first = lib().engine.pictures_decoded();
  std::this_thread::sleep_for(span);
  const uint64_t last = lib().engine.pictures_decoded();
  const double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
  const double stalled = static_cast<double>(stalls.stalled().count());
  const double n = static_cast<double>(last - first);
  EXPECT_LE(n, ms / (period_ms - 1) + 2) << "pictures in " << ms << " ms";
  EXPECT_GE(n, (ms - stalled) / (period_ms + 3) - 2)
      << "pictures in " << ms << " ms, " << stalled << " ms of them held up";
}

}  // namespace ovotest
