#include "sound_out.h"

#include <strings.h>

#include <cstring>

#include "velmora/clock.h"
#include "velmora/message.h"

namespace ovo {
namespace {

std::unique_ptr<vp::LoopingSoundBuffer> create_device_buffer(std::string* failed_step, bool* device) {
  vp::PcmFormat format;  // 8,000 Hz, mono, 16 bits: 16,000 bytes per second
  vp::SoundError error = vp::SoundError::kNone;
  auto stream = vp::open_sound_stream(format, &error);
  *device = stream != nullptr;
  if (!stream) {
    *failed_step = error == vp::SoundError::kFormat ? "Set Primary Format Failed!" : "Create DirectSound Failed!";
    return nullptr;
  }
  auto buffer = vp::create_looping_sound_buffer(std::move(stream), kSoundBufferBytes, &error);
  if (!buffer) {
    *failed_step = "Create Second Sound Buffer Failed!";
    return nullptr;
  }
  // A notification at the last byte of each segment.
  if (!buffer->set_notifications({kSoundSegmentBytes - 1, 2 * kSoundSegmentBytes - 1, 3 * kSoundSegmentBytes - 1})) {
    *failed_step = "Set NotificationPosition Failed!";
    return nullptr;
  }
  return buffer;
}

}  // namespace

SoundOut::SoundOut() : SoundOut(create_device_buffer, vp::time_get_time_ms) {}

SoundOut::SoundOut(Creator creator, Clock clock) : creator_(std::move(creator)), clock_(std::move(clock)) {}

void SoundOut::open(int sample_rate, int bits, int channels) {
  std::lock_guard<std::mutex> lock(mutex_);
  filled_ = 0;
  if (opened_) return;
  opened_ = true;
  std::string failed_step;
  if (sample_rate == 8000 && bits == 16 && channels == 1) {
    buffer_ = creator_(&failed_step, &device_);
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
  // Played from its start again, the buffer's notifications begin a new
  // round with segment 0, and nothing has been missed. The last segment
  // written before would make that first notification look like a missed
  // one, and the lag rule would drop the next blocks; without their waits the
  // decode thread empties the ring, which stops the sound again, and so on
  // for the rest of the stream.
  last_segment_ = -1;
  lag_ = 0;
}

PieceResult SoundOut::put_piece(const int16_t* samples, size_t bytes) {
  if (bytes > kSoundPieceBytes) return PieceResult::kIgnored;
  std::lock_guard<std::mutex> lock(mutex_);
  // Without a playing buffer no notification would ever come.
  if (!buffer_ || !playing_) return PieceResult::kNoSound;
  if (filled_ < kSoundPiecesPerBlock) {
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
  return PieceResult::kWritten;
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
