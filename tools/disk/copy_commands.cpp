// velmora-disk export and play-copy: a span of a recorder disk copied to a
// folder as the viewer's copy does it, and the pictures of such a copy
// written as BMP files.
#include "copy_commands.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "brinlib.h"
#include "brinlib_internal.h"
#include "export_cli.h"
#include "exporter/exporter.h"
#include "exporter/scan.h"
#include "velmora/clock.h"
#include "velmora/drive.h"

namespace {

constexpr int kMaxCopyFolders = 100;  // rec00 to rec99, as the viewer numbers them
constexpr uint32_t kPollMs = 50;

// How the video exports run: progress lines, one file.
export_cli::Settings g_settings;

const char* status_text(int32_t status) {
  switch (status) {
    case brin::copy::kReportedComplete: return "complete";
    case brin::copy::kReadFailure: return "the disk could not be read, or holds no data at the start time";
    case brin::copy::kStopped: return "stopped";
    case brin::copy::kDataWriteFailure: return "the data file could not be written (no space left, or a write error)";
    case brin::copy::kIndexWriteFailure: return "the index or list file could not be written";
    default: return "unknown status";
  }
}

uint32_t le32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) | (static_cast<uint32_t>(p[2]) << 16) |
         (static_cast<uint32_t>(p[3]) << 24);
}

}  // namespace

int export_span(uint32_t from, uint32_t to, const std::string& parent, bool new_folder) {
  std::string dest = parent;
  struct stat st;
  if (::stat(dest.c_str(), &st) != 0) {
    if (::mkdir(dest.c_str(), 0755) != 0) {
      std::fprintf(stderr, "velmora-disk: cannot create %s: %s\n", dest.c_str(), std::strerror(errno));
      return 1;
    }
  } else if (!S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "velmora-disk: %s is not a folder\n", dest.c_str());
    return 1;
  }
  if (new_folder) {
    // The first of rec00 to rec99 that does not exist yet, made here (a
    // folder made meanwhile by someone else is passed over).
    int n = 0;
    for (; n < kMaxCopyFolders; ++n) {
      char name[8];
      std::snprintf(name, sizeof name, "rec%02d", n);
      const std::string candidate = brin::copyfile::join(parent, name);
      if (::mkdir(candidate.c_str(), 0755) == 0) {
        dest = candidate;
        break;
      }
      if (errno != EEXIST) {
        std::fprintf(stderr, "velmora-disk: cannot create %s: %s\n", candidate.c_str(), std::strerror(errno));
        return 1;
      }
    }
    if (n == kMaxCopyFolders) {
      std::fprintf(stderr, "velmora-disk: %s already holds rec00 to rec%02d; choose another folder\n", parent.c_str(),
                   kMaxCopyFolders - 1);
      return 1;
    }
    std::printf("copying into %s\n", dest.c_str());
  }
  if (first_section_play() != 0) {
    std::fprintf(stderr, "velmora-disk: the index of the disk could not be loaded\n");
    return 1;
  }
  const int32_t started = hdd_copy_usb(dest.c_str(), from, to);
  if (started == brin::copy::kFolderHoldsCopy) {
    std::fprintf(stderr,
                 "velmora-disk: %s already holds a copy (%s, %s or %s), which is left as it is; give an empty "
                 "folder, or --new-folder to copy into a new rec folder in it\n",
                 dest.c_str(), brin::copyfile::kDataName, brin::copyfile::kIndexName, brin::copyfile::kListName);
    return 1;
  }
  if (started != 0) {
    std::fprintf(stderr, "velmora-disk: cannot create the copy's files in %s\n", dest.c_str());
    return 1;
  }
  const bool tty = ::isatty(STDERR_FILENO) != 0;
  int32_t status = 0;
  int shown = -1;
  for (;;) {
    hdd_copy_usb_get_sts(&status);
    if (status > 100) break;
    if (status != shown) {
      export_cli::draw_bar(status, tty);
      shown = status;
    }
    vp::sleep_ms(kPollMs);
  }
  brin::copy::testing::join_copy();
  if (status == brin::copy::kReportedComplete) export_cli::draw_bar(100, tty);
  if (tty) std::fputc('\n', stderr);
  if (status != brin::copy::kReportedComplete) {
    std::fprintf(stderr, "velmora-disk: the copy failed (%d): %s\n", status, status_text(status));
    return 1;
  }
  const std::string list = brin::copyfile::join(dest, brin::copyfile::kListName);
  std::FILE* f = std::fopen(list.c_str(), "rb");
  char line[64] = {};
  if (f) {
    const size_t n = std::fread(line, 1, sizeof line - 1, f);
    line[n] = 0;
    std::fclose(f);
  }
  std::printf("copied %s into %s\n", line, dest.c_str());
  return 0;
}

void set_progress_lines(bool on) { g_settings.progress_lines = on; }
void set_one_file(bool on) { g_settings.one_file = on; }

