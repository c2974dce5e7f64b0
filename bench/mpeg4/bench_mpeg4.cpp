// bench_mpeg4 [WORK_DIR] [FRAMES]
//
// Decoding speed of the MPEG-4 decoder core against ffmpeg with one thread
// ("ffmpeg -threads 1 -i IN -f null -"), measured in the same run on the
// same streams: 704 x 480 made with ffmpeg's mpeg4 encoder at 1, 4 and 8
// Mbit/s, I/P only and with two B-frames. Each side is timed five times, in
// turns, and its best run kept. Both sides count processor time (ours: this
// process's CPU clock over the decode; ffmpeg: user plus system time of its
// -benchmark report), not wall time: on a machine shared with other work,
// wall time measures the neighbours. Prints frames per second of both and
// their ratio (ours / ffmpeg's).
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "mpeg4/decoder.h"
#include "zebsim/packets.h"

namespace {

// Decodes the whole stream; returns the pictures shown.
int decode_all(const std::vector<uint8_t>& es) {
  mpeg4::Decoder dec;
  size_t pos = 0;
  int frames = 0;
  while (pos < es.size()) {
    mpeg4::Picture pic;
    size_t used = 0;
    if (dec.decode(es.data() + pos, es.size() - pos, &used, &pic) == mpeg4::kOk) ++frames;
    if (!used) break;
    pos += used;
  }
  mpeg4::Picture pic;
  if (dec.flush(&pic) == mpeg4::kOk) ++frames;
  return frames;
}

double cpu_seconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + ts.tv_nsec * 1e-9;
}

constexpr int kRuns = 5;

double ours_once(const std::vector<uint8_t>& es, int* frames) {
  const double t0 = cpu_seconds();
  *frames = decode_all(es);
  return cpu_seconds() - t0;
}

// ffmpeg's processor time for one decode, from "bench: utime=U stime=S";
// -1 when it fails.
double ffmpeg_once(const std::string& path) {
  const std::string cmd = "ffmpeg -nostdin -hide_banner -benchmark -threads 1 -i '" + path + "' -f null - 2>&1";
  FILE* p = popen(cmd.c_str(), "r");
  if (!p) return -1;
  char line[512];
  double rtime = -1;
  while (std::fgets(line, sizeof line, p)) {
    const char* u = std::strstr(line, "utime=");
    const char* st = std::strstr(line, "stime=");
    if (std::strncmp(line, "bench:", 6) == 0 && u && st) rtime = std::atof(u + 6) + std::atof(st + 6);
  }
  if (pclose(p) != 0 || rtime <= 0) return -1;
  return rtime;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string dir = argc > 1 ? argv[1] : "/tmp/velmora-bench";
  const int frames_wanted = argc > 2 ? std::atoi(argv[2]) : 300;
  mkdir(dir.c_str(), 0755);
  struct Stream {
    const char* name;
    const char* options;
  } streams[] = {
      {"ip_1M", "-g 15 -bf 0 -b:v 1M"}, {"ip_4M", "-g 15 -bf 0 -b:v 4M"}, {"ip_8M", "-g 15 -bf 0 -b:v 8M"},
      {"b_1M", "-g 15 -bf 2 -b:v 1M"},  {"b_4M", "-g 15 -bf 2 -b:v 4M"},  {"b_8M", "-g 15 -bf 2 -b:v 8M"},
  };
  std::printf("%-8s %8s %12s %12s %8s\n", "stream", "frames", "ours fps", "ffmpeg fps", "ratio");
  double ip_min = 1e9;
  for (const Stream& s : streams) {
    const std::string path = dir + "/" + s.name + "_" + std::to_string(frames_wanted) + ".m4v";
    if (zebsim::read_binary_file(path).empty()) {
      const std::string cmd =
          "ffmpeg -nostdin -loglevel error -y -f lavfi -i testsrc2=size=704x480:rate=30 -frames:v " +
          std::to_string(frames_wanted) + " -pix_fmt yuv420p -c:v mpeg4 " + s.options + " -f m4v '" + path + "'";
      if (std::system(cmd.c_str()) != 0) {
        std::fprintf(stderr, "bench_mpeg4: ffmpeg could not make %s\n", path.c_str());
        return 1;
      }
    }
    const auto es = zebsim::read_binary_file(path);
    // The two sides take turns, so that both meet the same load from other
    // work; each keeps its best run.
    int frames = 0;
    double ours = 1e9, theirs = 1e9;
    for (int i = 0; i < kRuns; ++i) {
      ours = std::min(ours, ours_once(es, &frames));
      const double t = ffmpeg_once(path);
      if (t <= 0) {
        std::fprintf(stderr, "bench_mpeg4: ffmpeg could not decode %s\n", path.c_str());
        return 1;
      }
      theirs = std::min(theirs, t);
    }
    const double ours_fps = frames / ours, theirs_fps = frames / theirs;
    const double ratio = ours_fps / theirs_fps;
    if (s.name[0] == 'i') ip_min = std::min(ip_min, ratio);
    std::printf("%-8s %8d %12.1f %12.1f %8.2f\n", s.name, frames, ours_fps, theirs_fps, ratio);
  }
  std::printf("lowest ratio on the I/P streams: %.2f (aim: 1.0 or more on every row)\n", ip_min);
  return 0;
}
