// The recorder stand-in's live stream: on "UDPup" it sends the live frames of
// its cameras as UDP datagrams to the stream address and base port of switch
// items 182 and 183 (a multicast group, or any other address for direct
// sending), fragmented by the packet size of item 189, until "UDPdown".
//
// A picture frame (kinds 0 and 1) carries one group of pictures of one camera:
// its intra picture with the stream headers first, each picture a sub-frame
// holding one recorder packet with its PTS. Audio frames (kinds 2 and 3)
// carry one IMA ADPCM block per audio channel, each a tone of its own.
// "UDPdispmode" selects the channel shown alone.
#pragma once
#include <atomic>
#include <cstdint>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "zebsim/recorder.h"

namespace zebsim {

struct LiveConfig {
  // Camera k's video: clips_dir + "/" + clip_name(k). Empty clips_dir: the
  // folder in VELMORA_CLIPS_DIR, else "build/clips".
  std::string clips_dir;
  int cameras = 4;           // cameras 0 .. cameras-1 send video
  bool second_kind = false;  // also send picture kind 1 (352 x 240)
  int audio_channels = 2;    // blocks per audio frame (0 to 4)
  int gop_pictures = 15;     // pictures per live frame
  double frame_rate = 30.0;
  uint16_t status_word = 0;  // 0: the enabled-camera mask
};

// Datagram-level misbehaviour, in percent of datagrams.
struct LiveFaults {
  int loss_percent = 0;
  int duplicate_percent = 0;
  int reorder_percent = 0;    // swapped with the next datagram of its frame
  bool wrong_sender = false;  // send from another loopback address
  uint32_t seed = 1;
  // Hostile frames: each frame's first fragment alone, as often as the
  // frame has fragments; every fragment declaring half its stride, so that
  // each overlaps the next one's place; random-byte fragments after each
  // frame.
  bool duplicate_header = false;
  bool overlap = false;
  int flood = 0;
};

// IMA ADPCM (the encoder of the stand-in; two 4-bit codes per byte, low
// nibble first).
struct AdpcmState {
  int predictor = 0;
  int index = 0;
};
uint8_t adpcm_encode_sample(AdpcmState& s, int16_t sample);
int16_t adpcm_decode_sample(AdpcmState& s, uint8_t code);

class LiveStream {
 public:
  LiveStream(Recorder& recorder, LiveConfig config = {});
  ~LiveStream();
  LiveStream(const LiveStream&) = delete;
  LiveStream& operator=(const LiveStream&) = delete;

  void set_faults(const LiveFaults& faults);
  bool running() const { return running_.load(); }
  int selected_channel() const { return selected_.load(); }  // 0 none, 1..16
  // Frames and datagrams sent since the last UDPup (for tests and benches).
  uint64_t frames_sent(int kind) const { return frames_sent_[kind & 3].load(); }
  uint64_t datagrams_sent() const { return datagrams_.load(); }
  // The pictures of camera k's clip, as the stream sends them, for comparing
  // decoded pictures with an independent decode.
  const std::vector<uint8_t>& clip(int camera) const;
  // Block number n of audio channel c as the stream sends it: the coder
  // state at its start and its 2048 bytes of IMA ADPCM codes (4096 samples
  // of the channel's tone at 8000 per second).
  struct AudioBlock {
    AdpcmState start;
    std::vector<uint8_t> codes;
  };
  static AudioBlock audio_block(int channel, uint32_t block);
  // Starts or stops sending without a control connection.
  void start(uint32_t destination_net, uint16_t base_port);
  void stop();

 private:
  struct Camera {
    std::vector<uint8_t> es;            // the clip
    std::vector<size_t> starts, sizes;  // picture offsets and sizes
    std::vector<int> types;
    size_t next_gop = 0;  // index of the next group's intra picture
    uint64_t pts = 0;
  };
  void load_clips();
  void run(uint32_t destination_net, uint16_t base_port);
  void send_frame(int sock, uint32_t dest, uint16_t port, uint8_t slot, uint8_t number,
                  const std::vector<uint8_t>& frame, uint16_t packet_size);
  std::vector<uint8_t> picture_frame(int camera, int kind);
  std::vector<uint8_t> audio_frame(int kind, uint32_t block);

  Recorder& recorder_;
  LiveConfig config_;
  std::vector<Camera> cameras_[2];
  std::mutex mutex_;
  LiveFaults faults_;
  std::mt19937 rng_;
  std::atomic<bool> running_{false};
  std::atomic<bool> stop_{false};
  std::atomic<int> selected_{0};
  std::atomic<uint64_t> frames_sent_[4] = {};
  std::atomic<uint64_t> datagrams_{0};
  std::thread thread_;
  uint8_t frame_number_[2][2] = {};  // [port offset][stream slot]
  uint32_t audio_block_ = 0;
};

}  // namespace zebsim
