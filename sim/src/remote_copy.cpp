#include "zebsim/remote_copy.h"

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <thread>

#include "zebsim/live.h"
#include "zebsim/packets.h"

namespace zebsim {
namespace {

constexpr int kFrameRate = 30;
constexpr uint64_t kTicksPerPicture = 90000 / kFrameRate;
constexpr int kAudioSamples = 4096;  // per audio packet
constexpr int kSampleRate = 8000;
constexpr size_t kAdpcmBytes = kAudioSamples / 2;
constexpr size_t kAudioPacketBytes = 64 + kAdpcmBytes;
constexpr size_t kChunkHeaderBytes = 100;
constexpr uint32_t kOversize = (1u << 20) + 1;

std::string hex(uint32_t v) {
  char text[16];
  std::snprintf(text, sizeof text, "%X", v);
  return text;
}

int16_t tone_sample(int channel, uint64_t n) {
  const double freq = 300.0 + 200.0 * channel;
  return static_cast<int16_t>(std::lround(8000.0 * std::sin(2.0 * M_PI * freq * static_cast<double>(n) / kSampleRate)));
}

// Seconds since 1970 of a span end given as year - 2000, month, day, hour,
// minute, second (read as UTC: only differences matter here).
int64_t span_seconds(const int* n) {
  std::tm tm{};
  tm.tm_year = 100 + n[0];
  tm.tm_mon = n[1] - 1;
  tm.tm_mday = n[2];
  tm.tm_hour = n[3];
  tm.tm_min = n[4];
  tm.tm_sec = n[5];
  return static_cast<int64_t>(timegm(&tm));
}

}  // namespace

RemoteCopySource::RemoteCopySource(Recorder& recorder, RemoteCopyConfig config)
    : recorder_(recorder), config_(std::move(config)) {
  if (config_.clips_dir.empty()) {
    const char* d = std::getenv("VELMORA_CLIPS_DIR");
    config_.clips_dir = d ? d : "build/clips";
  }
  load_clips();
  recorder_.add_command("SendDataF", [this](Session& s, const Request& r) { announce(s, r, true); });
  recorder_.add_command("SendDataN", [this](Session& s, const Request& r) { announce(s, r, false); });
  recorder_.add_command("JpegSendStart", [this](Session& s, const Request&) { send_part(s); });
}

void RemoteCopySource::set_fault(const CopyFaultPlan& plan) {
  std::lock_guard<std::mutex> g(mutex_);
  fault_ = plan;
}

std::vector<CopyPart> RemoteCopySource::sent() const {
  std::lock_guard<std::mutex> g(mutex_);
  return sent_;
}

int RemoteCopySource::announced() const {
  std::lock_guard<std::mutex> g(mutex_);
  int n = 0;
  for (const auto& [cn, copy] : copies_) n += copy.announced;
  return n;
}

void RemoteCopySource::load_clips() {
  for (int k = 0; k < std::max(config_.cameras, 0); ++k) {
    Clip clip;
    clip.es = read_binary_file(config_.clips_dir + "/cam" + std::to_string(k % 4) + "_704x480.m4v");
    for (const EsPicture& p : split_pictures(clip.es)) {
      clip.starts.push_back(p.offset);
      clip.sizes.push_back(p.size);
      clip.types.push_back(p.coding_type);
    }
    for (size_t b = 0; b + 3 < clip.es.size(); ++b)
      if (clip.es[b] == 0 && clip.es[b + 1] == 0 && clip.es[b + 2] == 1 && clip.es[b + 3] == 0xB6) {
        clip.headers_end = b;
        break;
      }
    clips_.push_back(std::move(clip));
  }
}

std::vector<uint8_t> RemoteCopySource::video_chunk(int camera, uint64_t slot, uint64_t pts, const uint8_t* rec_time,
                                                   int* frames) {
  const Clip& clip = clips_[static_cast<size_t>(camera)];
  std::vector<uint8_t> chunk(kChunkHeaderBytes, 0);
  *frames = 0;
  const size_t pictures = clip.starts.size();
  const size_t gop = static_cast<size_t>(std::max(config_.gop_pictures, 1));
  if (pictures < gop) return {};
  // The slot's group of pictures, going round the clip.
  const size_t first = (slot % (pictures / gop)) * gop;
  for (size_t n = 0; n < gop; ++n) {
    const size_t i = first + n;
    std::vector<uint8_t> es;
    if (n == 0 && i != 0) {
      // An intra picture inside the clip gets the clip's stream headers in
      // front of it, so that each chunk can be decoded on its own.
      es.assign(clip.es.begin(), clip.es.begin() + static_cast<long>(clip.headers_end));
      size_t vop = clip.starts[i];
      for (size_t b = clip.starts[i]; b + 3 < clip.starts[i] + clip.sizes[i]; ++b)
        if (clip.es[b] == 0 && clip.es[b + 1] == 0 && clip.es[b + 2] == 1 && clip.es[b + 3] == 0xB6) {
          vop = b;
          break;
        }
      es.insert(es.end(), clip.es.begin() + static_cast<long>(vop),
                clip.es.begin() + static_cast<long>(clip.starts[i] + clip.sizes[i]));
    } else {
      es.assign(clip.es.begin() + static_cast<long>(clip.starts[i]),
                clip.es.begin() + static_cast<long>(clip.starts[i] + clip.sizes[i]));
    }
    PacketSpec spec;
    spec.channel = camera;
    spec.pts = pts + n * kTicksPerPicture;
    // Frame sizes count in 32-byte units; the packet's size field covers its
    // padding, so the next packet follows at exactly that distance.
    const size_t padded = (kPacketHeaderBytes + es.size() + 31) / 32 * 32;
    spec.total_size = static_cast<uint32_t>(padded);
    std::vector<uint8_t> packet = recorder_packet(spec, es.data(), es.size());
    packet.resize(padded, 0);
    uint8_t header[6] = {0, 0, 0, 0, 0, 0};
    header[0] = static_cast<uint8_t>(clip.types[i]);
    header[2] = static_cast<uint8_t>(padded / 32);
    header[3] = static_cast<uint8_t>((padded / 32) >> 8);
    chunk.insert(chunk.end(), header, header + 6);
    chunk.insert(chunk.end(), packet.begin(), packet.end());
    ++*frames;
  }
  std::copy(rec_time, rec_time + 6, chunk.begin());
  chunk[10] = static_cast<uint8_t>(camera << 4);
  chunk[27] = static_cast<uint8_t>(*frames);
  return chunk;
}

std::vector<uint8_t> RemoteCopySource::audio_chunk(int channel, uint64_t pts, const std::vector<uint8_t>& codes,
                                                   int predictor, int index) {
  std::vector<uint8_t> payload(kAudioPacketBytes - kPacketHeaderBytes, 0);
  PacketSpec spec;
  spec.video = false;
  spec.channel = channel;
  spec.pts = pts;
  std::vector<uint8_t> packet = recorder_packet(spec, payload.data(), payload.size());
  // Both coder states (bytes 56-58 and 60-62), the codes from byte 64.
  for (size_t at : {size_t{56}, size_t{60}}) {
    packet[at] = static_cast<uint8_t>(predictor);
    packet[at + 1] = static_cast<uint8_t>(predictor >> 8);
    packet[at + 2] = static_cast<uint8_t>(index);
  }
  std::copy(codes.begin(), codes.end(), packet.begin() + 64);
  std::vector<uint8_t> chunk(6, 0);
  chunk[0] = static_cast<uint8_t>(channel << 4);
  chunk.insert(chunk.end(), packet.begin(), packet.end());
  return chunk;
}

std::vector<CopyPart> RemoteCopySource::plan(const std::vector<int>& numbers) {
  std::vector<CopyPart> parts;
  if (numbers.size() < 12) return parts;
  const int64_t start = span_seconds(numbers.data());
  const int64_t end = span_seconds(numbers.data() + 6);
  const int64_t duration = std::min<int64_t>(end - start, config_.max_span_seconds);
  if (duration <= 0) return parts;
  const uint64_t pts0 = static_cast<uint64_t>(numbers[3] * 3600 + numbers[4] * 60 + numbers[5]) * 90000;

  std::vector<CopyPart> video;
  const uint64_t gop = static_cast<uint64_t>(std::max(config_.gop_pictures, 1));
  const uint64_t slots = (static_cast<uint64_t>(duration) * kFrameRate + gop - 1) / gop;
  for (uint64_t s = 0; s < slots; ++s) {
    const uint64_t pts = pts0 + s * gop * kTicksPerPicture;
    const int64_t at = start + static_cast<int64_t>(s * gop / kFrameRate);
    const std::time_t tt = static_cast<std::time_t>(at);
    std::tm tm{};
    gmtime_r(&tt, &tm);
    const uint8_t rec_time[6] = {static_cast<uint8_t>(tm.tm_year - 100), static_cast<uint8_t>(tm.tm_mon + 1),
                                 static_cast<uint8_t>(tm.tm_mday),       static_cast<uint8_t>(tm.tm_hour),
                                 static_cast<uint8_t>(tm.tm_min),        static_cast<uint8_t>(tm.tm_sec)};
    for (int k = 0; k < static_cast<int>(clips_.size()); ++k) {
      CopyPart part;
      part.video = video_chunk(k, s, pts, rec_time, &part.frames);
      part.time = pts;
      if (!part.video.empty()) video.push_back(std::move(part));
    }
  }

  std::vector<CopyPart> audio;
  const double audio_span =
      config_.audio_seconds >= 0 ? std::min<double>(config_.audio_seconds, duration) : static_cast<double>(duration);
  const uint64_t blocks = static_cast<uint64_t>(std::ceil(audio_span * kSampleRate / kAudioSamples));
  const int channels = std::clamp(config_.audio_channels, 0, 4);
  std::vector<AdpcmState> coders(static_cast<size_t>(channels));
  for (uint64_t b = 0; b < blocks; ++b) {
    for (int c = 0; c < channels; ++c) {
      AdpcmState& coder = coders[static_cast<size_t>(c)];
      const AdpcmState at_start = coder;
      std::vector<uint8_t> codes(kAdpcmBytes, 0);
      for (int i = 0; i < kAudioSamples; ++i) {
        const uint8_t code = adpcm_encode_sample(coder, tone_sample(c, b * kAudioSamples + static_cast<uint64_t>(i)));
        codes[static_cast<size_t>(i / 2)] |= static_cast<uint8_t>(i % 2 ? code << 4 : code);
      }
      CopyPart part;
      part.time = pts0 + b * kAudioSamples * 90000 / kSampleRate;
      part.audio = audio_chunk(c, part.time, codes, at_start.predictor, at_start.index);
      audio.push_back(std::move(part));
    }
  }

  // Each part carries the next video chunk and, when it is due by then, the
  // next audio chunk; audio left over goes in parts of its own.
  size_t a = 0;
  for (CopyPart& v : video) {
    if (a < audio.size() && audio[a].time <= v.time) v.audio = std::move(audio[a++].audio);
    parts.push_back(std::move(v));
  }
  for (; a < audio.size(); ++a) parts.push_back(std::move(audio[a]));
  return parts;
}

void RemoteCopySource::announce(Session& s, const Request& r, bool first) {
  const int cn = s.connection_number();
  std::string fields;
  {
    std::lock_guard<std::mutex> g(mutex_);
    Copy& copy = copies_[cn];
    if (first) {
      std::vector<int> numbers;
      for (size_t i = 0; i < 12; ++i) numbers.push_back(r.dec(i));
      copy = Copy{};
      copy.parts = plan(numbers);
      sent_.clear();
    }
    // A part that was announced and never asked for is skipped.
    copy.waiting = false;
    uint32_t a = 0, b = 0;
    int frames = 0;
    if (copy.next < copy.parts.size()) {
      const CopyPart& part = copy.parts[copy.next];
      a = static_cast<uint32_t>(part.video.size());
      b = static_cast<uint32_t>(part.audio.size());
      frames = part.frames;
      if (fault_.fault == CopyFault::kOversize && fault_.part == copy.announced) a = kOversize;
      ++copy.next;
      copy.waiting = true;
      ++copy.announced;
    }
    fields = hex(a) + " " + hex(b);
    if (first) fields += " " + hex(static_cast<uint32_t>(frames));
  }
  s.reply(r, fields);
}

void RemoteCopySource::send_part(Session& s) {
  const int cn = s.connection_number();
  std::vector<uint8_t> bytes;
  CopyPart part;
  CopyFaultPlan fault;
  int number = 0;
  {
    std::lock_guard<std::mutex> g(mutex_);
    Copy& copy = copies_[cn];
    if (!copy.waiting) return;
    copy.waiting = false;
    part = copy.parts[copy.next - 1];
    number = copy.announced - 1;
    fault = fault_;
  }
  bytes = part.video;
  if (fault.fault == CopyFault::kOversize && fault.part == number) bytes.resize(kOversize, 0);
  bytes.insert(bytes.end(), part.audio.begin(), part.audio.end());
  if (fault.part == number && fault.fault == CopyFault::kCut) {
    s.send_raw(bytes.data(), std::min(fault.keep_bytes, bytes.size()));
    return;
  }
  if (fault.part == number && fault.fault == CopyFault::kStall) {
    const size_t keep = std::min(fault.keep_bytes, bytes.size());
    s.send_raw(bytes.data(), keep);
    std::this_thread::sleep_for(std::chrono::milliseconds(fault.stall_ms));
    if (!s.send_raw(bytes.data() + keep, bytes.size() - keep)) return;
  } else if (!s.send_raw(bytes.data(), bytes.size())) {
    return;
  }
  std::lock_guard<std::mutex> g(mutex_);
  sent_.push_back(std::move(part));
}

}  // namespace zebsim
