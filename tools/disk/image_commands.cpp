// velmora-disk image and verify: acquisition of a whole disk with its
// record, and the check of an image against that record.
#include "image_commands.h"

#include <unistd.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "exporter/acquire.h"
#include "exporter/scan.h"

namespace {

std::atomic<bool> g_stop{false};

void on_stop_signal(int) { g_stop = true; }

// "[####    ]  42%  118.3 MB/s  1:05 left" on standard error, when it is a
// terminal, at most a few times a second.
class TransferBar {
 public:
  TransferBar() : tty_(::isatty(2) != 0), start_(Clock::now()), shown_(start_) {}
  void show(uint64_t done, uint64_t total) {
    if (!tty_ || total == 0) return;
    const auto now = Clock::now();
    if (done < total && now - shown_ < std::chrono::milliseconds(200)) return;
    shown_ = now;
    const double taken = std::chrono::duration<double>(now - start_).count();
    const int percent = static_cast<int>(done * 100 / total);
    const int filled = percent * 40 / 100;
    const double rate = taken > 0 ? static_cast<double>(done) / taken : 0;
    std::fprintf(stderr, "\r[%.*s%*s] %3d%%  %.1f MB/s", filled, "########################################",
                 40 - filled, "", percent, rate / 1e6);
    if (done < total && rate > 0) {
      const auto left = static_cast<long>(static_cast<double>(total - done) / rate + 0.5);
      std::fprintf(stderr, "  %ld:%02ld left ", left / 60, left % 60);
    } else {
      std::fprintf(stderr, "%14s", "");
    }
    std::fflush(stderr);
  }
  void done() {
    if (tty_) std::fputc('\n', stderr);
  }

 private:
  using Clock = std::chrono::steady_clock;
  bool tty_;
  Clock::time_point start_, shown_;
};

}  // namespace

int image_command(int argc, char** argv) {
  const char* device = nullptr;
  const char* output = nullptr;
  int drive = -1;
  for (int i = 0; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--drive") && i + 1 < argc && drive < 0 && !device) {
      char* end = nullptr;
      drive = static_cast<int>(std::strtol(argv[++i], &end, 10));
      if (*end || drive < 0 || drive > 9) {
        std::fprintf(stderr, "velmora-disk: drives are numbered 0 to 9\n");
        return 2;
      }
    } else if (argv[i][0] != '-' && !device && drive < 0) {
      device = argv[i];
    } else if (argv[i][0] != '-' && !output) {
      output = argv[i];
    } else {
      std::fprintf(stderr, "Usage: velmora-disk image (DEVICE | --drive N) OUT.img\n");
      return 2;
    }
  }
  if ((!device && drive < 0) || !output) {
    std::fprintf(stderr, "Usage: velmora-disk image (DEVICE | --drive N) OUT.img\n");
    return 2;
  }
  exporter::AcquireOptions options;
  options.device = device ? device : vp::drive_path(drive);
  if (options.device.empty()) {
    std::fprintf(stderr, "velmora-disk: there is no drive %d\n", drive);
    return 1;
  }
  options.output = output;
  options.program = std::string("velmora-disk ") + VELMORA_VERSION;
  TransferBar bar;
  options.progress = [&](uint64_t done, uint64_t total) { bar.show(done, total); };
  // Ctrl-C stops the acquisition cleanly: the device's read-only mark is
  // put back and the unfinished image removed.
  std::signal(SIGINT, on_stop_signal);
  std::signal(SIGTERM, on_stop_signal);
  options.cancelled = [] { return g_stop.load(); };
  const exporter::AcquireResult r = exporter::acquire_image(options);
  bar.done();
  if (!r.ok) {
    std::fprintf(stderr, "velmora-disk: the acquisition failed: %s\n", r.error.c_str());
    return 1;
  }
  uint64_t bad = 0;
  for (const auto& s : r.unreadable) bad += s.count;
  std::printf("acquired %s into %s: %llu bytes\n", options.device.c_str(), output,
              static_cast<unsigned long long>(r.size_bytes));
  std::printf("SHA-256 %s\n", r.sha256.c_str());
  std::printf("%s\n", r.read_only_note.c_str());
  if (bad) {
    std::printf("%llu unreadable sectors, filled with zeros in the image and listed in the record\n",
                static_cast<unsigned long long>(bad));
  } else {
    std::printf("every sector was read\n");
  }
  std::printf("record: %s, %s, %s\n", r.sha256_path.c_str(), r.record_json.c_str(), r.record_text.c_str());
  return 0;
}

