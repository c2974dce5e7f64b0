// Playback pace: a recording of 30 pictures a second played through the
// channel library, with its sound and without, watched the way a viewer
// watches it: a poller fetches the current picture every millisecond.
// Reported: distinct pictures per second, the mean and worst gap between
// them, and with sound the offset between a picture and its sound, from a
// recording with a white flash and a click on the same frame once a second.
// The reference is the recording itself: 30 pictures a second, 33.3 ms
// apart, each picture at the time of its sound.
//
// The sound goes to the WAV sink, which plays it in real time; the poller
// reads the file as it grows, so the moment the click is played is known to
// within a poll. With VELMORA_AUDIO=alsa it goes to the sound device
// instead, whose played position then paces the pictures; what the device
// plays cannot be read back, so the offset is not measured that way.
//
// usage: bench_pace [SECONDS [WORK_FOLDER]]   (defaults: 10, $TMPDIR or /tmp)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "OvoDec1.h"
#include "zebsim/packets.h"

namespace {

using Clock = std::chrono::steady_clock;

constexpr int kWidth = 704, kHeight = 480;
constexpr int kClipPictures = 180;  // 6 s, a whole number of flash periods
constexpr int kFlashPeriod = 30;    // a flash and a click once a second
constexpr int kFlashAt = 15;        // on this picture of each period
constexpr int kPicturesPerGop = 15;
constexpr int kSamplesPerPiece = 160;  // 20 ms of 8 kHz sound
constexpr uint8_t kSilence = 0xD5;     // A-law +8
constexpr uint8_t kLoud = 0xAA;        // A-law +32256
constexpr int kClickSamples = 16;      // 2 ms
constexpr double kWarmUpS = 1.5;       // left out: the start, before the sound is heard

double ms_between(Clock::time_point a, Clock::time_point b) {
  return std::chrono::duration<double, std::milli>(b - a).count();
}

bool make_clip(const std::string& path) {
  const std::string cmd =
      "ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=size=704x480:rate=30 -t 6 "
      "-vf \"drawbox=x=0:y=0:w=iw:h=ih:color=white:t=fill:enable='eq(mod(n\\,30)\\,15)'\" "
      "-c:v mpeg4 -g 15 -bf 0 -q:v 4 -f m4v '" +
      path + "'";
  return std::system(cmd.c_str()) == 0;
}

// Hands the recording over GOP by GOP for as long as the run lasts, as the
// playback threads do: each picture's record followed by the sound pieces
// due by its end, one click on each flash picture's first sample.
class Feeder {
 public:
  Feeder(const std::vector<uint8_t>& es, const std::vector<zebsim::EsPicture>& pictures, bool sound)
      : es_(es), pictures_(pictures), sound_(sound) {
    thread_ = std::thread([this] { run(); });
  }
  ~Feeder() {
    done_.store(true);
    thread_.join();
  }

 private:
  void run() {
    int64_t pieces = 0;
    for (int64_t g = 0; !done_.load();) {
      std::vector<uint8_t> buffer;
      for (int k = 0; k < kPicturesPerGop; ++k, ++g) {
        const zebsim::EsPicture& p = pictures_[static_cast<size_t>(g % kClipPictures)];
        zebsim::PacketSpec ps;
        ps.video = true;
        ps.pts = static_cast<uint64_t>(g) * 3003;
        const auto packet = zebsim::recorder_packet(ps, es_.data() + p.offset, p.size);
        zebsim::FrameSpec fs;
        fs.video = true;
        fs.duration_us = 33333;
        fs.time = 1700000000 + static_cast<int32_t>(g / 30);
        zebsim::append_frame_record(buffer, fs, packet.data(), packet.size());
        if (!sound_) continue;
        for (; pieces < (g + 1) * 5 / 3; ++pieces) {
          std::vector<uint8_t> payload(8 + kSamplesPerPiece, kSilence);
          const int64_t first_sample = pieces * kSamplesPerPiece;
          // The flash picture's first sample: picture f starts at f / 30 s.
          const int64_t f = (first_sample * 30 / 8000 / kFlashPeriod) * kFlashPeriod + kFlashAt;
          for (int64_t fl : {f - kFlashPeriod, f, f + kFlashPeriod}) {
            const int64_t click = (fl * 8000 + 29) / 30;
            for (int64_t s = click; s < click + kClickSamples; ++s) {
              if (s >= first_sample && s < first_sample + kSamplesPerPiece) payload[8 + (s - first_sample)] = kLoud;
            }
          }
          zebsim::FrameSpec as;
          as.video = false;
          as.duration_us = 20000;
          as.time = fs.time;
          zebsim::append_frame_record(buffer, as, payload.data(), payload.size());
        }
      }
      while (!done_.load() && play_add_ring1(0, buffer.data(), static_cast<int32_t>(buffer.size()), 0, 0) != 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
      }
    }
  }

