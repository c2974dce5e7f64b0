#include "engine.h"

#include <pthread.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <cstring>
#include <ctime>
#include <system_error>
#include <thread>
#include <vector>

#include "alaw.h"
#include "presenter.h"
#include "snapshot.h"
#include "sound_out.h"
#include "velmora/clock.h"
#include "velmora/message.h"
#include "velmora/rectime.h"
#include "video_decoder.h"
#include "worker.h"

namespace ovo {
namespace {

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }
uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// How long Ovo_play_open1 waits for a decode thread that was asked to stop.
constexpr uint32_t kStoppingThreadWaitMs = 3000;
// How long Ovo_play_open1 waits for a new decode thread to be ready.
constexpr uint32_t kStartWaitMs = 50;
// How long sound_change waits for the decode thread to serve the request.
constexpr uint32_t kSoundChangeWaitMs = 1010;
// Waits for a record or a free slot are woken by every change of the ring;
// they also look again this often, as a fallback only.
constexpr uint32_t kRingCheckMs = 100;
// The presenter looks at the sound clock at least this often while a picture
// waits for it, so that a clock that stops or appears is followed.
constexpr int64_t kClockCheckUs = 10000;
// A picture further ahead of the sound than this does not belong to the sound
// being heard (a stream that jumped): the timer paces it instead.
constexpr int64_t kMaxSoundLeadUs = 1000000;
// A picture shown within this time of its due time by the timer was on time.
constexpr int kOnTimeMs = 10;
// Sound that falls this far behind the pictures (a stretch of the stream
// without sound) starts again at the time of the picture.
constexpr int64_t kSoundResyncUs = 200000;

}  // namespace

FrameHeader read_frame_header(const uint8_t* h) {
  FrameHeader f;
  f.magic = le16(h);
  f.kind = le16(h + 2);
  f.field4 = static_cast<int32_t>(le32(h + 4));
  f.sequence = static_cast<int16_t>(le16(h + 8));
  f.byte10 = h[10];
  f.camera_set = h[11];
  f.time = static_cast<int32_t>(le32(h + 12));
  f.payload_length = le32(h + 16);
  f.duration_us = static_cast<int32_t>(le32(h + 20));
  f.camera = h[34];
  return f;
}

int32_t single_frame_pacing_us(int32_t speed) {
  static constexpr int32_t kBySpeed[] = {1000000, 500000, 250000, 125000, 62500, 31250, 15625};
  return speed >= 0 && speed <= 6 ? kBySpeed[speed] : -1;
}

Engine::Engine(const Locks& locks, WorkerSlot& worker, SnapshotStore& snapshots, Presentation& presentation,
               SoundOut& (*sound)())
    : locks_(locks), worker_(worker), snapshots_(snapshots), presentation_(presentation), sound_(sound) {
  for (Slot& s : ring_) s.payload = std::make_unique<uint8_t[]>(kSlotBytes);
}

Engine::~Engine() {
  request_stop();
  worker_.join();
}

int32_t Engine::open(int32_t window) {
  window_.store(window);
  const WorkerKind running = worker_.running();
  if (running == WorkerKind::kReceive) return -1;
  if (running == WorkerKind::kDecode) {
    // One decode thread per ring: keep it, unless it is on its way out.
    if (!stop_request_.load()) return 0;
    if (!worker_.wait_ended(kStoppingThreadWaitMs)) return -1;
  }
  // Cleared before the thread starts, so a stop asked for right after this
  // call is never lost.
  {
    std::lock_guard<std::mutex> lock(locks_.ring);
    stop_request_.store(0);
  }
  const uint64_t ready_before = decode_threads_ready_.load();
  if (!worker_.try_start(WorkerKind::kDecode, [this] { decode_thread(); })) return -1;
  worker_.signal().wait_for(kStartWaitMs, [&] {
    return decode_threads_ready_.load() != ready_before || worker_.running() != WorkerKind::kDecode;
  });
  return 0;
}

