// The stream receive threads: datagrams from the recorder are reassembled into
// frames per camera and kind, kept newest-first in the channel buffers, and
// the frames of the channel shown alone are split into their sub-frames.
#include <pthread.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <new>
#include <system_error>
#include <thread>

#include "brinlib.h"
#include "common/guard.h"
#include "live/udp_state.h"
#include "velmora/clock.h"

namespace brin::live {
namespace {

constexpr size_t kDatagramBytes = 524288;
constexpr uint16_t kDefaultPort = 50000;
// How long brin_udp_close waits for each receive thread to end.
constexpr uint32_t kCloseWaitMs = 10000;
// A receive thread waiting for datagrams looks at its state at least this
// often; a stop request does not wake a wait on the socket.
constexpr int kIdleWaitMs = 5;
// A paused thread is woken by every state change; this is a fallback only.
constexpr uint32_t kPausedCheckMs = 100;

// One reassembly context per stream slot.
struct Reassembly {
  std::unique_ptr<uint8_t[]> staging;
  int received = 0;
  int current = -1, previous = -1;
  int channel = 0, kind = 0;
  bool staging_on = false;
  size_t staged_extent = 0;  // bytes of the staging buffer written so far
};

uint8_t* new_zeroed(size_t bytes) { return new (std::nothrow) uint8_t[bytes](); }

// Where a fragment of a frame of this kind and channel goes when it is written
// straight through, with its lock and flag; null when there is no such buffer.
struct Target {
  uint8_t* data = nullptr;
  size_t size = 0;
  std::mutex* lock = nullptr;
  std::atomic<int>* flag = nullptr;
};

Target target_of(int kind, int channel) {
  ReceiveState& st = state();
  if (kind == 0 || kind == 1) {
    ChannelBuffer& b = st.channels[kind][channel & 15];
    return {b.data.get(), kChannelBufferBytes, &b.lock, &b.ready};
  }
  if (kind == 2 || kind == 3) {
    return {current_audio_buffer(kind), kAudioBufferBytes, &current_audio_lock(kind), &current_audio_queued(kind)};
  }
  return {};
}

// Builds the sub-frame table of a picture kind from the frame in buffer
// (length L from its header) for the channel shown alone.
void build_subframes(int kind, const uint8_t* frame, uint32_t L) {
  ReceiveState& st = state();
  SubframeEntry* table = st.subframes[kind];
  uint8_t* buf = st.subframe_buffer[kind].get();
  const size_t frame_bytes = static_cast<size_t>(L) + kFrameHeaderBytes;
  const size_t area = frame_bytes > kSubframeAreaOffset ? frame_bytes - kSubframeAreaOffset : 0;
  if (!buf || area > kSubframeBufferBytes) {
    for (int i = 0; i < kSubframeEntries; ++i) table[i] = SubframeEntry{0, 0, buf, 0, 0, 0, 0};
    table[0].size = kNoSelectedChannel;
    return;
  }
  std::memcpy(buf, frame + kSubframeAreaOffset, area);
  const uint32_t channel = static_cast<uint32_t>(st.selected.load() - 1);
  int n = 0;
  size_t offset = kSubframeHeaderBytes;
  // Every sub-frame that lies wholly inside the frame is taken.
  while (n < kSubframeEntries && offset <= area) {
    const uint32_t size = 32u * le16(buf + offset - 4);
    if (size == 0 || offset + size > area) break;
    SubframeEntry& e = table[n];
    e.channel = channel;
    e.data = buf + offset;
    e.size = size;
    e.state = n == 0 ? 1 : 2;
    e.offset = static_cast<uint32_t>(offset);
    e.pts = subframe_timestamp(e.data, size);
    e.time_offset_ms = (e.pts - table[0].pts) / 90u;
    ++n;
    offset += size + kSubframeHeaderBytes;
  }
  for (int i = n; i < kSubframeEntries; ++i) table[i] = SubframeEntry{0, 0, buf, 0, 0, 0, 0};
}

// A picture frame completed in its channel buffer (lock held).
void picture_frame_complete(int kind, int channel, uint8_t* frame) {
  ReceiveState& st = state();
  const uint32_t L = le32(frame + 4);
  st.last[kind].time.store(le32(frame + 8));
  st.last[kind].fraction.store(le16(frame + 12));
  st.last[kind].flags.store(frame[22]);
  st.last[kind].status.store(le16(frame + 16));
  st.last_channel.store(channel);
  if (kind == 0) {
    for (int i = 0; i < 3; ++i) st.control_status[channel][i].store(frame[23 + i]);
  }
  const int selected = st.selected.load();
  if (selected == channel + 1 && st.subframe_buffer[kind]) {
    std::lock_guard<std::mutex> g(st.subframe_lock[kind]);
    build_subframes(kind, frame, L);
  } else if (selected == 0 || !st.subframe_buffer[kind]) {
    std::lock_guard<std::mutex> g(st.subframe_lock[kind]);
    st.subframes[kind][0].size = kNoSelectedChannel;
  }
  st.completed_ms[kind][channel].store(vp::tick_count_ms());
  st.frames_completed[kind].fetch_add(1);
  st.channels[kind][channel].ready.store(kWaiting);
}

void handle_fragment(int t, Reassembly& r, const uint8_t* d, size_t n) {
  const int f = d[0], i = d[1], c = d[2];
  const size_t stride = le16(d + 4);
  const uint8_t* data = d + 8;
  const size_t len = n - 8;

  if (r.received == 0) {
    r.current = r.previous = f;
    r.staging_on = false;
    r.staged_extent = 0;
  }
  if (f != r.current) {
    if (f == r.previous) return;  // a late fragment of an abandoned frame
    r.previous = r.current;
    r.current = f;
    r.received = 0;
    r.staging_on = false;
    r.staged_extent = 0;
  }
  if (i == 0) {
    if (len < kFrameHeaderBytes) return;
    r.kind = data[15];
    if (r.kind == 0 || r.kind == 1) {
      r.channel = (le16(data) >> 12) & 15;
      state().last_channel.store(r.channel);
    }
  }
  if (r.received == 0) {
    r.staging_on = i != 0 || ((r.kind == 0 || r.kind == 1) && state().channels[r.kind][r.channel].ready.load() != 0);
  }
  ++r.received;

  const size_t at = static_cast<size_t>(i) * stride;
  if (r.staging_on) {
    if (at + len <= kStagingBytes) {
      std::memcpy(r.staging.get() + at, data, len);
      r.staged_extent = std::max(r.staged_extent, at + len);
    }
  } else {
    Target target = target_of(r.kind, r.channel);
    if (target.data && at + len <= target.size) {
      std::lock_guard<std::mutex> g(*target.lock);
      if (c > 1) target.flag->store(0);
      std::memcpy(target.data + at, data, len);
    }
  }
  if (r.received < c) return;

  // The frame is complete.
  r.received = 0;
  int kind = r.kind, channel = r.channel;
  if (r.staging_on) {
    if (r.staged_extent < kFrameHeaderBytes) return;
    const uint8_t* s = r.staging.get();
    kind = s[15];
    channel = (le16(s) >> 12) & 15;
  }
  Target target = target_of(kind, channel);
  if (!target.data) return;
  std::unique_lock<std::mutex> held(*target.lock);
  uint8_t* frame = target.data;
  if (r.staging_on) {
    const uint8_t* s = r.staging.get();
    size_t bytes = static_cast<size_t>(le32(s + 4)) + kFrameHeaderBytes;
    // An audio frame's length field is that of its first block only; the
    // blocks after it arrived too and are kept.
    if (kind == 2 || kind == 3) bytes = std::max(bytes, r.staged_extent);
    if (bytes > target.size || bytes > kStagingBytes) return;  // does not fit: dropped
    target.flag->store(0);
    std::memcpy(frame, s, bytes);
  }
  if (kind == 0 || kind == 1) {
    if (static_cast<size_t>(le32(frame + 4)) + kFrameHeaderBytes > target.size) return;
    picture_frame_complete(kind, channel, frame);
  } else if (kind == 2 || kind == 3) {
    state().frames_completed[kind].fetch_add(1);
    audio_frame_complete(kind, t, held);
  }
}

void write_trace(FILE* f, const char* format, int a, int b) {
  if (!f) return;
  std::fprintf(f, format, a, b);
  std::fflush(f);
}

void receive_thread(int t) {
  ReceiveState& st = state();
  char name[16];
  std::snprintf(name, sizeof name, "brin-udp-rx%d", t);
  pthread_setname_np(pthread_self(), name);
  clear_audio_end_markers();
  vp::wsa_startup(0x0101);
  ::mkdir("img", 0755);
  char trace_name[32];
  std::snprintf(trace_name, sizeof trace_name, "img/log%d.txt", t);
  FILE* trace = std::fopen(trace_name, "w");
  write_trace(trace, "thread_flg %d %d\n", t, t);
  // The state leaves "starting" only once the socket is bound, so that
  // brin_udp_connect returns with the stream's datagrams being received.
  const int first_state = t == 0 ? kPaused : kReceiving;

  vp::socket_t s = vp::socket_udp();
  if (s == vp::kInvalidSocket) {
    vp::wsa_cleanup();
    if (trace) std::fclose(trace);
    st.thread_state[t].store(first_state);
    st.state_changed.notify();
    return;  // the state stays; close waits for it in vain, as it must
  }
  st.sockets[t] = s;
  const uint16_t port = st.base_port > 0 ? static_cast<uint16_t>(st.base_port + t) : kDefaultPort;
  const uint32_t group = vp::inet_addr_text(st.stream_address);
  if (trace) {
    std::fprintf(trace, "MULTI JOIN %s %d\n", st.stream_address, st.base_port + t);
    std::fflush(trace);
  }
  // Failures are ignored: a direct (unicast) stream needs no membership.
  vp::socket_set_nonblocking(s, true);
  vp::socket_set_reuseaddr(s, true);
  vp::socket_bind(s, 0, port);
  vp::socket_join_multicast(s, group, 0);
  vp::socket_set_multicast_loop(s, false);
  vp::socket_set_receive_buffer(s, 4 << 20);
  st.thread_state[t].store(first_state);
  st.state_changed.notify();

  Reassembly slots[2];
  slots[0].staging.reset(new_zeroed(kStagingBytes));
  slots[1].staging.reset(new_zeroed(kStagingBytes));
  std::unique_ptr<uint8_t[]> datagram(new_zeroed(kDatagramBytes));
  if (slots[0].staging && slots[1].staging && datagram) {
    while (st.thread_state[t].load() != kStopRequested) {
      if (st.thread_state[t].load() != kReceiving) {
        // Before the recorder's address is known nothing may be accepted, so
        // what arrives then is read and dropped; once it is known, a paused
        // thread leaves the datagrams queued for when it resumes.
        if (!st.filter_valid.load()) {
          while (vp::socket_recvfrom(s, datagram.get(), kDatagramBytes, nullptr, nullptr) > 0)
            st.datagrams_read[t].fetch_add(1);
          vp::socket_wait_readable(s, kIdleWaitMs);
        } else {
          st.state_changed.wait_for(kPausedCheckMs, [&] {
            const int state = st.thread_state[t].load();
            return state == kReceiving || state == kStopRequested;
          });
        }
        continue;
      }
      uint32_t from = 0;
      const int n = vp::socket_recvfrom(s, datagram.get(), kDatagramBytes, &from, nullptr);
      if (n <= 8) {
        if (n >= 0) st.datagrams_read[t].fetch_add(1);
        // Nothing waiting: block on the socket for a short while instead of
        // polling; the state is looked at again at least every few ms.
        if (n == vp::kSocketError && vp::last_socket_error() == vp::kWsaEwouldblock)
          vp::socket_wait_readable(s, kIdleWaitMs);
        continue;
      }
      // Counted once the filter has decided, so that a datagram counted
      // before brin_udp_rx_start is never accepted by the filter it sets.
      const bool accepted = st.filter_valid.load() && from == st.filter_address.load();
      st.datagrams_read[t].fetch_add(1);
      if (!accepted) continue;
      const int slot = datagram[3];
      if (slot > 1) continue;
      handle_fragment(t, slots[slot], datagram.get(), static_cast<size_t>(n));
    }
  }
  write_trace(trace, "thread out %d\n", t, 0);
  if (trace) std::fclose(trace);
  for (int k = 0; k < kPictureKinds; ++k) {
    std::lock_guard<std::mutex> lock(st.subframe_lock[k]);
    for (auto& e : st.subframes[k]) e = SubframeEntry{};
  }
  vp::wsa_cleanup();
  st.thread_state[t].store(kEnded);
  st.state_changed.notify();
}

// The thread body, and the mark that it has returned: a thread that ends
// early (no socket) keeps its state, but it can still be joined.
void run_receive_thread(int t) {
  receive_thread(t);
  state().thread_returned[t].store(true);
  state().state_changed.notify();
}

// Joins receive thread t if it has returned, or, with wait_ms, after waiting
// that long for it to return. A thread that is still running is left to a
// later call. True when no thread t is left.
bool join_receive_thread(int t, uint32_t wait_ms) {
  ReceiveState& st = state();
  if (!st.threads[t].joinable()) return true;
  st.state_changed.wait_for(wait_ms, [&] { return st.thread_returned[t].load(); });
  if (!st.thread_returned[t].load()) return false;
  st.threads[t].join();
  return true;
}

void allocate_buffers() {
  ReceiveState& st = state();
  for (auto& kind : st.channels)
    for (auto& b : kind) {
      if (!b.data) b.data.reset(new_zeroed(kChannelBufferBytes));
      if (!b.data) break;
      b.ready.store(kEmpty);
    }
  allocate_audio_buffers();
  for (auto& b : st.subframe_buffer)
    if (!b) b.reset(new_zeroed(kSubframeBufferBytes));
}

int32_t connect_impl(const char* address, int32_t base_port) {
  ReceiveState& st = state();
  std::lock_guard<std::mutex> g(st.setup_lock);
  allocate_buffers();
  st.filter_valid.store(false);
  st.filter_address.store(0);
  std::snprintf(st.stream_address, sizeof st.stream_address, "%s", address ? address : "");
  st.base_port = base_port;
  // A new stream starts without the previous one's frame values: a forced
  // disconnect flag left from the last recorder would otherwise drop the
  // next connection before its first frame arrives.
  for (auto& last : st.last) {
    last.time.store(0);
    last.fraction.store(0);
    last.flags.store(0);
    last.status.store(0);
  }
  for (int t = 0; t < 2; ++t) {
    // A thread of an earlier stream that was not closed is ended first.
    if (st.threads[t].joinable() && !st.thread_returned[t].load()) {
      st.thread_state[t].store(kStopRequested);
      st.state_changed.notify();
    }
    if (st.threads[t].joinable()) st.threads[t].join();
    st.thread_state[t].store(kStarting);
    st.thread_returned[t].store(false);
    try {
      st.threads[t] = std::thread(run_receive_thread, t);
    } catch (const std::system_error&) {
      st.thread_returned[t].store(true);
      st.thread_state[t].store(kEnded);
      continue;
    }
    st.state_changed.wait([&] { return st.thread_state[t].load() != kStarting; });
  }
  return 0;
}

int32_t close_impl() {
  ReceiveState& st = state();
  std::lock_guard<std::mutex> g(st.setup_lock);
  for (int t = 0; t < 2; ++t) {
    if (st.thread_state[t].load() != kEnded) {
      st.thread_state[t].store(kStopRequested);
      st.state_changed.notify();
      st.state_changed.wait_for(kCloseWaitMs, [&] { return st.thread_state[t].load() == kEnded; });
    }
    // An ended thread returns at once; one that never ended is left running.
    join_receive_thread(t, st.thread_state[t].load() == kEnded ? kCloseWaitMs : 0);
  }
  for (int t = 0; t < 2; ++t) {
    // A thread that did not end in time keeps its socket and buffers; only
    // ended threads give theirs up, so nothing is freed under a running one.
    if (st.thread_state[t].load() == kEnded && st.sockets[t] != vp::kInvalidSocket) {
      vp::socket_close(st.sockets[t]);
      st.sockets[t] = vp::kInvalidSocket;
    }
  }
  const bool stopped = st.thread_state[0].load() == kEnded && st.thread_state[1].load() == kEnded;
  if (stopped) {
    for (auto& kind : st.channels)
      for (auto& b : kind) {
        std::lock_guard<std::mutex> lock(b.lock);
        b.data.reset();
        b.ready.store(kEmpty);
      }
    release_audio_buffers();
    for (int k = 0; k < kPictureKinds; ++k) {
      for (auto& e : st.subframes[k]) e = SubframeEntry{};
      st.subframe_buffer[k].reset();
    }
  }
  return 0;
}

}  // namespace

namespace testing {

void prepare_buffers() { allocate_buffers(); }

void feed_datagram(int t, const uint8_t* data, size_t size) {
  static Reassembly contexts[2][2];
  t &= 1;
  if (size <= 8 || data[3] > 1) return;
  Reassembly& r = contexts[t][data[3]];
  if (!r.staging) r.staging.reset(new_zeroed(kStagingBytes));
  if (r.staging) handle_fragment(t, r, data, size);
}

}  // namespace testing

ReceiveState::~ReceiveState() {
  for (int t = 0; t < 2; ++t) {
    if (thread_state[t].load() != kEnded) {
      thread_state[t].store(kStopRequested);
      state_changed.notify();
    }
    // Every wait of a running thread is bounded, so it ends soon after the
    // request; one that ended early has returned already.
    if (threads[t].joinable()) threads[t].join();
  }
}

ReceiveState& state() {
  static ReceiveState s;
  return s;
}

uint32_t subframe_timestamp(const uint8_t* data, size_t size) {
  for (size_t i = 0; i + 8 < size; ++i) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
    const uint8_t id = data[i + 3];
    if (!((id >= 0xC0 && id <= 0xCF) || (id >= 0xE0 && id <= 0xEF))) continue;
    // Packet length at +4, flags at +6 and +7, header length at +8.
    const int flags = data[i + 7] >> 6;
    const size_t pts_at = i + 9, dts_at = i + 14;
    const size_t at = flags == 2 ? pts_at : flags == 3 ? dts_at : 0;
    if (at == 0) continue;
    if (at + 5 > size) return 0;
    const uint8_t* p = data + at;
    const uint64_t ts = (static_cast<uint64_t>((p[0] >> 1) & 7) << 30) | (static_cast<uint64_t>(p[1]) << 22) |
                        (static_cast<uint64_t>(p[2] >> 1) << 15) | (static_cast<uint64_t>(p[3]) << 7) | (p[4] >> 1);
    return static_cast<uint32_t>(ts);
  }
  return 0;
}

}  // namespace brin::live

