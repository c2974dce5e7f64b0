// Sends hand-made live datagrams from a loopback address of its own to the
// receive threads, so the reassembly rules can be driven one datagram at a
// time.
#pragma once
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "brinlib.h"
#include "brinlib_internal.h"
#include "testing.h"

namespace live_test {

inline void put16(std::vector<uint8_t>& v, size_t at, uint16_t x) {
  v[at] = static_cast<uint8_t>(x);
  v[at + 1] = static_cast<uint8_t>(x >> 8);
}
inline void put32(std::vector<uint8_t>& v, size_t at, uint32_t x) {
  for (int i = 0; i < 4; ++i) v[at + static_cast<size_t>(i)] = static_cast<uint8_t>(x >> (8 * i));
}

// A picture frame of a channel and kind with `subframes` sub-frames of
// `sub_bytes` bytes each (multiples of 32), filled with a marker byte.
inline std::vector<uint8_t> picture_frame(int channel, int kind, int subframes = 1, size_t sub_bytes = 64,
                                          uint32_t time = 1000, uint8_t marker = 0x5A) {
  std::vector<uint8_t> f(128, 0);
  for (int i = 0; i < subframes; ++i) {
    std::vector<uint8_t> sub(6 + sub_bytes, marker);
    sub[0] = sub[1] = sub[4] = sub[5] = 0;
    sub[2] = static_cast<uint8_t>(sub_bytes / 32);
    sub[3] = static_cast<uint8_t>((sub_bytes / 32) >> 8);
    f.insert(f.end(), sub.begin(), sub.end());
  }
  put16(f, 0, static_cast<uint16_t>(channel << 12));
  put32(f, 4, static_cast<uint32_t>(f.size() - 28));
  put32(f, 8, time);
  put16(f, 12, 77);
  f[15] = static_cast<uint8_t>(kind);
  put16(f, 16, 0x1234);
  f[22] = 0x03;
  f[23] = 11;
  f[24] = 22;
  f[25] = 33;
  return f;
}

struct Datagram {
  std::vector<uint8_t> bytes;
};

// Cuts a frame into datagrams of stride bytes of data.
inline std::vector<Datagram> fragments(const std::vector<uint8_t>& frame, uint8_t number, size_t stride,
                                       uint8_t slot = 0) {
  std::vector<Datagram> out;
  const size_t count = (frame.size() + stride - 1) / stride;
  for (size_t i = 0; i < count; ++i) {
    const size_t off = i * stride, len = std::min(stride, frame.size() - off);
    Datagram d;
    d.bytes.assign(8 + len, 0);
    d.bytes[0] = number;
    d.bytes[1] = static_cast<uint8_t>(i);
    d.bytes[2] = static_cast<uint8_t>(count);
    d.bytes[3] = slot;
    put16(d.bytes, 4, static_cast<uint16_t>(stride));
    std::memcpy(&d.bytes[8], &frame[off], len);
    out.push_back(std::move(d));
  }
  return out;
}

class Sender {
 public:
  explicit Sender(const std::string& address) : address_(address) {
    fd_ = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  }
  ~Sender() { ::close(fd_); }
  void send(const Datagram& d, uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(port);
    ::sendto(fd_, d.bytes.data(), d.bytes.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
  }
  void send_all(const std::vector<Datagram>& ds, uint16_t port) {
    for (const auto& d : ds) send(d, port);
  }
  // The four parts of the sender's address, for brin_udp_rx_start.
  void parts(int p[4]) const { std::sscanf(address_.c_str(), "%d.%d.%d.%d", &p[0], &p[1], &p[2], &p[3]); }

 private:
  std::string address_;
  int fd_;
};

// Polls a channel once; true when the poll took a waiting frame, whether or
// not a picture came of it (the poll's result says only the latter).
inline bool takes_now(int channel, int kind = 0) {
  auto& taken = brin::live::state().frames_taken[kind == 0 ? 0 : 1][channel];
  const uint64_t before = taken.load();
  brin_udp_rx(channel, kind);
  return taken.load() > before;
}

// Polls a channel until it takes a waiting frame, or the limit passes.
inline bool poll_takes(int channel, int kind = 0, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
  return velmora::testing::wait_until([&] { return takes_now(channel, kind); }, limit);
}

// A base port of its own per test process.
inline uint16_t test_port() { return static_cast<uint16_t>(20000 + (::getpid() % 2000) * 4); }

}  // namespace live_test