  const std::vector<uint8_t>& es_;
  const std::vector<zebsim::EsPicture>& pictures_;
  const bool sound_;
  std::atomic<bool> done_{false};
  std::thread thread_;
};

// Reads what the WAV sink has played so far and finds the clicks in it.
class WavWatch {
 public:
  explicit WavWatch(std::string path) : path_(std::move(path)) {}
  // The times the clicks found since the last look were played at.
  void look(Clock::time_point now, std::vector<Clock::time_point>* clicks) {
    if (!file_) file_ = std::fopen(path_.c_str(), "rb");
    if (!file_) return;
    std::fseek(file_, 0, SEEK_END);
    const long end = std::ftell(file_);
    if (end <= 44 + static_cast<long>(read_)) return;
    std::vector<uint8_t> data(static_cast<size_t>(end - 44 - static_cast<long>(read_)) & ~size_t{1});
    std::fseek(file_, 44 + static_cast<long>(read_), SEEK_SET);
    const size_t got = std::fread(data.data(), 1, data.size(), file_) & ~size_t{1};
    const uint64_t total = read_ + got;
    for (size_t i = 0; i < got; i += 2) {
      const int v = static_cast<int16_t>(data[i] | data[i + 1] << 8);
      const bool loud = std::abs(v) > 16000;
      if (loud && !in_click_) {
        // Played (total - position) bytes before this look, at 16 bytes a ms.
        const double before_ms = static_cast<double>(total - (read_ + i)) / 16.0;
        clicks->push_back(now - std::chrono::microseconds(static_cast<int64_t>(before_ms * 1000)));
      }
      in_click_ = loud;
    }
    read_ = total;
  }
  ~WavWatch() {
    if (file_) std::fclose(file_);
  }

