// Live view of sixteen cameras as the viewer shows them: a simulated
// recorder (in a child process, so that its work is not counted) sends 16
// cameras of 704 x 480 video at 30 pictures per second, one picture per live
// frame, over loopback. This process does what the viewer does with each
// camera, in two ways measured one after the other in the same run:
//
//   ticked  the fixed tick of the "High" rate (every 50 ms): each camera's
//           newest picture is written as its picture file into the current
//           folder, a folder on the disk, and read back into an image;
//   every   the every-picture rate: the cameras are polled every 5 ms and
//           each new picture is taken from the library in memory and
//           turned into the image a cell draws.
//
// Printed per way: pictures shown per second per camera (lowest, mean),
// frames lost (sent by the recorder and never shown), CPU time of the whole
// process (all threads: reception, decoding, conversion) as a share of one
// core, and bytes written to persistent storage per second (write_bytes of
// /proc/self/io).
//
// usage: bench_live_display [seconds per way] [clips folder]
#include <arpa/inet.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QByteArray>
#include <QFile>
#include <QImage>
#include <algorithm>
#include <array>
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
#include "live_picture.h"
#include "zebsim/live.h"

namespace {

constexpr int kCameras = 16;
constexpr uint16_t kPort = 41200;

uint64_t write_bytes() {
  std::ifstream io("/proc/self/io");
  std::string key;
  uint64_t value = 0;
  while (io >> key >> value)
    if (key == "write_bytes:") return value;
  return 0;
}

double cpu_seconds() {
  rusage u{};
  getrusage(RUSAGE_SELF, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// The recorder: waits for a byte on `go`, sends for `seconds`, then writes
// the number of picture frames it sent to `report` and ends.
[[noreturn]] void run_recorder(const std::string& clips, double seconds, int go, int report) {
  char byte = 0;
  if (::read(go, &byte, 1) != 1) _exit(1);
  zebsim::Config config;
  config.address = "127.0.0.78";
  config.enabled_cameras = 0xFFFF;
  config.first_connection = config.last_connection = 0;
  zebsim::Recorder sim(config);
  zebsim::LiveConfig lc;
  lc.clips_dir = clips;
  lc.cameras = kCameras;
  lc.gop_pictures = 1;
  lc.frame_rate = 30.0;
  lc.audio_channels = 2;
  zebsim::LiveStream live(sim, lc);
  if (!sim.start()) _exit(1);
  sim.set_switch_item("cam", 189, 64000);
  live.start(htonl(0x7F000001), kPort);
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  live.stop();
  const uint64_t sent = live.frames_sent(0);
  if (::write(report, &sent, sizeof sent) != sizeof sent) _exit(1);
  _exit(0);
}

struct Result {
  double seconds = 0;
  uint64_t sent = 0, completed = 0, taken = 0, shown = 0;
  std::array<uint64_t, kCameras> per_camera{};
  double cpu = 0;
  uint64_t written = 0;
};

// One way, measured over `seconds` after a warm-up of one second.
Result measure(bool every, const std::string& clips, double seconds) {
  int go[2], report[2];
  if (::pipe(go) != 0 || ::pipe(report) != 0) std::exit(1);
  const double warmup = 1.0;
  const pid_t child = ::fork();
  if (child == 0) run_recorder(clips, warmup + seconds + 0.5, go[0], report[1]);

  auto& st = brin::live::state();
  brin_udp_connect("127.0.0.1", kPort, 0);
  brin_udp_rx_start(127, 0, 0, 78);
  std::vector<uint8_t> rgb(1920 * 1080 * 3);
  Result r;
  char byte = 1;
  if (::write(go[1], &byte, 1) != 1) std::exit(1);

  using clock = std::chrono::steady_clock;
  const auto begin = clock::now();
  const auto start = begin + std::chrono::duration<double>(warmup);
  const auto end = start + std::chrono::duration<double>(seconds);
  bool counting = false;
  double cpu0 = 0;
  uint64_t written0 = 0, completed0 = 0, taken0 = 0;
  auto frames_taken = [&] {
    uint64_t n = 0;
    for (int k = 0; k < kCameras; ++k) n += st.frames_taken[0][k].load();
    return n;
  };
  uint64_t checksum = 0;  // keeps the images from being optimised away
  const auto period = std::chrono::milliseconds(every ? 5 : 50);
  auto next = begin;
  while (clock::now() < end) {
    if (!counting && clock::now() >= start) {
      counting = true;
      cpu0 = cpu_seconds();
      written0 = write_bytes();
      completed0 = st.frames_completed[0].load();
      taken0 = frames_taken();
    }
    for (int k = 0; k < kCameras; ++k) {
      bool shown = false;
      if (every) {
        int32_t w = 0, h = 0;
        if (brin_udp_rx_picture(k, 0, rgb.data(), static_cast<int32_t>(rgb.size()), &w, &h) == 1) {
          const QImage image = velmora::viewer::image_from_bottom_up_bgr(rgb.data(), w, h);
          checksum += image.pixel(w / 2, h / 2);
          shown = true;
        }
      } else if (brin_udp_rx(k, 0) == 1) {
        char name[32];
        std::snprintf(name, sizeof name, "img/serv0%02d.jpg", k);
        QFile f(QString::fromLatin1(name));
        if (f.open(QIODevice::ReadOnly)) {
          QImage image;
          image.loadFromData(f.readAll(), "BMP");
          if (!image.isNull()) {
            checksum += image.pixel(image.width() / 2, image.height() / 2);
            shown = true;
          }
        }
      }
      if (shown && counting) {
        ++r.per_camera[static_cast<size_t>(k)];
        ++r.shown;
      }
    }
    next += period;
    std::this_thread::sleep_until(next);
    if (clock::now() > next + period) next = clock::now();
  }
  r.seconds = seconds;
  r.cpu = cpu_seconds() - cpu0;
  r.written = write_bytes() - written0;
  r.completed = st.frames_completed[0].load() - completed0;
  r.taken = frames_taken() - taken0;
  uint64_t sent = 0;
  if (::read(report[0], &sent, sizeof sent) != sizeof sent) sent = 0;
  int status = 0;
  ::waitpid(child, &status, 0);
  brin_udp_close();
  // The recorder's count covers its warm-up as well: the frames sent while
  // counting are those sent at its rate over the counted time.
  r.sent = static_cast<uint64_t>(static_cast<double>(sent) * seconds / (warmup + seconds + 0.5));
  for (int fd : {go[0], go[1], report[0], report[1]}) ::close(fd);
  if (checksum == 1) std::printf(" ");
  return r;
}

void print(const char* name, const Result& r) {
  const auto [low, high] = std::minmax_element(r.per_camera.begin(), r.per_camera.end());
  (void)high;
  const double mean = static_cast<double>(r.shown) / kCameras / r.seconds;
  const double sent_per_camera = static_cast<double>(r.sent) / kCameras / r.seconds;
  const long long lost = static_cast<long long>(r.sent) - static_cast<long long>(r.shown);
  std::printf("%-8s pictures shown per camera per second: lowest %.1f, mean %.1f (sent %.1f)\n", name,
              static_cast<double>(*low) / r.seconds, mean, sent_per_camera);
  std::printf("         frames lost: %lld of %llu sent (%llu completed by the receiver, %llu taken by polls)\n",
              std::max(0LL, lost), static_cast<unsigned long long>(r.sent),
              static_cast<unsigned long long>(r.completed), static_cast<unsigned long long>(r.taken));
  std::printf("         CPU of the whole process: %.2f s in %.1f s = %.0f %% of one core\n", r.cpu, r.seconds,
              100.0 * r.cpu / r.seconds);
  std::printf("         written to persistent storage: %.1f MB/s\n", static_cast<double>(r.written) / 1e6 / r.seconds);
}

}  // namespace

int main(int argc, char** argv) {
  const double seconds = argc > 1 ? std::atof(argv[1]) : 20;
  const char* clips_env = std::getenv("VELMORA_CLIPS_DIR");
  const std::string fallback = argc > 2 ? argv[2] : clips_env ? clips_env : "build/clips";
  // The ticked way writes its picture files into the current folder: a
  // folder on the disk, as the program folder was.
  std::string work = "bench-live-display-XXXXXX";
  if (!::mkdtemp(work.data()) || ::chdir(work.c_str()) != 0) return 1;
  ::mkdir("img", 0755);
  const std::string clips = make_camera_clips(".", "4M", fallback);
  setenv("VELMORA_AUDIO", "none", 1);
  decode_init();

  std::printf("live view, 16 cameras 704x480 at 30 pictures/s, one picture per frame, %.0f s per way\n", seconds);
  const Result ticked = measure(false, clips, seconds);
  const Result every = measure(true, clips, seconds);
  print("ticked", ticked);
  print("every", every);
  decode_deinit();
  std::system("rm -rf img cam*_704x480.m4v");
  ::chdir("..");
  ::rmdir(work.c_str());
  return 0;
}
