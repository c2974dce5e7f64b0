// Live view under load: a simulated recorder sends sixteen cameras of
// 704 x 480 video at 30 pictures per second for a while; the receiver polls
// every channel like the viewer's timer. Printed: frames completed against
// frames sent, datagrams per second, CPU time of the receive threads, and the
// delay from a frame's completion (its last datagram) to its picture file.
//
// usage: bench_live [seconds] [clips folder]
#include <arpa/inet.h>
#include <dirent.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_clips.h"
#include "brinlib.h"
#include "brinlib_internal.h"
#include "velmora/clock.h"
#include "zebsim/live.h"

namespace {

// CPU seconds of this process's threads whose name starts with prefix.
double thread_cpu_seconds(const std::string& prefix) {
  double total = 0;
  DIR* d = opendir("/proc/self/task");
  if (!d) return 0;
  const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
  while (dirent* e = readdir(d)) {
    if (e->d_name[0] == '.') continue;
    const std::string base = std::string("/proc/self/task/") + e->d_name;
    std::ifstream comm(base + "/comm");
    std::string name;
    std::getline(comm, name);
    if (name.rfind(prefix, 0) != 0) continue;
    std::ifstream stat(base + "/stat");
    std::string line;
    std::getline(stat, line);
    const size_t close = line.rfind(')');
    if (close == std::string::npos) continue;
    std::vector<std::string> f;
    size_t at = close + 2;
    while (at < line.size()) {
      size_t sp = line.find(' ', at);
      if (sp == std::string::npos) sp = line.size();
      f.push_back(line.substr(at, sp - at));
      at = sp + 1;
    }
    if (f.size() > 12) total += (std::atof(f[11].c_str()) + std::atof(f[12].c_str())) / ticks;
  }
  closedir(d);
  return total;
}

}  // namespace

int main(int argc, char** argv) {
  const int seconds = argc > 1 ? std::atoi(argv[1]) : 30;
  const char* clips_env = std::getenv("VELMORA_CLIPS_DIR");
  const std::string clips = argc > 2 ? argv[2] : clips_env ? clips_env : "build/clips";
  char tmpl[] = "/tmp/velmora-bench-live-XXXXXX";
  if (!mkdtemp(tmpl) || chdir(tmpl) != 0) return 1;
  // Four cameras' clips at 4 Mbit/s made with ffmpeg when it is there (the
  // sixteen cameras use them in turn); otherwise the given clips.
  const std::string clips_dir = make_camera_clips(tmpl, "4M", clips);
  setenv("VELMORA_AUDIO", "none", 1);

  zebsim::Config config;
  config.address = "127.0.0.77";
  config.enabled_cameras = 0xFFFF;
  config.first_connection = config.last_connection = 0;
  zebsim::Recorder sim(config);
  zebsim::LiveConfig lc;
  lc.clips_dir = clips_dir;
  lc.cameras = 16;
  lc.audio_channels = 2;
  zebsim::LiveStream live(sim, lc);
  if (!sim.start()) {
    std::fprintf(stderr, "bench_live: %s\n", sim.error().c_str());
    return 1;
  }
  sim.set_switch_item("cam", 189, 64000);
  const uint16_t port = 41000;
  decode_init();
  brin_udp_connect("127.0.0.1", port, 0);
  brin_udp_rx_start(127, 0, 0, 77);
  auto& st = brin::live::state();
  st.audio_switch.store(1);
  wave_play_ctrl(1);
  uint32_t loopback = htonl(0x7F000001);
  live.start(loopback, port);

  std::vector<double> delays;
  uint64_t pictures = 0;
  const auto begin = std::chrono::steady_clock::now();
  const auto end = begin + std::chrono::seconds(seconds);
  // The viewer's timer shows four cameras every 50 ms; here every camera is
  // polled every 5 ms so that the delay measures the library, not the timer.
  while (std::chrono::steady_clock::now() < end) {
    for (int k = 0; k < 16; ++k) {
      if (brin_udp_rx(k, 0) == 1) {
        ++pictures;
        delays.push_back(static_cast<double>(vp::tick_count_ms() - st.completed_ms[0][k].load()));
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  live.stop();
  const double cpu = thread_cpu_seconds("brin-udp-rx");
  const uint64_t sent = live.frames_sent(0), done = st.frames_completed[0].load();
  const uint64_t datagrams = st.datagrams_read[0].load() + st.datagrams_read[1].load();
  brin_udp_close();
  wave_play_ctrl(0);
  decode_deinit();
  std::sort(delays.begin(), delays.end());
  auto pct = [&](double p) { return delays.empty() ? 0.0 : delays[static_cast<size_t>(p * (delays.size() - 1))]; };
  std::printf("live stream, 16 cameras 704x480 at 30 pictures/s (clips in %s), %.1f s\n", clips_dir.c_str(), elapsed);
  std::printf("  frames completed / sent: %llu / %llu = %.4f\n", static_cast<unsigned long long>(done),
              static_cast<unsigned long long>(sent),
              sent ? static_cast<double>(done) / static_cast<double>(sent) : 0.0);
  std::printf("  datagrams per second:    %.0f (sent %llu)\n", static_cast<double>(datagrams) / elapsed,
              static_cast<unsigned long long>(live.datagrams_sent()));
  std::printf("  receive threads CPU:     %.2f s (%.1f %% of one core)\n", cpu, 100.0 * cpu / elapsed);
  std::printf("  pictures written:        %llu\n", static_cast<unsigned long long>(pictures));
  std::printf("  frame complete -> picture file delay: median %.0f ms, 95th %.0f ms, max %.0f ms\n", pct(0.5),
              pct(0.95), pct(1.0));
  return 0;
}
