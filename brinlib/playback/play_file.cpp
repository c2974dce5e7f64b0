// Playback of copied data: the reader of a copy's index and data file, the
// file worker thread that plays it, and the exported file controls, the
// single-frame view and the test feed.
#include "playback/play_file.h"

#include <sys/types.h>

#include <memory>
#include <thread>

#include "brinlib.h"
#include "common/guard.h"
#include "playback/play_engine.h"
#include "velmora/clock.h"

namespace brin::play {

// ---- The reader ----------------------------------------------------------------

FilePlayer::~FilePlayer() { close(); }

bool FilePlayer::open(const char* data_path, const char* index_path) {
  close();
  if (!data_path || !index_path) return false;
  index_ = std::fopen(index_path, "rb");
  if (!index_) return false;
  data_ = std::fopen(data_path, "rb");
  if (!data_) {
    close();
    return false;
  }
  auto size_of = [](std::FILE* f) -> uint64_t {
    if (fseeko(f, 0, SEEK_END) != 0) return 0;
    const off_t end = ftello(f);
    fseeko(f, 0, SEEK_SET);
    return end > 0 ? static_cast<uint64_t>(end) : 0;
  };
  data_size_ = size_of(data_);
  index_size_ = size_of(index_);
  has_records_ = false;
  return true;
}

void FilePlayer::close() {
  if (data_) std::fclose(data_);
  if (index_) std::fclose(index_);
  data_ = index_ = nullptr;
  has_records_ = false;
}

bool FilePlayer::read_record(uint64_t k, copyfile::Record* out) {
  if (!index_ || k >= record_count()) return false;
  uint8_t raw[copyfile::kRecordBytes];
  if (fseeko(index_, static_cast<off_t>(k * copyfile::kRecordBytes), SEEK_SET) != 0) return false;
  if (std::fread(raw, 1, sizeof raw, index_) != sizeof raw) return false;
  *out = copyfile::parse_record(raw);
  return true;
}

bool FilePlayer::start() {
  has_records_ = false;
  if (!read_record(0, &cur_)) return false;
  cur_k_ = 0;
  cur_is_last_ = !read_record(1, &next_);
  first_ = cur_;
  // The last whole record: a copy cut short may end in part of one.
  read_record(record_count() - 1, &last_);
  has_records_ = true;
  return true;
}

uint32_t FilePlayer::first_seconds() const { return has_records_ ? vp::rec_seconds(first_.time) : 0; }
uint32_t FilePlayer::last_seconds() const { return has_records_ ? vp::rec_seconds(last_.time) : 0; }

void FilePlayer::rewind() {
  if (!has_records_) return;
  cur_ = first_;
  cur_k_ = 0;
  cur_is_last_ = !read_record(1, &next_);
}

bool FilePlayer::read_span(uint64_t from, uint64_t to, uint8_t* buffer, uint64_t capacity) {
  // A length that is negative, runs past the data or does not fit the
  // buffer belongs to a damaged index.
  if (to < from || to > data_size_ || to - from > capacity) return false;
  const uint64_t length = to - from;
  if (length == 0) return true;
  if (fseeko(data_, static_cast<off_t>(from), SEEK_SET) != 0) return false;
  return std::fread(buffer, 1, length, data_) == length;
}

bool FilePlayer::read_gop(uint64_t k, uint8_t* buffer, uint64_t capacity, uint64_t* length) {
  copyfile::Record r, n;
  *length = 0;
  if (!data_ || !read_record(k, &r)) return false;
  const uint64_t end = read_record(k + 1, &n) ? n.offset : data_size_;
  if (!read_span(r.offset, end, buffer, capacity)) return false;
  *length = end - r.offset;
  return true;
}

bool FilePlayer::advance() {
  if (cur_is_last_) return false;
  cur_ = next_;
  ++cur_k_;
  cur_is_last_ = !read_record(cur_k_ + 1, &next_);
  return true;
}

FilePlayer::Outcome FilePlayer::forward(int32_t state, int32_t speed, uint8_t* buffer) {
  const uint64_t end = cur_is_last_ ? data_size_ : next_.offset;
  bool good = read_span(cur_.offset, end, buffer, kFrameBufferBytes);
  const uint64_t length = good ? end - cur_.offset : 0;
  if (good && length > 0) {
    const int32_t mode = state == kPlay ? kModeNormal : kModeSingle;
    const int32_t pace = state == kForward ? speed : 0;
    if (hand_over(buffer, static_cast<int32_t>(length), mode, pace) == kRefused) return Outcome::kRefused;
  } else {
    good = false;
  }
  // At the last GOP the position stays on it, so that play can start there
  // again.
  const bool moved = advance();
  if (!good) return moved ? Outcome::kPassedOver : Outcome::kIdle;
  return !moved || state == kStepForward ? Outcome::kAcceptedIdle : Outcome::kAccepted;
}

FilePlayer::Outcome FilePlayer::backward(int32_t state, int32_t speed, uint8_t* buffer) {
  if (cur_k_ == 0) {
    rewind();
    return Outcome::kIdle;
  }
  copyfile::Record previous;
  if (!read_record(cur_k_ - 1, &previous)) {
    rewind();
    return Outcome::kIdle;
  }
  bool good = read_span(previous.offset, cur_.offset, buffer, kFrameBufferBytes);
  if (good && cur_.offset > previous.offset) {
    const int32_t pace = state == kBackward ? speed : 0;
    if (hand_over(buffer, static_cast<int32_t>(cur_.offset - previous.offset), kModeSingle, pace) == kRefused)
      return Outcome::kRefused;
  } else {
    good = false;
  }
  next_ = cur_;
  cur_ = previous;
  --cur_k_;
  cur_is_last_ = false;
  if (cur_k_ == 0) {
    // The first GOP has been shown: backward play ends here.
    rewind();
    return good ? Outcome::kAcceptedIdle : Outcome::kIdle;
  }
  if (!good) return Outcome::kPassedOver;
  return state == kStepBackward ? Outcome::kAcceptedIdle : Outcome::kAccepted;
}

FilePlayer::Outcome FilePlayer::round(int32_t state, int32_t speed, uint8_t* buffer) {
  if (!has_records_ || !data_) return Outcome::kIdle;
  switch (state) {
    case kPlay:
    case kForward:
    case kStepForward: return forward(state, speed, buffer);
    case kBackward:
    case kStepBackward: return backward(state, speed, buffer);
    default: return Outcome::kIdle;
  }
}

int FilePlayer::search(uint32_t seconds) {
  if (!has_records_) return -2;
  const uint32_t first = first_seconds(), last = last_seconds();
  if (seconds < first || seconds > last) return -2;
  const uint64_t n = record_count();
  uint64_t k = 0;
  // Proportional to the time, not looked up: copies are recorded evenly.
  if (n > 0 && last > first) k = (n - 1) * (seconds - first) / (last - first);
  copyfile::Record r;
  if (!read_record(k, &r)) return -2;
  cur_ = r;
  cur_k_ = k;
  cur_is_last_ = !read_record(k + 1, &next_);
  if (cur_is_last_) next_ = cur_;
  return 0;
}

// ---- The file worker ----------------------------------------------------------

namespace {

// An idle worker is woken by every control change; it also looks again this
// often, as a fallback only.
constexpr uint32_t kIdleCheckMs = 100;
// How long playfile and file_search wait for the file worker, in units of
// testing::timing().stop_poll_ms.
constexpr uint32_t kStopPolls = 1000;
constexpr uint32_t kSearchPolls = 500;
// How long one_farme_view gives the file worker to let go.
constexpr uint32_t kLetGoWaitMs = 5;

struct Worker {
  std::mutex start_lock;  // playfile and file_read_stop
  std::thread thread;
  // The position: held by the worker for a round, by file_search while it
  // moves the position, by file_read_start_end_sec.
  std::mutex position_lock;
  FilePlayer player;
  // The frame buffer of the worker thread, allocated on its first run and
  // kept: a file is played by one worker at a time, and a fresh 2 MiB for
  // every file opened cost more than reading a short file.
  std::unique_ptr<uint8_t[]> buffer;

