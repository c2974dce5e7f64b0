// The looping buffer with position notifications, played into a stream by a
// pump thread.
#include <pthread.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "sound_internal.h"
#include "velmora/message.h"

VP_NAMESPACE_BEGIN  // exported (clang applies the namespace's visibility only here)
namespace {

// The pump hands the buffer to the stream in pieces of this much sound, and
// never across a notification position, so notifications come on time.
constexpr uint32_t kPumpPieceMs = 20;

class LoopingBuffer : public LoopingSoundBuffer {
 public:
  LoopingBuffer(std::unique_ptr<SoundStream> stream, size_t bytes) : stream_(std::move(stream)), data_(bytes, 0) {
    const PcmFormat& f = stream_->format();
    piece_ = std::max<size_t>(f.block_align(),
                              f.bytes_per_second() * kPumpPieceMs / 1000 / f.block_align() * f.block_align());
    pump_ = std::thread([this] { run_pump(); });
  }

  ~LoopingBuffer() override {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      quit_ = true;
      playing_ = false;
    }
    pump_wake_.notify_all();
    pump_.join();
  }

  size_t size() const override { return data_.size(); }

  bool set_notifications(const std::vector<size_t>& positions) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (playing_ || positions.empty()) return false;
    for (size_t p : positions) {
      if (p >= data_.size()) return false;
    }
    positions_ = positions;
    signalled_.assign(positions.size(), false);
    return true;
  }

  bool play() override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (failed_) return false;
    playing_ = true;
    pump_wake_.notify_all();
    return true;
  }

  void stop() override {
    std::unique_lock<std::mutex> lock(mutex_);
    playing_ = false;
    ++generation_;
    // Wait for the piece the pump is handing over, then throw away what the
    // stream still holds.
    idle_.wait(lock, [this] { return !pumping_; });
    stream_->discard();
  }

  bool write(size_t offset, const void* data, size_t bytes) override {
    std::lock_guard<std::mutex> lock(mutex_);
    if (offset >= data_.size() || bytes > data_.size()) return false;
    const auto* p = static_cast<const uint8_t*>(data);
    const size_t first = std::min(bytes, data_.size() - offset);
    std::memcpy(data_.data() + offset, p, first);
    std::memcpy(data_.data(), p + first, bytes - first);
    return true;
  }

  bool fill_silence() override {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fill(data_.begin(), data_.end(), 0);
    return true;
  }

  void set_position(size_t offset) override {
    std::lock_guard<std::mutex> lock(mutex_);
    position_ = offset % data_.size();
    ++generation_;
  }

  size_t position() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return position_;
  }

  void reset_notifications() override {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fill(signalled_.begin(), signalled_.end(), false);
  }

  int wait_notification(uint32_t timeout_ms) override {
    std::unique_lock<std::mutex> lock(mutex_);
    auto any = [this] { return std::find(signalled_.begin(), signalled_.end(), true) != signalled_.end(); };
    if (!notified_.wait_for(lock, std::chrono::milliseconds(timeout_ms), any)) return -1;
    const auto it = std::find(signalled_.begin(), signalled_.end(), true);
    *it = false;
    return static_cast<int>(it - signalled_.begin());
  }

 private:
  void run_pump() {
    // Named for itself rather than after the thread that made the buffer.
    pthread_setname_np(pthread_self(), "vp-sound-pump");
    std::vector<uint8_t> piece;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      pump_wake_.wait(lock, [this] { return quit_ || playing_; });
      if (quit_) return;
      // One piece from the play position, ending at the buffer's end or just
      // after the next notification position.
      const size_t start = position_;
      size_t n = std::min(piece_, data_.size() - start);
      for (size_t p : positions_) {
        if (p >= start && p - start + 1 < n) n = p - start + 1;
      }
      piece.assign(data_.begin() + static_cast<std::ptrdiff_t>(start),
                   data_.begin() + static_cast<std::ptrdiff_t>(start + n));
      std::fill(data_.begin() + static_cast<std::ptrdiff_t>(start),
                data_.begin() + static_cast<std::ptrdiff_t>(start + n), 0);
      const uint64_t generation = generation_;
      pumping_ = true;
      lock.unlock();
      const bool ok = stream_->write(piece.data(), piece.size());
      lock.lock();
      pumping_ = false;
      idle_.notify_all();
      if (!ok) {
        debug_output("sound: the device failed; the looping buffer stops\n");
        failed_ = true;
        playing_ = false;
        continue;
      }
      if (!playing_ || generation != generation_) continue;  // stopped or moved meanwhile
      position_ = (start + n) % data_.size();
      bool fired = false;
      for (size_t k = 0; k < positions_.size(); ++k) {
        if (positions_[k] >= start && positions_[k] < start + n) {
          signalled_[k] = true;
          fired = true;
        }
      }
      if (fired) notified_.notify_all();
    }
  }

  std::unique_ptr<SoundStream> stream_;
  mutable std::mutex mutex_;
  std::condition_variable pump_wake_;
  std::condition_variable idle_;
  std::condition_variable notified_;
  std::vector<uint8_t> data_;
  std::vector<size_t> positions_;
  std::vector<bool> signalled_;
  size_t piece_ = 0;
  size_t position_ = 0;
  uint64_t generation_ = 0;
  bool playing_ = false;
  bool pumping_ = false;
  bool failed_ = false;
  bool quit_ = false;
  std::thread pump_;
};

}  // namespace

std::unique_ptr<LoopingSoundBuffer> create_looping_sound_buffer(std::unique_ptr<SoundStream> stream, size_t bytes,
                                                                SoundError* error) {
  if (!stream || bytes == 0 || bytes % stream->format().block_align() != 0) {
    sound_detail::set_error(error, stream ? SoundError::kFormat : SoundError::kNoDevice);
    return nullptr;
  }
  try {
    auto buffer = std::make_unique<LoopingBuffer>(std::move(stream), bytes);
    sound_detail::set_error(error, SoundError::kNone);
    return buffer;
  } catch (const std::exception&) {
    sound_detail::set_error(error, SoundError::kResources);
    return nullptr;
  }
}

}  // namespace vp
