// Playback benchmarks, each against a reference measured in the same run:
//  1. the throughput of hdd_copy_usb copying a 10-minute span, against plain
//     sequential reads of the same GOP chunks from the image and plain writes
//     of their frames to one file (synced to the device, as the copy is);
//  2. the time from search_play and hdd_play_start to the first picture of
//     that time from make_bmp, against reading that GOP and decoding its
//     first picture directly in the caller's thread.
//
// usage: bench_playback [WORK_FOLDER [CLIPS_FOLDER]]   (defaults: $TMPDIR, $VELMORA_CLIPS_DIR)
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <string>
#include <vector>

#include "brinlib.h"
#include "brinlib_internal.h"
#include "velmora/clock.h"
#include "zebdisk/disk_image.h"

namespace {

using Clock = std::chrono::steady_clock;
using zebdisk::RecTime;

double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

const RecTime kStart{24, 5, 1, 10, 0, 0};

bool write_image(const std::string& path, const std::string& clips, zebdisk::Manifest* m) {
  zebdisk::DiskSpec s;
  s.cylinders = 3200;
  s.cameras = 1;
  s.clips = {clips + "/cam0_704x480.m4v"};
  s.audio = clips + "/tone_440.alaw";
  s.pictures_per_gop = 15;
  s.audio_per_gop = 25;
  s.gop_ms = 1000;
  s.gops_per_record = 30;
  zebdisk::RunSpec run;
  run.start = kStart;
  run.end = RecTime{24, 5, 1, 10, 10, 59};
  s.runs.push_back(run);
  std::string error;
  if (!zebdisk::write_disk(s, path, m, &error)) {
    std::fprintf(stderr, "bench_playback: %s\n", error.c_str());
    return false;
  }
  return true;
}

// The reference copy: each GOP's chunk read with one plain read, its frames
// written with one plain write, the file synced at the end.
double plain_copy_seconds(const std::string& image, const std::vector<const zebdisk::GopInfo*>& gops,
                          const std::string& out) {
  const int in = ::open(image.c_str(), O_RDONLY);
  const int fd = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (in < 0 || fd < 0) return -1;
  std::vector<uint8_t> buffer(zebdisk::kMaxChunkBytes);
  const auto t0 = Clock::now();
  for (const zebdisk::GopInfo* g : gops) {
    const uint64_t sector_bytes = (g->size + 511) / 512 * 512;
    if (::pread(in, buffer.data(), sector_bytes, static_cast<off_t>(uint64_t{g->sector} * 512)) !=
        static_cast<ssize_t>(sector_bytes))
      return -1;
    const size_t n = g->frame_bytes.size();
    if (::write(fd, buffer.data() + zebdisk::kChunkHeaderBytes, n) != static_cast<ssize_t>(n)) return -1;
  }
  ::fsync(fd);
  const double s = seconds_since(t0);
  ::close(fd);
  ::close(in);
  return s;
}

int bench_copy(const std::string& image, const zebdisk::Manifest& m, const std::string& folder) {
  const RecTime end{24, 5, 1, 10, 10, 0};
  std::vector<const zebdisk::GopInfo*> gops;
  uint64_t bytes = 0;
  for (const zebdisk::RecordInfo& r : m.records)
    for (const zebdisk::GopInfo& g : r.gops)
      if (vp::compare_rec_time(g.time, end) <= 0) {
        gops.push_back(&g);
        bytes += g.frame_bytes.size();
      }
  const std::string dest = folder + "/bench-copy";
  std::filesystem::create_directories(dest);
  const std::string plain_out = folder + "/bench-plain.dat";
  // Warm-up: both measurements read from the page cache.
  plain_copy_seconds(image, gops, plain_out);
  const int rounds = 3;
  double copy_s = 0, plain_s = 0;
  int failed = 0;
  for (int i = 0; i < rounds; ++i) {
    first_section_play();
    // A copy never goes over an earlier one: each round has its own folder.
    const std::string round_dest = dest + "/" + std::to_string(i);
    std::filesystem::create_directories(round_dest);
    const auto t0 = Clock::now();
    if (hdd_copy_usb(round_dest.c_str(), vp::rec_seconds(kStart), vp::rec_seconds(end)) != 0) return 1;
    int32_t status = 0;
    do {
      vp::sleep_ms(1);
      hdd_copy_usb_get_sts(&status);
    } while (status <= 100);
    copy_s += seconds_since(t0);
    if (status != 200 || std::filesystem::file_size(round_dest + "/ZEB.dat") != bytes) ++failed;
    plain_s += plain_copy_seconds(image, gops, plain_out);
  }
  std::filesystem::remove_all(dest);
  std::filesystem::remove(plain_out);
  const double mb = static_cast<double>(bytes) / 1e6;
  std::printf("copy of a 10-minute span: %zu GOPs, %.1f MB of frames%s\n", gops.size(), mb,
              failed ? " (A COPY FAILED)" : "");
  std::printf("  hdd_copy_usb: %.0f MB/s (%.2f s a copy)\n", mb * rounds / copy_s, copy_s / rounds);
  std::printf("  reference, plain reads of the chunks and plain writes of the frames: %.0f MB/s (%.2f s)\n",
              mb * rounds / plain_s, plain_s / rounds);
  std::printf("  ratio copy / plain read and write (throughput): %.2f\n", plain_s / copy_s);
  return failed ? 1 : 0;
}

// Plays from time t until make_bmp shows a picture of that time; the
// seconds it took, or a negative value when none came within 10 s.
double time_to_picture(uint32_t t) {
  const auto t0 = Clock::now();
  search_play(t);
  hdd_play_start();
  while (seconds_since(t0) < 10) {
    int32_t layout = 0, a = 0, b = 0, idle = 0;
    uint32_t time = 0;
    make_bmp(&layout, &a, &b, &time, &idle);
    if (idle == 0 && time == t) return seconds_since(t0);
    vp::sleep_ms(1);
  }
  return -1;
}

// The same picture read and decoded directly in this thread, and written as
// the same file.
double direct_picture(uint32_t t, std::vector<uint8_t>& buffer) {
  const auto t0 = Clock::now();
  search_play(t);
  int32_t len = 0;
  if (read_data(buffer.data(), &len) != 0 || len < 48) return -1;
  int channel = 0;
  const uint32_t payload = buffer[16] | (buffer[17] << 8) | (buffer[18] << 16) | (uint32_t{buffer[19]} << 24);
  std::vector<uint8_t> rgb;
  int w = 0, h = 0;
  if (payload > static_cast<uint32_t>(len) - 48 ||
      brin::decode::decode_packet(buffer.data() + 48, payload, &channel) != 1 ||
      !brin::decode::copy_picture(channel, &rgb, &w, &h))
    return -1;
  brin::bmp::write_bmp("direct.bmp", rgb.data() + static_cast<size_t>(w) * 3 * (h / 2), w, h / 2,
                       static_cast<size_t>(w) * 3);
  return seconds_since(t0);
}

int bench_first_picture(const std::string& folder) {
  setenv("TZ", "UTC0", 1);
  tzset();
  const std::string pictures = folder + "/bench-pictures";
  std::filesystem::create_directories(pictures);
  if (chdir(pictures.c_str()) != 0) return 1;
  if (Ovo_play_open(0, "", "", 0) != 0 || hdd_read_start() != 0) return 1;
  decode_init();
  std::vector<uint8_t> buffer(brin::disk::kFrameBufferBytes);
  const int searches = 20;
  double idle_s = 0, switch_s = 0, direct_s = 0;
  int missed = 0;
  for (int i = 0; i < searches; ++i) {
    const uint32_t t = vp::rec_seconds(zebdisk::add_seconds(kStart, 17 + i * 13));
    // From a stopped engine: the GOP handed over before has played out (the
    // viewer waits a second after stopping before it searches).
    hdd_play_stop();
    vp::sleep_ms(2000);
    const double from_idle = time_to_picture(t);
    // Straight from playing: the worker first finishes handing over the GOP
    // it is in, which the channel takes at its playing pace.
    vp::sleep_ms(300);
    hdd_play_stop();
    const double from_play = time_to_picture(t + 200);
    hdd_play_stop();
    const double direct = direct_picture(t, buffer);
    if (from_idle < 0 || from_play < 0 || direct < 0) {
      ++missed;
      continue;
    }
    idle_s += from_idle;
    switch_s += from_play;
    direct_s += direct;
  }
  hdd_read_stop();
  play_end();
  decode_deinit();
  std::filesystem::remove_all(pictures);
  const int n = searches - missed;
  if (n == 0) return 1;
  std::printf("first picture after a time search: %d searches%s\n", searches, missed ? " (SOME MISSED)" : "");
  std::printf("  search_play + hdd_play_start to make_bmp's picture of that time, playback stopped before: %.1f ms\n",
              idle_s / n * 1e3);
  std::printf("  the same straight from playing: %.1f ms\n", switch_s / n * 1e3);
  std::printf("  reference, search_play + reading the GOP + decoding and writing its first picture: %.1f ms\n",
              direct_s / n * 1e3);
  std::printf("  ratio playback path / direct decode (stopped before): %.2f\n", idle_s / direct_s);
  std::printf("  ratio playback path / direct decode (from playing): %.2f\n", switch_s / direct_s);
  return missed ? 1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* tmp = std::getenv("TMPDIR");
  const std::string folder = std::filesystem::absolute(argc > 1 ? argv[1] : (tmp ? tmp : "/tmp")).string();
  const char* clips_env = std::getenv("VELMORA_CLIPS_DIR");
  const std::string clips = argc > 2 ? argv[2] : (clips_env ? clips_env : "clips");
  setenv("VELMORA_AUDIO", "none", 1);
  const std::string image = folder + "/bench-playback.img";
  zebdisk::Manifest m;
  std::printf("writing a disk with an 11-minute recording ...\n");
  if (!write_image(image, clips, &m)) return 1;
  setenv("VELMORA_DRIVE0", image.c_str(), 1);
  if (hdd_open(0) != 0) return 1;
  const int a = bench_copy(image, m, folder);
  const int b = bench_first_picture(folder);
  hdd_close();
  std::filesystem::remove(image);
  return a || b;
}
