// Live view of sixteen cameras as the viewer shows them: a simulated
// recorder (in a child process, so that its work is not counted) sends 16
// cameras of 704 x 480 video at 30 pictures per second, one picture per live
// frame, over loopback. This process does what the viewer does with each
// camera, in two ways measured one after the other in the same run:
//
//   ticked  the fixed tick of the "High" rate (every 50 ms): each camera's
//           newest picture is written as its picture file into the current
//           folder, a folder on the disk, and read back into an image;
//   every   the every-picture rate: the cameras are polled every 5 ms,
//           side by side on the viewer's threads of polls, and each new
//           picture is taken from the library in memory and turned into
//           the image a cell draws.
//
// Printed per way: pictures shown per second per camera (lowest, mean),
// the frames the recorder sent while counting and those of them never shown,
// split by where they were lost (never completed by the receiver: datagrams
// lost, with the datagrams the kernel dropped at the socket; completed but
// replaced by a newer frame of their camera before a poll took them; taken
// by a poll but giving no picture), CPU time of the whole process (all
// threads: reception, decoding, conversion) as a share of one core, bytes
// written to persistent storage per second (write_bytes of /proc/self/io),
// and the simulated recorder's own CPU time, which on a machine of few
// cores competes with the polls.
//
// The counting is exact: the recorder reports the frames it had sent when
// counting starts, at a moment between two frames, and this process starts
// counting once the receiver has read every datagram sent up to then. At
// the end the recorder stops sending and reports its total, and this process
// goes on polling until every frame sent has been read and taken.
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
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bench_clips.h"
#include "brinlib.h"
#include "brinlib_internal.h"
#include "live_picture.h"
#include "poll_round.h"
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

