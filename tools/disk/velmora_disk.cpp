// velmora-disk: looks into a recorder disk or an image of one: the volume's
// write generation, the recorded time range, the recording and alarm lists,
// and the frames recorded from a given time on. It copies a span into a
// folder as the viewer does, and writes the pictures of such a copy as BMP
// files. It never writes to the disk.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "brinlib.h"
#include "brinlib_internal.h"
#include "copy_commands.h"
#include "image_commands.h"
#include "report_commands.h"
#include "velmora/drive.h"
#include "velmora/rectime.h"

namespace {

constexpr int kImageDrive = 0;
constexpr uint32_t kRecorderMark = 0x015C0000;
constexpr int32_t kViewerMinCylinders = 3000;

void usage(FILE* out) {
  std::fputs(
      "Usage: velmora-disk [--force] IMAGE\n"
      "   or: velmora-disk [--force] --drive N\n"
      "   or: velmora-disk [--force] frames (IMAGE | --drive N) --at \"yyyy/mm/dd hh:mm:ss\" [--count N]\n"
      "   or: velmora-disk [--force] export (IMAGE | --drive N) --from \"yyyy/mm/dd hh:mm:ss\" --to \"yyyy/mm/dd "
      "hh:mm:ss\" [--format zeb|mkv|mp4 [--one-file] [--recovered]] [--new-folder] DEST\n"
      "   or: velmora-disk play-copy DEST (--bmp DIR | --format mkv|mp4 DIR)\n"
      "   or: velmora-disk image (DEVICE | --drive N) OUT.img\n"
      "   or: velmora-disk verify OUT.img\n"
      "   or: velmora-disk [--force] scan (IMAGE | --drive N) [--list]\n"
      "   or: velmora-disk [--force] report (IMAGE | --drive N) --html DIR\n"
      "\n"
      "Reads a recorder disk (drive N, 0-9: the path in VELMORA_DRIVE<N>, else the\n"
      "N-th physical disk) or an image file of one, never writing to it.\n"
      "\n"
      "Without a command: prints the volume's write generation, the recorded time\n"
      "range, the recording list and the alarm list.\n"
      "frames: positions at the given time as the viewer's time search does and\n"
      "prints the next N frames (default 20) with their GOP, camera and time.\n"
      "export: copies the recordings from the --from time to the first GOP at or\n"
      "after the --to time into the folder DEST (created when missing) as the\n"
      "viewer's copy does: ZEB.dat, .index and List.ZEB, with a progress bar.\n"
      "A folder that already holds a copy is never written over; --new-folder\n"
      "copies into the next free folder rec00 to rec99 in DEST instead, as the\n"
      "viewer's copy window does.\n"
      "--format mkv or mp4 writes video files that play in any player instead:\n"
      "one per camera, named by recorder, camera and start time, the pictures\n"
      "as recorded (not re-encoded) at their recorded times, a subtitle track\n"
      "of the recorder's clock, a chapter per recording run and alarm, and a\n"
      "custody record (.json and .txt: the SHA-256 of every GOP read and of\n"
      "every file written). zeb, the default, is the copy above. --one-file\n"
      "writes every camera as a track of one Matroska file instead.\n"
      "play-copy: decodes every picture of the copy in DEST and writes it to DIR\n"
      "as chNN_NNNNNN.bmp (channel, picture number); with --format, writes the\n"
      "copy as video files into DIR as export does.\n"
      "image: acquires the whole disk into the image file OUT.img (never written\n"
      "over), reading the device read-only and, with the administrator's rights,\n"
      "also marking it read-only in the kernel until the end. The image is hashed\n"
      "(SHA-256) as it is read; a sector that cannot be read is tried again, then\n"
      "filled with zeros and listed. Beside the image: OUT.img.sha256 (in\n"
      "sha256sum's format) and the acquisition record OUT.img.json and .txt\n"
      "(device model and serial, size, unreadable sectors, hash, times). A\n"
      "progress bar shows the speed and the time left; Ctrl-C stops it and\n"
      "keeps nothing.\n"
      "scan: walks the whole recorded data area for GOP tables by their own\n"
      "structure, whatever the index says, checks each GOP's frame headers, and\n"
      "counts the GOPs the index lists, those it no longer names (unindexed:\n"
      "after a wrapped ring or a damaged management copy) and the damaged ones;\n"
      "the unindexed GOPs are shown as runs per camera. --list prints every GOP.\n"
      "report: writes DIR/report.html, a page that opens in any browser without\n"
      "the network and prints cleanly: the disk's size, the hashes of the\n"
      "acquisition record beside an image, the management copies (which were\n"
      "damaged, which was chosen) and the write generation; a timeline per day\n"
      "of the recording runs, alarms, gaps and the runs the scan recovered; the\n"
      "first picture of each camera per run; the recording and alarm lists; the\n"
      "places where the index's times go backwards; and the scan's counts.\n"
      "export --recovered writes those unindexed GOPs of the span as video\n"
      "files, marked as recovered in the custody record.\n"
      "verify: checks OUT.img against its record and its .sha256 file; the exit\n"
      "status is 0 only when everything matches.\n"
      "--force reads a disk even when its settings sector lacks the recorder's mark.\n"
      "--progress-lines prints a video export's progress as \"progress N\" lines\n"
      "on standard output, for programs that run velmora-disk.\n"
      "\n"
      "  --help       show this text\n"
      "  --version    show the version\n",
      out);
}

std::string rec_text(uint32_t seconds) {
  const vp::RecTime t = vp::rec_time_from_seconds(seconds);
  char text[32];
  std::snprintf(text, sizeof text, "%04d/%02d/%02d %02d:%02d:%02d", 2000 + t.year, t.month, t.day, t.hour, t.minute,
                t.second);
  return text;
}

std::string unix_text(int32_t seconds) {
  const time_t t = seconds;
  struct tm tm {};
  gmtime_r(&t, &tm);
  char text[32];
  std::strftime(text, sizeof text, "%Y/%m/%d %H:%M:%S", &tm);
  return text;
}

bool parse_time(const char* text, uint32_t* seconds) {
  int y, mo, d, h, mi, s;
  char tail;
  if (std::sscanf(text, "%d/%d/%d %d:%d:%d%c", &y, &mo, &d, &h, &mi, &s, &tail) != 6) return false;
  if (y < 2000 || y > 2133 || mo < 1 || mo > 12 || d < 1 || d > 31 || h < 0 || h > 23 || mi < 0 || mi > 59 || s < 0 ||
      s > 59)
    return false;
  *seconds = vp::rec_seconds(y, mo, d, h, mi, s);
  return true;
}

// Probes and opens the disk; false (after saying why) when it is no
// recorder disk that can be read.
bool open_disk(int drive, const std::string& name, bool force) {
  const int32_t cylinders = hdd_get(drive);
  switch (cylinders) {
    case -1: std::fprintf(stderr, "velmora-disk: cannot open %s\n", name.c_str()); return false;
    case -2:
      std::fprintf(stderr, "velmora-disk: %s is neither a disk nor a disk image (no geometry)\n", name.c_str());
      return false;
    case -3:
      std::fprintf(stderr, "velmora-disk: %s is not a fixed disk; recorder disks are fixed disks\n", name.c_str());
      return false;
    case -4:
      std::fprintf(stderr,
                   "velmora-disk: %s is not a recorder disk: its geometry is not 512 bytes per sector, 255 "
                   "tracks per cylinder and 63 sectors per track\n",
                   name.c_str());
      return false;
    default: break;
  }
  if (hdd_open(drive) != 0) {
    std::fprintf(stderr, "velmora-disk: cannot open %s\n", name.c_str());
    return false;
  }
  uint32_t settings[128] = {};
  const int32_t r = hdd_read_hdsw(settings);
  if (r != 0) {
    std::fprintf(stderr, "velmora-disk: cannot read the settings sector of %s\n", name.c_str());
    return false;
  }
  if (settings[0] != kRecorderMark) {
    std::fprintf(stderr,
                 "velmora-disk: %s is not a recorder disk: its settings sector begins with 0x%08X, a recorder "
                 "disk's with 0x%08X%s\n",
                 name.c_str(), settings[0], kRecorderMark, force ? " (reading it anyway)" : "");
    if (!force) return false;
  }
  std::printf("disk: %s, %d cylinders\n", name.c_str(), cylinders);
  if (cylinders <= kViewerMinCylinders)
    std::printf("note: the viewer takes only disks of more than %d cylinders\n", kViewerMinCylinders);
  return true;
}

void print_summary() {
  using namespace brin::disk;
  if (first_section_play() != 0 || load_index_state(Positioning::kKeep) == 0)
    std::printf("warning: parts of the index could not be read (damaged in every copy)\n");
  const CopyOrder order = read_generation();
  std::printf("volume generation: %d (copies read in the order %d, %d, %d)\n", order.generation, order.copy[0],
              order.copy[1], order.copy[2]);
  if (block_header().count == 0) {
    std::printf("time range: none (no recordings)\n");
  } else {
    uint32_t start = 0, end = 0;
    read_start_end_sec(&start, &end);
    std::printf("time range: %s - %s\n", rec_text(start).c_str(), rec_text(end).c_str());
  }
  int32_t count = 0, oldest = 0;
  get_rec_list(&count, &oldest);
  std::printf("recordings: %d (oldest entry %d)\n", count, oldest);
  for (int k = 0; k < count; ++k) {
    const int index = (oldest + k) % kListRing;
    uint32_t s = 0, e = 0;
    int32_t kind = 0;
    if (get_list_start_end_sec(index, &s, &e, &kind) != 0) {
      std::printf("  [%3d] damaged entry\n", index);
      continue;
    }
    const bool continued = list_entry(index).continuation != 0;
    std::printf("  [%3d] %s - %s  kind %d%s\n", index, rec_text(s).c_str(), rec_text(e).c_str(), kind,
                continued ? "  (continues the one before)" : "");
  }
  get_alarm_list(&count, &oldest);
  std::printf("alarms: %d (oldest entry %d)\n", count, oldest);
  for (int k = 0; k < count; ++k) {
    const int index = (oldest + k) % kAlarmRing;
    uint32_t s = 0, e = 0;
    if (get_alarm_info(index, &s, &e) != 0) {
      std::printf("  [%2d] damaged entry\n", index);
      continue;
    }
    std::printf("  [%2d] %s - %s\n", index, rec_text(s).c_str(), rec_text(e).c_str());
  }
}

int print_frames(uint32_t at, int count) {
  using namespace brin::disk;
  first_section_play();
  const int32_t found = search_play(at);
  if (found == 1) {
    std::printf("positioned at %s\n", rec_text(at).c_str());
  } else {
    std::printf("no recording at %s; the newest GOP follows\n", rec_text(at).c_str());
  }
  std::vector<uint8_t> buffer(kFrameBufferBytes);
  int printed = 0;
  while (printed < count) {
    int32_t len = 0;
    vp::RecTime gop_time;
    uint8_t info[3] = {};
    const Cursor where = cursor();
    const int r = read_next_with_info(buffer.data(), &len, &gop_time, info);
    if (r == kNoFurtherData) {
      std::printf("end of the recordings\n");
      break;
    }
    std::printf("GOP %s at %d/%d%s\n", rec_text(vp::rec_seconds(gop_time)).c_str(), where.block, where.record,
                r == 1    ? " (end of the recorded data)"
                : r == -1 ? " (damaged or unreadable)"
                          : "");
    for (int32_t pos = 0; pos + 48 <= len && printed < count; ++printed) {
      const uint8_t* h = buffer.data() + pos;
      const uint32_t payload = h[16] | (h[17] << 8) | (h[18] << 16) | (static_cast<uint32_t>(h[19]) << 24);
      const auto time =
          static_cast<int32_t>(h[12] | (h[13] << 8) | (h[14] << 16) | (static_cast<uint32_t>(h[15]) << 24));
      const int16_t sequence = static_cast<int16_t>(h[8] | (h[9] << 8));
      std::printf("  %s camera %2d  %s UTC  %6u bytes  seq %d\n", h[1] == 0xFB ? "video" : "audio", h[34],
                  unix_text(time).c_str(), payload, sequence);
      if (payload > static_cast<uint32_t>(len - pos - 48)) break;
      pos += 48 + static_cast<int32_t>(payload);
    }
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc >= 2 && !std::strcmp(argv[1], "image")) return image_command(argc - 2, argv + 2);
  if (argc >= 2 && !std::strcmp(argv[1], "verify")) return verify_command(argc - 2, argv + 2);
  enum class Command { kSummary, kFrames, kExport, kPlayCopy, kScan, kReport } command = Command::kSummary;
  bool force = false;
  bool new_folder = false;
  int drive = -1;
  const char* image = nullptr;
  const char* at = nullptr;
  const char* from = nullptr;
  const char* to = nullptr;
  const char* bmp_dir = nullptr;
  const char* dest = nullptr;
  const char* video_dir = nullptr;
  const char* format = nullptr;
  const char* html_dir = nullptr;
  int count = 20;
  bool list = false;
  bool recovered = false;
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    const bool first_word = command == Command::kSummary && !image;
    if (!std::strcmp(a, "--help") || !std::strcmp(a, "-h")) {
      usage(stdout);
      return 0;
    }
    if (!std::strcmp(a, "--version")) {
      std::printf("velmora-disk %s\n", VELMORA_VERSION);
      return 0;
    }
    if (!std::strcmp(a, "--force")) {
      force = true;
    } else if (!std::strcmp(a, "--new-folder")) {
      new_folder = true;
    } else if (!std::strcmp(a, "--drive") && i + 1 < argc) {
      drive = std::atoi(argv[++i]);
    } else if (!std::strcmp(a, "--at") && i + 1 < argc) {
      at = argv[++i];
    } else if (!std::strcmp(a, "--from") && i + 1 < argc) {
      from = argv[++i];
    } else if (!std::strcmp(a, "--to") && i + 1 < argc) {
      to = argv[++i];
    } else if (!std::strcmp(a, "--recovered")) {
      recovered = true;
    } else if (!std::strcmp(a, "--one-file")) {
      set_one_file(true);
    } else if (!std::strcmp(a, "--progress-lines")) {
      set_progress_lines(true);
    } else if (!std::strcmp(a, "--format") && i + 1 < argc) {
      format = argv[++i];
    } else if (!std::strcmp(a, "--bmp") && i + 1 < argc) {
      bmp_dir = argv[++i];
    } else if (!std::strcmp(a, "--count") && i + 1 < argc) {
      count = std::atoi(argv[++i]);
    } else if (!std::strcmp(a, "frames") && first_word) {
      command = Command::kFrames;
    } else if (!std::strcmp(a, "export") && first_word) {
      command = Command::kExport;
    } else if (!std::strcmp(a, "play-copy") && first_word) {
      command = Command::kPlayCopy;
    } else if (!std::strcmp(a, "scan") && first_word) {
      command = Command::kScan;
    } else if (!std::strcmp(a, "report") && first_word) {
      command = Command::kReport;
    } else if (!std::strcmp(a, "--html") && i + 1 < argc && command == Command::kReport && !html_dir) {
      html_dir = argv[++i];
    } else if (!std::strcmp(a, "--list") && command == Command::kScan) {
      list = true;
    } else if (a[0] != '-' && command != Command::kPlayCopy && !image && drive < 0) {
      image = a;
    } else if (a[0] != '-' && (command == Command::kExport || command == Command::kPlayCopy) && !dest) {
      dest = a;
    } else if (a[0] != '-' && command == Command::kPlayCopy && format && !video_dir) {
      video_dir = a;
    } else {
      usage(stderr);
      return 2;
    }
  }
  exporter::Format video = exporter::Format::kMatroska;
  const bool video_files = format && std::strcmp(format, "zeb") != 0;
  if (format && video_files) {
    if (!std::strcmp(format, "mp4")) {
      video = exporter::Format::kMp4;
    } else if (std::strcmp(format, "mkv") != 0) {
      std::fprintf(stderr, "velmora-disk: --format takes zeb, mkv or mp4\n");
      return 2;
    }
  }
  if (command == Command::kPlayCopy) {
    if (!dest || image || drive >= 0 || (bmp_dir != nullptr) == (video_dir != nullptr) || (video_dir && !video_files)) {
      usage(stderr);
      return 2;
    }
    return bmp_dir ? play_copy(dest, bmp_dir) : export_copy_video(dest, video_dir, video);
  }
  const bool frames = command == Command::kFrames;
  const bool exporting = command == Command::kExport;
  if ((command == Command::kReport) != (html_dir != nullptr) || (image == nullptr) == (drive < 0) || (frames && !at) ||
      (!frames && at) || count < 1 || bmp_dir || (new_folder && (!exporting || video_files)) ||
      (recovered && (!exporting || !video_files)) || (format && !exporting) || (exporting && (!from || !to || !dest)) ||
      (!exporting && (from || to || dest))) {
    usage(stderr);
    return 2;
  }
  uint32_t at_seconds = 0, from_seconds = 0, to_seconds = 0;
  if ((frames && !parse_time(at, &at_seconds)) ||
      (exporting && (!parse_time(from, &from_seconds) || !parse_time(to, &to_seconds)))) {
    std::fprintf(stderr, "velmora-disk: the time must read \"yyyy/mm/dd hh:mm:ss\"\n");
    return 2;
  }
  if (exporting && to_seconds < from_seconds) {
    std::fprintf(stderr, "velmora-disk: the --to time lies before the --from time\n");
    return 2;
  }
  std::string name;
  if (image) {
    // The image becomes drive 0 for the library.
    setenv("VELMORA_DRIVE0", image, 1);
    drive = kImageDrive;
    name = image;
  } else {
    if (drive > 9) {
      std::fprintf(stderr, "velmora-disk: drives are numbered 0 to 9\n");
      return 2;
    }
    name = "drive " + std::to_string(drive);
  }
  if (!open_disk(drive, name, force)) return 1;
  int rc = 0;
  if (command == Command::kScan) {
    rc = scan_command(list);
  } else if (command == Command::kReport) {
    // A drive is named with the device it stands for.
    rc = report_command(image ? image : "", image ? name : name + " (" + vp::drive_path(drive) + ")", html_dir);
  } else if (frames) {
    rc = print_frames(at_seconds, count);
  } else if (exporting) {
    rc = video_files ? export_video_span(from_seconds, to_seconds, dest, video, image ? image : "", drive, recovered)
                     : export_span(from_seconds, to_seconds, dest, new_folder);
  } else {
    print_summary();
  }
  hdd_close();
  return rc;
}
