// Live audio: the selected audio channel's IMA ADPCM blocks of the live
// stream, decoded in place by the stream receive threads and played by a
// playback thread from six rotating buffers per kind; a third source of
// three buffers is filled by the downloaded-file player.
#include "live/live_audio.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <new>
#include <thread>

#include "brinlib.h"
#include "common/guard.h"
#include "live/udp_state.h"
#include "live/wave_device.h"
#include "velmora/clock.h"

namespace brin::live {
namespace {

constexpr int kIndexTable[16] = {-1, -1, -1, -1, 2, 4, 6, 8, -1, -1, -1, -1, 2, 4, 6, 8};
constexpr int kStepTable[89] = {
    7,    8,     9,     10,    11,    12,    13,    14,    16,    17,    19,    21,    23,    25,   28,
    31,   34,    37,    41,    45,    50,    55,    60,    66,    73,    80,    88,    97,    107,  118,
    130,  143,   157,   173,   190,   209,   230,   253,   279,   307,   337,   371,   408,   449,  494,
    544,  598,   658,   724,   796,   876,   963,   1060,  1166,  1282,  1411,  1552,  1707,  1878, 2066,
    2272, 2499,  2749,  3024,  3327,  3660,  4026,  4428,  4871,  5358,  5894,  6484,  7132,  7845, 8630,
    9493, 10442, 11487, 12635, 13899, 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794, 32767};

constexpr size_t kAdpcmBytes = 2048;
constexpr size_t kAudioPacketPrefix = 64;
constexpr size_t kMaxAudioPacket = kAudioPacketPrefix + kAdpcmBytes;  // 2112
constexpr size_t kBlockBodyPrefix = 44;
constexpr size_t kPacketScanLimit = 262144;
constexpr int kQueueCapacity = 12;
// The last block's sequence number before any block was played: a block
// numbered 200 that comes first is taken for a repeat, as it always was.
constexpr int kNoSequenceYet = 200;
// How long a restarted source waits for its first buffers.
constexpr uint32_t kStartWaitMs = 10000;
// How long wave_play_ctrl waits for a new playback thread to run.
constexpr uint32_t kThreadStartWaitMs = 5000;
// How long the stopping playback thread lets the device finish its queue.
constexpr uint32_t kDrainWaitMs = 30;
// How long the closing stream waits for buffers still on the device.
constexpr uint32_t kReleaseWaitMs = 10000;
std::atomic<uint32_t> g_release_wait_ms{kReleaseWaitMs};
// The playback thread is woken by every change it waits for; it also looks
// at its buffers this often, as a fallback only.
constexpr uint32_t kIdleCheckMs = 100;

// Device states.
enum Device : int { kClosed = -1, kNoDevice = 0, kOpen = 1 };

struct Buffer {
  std::unique_ptr<uint8_t[]> data;
  std::mutex lock;
  std::atomic<int> queued{0};  // 0 free, 1 waiting for the device, 2 on the device
  // The wave header: what is handed to the device.
  const uint8_t* play_data = nullptr;
  size_t play_bytes = 0;
  int id = 0;
};

struct AudioKind {
  Buffer buffers[kAudioBuffers];
  std::atomic<int> receive_index{0};
  std::atomic<int> play_index{0};
  std::atomic<int> selected_channel{0};
  std::atomic<int> last_sequence[2] = {kNoSequenceYet, kNoSequenceYet};  // per stream receive thread
  std::atomic<bool> end_marker{false};
  uint8_t side_buffer[2][kAdpcmBytes];  // per stream receive thread
};

struct AudioState {
  AudioKind kinds[kAudioKinds];
  DownloadSource download;
  std::atomic<int> mode{0};
  std::atomic<int> device_state{kClosed};
  std::atomic<bool> running{false};
  std::atomic<bool> thread_finished{true};
  std::unique_ptr<WaveDevice> device;
  std::mutex queue_lock;
  uint8_t queue[kQueueCapacity] = {};
  int queue_count = 0;
  std::mutex thread_lock;
  std::thread thread;
  vp::Signal changed;

