// Shared by the data-file tests: a simulated recorder serving remote copies,
// a whole copy run through the exports, what the data and index files of a
// copy must hold (worked out here from the parts the recorder sent), and
// pictures decoded independently by ffmpeg.
#pragma once
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "brinlib.h"
#include "reference_pictures.h"
#include "testing.h"
#include "zebsim/packets.h"
#include "zebsim/recorder.h"
#include "zebsim/remote_copy.h"

namespace dl_test {

// The message boxes shown so far (text, caption), and forgetting them.
std::vector<std::pair<std::string, std::string>> messages();
void clear_messages();

// 2026-12-07 10:00:00 to 10:00:02.
inline const std::vector<int> kSpan = {26, 12, 7, 10, 0, 0, 26, 12, 7, 10, 0, 2};
inline constexpr uint64_t kSpanStartTicks = 10ull * 3600 * 90000;  // the recorder counts from midnight

inline std::vector<uint8_t> bytes_of(const std::string& path) { return zebsim::read_binary_file(path); }

inline uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 | static_cast<uint32_t>(p[2]) << 16 |
         static_cast<uint32_t>(p[3]) << 24;
}

// A recorder with the remote copy source, logged in on connection cn.
class CopyServer {
 public:
  explicit CopyServer(zebsim::RemoteCopyConfig config = {}, int cn = 0) : cn_(cn) {
    if (config.clips_dir.empty()) config.clips_dir = velmora::testing::clips_dir();
    zebsim::Config c;
    c.address = velmora::testing::unique_loopback();
    c.first_connection = c.last_connection = cn;
    recorder_ = std::make_unique<zebsim::Recorder>(c);
    source_ = std::make_unique<zebsim::RemoteCopySource>(*recorder_, config);
    started_ = recorder_->start();
    char text[128] = {};
    connected_ = started_ && brin_connect(cn, c.address.c_str(), c.password.c_str(), text) == 0;
  }
  ~CopyServer() {
    if (connected_) brin_unconnect(cn_, 0, 0, 0);
    recorder_->stop();
  }
  bool ready() const { return connected_; }
  zebsim::Recorder& recorder() { return *recorder_; }
  zebsim::RemoteCopySource& source() { return *source_; }
  int cn() const { return cn_; }

 private:
  int cn_;
  std::unique_ptr<zebsim::Recorder> recorder_;
  std::unique_ptr<zebsim::RemoteCopySource> source_;
  bool started_ = false;
  bool connected_ = false;
};

struct CopyRun {
  int32_t fast = 0;
  std::vector<int32_t> results;    // of each brin_copy_next, the last one ending the copy
  std::vector<uint32_t> progress;  // progress value of each brin_copy_next that stored a chunk
};

// brin_copy_fast, then brin_copy_next until it returns 0 or a failure.
inline CopyRun run_copy(int cn, const std::string& data, const std::string& index_folder,
                        const std::vector<int>& span = kSpan) {
  CopyRun run;
  const int* n = span.data();
  run.fast = brin_copy_fast(cn, data.c_str(), n[0], n[1], n[2], n[3], n[4], n[5], n[6], n[7], n[8], n[9], n[10], n[11]);
  if (run.fast != 1) return run;
  for (int i = 0; i < 10000; ++i) {
    uint8_t progress[4] = {0xEE, 0xEE, 0xEE, 0xEE};
    const int32_t r = brin_copy_next(cn, data.c_str(), progress, index_folder.c_str());
    run.results.push_back(r);
    if (r <= 0) break;
    run.progress.push_back(static_cast<uint32_t>(progress[0]) << 24 | static_cast<uint32_t>(progress[1]) << 16 |
                           static_cast<uint32_t>(progress[2]) << 8 | progress[3]);
  }
  return run;
}

// The first recorder packet start code in data, or size.
inline size_t first_packet(const std::vector<uint8_t>& d, size_t from, size_t to) {
  for (size_t i = from; i + 3 < to; ++i)
    if (d[i] == 0 && d[i + 1] == 0 && d[i + 2] == 1 && ((d[i + 3] >> 4) == 0xE || (d[i + 3] >> 4) == 0xC)) return i;
  return to;
}

inline uint32_t packet_pts(const std::vector<uint8_t>& d, size_t at) {
  return static_cast<uint32_t>(zebsim::get_timestamp(&d[at + 9]));
}

struct Predicted {
  std::vector<uint8_t> file;
  std::vector<uint8_t> index;
};