int verify_command(int argc, char** argv) {
  if (argc != 1 || argv[0][0] == '-') {
    std::fprintf(stderr, "Usage: velmora-disk verify OUT.img\n");
    return 2;
  }
  const std::string image = argv[0];
  const exporter::ImageCheck c = exporter::verify_image(image);
  if (!c.read) {
    std::fprintf(stderr, "velmora-disk: %s\n", c.error.c_str());
    return 1;
  }
  std::printf("size: %s (%llu bytes recorded, %llu found)\n", c.size_matches ? "matches" : "DOES NOT MATCH",
              static_cast<unsigned long long>(c.recorded_bytes), static_cast<unsigned long long>(c.actual_bytes));
  std::printf("SHA-256: %s\n  recorded %s\n  found    %s\n", c.sha256_matches ? "matches" : "DOES NOT MATCH",
              c.recorded_sha256.c_str(), c.actual_sha256.empty() ? "(unreadable)" : c.actual_sha256.c_str());
  std::printf("%s.sha256: %s\n", image.c_str(), c.sum_file_matches ? "matches" : "DOES NOT MATCH");
  if (c.unreadable_sectors)
    std::printf("note: %llu sectors could not be read at the acquisition and are zeros in the image\n",
                static_cast<unsigned long long>(c.unreadable_sectors));
  std::printf("%s\n", c.all_match() ? "the image is as it was acquired" : "the image is NOT as it was acquired");
  return c.all_match() ? 0 : 1;
}

int scan_command(bool list) {
  const bool tty = ::isatty(2) != 0;
  const exporter::ScanResult r = exporter::scan_disk([tty](int percent) {
    if (tty) std::fprintf(stderr, "\rscanning %3d%%", percent);
  });
  if (tty) std::fputc('\n', stderr);
  if (!r.ok) {
    std::fprintf(stderr, "velmora-disk: the scan failed: %s\n", r.error.c_str());
    return 1;
  }
  const char* names[] = {"listed", "unindexed", "damaged"};
  if (list) {
    for (const exporter::ScannedGop& g : r.gops) {
      std::printf("table %u entry %2d  %s  chunk %u (%u bytes)  cameras %04x  %s%s%s\n", g.table_sector, g.entry,
                  exporter::clock_text(exporter::unix_from_rec(g.time)).c_str(), g.chunk_sector, g.bytes, g.cameras,
                  names[static_cast<int>(g.state)], g.reason.empty() ? "" : ": ", g.reason.c_str());
    }
  }
  std::printf("scanned %.1f MB of recorded data", static_cast<double>(r.bytes_scanned) / 1e6);
  if (r.unreadable_bytes) std::printf(" (%.1f MB could not be read)", static_cast<double>(r.unreadable_bytes) / 1e6);
  std::printf("\nGOP tables: %zu\nGOPs: %zu listed, %zu unindexed, %zu damaged\n", r.tables, r.listed, r.unindexed,
              r.damaged);
  if (r.indexed_tables_missing)
    std::printf("GOP tables the index names but the disk does not hold: %zu\n", r.indexed_tables_missing);
  for (const exporter::RecoveredRun& run : r.recovered) {
    std::printf("recovered: camera %2d  %s - %s  %zu GOPs\n", run.camera, exporter::clock_text(run.start).c_str(),
                exporter::clock_text(run.end).c_str(), run.gops);
  }
  return 0;
}