int32_t Engine::add_ring(const uint8_t* records, int32_t length, int32_t single_frame, int32_t speed) {
  std::lock_guard<std::mutex> producer(produce_lock_);
  if (ring_[write_index_].state.load(std::memory_order_acquire) != kFree) return -1;
  if (!records || length <= 0) return 0;
  const size_t total = static_cast<size_t>(length);
  size_t at = 0;
  // One decoder takes one stream. A recorder records the cameras it shows
  // in one picture, so all video records of a hand-over carry the same
  // camera number and camera set. Data that holds cameras as streams of
  // their own (numbers and sets differing) would mix them in the decoder:
  // only the stream of the first video record is taken, the others are
  // passed over without charging their durations.
  const FrameHeader* stream = nullptr;
  FrameHeader first_video;
  for (;;) {
    Slot& slot = ring_[write_index_];
    while (slot.state.load(std::memory_order_acquire) != kFree) {
      // Nothing would ever free the slot without a decode thread.
      if (worker_.running() != WorkerKind::kDecode) return 0;
      worker_.signal().wait_for(kRingCheckMs, [&] {
        return slot.state.load(std::memory_order_acquire) == kFree || worker_.running() != WorkerKind::kDecode;
      });
    }
    // A record must lie wholly inside the buffer and fit a slot; anything
    // else ends the buffer like an unknown marker.
    if (total - at < kFrameHeaderBytes) return 0;
    const FrameHeader h = read_frame_header(records + at);
    if (h.magic != kVideoMagic && h.magic != kAudioMagic) return 0;
    const int32_t viewer_mode = viewer_mode_.load();
    if (viewer_mode != 0 && viewer_mode != h.camera) return 0;
    if (h.payload_length > kSlotBytes || h.payload_length > total - at - kFrameHeaderBytes) return 0;
    const bool audio = h.magic == kAudioMagic;
    if (!audio && !stream) {
      first_video = h;
      stream = &first_video;
    }
    const bool other_stream = !audio && stream && h.camera != stream->camera && h.camera_set != stream->camera_set;
    if (other_stream) {
      // Not this decoder's stream.
    } else if (no_audio_mode_.load() == 1 && audio) {
      skipped_us_ += h.duration_us;
    } else {
      std::memcpy(slot.payload.get(), records + at + kFrameHeaderBytes, h.payload_length);
      slot.length = static_cast<int32_t>(h.payload_length);
      slot.pacing_us = static_cast<int32_t>(std::clamp<int64_t>(skipped_us_ + h.duration_us, INT32_MIN, INT32_MAX));
      skipped_us_ = 0;
      slot.camera_set = h.camera_set;
      slot.time = h.time;
      if (single_frame == 1) {
        const int32_t pacing = single_frame_pacing_us(speed);
        if (pacing >= 0) slot.pacing_us = pacing;
      }
      {
        std::lock_guard<std::mutex> lock(locks_.ring);
        slot.state.store(audio ? kAudio : kVideo, std::memory_order_release);
      }
      worker_.signal().notify();
      write_index_ = (write_index_ + 1) % kRingSlots;
    }
    at += kFrameHeaderBytes + h.payload_length;
    if (at >= total || single_frame == 1) return 0;
  }
}

int32_t Engine::wait_ended(int32_t timeout_ms) {
  if (worker_.running() == WorkerKind::kReceive) return -1;
  if (!worker_.wait_ended(static_cast<uint32_t>(std::max(timeout_ms, 0)))) return -1;
  return worker_.collect_ended() ? 0 : -1;
}

void Engine::request_stop() {
  {
    std::lock_guard<std::mutex> lock(locks_.ring);
    stop_request_.store(1);
  }
  worker_.signal().notify();
}

void Engine::request_reinit() {
  {
    std::lock_guard<std::mutex> lock(locks_.ring);
    reinit_request_.store(1);
  }
  // Like every request, it ends the wait of the picture due next.
  wait_cuts_.fetch_add(1);
  worker_.signal().notify();
}

