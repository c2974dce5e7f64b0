// A hostile sender of live datagrams: it sends from the recorder's own
// address (a LAN does not authenticate UDP sources), so the receiver's
// sender filter lets everything through, and it builds frames that are too
// large, change size, come in duplicate, overlapping or foreign fragments,
// or are no frames at all.
#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "forged_stream.h"
#include "testing.h"
#include "zebsim/packets.h"

namespace hostile {

using Datagram = std::vector<uint8_t>;

// The recorder's fragment size (a 1400-byte packet less its 8-byte header).
inline constexpr size_t kStride = 1392;

// A picture frame of one camera around recorder packets: the 128-byte frame
// header (camera in the top bits of the first field, length less 28,
// picture kind 0, the enabled-camera mask), then each packet padded to 32
// bytes behind its 6-byte sub-frame header.
inline std::vector<uint8_t> picture_frame(int camera, const std::vector<std::vector<uint8_t>>& packets,
                                          uint16_t status = 0x000F) {
  std::vector<uint8_t> frame(128, 0);
  for (std::vector<uint8_t> p : packets) {
    p.resize((p.size() + 31) / 32 * 32, 0);
    const uint16_t units = static_cast<uint16_t>(p.size() / 32);
    const uint8_t sub[6] = {0, 0, static_cast<uint8_t>(units), static_cast<uint8_t>(units >> 8), 0, 0};
    frame.insert(frame.end(), sub, sub + 6);
    frame.insert(frame.end(), p.begin(), p.end());
  }
  const uint16_t id = static_cast<uint16_t>(camera << 12);
  frame[0] = static_cast<uint8_t>(id);
  frame[1] = static_cast<uint8_t>(id >> 8);
  const uint32_t length = static_cast<uint32_t>(frame.size() - 28);
  for (int i = 0; i < 4; ++i) frame[4 + static_cast<size_t>(i)] = static_cast<uint8_t>(length >> (8 * i));
  frame[16] = static_cast<uint8_t>(status);
  frame[17] = static_cast<uint8_t>(status >> 8);
  return frame;
}

// A frame of one camera whose stream header declares width x height.
inline std::vector<uint8_t> forged_frame(int camera, int width, int height) {
  return picture_frame(camera, {forged::packet(camera, width, height)});
}

// A genuine frame of a camera: the first n pictures of a clip (the first one
// carries the stream headers), as a recorder groups them.
inline std::vector<uint8_t> clip_frame(int camera, const std::string& clip, size_t n) {
  const std::vector<uint8_t> es = zebsim::read_binary_file(clip);
  const std::vector<zebsim::EsPicture> pictures = zebsim::split_pictures(es);
  std::vector<std::vector<uint8_t>> packets;
  for (size_t i = 0; i < n && i < pictures.size(); ++i) {
    zebsim::PacketSpec spec;
    spec.channel = camera;
    spec.pts = 3000 * (i + 1);
    packets.push_back(zebsim::recorder_packet(spec, es.data() + pictures[i].offset, pictures[i].size));
  }
  return picture_frame(camera, packets);
}

// The fragments of a frame: frame number, index, count, slot 0 (pictures),
// the stride field, then up to `stride` bytes. `data_bytes` larger than the
// stride makes each fragment overlap the next one's place.
inline std::vector<Datagram> fragments(uint8_t number, const std::vector<uint8_t>& frame, size_t stride = kStride,
                                       size_t data_bytes = kStride) {
  std::vector<Datagram> out;
  const size_t count = (frame.size() + data_bytes - 1) / data_bytes;
  for (size_t i = 0; i < count && i < 255; ++i) {
    const size_t at = i * data_bytes, len = std::min(data_bytes, frame.size() - at);
    Datagram d(8 + len, 0);
    d[0] = number;
    d[1] = static_cast<uint8_t>(i);
    d[2] = static_cast<uint8_t>(count);
    d[4] = static_cast<uint8_t>(stride);
    d[5] = static_cast<uint8_t>(stride >> 8);
    std::copy(frame.begin() + static_cast<long>(at), frame.begin() + static_cast<long>(at + len), d.begin() + 8);
    out.push_back(std::move(d));
  }
  return out;
}

inline void append(std::vector<Datagram>& to, const std::vector<Datagram>& more) {
  to.insert(to.end(), more.begin(), more.end());
}

// Sends rounds of datagrams on a thread of its own, one round each time the
// caller reports a new clock tick of the window, so that every round meets a
// poll.
class Peer {
 public:
  Peer(const std::string& from, uint16_t port) : port_(port) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    ::inet_pton(AF_INET, from.c_str(), &sa.sin_addr);
    bound_ = fd_ >= 0 && ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
  }
  ~Peer() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    if (fd_ >= 0) ::close(fd_);
  }
  bool bound() const { return bound_; }

  void start(std::vector<std::vector<Datagram>> rounds) {
    thread_ = std::thread([this, rounds = std::move(rounds)] {
      long seen = ticks_.load();
      for (const auto& round : rounds) {
        // Until the window's next tick; bounded, as the window may have gone.
        for (int i = 0; i < 20000 && !stop_.load() && ticks_.load() == seen; ++i)
          std::this_thread::sleep_for(std::chrono::microseconds(500));
        if (stop_.load()) break;
        seen = ticks_.load();
        for (const Datagram& d : round) send(d);
        rounds_.fetch_add(1);
      }
      done_.store(true);
    });
  }
  void tick() { ticks_.fetch_add(1); }
  bool done() const { return done_.load(); }
  long rounds_sent() const { return rounds_.load(); }
  long datagrams_sent() const { return sent_.load(); }

 private:
  void send(const Datagram& d) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port_);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::sendto(fd_, d.data(), d.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to) >= 0) sent_.fetch_add(1);
  }

  int fd_ = -1;
  bool bound_ = false;
  uint16_t port_;
  std::thread thread_;
  std::atomic<bool> stop_{false}, done_{false};
  std::atomic<long> ticks_{0}, rounds_{0}, sent_{0};
};

// Resident memory of this process (VmRSS of /proc/self/status), in bytes.
inline size_t resident_bytes() {
  const std::string status = velmora::testing::read_file("/proc/self/status");
  const size_t at = status.find("VmRSS:");
  return at == std::string::npos ? 0 : std::stoul(status.substr(at + 6)) * 1024;
}

}  // namespace hostile
