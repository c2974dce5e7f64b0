#include "zebsim/live.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "zebsim/packets.h"

namespace zebsim {
namespace {

// The IMA ADPCM quantiser step sizes, index 0 to 88, eight to a line (the
// first number of a line is its index).
constexpr int16_t kImaSteps[] = {
    /*  0 */ 7,     8,     9,     10,    11,    12,    13,    14,
    /*  8 */ 16,    17,    19,    21,    23,    25,    28,    31,
    /* 16 */ 34,    37,    41,    45,    50,    55,    60,    66,
    /* 24 */ 73,    80,    88,    97,    107,   118,   130,   143,
    /* 32 */ 157,   173,   190,   209,   230,   253,   279,   307,
    /* 40 */ 337,   371,   408,   449,   494,   544,   598,   658,
    /* 48 */ 724,   796,   876,   963,   1060,  1166,  1282,  1411,
    /* 56 */ 1552,  1707,  1878,  2066,  2272,  2499,  2749,  3024,
    /* 64 */ 3327,  3660,  4026,  4428,  4871,  5358,  5894,  6484,
    /* 72 */ 7132,  7845,  8630,  9493,  10442, 11487, 12635, 13899,
    /* 80 */ 15289, 16818, 18500, 20350, 22385, 24623, 27086, 29794,
    /* 88 */ 32767,
};
static_assert(sizeof kImaSteps / sizeof kImaSteps[0] == 89);
constexpr int kLastStepIndex = 88;

// How a code moves the step index: its magnitude (the low three bits) 0 to 3
// steps down by one, 4 to 7 up by 2, 4, 6 or 8; the sign bit plays no part.
constexpr int step_index_change(uint8_t code) {
  const int magnitude = code & 7;
  return magnitude < 4 ? -1 : 2 * (magnitude - 3);
}

constexpr int kAudioSamples = 4096;  // per block
constexpr int kAdpcmBytes = kAudioSamples / 2;
constexpr int kAudioPacketBytes = 64 + kAdpcmBytes;
constexpr int kSampleRate = 8000;

void put_le16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void put_le32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

int16_t tone_sample(int channel, uint64_t n) {
  const double freq = 300.0 + 200.0 * channel;
  return static_cast<int16_t>(std::lround(8000.0 * std::sin(2.0 * M_PI * freq * static_cast<double>(n) / kSampleRate)));
}

// Encodes block n of a channel's tone. The coder state at the block start is
// what coding the block before it left (from a fresh state), so every block
// can be made on its own and still continues the tone smoothly.
void encode_block(int channel, uint32_t block, AdpcmState& start, std::vector<uint8_t>& codes) {
  AdpcmState s;
  const uint64_t first = static_cast<uint64_t>(block) * kAudioSamples;
  const uint64_t warm = first > kAudioSamples ? first - kAudioSamples : 0;
  for (uint64_t n = warm; n < first; ++n) adpcm_encode_sample(s, tone_sample(channel, n));
  start = s;
  codes.assign(kAdpcmBytes, 0);
  for (int i = 0; i < kAudioSamples; ++i) {
    const uint8_t code = adpcm_encode_sample(s, tone_sample(channel, first + static_cast<uint64_t>(i)));
    codes[static_cast<size_t>(i / 2)] |= static_cast<uint8_t>(i % 2 ? code << 4 : code);
  }
}

}  // namespace

int16_t adpcm_decode_sample(AdpcmState& s, uint8_t code) {
  // The difference is the step times (magnitude + 1/2) / 4, rounded down;
  // bit 3 makes it negative.
  const int step = kImaSteps[s.index];
  const int difference = (step * (2 * (code & 7) + 1)) >> 3;
  const int sample = (code & 8) == 0 ? s.predictor + difference : s.predictor - difference;
  s.predictor = sample > 32767 ? 32767 : (sample < -32768 ? -32768 : sample);
  const int index = s.index + step_index_change(code);
  s.index = index < 0 ? 0 : (index > kLastStepIndex ? kLastStepIndex : index);
  return static_cast<int16_t>(s.predictor);
}

uint8_t adpcm_encode_sample(AdpcmState& s, int16_t sample) {
  // Choose the code whose reconstruction comes nearest to the sample.
  uint8_t best = 0;
  int best_error = 1 << 30;
  for (uint8_t code = 0; code < 16; ++code) {
    AdpcmState trial = s;
    const int err = std::abs(adpcm_decode_sample(trial, code) - sample);
    if (err < best_error) {
      best_error = err;
      best = code;
    }
  }
  adpcm_decode_sample(s, best);
  return best;
}

LiveStream::AudioBlock LiveStream::audio_block(int channel, uint32_t block) {
  AudioBlock b;
  encode_block(channel, block, b.start, b.codes);
  return b;
}

LiveStream::LiveStream(Recorder& recorder, LiveConfig config)
    : recorder_(recorder), config_(std::move(config)), rng_(1) {
  if (config_.clips_dir.empty()) {
    const char* d = std::getenv("VELMORA_CLIPS_DIR");
    config_.clips_dir = d ? d : "build/clips";
  }
  load_clips();
  recorder_.add_command("UDPup", [this](Session& s, const Request& r) {
    s.reply(r, "00");
    uint32_t dest = htonl(recorder_.switch_item("cam", 182));
    if (dest == 0) dest = s.peer_address();
    start(dest, static_cast<uint16_t>(recorder_.switch_item("cam", 183)));
  });
  recorder_.add_command("UDPdown", [this](Session& s, const Request& r) {
    stop();
    s.reply(r, "00");
  });
  recorder_.add_command("UDPdispmode", [this](Session& s, const Request& r) {
    selected_.store(static_cast<int>(r.hex(0)));
    s.reply(r, "00");
  });
}

LiveStream::~LiveStream() { stop(); }

void LiveStream::set_faults(const LiveFaults& faults) {
  std::lock_guard<std::mutex> g(mutex_);
  faults_ = faults;
  rng_.seed(faults.seed);
}

const std::vector<uint8_t>& LiveStream::clip(int camera) const {
  return cameras_[0].at(static_cast<size_t>(camera)).es;
}

void LiveStream::load_clips() {
  static const char* kMain[4] = {"cam0_704x480", "cam1_704x480", "cam2_704x480", "cam3_704x480"};
  for (int kind = 0; kind < 2; ++kind) {
    for (int k = 0; k < config_.cameras; ++k) {
      Camera cam;
      const std::string name = kind == 0 ? kMain[k % 4] : "cam0_352x240";
      cam.es = read_binary_file(config_.clips_dir + "/" + name + ".m4v");
      for (const EsPicture& p : split_pictures(cam.es)) {
        cam.starts.push_back(p.offset);
        cam.sizes.push_back(p.size);
        cam.types.push_back(p.coding_type);
      }
      cameras_[kind].push_back(std::move(cam));
    }
  }
}

std::vector<uint8_t> LiveStream::picture_frame(int camera, int kind) {
  Camera& cam = cameras_[kind][static_cast<size_t>(camera)];
  std::vector<uint8_t> frame(128, 0);
  if (cam.starts.empty()) return {};
  // One group: the intra picture (with the stream headers in front of it,
  // taken from the start of the clip) and the pictures after it.
  size_t i = cam.next_gop;
  const int pictures = config_.gop_pictures;
  for (int n = 0; n < pictures; ++n, ++i) {
    if (i >= cam.starts.size()) i = 0;
    if (n > 0 && cam.types[i] == 1) break;  // the next group begins
    std::vector<uint8_t> es;
    if (n == 0 && i != 0) {
      // Stream headers from the clip's start, then this intra picture.
      const size_t headers_end = [&] {
        for (size_t b = 0; b + 3 < cam.es.size(); ++b)
          if (cam.es[b] == 0 && cam.es[b + 1] == 0 && cam.es[b + 2] == 1 && cam.es[b + 3] == 0xB6) return b;
        return size_t{0};
      }();
      es.assign(cam.es.begin(), cam.es.begin() + static_cast<long>(headers_end));
      size_t vop = cam.starts[i];
      for (size_t b = cam.starts[i]; b + 3 < cam.starts[i] + cam.sizes[i]; ++b)
        if (cam.es[b] == 0 && cam.es[b + 1] == 0 && cam.es[b + 2] == 1 && cam.es[b + 3] == 0xB6) {
          vop = b;
          break;
        }
      es.insert(es.end(), cam.es.begin() + static_cast<long>(vop),
                cam.es.begin() + static_cast<long>(cam.starts[i] + cam.sizes[i]));
    } else {
      es.assign(cam.es.begin() + static_cast<long>(cam.starts[i]),
                cam.es.begin() + static_cast<long>(cam.starts[i] + cam.sizes[i]));
    }
    PacketSpec spec;
    spec.channel = camera;
    spec.pts = cam.pts;
    cam.pts += static_cast<uint64_t>(90000.0 / config_.frame_rate + 0.5);
    std::vector<uint8_t> packet = recorder_packet(spec, es.data(), es.size());
    packet.resize((packet.size() + 31) / 32 * 32, 0);  // sizes count in 32-byte units
    uint8_t sub[6] = {0, 0, 0, 0, 0, 0};
    put_le16(sub + 2, static_cast<uint16_t>(packet.size() / 32));
    frame.insert(frame.end(), sub, sub + 6);
    frame.insert(frame.end(), packet.begin(), packet.end());
  }
  cam.next_gop = i >= cam.starts.size() ? 0 : i;
  // A picture frame carries the recorder's clock, one field a byte: year -
  // 2000, month, day, hour, minute, second (the viewer shows it as the
  // recorder's time).
  const time_t clock = std::time(nullptr) + static_cast<time_t>(recorder_.clock_offset_s());
  tm t{};
  localtime_r(&clock, &t);
  put_le16(&frame[0], static_cast<uint16_t>(camera << 12));
  put_le32(&frame[4], static_cast<uint32_t>(frame.size() - 28));
  frame[8] = static_cast<uint8_t>(t.tm_year + 1900 - 2000);
  frame[9] = static_cast<uint8_t>(t.tm_mon + 1);
  frame[10] = static_cast<uint8_t>(t.tm_mday);
  frame[11] = static_cast<uint8_t>(t.tm_hour);
  frame[12] = static_cast<uint8_t>(t.tm_min);
  frame[13] = static_cast<uint8_t>(t.tm_sec);
  frame[15] = static_cast<uint8_t>(kind);
  const uint16_t status = config_.status_word ? config_.status_word : recorder_.config().enabled_cameras;
  put_le16(&frame[16], status);
  frame[22] = 0;
  frame[23] = static_cast<uint8_t>(camera + 1);  // camera-control status values
  frame[24] = static_cast<uint8_t>(0x10 + camera);
  frame[25] = static_cast<uint8_t>(0x20 + camera);
  return frame;
}

std::vector<uint8_t> LiveStream::audio_frame(int kind, uint32_t block) {
  std::vector<uint8_t> frame;
  const int blocks = std::clamp(config_.audio_channels, 1, 4);
  const auto now = std::chrono::system_clock::now().time_since_epoch();
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(now).count();
  for (int c = 0; c < blocks; ++c) {
    AdpcmState start;
    std::vector<uint8_t> codes;
    encode_block(c, block, start, codes);
    std::vector<uint8_t> payload(kAudioPacketBytes - kPacketHeaderBytes, 0);
    PacketSpec spec;
    spec.video = false;
    spec.channel = c;
    spec.pts = static_cast<uint64_t>(block) * kAudioSamples * 90000 / kSampleRate;
    std::vector<uint8_t> packet = recorder_packet(spec, payload.data(), payload.size());
    // Both ADPCM states: bytes 56-58 and 60-62; the codes from byte 64.
    for (int at : {56, 60}) {
      put_le16(&packet[static_cast<size_t>(at)], static_cast<uint16_t>(start.predictor));
      packet[static_cast<size_t>(at + 2)] = static_cast<uint8_t>(start.index);
    }
    std::copy(codes.begin(), codes.end(), packet.begin() + 64);
    uint8_t header[28] = {};
    put_le16(header, static_cast<uint16_t>(c));
    put_le32(header + 4, static_cast<uint32_t>(packet.size()));
    put_le32(header + 8, static_cast<uint32_t>(ms / 1000));
    put_le16(header + 12, static_cast<uint16_t>(ms % 1000));
    header[15] = static_cast<uint8_t>(kind);
    header[23] = static_cast<uint8_t>(block);
    if (c == 0) header[24] = static_cast<uint8_t>(blocks);
    frame.insert(frame.end(), header, header + 28);
    frame.insert(frame.end(), 44, 0);  // body prefix, not read by the PC
    frame.insert(frame.end(), packet.begin(), packet.end());
    frame.insert(frame.end(), packet.size() & 3, 0);
  }
  return frame;
}

void LiveStream::send_frame(int sock, uint32_t dest, uint16_t port, uint8_t slot, uint8_t number,
                            const std::vector<uint8_t>& frame, uint16_t packet_size) {
  const size_t stride = packet_size > 8 ? packet_size - 8u : 1392u;
  const size_t count = (frame.size() + stride - 1) / stride;
  if (count == 0 || count > 255) return;  // cannot be described by the fragment header
  std::vector<std::vector<uint8_t>> datagrams;
  for (size_t i = 0; i < count; ++i) {
    const size_t off = i * stride, len = std::min(stride, frame.size() - off);
    std::vector<uint8_t> d(8 + len);
    d[0] = number;
    d[1] = static_cast<uint8_t>(i);
    d[2] = static_cast<uint8_t>(count);
    d[3] = slot;
    put_le16(&d[4], static_cast<uint16_t>(stride));
    std::memcpy(&d[8], &frame[off], len);
    datagrams.push_back(std::move(d));
  }
  LiveFaults faults;
  {
    std::lock_guard<std::mutex> g(mutex_);
    faults = faults_;
    if (faults.duplicate_header) datagrams.assign(datagrams.size(), datagrams[0]);
    if (faults.overlap)
      for (auto& d : datagrams) put_le16(&d[4], static_cast<uint16_t>(stride / 2));
    for (int n = 0; n < faults.flood; ++n) {
      std::vector<uint8_t> d(8 + stride);
      for (uint8_t& b : d) b = static_cast<uint8_t>(rng_());
      d[2] = static_cast<uint8_t>(1 + d[2] % 4);
      d[1] = static_cast<uint8_t>(d[1] % d[2]);
      d[3] = slot;
      datagrams.push_back(std::move(d));
    }
    std::uniform_int_distribution<int> pct(0, 99);
    std::vector<std::vector<uint8_t>> out;
    for (size_t i = 0; i < datagrams.size(); ++i) {
      if (faults.reorder_percent && i + 1 < datagrams.size() && pct(rng_) < faults.reorder_percent)
        std::swap(datagrams[i], datagrams[i + 1]);
      if (faults.loss_percent && pct(rng_) < faults.loss_percent) continue;
      out.push_back(datagrams[i]);
      if (faults.duplicate_percent && pct(rng_) < faults.duplicate_percent) out.push_back(datagrams[i]);
    }
    datagrams.swap(out);
  }
  sockaddr_in to{};
  to.sin_family = AF_INET;
  to.sin_addr.s_addr = dest;
  to.sin_port = htons(port);
  // A recorder's network interface spreads a frame over some time; a short
  // pause between datagrams does the same on loopback.
  for (const auto& d : datagrams) {
    if (::sendto(sock, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) > 0) datagrams_.fetch_add(1);
    std::this_thread::sleep_for(std::chrono::microseconds(200));
  }
}

void LiveStream::start(uint32_t destination_net, uint16_t base_port) {
  stop();
  stop_.store(false);
  running_.store(true);
  for (auto& f : frames_sent_) f.store(0);
  datagrams_.store(0);
  thread_ = std::thread([this, destination_net, base_port] { run(destination_net, base_port); });
}

void LiveStream::stop() {
  stop_.store(true);
  if (thread_.joinable()) thread_.join();
  running_.store(false);
}

void LiveStream::run(uint32_t dest, uint16_t base_port) {
  // The datagrams leave from the recorder's own address, as the receiver's
  // sender filter expects; the wrong-sender fault uses another address.
  uint32_t own = 0;
  inet_pton(AF_INET, recorder_.config().address.c_str(), &own);
  int sock = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  int bad = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (sock < 0 || bad < 0) {
    if (sock >= 0) ::close(sock);
    if (bad >= 0) ::close(bad);
    running_.store(false);
    return;
  }
  sockaddr_in local{};
  local.sin_family = AF_INET;
  local.sin_addr.s_addr = own;
  ::bind(sock, reinterpret_cast<sockaddr*>(&local), sizeof local);
  local.sin_addr.s_addr = own ^ htonl(0x00000001u) ? own ^ htonl(0x00000001u) : htonl(0x7F000002u);
  ::bind(bad, reinterpret_cast<sockaddr*>(&local), sizeof local);
  int big = 4 << 20;
  ::setsockopt(sock, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  unsigned char loop = 1, ttl = 1;
  ::setsockopt(sock, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);
  ::setsockopt(sock, IPPROTO_IP, IP_MULTICAST_TTL, &ttl, sizeof ttl);
  ::setsockopt(bad, IPPROTO_IP, IP_MULTICAST_LOOP, &loop, sizeof loop);

  using clock = std::chrono::steady_clock;
  const auto gop_period = std::chrono::duration<double>(config_.gop_pictures / config_.frame_rate);
  const auto audio_period = std::chrono::duration<double>(static_cast<double>(kAudioSamples) / kSampleRate);
  const auto begin = clock::now();
  // Each camera's frame is due once per group period, the cameras spread
  // evenly over the period as a recorder's encoders are.
  std::vector<uint64_t> gops(static_cast<size_t>(config_.cameras), 0);
  uint64_t audio_blocks = 0;
  while (!stop_.load()) {
    const auto now = clock::now();
    const uint16_t packet_size =
        static_cast<uint16_t>(std::clamp<uint32_t>(recorder_.switch_item("cam", 189), 0, 65000));
    const bool wrong = [&] {
      std::lock_guard<std::mutex> g(mutex_);
      return faults_.wrong_sender;
    }();
    const int s = wrong ? bad : sock;
    for (int k = 0; k < config_.cameras; ++k) {
      const double phase = static_cast<double>(k) / config_.cameras;
      if (now - begin < (static_cast<double>(gops[static_cast<size_t>(k)]) + phase) * gop_period) continue;
      ++gops[static_cast<size_t>(k)];
      if (!((recorder_.config().enabled_cameras >> k) & 1)) continue;
      for (int kind = 0; kind < (config_.second_kind ? 2 : 1); ++kind) {
        const std::vector<uint8_t> frame = picture_frame(k, kind);
        if (frame.empty()) continue;
        send_frame(s, dest, static_cast<uint16_t>(base_port + kind), 0, frame_number_[kind][0]++, frame, packet_size);
        frames_sent_[kind].fetch_add(1);
      }
    }
    if (config_.audio_channels > 0 && now - begin >= audio_blocks * audio_period) {
      for (int kind = 2; kind < (config_.second_kind ? 4 : 3); ++kind) {
        const std::vector<uint8_t> frame = audio_frame(kind, audio_block_);
        send_frame(s, dest, static_cast<uint16_t>(base_port + kind - 2), 1, frame_number_[kind - 2][1]++, frame,
                   packet_size);
        frames_sent_[kind].fetch_add(1);
      }
      ++audio_block_;
      ++audio_blocks;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ::close(sock);
  ::close(bad);
}

}  // namespace zebsim