  // A program that ends with audio still playing: the playback thread is
  // stopped before the state it works on goes away.
  ~AudioState() {
    mode.store(0);
    changed.notify();
    if (thread.joinable()) thread.join();
  }
};

AudioState& audio() {
  static AudioState s;
  return s;
}

std::atomic<int>* flag_of_id(int id) {
  AudioState& a = audio();
  if (id >= 0 && id < kAudioBuffers) return &a.kinds[0].buffers[id].queued;
  if (id >= 10 && id < 10 + kAudioBuffers) return &a.kinds[1].buffers[id - 10].queued;
  if (id >= 20 && id < 20 + kDownloadBuffers) return &a.download.queued[id - 20];
  return nullptr;
}

// The device reports a played block: the oldest identifier in the queue is
// freed.
void device_done(int /*id*/) {
  AudioState& a = audio();
  if (a.device_state.load() == kClosed || a.mode.load() == 0) return;
  {
    std::lock_guard<std::mutex> g(a.queue_lock);
    if (a.queue_count <= 0) return;
    const int first = a.queue[0];
    std::memmove(a.queue, a.queue + 1, kQueueCapacity - 1);
    --a.queue_count;
    if (std::atomic<int>* f = flag_of_id(first)) f->store(0);
  }
  a.changed.notify();
}

bool find_audio_packet(const uint8_t* data, size_t size) {
  const size_t limit = std::min(size, kPacketScanLimit);
  for (size_t i = 0; i + 3 < limit; ++i) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1) continue;
    const uint8_t id = data[i + 3];
    if (id < 0xBA) continue;
    if ((id >> 4) == 0xC) return true;
    if ((id >> 4) == 0xE) return false;
  }
  return false;
}

// Hands one buffer of a source to the device, when it is waiting.
void send_buffer(AudioState& a, std::atomic<int>& flag, const uint8_t* data, size_t bytes, int id) {
  flag.store(2);
  if (a.device_state.load() == kOpen && a.device) {
    if (!a.device->write(data, bytes, id)) {
      flag.store(0);
      a.changed.notify();
      return;
    }
    std::lock_guard<std::mutex> g(a.queue_lock);
    a.queue[std::min(a.queue_count, kQueueCapacity - 1)] = static_cast<uint8_t>(id);
    if (a.queue_count < kQueueCapacity - 1) ++a.queue_count;
  } else {
    flag.store(0);
    a.changed.notify();
  }
}

