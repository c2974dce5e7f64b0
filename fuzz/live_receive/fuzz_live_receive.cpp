// Arbitrary datagrams through the live stream as the recorder's network
// delivers them: sent over loopback to the two stream receive threads, which
// reassemble them concurrently, then every channel polled. The input is a
// sequence of datagrams, each preceded by its length (two bytes,
// little-endian) and the receive thread it goes to (one byte, low bit).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <thread>

#include "brinlib.h"
#include "brinlib_internal.h"

namespace {

// The largest payload of a UDP datagram over IPv4.
constexpr size_t kMaxDatagram = 65507;

struct Stream {
  int sender = -1;
  uint16_t port = 0;
  uint64_t sent[2] = {};
};

// Opens the live reception once per process: both receive threads running
// and accepting the sender's loopback address, decoding and audio set up.
Stream& stream() {
  static Stream s = [] {
    Stream st;
    setenv("VELMORA_AUDIO", "none", 1);
    decode_init();
    st.port = static_cast<uint16_t>(30000 + (getpid() % 1000) * 2);
    brin_udp_connect("127.0.0.1", st.port, 0);
    brin_udp_rx_start(127, 0, 0, 1);
    brin::live::state().audio_switch.store(1);
    wave_play_ctrl(1);
    st.sender = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in from{};
    from.sin_family = AF_INET;
    from.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(st.sender, reinterpret_cast<sockaddr*>(&from), sizeof from);
    // The receive threads read what the sender writes as fast as it can.
    int big = 8 << 20;
    ::setsockopt(st.sender, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
    // The receive threads are stopped before the library's state is torn
    // down at exit, which would otherwise free buffers they still write.
    std::atexit([] { brin_udp_close(); });
    return st;
  }();
  return s;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  Stream& s = stream();
  auto& st = brin::live::state();
  size_t at = 0;
  while (at + 3 <= size) {
    const size_t len = std::min<size_t>(static_cast<size_t>(data[at] | data[at + 1] << 8), kMaxDatagram);
    const int thread = data[at + 2] & 1;
    at += 3;
    if (len > size - at) break;
    // The channel shown alone follows the input too.
    if (len > 0) st.selected.store(data[at] % 17);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    to.sin_port = htons(static_cast<uint16_t>(s.port + thread));
    if (::sendto(s.sender, data + at, len, 0, reinterpret_cast<sockaddr*>(&to), sizeof to) == static_cast<ssize_t>(len))
      ++s.sent[thread];
    at += len;
  }
  // Wait, bounded, until both threads have read what was sent to them (each
  // datagram is counted once it is read), polling the channels meanwhile as
  // the viewer's timer does.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(2);
  for (;;) {
    for (int k = 0; k < 16; ++k) {
      brin_udp_rx(k, 0);
      brin_udp_rx(k, 1);
    }
    if (st.datagrams_read[0].load() >= s.sent[0] && st.datagrams_read[1].load() >= s.sent[1]) break;
    if (std::chrono::steady_clock::now() > end) {
      // A datagram the kernel dropped is never read: count from here on.
      for (int t = 0; t < 2; ++t) s.sent[t] = st.datagrams_read[t].load();
      break;
    }
    std::this_thread::sleep_for(std::chrono::microseconds(100));
  }
  return 0;
}
