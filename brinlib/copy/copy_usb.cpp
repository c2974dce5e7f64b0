// The disk-to-PC copy: a span of the attached disk, GOP by GOP from the time
// search's position, into the copy's data, index and list files.
#include "copy/copy_usb.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "brinlib.h"
#include "common/guard.h"
#include "copy/copy_format.h"
#include "disk/hdd.h"
#include "playback/play_engine.h"
#include "velmora/clock.h"
#include "velmora/message.h"
#include "velmora/sync.h"

namespace brin::copyfile {

std::string list_line(const vp::RecTime& first, const vp::RecTime& last) {
  char line[64];
  std::snprintf(line, sizeof line, "%04d/%02d/%02d %02d:%02d:%02d - %04d/%02d/%02d %02d:%02d:%02d", first.year + 2000,
                first.month, first.day, first.hour, first.minute, first.second, last.year + 2000, last.month, last.day,
                last.hour, last.minute, last.second);
  return line;
}

std::string join(const std::string& folder, const char* name) {
  if (!folder.empty() && folder.back() == '/') return folder + name;
  return folder + "/" + name;
}

}  // namespace brin::copyfile

namespace brin::copy {
namespace {

// How long hdd_copy_usb_stop waits for the copy to finish.
constexpr uint32_t kStopWaitMs = 10;

struct Hooks {
  std::mutex lock;
  std::function<int64_t(const std::string&)> free_space;
  std::function<void(int)> gop;
};

Hooks& hooks() {
  static Hooks* h = new Hooks;
  return *h;
}

enum FileIndex { kData = 0, kIndex = 1, kList = 2 };

struct State {
  std::mutex start_lock;
  std::thread thread;
  std::atomic<int32_t> running{0};
  std::atomic<int32_t> stop{0};
  std::atomic<int32_t> status{kComplete};  // no copy yet reads as complete
  vp::Signal ended;                        // notified when running goes to 0
  // The copy's own, set before its thread starts.
  uint32_t start = 0;
  uint32_t end = 0;
  int64_t free_kb = -1;
  int fd[3] = {-1, -1, -1};