void playback_thread() {
  AudioState& a = audio();
  {
    std::lock_guard<std::mutex> g(a.queue_lock);
    a.queue_count = 0;
  }
  if (a.device_state.load() == kClosed) {
    a.device_state.store(kNoDevice);
    a.device = open_wave_device(device_done);
    if (a.device) a.device_state.store(kOpen);
  }
  if (a.device_state.load() == kNoDevice) {
    a.device_state.store(kClosed);
    a.thread_finished.store(true);
    a.changed.notify();
    return;
  }
  a.running.store(true);
  a.changed.notify();
  int previous_mode = -1;
  for (;;) {
    const int mode = a.mode.load();
    const bool restart = mode != previous_mode;
    previous_mode = mode;
    if (mode == 0) break;
    if (mode == 1 || mode == 2) {
      AudioKind& k = a.kinds[mode - 1];
      if (restart) {
        // Three buffers are filled before playing starts.
        // A burst may fill more than three before this thread looks.
        a.changed.wait_for(kStartWaitMs, [&] {
          const int waiting = (k.receive_index.load() - k.play_index.load() + kAudioBuffers) % kAudioBuffers;
          return state().audio_switch.load() == 0 || a.mode.load() != mode || waiting >= 3;
        });
      }
      const int p = k.play_index.load();
      Buffer& b = k.buffers[p];
      if (b.queued.load() == 1) {
        send_buffer(a, b.queued, b.play_data, b.play_bytes, b.id);
        k.play_index.store((p + 1) % kAudioBuffers);
      } else {
        a.changed.wait_for(kIdleCheckMs, [&] { return b.queued.load() == 1 || a.mode.load() != mode; });
      }
    } else if (mode == 3) {
      DownloadSource& d = a.download;
      if (restart) {
        a.changed.wait_for(kStartWaitMs, [&] { return d.queued[0].load() == 1 || a.mode.load() != 3; });
      }
      const int p = d.play_index.load();
      if (d.queued[p].load() == 1) {
        send_buffer(a, d.queued[p], d.data[p], d.bytes[p], 20 + p);
        d.play_index.store((p + 1) % kDownloadBuffers);
      } else {
        a.changed.wait_for(kIdleCheckMs, [&] { return d.queued[p].load() == 1 || a.mode.load() != 3; });
      }
    } else {
      a.changed.wait_for(kIdleCheckMs, [&] { return a.mode.load() != mode; });
    }
  }
  a.changed.wait_for(kDrainWaitMs, [&] {
    std::lock_guard<std::mutex> g(a.queue_lock);
    return a.queue_count == 0;
  });
  // The device's callbacks take the queue lock, so the device is reset
  // outside it.
  if (a.device) a.device->reset();
  {
    std::lock_guard<std::mutex> g(a.queue_lock);
    a.queue_count = 0;
    for (auto& k : a.kinds)
      for (auto& b : k.buffers) b.queued.store(0);
    for (auto& q : a.download.queued) q.store(0);
  }
  a.device.reset();
  a.device_state.store(kClosed);
  for (auto& k : a.kinds) {
    k.receive_index.store(0);
    k.play_index.store(0);
  }
  a.download.play_index.store(0);
  a.running.store(false);
  a.thread_finished.store(true);
  a.changed.notify();
}

int32_t play_ctrl(int32_t m) {
  AudioState& a = audio();
  std::lock_guard<std::mutex> g(a.thread_lock);
  const int current = a.mode.load();
  if (m == current) return m;
  a.mode.store(m);
  a.changed.notify();
  if (current == 0 && m != 0) {
    if (!a.running.load()) {
      if (a.thread.joinable()) a.thread.join();
      a.thread_finished.store(false);
      a.thread = std::thread(playback_thread);
      // Wait for the thread to run; with no device it ends at once, and then
      // there is nothing to wait for.
      a.changed.wait_for(kThreadStartWaitMs, [&] { return a.running.load() || a.thread_finished.load(); });
    }
  } else if (m == 0 && a.thread.joinable()) {
    a.thread.join();
  }
  return m;
}

}  // namespace

void decode_adpcm_block(uint8_t* packet, const uint8_t* adpcm, int predictor, int index) {
  int16_t* out = reinterpret_cast<int16_t*>(packet);
  int pred = predictor;
  int idx = std::clamp(index, 0, 88);
  int n = 0;
  for (size_t i = 0; i < kAdpcmBytes; ++i) {
    const uint8_t byte = adpcm[i];
    for (int half = 0; half < 2; ++half) {
      const int code = half ? byte >> 4 : byte & 15;
      const int step = kStepTable[idx];
      idx = std::clamp(idx + kIndexTable[code], 0, 88);
      const int diff = ((2 * (code & 7) + 1) * step) / 8;
      pred = std::clamp(code < 8 ? pred + diff : pred - diff, -32768, 32767);
      int16_t sample = static_cast<int16_t>(pred);
      std::memcpy(out + n, &sample, 2);
      ++n;
    }
  }
}

