// The splitter: a downloaded data file cut into one file per video frame,
// "<folder>/<channel>_<frame>.dat" (frames counted in thirtieths of a second
// from the first packet), and one WAV file per audio channel 0 to 3,
// "<folder>/wav<channel>.wav", with the decoded 16-bit PCM. A frame limit
// stops a split part-way; Mpeg4Play2 goes on from there with the same frame
// numbering.
#include <sys/types.h>

#include <algorithm>
#include <array>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

#include "brinlib.h"
#include "common/guard.h"
#include "decode/decoders.h"
#include "dlfile/dl_media.h"
#include "velmora/message.h"

namespace brin::dl {
namespace {

constexpr int kAudioChannels = 4;
constexpr uint32_t kTicksPerFrame = 3000;      // 90 kHz / 30
constexpr uint32_t kFrameZeroWindow = 900000;  // 10 s
constexpr size_t kWavHeaderBytes = 44;

struct SplitState {
  std::mutex lock;
  bool valid = false;    // a split ran and can be continued
  int64_t position = 0;  // where the next split goes on
  bool base_set = false;
  uint32_t base = 0;
  uint32_t last_time = 0;
  int64_t last_video_frame = -1;
  std::array<int64_t, kAudioChannels> last_audio_frame{-1, -1, -1, -1};
  std::array<uint32_t, kAudioChannels> wav_bytes{};  // PCM bytes in each WAV file
  std::array<bool, kAudioChannels> wav_made{};
  std::array<bool, 16> size_known{};  // a probe found the channel's picture size
  // Work buffers of the split, allocated by the first and kept for the next.
  std::unique_ptr<uint8_t[]> packet, pcm;
};

SplitState& split_state() {
  static SplitState s;
  return s;
}

void put_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void wav_header(uint8_t* h, uint32_t data_bytes) {
  std::memcpy(h, "RIFF", 4);
  put_le32(h + 4, data_bytes + 36);
  std::memcpy(h + 8, "WAVEfmt ", 8);
  put_le32(h + 16, 16);
  h[20] = 1;  // PCM
  h[21] = 0;
  h[22] = 1;  // one channel
  h[23] = 0;
  put_le32(h + 24, 8000);
  put_le32(h + 28, 16000);
  h[32] = 2;  // block alignment
  h[33] = 0;
  h[34] = 16;  // bits per sample
  h[35] = 0;
  std::memcpy(h + 36, "data", 4);
  put_le32(h + 40, data_bytes);
}

// Frame number of a packet time: thirtieths of a second after the base. A
// time a little before the base (less than 10 s) is frame 0; one far before
// it (the clock started again) continues from the previous packet's time.
int64_t frame_number(uint32_t time, uint32_t base, uint32_t last_time) {
  if (time >= base) return (time - base) / kTicksPerFrame;
  if (base - time < kFrameZeroWindow) return 0;
  return static_cast<uint32_t>(time - base + last_time) / kTicksPerFrame;
}

class WavFiles {
 public:
  explicit WavFiles(const std::string& folder) : folder_(folder) {}
  ~WavFiles() { finish(); }

  // Appends the PCM of one audio packet to the channel's file, creating it
  // (or, when continuing, reopening it) on first use.
  void append(SplitState& st, int channel, const uint8_t* pcm, size_t bytes) {
    std::FILE*& f = files_[static_cast<size_t>(channel)];
    if (!f) {
      const std::string path = folder_ + "/wav" + std::to_string(channel) + ".wav";
      if (st.wav_made[static_cast<size_t>(channel)]) {
        f = std::fopen(path.c_str(), "r+b");
        if (f && fseeko(f, static_cast<off_t>(kWavHeaderBytes + st.wav_bytes[static_cast<size_t>(channel)]),
                        SEEK_SET) != 0) {
          std::fclose(f);
          f = nullptr;
        }
      }
      if (!f) {
        f = std::fopen(path.c_str(), "wb");
        if (!f) return;
        uint8_t h[kWavHeaderBytes];
        wav_header(h, 0);
        std::fwrite(h, 1, sizeof h, f);
        st.wav_bytes[static_cast<size_t>(channel)] = 0;
        st.wav_made[static_cast<size_t>(channel)] = true;
      }
    }
    st.wav_bytes[static_cast<size_t>(channel)] += static_cast<uint32_t>(std::fwrite(pcm, 1, bytes, f));
    state_ = &st;
  }