double cpu_seconds(int who = RUSAGE_SELF) {
  rusage u{};
  getrusage(who, &u);
  return static_cast<double>(u.ru_utime.tv_sec + u.ru_stime.tv_sec) +
         static_cast<double>(u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

// CPU time of the children that have ended and been waited for.
double children_cpu_seconds() { return cpu_seconds(RUSAGE_CHILDREN); }

// The recorder's counts: picture frames and datagrams sent since it began.
struct Sent {
  uint64_t frames = 0, datagrams = 0;
  uint64_t between_frames = 0;  // 1: taken at a moment between two frames
};

// The counts at a moment between two frames: unchanged over a millisecond,
// longer than the pause between two datagrams of a frame and shorter than
// the pause between two frames. Waited for awake: a sleep may last far
// longer on a busy machine.
Sent sent_between_frames(const zebsim::LiveStream& live) {
  Sent now{live.frames_sent(0), live.datagrams_sent(), 0};
  for (int attempt = 0; attempt < 200 && !now.between_frames; ++attempt) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(1);
    while (std::chrono::steady_clock::now() < until) {
    }
    const Sent later{live.frames_sent(0), live.datagrams_sent(), 0};
    now.between_frames = later.frames == now.frames && later.datagrams == now.datagrams;
    now.frames = later.frames;
    now.datagrams = later.datagrams;
  }
  return now;
}

// The recorder: on 'g' it starts sending; on 'c' it reports its counts at a
// moment between two frames; on 'e' it stops sending, reports its counts and
// ends.
[[noreturn]] void run_recorder(const std::string& clips, int commands, int report) {
  char command = 0;
  if (::read(commands, &command, 1) != 1 || command != 'g') _exit(1);
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
  while (::read(commands, &command, 1) == 1) {
    Sent sent;
    if (command == 'c') {
      sent = sent_between_frames(live);
    } else if (command == 'e') {
      live.stop();
      sent = {live.frames_sent(0), live.datagrams_sent()};
    }
    if (::write(report, &sent, sizeof sent) != sizeof sent || command == 'e') break;
  }
  live.stop();
  _exit(0);
}

// Datagrams the kernel dropped at the stream's socket (its receive buffer
// was full), from /proc/net/udp.
uint64_t socket_drops() {
  std::ifstream udp("/proc/net/udp");
  std::string line;
  char port[8];
  std::snprintf(port, sizeof port, ":%04X", kPort);
  while (std::getline(udp, line)) {
    std::istringstream fields(line);
    std::string slot, local, field;
    if (!(fields >> slot >> local) || local.size() < 5 || local.compare(local.size() - 5, 5, port) != 0) continue;
    uint64_t drops = 0;
    while (fields >> field) drops = std::strtoull(field.c_str(), nullptr, 10);  // the last field
    return drops;
  }
  return 0;
}

// Frames sent, and where those not shown were lost.
struct Losses {
  uint64_t sent = 0, completed = 0, replaced = 0, taken = 0, shown = 0, dropped = 0;
};

struct Result {
  double seconds = 0;
  Losses counted;                 // the frames sent while counting
  uint64_t waiting_at_start = 0;  // completed before counting, taken while counting
  // The same over the whole run, from the recorder's first frame to its
  // last: exact whatever the machine does, warm-up included.
  Losses whole;
  bool exact_start = false;
  // The longest time between the starts of two rounds of polls while
  // counting, and the rounds that came more than a frame period (1/30 s)
  // after the one before: a frame may be replaced only then.
  double longest_gap_ms = 0;
  uint64_t late_rounds = 0;
  std::array<uint64_t, kCameras> per_camera{};
  double cpu = 0;
  // The simulated recorder's own CPU time over its whole run (not counted
  // in cpu): on a machine of few cores it competes with the viewer's work.
  double recorder_cpu = 0, recorder_seconds = 0;
  uint64_t written = 0;
};

// One way, measured over `seconds` after a warm-up of one second.
Result measure(bool every, const std::string& clips, double seconds) {
  int commands[2], report[2];
  if (::pipe(commands) != 0 || ::pipe(report) != 0) std::exit(1);
  const double children_before = children_cpu_seconds();
  const auto forked = std::chrono::steady_clock::now();
  const pid_t child = ::fork();
  if (child == 0) run_recorder(clips, commands[0], report[1]);
  auto ask = [&](char command) {
    Sent sent;
    if (::write(commands[1], &command, 1) != 1 || ::read(report[0], &sent, sizeof sent) != sizeof sent) std::exit(1);
    return sent;
  };

  auto& st = brin::live::state();
  brin_udp_connect("127.0.0.1", kPort, 0);
  brin_udp_rx_start(127, 0, 0, 78);
  // Every datagram on the stream's port comes from the recorder.
  const uint64_t read_before = st.datagrams_read[0].load();
  auto received = [&] { return st.datagrams_read[0].load() - read_before + socket_drops(); };
  velmora::viewer::PollRound round_of_polls;
  std::vector<std::vector<uint8_t>> rgb_of_thread(static_cast<size_t>(round_of_polls.threads()),
                                                  std::vector<uint8_t>(1920 * 1080 * 3));
  Result r;
  const uint64_t first_completed = st.frames_completed[0].load(), first_replaced = st.frames_replaced[0].load();
  if (::write(commands[1], "g", 1) != 1) std::exit(1);
  auto frames_taken = [&] {
    uint64_t n = 0;
    for (int k = 0; k < kCameras; ++k) n += st.frames_taken[0][k].load();
    return n;
  };
  const uint64_t taken_first = frames_taken();
  uint64_t checksum = 0;                    // keeps the images from being optimised away
  std::array<uint64_t, kCameras> centre{};  // the same, per camera
  std::array<uint64_t, kCameras> shown{};
  bool counting = false;
  auto last_round = std::chrono::steady_clock::now();
  auto poll_all = [&] {
    const auto round = std::chrono::steady_clock::now();
    const double gap_ms = std::chrono::duration<double, std::milli>(round - last_round).count();
    last_round = round;
    if (counting) {
      r.longest_gap_ms = std::max(r.longest_gap_ms, gap_ms);
      if (gap_ms > 1000.0 / 30) ++r.late_rounds;
    }
    if (every) {
      // Side by side, as the viewer polls its shown cameras.
      round_of_polls.run(kCameras, [&](int k, int thread) {
        std::vector<uint8_t>& rgb = rgb_of_thread[static_cast<size_t>(thread)];
        int32_t w = 0, h = 0;
        if (brin_udp_rx_picture(k, 0, rgb.data(), static_cast<int32_t>(rgb.size()), &w, &h) == 1) {
          const QImage image = velmora::viewer::image_from_bottom_up_bgr(rgb.data(), w, h);
          centre[static_cast<size_t>(k)] += image.pixel(w / 2, h / 2);
          ++shown[static_cast<size_t>(k)];
        }
      });
      return;
    }
    for (int k = 0; k < kCameras; ++k) {
      bool ok = false;
      if (brin_udp_rx(k, 0) == 1) {
        char name[32];
        std::snprintf(name, sizeof name, "img/serv0%02d.jpg", k);
        QFile f(QString::fromLatin1(name));
        if (f.open(QIODevice::ReadOnly)) {
          QImage image;
          image.loadFromData(f.readAll(), "BMP");
          if (!image.isNull()) {
            checksum += image.pixel(image.width() / 2, image.height() / 2);
            ok = true;
          }
        }
      }
      if (ok) ++shown[static_cast<size_t>(k)];
    }
  };

  using clock = std::chrono::steady_clock;
  const auto period = std::chrono::milliseconds(every ? 5 : 50);
  auto poll_until = [&](clock::time_point end, auto&& done) {
    auto next = clock::now();
    while (clock::now() < end && !done()) {
      poll_all();
      next += period;
      std::this_thread::sleep_until(next);
      if (clock::now() > next + period) next = clock::now();
    }
  };
  poll_until(clock::now() + std::chrono::seconds(1), [] { return false; });  // warm-up

  // Counting starts once every datagram the recorder had sent at a moment
  // between two frames has been read (or dropped by the kernel), and before
  // any later one is: the read and completed counts are the same before
  // and after the snapshot. Otherwise the recorder is asked again.
  auto completions = [&] {
    return st.frames_completed[0].load() + st.frames_completed[2].load() + st.frames_salvaged[0].load();
  };
  auto spin = [](std::chrono::microseconds span) {
    const auto until = clock::now() + span;
    while (clock::now() < until) {
    }
  };
  uint64_t sent0 = 0, completed0 = 0, replaced0 = 0, taken0 = 0, dropped0 = 0;
  std::array<uint64_t, kCameras> shown0{};
  for (int attempt = 0; attempt < 20 && !r.exact_start; ++attempt) {
    const Sent at = ask('c');
    const auto limit = clock::now() + std::chrono::milliseconds(200);
    while (received() < at.datagrams && clock::now() < limit) std::this_thread::yield();
    const uint64_t before = received();
    // The last datagram read is being handled still; it takes microseconds.
    // Waited for awake: a sleep may last far longer on a busy machine.
    spin(std::chrono::microseconds(300));
    const uint64_t settled = completions();
    sent0 = at.frames;
    completed0 = st.frames_completed[0].load();
    replaced0 = st.frames_replaced[0].load();
    dropped0 = socket_drops();
    taken0 = frames_taken();
    shown0 = shown;
    r.waiting_at_start = 0;
    for (int k = 0; k < kCameras; ++k)
      if (st.channels[0][k].ready.load() == brin::live::kWaiting) ++r.waiting_at_start;
    // Nothing read, completed or kept around the snapshot: it held still.
    spin(std::chrono::microseconds(300));
    r.exact_start = at.between_frames && before == at.datagrams && received() == before && completions() == settled;
  }
  const double cpu0 = cpu_seconds();
  const uint64_t written0 = write_bytes();
  const auto start = clock::now();
  counting = true;
  poll_until(start + std::chrono::duration_cast<clock::duration>(std::chrono::duration<double>(seconds)),
             [] { return false; });
  r.seconds = std::chrono::duration<double>(clock::now() - start).count();
  r.cpu = cpu_seconds() - cpu0;
  r.written = write_bytes() - written0;
  counting = false;

  // The recorder stops; everything it sent is read, completed and taken.
  const Sent at_end = ask('e');
  poll_until(clock::now() + std::chrono::seconds(2), [&] { return received() >= at_end.datagrams; });
  poll_until(clock::now() + std::chrono::milliseconds(100), [] { return false; });
  r.counted.sent = at_end.frames - sent0;
  r.counted.completed = st.frames_completed[0].load() - completed0;
  r.counted.replaced = st.frames_replaced[0].load() - replaced0;
  r.counted.dropped = socket_drops() - dropped0;
  r.counted.taken = frames_taken() - taken0;
  r.whole.sent = at_end.frames;
  r.whole.completed = st.frames_completed[0].load() - first_completed;
  r.whole.replaced = st.frames_replaced[0].load() - first_replaced;
  r.whole.dropped = socket_drops();
  r.whole.taken = frames_taken() - taken_first;
  for (size_t k = 0; k < shown.size(); ++k) {
    r.whole.shown += shown[k];
    r.per_camera[k] = shown[k] - shown0[k];
    r.counted.shown += r.per_camera[k];
  }
  int status = 0;
  ::waitpid(child, &status, 0);
  r.recorder_cpu = children_cpu_seconds() - children_before;
  r.recorder_seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - forked).count();
  brin_udp_close();
  for (int fd : {commands[0], commands[1], report[0], report[1]}) ::close(fd);
  for (uint64_t c : centre) checksum += c;
  if (checksum == 1) std::printf(" ");
  return r;
}