  ~State() {
    if (thread.joinable()) {
      stop.store(1);
      thread.join();
    }
  }
};

State& state() {
  // Made after the disk state, so that the thread is joined before that goes.
  brin::disk::cursor();
  static State s;
  return s;
}

void close_files(State& s) {
  for (int& fd : s.fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

bool write_all(int fd, const uint8_t* p, size_t n, uint64_t at) {
  while (n > 0) {
    const ssize_t w = ::pwrite(fd, p, n, static_cast<off_t>(at));
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
    at += static_cast<uint64_t>(w);
  }
  return true;
}

// What the copy thread has written so far.
class Writer {
 public:
  explicit Writer(State& s) : s_(s) {}

  // Appends one GOP's frames and its index record. 0, or the failure status;
  // after a failure the files end with the GOP before.
  int32_t add_gop(const uint8_t* frames, int32_t length, const vp::RecTime& time, const uint8_t info[3]) {
    if (length <= 0) return 0;  // no frames, no record
    const uint64_t size = static_cast<uint64_t>(length);
    if (!room_for(size)) return kDataWriteFailure;
    if (!write_all(s_.fd[kData], frames, size, written_)) {
      (void)!::ftruncate(s_.fd[kData], static_cast<off_t>(written_));
      return kDataWriteFailure;
    }
    copyfile::Record r;
    r.offset = written_;
    r.time = time;
    for (int i = 0; i < 3; ++i) r.info[i] = info[i];
    uint8_t raw[copyfile::kRecordBytes];
    copyfile::encode_record(r, raw);
    if (!write_all(s_.fd[kIndex], raw, sizeof raw, records_ * copyfile::kRecordBytes)) {
      // The GOP has no record: take its frames back out of the data file.
      (void)!::ftruncate(s_.fd[kIndex], static_cast<off_t>(records_ * copyfile::kRecordBytes));
      (void)!::ftruncate(s_.fd[kData], static_cast<off_t>(written_));
      return kIndexWriteFailure;
    }
    if (records_ == 0) first_ = time;
    last_ = time;
    written_ += size;
    ++records_;
    return 0;
  }

  // Writes the list line, cuts the files to what this copy wrote (a failed
  // GOP's part included), and makes everything durable. The status stays, or
  // becomes the failure of this step.
  int32_t finish(int32_t status) {
    int32_t data_failure = 0, index_failure = 0;
    if (records_ > 0) {
      const std::string line = copyfile::list_line(first_, last_);
      if (!write_all(s_.fd[kList], reinterpret_cast<const uint8_t*>(line.data()), line.size(), 0))
        index_failure = kIndexWriteFailure;
    }
    const off_t list_size = static_cast<off_t>(std::char_traits<char>::length(copyfile::kListPlaceholder));
    if (::ftruncate(s_.fd[kData], static_cast<off_t>(written_)) != 0) data_failure = kDataWriteFailure;
    if (::ftruncate(s_.fd[kIndex], static_cast<off_t>(records_ * copyfile::kRecordBytes)) != 0)
      index_failure = kIndexWriteFailure;
    if (::ftruncate(s_.fd[kList], list_size) != 0) index_failure = kIndexWriteFailure;
    // The copy is done only when it is on the destination's device.
    for (int i = 0; i < 3; ++i) {
      const bool synced = ::fsync(s_.fd[i]) == 0;
      const bool closed = ::close(s_.fd[i]) == 0;
      s_.fd[i] = -1;
      if (synced && closed) continue;
      if (i == kData) {
        data_failure = kDataWriteFailure;
      } else {
        index_failure = kIndexWriteFailure;
      }
    }
    if (status != kComplete) return status;
    if (data_failure) return data_failure;
    if (index_failure) return index_failure;
    return kComplete;
  }

 private:
  bool room_for(uint64_t size) const {
    if (written_ + size >= kMaxDataBytes) return false;
    if (s_.free_kb < 0) return true;
    const int64_t needed_kb = static_cast<int64_t>((written_ + size) / 1024);
    if (s_.free_kb - needed_kb < kReserveKb) {
      vp::debug_printf("usb_rest_kbyte %lld %lld\n", static_cast<long long>(s_.free_kb),
                       static_cast<long long>(needed_kb));
      return false;
    }
    return true;
  }

  State& s_;
  uint64_t written_ = 0;
  uint64_t records_ = 0;
  vp::RecTime first_, last_;
};

void call_gop_hook(int gops) {
  std::function<void(int)> hook;
  {
    Hooks& h = hooks();
    std::lock_guard<std::mutex> g(h.lock);
    hook = h.gop;
  }
  if (hook) hook(gops);
}

int read_gop(uint8_t* buffer, int32_t* length, vp::RecTime* time, uint8_t info[3]) {
  std::lock_guard<std::mutex> g(brin::disk::cursor_lock());
  return brin::disk::read_next_with_info(buffer, length, time, info);
}

// The copy itself; the final status.
int32_t copy_span(State& s, Writer& writer) {
  std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[brin::disk::kFrameBufferBytes]);
  if (!buffer) return kReadFailure;
  {
    std::lock_guard<std::mutex> g(brin::disk::cursor_lock());
    brin::disk::search_by_time(s.start);
  }
  int32_t length = 0;
  vp::RecTime time;
  uint8_t info[3] = {};
  int r = read_gop(buffer.get(), &length, &time, info);
  // 1: the frames before the recorder's end-of-data marker, and the end.
  if (r != 0 && r != 1) return kReadFailure;
  int gops = 0;
  for (;;) {
    const int32_t written = writer.add_gop(buffer.get(), length, time, info);
    if (written != 0) return written;
    call_gop_hook(++gops);
    if (r == 1) return kComplete;
    if (s.stop.load()) return kStopped;
    const uint32_t t = vp::rec_seconds(time);
    if (t >= s.end) return kComplete;
    if (s.end > s.start) {
      const int64_t progress = (static_cast<int64_t>(t) - s.start) * 100 / (static_cast<int64_t>(s.end) - s.start);
      s.status.store(static_cast<int32_t>(std::clamp<int64_t>(progress, 0, 99)));
    }
    r = read_gop(buffer.get(), &length, &time, info);
    if (r == brin::disk::kNoFurtherData) return kComplete;
    if (r != 0 && r != 1) return kReadFailure;
  }
}

void run() {
  State& s = state();
  Writer writer(s);
  int32_t status = kReadFailure;
  try {
    status = copy_span(s, writer);
  } catch (...) {
    status = kReadFailure;
  }
  status = writer.finish(status);
  s.status.store(status);
  s.running.store(0);
  s.ended.notify();
}

}  // namespace

int64_t free_space_kb(const std::string& folder) {
  {
    Hooks& h = hooks();
    std::lock_guard<std::mutex> g(h.lock);
    if (h.free_space) return h.free_space(folder);
  }
  struct statvfs v;
  if (::statvfs(folder.c_str(), &v) != 0) return -1;
  const unsigned long long bytes = static_cast<unsigned long long>(v.f_bavail) * v.f_frsize;
  return static_cast<int64_t>(bytes / 1024);
}

}  // namespace brin::copy

namespace brin::copy::testing {

void set_free_space_query(std::function<int64_t(const std::string& folder)> query) {
  Hooks& h = hooks();
  std::lock_guard<std::mutex> g(h.lock);
  h.free_space = std::move(query);
}

void set_gop_hook(std::function<void(int gops)> hook) {
  Hooks& h = hooks();
  std::lock_guard<std::mutex> g(h.lock);
  h.gop = std::move(hook);
}

void join_copy() {
  State& s = state();
  std::lock_guard<std::mutex> g(s.start_lock);
  if (s.thread.joinable() && !s.running.load()) s.thread.join();
}

}  // namespace brin::copy::testing

using namespace brin::copy;

extern "C" {

int32_t hdd_copy_usb(const char* folder, uint32_t start, uint32_t end) {
  return brin::guarded(-1, [&]() -> int32_t {
    State& s = state();
    std::lock_guard<std::mutex> g(s.start_lock);
    if (s.running.load()) return -1;
    // The copy takes the playback position over.
    brin::play::stop_hdd_play();
    if (!folder || !*folder) return -1;
    const std::string dir(folder);
    const char* names[3] = {brin::copyfile::kDataName, brin::copyfile::kIndexName, brin::copyfile::kListName};
    // A copy is evidence: its files are made new, never opened over an
    // earlier copy's, and a name that is a symlink is not followed (O_EXCL
    // refuses it like any file that exists). Files this call made are
    // removed again when it gives up.
    auto give_up = [&](int made, int32_t result) {
      close_files(s);
      for (int j = 0; j < made; ++j) ::unlink(brin::copyfile::join(dir, names[j]).c_str());
      return result;
    };
    for (int i = 0; i < 3; ++i) {
      s.fd[i] =
          ::open(brin::copyfile::join(dir, names[i]).c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
      if (s.fd[i] < 0) return give_up(i, errno == EEXIST ? kFolderHoldsCopy : -1);
    }
    const char* placeholder = brin::copyfile::kListPlaceholder;
    if (!write_all(s.fd[kList], reinterpret_cast<const uint8_t*>(placeholder),
                   std::char_traits<char>::length(placeholder), 0)) {
      return give_up(3, -1);
    }
    s.free_kb = free_space_kb(dir);
    s.start = start;
    s.end = end;
    if (s.thread.joinable()) s.thread.join();
    s.stop.store(0);
    s.status.store(0);
    s.running.store(1);
    try {
      s.thread = std::thread(run);
    } catch (...) {
      close_files(s);
      s.status.store(kReadFailure);
      s.running.store(0);
      return -1;
    }
    return 0;
  });
}

int32_t hdd_copy_usb_stop(void) {
  return brin::guarded(0, [&]() -> int32_t {
    State& s = state();
    if (s.running.load()) s.stop.store(1);
    s.ended.wait_for(kStopWaitMs, [&] { return s.running.load() == 0; });
    return 0;
  });
}

int32_t hdd_copy_usb_get_sts(int32_t* status) {
  return brin::guarded(0, [&]() -> int32_t {
    if (!status) return 0;
    State& s = state();
    if (s.running.load()) {
      *status = std::max(0, s.status.load());
      return 0;
    }
    const int32_t final_status = s.status.load();
    *status = final_status == kComplete ? kReportedComplete : final_status;
    return 0;
  });
}

}  // extern "C"
