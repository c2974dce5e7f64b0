// The viewer's polls: the newest frame of a channel becomes its picture file,
// the sub-frames of the channel shown alone are played out at their times,
// and the last values of the stream are read back.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "brinlib.h"
#include "common/guard.h"
#include "decode/decoders.h"
#include "live/udp_state.h"
#include "velmora/clock.h"

namespace brin::live {
namespace {

std::atomic<uint32_t (*)()> g_clock{nullptr};
std::atomic<void (*)(int)> g_decode_hook{nullptr};

// The first sub-frame's data begin at frame byte 134.
constexpr size_t kFirstSubframeData = kSubframeAreaOffset + kSubframeHeaderBytes;

// Where a poll's new picture goes: the picture file at path, or, when
// memory is set, the caller's buffer.
struct PictureSink {
  const char* path = nullptr;
  uint8_t* memory = nullptr;
  size_t capacity = 0;
  int32_t* width = nullptr;
  int32_t* height = nullptr;
  bool too_small = false;
};

bool deliver(PictureSink& sink, int channel) {
  if (!sink.memory) return decode::write_picture_file(sink.path, channel);
  int w = 0, h = 0;
  if (!decode::copy_file_picture(channel, sink.memory, sink.capacity, &w, &h, &sink.too_small)) return false;
  if (sink.width) *sink.width = w;
  if (sink.height) *sink.height = h;
  return true;
}

// Decodes a packet into its channel's picture and delivers it; true when a
// new picture was delivered.
bool decode_and_deliver(const uint8_t* data, size_t size, PictureSink& sink) {
  int channel = -1;
  if (!decode::decode_packet(data, size, &channel)) return false;
  return deliver(sink, channel);
}

// Plays out the due sub-frames of the table of kind d, elapsed ms after the
// first one was shown. Result 1 when a picture was delivered.
int play_out(int d, uint32_t elapsed, PictureSink& sink) {
  if (!decode::is_set_up()) return 0;
  ReceiveState& st = state();
  SubframeEntry* table = st.subframes[d];
  const int channel = static_cast<int>(table[0].channel);
  bool last_ok = false, handled = false;
  for (int i = 0; i < kSubframeEntries; ++i) {
    SubframeEntry& e = table[i];
    if (e.size == 0 || e.size == kNoSelectedChannel || !e.data) continue;
    if (e.state == 2) {
      if (e.time_offset_ms > elapsed) break;  // due later
      handled = true;
      last_ok = decode::decode_next_piece(channel, e.data, e.size);
      if (last_ok) e.size = 0;
    } else if (e.state == 1) {
      handled = true;
      int ch = -1;
      last_ok = decode::decode_packet(e.data, e.size, &ch);
      if (!last_ok) break;
      e.size = 0;
    }
  }
  return handled && last_ok && deliver(sink, channel) ? 1 : 0;
}

int32_t poll_impl(int k, int d, PictureSink& sink) {
  if (k < 0 || k >= kChannels) return 0;
  d = d == 0 ? 0 : 1;
  ReceiveState& st = state();
  char path[32];
  std::snprintf(path, sizeof path, "img/serv%d%02d.jpg", d, k);
  if (!sink.memory) sink.path = path;
  ChannelBuffer& b = st.channels[d][k];
  std::lock_guard<std::mutex> polling(b.poll_lock);
  std::unique_lock<std::mutex> g(b.lock);
  int32_t result = 0;
  const bool selected = st.selected.load() == k + 1;
  if (b.ready.load() == kWaiting && b.data) {
    b.ready.store(kDecoding);
    st.frames_taken[d][k].fetch_add(1);
    // Only the part of the frame that arrived whole is decoded.
    const uint32_t L = le32(b.data.get() + 4);
    const size_t frame_bytes = std::min(static_cast<size_t>(L) + kFrameHeaderBytes, b.extent);
    const bool whole = frame_bytes > kFirstSubframeData && frame_bytes <= kChannelBufferBytes;
    if (whole) b.taken.assign(b.data.get(), b.data.get() + frame_bytes);
    if (selected) {
      std::lock_guard<std::mutex> sub(st.subframe_lock[d]);
      st.poll_start_ms[d] = now_ms();
      if (st.subframes[d][0].size != kNoSelectedChannel) st.subframes[d][0].size = 0;
    }
    // The buffer is free for the next frame while this one is decoded.
    b.ready.store(kEmpty);
    g.unlock();
    if (auto hook = g_decode_hook.load()) hook(k);
    // A frame that gives no new picture (a damaged or refused one, or no
    // decoders yet) leaves the result 0, so the caller keeps treating what
    // it shows as old.
    if (whole && decode::is_set_up()) {
      if (!sink.memory) ::mkdir("img", 0755);
      result = decode_and_deliver(b.taken.data() + kFirstSubframeData, frame_bytes - kFirstSubframeData, sink) ? 1 : 0;
    }
  } else if (selected) {
    std::lock_guard<std::mutex> sub(st.subframe_lock[d]);
    SubframeEntry& first = st.subframes[d][0];
    if (first.size != kNoSelectedChannel && static_cast<int>(first.channel) + 1 == st.selected.load()) {
      uint32_t elapsed = 0;
      if (first.size == 0) {
        elapsed = now_ms() - st.poll_start_ms[d];
      } else {
        st.poll_start_ms[d] = now_ms();
      }
      if (!sink.memory) ::mkdir("img", 0755);
      result = play_out(d, elapsed, sink);
    }
  }
  return result;
}

}  // namespace

uint32_t now_ms() {
  auto clock = g_clock.load();
  return clock ? clock() : vp::time_get_time_ms();
}

void set_clock_for_testing(uint32_t (*clock)()) { g_clock.store(clock); }

namespace testing {
void set_poll_decode_hook(void (*hook)(int channel)) { g_decode_hook.store(hook); }
}  // namespace testing

}  // namespace brin::live