void audio_frame_complete(int kind, int t, int i, std::unique_lock<std::mutex>& held) {
  AudioState& a = audio();
  AudioKind& k = a.kinds[kind - 2];
  Buffer& buf = k.buffers[i];
  uint8_t* frame = buf.data.get();
  if (!frame) return;
  const uint8_t end_flag = kind == 2 ? 0x10 : 0x20;
  const int blocks = std::clamp<int>(frame[24], 1, 4);
  size_t at = 0;  // the header of the current block
  for (int n = 0; n < blocks; ++n) {
    if (at + kFrameHeaderBytes + kBlockBodyPrefix > kAudioBufferBytes) return;
    const uint8_t* header = frame + at;
    const uint32_t L = le32(header + 4);
    if (header[22] & end_flag) {
      k.end_marker.store(true);
      return;
    }
    const bool chosen = state().audio_switch.load() != 0 && le16(header) == k.selected_channel.load();
    if (!chosen) {
      at += kFrameHeaderBytes + kBlockBodyPrefix + L + (L & 3);
      continue;
    }
    // This block is played, if this kind is being played and it is new.
    if (a.mode.load() != kind - 1 || header[23] == k.last_sequence[t].load()) return;
    uint8_t* packet = frame + at + kFrameHeaderBytes + kBlockBodyPrefix;
    const size_t room = kAudioBufferBytes - (at + kFrameHeaderBytes + kBlockBodyPrefix);
    // The decoded samples (8192 bytes) are written over the packet in place.
    if (L > room || room < 4 * kAdpcmBytes || L < kAudioPacketPrefix || !find_audio_packet(packet, L)) return;
    // The packet's own length (second private field) bounds the ADPCM data.
    const uint32_t packet_len = (static_cast<uint32_t>(packet[24] & 0x7F) << 15) |
                                (static_cast<uint32_t>(packet[25] >> 4) << 11) |
                                (static_cast<uint32_t>(packet[25] & 7) << 8) | packet[26];
    if (packet_len > kMaxAudioPacket || packet_len < kAudioPacketPrefix || packet_len > L) return;
    uint8_t* side = k.side_buffer[t];
    std::memset(side, 0, kAdpcmBytes);
    std::memcpy(side, packet + kAudioPacketPrefix, packet_len - kAudioPacketPrefix);
    const int predictor = static_cast<int16_t>(le16(packet + 60));
    decode_adpcm_block(packet, side, predictor, packet[62]);
    buf.play_data = packet;
    buf.play_bytes = 4 * kAdpcmBytes;  // 4096 samples of 16 bits
    buf.id = kind == 2 ? i : i + 10;
    // The index moves only from the buffer this frame is in, so another
    // receive thread, or the playback thread's reset, can never be undone.
    int expected = i;
    if (a.device_state.load() == kOpen) {
      if (k.buffers[(i + 1) % kAudioBuffers].queued.load() == 0 &&
          k.receive_index.compare_exchange_strong(expected, (i + 1) % kAudioBuffers)) {
        buf.queued.store(1);
      }
    } else {
      buf.queued.store(0);
      k.receive_index.compare_exchange_strong(expected, 0);
    }
    k.last_sequence[t].store(header[23]);
    held.unlock();
    a.changed.notify();
    if (kind == 3) k.end_marker.store(false);
    return;
  }
}

AudioTarget lock_current_audio_buffer(int kind, std::unique_lock<std::mutex>* held) {
  AudioKind& k = audio().kinds[kind - 2];
  // The index moves on only under the lock of the buffer it leaves, so once
  // that lock is held and the index still names its buffer, it stays there.
  // Another thread moving it meanwhile costs a new try.
  for (int attempt = 0; attempt < 2 * kAudioBuffers; ++attempt) {
    const int i = k.receive_index.load();
    Buffer& b = k.buffers[i];
    std::unique_lock<std::mutex> lock(b.lock);
    if (k.receive_index.load() != i) continue;
    if (!b.data) return {};
    *held = std::move(lock);
    return {b.data.get(), i, &b.queued};
  }
  return {};
}

void clear_audio_end_markers() {
  for (auto& k : audio().kinds) k.end_marker.store(false);
}

uint8_t audio_end_flags() {
  const AudioState& a = audio();
  return static_cast<uint8_t>((a.kinds[0].end_marker.load() ? 0x10 : 0) | (a.kinds[1].end_marker.load() ? 0x20 : 0));
}