int32_t Engine::sound_change(int32_t value) {
  if (value != 1) return 0;
  {
    std::lock_guard<std::mutex> lock(locks_.bmp);
    sound_change_request_.store(1);
  }
  worker_.signal().notify();
  // The request flushes what is queued when the decode thread serves it; a
  // caller that hands over new records next must not see them flushed too,
  // so while the thread runs the call returns once it has served it (within
  // a second; every wait of the thread ends on the request).
  worker_.signal().wait_for(
      kSoundChangeWaitMs, [this] { return !sound_change_request_.load() || worker_.running() != WorkerKind::kDecode; });
  return 0;
}

void Engine::set_error_flag(int32_t value) {
  std::lock_guard<std::mutex> lock(locks_.err);
  error_flag_.store(value);
}

void Engine::reset_error_flag() { set_error_flag(0); }

void Engine::free_read_slot() {
  {
    std::lock_guard<std::mutex> lock(locks_.ring);
    ring_[read_index_].state.store(kFree, std::memory_order_release);
    read_index_ = (read_index_ + 1) % kRingSlots;
  }
  worker_.signal().notify();
}

void Engine::set_summary(uint8_t camera_set) {
  const uint8_t bits = camera_set & 0x0F;
  const int set = __builtin_popcount(bits);
  if (set == 1) {
    // The whole byte decides: a single camera bit with other bits beside it
    // leaves the summary as it was.
    int first = 0;
    switch (camera_set) {
      case 1: first = 1; break;
      case 2: first = 2; break;
      case 4: first = 3; break;
      case 8: first = 4; break;
      default: return;
    }
    summary_count_.store(1);
    summary_first_.store(first);
  } else if (set == 2) {
    const int low = __builtin_ctz(bits);
    const int high = 31 - __builtin_clz(bits);
    summary_count_.store(2);
    summary_first_.store(low + 1);
    summary_second_.store(high + 1);
  } else {
    summary_count_.store(4);
  }
}

bool Engine::queue_picture(const YuvView& picture, uint8_t camera_set, int32_t time, int64_t media_us, int64_t hold_us,
                           bool ahead) {
  // Decoding runs ahead only for the sound's sake. Without sound the next
  // record is taken once the picture before it is on screen, as the callers
  // know it: a caller that hands over records until the ring is full is
  // held back by the pictures still to show.
  picture_bytes_ =
      std::max<size_t>(1, static_cast<size_t>(picture.width) * static_cast<size_t>(picture.height) * 3 / 2);
  auto has_room = [&] { return room_for_picture(ahead); };
  while (!has_room()) {
    if (stop_request_.load() || sound_change_request_.load()) return false;
    worker_.signal().wait_for(kRingCheckMs,
                              [&] { return stop_request_.load() || sound_change_request_.load() || has_room(); });
  }
  Pending entry;
  {
    std::lock_guard<std::mutex> lock(present_lock_);
    if (!spare_.empty()) {
      entry = std::move(spare_.back());
      spare_.pop_back();
    }
  }
  // Copied outside the lock: the presenter's look at the queue never waits
  // for a copy.
  entry.picture.assign(picture);
  entry.camera_set = camera_set;
  entry.time = time;
  entry.media_us = media_us;
  entry.hold_us = hold_us;
  {
    std::lock_guard<std::mutex> lock(present_lock_);
    queued_.push_back(std::move(entry));
  }
  worker_.signal().notify();
  return true;
}

bool Engine::room_for_picture(bool ahead) {
  const size_t room = ahead ? std::clamp<size_t>(kPresentAheadBytes / picture_bytes_, 2, kPresentAheadPictures) : 1;
  std::lock_guard<std::mutex> lock(present_lock_);
  return queued_.size() < room;
}

size_t Engine::pictures_waiting() {
  std::lock_guard<std::mutex> lock(present_lock_);
  return queued_.size();
}

