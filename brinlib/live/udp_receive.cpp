// The stream receive threads: datagrams from the recorder are reassembled into
// frames per camera and kind, kept newest-first in the channel buffers, and
// the frames of the channel shown alone are split into their sub-frames.
#include <pthread.h>
#include <sys/stat.h>

#include <algorithm>
#include <bitset>
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
// Datagrams read and dropped in one go before the recorder is known.
constexpr int kDrainBatch = 64;
// A frame has at most 255 fragments (an 8-bit count).
constexpr int kMaxFragments = 256;

// One reassembly context per stream slot.
struct Reassembly {
  std::unique_ptr<uint8_t[]> staging;
  int received = 0;  // distinct fragments of the current frame
  int current = -1, previous = -1;
  // The fragment count and stride of the current frame, from its first
  // datagram; datagrams that disagree with them are not part of it.
  int count = 0;
  size_t stride = 0;
  // Kind and channel from the current frame's own fragment 0; -1 until it
  // arrived, so nothing is ever taken from an earlier frame's header.
  int channel = -1, kind = -1;
  bool staging_on = false;
  size_t extent = 0;  // bytes of the frame written so far (highest end)
  // Which fragments arrived, and how many data bytes each carried: only
  // distinct fragments count towards completion, and a frame that cannot
  // complete keeps the prefix that arrived whole.
  std::bitset<kMaxFragments> arrived;
  uint32_t length[kMaxFragments] = {};
};

uint8_t* new_zeroed(size_t bytes) { return new (std::nothrow) uint8_t[bytes](); }

// Forgets the frame being collected.
void begin_frame(Reassembly& r) {
  r.received = 0;
  r.count = 0;
  r.stride = 0;
  r.kind = r.channel = -1;
  r.staging_on = false;
  r.extent = 0;
  r.arrived.reset();
}

// Builds the sub-frame table of a picture kind from the first frame_bytes
// bytes of a frame, for the channel shown alone.
void build_subframes(int kind, const uint8_t* frame, size_t frame_bytes) {
  ReceiveState& st = state();
  SubframeEntry* table = st.subframes[kind];
  uint8_t* buf = st.subframe_buffer[kind].get();
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

// A picture frame is waiting in its channel buffer (lock held); extent bytes
// of it may be decoded.
void picture_frame_complete(int kind, int channel, size_t extent) {
  ReceiveState& st = state();
  ChannelBuffer& b = st.channels[kind][channel];
  const uint8_t* frame = b.data.get();
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
    build_subframes(kind, frame, extent);
  } else if (selected == 0 || !st.subframe_buffer[kind]) {
    std::lock_guard<std::mutex> g(st.subframe_lock[kind]);
    st.subframes[kind][0].size = kNoSelectedChannel;
  }
  b.extent = extent;
  st.completed_ms[kind][channel].store(vp::tick_count_ms());
  b.ready.store(kWaiting);
}

// The end of the last sub-frame lying wholly inside the first limit bytes of
// a picture frame; 0 when not even the first one does.
size_t whole_subframes_end(const uint8_t* frame, size_t limit) {
  size_t end = 0;
  size_t offset = kSubframeAreaOffset;
  while (offset + kSubframeHeaderBytes <= limit) {
    const size_t size = 32u * le16(frame + offset + 2);
    if (size == 0 || offset + kSubframeHeaderBytes + size > limit) break;
    offset += kSubframeHeaderBytes + size;
    end = offset;
  }
  return end;
}

// The bytes from the frame's start that arrived without a gap.
size_t received_prefix(const Reassembly& r) {
  size_t prefix = 0;
  for (int i = 0; i < r.count && r.arrived[static_cast<size_t>(i)]; ++i) {
    const size_t at = static_cast<size_t>(i) * r.stride;
    if (at > prefix) break;
    prefix = std::max(prefix, at + r.length[i]);
  }
  return prefix;
}

