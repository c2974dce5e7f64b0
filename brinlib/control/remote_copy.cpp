// Remote data copy: a span of the recorder's recording fetched chunk by chunk
// over the command connection into a downloaded data file (program stream)
// and, at the end, its frame index file.
//
// Each reply announces a video chunk of a bytes and an audio chunk of b
// bytes; after "JpegSendStart" the recorder sends both back to back. They are
// taken with an exact receive through the connection's carry-over buffer, so
// that a receive that brings bytes of the next part keeps them for it.
//
// The data file and the frame index hold evidence: each is created new,
// never opened over an existing file and never through a symlink planted at
// its name, and the chunks of a copy are appended through the descriptor
// the copy created the data file with.
#include "control/remote_copy.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <vector>

#include "brinlib.h"
#include "common/debuglog.h"
#include "common/guard.h"
#include "control/tcpctrl.h"
#include "dlfile/dl_format.h"
#include "velmora/clock.h"

namespace brin {
namespace {

constexpr size_t kCarryBytes = 2u << 20;   // per connection number
constexpr size_t kChunkBytes = 1u << 20;   // one chunk at most
constexpr size_t kChunkHeaderBytes = 100;  // video chunk header
constexpr size_t kFrameHeaderBytes = 6;    // per frame in a video chunk
constexpr size_t kAudioHeaderBytes = 6;    // audio chunk header
constexpr uint32_t kTicksPerSecond = 90000;
constexpr RequestOptions kOnce{};

// A chunk failed to arrive whole (or could not be taken at all).
constexpr int32_t kChunkFailed = -5;

std::atomic<int> g_call_deadline_ms{0};  // 0: kCopyCallDeadlineMs

// The tick count by which the copy call that starts now must be done with
// the network.
uint32_t call_deadline_tick() {
  const int ms = g_call_deadline_ms.load();
  return vp::tick_count_ms() + static_cast<uint32_t>(ms > 0 ? ms : kCopyCallDeadlineMs);
}

// Milliseconds left until deadline_tick (0 once it has passed; the tick
// count may wrap).
int remaining_ms(uint32_t deadline_tick) {
  const auto left = static_cast<int32_t>(deadline_tick - vp::tick_count_ms());
  return left > 0 ? static_cast<int>(left) : 0;
}

// One receive of up to a reply's size, as receive_reply makes it (the reply
// time limit, a closed connection a failure), but never waiting past the
// call's deadline. Result: the byte count or a negated socket error
// (-10035 when a limit ran out).
int receive_within(vp::socket_t s, uint8_t* buffer, uint32_t deadline_tick) {
  const uint32_t start = vp::tick_count_ms();
  const int limit = std::min(timing().receive_timeout_ms, remaining_ms(deadline_tick));
  for (;;) {
    const int waited = static_cast<int>(vp::elapsed_ms(start, vp::tick_count_ms()));
    if (waited >= limit) {
      log_entry("recv_err2", {static_cast<uint32_t>(vp::kWsaEwouldblock)});
      return -vp::kWsaEwouldblock;
    }
    const int ready = vp::socket_wait_readable(s, limit - waited);
    if (ready == vp::kSocketError) {
      const int err = vp::last_socket_error();
      log_entry("recv_err", {static_cast<uint32_t>(err)});
      return -err;
    }
    if (ready != 1) continue;
    const int n = vp::socket_recv(s, buffer, kReplyBytes);
    if (n > 0) return n;
    const int err = n == 0 ? vp::kWsaEconnreset : vp::last_socket_error();
    if (err != vp::kWsaEwouldblock) {
      log_entry("recv_err", {static_cast<uint32_t>(err)});
      return -err;
    }
  }
}

struct CarryOver {
  std::unique_ptr<uint8_t[]> data;
  size_t offset = 0;   // first pending byte
  size_t pending = 0;  // bytes received and not yet delivered
};

struct CopyState {
  std::mutex lock;             // one copy call at a time in the process
  std::vector<uint8_t> index;  // used frame index entries, 12 bytes each
  uint64_t file_offset = 0;
  uint32_t start_time = 0;
  uint32_t running_position = 0;
  CarryOver carry[kConnections];
  // The data file this copy created, open until the copy ends or the next
  // one begins, and the path it was created at.
  int data_fd = -1;
  std::string data_path;