void Engine::drop_queued_pictures() {
  {
    std::lock_guard<std::mutex> lock(present_lock_);
    while (!queued_.empty()) {
      spare_.push_back(std::move(queued_.front()));
      queued_.pop_front();
    }
    ++queue_generation_;
  }
  worker_.signal().notify();
}

void Engine::present(Pending& p) {
  {
    std::lock_guard<std::mutex> lock(locks_.rgb);
    std::swap(picture_, p.picture);
  }
  current_time_.store(p.time);
  tables_ready_.store(true, std::memory_order_release);
  set_summary(p.camera_set);
  snapshots_.store(picture_.view(), p.camera_set, summary_count_.load(), summary_first_.load(), summary_second_.load());
  pictures_decoded_.fetch_add(1);
  worker_.signal().notify();
}

void Engine::presenter_thread() {
  pthread_setname_np(pthread_self(), "ovo-present");
  using Clock = std::chrono::steady_clock;
  SoundOut& sound = sound_();
  bool shown_any = false;
  Clock::time_point next_due{};  // when the picture on screen has had its time
  for (;;) {
    uint64_t generation = 0;
    int64_t media_us = 0;
    worker_.signal().wait_for(kRingCheckMs, [&] {
      std::lock_guard<std::mutex> lock(present_lock_);
      return present_quit_.load() || !queued_.empty();
    });
    if (present_quit_.load()) return;
    {
      std::lock_guard<std::mutex> lock(present_lock_);
      if (queued_.empty()) continue;
      generation = queue_generation_;
      media_us = queued_.front().media_us;
    }
    auto dropped = [&] {
      std::lock_guard<std::mutex> lock(present_lock_);
      return queue_generation_ != generation;
    };
    // Wait for the picture's time.
    const uint64_t cuts = wait_cuts_.load();
    bool by_timer = false;
    for (;;) {
      const Clock::time_point now = Clock::now();
      int64_t left_us = 0;
      int64_t heard_us = 0;
      by_timer = false;
      if (sound.heard_media_us(&heard_us) && media_us - heard_us < kMaxSoundLeadUs) {
        left_us = std::min(media_us - heard_us, kClockCheckUs);
      } else if (shown_any) {
        by_timer = true;
        left_us = std::chrono::duration_cast<std::chrono::microseconds>(next_due - now).count();
      }
      if (left_us <= 0) break;
      const auto wait_ms = static_cast<uint32_t>((left_us + 999) / 1000);
      if (worker_.signal().wait_for(wait_ms,
                                    [&] { return present_quit_.load() || dropped() || wait_cuts_.load() != cuts; })) {
        break;
      }
    }
    if (present_quit_.load()) return;
    Pending entry;
    {
      std::lock_guard<std::mutex> lock(present_lock_);
      if (queue_generation_ != generation || queued_.empty()) continue;
      entry = std::move(queued_.front());
      queued_.pop_front();
    }
    present(entry);
    const Clock::time_point shown = Clock::now();
    // A picture shown on time is followed on the timer's schedule, so that
    // the pace does not drift by the moments lost to waking up; one shown
    // late (the ring ran dry, a single step) keeps its whole duration.
    const bool on_time = by_timer && shown >= next_due && shown - next_due < std::chrono::milliseconds(kOnTimeMs);
    next_due = (on_time ? next_due : shown) + std::chrono::microseconds(entry.hold_us);
    shown_any = true;
    std::lock_guard<std::mutex> lock(present_lock_);
    spare_.push_back(std::move(entry));
  }
}

