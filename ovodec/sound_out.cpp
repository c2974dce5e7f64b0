#include "sound_out.h"

#include <strings.h>

#include <algorithm>
#include <atomic>
#include <cstring>

#include "velmora/clock.h"
#include "velmora/message.h"

namespace ovo {
namespace {

// The device's stream as the looping buffer's pump sees it, counting the bytes
// handed over; what the device still holds is its own count (ALSA's delay,
// the queue of the none and WAV sinks).
class CountingStream : public vp::SoundStream, public PlayedCounter {
 public:
  explicit CountingStream(std::unique_ptr<vp::SoundStream> stream) : stream_(std::move(stream)) {
    const vp::PcmFormat& f = stream_->format();
    const size_t align = std::max<size_t>(f.block_align(), 1);
    piece_ = std::max(align, f.bytes_per_second() * kCountedPieceMs / 1000 / align * align);
  }
  bool write(const void* data, size_t bytes) override {
    const size_t align = std::max<size_t>(stream_->format().block_align(), 1);
    bytes -= bytes % align;
    const auto* p = static_cast<const uint8_t*>(data);
    for (size_t done = 0; done < bytes;) {
      const size_t n = std::min(piece_, bytes - done);
      if (!stream_->write(p + done, n)) return false;
      handed_.fetch_add(n);
      done += n;
    }
    return true;
  }
  void discard() override { stream_->discard(); }
  void drain() override { stream_->drain(); }
  size_t queued_bytes() override { return stream_->queued_bytes(); }
  const vp::PcmFormat& format() const override { return stream_->format(); }
  uint64_t handed_bytes() override { return handed_.load(); }
  uint64_t device_queued_bytes() override { return stream_->queued_bytes(); }