  void close_data_file() {
    if (data_fd >= 0) ::close(data_fd);
    data_fd = -1;
    data_path.clear();
  }
  void reset() {
    close_data_file();
    index.clear();
    file_offset = 0;
    start_time = 0;
    running_position = 0;
  }
  void add_entry(int kind, int channel, uint32_t time) {
    if (index.size() / dl::kIndexEntryBytes >= dl::kIndexEntries) return;  // the table is full
    dl::IndexEntry e;
    e.kind = static_cast<uint8_t>(kind);
    e.channel = static_cast<uint8_t>(channel);
    e.position = file_offset;
    e.time = time;
    uint8_t bytes[dl::kIndexEntryBytes];
    dl::encode_index_entry(e, bytes);
    index.insert(index.end(), bytes, bytes + sizeof bytes);
  }
};

CopyState& copy_state() {
  static CopyState s;
  return s;
}

// Bytes still pending from an earlier part, or already waiting on the
// connection before a request goes out (the rest of a chunk that came too
// late), cannot belong to the reply of that request: every copy call starts
// with both dropped. A peer that keeps sending is given up on at the call's
// deadline: false.
bool discard_carry(int cn, uint32_t deadline_tick) {
  CarryOver& c = copy_state().carry[cn];
  c.offset = 0;
  c.pending = 0;
  const vp::socket_t s = connection(cn).command_socket.load();
  uint8_t junk[4096];
  while (vp::socket_wait_readable(s, 0) == 1 && vp::socket_recv(s, junk, sizeof junk) > 0) {
    if (remaining_ms(deadline_tick) == 0) return false;
  }
  return true;
}

// Writes bytes to fd (nothing when it is -1); returns the count written.
size_t write_out(int fd, const uint8_t* data, size_t len) {
  size_t done = 0;
  while (fd >= 0 && done < len) {
    const ssize_t n = ::write(fd, data + done, len - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    done += static_cast<size_t>(n);
  }
  return done;
}

// Appends bytes to the data file; the file offset follows what was written.
void append(int fd, const uint8_t* data, size_t len) { copy_state().file_offset += write_out(fd, data, len); }

// Creates a file new for writing: an existing file at the name, a symlink
// included, is refused (-1, errno EEXIST or ELOOP) and left as it is.
int create_new(const char* path) { return ::open(path, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644); }

// Removes the file created at path with fd, unless the name has been given
// to another file since.
void remove_created(const char* path, int fd) {
  struct stat made = {}, now = {};
  if (::fstat(fd, &made) == 0 && ::lstat(path, &now) == 0 && made.st_dev == now.st_dev && made.st_ino == now.st_ino)
    ::unlink(path);
}

// The descriptor to append a part of the copy to the data file at path:
// the one the copy created it with, or, for another path, that file opened
// for appending without following a symlink and without creating it. -1
// when it cannot be opened; *opened tells the caller to close it.
int data_file_for(const char* path, bool* opened) {
  CopyState& s = copy_state();
  *opened = false;
  if (s.data_fd >= 0 && s.data_path == path) return s.data_fd;
  const int fd = ::open(path, O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
  *opened = fd >= 0;
  return fd;
}

// Stores the frames of a video chunk of `got` bytes (more than the header):
// one index entry for the chunk, then each frame's data stamped with the
// running position. Frames that would reach past the chunk end the walk.
// Returns the chunk's time stamp.
uint32_t store_video_chunk(int fd, uint8_t* chunk, size_t got, int frames) {
  CopyState& s = copy_state();
  const uint32_t time = dl::data_time(chunk + kChunkHeaderBytes, got - kChunkHeaderBytes);
  s.add_entry(dl::kVideoEntry, chunk[10] >> 4, time);
  size_t at = kChunkHeaderBytes;
  for (int i = 0; i < frames; ++i) {
    if (got - at < kFrameHeaderBytes) break;
    const size_t size = 32u * (chunk[at + 2] | (chunk[at + 3] << 8));
    if (size > got - at - kFrameHeaderBytes) break;
    uint8_t* frame = chunk + at + kFrameHeaderBytes;
    dl::stamp_back_distance(frame, size, s.running_position);
    s.running_position = i == 0 ? static_cast<uint32_t>(size) : s.running_position + static_cast<uint32_t>(size);
    append(fd, frame, size);
    at += kFrameHeaderBytes + size;
  }
  return time;
}

// Stores an audio chunk of `got` bytes (more than its header).
void store_audio_chunk(int fd, uint8_t* chunk, size_t got) {
  CopyState& s = copy_state();
  if (fd < 0) return;  // the chunk is dropped
  uint8_t* data = chunk + kAudioHeaderBytes;
  const size_t len = got - kAudioHeaderBytes;
  dl::stamp_back_distance(data, len, s.running_position);
  s.running_position = static_cast<uint32_t>(got);
  s.add_entry(dl::kAudioEntry, chunk[0] >> 4, dl::data_time(data, len));
  append(fd, data, len);
}

// A chunk length the chunk buffer can take.
bool chunk_length_ok(int32_t n) { return n >= 0 && static_cast<uint64_t>(n) <= kChunkBytes; }

std::unique_ptr<uint8_t[]> chunk_buffer() {
  return std::unique_ptr<uint8_t[]>(new (std::nothrow) uint8_t[kChunkBytes]);
}

int32_t copy_fast(int cn, const char* path, const int32_t n[12]) {
  log_entry("brin_copy_fast", {static_cast<uint32_t>(cn), static_cast<uint32_t>(n[0]), static_cast<uint32_t>(n[6])});
  if (const int32_t r = check_connection(cn); r != kOk) return r;
  CopyState& s = copy_state();
  std::lock_guard<std::mutex> g(s.lock);
  const uint32_t deadline = call_deadline_tick();
  if (!discard_carry(cn, deadline)) return kReceiveFailed;
  const int32_t r = request(cn, kOnce, "SendDataF %02d %02d %02d %02d %02d %02d %02d %02d %02d %02d %02d %02d\n", n[0],
                            n[1], n[2], n[3], n[4], n[5], n[6], n[7], n[8], n[9], n[10], n[11]);
  if (r == kOk || r == kNotOk) {
    const TokenTable& t = connection(cn).reply_tokens;
    log_entry("brin_hd_save_1", {static_cast<uint32_t>(t.count), static_cast<uint32_t>(parse_hex(t.at(1)))});
  }
  if (r != kOk) return r;
  const int32_t a = reply_hex(cn, 2), b = reply_hex(cn, 3), c = reply_hex(cn, 4);
  s.reset();
  if (a == 0) {
    // Nothing to copy. An audio chunk announced all the same is taken and
    // dropped, so that its bytes are never read as the next reply.
    if (b > 0 && chunk_length_ok(b)) {
      if (auto buffer = chunk_buffer()) {
        send_request(cn, "JpegSendStart\n");
        receive_exact(cn, buffer.get(), static_cast<size_t>(b), deadline);
      }
    }
    discard_carry(cn, deadline);
    return 0;
  }
  // A chunk the chunk buffer cannot hold, or one there is no new data file
  // for, is refused before the recorder is told to send it.
  if (!chunk_length_ok(a) || !chunk_length_ok(b)) return kChunkFailed;
  auto buffer = chunk_buffer();
  if (!buffer) return kChunkFailed;
  if (path) {
    s.data_fd = create_new(path);
    if (s.data_fd < 0) return kOutputRefused;
    s.data_path = path;
  }
  send_request(cn, "JpegSendStart\n");
  if (receive_exact(cn, buffer.get(), static_cast<size_t>(a), deadline) != a) {
    // The first chunk never came: the file this call made goes again.
    if (s.data_fd >= 0) remove_created(path, s.data_fd);
    s.close_data_file();
    return kChunkFailed;
  }

  if (s.data_fd >= 0) {
    uint8_t head[dl::kDataStart];
    dl::write_pack_header(head, static_cast<uint32_t>(c));
    dl::write_stream_map(head + dl::kPackHeaderBytes);
    append(s.data_fd, head, sizeof head);
    if (static_cast<size_t>(a) > kChunkHeaderBytes)
      s.start_time = store_video_chunk(s.data_fd, buffer.get(), static_cast<size_t>(a), c & 255);
  }
  int32_t audio = 0;
  if (b > 0) {
    audio = receive_exact(cn, buffer.get(), static_cast<size_t>(b), deadline);
    if (audio != b) {
      s.close_data_file();
      return kChunkFailed;
    }
    if (static_cast<size_t>(b) > kAudioHeaderBytes) store_audio_chunk(s.data_fd, buffer.get(), static_cast<size_t>(b));
  }
  log_entry("brin_hd_save_r", {static_cast<uint32_t>(audio)});
  return 1;
}

int32_t copy_next(int cn, const char* path, uint8_t* progress, const char* index_folder) {
  log_entry("brin_copy_next", {static_cast<uint32_t>(cn)});
  if (const int32_t r = check_connection(cn); r != kOk) return r;
  CopyState& s = copy_state();
  std::lock_guard<std::mutex> g(s.lock);
  const uint32_t deadline = call_deadline_tick();
  if (!discard_carry(cn, deadline)) return kReceiveFailed;
  if (const int32_t r = request(cn, kOnce, "SendDataN\n"); r != kOk) return r;
  const int32_t a = reply_hex(cn, 2), b = reply_hex(cn, 3);
  if (a == 0 && b == 0) {
    // The copy has ended: the frame index goes beside the data, as a new
    // file; an index that could not be written whole is not left behind.
    s.close_data_file();
    const std::string index = dl::index_path(index_folder);
    const int fd = create_new(index.c_str());
    if (fd < 0) return kOutputRefused;
    bool written = write_out(fd, s.index.data(), s.index.size()) == s.index.size();
    if (!written) remove_created(index.c_str(), fd);
    written = ::close(fd) == 0 && written;
    return written ? 0 : kOutputRefused;
  }
  if (!chunk_length_ok(a) || !chunk_length_ok(b)) return kChunkFailed;
  auto buffer = chunk_buffer();
  if (!buffer) return kChunkFailed;
  // The data file must be there to take the part before it is asked for.
  bool opened = false;
  const int fd = path ? data_file_for(path, &opened) : -1;
  if (path && fd < 0) return kOutputRefused;
  struct Closer {
    int fd;
    ~Closer() {
      if (fd >= 0) ::close(fd);
    }
  } closer{opened ? fd : -1};
  send_request(cn, "JpegSendStart\n");

  uint32_t stored = 0;
  uint32_t chunk_time = 0;
  if (a > 0) {
    if (receive_exact(cn, buffer.get(), static_cast<size_t>(a), deadline) != a) {
      s.close_data_file();
      return kChunkFailed;
    }
    if (static_cast<size_t>(a) > kChunkHeaderBytes) {
      if (fd >= 0) chunk_time = store_video_chunk(fd, buffer.get(), static_cast<size_t>(a), buffer[27]);
      stored += static_cast<uint32_t>(a);
    }
  }
  if (b > 0) {
    if (receive_exact(cn, buffer.get(), static_cast<size_t>(b), deadline) != b) {
      s.close_data_file();
      return kChunkFailed;
    }
    if (static_cast<size_t>(b) > kAudioHeaderBytes) {
      store_audio_chunk(fd, buffer.get(), static_cast<size_t>(b));
      stored += static_cast<uint32_t>(b);
    }
  }
  if (progress) {
    progress[0] = static_cast<uint8_t>(stored >> 24);
    progress[1] = static_cast<uint8_t>(stored >> 16);
    progress[2] = static_cast<uint8_t>(stored >> 8);
    progress[3] = static_cast<uint8_t>(stored);
  }
  log_entry("brin_copy_next_r", {});
  // Whole seconds of recording copied so far (the 90 kHz clock may wrap).
  const int32_t elapsed = static_cast<int32_t>(chunk_time - s.start_time);
  if (chunk_time != 0 && elapsed > static_cast<int32_t>(kTicksPerSecond))
    return elapsed / static_cast<int32_t>(kTicksPerSecond);
  return 1;
}

}  // namespace

int32_t receive_exact(int cn, uint8_t* out, size_t n, uint32_t deadline_tick) {
  CarryOver& c = copy_state().carry[cn];
  if (!c.data) {
    c.data.reset(new (std::nothrow) uint8_t[kCarryBytes]);
    if (!c.data) return kReceiveFailed;
    c.offset = c.pending = 0;
  }
  size_t got = std::min(n, c.pending);
  std::memcpy(out, c.data.get() + c.offset, got);
  c.offset += got;
  c.pending -= got;
  while (got < n) {
    const int r = receive_within(connection(cn).command_socket.load(), c.data.get(), deadline_tick);
    if (r < 0) return r;
    const size_t take = std::min(n - got, static_cast<size_t>(r));
    std::memcpy(out + got, c.data.get(), take);
    got += take;
    c.offset = take;
    c.pending = static_cast<size_t>(r) - take;
  }
  return static_cast<int32_t>(got);
}

size_t pending_carry_over(int cn) { return copy_state().carry[cn].pending; }

namespace testing {
void set_copy_call_deadline_ms(int ms) { g_call_deadline_ms.store(ms > 0 ? ms : 0); }

void store_part(const char* path, uint8_t* video, size_t a, uint8_t* audio, size_t b) {
  CopyState& s = copy_state();
  std::lock_guard<std::mutex> g(s.lock);
  if (a > kChunkBytes || b > kChunkBytes) return;
  // Created when it is not there yet, as the first part's file would be.
  int fd = ::open(path, O_WRONLY | O_APPEND | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) fd = create_new(path);
  if (fd < 0) return;
  if (a > kChunkHeaderBytes) store_video_chunk(fd, video, a, video[27]);
  if (b > kAudioHeaderBytes) store_audio_chunk(fd, audio, b);
  ::close(fd);
}
}  // namespace testing

}  // namespace brin

extern "C" {

int32_t brin_copy_fast(int32_t cn, const char* path, int32_t n1, int32_t n2, int32_t n3, int32_t n4, int32_t n5,
                       int32_t n6, int32_t n7, int32_t n8, int32_t n9, int32_t n10, int32_t n11, int32_t n12) {
  return brin::guarded(-1, [&] {
    const int32_t n[12] = {n1, n2, n3, n4, n5, n6, n7, n8, n9, n10, n11, n12};
    return brin::copy_fast(cn, path, n);
  });
}

int32_t brin_copy_next(int32_t cn, const char* path, uint8_t* progress, const char* index_folder) {
  return brin::guarded(-1, [&] { return brin::copy_next(cn, path, progress, index_folder); });
}

}  // extern "C"
