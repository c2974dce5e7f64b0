// Live view through a lossy network: a simulated recorder sends four cameras
// of 704 x 480 video at 3 Mbit/s; its datagrams pass a relay that drops a
// share of them at random (0, 1 and 5 %) before they reach the receiver,
// which is polled every 50 ms for the four cameras like the viewer's quad
// view. Printed per camera: pictures per second (a live frame, 15 pictures,
// gives one picture in the quad view, so at most 2 per second), and the
// frames that completed and those whose received prefix was shown.
//
// The relay runs on loopback inside this process: its datagrams leave from
// the recorder's address, so the receiver's sender filter accepts them.
//
// usage: bench_live_loss [seconds per loss level] [clips folder]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "bench_clips.h"
#include "brinlib.h"
#include "live/udp_state.h"
#include "zebsim/live.h"

namespace {

constexpr const char* kRecorderAddress = "127.0.0.77";
constexpr uint16_t kRelayPort = 42000;     // the recorder sends here
constexpr uint16_t kReceiverPort = 42010;  // the relay forwards here
constexpr int kCameras = 4;

int udp_socket(const char* address, uint16_t port) {
  const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  inet_pton(AF_INET, address, &sa.sin_addr);
  if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    if (s >= 0) ::close(s);
    return -1;
  }
  int big = 8 << 20;
  ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  return s;
}

// Forwards the datagrams of the relay's two ports to the receiver's two
// ports, dropping loss_percent of them at random.
class LossRelay {
 public:
  explicit LossRelay(double loss_percent) : loss_(loss_percent / 100.0) {
    in_[0] = udp_socket("127.0.0.1", kRelayPort);
    in_[1] = udp_socket("127.0.0.1", kRelayPort + 1);
    out_ = udp_socket(kRecorderAddress, 0);
    ok_ = in_[0] >= 0 && in_[1] >= 0 && out_ >= 0;
    if (ok_) thread_ = std::thread([this] { run(); });
  }
  ~LossRelay() {
    stop_.store(true);
    if (thread_.joinable()) thread_.join();
    for (int s : {in_[0], in_[1], out_})
      if (s >= 0) ::close(s);
  }
  bool ok() const { return ok_; }
  uint64_t forwarded() const { return forwarded_.load(); }
  uint64_t dropped() const { return dropped_.load(); }

 private:
  void run() {
    std::mt19937 rng(7);
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    std::vector<uint8_t> buf(65536);
    pollfd fds[2] = {{in_[0], POLLIN, 0}, {in_[1], POLLIN, 0}};
    while (!stop_.load()) {
      if (::poll(fds, 2, 10) <= 0) continue;
      for (int k = 0; k < 2; ++k) {
        if (!(fds[k].revents & POLLIN)) continue;
        const ssize_t n = ::recv(in_[k], buf.data(), buf.size(), 0);
        if (n < 0) continue;
        if (chance(rng) < loss_) {
          dropped_.fetch_add(1);
          continue;
        }
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        to.sin_port = htons(static_cast<uint16_t>(kReceiverPort + k));
        ::sendto(out_, buf.data(), static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        forwarded_.fetch_add(1);
      }
    }
  }

  double loss_;
  int in_[2] = {-1, -1};
  int out_ = -1;
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> forwarded_{0}, dropped_{0};
  std::thread thread_;
};

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
  const char* clips_env = std::getenv("VELMORA_CLIPS_DIR");
  const std::string clips = argc > 2 ? argv[2] : clips_env ? clips_env : "build/clips";
  char tmpl[] = "/tmp/velmora-bench-loss-XXXXXX";
  if (!mkdtemp(tmpl) || chdir(tmpl) != 0) return 1;
  const std::string clips_dir = make_camera_clips(tmpl, "3M", clips, 8);
  setenv("VELMORA_AUDIO", "none", 1);

  zebsim::Config config;
  config.address = kRecorderAddress;
  config.enabled_cameras = (1u << kCameras) - 1;
  config.first_connection = config.last_connection = 0;
  zebsim::Recorder sim(config);
  zebsim::LiveConfig lc;
  lc.clips_dir = clips_dir;
  lc.cameras = kCameras;
  lc.audio_channels = 0;  // pictures only, so that datagrams count per picture frame
  zebsim::LiveStream live(sim, lc);
  if (!sim.start()) {
    std::fprintf(stderr, "bench_live_loss: %s\n", sim.error().c_str());
    return 1;
  }
  // Datagrams of 1400 bytes, as on an Ethernet network.
  sim.set_switch_item("cam", 189, 1400);
  decode_init();
  auto& st = brin::live::state();
  std::printf("live view through a loss relay on loopback (one network namespace), %d cameras 704x480 at "
              "3 Mbit/s (clips in %s), quad view polled every 50 ms, %d s per loss level\n",
              kCameras, clips_dir.c_str(), seconds);
  for (const double loss : {0.0, 1.0, 5.0}) {
    LossRelay relay(loss);
    if (!relay.ok()) {
      std::fprintf(stderr, "bench_live_loss: the relay's sockets could not be bound\n");
      return 1;
    }
    brin_udp_connect("127.0.0.1", kReceiverPort, 0);
    brin_udp_rx_start(127, 0, 0, 77);
    st.audio_switch.store(1);
    const uint64_t completed0 = st.frames_completed[0].load(), salvaged0 = st.frames_salvaged[0].load();
    live.start(htonl(INADDR_LOOPBACK), kRelayPort);
    uint64_t pictures[kCameras] = {};
    const auto begin = std::chrono::steady_clock::now();
    const auto end = begin + std::chrono::seconds(seconds);
    auto tick = begin;
    while (std::chrono::steady_clock::now() < end) {
      brin_udp_rx_stop();
      for (int k = 0; k < kCameras; ++k)
        if (brin_udp_rx(k, 0) == 1) ++pictures[k];
      brin_udp_rx_start(127, 0, 0, 77);
      tick += std::chrono::milliseconds(50);
      std::this_thread::sleep_until(tick);
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    live.stop();
    const uint64_t sent = live.frames_sent(0);
    const uint64_t datagrams = live.datagrams_sent();
    const uint64_t completed = st.frames_completed[0].load() - completed0;
    const uint64_t salvaged = st.frames_salvaged[0].load() - salvaged0;
    brin_udp_close();
    std::printf("loss %.0f %% (relay dropped %llu of %llu datagrams, %.0f datagrams per frame):\n", loss,
                static_cast<unsigned long long>(relay.dropped()),
                static_cast<unsigned long long>(relay.dropped() + relay.forwarded()),
                sent ? static_cast<double>(datagrams) / static_cast<double>(sent) : 0.0);
    std::printf("  picture frames sent %llu, completed %llu, shown from their received prefix %llu\n",
                static_cast<unsigned long long>(sent), static_cast<unsigned long long>(completed),
                static_cast<unsigned long long>(salvaged));
    for (int k = 0; k < kCameras; ++k)
      std::printf("  camera %d: %.2f pictures/s\n", k, static_cast<double>(pictures[k]) / elapsed);
    // What a receiver that shows complete frames only would show.
    std::printf("  complete frames alone would give %.2f pictures/s per camera\n",
                static_cast<double>(completed) / kCameras / elapsed);
  }
  decode_deinit();
  return 0;
}