using brin::guarded;
using brin::live::state;

extern "C" {

int32_t brin_udp_rx(int32_t channel, int32_t kind) {
  return guarded(0, [&] {
    brin::live::PictureSink file;
    return brin::live::poll_impl(channel, kind, file);
  });
}

int32_t brin_udp_rx_picture(int32_t channel, int32_t kind, uint8_t* rgb, int32_t capacity, int32_t* width,
                            int32_t* height) {
  return guarded(0, [&] {
    if (!rgb || capacity <= 0) return -1;
    brin::live::PictureSink memory;
    memory.memory = rgb;
    memory.capacity = static_cast<size_t>(capacity);
    memory.width = width;
    memory.height = height;
    const int32_t r = brin::live::poll_impl(channel, kind, memory);
    return memory.too_small ? -1 : r;
  });
}

BrinRxTime* brin_udp_rxtime(int32_t kind, BrinRxTime* out) {
  if (out) {
    const auto& last = state().last[kind == 0 ? 0 : 1];
    out->time = last.time.load();
    out->fraction = last.fraction.load();
  }
  return out;
}

int32_t brin_udp_rxstatus(int32_t mode, uint8_t* flags, uint8_t* channel, uint16_t* status, uint16_t* control1,
                          uint16_t* control2, uint16_t* control3) {
  return guarded(0, [&] {
    auto& st = state();
    if (mode == -1) {
      brin::live::clear_audio_end_markers();
      return 0;
    }
    const int last_channel = st.last_channel.load() & 15;
    if (channel) *channel = static_cast<uint8_t>(last_channel);
    uint8_t f;
    if (mode == 0) {
      f = st.last[0].flags.load();
      if (status) *status = st.last[0].status.load();
      if (control1) *control1 = st.control_status[last_channel][0].load();
      if (control2) *control2 = st.control_status[last_channel][1].load();
      if (control3) *control3 = st.control_status[last_channel][2].load();
    } else {
      f = st.last[1].flags.load();
      if (status) *status = st.last[1].status.load();
    }
    f |= brin::live::audio_end_flags();
    if (flags) *flags = f;
    return static_cast<int32_t>(f);
  });
}

int32_t brin_udp_ptzstatus(int32_t channel, uint16_t* v1, uint16_t* v2, uint16_t* v3) {
  return guarded(0, [&] {
    if (channel < 0 || channel >= brin::live::kChannels) return 0;
    auto& cs = state().control_status[channel];
    if (v1) *v1 = cs[0].load();
    if (v2) *v2 = cs[1].load();
    if (v3) *v3 = cs[2].exchange(0);  // the third value is reported once
    return 0;
  });
}

}  // extern "C"