// A picture frame that cannot complete (a newer frame began): the pictures
// wholly inside the prefix that arrived up to its first missing fragment are
// kept for the polls; everything after the gap is dropped, so no picture is
// ever made from a damaged part. Needs the frame's own header (fragment 0).
void keep_received_prefix(Reassembly& r) {
  if (r.received == 0 || !r.arrived[0] || (r.kind != 0 && r.kind != 1)) return;
  ReceiveState& st = state();
  ChannelBuffer& b = st.channels[r.kind][r.channel];
  const size_t prefix = std::min(received_prefix(r), kChannelBufferBytes);
  std::lock_guard<std::mutex> g(b.lock);
  if (!b.data) return;
  const uint8_t* source = r.staging_on ? r.staging.get() : b.data.get();
  const size_t frame_bytes = static_cast<size_t>(le32(source + 4)) + kFrameHeaderBytes;
  const size_t usable = whole_subframes_end(source, std::min(prefix, frame_bytes));
  if (usable == 0) return;
  if (b.ready.load() == kWaiting) st.frames_replaced[r.kind].fetch_add(1);
  if (r.staging_on) std::memcpy(b.data.get(), source, usable);
  st.frames_salvaged[r.kind].fetch_add(1);
  picture_frame_complete(r.kind, r.channel, usable);
}

// Every fragment of the frame arrived.
void complete_frame(int t, Reassembly& r) {
  ReceiveState& st = state();
  r.received = 0;  // the next datagram begins a new frame
  if (!r.staging_on) {
    // Written in place: a picture frame whose header came first.
    ChannelBuffer& b = st.channels[r.kind][r.channel];
    std::lock_guard<std::mutex> g(b.lock);
    if (!b.data) return;
    const size_t frame_bytes = static_cast<size_t>(le32(b.data.get() + 4)) + kFrameHeaderBytes;
    if (frame_bytes > kChannelBufferBytes) return;  // does not fit: dropped
    st.frames_completed[r.kind].fetch_add(1);
    picture_frame_complete(r.kind, r.channel, std::min(frame_bytes, r.extent));
    return;
  }
  // Staged: kind and channel from the frame's own header, which arrived.
  const uint8_t* s = r.staging.get();
  const int kind = s[15];
  const int channel = (le16(s) >> 12) & 15;
  size_t bytes = static_cast<size_t>(le32(s + 4)) + kFrameHeaderBytes;
  if (kind == 0 || kind == 1) {
    if (bytes > kChannelBufferBytes) return;
    ChannelBuffer& b = st.channels[kind][channel];
    std::lock_guard<std::mutex> g(b.lock);
    if (!b.data) return;
    if (b.ready.load() == kWaiting) st.frames_replaced[kind].fetch_add(1);
    b.ready.store(kEmpty);
    std::memcpy(b.data.get(), s, bytes);
    st.frames_completed[kind].fetch_add(1);
    picture_frame_complete(kind, channel, std::min(bytes, r.extent));
  } else if (kind == 2 || kind == 3) {
    // An audio frame's length field is that of its first block only; the
    // blocks after it arrived too and are kept.
    bytes = std::max(bytes, r.extent);
    if (bytes > kAudioBufferBytes) return;
    std::unique_lock<std::mutex> held;
    const AudioTarget target = lock_current_audio_buffer(kind, &held);
    if (!target.data) return;
    target.queued->store(0);
    std::memcpy(target.data, s, bytes);
    st.frames_completed[kind].fetch_add(1);
    audio_frame_complete(kind, t, target.index, held);
  }
}