void Engine::decode_thread() {
  // Named so that a debugger, top -H and the tests can tell it apart.
  pthread_setname_np(pthread_self(), "ovo-decode");
  decode_threads_started_.fetch_add(1);
  SoundOut& sound = sound_();
  sound.open(8000, 16, 1);
  const DecoderFactory factory = decoder_factory();
  std::unique_ptr<VideoDecoder> decoder = factory ? factory() : nullptr;
  std::vector<uint8_t> work(kSlotBytes);
  uint8_t audio_stage[kMaxAudioPayload];
  size_t audio_length = 0;
  int16_t samples[kMaxAudioPayload];
  set_error_flag(0);

  size_t fill = 0;
  size_t consumed = 0;
  int64_t pending_us = 0;        // play time of the records since the last picture
  int64_t pending_video_us = 0;  // of the video records alone
  uint8_t camera_set = 0;
  int32_t picture_time = 0;
  bool audio_playing = false;
  bool audio_staged = false;
  int64_t audio_media_us = 0;  // stream time of the staged audio piece
  // A piece went to the playing sound device since the last picture: the
  // picture then stands for its video time alone, since the sound's time is
  // the same time heard.
  bool sound_heard = false;
  // The last piece went to the playing sound device.
  bool sound_flowing = false;
  // Stream times, the pictures' and the sound's, counted from the same start
  // so that each picture meets its sound.
  int64_t video_clock_us = 0;
  int64_t audio_clock_us = 0;
  int64_t last_picture_us = 0;
  auto align_clocks = [&] {
    video_clock_us = audio_clock_us = std::max(video_clock_us, audio_clock_us);
    last_picture_us = video_clock_us;
  };

  present_quit_.store(false);
  std::thread presenter;
  try {
    presenter = std::thread([this] { presenter_thread(); });
  } catch (const std::system_error&) {
    // Nothing would show the pictures: the thread ends as if asked to stop.
    vp::debug_output("ovodec: the presenter thread cannot be started\n");
    stop_request_.store(1);
  }

  // A sound change stops the sound and drops what was queued for the play
  // state before it (up to a ring's worth).
  auto serve_sound_change = [&] {
    if (audio_playing) {
      sound.stop();
      audio_playing = false;
    }
    for (int i = 0; i < kRingSlots && ring_[read_index_].state.load(std::memory_order_acquire) != kFree; ++i) {
      free_read_slot();
    }
    // The pictures decoded and not yet shown belong to the play state before
    // it too: the picture on screen stays the one shown at the request.
    drop_queued_pictures();
    align_clocks();
    {
      std::lock_guard<std::mutex> lock(locks_.bmp);
      sound_change_request_.store(0);
    }
    worker_.signal().notify();
  };
  // Waits for a record at the read index, ending early on a stop or a sound
  // change, and, while decoding, on a re-initialise request (the requests
  // that the waiting loop serves).
  auto wait_for_record = [&](bool decoding) {
    worker_.signal().wait_for(kRingCheckMs, [&] {
      return stop_request_.load() || sound_change_request_.load() || (decoding && reinit_request_.load()) ||
             ring_[read_index_].state.load(std::memory_order_acquire) != kFree;
    });
  };
  decode_threads_ready_.fetch_add(1);
  worker_.signal().notify();

  for (;;) {
    // Start cycle: wait for a video record and start the decoder on it.
    audio_playing = false;
    consumed = 0;
    audio_staged = false;
    align_clocks();
    Slot* slot = nullptr;
    while (!slot) {
      if (stop_request_.load()) goto done;
      // Served here too, so that records queued after the request are not
      // dropped once the decoder has started.
      if (sound_change_request_.load()) serve_sound_change();
      Slot& s = ring_[read_index_];
      const int32_t state = s.state.load(std::memory_order_acquire);
      if (state == kVideo) {
        slot = &s;
      } else if (state != kFree) {
        free_read_slot();
      } else {
        wait_for_record(false);
      }
    }
    fill = static_cast<size_t>(slot->length);
    std::memcpy(work.data(), slot->payload.get(), fill);
    pending_us = slot->pacing_us;
    pending_video_us = slot->pacing_us;
    video_clock_us += slot->pacing_us;
    camera_set = slot->camera_set;
    {
      std::lock_guard<std::mutex> lock(locks_.ring);
      picture_time = slot->time;
    }
    int width = 0, height = 0;
    if (decoder) {
      size_t header_bytes = 0;
      std::lock_guard<std::mutex> lock(locks_.rgb);
      decoder->start(work.data(), fill, &width, &height, &header_bytes);
    }
    // The record is taken now, whatever the outcome: its picture is decoded
    // from the work buffer below, so the picture after each hand-over is the
    // record handed over.
    free_read_slot();
    if (width <= 0 || height <= 0) {
      set_error_flag(1);
      continue;
    }
    set_error_flag(0);
    // The sleeps below are precise to well under a millisecond here; there
    // is no system timer resolution to raise for the pacing.
    audio_playing = true;
    sound.start();
    consumed = 0;
    bool undecoded = true;

    for (;;) {
      if (stop_request_.load()) goto done;
      if (reinit_request_.load()) {
        {
          std::lock_guard<std::mutex> lock(locks_.ring);
          reinit_request_.store(0);
        }
        // The next video record restarts the decoder; the ring keeps its
        // slots. When the decoder was only just started on the record in
        // the work buffer, that start is the restart asked for: going back
        // to wait would lose the record (a request left from before, for
        // one, would swallow a single frame handed over next).
        if (!undecoded) break;
      }
      if (sound_change_request_.load()) serve_sound_change();

      const size_t rest = fill > consumed ? fill - consumed : 0;
      std::memmove(work.data(), work.data() + consumed, rest);
      fill = rest;
      consumed = 0;

      if (!undecoded && rest < kDecodeAheadBytes) {
        Slot& s = ring_[read_index_];
        const int32_t state = s.state.load(std::memory_order_acquire);
        // The slot's fields belong to the producer until its state says
        // it is queued.
        const size_t length = state == kFree ? 0 : static_cast<size_t>(std::max(s.length, 0));
        if (state == kVideo && !room_for_picture(sound_flowing && audio_playing)) {
          // The record stays queued until its picture has room to wait in.
          worker_.signal().wait_for(kRingCheckMs, [&] {
            return stop_request_.load() || sound_change_request_.load() || reinit_request_.load() ||
                   room_for_picture(sound_flowing && audio_playing);
          });
          continue;
        }
        if (state == kVideo) {
          // Bytes left over from the last picture that leave no room for the
          // next record could never be decoded; they make way for it.
          if (length > kSlotBytes - fill) fill = 0;
          std::memcpy(work.data() + fill, s.payload.get(), length);
          fill += length;
          pending_us += s.pacing_us;
          pending_video_us += s.pacing_us;
          video_clock_us += s.pacing_us;
          camera_set = s.camera_set;
          {
            std::lock_guard<std::mutex> lock(locks_.ring);
            picture_time = s.time;
          }
          free_read_slot();
          undecoded = true;
        } else if (state == kAudio && length <= kMaxAudioPayload) {
          std::memcpy(audio_stage, s.payload.get(), length);
          audio_length = length;
          pending_us += s.pacing_us;
          if (audio_clock_us + kSoundResyncUs < last_picture_us) audio_clock_us = last_picture_us;
          audio_media_us = audio_clock_us;
          audio_clock_us += s.pacing_us;
          audio_staged = true;
          free_read_slot();
        } else if (state == kAudio) {
          {
            std::lock_guard<std::mutex> lock(locks_.ring);
            picture_time = s.time;
          }
          free_read_slot();
          continue;
        } else {
          // Nothing to do: the stream has paused, and so does its sound.
          if (audio_playing) {
            sound.stop();
            audio_playing = false;
          }
          wait_for_record(true);
          continue;
        }
      }

      if (audio_staged) {
        audio_staged = false;
        if (!audio_playing) {
          sound.start();
          audio_playing = true;
        }
        const size_t count = expand_audio_payload(audio_stage, audio_length, samples);
        const PieceResult r = sound.put_piece(samples, count * sizeof(int16_t), audio_media_us);
        sound_flowing = r == PieceResult::kGathered || r == PieceResult::kWritten || r == PieceResult::kSkipped;
        if (sound_flowing) sound_heard = true;
        continue;
      }

      undecoded = false;
      if (!decoder) goto done;
      YuvView picture;
      size_t used = 0;
      // The current picture is the presenter's own copy, so decoding the
      // next one never overlaps its conversion.
      const int rc = decoder->decode(work.data(), fill, &used, &picture);
      if (rc != kDecodeOk && rc != kDecodeNoPicture) {
        // A picture size no recorder records is refused like a stream that
        // cannot be started.
        if (rc == kDecodeTooLarge) set_error_flag(1);
        fill = 0;
        consumed = 0;
        continue;
      }
      // A decoder that reports no progress must not make the same bytes
      // come round again.
      consumed = used > 0 && used <= fill ? used : fill;
      if (rc == kDecodeNoPicture) continue;  // its pacing carries over to the next picture
      if (picture.width <= 0 || picture.height <= 0) goto done;
      // The picture starts at the stream time its records began, and is
      // presented then; it stands for its records' play time.
      const int64_t media_us = video_clock_us - pending_video_us;
      const int64_t hold_us = sound_heard ? pending_video_us : pending_us;
      last_picture_us = media_us;
      pending_us = 0;
      pending_video_us = 0;
      sound_heard = false;
      // A request ends a wait for room; the picture is the old state's then.
      queue_picture(picture, camera_set, picture_time, media_us, hold_us, sound_flowing && audio_playing);
    }
  }

done:
  present_quit_.store(true);
  worker_.signal().notify();
  if (presenter.joinable()) presenter.join();
  drop_queued_pictures();
  stop_request_.store(0);
  if (audio_playing) sound.stop();
  std::lock_guard<std::mutex> lock(locks_.rgb);
  decoder.reset();
}

