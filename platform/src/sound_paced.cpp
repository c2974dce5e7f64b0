// The back-ends without a sound card: "none" and the WAV-file sink. Both
// consume sound at the rate of the format, like a device with a short queue,
// so that writers are paced as they would be by a sound card. The WAV sink
// writes the bytes to its file as they are consumed.
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <functional>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "sound_internal.h"
#include "velmora/message.h"

namespace vp::sound_detail {
namespace {

using Clock = std::chrono::steady_clock;

// The device queue of a paced stream holds this much sound.
constexpr uint32_t kQueueMs = 40;

class PacedStream : public SoundStream {
 public:
  using Sink = std::function<void(const uint8_t*, size_t)>;

  PacedStream(const PcmFormat& format, Sink sink) : format_(format), sink_(std::move(sink)) {
    const uint32_t align = format_.block_align();
    capacity_ = std::max<size_t>(align, format_.bytes_per_second() * kQueueMs / 1000 / align * align);
    last_ = Clock::now();
  }

  ~PacedStream() override {
    // What was written and not discarded reaches the sink.
    std::lock_guard<std::mutex> lock(mutex_);
    flush_to_sink(queue_.size());
  }

  bool write(const void* data, size_t bytes) override {
    const uint32_t align = format_.block_align();
    bytes -= bytes % align;
    const auto* p = static_cast<const uint8_t*>(data);
    std::unique_lock<std::mutex> lock(mutex_);
    while (bytes > 0) {
      advance();
      const size_t room = capacity_ - queue_.size();
      if (room < align || (room < bytes && room < capacity_ / 2)) {
        // Wait until half the queue (or what is left to write) has room.
        const size_t want = std::min(bytes, capacity_ / 2);
        const size_t missing = want > room ? want - room : align;
        wake_.wait_for(lock, duration_of(missing));
        continue;
      }
      const size_t n = std::min(room - room % align, bytes);
      const size_t at = queue_.size();
      queue_.insert(queue_.end(), p, p + n);
      scale(at, n);
      p += n;
      bytes -= n;
    }
    return true;
  }

  void discard() override {
    std::lock_guard<std::mutex> lock(mutex_);
    queue_.clear();
    last_ = Clock::now();
    wake_.notify_all();
  }

  void drain() override {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      advance();
      if (queue_.empty()) return;
      wake_.wait_for(lock, duration_of(queue_.size()));
    }
  }

  size_t queued_bytes() override {
    std::lock_guard<std::mutex> lock(mutex_);
    advance();
    return queue_.size();
  }

  const PcmFormat& format() const override { return format_; }

 private:
  Clock::duration duration_of(size_t bytes) const {
    const uint64_t ns = static_cast<uint64_t>(bytes) * 1000000000ull / format_.bytes_per_second();
    return std::chrono::duration_cast<Clock::duration>(std::chrono::nanoseconds(ns + 1));
  }

  // Moves the bytes the "device" has played since the last look to the sink.
  void advance() {
    const auto now = Clock::now();
    if (queue_.empty()) {
      last_ = now;  // an idle device earns no credit
      return;
    }
    const uint64_t elapsed_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(now - last_).count();
    const uint32_t align = format_.block_align();
    size_t played = static_cast<size_t>(elapsed_ns * format_.bytes_per_second() / 1000000000ull);
    played -= played % align;
    if (played == 0) return;
    played = std::min(played, queue_.size());
    last_ += duration_of(played) - Clock::duration(1);
    flush_to_sink(played);
    if (queue_.empty()) last_ = now;
  }