  ~Worker() {
    if (thread.joinable()) {
      set_file_stop(1);
      thread.join();
    }
  }
};

Worker& worker() {
  static Worker w;
  return w;
}

void run() {
  Worker& w = worker();
  Control& c = control();
  c.file_busy.store(0);
  if (!w.buffer) w.buffer.reset(new (std::nothrow) uint8_t[kFrameBufferBytes]);
  uint8_t* const buffer = w.buffer.get();
  if (!buffer) set_file_stop(1);
  int32_t last_state = kIdle;
  for (;;) {
    if (c.file_stop.load()) {
      set_file_state(kIdle);
      {
        std::lock_guard<std::mutex> g(w.position_lock);
        w.player.close();
      }
      c.file_busy.store(0);
      c.file_active.store(0);
      c.file_running.store(0);
      set_file_stop(0);
      return;
    }
    const int32_t state = c.file_state.load();
    if (state == kIdle) {
      // Nothing is pending while idle: a refused GOP is offered again only
      // while its state lasts, and file_search may go ahead.
      const bool was_busy = c.file_busy.exchange(0) != 0;
      const bool was_active = c.file_active.exchange(0) != 0;
      if (was_busy || was_active) controls_changed();
      last_state = kIdle;
      c.changed.wait_for(kIdleCheckMs, [&] { return c.file_stop.load() != 0 || c.file_state.load() != kIdle; });
      continue;
    }
    c.file_active.store(1);
    if (state != last_state) {
      sound_change();
      last_state = state;
    }
    FilePlayer::Outcome outcome;
    {
      std::lock_guard<std::mutex> g(w.position_lock);
      outcome = w.player.round(state, c.speed.load(), buffer);
    }
    switch (outcome) {
      case FilePlayer::Outcome::kRefused:
        c.file_busy.store(1);
        // The channel library gives no notice when its full ring has room
        // again, so a refused GOP is offered again after a pause.
        c.changed.wait_for(testing::timing().refused_retry_ms,
                           [&] { return c.file_stop.load() != 0 || c.file_state.load() != state; });
        break;
      case FilePlayer::Outcome::kAccepted: c.file_busy.store(0); break;
      case FilePlayer::Outcome::kAcceptedIdle:
        c.file_busy.store(0);
        finish_file_state(state);
        break;
      case FilePlayer::Outcome::kPassedOver: break;
      case FilePlayer::Outcome::kIdle: finish_file_state(state); break;
    }
  }
}

// Asks a running file worker to end and waits for it. False when it did not
// end in time.
bool stop_file_worker(Worker& w) {
  Control& c = control();
  if (c.file_running.load()) {
    set_file_stop(1);
    c.changed.wait_for(kStopPolls * testing::timing().stop_poll_ms, [&] { return c.file_stop.load() == 0; });
    if (c.file_stop.load()) return false;
  }
  if (w.thread.joinable()) w.thread.join();
  return true;
}

}  // namespace

void join_file_worker() {
  Worker& w = worker();
  std::lock_guard<std::mutex> g(w.start_lock);
  if (w.thread.joinable() && !control().file_running.load()) w.thread.join();
}

// ---- Single-frame view and the test feed --------------------------------------

namespace {

// A stored frame: a frame header and a payload of at most one ring slot.
constexpr size_t kSingleFrameBytes = 262144 + 48;

// The two-slot frame store that playtest plays from.
struct TestFeed {
  std::mutex lock;
  std::unique_ptr<uint8_t[]> frame[2];
  int32_t length[2] = {0, 0};
  int next_read = 0;
  vp::Signal fed;  // notified after a frame was put in
};

TestFeed& feed() {
  static TestFeed f;
  return f;
}

constexpr int kTestFrames = 50;
// How long playtest waits for the store to receive a frame before it gives up.
constexpr uint32_t kFeedWaitMs = 1000;
// The channel library gives no notice when its full ring has room again, so
// a refused frame is offered again after this long, kHandOverTries times.
constexpr uint32_t kHandOverRetryMs = 1;
constexpr int kHandOverTries = 1000;

}  // namespace

}  // namespace brin::play