int export_video_span(uint32_t from, uint32_t to, const std::string& dest, exporter::Format format,
                      const std::string& image, int drive, bool recovered) {
  if (first_section_play() != 0) {
    std::fprintf(stderr, "velmora-disk: the index of the disk could not be loaded\n");
    return 1;
  }
  exporter::Options options;
  options.asked_from = exporter::unix_from_rec(vp::rec_time_from_seconds(from));
  options.asked_to = exporter::unix_from_rec(vp::rec_time_from_seconds(to));
  // An image's own hash, when its acquisition left one beside it.
  if (!image.empty()) {
    std::ifstream in(image + ".sha256");
    std::string hash;
    if (in >> hash && hash.size() == 64) options.source_sha256 = hash;
  }
  // A drive is named by its device and what the kernel knows of it.
  std::string source = image;
  if (image.empty()) {
    source = vp::drive_path(drive);
    const exporter::DriveIdentity id = exporter::drive_identity(source);
    options.source_model = id.model;
    options.source_serial = id.serial;
  }
  return export_cli::video_export(
      "velmora-disk",
      [&](std::string* error) -> std::unique_ptr<exporter::GopSource> {
        if (!recovered) return exporter::open_attached_disk(from, to, error);
        const exporter::ScanResult scan = exporter::scan_disk();
        if (!scan.ok) {
          *error = "the scan failed: " + scan.error;
          return nullptr;
        }
        return exporter::open_recovered(scan, from, to);
      },
      source, dest, format, options, g_settings);
}

int export_copy_video(const std::string& copy, const std::string& dest, exporter::Format format) {
  return export_cli::video_export(
      "velmora-disk", [&](std::string* error) { return exporter::open_copy_folder(copy, error); }, copy, dest, format,
      exporter::Options{}, g_settings);
}

int play_copy(const std::string& source, const std::string& bmp_dir) {
  brin::play::FilePlayer player;
  const std::string data = brin::copyfile::join(source, brin::copyfile::kDataName);
  const std::string index = brin::copyfile::join(source, brin::copyfile::kIndexName);
  if (!player.open(data.c_str(), index.c_str())) {
    std::fprintf(stderr, "velmora-disk: %s holds no copy (%s and %s)\n", source.c_str(), brin::copyfile::kDataName,
                 brin::copyfile::kIndexName);
    return 1;
  }
  if (!player.start()) {
    std::fprintf(stderr, "velmora-disk: the copy's index holds no record\n");
    return 1;
  }
  if (::mkdir(bmp_dir.c_str(), 0755) != 0 && errno != EEXIST) {
    std::fprintf(stderr, "velmora-disk: cannot create %s: %s\n", bmp_dir.c_str(), std::strerror(errno));
    return 1;
  }
  if (decode_init() != 0) {
    std::fprintf(stderr, "velmora-disk: the decoders could not be set up\n");
    return 1;
  }
  std::vector<uint8_t> buffer(brin::play::kFrameBufferBytes);
  std::map<int, int> written;  // pictures per channel
  int damaged_gops = 0, undecoded = 0;
  const uint64_t gops = player.record_count();
  for (uint64_t k = 0; k < gops; ++k) {
    uint64_t length = 0;
    if (!player.read_gop(k, buffer.data(), buffer.size(), &length)) {
      std::fprintf(stderr, "GOP %llu: damaged index record, passed over\n", static_cast<unsigned long long>(k));
      ++damaged_gops;
      continue;
    }
    for (uint64_t at = 0; at + 48 <= length;) {
      const uint8_t* h = buffer.data() + at;
      const uint32_t payload = le32(h + 16);
      if ((h[0] != 0xFF || (h[1] != 0xFB && h[1] != 0xFC)) || payload > length - at - 48) {
        std::fprintf(stderr, "GOP %llu: damaged frame at byte %llu, rest of the GOP passed over\n",
                     static_cast<unsigned long long>(k), static_cast<unsigned long long>(at));
        break;
      }
      if (h[1] == 0xFB) {
        int channel = 0;
        std::vector<uint8_t> rgb;
        int w = 0, h_px = 0;
        if (brin::decode::decode_packet(h + 48, payload, &channel) == 1 &&
            brin::decode::copy_picture(channel, &rgb, &w, &h_px)) {
          char name[48];
          std::snprintf(name, sizeof name, "/ch%02d_%06d.bmp", channel, written[channel]);
          if (brin::bmp::write_bmp((bmp_dir + name).c_str(), rgb.data(), w, h_px, static_cast<size_t>(w) * 3)) {
            ++written[channel];
          }
        } else {
          ++undecoded;
        }
      }
      at += 48 + payload;
    }
  }
  for (int ch = 0; ch < brin::decode::kChannels; ++ch) {
    const brin::decode::ChannelStatus st = brin::decode::channel_status(ch);
    if (st.refused)
      std::fprintf(stderr,
                   "channel %d: %d frames refused: they declare %d x %d, more than a recorder sends (%d x %d)\n", ch,
                   st.refused, st.refused_width, st.refused_height, brin::decode::kMaxRecorderWidth,
                   brin::decode::kMaxRecorderHeight);
  }
  decode_deinit();
  int total = 0;
  for (const auto& [channel, count] : written) {
    std::printf("channel %d: %d pictures\n", channel, count);
    total += count;
  }
  std::printf("%llu GOPs, %d pictures written to %s", static_cast<unsigned long long>(gops), total, bmp_dir.c_str());
  if (damaged_gops) std::printf(", %d damaged GOPs passed over", damaged_gops);
  if (undecoded) std::printf(", %d frames without a picture", undecoded);
  std::printf("\n");
  return damaged_gops ? 1 : 0;
}
