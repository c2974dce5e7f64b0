// The recorder stand-in's remote copy source: "SendDataF" asks for a span of
// the recording, "SendDataN" for the next part, and "JpegSendStart" has the
// announced part sent on the command connection.
//
// The recording: cameras 0 .. cameras-1 record their clips continuously
// (30 pictures a second, an intra picture every 15), audio channels 0 ..
// audio_channels-1 a tone each as IMA ADPCM blocks of 4096 samples. A span
// is served as a list of parts, in time order; each part is at most one
// video chunk (a 100-byte header, then the group of pictures of one camera,
// each picture a frame: 6-byte header and a recorder packet padded to 32
// bytes) and at most one audio chunk (a 6-byte header and one audio packet).
//
// The twelve numbers of "SendDataF" are the span's start and end as year -
// 2000, month, day, hour, minute, second. The 90 kHz time stamps count from
// midnight of the start day.
#pragma once
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "zebsim/recorder.h"

namespace zebsim {

struct RemoteCopyConfig {
  // Camera k's video: clips_dir + "/cam<k%4>_704x480.m4v". Empty clips_dir:
  // the folder in VELMORA_CLIPS_DIR, else "build/clips".
  std::string clips_dir;
  int cameras = 4;         // 0: audio only
  int audio_channels = 2;  // 0 to 4
  int gop_pictures = 15;
  // Audio ends this many seconds into the span (negative: with the span).
  double audio_seconds = -1;
  int max_span_seconds = 600;
};

enum class CopyFault {
  kNone,
  kCut,       // send only keep_bytes of the part, never the rest
  kStall,     // send keep_bytes, pause stall_ms, then send the rest
  kOversize,  // announce a video chunk one byte larger than 1 MiB
};

struct CopyFaultPlan {
  CopyFault fault = CopyFault::kNone;
  int part = 0;  // 0 = the part of SendDataF, 1 = the first SendDataN ...
  size_t keep_bytes = 4096;
  int stall_ms = 3000;
};

// One part of a copy as the stand-in sends it.
struct CopyPart {
  std::vector<uint8_t> video;  // the video chunk (empty: none)
  std::vector<uint8_t> audio;  // the audio chunk (empty: none)
  int frames = 0;              // frames in the video chunk
  uint64_t time = 0;           // 90 kHz time of the video chunk (or the audio)
};

class RemoteCopySource {
 public:
  RemoteCopySource(Recorder& recorder, RemoteCopyConfig config = {});
  RemoteCopySource(const RemoteCopySource&) = delete;
  RemoteCopySource& operator=(const RemoteCopySource&) = delete;

  void set_fault(const CopyFaultPlan& plan);
  // The parts of a span (twelve numbers as in SendDataF).
  std::vector<CopyPart> plan(const std::vector<int>& numbers);
  // The parts sent in full since the last SendDataF, in order.
  std::vector<CopyPart> sent() const;
  // The parts announced since the last SendDataF (sent or not).
  int announced() const;

 private:
  struct Clip {
    std::vector<uint8_t> es;
    std::vector<size_t> starts, sizes;
    std::vector<int> types;
    size_t headers_end = 0;  // stream headers before the first VOP
  };
  struct Copy {
    std::vector<CopyPart> parts;
    size_t next = 0;       // the part the next request announces
    bool waiting = false;  // a part was announced and not yet sent
    int announced = 0;
  };
  void load_clips();
  std::vector<uint8_t> video_chunk(int camera, uint64_t slot, uint64_t pts, const uint8_t* rec_time, int* frames);
  std::vector<uint8_t> audio_chunk(int channel, uint64_t pts, const std::vector<uint8_t>& codes, int predictor,
                                   int index);
  void announce(Session& s, const Request& r, bool first);
  void send_part(Session& s);

  Recorder& recorder_;
  RemoteCopyConfig config_;
  std::vector<Clip> clips_;
  mutable std::mutex mutex_;
  CopyFaultPlan fault_;
  std::map<int, Copy> copies_;  // by connection number
  std::vector<CopyPart> sent_;
};

}  // namespace zebsim