 private:
  std::string path_;
  FILE* file_ = nullptr;
  uint64_t read_ = 0;
  bool in_click_ = false;
};

struct Result {
  double pictures_per_s = 0, mean_gap_ms = 0, worst_gap_ms = 0, poll_ms = 0, first_picture_ms = 0;
  double worst_start_gap_ms = 0;  // in the warm-up
  int gaps_over_50 = 0;
  std::vector<double> offsets_ms;  // picture minus sound, per flash
};

bool play(const std::vector<uint8_t>& es, const std::vector<zebsim::EsPicture>& pictures, bool sound,
          const std::string& wav, double seconds, Result* r) {
  std::vector<uint8_t> rgb(static_cast<size_t>(kWidth) * kHeight * 3 + 1);
  // A sample of the picture tells pictures apart and finds the flash.
  auto look_at = [&](uint64_t* sum, bool* flash) {
    int32_t count, a, b;
    uint32_t t;
    if (get_bmpdata(&count, &a, &b, rgb.data(), &t) != 0) return false;
    uint64_t light = 0, n = 0;
    *sum = 0;
    for (size_t i = 0; i + 3 <= rgb.size(); i += 3 * 97) {
      *sum = *sum * 1000003 + rgb[i] + (rgb[i + 1] << 8) + (static_cast<uint64_t>(rgb[i + 2]) << 16);
      light += rgb[i] + rgb[i + 1] + rgb[i + 2];
      ++n;
    }
    *flash = light / (3 * n) > 230;
    return true;
  };
  // The picture of an earlier run is not this run's first.
  uint64_t last_sum = 0;
  bool in_flash = false;
  look_at(&last_sum, &in_flash);
  const auto opened = Clock::now();
  if (Ovo_play_open1(0, 0, 0, 0) != 0) return false;
  WavWatch watch(wav);
  std::vector<Clock::time_point> clicks, flashes, changes;
  {
    Feeder feeder(es, pictures, sound);
    bool have_picture = false;
    Clock::time_point first{}, next = Clock::now();
    uint64_t polls = 0;
    for (;;) {
      std::this_thread::sleep_until(next);
      next += std::chrono::milliseconds(1);
      const auto now = Clock::now();
      if (next < now) next = now;
      uint64_t sum = 0;
      bool flash = false;
      if (look_at(&sum, &flash) && sum != last_sum) {
        if (!have_picture) {
          have_picture = true;
          first = now;
          r->first_picture_ms = ms_between(opened, now);
        }
        last_sum = sum;
        changes.push_back(now);
        if (flash && !in_flash) flashes.push_back(now);
        in_flash = flash;
      }
      if (sound) watch.look(Clock::now(), &clicks);
      ++polls;
      if (have_picture && ms_between(first, now) > (kWarmUpS + seconds) * 1000) break;
      if (!have_picture && ms_between(opened, now) > 10000) return false;
    }
    r->poll_ms = ms_between(opened, Clock::now()) / static_cast<double>(polls);
  }
  sound_change(1);
  stop_play_thread();
  // Only the window after the warm-up counts.
  const Clock::time_point from = changes.front() + std::chrono::milliseconds(static_cast<int>(kWarmUpS * 1000));
  std::vector<Clock::time_point> window;
  for (size_t i = 0; i < changes.size(); ++i) {
    if (changes[i] >= from) {
      window.push_back(changes[i]);
    } else if (i > 0) {
      r->worst_start_gap_ms = std::max(r->worst_start_gap_ms, ms_between(changes[i - 1], changes[i]));
    }
  }
  if (window.size() < 2) return false;
  r->pictures_per_s = static_cast<double>(window.size() - 1) / (ms_between(window.front(), window.back()) / 1000);
  double total = 0;
  for (size_t i = 1; i < window.size(); ++i) {
    const double gap = ms_between(window[i - 1], window[i]);
    total += gap;
    r->worst_gap_ms = std::max(r->worst_gap_ms, gap);
    if (gap > 50) ++r->gaps_over_50;
  }
  r->mean_gap_ms = total / static_cast<double>(window.size() - 1);
  for (const auto& f : flashes) {
    if (f < from) continue;
    // The click of the same frame is the one nearest to the flash.
    double best = 1e9;
    for (const auto& c : clicks) {
      const double d = ms_between(c, f);
      if (std::abs(d) < std::abs(best)) best = d;
    }
    if (std::abs(best) < 500) r->offsets_ms.push_back(best);
  }
  return true;
}

void report(const char* what, const Result& r, bool sound, bool device) {
  std::printf("%s\n", what);
  std::printf("  first picture %.0f ms after the open, worst gap in the first %.1f s %.0f ms; poll every %.2f ms\n",
              r.first_picture_ms, kWarmUpS, r.worst_start_gap_ms, r.poll_ms);
  std::printf("  distinct pictures per second: %.2f (the recording: 30.00)\n", r.pictures_per_s);
  std::printf("  gap between pictures: mean %.1f ms, worst %.1f ms, %d over 50 ms (the recording: 33.3 ms)\n",
              r.mean_gap_ms, r.worst_gap_ms, r.gaps_over_50);
  if (!sound) return;
  if (device) {
    std::printf("  picture to sound: not measured (the sound device's output is not read back)\n");
    return;
  }
  if (r.offsets_ms.empty()) {
    std::printf("  picture to sound: NO FLASH MATCHED TO A CLICK\n");
    return;
  }
  double sum = 0, worst = 0;
  for (double o : r.offsets_ms) {
    sum += o;
    if (std::abs(o) > std::abs(worst)) worst = o;
  }
  std::printf("  picture minus sound, %zu flashes: mean %+.1f ms, worst %+.1f ms (the recording: 0)\n",
              r.offsets_ms.size(), sum / static_cast<double>(r.offsets_ms.size()), worst);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 10;
  const char* tmp = std::getenv("TMPDIR");
  const std::string folder = std::filesystem::absolute(argc > 2 ? argv[2] : (tmp ? tmp : "/tmp")).string();
  const std::string clip = folder + "/bench-pace.m4v";
  const std::string wav = folder + "/bench-pace.wav";
  if (seconds <= 0 || !make_clip(clip)) {
    std::fprintf(stderr, "bench_pace: cannot make the clip with ffmpeg\n");
    return 1;
  }
  const char* chosen = std::getenv("VELMORA_AUDIO");
  const bool device = chosen && std::string(chosen) == "alsa";
  if (!device) setenv("VELMORA_AUDIO", ("wav:" + wav).c_str(), 1);
  const std::vector<uint8_t> es = zebsim::read_binary_file(clip);
  const std::vector<zebsim::EsPicture> pictures = zebsim::split_pictures(es);
  if (pictures.size() < static_cast<size_t>(kClipPictures)) {
    std::fprintf(stderr, "bench_pace: the clip has %zu pictures\n", pictures.size());
    return 1;
  }
  std::printf("playback of a 30 pictures per second recording, %.0f s each after %.1f s, 704 x 480, sound to %s\n",
              seconds, kWarmUpS, device ? "the sound device" : "a WAV file in real time");
  Result with_sound, without_sound;
  const bool a = play(es, pictures, true, wav, seconds, &with_sound);
  if (a) report("with sound:", with_sound, true, device);
  const bool b = play(es, pictures, false, wav, seconds, &without_sound);
  if (b) report("without sound:", without_sound, false, device);
  std::filesystem::remove(clip);
  std::filesystem::remove(wav);
  return a && b ? 0 : 1;
}
