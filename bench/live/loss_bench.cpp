// Live view through a lossy network: a simulated recorder sends four cameras
// of 704 x 480 video at 3 Mbit/s; its datagrams pass a relay that drops a
// share of them at random (0, 1 and 5 %) before they reach the receiver,
// which is polled every 50 ms for the four cameras like the viewer's quad
// view. Printed per camera: pictures per second (a live frame, 15 pictures,
// gives one picture in the quad view, so at most 2 per second), and the
// frames that completed and those whose received prefix was shown.
//
// The recorder and the relay run in a child process. Where network
// namespaces can be made (unshare), the child has a namespace of its own,
// joined to the receiver's by a virtual Ethernet pair, and the datagrams
// cross that link; elsewhere both sides share the loopback interface. The
// first line printed says which.
//
// usage: bench_live_loss [seconds per loss level] [clips folder]
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
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
#include "brinlib_internal.h"
#include "zebsim/live.h"

namespace {

constexpr uint16_t kRelayPort = 42000;     // the recorder sends here
constexpr uint16_t kReceiverPort = 42010;  // the relay forwards here
constexpr int kCameras = 4;
constexpr const char* kNamespaceEnv = "VELMORA_LOSS_BENCH_NETNS";

// Where the recorder's datagrams come from and go to.
struct Network {
  std::string recorder;  // the recorder's (and relay's) address
  std::string receiver;  // the address the relay forwards to
  bool namespaces = false;
};

int udp_socket(const std::string& address, uint16_t port) {
  const int s = ::socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_port = htons(port);
  inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
  if (s < 0 || ::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
    if (s >= 0) ::close(s);
    return -1;
  }
  int big = 8 << 20;
  ::setsockopt(s, SOL_SOCKET, SO_RCVBUF, &big, sizeof big);
  ::setsockopt(s, SOL_SOCKET, SO_SNDBUF, &big, sizeof big);
  return s;
}

// Forwards the datagrams of the relay's two loopback ports to the
// receiver's two ports, from the recorder's address, dropping loss_percent
// of them at random.
class LossRelay {
 public:
  LossRelay(const Network& net, double loss_percent) : loss_(loss_percent / 100.0) {
    in_[0] = udp_socket("127.0.0.1", kRelayPort);
    in_[1] = udp_socket("127.0.0.1", kRelayPort + 1);
    out_ = udp_socket(net.recorder, 0);
    inet_pton(AF_INET, net.receiver.c_str(), &to_);
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
        to.sin_addr = to_;
        to.sin_port = htons(static_cast<uint16_t>(kReceiverPort + k));
        ::sendto(out_, buf.data(), static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
        forwarded_.fetch_add(1);
      }
    }
  }

  double loss_;
  int in_[2] = {-1, -1};
  int out_ = -1;
  in_addr to_{};
  bool ok_ = false;
  std::atomic<bool> stop_{false};
  std::atomic<uint64_t> forwarded_{0}, dropped_{0};
  std::thread thread_;
};

// What the sending side reports after each loss level.
struct LevelReport {
  uint64_t frames_sent = 0, datagrams = 0, dropped = 0, forwarded = 0;
  int ok = 0;
};

// The sending side (child process): for each loss level byte read from
// `in`, the recorder sends through the relay for `seconds`, then reports.
int run_sender(const Network& net, const std::string& clips_dir, int seconds, int in, int out) {
  zebsim::Config config;
  config.address = net.recorder;
  config.enabled_cameras = (1u << kCameras) - 1;
  zebsim::Recorder sim(config);
  zebsim::LiveConfig lc;
  lc.clips_dir = clips_dir;
  lc.cameras = kCameras;
  lc.audio_channels = 0;  // pictures only, so that datagrams count per picture frame
  zebsim::LiveStream live(sim, lc);
  // Datagrams of 1400 bytes, as on an Ethernet network.
  sim.set_switch_item("cam", 189, 1400);
  uint8_t level;
  while (::read(in, &level, 1) == 1 && level != 0xFF) {
    LevelReport report;
    {
      LossRelay relay(net, level);
      report.ok = relay.ok();
      if (relay.ok()) {
        live.start(htonl(INADDR_LOOPBACK), kRelayPort);
        std::this_thread::sleep_for(std::chrono::seconds(seconds));
        live.stop();
      }
      report.frames_sent = live.frames_sent(0);
      report.datagrams = live.datagrams_sent();
      report.dropped = relay.dropped();
      report.forwarded = relay.forwarded();
    }
    if (::write(out, &report, sizeof report) != static_cast<ssize_t>(sizeof report)) return 1;
  }
  return 0;
}