 private:
  std::unique_ptr<vp::SoundStream> stream_;
  size_t piece_ = 0;
  std::atomic<uint64_t> handed_{0};
};

std::unique_ptr<vp::LoopingSoundBuffer> create_device_buffer(std::string* failed_step, bool* device,
                                                             PlayedCounter** counter) {
  vp::PcmFormat format;  // 8,000 Hz, mono, 16 bits: 16,000 bytes per second
  vp::SoundError error = vp::SoundError::kNone;
  auto stream = vp::open_sound_stream(format, &error);
  *device = stream != nullptr;
  if (!stream) {
    *failed_step = error == vp::SoundError::kFormat ? "Set Primary Format Failed!" : "Create DirectSound Failed!";
    return nullptr;
  }
  CountedStream counting = count_handed_bytes(std::move(stream));
  PlayedCounter* played = counting.counter;
  auto buffer = vp::create_looping_sound_buffer(std::move(counting.stream), kSoundBufferBytes, &error);
  if (!buffer) {
    *failed_step = "Create Second Sound Buffer Failed!";
    return nullptr;
  }
  // A notification at the last byte of each segment.
  if (!buffer->set_notifications({kSoundSegmentBytes - 1, 2 * kSoundSegmentBytes - 1, 3 * kSoundSegmentBytes - 1})) {
    *failed_step = "Set NotificationPosition Failed!";
    return nullptr;
  }
  *counter = played;
  return buffer;
}

}  // namespace

CountedStream count_handed_bytes(std::unique_ptr<vp::SoundStream> stream) {
  auto counting = std::make_unique<CountingStream>(std::move(stream));
  CountedStream r;
  r.counter = counting.get();
  r.stream = std::move(counting);
  return r;
}

SoundOut::SoundOut() : SoundOut(CountingCreator(create_device_buffer), vp::time_get_time_ms) {}

SoundOut::SoundOut(Creator creator, Clock clock)
    : creator_([creator = std::move(creator)](std::string* failed_step, bool* device, PlayedCounter**) {
        return creator(failed_step, device);
      }),
      clock_(std::move(clock)) {}

SoundOut::SoundOut(CountingCreator creator, Clock clock) : creator_(std::move(creator)), clock_(std::move(clock)) {}

void SoundOut::open(int sample_rate, int bits, int channels) {
  std::lock_guard<std::mutex> lock(mutex_);
  filled_ = 0;
  block_media_us_ = -1;
  if (opened_) return;
  opened_ = true;
  std::string failed_step;
  if (sample_rate == 8000 && bits == 16 && channels == 1) {
    PlayedCounter* counter = nullptr;
    buffer_ = creator_(&failed_step, &device_, &counter);
    std::lock_guard<std::mutex> clock_lock(clock_mutex_);
    counter_ = buffer_ ? counter : nullptr;
  } else {
    failed_step = "Set Primary Format Failed!";
  }
  if (!buffer_) {
    vp::debug_printf("%s\n", failed_step.c_str());
    status_ = kStatusSetFormatFailed;
  }
  start_locked();
}

void SoundOut::set_status_locked(const char* text) {
  status_ = text;
  vp::debug_printf("%s\n", text);
}

void SoundOut::start() {
  std::lock_guard<std::mutex> lock(mutex_);
  start_locked();
}

void SoundOut::start_locked() {
  if (!device_) {
    set_status_locked(kStatusNotCreated);
    return;
  }
  if (strcasecmp(status_.c_str(), kStatusSetFormatFailed) == 0 || !buffer_) {
    vp::debug_printf("%s\n", status_.c_str());
    return;
  }
  playing_ = buffer_->play();
}

void SoundOut::stop() {
  std::lock_guard<std::mutex> lock(mutex_);
  playing_ = false;
  if (!buffer_) return;
  buffer_->stop();
  if (!buffer_->fill_silence()) {
    set_status_locked(kStatusStopFailed);
    return;
  }
  buffer_->set_position(0);
  buffer_->reset_notifications();
  forget_clock();
  // Played from its start again, the buffer's notifications begin a new
  // round with segment 0, and nothing has been missed. The last segment
  // written before would make that first notification look like a missed
  // one, and the lag rule would drop the next blocks; without their waits the
  // decode thread empties the ring, which stops the sound again, and so on
  // for the rest of the stream.
  last_segment_ = -1;
  lag_ = 0;
}

PieceResult SoundOut::put_piece(const int16_t* samples, size_t bytes, int64_t media_us) {
  if (bytes > kSoundPieceBytes) return PieceResult::kIgnored;
  std::lock_guard<std::mutex> lock(mutex_);
  // Without a playing buffer no notification would ever come.
  if (!buffer_ || !playing_) return PieceResult::kNoSound;
  if (filled_ < kSoundPiecesPerBlock) {
    if (filled_ == 0) block_media_us_ = media_us;
    std::memcpy(block_ + static_cast<size_t>(filled_) * kSoundPieceBytes, samples, bytes);
    ++filled_;
    if (filled_ < kSoundPiecesPerBlock) return PieceResult::kGathered;
  }
  // A full block, completed now or held from before: after a missed
  // notification, skip writing for a while so the writer falls back in step
  // with the device.
  if (lag_ > 0 && clock_() - lag_time_ < kLagWindowMs) {
    --lag_;
    return PieceResult::kSkipped;
  }
  const PieceResult result = write_block_locked();
  filled_ = 0;
  return result;
}

PieceResult SoundOut::write_block_locked() {
  const int i = buffer_->wait_notification(kNotificationTimeoutMs);
  if (i < 0 || i >= kSoundSegments) {
    vp::debug_output("sound: no notification from the device; block dropped\n");
    return PieceResult::kNoSound;
  }
  // Segment i has just been played: the block goes there, to be played after
  // the other two.
  if (!buffer_->write(static_cast<size_t>(i) * kSoundSegmentBytes, block_, kSoundSegmentBytes)) {
    set_status_locked(kStatusLockFailed);
    return PieceResult::kNoSound;
  }
  // Any other segment than the one after the last written means a
  // notification went by unanswered.
  if (last_segment_ != -1 && i != (last_segment_ + 1) % kSoundSegments) {
    lag_ += 5;
    lag_time_ = clock_();
  }
  last_segment_ = i;
  // The block plays when the pump next reaches the segment's first byte.
  if (block_media_us_ >= 0) {
    std::lock_guard<std::mutex> clock_lock(clock_mutex_);
    if (counter_) {
      const uint64_t handed = counter_->handed_bytes() - origin_;
      const uint64_t target = static_cast<uint64_t>(i) * kSoundSegmentBytes;
      const uint64_t ahead = (target + kSoundBufferBytes - handed % kSoundBufferBytes) % kSoundBufferBytes;
      heard_blocks_.push_back({origin_ + handed + ahead, block_media_us_});
      while (heard_blocks_.size() > kSoundSegments + 1) heard_blocks_.pop_front();
    }
  }
  return PieceResult::kWritten;
}

void SoundOut::forget_clock() {
  std::lock_guard<std::mutex> clock_lock(clock_mutex_);
  heard_blocks_.clear();
  // Stopped, the pump hands nothing over until the next play, which starts
  // from the buffer's first byte.
  if (counter_) origin_ = counter_->handed_bytes();
}

bool SoundOut::heard_media_us(int64_t* media_us) const {
  std::lock_guard<std::mutex> clock_lock(clock_mutex_);
  if (!counter_ || heard_blocks_.empty()) return false;
  const uint64_t handed = counter_->handed_bytes();
  const uint64_t queued = counter_->device_queued_bytes();
  const int64_t heard = static_cast<int64_t>(handed) - static_cast<int64_t>(std::min(queued, handed));
  // The block being heard: the last one that has begun, or the first one
  // still to come (its time less what is still to play before it).
  const HeardBlock* block = &heard_blocks_.front();
  for (const HeardBlock& b : heard_blocks_) {
    if (static_cast<int64_t>(b.start) <= heard) block = &b;
  }
  const int64_t into = heard - static_cast<int64_t>(block->start);
  // Past the end of the last block written (and a pump piece of slack) the
  // device plays silence: there is no sound to follow.
  if (block == &heard_blocks_.back() && into > static_cast<int64_t>(kSoundSegmentBytes + kSoundPieceBytes)) {
    return false;
  }
  *media_us = block->media_us + into * 1000000 / kSoundBytesPerSecond;
  return true;
}

bool SoundOut::created() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return buffer_ != nullptr;
}

bool SoundOut::playing() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return playing_;
}

std::string SoundOut::status_text() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return status_;
}

int SoundOut::lag_counter() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return lag_;
}

int SoundOut::last_segment() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return last_segment_;
}

int SoundOut::pieces_filled() const {
  std::lock_guard<std::mutex> lock(mutex_);
  return filled_;
}

}  // namespace ovo