using brin::guarded;

extern "C" {

int32_t brin_udp_connect(const char* address, int32_t base_port, int32_t) {
  return guarded(0, [&] { return brin::live::connect_impl(address, base_port); });
}

int32_t brin_udp_rx_start(int32_t a, int32_t b, int32_t c, int32_t d) {
  return guarded(0, [&] {
    auto& st = brin::live::state();
    // The sender filter is the dotted text "a.b.c.d"; parts outside 0 to 255
    // make a text that no sender's address can equal.
    const bool valid = a >= 0 && a <= 255 && b >= 0 && b <= 255 && c >= 0 && c <= 255 && d >= 0 && d <= 255;
    const uint8_t bytes[4] = {static_cast<uint8_t>(a), static_cast<uint8_t>(b), static_cast<uint8_t>(c),
                              static_cast<uint8_t>(d)};
    uint32_t addr;
    std::memcpy(&addr, bytes, 4);
    st.filter_address.store(addr);
    st.filter_valid.store(valid);
    int expected = brin::live::kPaused;
    st.thread_state[0].compare_exchange_strong(expected, brin::live::kReceiving);
    st.state_changed.notify();
    return 0;
  });
}

int32_t brin_udp_rx_stop(void) {
  return guarded(0, [&] {
    int expected = brin::live::kReceiving;
    brin::live::state().thread_state[0].compare_exchange_strong(expected, brin::live::kPaused);
    return 0;
  });
}

int32_t brin_udp_close(void) {
  return guarded(0, [&] { return brin::live::close_impl(); });
}

}  // extern "C"