void allocate_audio_buffers() {
  for (auto& k : audio().kinds) {
    for (auto& b : k.buffers) {
      std::lock_guard<std::mutex> g(b.lock);
      if (!b.data) b.data.reset(new (std::nothrow) uint8_t[kAudioBufferBytes]());
    }
    // A new stream numbers its blocks afresh: its first block is no repeat
    // of the last block of the stream before, whatever its number.
    for (auto& s : k.last_sequence) s.store(kNoSequenceYet);
  }
}

void release_audio_buffers() {
  // Buffers still waiting for or on the device are waited for. One that the
  // sound queue still holds after that (a stalled device) is kept, with its
  // flag, and reused by the next stream: the queue may yet read it.
  for (auto& k : audio().kinds) {
    int passed = 0;
    audio().changed.wait_for(g_release_wait_ms.load(), [&] {
      while (passed < kAudioBuffers && k.buffers[passed].queued.load() == 0) ++passed;
      return passed == kAudioBuffers;
    });
  }
  // The receive threads have ended, so a free buffer stays free: only they
  // mark one waiting.
  for (auto& k : audio().kinds)
    for (auto& b : k.buffers) {
      std::lock_guard<std::mutex> g(b.lock);
      if (b.queued.load() == 0) b.data.reset();
    }
}

void set_release_wait_for_testing(uint32_t ms) { g_release_wait_ms.store(ms); }

DownloadSource& download_source() { return audio().download; }

vp::Signal& audio_signal() { return audio().changed; }

int32_t save_audio_frame(int kind, const char* path) {
  AudioKind& k = audio().kinds[kind - 2];
  static uint8_t last_saved[2][6] = {};
  Buffer& b = k.buffers[k.receive_index.load()];
  std::lock_guard<std::mutex> g(b.lock);
  uint8_t* frame = b.data.get();
  if (!frame || b.queued.load() != 1) return 0;
  uint8_t* saved = last_saved[kind - 2];
  const uint8_t* stamp = frame + 8;  // time (4 bytes) and fraction (2 bytes)
  const bool newer = kind == 3 ? std::memcmp(stamp, saved, 6) != 0 : std::memcmp(stamp, saved, 6) > 0;
  if (!newer) return 0;
  const uint32_t L = le32(frame + 4);
  if (static_cast<size_t>(L) + kFrameHeaderBytes > kAudioBufferBytes) return 0;
  b.queued.store(2);
  FILE* f = path ? std::fopen(path, "wb") : nullptr;
  size_t written = 0;
  if (f) {
    written = std::fwrite(frame + kFrameHeaderBytes, 1, L, f);
    if (std::fclose(f) != 0) written = 0;
  }
  b.queued.store(0);
  audio().changed.notify();
  if (!f) return 0;
  std::memcpy(saved, stamp, 6);
  return static_cast<int32_t>(written);
}
int audio_play_mode() { return audio().mode.load(); }

int audio_receive_index(int kind) { return audio().kinds[kind - 2].receive_index.load(); }
int audio_play_index(int kind) { return audio().kinds[kind - 2].play_index.load(); }
int audio_device_state() { return audio().device_state.load(); }

}  // namespace brin::live

using brin::guarded;

extern "C" {

int32_t wave_play_ctrl(int32_t mode) {
  return guarded(mode, [&] { return brin::live::play_ctrl(mode); });
}

int32_t wave_play_ch(int32_t selector, int32_t channel) {
  return guarded(selector, [&] {
    if ((selector != 0 && selector != 1) || channel < 0 || channel > 3) return selector;
    auto& kinds = brin::live::audio().kinds;
    const int previous = kinds[1].selected_channel.load();
    kinds[0].selected_channel.store(channel);
    kinds[1].selected_channel.store(channel);
    return previous;
  });
}

int32_t brin_udp_wave(int32_t, int32_t kind_selector, const char* path) {
  return guarded(0, [&] { return brin::live::save_audio_frame(kind_selector == 0 ? 2 : 3, path); });
}

}  // extern "C"