void print(const char* name, const Result& r) {
  const Losses& c = r.counted;
  const auto low = *std::min_element(r.per_camera.begin(), r.per_camera.end());
  const double mean = static_cast<double>(c.shown) / kCameras / r.seconds;
  const double sent_per_camera = static_cast<double>(c.sent) / kCameras / r.seconds;
  auto diff = [](uint64_t a, uint64_t b) { return static_cast<long long>(a) - static_cast<long long>(b); };
  // Of the frames sent while counting: those never completed, those
  // replaced, those taken without a picture. The frames waiting when
  // counting began were taken while counting but sent before it.
  const long long lost = diff(c.sent + r.waiting_at_start, c.shown);
  const long long incomplete = diff(c.sent, c.completed);
  const long long not_shown = diff(c.taken, c.shown);
  std::printf("%-8s pictures shown per camera per second: lowest %.1f, mean %.1f (sent %.1f)\n", name,
              static_cast<double>(low) / r.seconds, mean, sent_per_camera);
  std::printf("         frames lost: %lld of %llu sent%s\n", lost, static_cast<unsigned long long>(c.sent),
              r.exact_start ? "" : " (the start of counting is not exact)");
  std::printf("           never completed by the receiver: %lld (datagrams dropped at the socket: %llu)\n", incomplete,
              static_cast<unsigned long long>(c.dropped));
  std::printf(
      "           completed, replaced before a poll took them: %llu (rounds of polls later than 1/30 s: %llu, "
      "longest gap %.1f ms)\n",
      static_cast<unsigned long long>(c.replaced), static_cast<unsigned long long>(r.late_rounds), r.longest_gap_ms);
  std::printf("           taken by a poll, no picture shown: %lld\n", not_shown);
  if (incomplete + static_cast<long long>(c.replaced) + not_shown != lost)
    std::printf("           (the parts do not add up: %lld unaccounted)\n",
                lost - incomplete - static_cast<long long>(c.replaced) - not_shown);
  const Losses& w = r.whole;
  std::printf(
      "         whole run (warm-up, counting, end): %lld of %llu sent lost: %lld never completed "
      "(%llu datagrams dropped), %llu replaced, %lld taken without a picture\n",
      diff(w.sent, w.shown), static_cast<unsigned long long>(w.sent), diff(w.sent, w.completed),
      static_cast<unsigned long long>(w.dropped), static_cast<unsigned long long>(w.replaced), diff(w.taken, w.shown));
  std::printf("         CPU of the whole process: %.2f s in %.1f s = %.0f %% of one core\n", r.cpu, r.seconds,
              100.0 * r.cpu / r.seconds);
  std::printf("         written to persistent storage: %.1f MB/s\n", static_cast<double>(r.written) / 1e6 / r.seconds);
  std::printf("         (the simulated recorder beside it: %.0f %% of one core over its %.1f s)\n",
              100.0 * r.recorder_cpu / r.recorder_seconds, r.recorder_seconds);
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