// What a copy of these parts stores: the pack header (its clock reference
// is the first chunk's frame count) and the stream map, then each chunk's
// frame data with the running position in each first packet's first private
// field, and the audio data after the audio chunk header.
inline Predicted predict(const std::vector<zebsim::CopyPart>& parts) {
  Predicted p;
  std::vector<uint8_t>& f = p.file;
  f = {0x00, 0x00, 0x01, 0xBA};
  const uint32_t c = parts.empty() ? 0 : static_cast<uint32_t>(parts[0].frames);
  // SCR base c (33 bits, top bits 0), extension 0, mux rate 25000.
  f.push_back(static_cast<uint8_t>(0x44 | ((c >> 28) & 3)));
  f.push_back(static_cast<uint8_t>(c >> 20));
  f.push_back(static_cast<uint8_t>(((c >> 15) & 0x1F) << 3 | 0x04 | ((c >> 13) & 3)));
  f.push_back(static_cast<uint8_t>(c >> 5));
  f.push_back(static_cast<uint8_t>((c & 0x1F) << 3 | 0x04));
  f.push_back(0x01);
  f.insert(f.end(), {0x01, 0x86, 0xA3, 0xFA, 0xFF, 0xFF});  // 25000 = 0x61A8 in 22 bits, then '11'
  f.insert(f.end(), {0x00, 0x00, 0x01, 0xBC, 0x01, 0x0E, 0xE2, 0xFF, 0x00, 0x08});
  f.insert(f.end(), 8, 0xFF);
  f.insert(f.end(), {0x01, 0x00});
  for (int k = 0; k < 16; ++k)
    f.insert(f.end(), {0x84, static_cast<uint8_t>(0xE0 + k), 0x00, 0x04, 0x2D, 0x1E, 0xFF, 0xFF});
  for (int k = 0; k < 16; ++k)
    f.insert(f.end(), {static_cast<uint8_t>(k < 4 ? 0x91 : 0xFF), static_cast<uint8_t>(0xC0 + k), 0x00, 0x04, 0xFF,
                       0xFF, 0xFF, 0xFF});
  uint32_t running = 0;
  auto entry = [&](uint8_t kind, uint8_t channel, uint32_t time) {
    const uint64_t pos = f.size();
    uint8_t e[12] = {kind, channel, static_cast<uint8_t>(pos >> 32), static_cast<uint8_t>(pos >> 40)};
    for (int i = 0; i < 4; ++i) {
      e[4 + i] = static_cast<uint8_t>(pos >> (8 * i));
      e[8 + i] = static_cast<uint8_t>(time >> (8 * i));
    }
    p.index.insert(p.index.end(), e, e + 12);
  };
  for (const zebsim::CopyPart& part : parts) {
    if (part.video.size() > 100) {
      const std::vector<uint8_t>& v = part.video;
      const size_t first = first_packet(v, 100, v.size());
      entry(0, v[10] >> 4, first < v.size() ? packet_pts(v, first) : 0);
      size_t at = 100;
      for (int i = 0; i < v[27]; ++i) {
        const size_t size = 32u * (v[at + 2] | v[at + 3] << 8);
        std::vector<uint8_t> data(v.begin() + static_cast<long>(at + 6), v.begin() + static_cast<long>(at + 6 + size));
        const size_t s = first_packet(data, 0, data.size());
        if (s + 24 <= data.size()) zebsim::put_private22(&data[s + 21], running);
        running = i == 0 ? static_cast<uint32_t>(size) : running + static_cast<uint32_t>(size);
        f.insert(f.end(), data.begin(), data.end());
        at += 6 + size;
      }
    }
    if (part.audio.size() > 6) {
      std::vector<uint8_t> data(part.audio.begin() + 6, part.audio.end());
      const size_t s = first_packet(data, 0, data.size());
      if (s + 24 <= data.size()) zebsim::put_private22(&data[s + 21], running);
      running = static_cast<uint32_t>(part.audio.size());
      entry(1, part.audio[0] >> 4, packet_pts(data, s));
      f.insert(f.end(), data.begin(), data.end());
    }
  }
  return p;
}

// ---- independent pictures ----

using velmora::testing::Bmp;
using velmora::testing::ClipFrames;
using velmora::testing::ffmpeg_clip_frames;
using velmora::testing::i420_to_bgr;
using velmora::testing::read_bmp;

// PSNR of a picture file (the rows from the ninth bottom row up) against a
// full bottom-up picture of height h.
inline double psnr(const Bmp& bmp, const std::vector<uint8_t>& full, int w, int h) {
  return velmora::testing::psnr_from_ninth_row(bmp.pixels, bmp.width, bmp.height, full, w, h);
}

}  // namespace dl_test