int32_t Engine::get_bmpdata(int32_t* count, int32_t* first, int32_t* second, uint8_t* rgb, uint32_t* time) {
  if (count) *count = summary_count_.load();
  if (first) *first = summary_first_.load();
  if (second) *second = summary_second_.load();
  if (time) *time = 0;
  if (!tables_ready_.load(std::memory_order_acquire) || !rgb) return -1;
  {
    std::lock_guard<std::mutex> fetching(fetch_lock_);
    {
      std::lock_guard<std::mutex> lock(locks_.rgb);
      if (picture_.empty()) return -1;
      // The caller's buffer is sized for the recorder's largest picture.
      if (static_cast<size_t>(picture_.width()) * picture_.height() * 3 > kMaxRgbBytes) return -1;
      fetched_.assign(picture_.view());
    }
    if (auto hook = fetch_hook_.load()) hook();
    yuv420_to_bgr(fetched_.view(), rgb, presentation_.deinterlace(), scratch_);
  }
  const time_t t = current_time_.load();
  struct tm local;
  if (time && localtime_r(&t, &local)) {
    *time = vp::rec_seconds(local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min,
                            local.tm_sec);
  }
  return 0;
}

void Engine::reset_for_test() {
  request_stop();
  worker_.wait_ended(10000);
  worker_.join();
  std::lock_guard<std::mutex> producer(produce_lock_);
  for (Slot& s : ring_) {
    s.state.store(kFree);
    s.length = 0;
    s.pacing_us = 0;
  }
  write_index_ = 0;
  read_index_ = 0;
  skipped_us_ = 0;
  viewer_mode_.store(0);
  no_audio_mode_.store(0);
  stop_request_.store(0);
  reinit_request_.store(0);
  sound_change_request_.store(0);
  error_flag_.store(0);
  tables_ready_.store(false);
  summary_count_.store(0);
  summary_first_.store(0);
  summary_second_.store(0);
  current_time_.store(0);
  pictures_decoded_.store(0);
  decode_threads_started_.store(0);
  fetch_hook_.store(nullptr);
  std::lock_guard<std::mutex> lock(locks_.rgb);
  picture_.clear();
}

}  // namespace ovo