  void flush_to_sink(size_t n) {
    if (n == 0) return;
    if (sink_) {
      out_.assign(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
      sink_(out_.data(), out_.size());
    }
    queue_.erase(queue_.begin(), queue_.begin() + static_cast<std::ptrdiff_t>(n));
  }

  void scale(size_t at, size_t n) {
    if (sound_volume() == 0xFFFFFFFFu) return;
    samples_.resize(n / 2);
    for (size_t i = 0; i < samples_.size(); ++i) {
      samples_[i] = static_cast<int16_t>(queue_[at + 2 * i] | (queue_[at + 2 * i + 1] << 8));
    }
    apply_sound_volume(samples_.data(), samples_.size(), format_.channels);
    for (size_t i = 0; i < samples_.size(); ++i) {
      queue_[at + 2 * i] = static_cast<uint8_t>(samples_[i] & 0xFF);
      queue_[at + 2 * i + 1] = static_cast<uint8_t>((samples_[i] >> 8) & 0xFF);
    }
  }

  const PcmFormat format_;
  const Sink sink_;
  size_t capacity_ = 0;
  std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<uint8_t> queue_;
  Clock::time_point last_;
  std::vector<uint8_t> out_;
  std::vector<int16_t> samples_;
};

void put_le32(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
  p[2] = static_cast<uint8_t>(v >> 16);
  p[3] = static_cast<uint8_t>(v >> 24);
}

void put_le16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

// The paths the WAV streams of this process are writing.
std::mutex g_wav_paths_lock;
std::set<std::string> g_wav_paths;

std::string claim_wav_path(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_wav_paths_lock);
  std::string chosen = path;
  for (int n = 1; g_wav_paths.count(chosen); ++n) chosen = path + "." + std::to_string(n) + ".wav";
  g_wav_paths.insert(chosen);
  return chosen;
}

void release_wav_path(const std::string& path) {
  std::lock_guard<std::mutex> lock(g_wav_paths_lock);
  g_wav_paths.erase(path);
}

// A RIFF/WAVE file whose header always describes the data written so far, so
// that it can be read while it grows.
class WavFile {
 public:
  WavFile(FILE* f, std::string path, const PcmFormat& format) : file_(f), path_(std::move(path)) {
    uint8_t h[44] = {};
    std::memcpy(h, "RIFF", 4);
    put_le32(h + 4, 36);
    std::memcpy(h + 8, "WAVEfmt ", 8);
    put_le32(h + 16, 16);
    put_le16(h + 20, 1);  // PCM
    put_le16(h + 22, format.channels);
    put_le32(h + 24, format.sample_rate);
    put_le32(h + 28, format.bytes_per_second());
    put_le16(h + 32, static_cast<uint16_t>(format.block_align()));
    put_le16(h + 34, format.bits_per_sample);
    std::memcpy(h + 36, "data", 4);
    put_le32(h + 40, 0);
    ok_ = std::fwrite(h, 1, sizeof h, file_) == sizeof h && std::fflush(file_) == 0;
  }

  ~WavFile() {
    std::fclose(file_);
    release_wav_path(path_);
  }

  bool ok() const { return ok_; }

  void append(const uint8_t* data, size_t n) {
    // The RIFF sizes are 32-bit: stop short of 4 GiB.
    if (!ok_ || data_bytes_ + n > 0xFFFFFF00ull) return;
    if (std::fseek(file_, 0, SEEK_END) != 0 || std::fwrite(data, 1, n, file_) != n) {
      ok_ = false;
      debug_printf("sound: writing %s failed\n", path_.c_str());
      return;
    }
    data_bytes_ += n;
    uint8_t size[4];
    put_le32(size, static_cast<uint32_t>(36 + data_bytes_));
    std::fseek(file_, 4, SEEK_SET);
    std::fwrite(size, 1, 4, file_);
    put_le32(size, static_cast<uint32_t>(data_bytes_));
    std::fseek(file_, 40, SEEK_SET);
    std::fwrite(size, 1, 4, file_);
    std::fflush(file_);
  }

 private:
  FILE* file_;
  std::string path_;
  uint64_t data_bytes_ = 0;
  bool ok_ = false;
};

}  // namespace

std::unique_ptr<SoundStream> open_none_stream(const PcmFormat& format, SoundError* error) {
  set_error(error, SoundError::kNone);
  return std::make_unique<PacedStream>(format, nullptr);
}

std::unique_ptr<SoundStream> open_wav_stream(const PcmFormat& format, const std::string& path, SoundError* error) {
  const std::string chosen = claim_wav_path(path);
  FILE* f = std::fopen(chosen.c_str(), "wb");
  if (!f) {
    release_wav_path(chosen);
    debug_printf("sound: cannot create %s\n", chosen.c_str());
    set_error(error, SoundError::kNoDevice);
    return nullptr;
  }
  auto wav = std::make_shared<WavFile>(f, chosen, format);
  if (!wav->ok()) {
    set_error(error, SoundError::kNoDevice);
    return nullptr;
  }
  set_error(error, SoundError::kNone);
  return std::make_unique<PacedStream>(format, [wav](const uint8_t* data, size_t n) { wav->append(data, n); });
}

}  // namespace vp::sound_detail