namespace brin::play::testing {

Timing& timing() {
  static Timing t;
  return t;
}

void join_workers() {
  join_hdd_worker();
  join_file_worker();
}

bool feed_test_frame(const uint8_t* frame, int32_t length) {
  TestFeed& f = feed();
  if (!frame || length <= 0 || static_cast<size_t>(length) > kFrameBufferBytes) return false;
  bool stored = false;
  {
    std::lock_guard<std::mutex> g(f.lock);
    for (int k = 0; k < 2 && !stored; ++k) {
      const int slot = (f.next_read + k) % 2;
      if (f.length[slot] != 0) continue;
      f.frame[slot].reset(new uint8_t[static_cast<size_t>(length)]);
      std::copy(frame, frame + length, f.frame[slot].get());
      f.length[slot] = length;
      stored = true;
    }
  }
  if (stored) f.fed.notify();
  return stored;
}

}  // namespace brin::play::testing

using namespace brin::play;

extern "C" {

int32_t playfile(const char* data_path, const char* index_path, const char* unused) {
  (void)unused;
  return brin::guarded(-1, [&]() -> int32_t {
    Worker& w = worker();
    std::lock_guard<std::mutex> g(w.start_lock);
    if (!stop_file_worker(w)) return -1;
    Control& c = control();
    {
      std::lock_guard<std::mutex> p(w.position_lock);
      if (!w.player.open(data_path, index_path)) return -1;
    }
    stop_hdd_play();
    set_file_state(kIdle);
    {
      std::lock_guard<std::mutex> p(w.position_lock);
      // An index without a single record plays nothing.
      if (!w.player.start()) {
        w.player.close();
        return 0;
      }
    }
    c.file_positioned.store(1);
    c.file_running.store(1);
    try {
      w.thread = std::thread(run);
    } catch (...) {
      c.file_running.store(0);
      std::lock_guard<std::mutex> p(w.position_lock);
      w.player.close();
      return -1;
    }
    return 0;
  });
}

int32_t file_read_stop(void) {
  return brin::guarded(-1, [&]() -> int32_t {
    if (!control().file_running.load()) return -1;
    set_file_stop(1);
    return 0;
  });
}

int32_t file_read_start_end_sec(uint32_t* start, uint32_t* end) {
  return brin::guarded(-1, [&]() -> int32_t {
    Worker& w = worker();
    std::lock_guard<std::mutex> g(w.position_lock);
    if (start) *start = w.player.first_seconds();
    if (end) *end = w.player.last_seconds();
    return 0;
  });
}

int32_t file_search(uint32_t seconds) {
  return brin::guarded(-1, [&]() -> int32_t {
    Worker& w = worker();
    Control& c = control();
    if (!c.file_running.load()) return -1;
    {
      std::lock_guard<std::mutex> g(w.position_lock);
      if (seconds < w.player.first_seconds() || seconds > w.player.last_seconds()) return -2;
    }
    set_file_state(kIdle);
    c.changed.wait_for(kSearchPolls * testing::timing().stop_poll_ms,
                       [&] { return c.file_state.load() == kIdle && !c.file_busy.load() && !c.file_active.load(); });
    // The design's fixed settling pause after the worker went idle, before
    // the position moves.
    vp::sleep_ms(testing::timing().search_settle_ms);
    std::lock_guard<std::mutex> g(w.position_lock);
    c.file_positioned.store(1);
    return w.player.search(seconds);
  });
}

int32_t one_farme_view(const char* path, const char* unused) {
  (void)unused;
  return brin::guarded(-1, [&]() -> int32_t {
    if (!path) return -1;
    std::FILE* f = std::fopen(path, "rb");
    if (!f) return -1;
    stop_hdd_play();
    Control& c = control();
    if (c.file_state.load() != kIdle) {
      set_file_state(kIdle);
      c.changed.wait_for(kLetGoWaitMs, [&] { return !c.file_running.load() || !c.file_active.load(); });
    }
    std::unique_ptr<uint8_t[]> buffer(new uint8_t[kSingleFrameBytes]());
    const size_t n = std::fread(buffer.get(), 1, kSingleFrameBytes, f);
    std::fclose(f);
    // Only the bytes read are handed over.
    hand_over(buffer.get(), static_cast<int32_t>(n), kModeNormal, 0);
    return 0;
  });
}

int32_t playtest(void) {
  return brin::guarded(-1, [&]() -> int32_t {
    TestFeed& f = feed();
    int32_t handed = 0;
    for (int frame = 0; frame < kTestFrames; ++frame) {
      std::unique_ptr<uint8_t[]> data;
      int32_t length = 0;
      f.fed.wait_for(kFeedWaitMs, [&] {
        std::lock_guard<std::mutex> g(f.lock);
        if (f.length[f.next_read] == 0) return false;
        data = std::move(f.frame[f.next_read]);
        length = f.length[f.next_read];
        f.length[f.next_read] = 0;
        f.next_read = (f.next_read + 1) % 2;
        return true;
      });
      // Nothing more arrives: the frames handed so far are the result.
      if (!data) break;
      bool accepted = false;
      for (int t = 0; t < kHandOverTries && !accepted; ++t) {
        accepted = hand_over(data.get(), length, kModeNormal, 0) != kRefused;
        if (!accepted) vp::sleep_ms(kHandOverRetryMs);
      }
      if (!accepted) break;
      ++handed;
    }
    return handed;
  });
}

}  // extern "C"
