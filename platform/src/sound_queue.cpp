// The block queue: caller-owned blocks played in order on a thread of its own.
#include <condition_variable>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "sound_internal.h"

VP_NAMESPACE_BEGIN  // exported (clang applies the namespace's visibility only here)
namespace {

// A block is handed to the stream in pieces of this much sound, so that a
// reset interrupts it quickly.
constexpr uint32_t kPieceMs = 20;

class BlockQueue : public SoundBlockQueue {
 public:
  BlockQueue(std::unique_ptr<SoundStream> stream, DoneCallback done)
      : stream_(std::move(stream)), done_(std::move(done)) {
    const PcmFormat& f = stream_->format();
    piece_ =
        std::max<size_t>(f.block_align(), f.bytes_per_second() * kPieceMs / 1000 / f.block_align() * f.block_align());
    thread_ = std::thread([this] { run(); });
  }

  ~BlockQueue() override {
    reset();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      closing_ = true;
    }
    wake_.notify_all();
    thread_.join();
  }

  bool write(const void* data, size_t bytes, uintptr_t user) override {
    if (bytes == 0 || !data) return false;
    std::lock_guard<std::mutex> lock(mutex_);
    if (closing_) return false;
    queue_.push_back({static_cast<const uint8_t*>(data), bytes, user});
    ++pending_;
    wake_.notify_all();
    return true;
  }

  void reset() override {
    std::unique_lock<std::mutex> lock(mutex_);
    ++generation_;
    dropped_.insert(dropped_.end(), queue_.begin(), queue_.end());
    queue_.clear();
    wake_.notify_all();
    // Every block written so far is reported done by the queue's thread.
    settled_.wait(lock, [this] { return pending_ == 0; });
  }

  size_t pending() const override {
    std::lock_guard<std::mutex> lock(mutex_);
    return pending_;
  }

 private:
  struct Block {
    const uint8_t* data;
    size_t bytes;
    uintptr_t user;
  };

  void report(uintptr_t user) {
    done_(user);
    std::lock_guard<std::mutex> lock(mutex_);
    --pending_;
    settled_.notify_all();
  }

  void run() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      wake_.wait(lock, [this] { return closing_ || !queue_.empty() || !dropped_.empty(); });
      if (!dropped_.empty()) {
        std::vector<Block> dropped(dropped_.begin(), dropped_.end());
        dropped_.clear();
        lock.unlock();
        stream_->discard();
        for (const Block& b : dropped) report(b.user);
        lock.lock();
        continue;
      }
      if (queue_.empty()) {
        if (closing_) return;
        continue;
      }
      const Block block = queue_.front();
      queue_.pop_front();
      const uint64_t generation = generation_;
      lock.unlock();
      bool interrupted = false;
      for (size_t at = 0; at < block.bytes && !interrupted; at += piece_) {
        stream_->write(block.data + at, std::min(piece_, block.bytes - at));
        std::lock_guard<std::mutex> check(mutex_);
        interrupted = generation != generation_;
      }
      if (interrupted) stream_->discard();
      report(block.user);
      lock.lock();
    }
  }

  std::unique_ptr<SoundStream> stream_;
  const DoneCallback done_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::condition_variable settled_;
  std::deque<Block> queue_;
  std::deque<Block> dropped_;
  size_t pending_ = 0;
  size_t piece_ = 0;
  uint64_t generation_ = 0;
  bool closing_ = false;
  std::thread thread_;
};

}  // namespace

std::unique_ptr<SoundBlockQueue> open_sound_block_queue(const PcmFormat& format, SoundBlockQueue::DoneCallback done,
                                                        SoundError* error) {
  auto stream = open_sound_stream(format, error);
  if (!stream) return nullptr;
  try {
    return std::make_unique<BlockQueue>(std::move(stream), std::move(done));
  } catch (const std::exception&) {
    sound_detail::set_error(error, SoundError::kResources);
    return nullptr;
  }
}

}  // namespace vp