void handle_fragment(int t, Reassembly& r, const uint8_t* d, size_t n) {
  const int f = d[0], i = d[1], c = d[2];
  const size_t stride = le16(d + 4);
  const uint8_t* data = d + 8;
  const size_t len = n - 8;
  // A fragment beyond its own frame's count belongs to no frame.
  if (i >= c) return;

  if (r.received == 0) {
    r.current = r.previous = f;
    begin_frame(r);
  }
  if (f != r.current) {
    if (f == r.previous) return;  // a late fragment of an abandoned frame
    keep_received_prefix(r);
    r.previous = r.current;
    r.current = f;
    begin_frame(r);
  }
  if (r.received > 0 && (c != r.count || stride != r.stride)) return;
  if (r.arrived[static_cast<size_t>(i)]) return;  // a duplicate never counts twice
  if (i == 0) {
    if (len < kFrameHeaderBytes) return;
    r.kind = data[15];
    if (r.kind == 0 || r.kind == 1) {
      r.channel = (le16(data) >> 12) & 15;
      state().last_channel.store(r.channel);
    }
  }
  if (r.received == 0) {
    r.count = c;
    r.stride = stride;
    // A picture frame is written straight into its channel buffer when its
    // header comes first and no frame waits there; otherwise it is staged.
    // Audio frames are always staged: the buffer they go to is chosen, under
    // its lock, only once they are complete, so that two receive threads
    // never write into the same audio buffer.
    r.staging_on = i != 0 || (r.kind != 0 && r.kind != 1) || state().channels[r.kind][r.channel].ready.load() != kEmpty;
  }

  const size_t at = static_cast<size_t>(i) * stride;
  if (r.staging_on) {
    if (at + len > kStagingBytes) return;  // does not fit: dropped
    std::memcpy(r.staging.get() + at, data, len);
  } else {
    ChannelBuffer& b = state().channels[r.kind][r.channel];
    std::lock_guard<std::mutex> g(b.lock);
    if (!b.data || at + len > kChannelBufferBytes) return;
    if (c > 1) b.ready.store(kEmpty);
    std::memcpy(b.data.get() + at, data, len);
  }
  r.arrived.set(static_cast<size_t>(i));
  r.length[i] = static_cast<uint32_t>(len);
  r.extent = std::max(r.extent, at + len);
  if (++r.received < r.count) return;
  complete_frame(t, r);
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
    return;  // the state stays; close sees that the thread has returned
  }
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
          // A flood must not keep the thread from seeing a stop request.
          for (int drained = 0; drained < kDrainBatch && st.thread_state[t].load() != kStopRequested &&
                                vp::socket_recvfrom(s, datagram.get(), kDatagramBytes, nullptr, nullptr) > 0;
               ++drained)
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
  // The thread owns its socket: closed here, so no socket outlives the
  // thread that reads it and none is closed under a thread still reading.
  vp::socket_close(s);
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

// Asks both receive threads to stop and joins those that return within
// wait_ms. True when no receive thread is left.
bool stop_receive_threads(uint32_t wait_ms) {
  ReceiveState& st = state();
  for (int t = 0; t < 2; ++t) {
    if (st.threads[t].joinable() && !st.thread_returned[t].load()) st.thread_state[t].store(kStopRequested);
  }
  st.state_changed.notify();
  for (int t = 0; t < 2; ++t) {
    if (!st.threads[t].joinable()) continue;
    st.state_changed.wait_for(wait_ms, [&] { return st.thread_returned[t].load(); });
    if (st.thread_returned[t].load()) st.threads[t].join();
  }
  return !st.threads[0].joinable() && !st.threads[1].joinable();
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
  // The threads of an earlier stream that was not closed are ended first,
  // and with them their sockets: one thread pair per stream. Every wait of
  // a running thread is bounded, so they end soon after the request.
  while (!stop_receive_threads(kCloseWaitMs)) {
  }
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
  // Buffers are freed only once no receive thread is left that may write
  // them; a thread that did not end in time keeps them until the next
  // connect or close ends it.
  if (!stop_receive_threads(kCloseWaitMs)) return 0;
  for (int t = 0; t < 2; ++t) st.thread_state[t].store(kEnded);
  for (auto& kind : st.channels)
    for (auto& b : kind) {
      std::lock_guard<std::mutex> polling(b.poll_lock);
      std::lock_guard<std::mutex> lock(b.lock);
      b.data.reset();
      b.ready.store(kEmpty);
      std::vector<uint8_t>().swap(b.taken);
    }
  release_audio_buffers();
  for (int k = 0; k < kPictureKinds; ++k) {
    std::lock_guard<std::mutex> lock(st.subframe_lock[k]);
    for (auto& e : st.subframes[k]) e = SubframeEntry{};
    st.subframe_buffer[k].reset();
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
    if (threads[t].joinable() && !thread_returned[t].load()) thread_state[t].store(kStopRequested);
  }
  state_changed.notify();
  // Every wait of a running thread is bounded, so it ends soon after the
  // request; one that ended early has returned already.
  for (auto& thread : threads)
    if (thread.joinable()) thread.join();
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