  // Rewrites every header with the final sizes and closes the files.
  void finish() {
    for (size_t c = 0; c < files_.size(); ++c) {
      std::FILE* f = files_[c];
      if (!f) continue;
      uint8_t h[kWavHeaderBytes];
      wav_header(h, state_ ? state_->wav_bytes[c] : 0);
      if (fseeko(f, 0, SEEK_SET) == 0) std::fwrite(h, 1, sizeof h, f);
      std::fclose(f);
      files_[c] = nullptr;
    }
  }

 private:
  std::string folder_;
  std::array<std::FILE*, kAudioChannels> files_{};
  SplitState* state_ = nullptr;
};

bool write_frame_file(const std::string& folder, int channel, int64_t frame, const uint8_t* data, size_t len) {
  char name[64];
  std::snprintf(name, sizeof name, "/%d_%lld.dat", channel, static_cast<long long>(frame));
  const std::string path = folder + name;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(data, 1, len, f) == len;
  return std::fclose(f) == 0 && ok;
}

// The lowest last frame number among the audio channels and the video (the
// video's when there is no audio).
int32_t result_of(const SplitState& st) {
  int64_t result = -1;
  bool audio = false;
  for (const int64_t a : st.last_audio_frame) {
    if (a < 0) continue;
    result = audio ? std::min(result, a) : a;
    audio = true;
  }
  if (st.last_video_frame >= 0) result = audio ? std::min(result, st.last_video_frame) : st.last_video_frame;
  return static_cast<int32_t>(std::clamp<int64_t>(result, 0, INT32_MAX));
}

int32_t split(const char* path, const char* folder_in, int32_t limit, bool go_on) {
  if (!decode::is_set_up()) {
    vp::message_box("error: not initialized ", path ? path : "");
    return -1;
  }
  DataReader reader;
  if (!path || !reader.open(path)) {
    vp::message_box("error: file open error ", path ? path : "");
    return -1;
  }
  const std::string folder = folder_in ? folder_in : ".";
  SplitState& st = split_state();
  std::lock_guard<std::mutex> g(st.lock);
  if (!go_on || !st.valid) {
    st.valid = true;
    st.position = 0;
    st.base_set = false;
    st.base = st.last_time = 0;
    st.last_video_frame = -1;
    st.last_audio_frame.fill(-1);
    st.wav_bytes.fill(0);
    st.wav_made.fill(false);
    st.size_known.fill(false);
  }
  if (!st.packet) st.packet.reset(new (std::nothrow) uint8_t[kMaxPacketBytes]);
  if (!st.pcm) st.pcm.reset(new (std::nothrow) uint8_t[kAudioPcmBytes]);
  if (!st.packet || !st.pcm) return -1;
  uint8_t* const packet = st.packet.get();
  uint8_t* const pcm = st.pcm.get();
  WavFiles wavs(folder);
  bool first_of_call = true;
  int64_t first_frame = 0;
  int64_t pos = st.position;
  Packet p;
  while (reader.locate(pos, &p)) {
    const size_t len = reader.read(p, packet, p.length);
    const uint32_t time = p.has_time ? p.time : st.last_time;
    if (!st.base_set) {
      st.base = time;
      st.base_set = true;
    }
    const int64_t frame = frame_number(time, st.base, st.last_time);
    if (first_of_call) {
      first_frame = frame;
      first_of_call = false;
    }
    if (limit > 0 && frame - first_frame > limit) {
      // The packet past the limit is where the next split goes on.
      st.position = p.position;
      return 0;
    }
    if (p.kind == kVideoPacket) {
      if (!st.size_known[static_cast<size_t>(p.channel)]) {
        const Probe v = probe_video(packet, len);
        st.size_known[static_cast<size_t>(p.channel)] = v.width > 0 && v.height > 0;
      }
      if (st.size_known[static_cast<size_t>(p.channel)]) {
        write_frame_file(folder, p.channel, frame, packet, len);
        st.last_video_frame = frame;
      }
    } else if (p.channel < kAudioChannels && decode_audio_packet(packet, len, pcm)) {
      wavs.append(st, p.channel, pcm, kAudioPcmBytes);
      st.last_audio_frame[static_cast<size_t>(p.channel)] = frame;
    }
    st.last_time = time;
    pos = p.position + static_cast<int64_t>(p.length);
  }
  st.position = reader.size();
  return result_of(st);
}

}  // namespace
}  // namespace brin::dl

extern "C" {

int32_t Mpeg4Play(const char* path, const char* folder, int32_t frame_limit) {
  return brin::guarded(-1, [&] { return brin::dl::split(path, folder, frame_limit, false); });
}

int32_t Mpeg4Play2(const char* path, const char* folder, int32_t frame_limit) {
  return brin::guarded(-1, [&] { return brin::dl::split(path, folder, frame_limit, true); });
}

}  // extern "C"