// Joins the child's network namespace to this one by a virtual Ethernet
// pair; false when any step fails.
bool link_namespaces(pid_t child) {
  const std::string pid = std::to_string(child);
  const std::string cmds[] = {
      "ip link set lo up",
      "ip link add vlive0 type veth peer name vlive1 netns " + pid,
      "ip addr add 10.77.0.1/24 dev vlive0",
      "ip link set vlive0 up",
      "nsenter -t " + pid +
          " -n sh -c 'ip link set lo up && ip addr add 10.77.0.77/24 dev vlive1 && "
          "ip link set vlive1 up'",
  };
  for (const auto& cmd : cmds)
    if (std::system((cmd + " 2>/dev/null").c_str()) != 0) return false;
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  // Into a user and network namespace of our own first, where that works.
  if (!std::getenv(kNamespaceEnv) && std::system("unshare -rn true 2>/dev/null") == 0) {
    setenv(kNamespaceEnv, "1", 1);
    std::vector<char*> args = {const_cast<char*>("unshare"), const_cast<char*>("-rn")};
    for (int i = 0; i < argc; ++i) args.push_back(argv[i]);
    args.push_back(nullptr);
    execvp("unshare", args.data());
    unsetenv(kNamespaceEnv);  // the exec failed: loopback
  }
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 20;
  const char* clips_env = std::getenv("VELMORA_CLIPS_DIR");
  const std::string clips = argc > 2 ? argv[2] : clips_env ? clips_env : "build/clips";
  char tmpl[] = "/tmp/velmora-bench-loss-XXXXXX";
  if (!mkdtemp(tmpl) || chdir(tmpl) != 0) return 1;
  const std::string clips_dir = make_camera_clips(tmpl, "3M", clips, 8);
  setenv("VELMORA_AUDIO", "none", 1);

  // The sending side in a child process, started before any thread.
  int to_child[2], from_child[2], ready[2];
  if (::pipe(to_child) != 0 || ::pipe(from_child) != 0 || ::pipe(ready) != 0) return 1;
  const bool in_namespace = std::getenv(kNamespaceEnv) != nullptr;
  const pid_t child = ::fork();
  if (child < 0) return 1;
  if (child == 0) {
    // A namespace of its own for the sender, when this one is ours.
    const bool own = in_namespace && ::unshare(CLONE_NEWNET) == 0;
    const char state = own ? 'n' : 'l';
    if (::write(ready[1], &state, 1) != 1) _exit(1);
    char linked = 0;
    if (::read(to_child[0], &linked, 1) != 1) _exit(1);
    Network net{"127.0.0.77", "127.0.0.1", false};
    if (linked == 'n') net = {"10.77.0.77", "10.77.0.1", true};
    _exit(run_sender(net, clips_dir, seconds, to_child[0], from_child[1]));
  }
  char state = 0;
  if (::read(ready[0], &state, 1) != 1) return 1;
  Network net{"127.0.0.77", "127.0.0.1", false};
  if (state == 'n' && link_namespaces(child)) net = {"10.77.0.77", "10.77.0.1", true};
  if (!net.namespaces) std::system("ip link set lo up 2>/dev/null");
  const char linked = net.namespaces ? 'n' : 'l';
  if (::write(to_child[1], &linked, 1) != 1) return 1;

  decode_init();
  auto& st = brin::live::state();
  int filter[4];
  std::sscanf(net.recorder.c_str(), "%d.%d.%d.%d", &filter[0], &filter[1], &filter[2], &filter[3]);
  std::printf(
      "live view through a loss relay, %s; %d cameras 704x480 at 3 Mbit/s (clips in %s), quad view polled "
      "every 50 ms, %d s per loss level\n",
      net.namespaces ? "recorder and receiver in two network namespaces joined by a veth pair"
                     : "recorder and receiver on loopback (network namespaces not available)",
      kCameras, clips_dir.c_str(), seconds);
  for (const int loss : {0, 1, 5}) {
    brin_udp_connect("0.0.0.0", kReceiverPort, 0);
    brin_udp_rx_start(filter[0], filter[1], filter[2], filter[3]);
    const uint64_t completed0 = st.frames_completed[0].load(), salvaged0 = st.frames_salvaged[0].load();
    const uint8_t level = static_cast<uint8_t>(loss);
    if (::write(to_child[1], &level, 1) != 1) return 1;
    uint64_t pictures[kCameras] = {};
    const auto begin = std::chrono::steady_clock::now();
    auto tick = begin;
    pollfd done{from_child[0], POLLIN, 0};
    while (::poll(&done, 1, 0) == 0) {
      brin_udp_rx_stop();
      for (int k = 0; k < kCameras; ++k)
        if (brin_udp_rx(k, 0) == 1) ++pictures[k];
      brin_udp_rx_start(filter[0], filter[1], filter[2], filter[3]);
      tick += std::chrono::milliseconds(50);
      std::this_thread::sleep_until(tick);
    }
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    LevelReport r;
    if (::read(from_child[0], &r, sizeof r) != static_cast<ssize_t>(sizeof r) || !r.ok) {
      std::fprintf(stderr, "bench_live_loss: the relay could not be set up\n");
      return 1;
    }
    const uint64_t completed = st.frames_completed[0].load() - completed0;
    const uint64_t salvaged = st.frames_salvaged[0].load() - salvaged0;
    brin_udp_close();
    std::printf("loss %d %% (relay dropped %llu of %llu datagrams, %.0f datagrams per frame):\n", loss,
                static_cast<unsigned long long>(r.dropped), static_cast<unsigned long long>(r.dropped + r.forwarded),
                r.frames_sent ? static_cast<double>(r.datagrams) / static_cast<double>(r.frames_sent) : 0.0);
    std::printf("  picture frames sent %llu, completed %llu, shown from their received prefix %llu\n",
                static_cast<unsigned long long>(r.frames_sent), static_cast<unsigned long long>(completed),
                static_cast<unsigned long long>(salvaged));
    for (int k = 0; k < kCameras; ++k)
      std::printf("  camera %d: %.2f pictures/s\n", k, static_cast<double>(pictures[k]) / elapsed);
    // What a receiver that shows complete frames only would show.
    std::printf("  complete frames alone would give %.2f pictures/s per camera\n",
                static_cast<double>(completed) / kCameras / elapsed);
    std::fflush(stdout);
  }
  const uint8_t quit = 0xFF;
  if (::write(to_child[1], &quit, 1) != 1) return 1;
  int status = 0;
  ::waitpid(child, &status, 0);
  decode_deinit();
  return 0;
}
