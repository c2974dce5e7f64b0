// velmora-dl: looks into a downloaded data file (a remote copy from a
// recorder): its channels, time range and frame index; splits it into frame
// and WAV files, or writes one channel's pictures as BMP files.
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "brinlib.h"
#include "brinlib_internal.h"
#include "export_cli.h"

namespace {

namespace dl = brin::dl;

void usage(FILE* out) {
  std::fputs(
      "Usage: velmora-dl [options] FILE\n"
      "   or: velmora-dl export FILE --day yyyy/mm/dd [--format mkv|mp4] [--one-file] DIR\n"
      "\n"
      "Prints a downloaded data file's channels, time range and frame index\n"
      "(\"<folder>/.index\", by default the file's own folder).\n"
      "\n"
      "  --index DIR       read the frame index from DIR\n"
      "  --split DIR       split the file into DIR/<channel>_<frame>.dat per video\n"
      "                    frame and DIR/wav<channel>.wav per audio channel 0-3\n"
      "  --bmp DIR         write the pictures of one channel (--channel) to\n"
      "                    DIR/<channel>_<frame>.bmp\n"
      "  --channel N       the channel of --bmp (0 to 15, default 0)\n"
      "  --help            show this text\n"
      "  --version         show the version\n"
      "\n"
      "Frames count thirtieths of a second from the file's first packet.\n"
      "\n"
      "export writes the file's pictures as video files that play in any\n"
      "player, one per camera (or, with --one-file, one Matroska file with a\n"
      "track per camera) into DIR, the pictures as recorded, each at its time,\n"
      "with a subtitle track of the recorder's clock and a custody record\n"
      "(.json and .txt) of the SHA-256 of every second of packets read and of\n"
      "every file written. The file counts time from midnight of the span's\n"
      "first day, which --day gives. The sound (IMA ADPCM) goes into the Matroska files as 16-bit PCM.\n",
      out);
}

std::string folder_of(const std::string& path) {
  const size_t slash = path.rfind('/');
  return slash == std::string::npos ? "." : path.substr(0, slash);
}

double seconds(uint32_t ticks) { return ticks / 90000.0; }

struct ChannelCount {
  int packets = 0;
  uint32_t first = 0, last = 0;
};

int describe(dl::DataReader& reader, const std::string& index_folder) {
  uint8_t head[dl::kPackHeaderBytes];
  uint32_t scr = 0;
  std::printf("size: %lld bytes\n", static_cast<long long>(reader.size()));
  if (reader.read_at(0, head, sizeof head) == sizeof head && dl::read_pack_header(head, sizeof head, &scr))
    std::printf("pack header: clock reference %u\n", scr);
  else
    std::printf("pack header: none\n");

  ChannelCount video[16], audio[16];
  dl::Packet p;
  int64_t pos = 0;
  int64_t data_start = -1;
  bool any = false;
  uint32_t first = 0, low = 0, high = 0;
  while (reader.locate(pos, &p)) {
    if (data_start < 0) data_start = p.position;
    if (p.has_time) {
      if (!any) first = low = high = p.time;
      any = true;
      // Times relative to the first packet, so that the 32-bit clock's
      // wrap does not confuse the range.
      if (static_cast<int32_t>(p.time - first) < static_cast<int32_t>(low - first)) low = p.time;
      if (static_cast<int32_t>(p.time - first) > static_cast<int32_t>(high - first)) high = p.time;
    }
    ChannelCount& c = p.kind == dl::kVideoPacket ? video[p.channel] : audio[p.channel];
    if (c.packets++ == 0) c.first = p.time;
    c.last = p.time;
    pos = p.position + static_cast<int64_t>(p.length);
  }
  if (data_start < 0) {
    std::printf("no packets\n");
    return 1;
  }
  std::printf("data start: %lld\n", static_cast<long long>(data_start));
  std::printf("time: %u to %u (90 kHz), %.3f s\n", low, high, seconds(high - low));
  for (int kind = 0; kind < 2; ++kind) {
    for (int ch = 0; ch < 16; ++ch) {
      const ChannelCount& c = kind == 0 ? video[ch] : audio[ch];
      if (c.packets == 0) continue;
      std::printf("%s %2d: %d packets, %.3f s to %.3f s\n", kind == 0 ? "video" : "audio", ch, c.packets,
                  seconds(c.first - first), seconds(c.last - first));
    }
  }

  const std::string index_path = dl::index_path(index_folder.c_str());
  FILE* f = std::fopen(index_path.c_str(), "rb");
  if (!f) {
    std::printf("index: none (%s)\n", index_path.c_str());
    return 0;
  }
  std::unique_ptr<uint8_t[]> bytes(new uint8_t[dl::kIndexFileBytes]);
  const size_t n = std::fread(bytes.get(), 1, dl::kIndexFileBytes, f);
  std::fclose(f);
  const std::vector<dl::IndexEntry> entries = dl::parse_index(bytes.get(), n, reader.size());
  std::printf("index: %zu entries (%s)\n", entries.size(), index_path.c_str());
  for (size_t i = 0; i < entries.size(); ++i) {
    const dl::IndexEntry& e = entries[i];
    std::printf("%6zu %s %2d at %12llu time %10u (%.3f s)\n", i, e.kind == dl::kVideoEntry ? "video" : "audio",
                e.channel, static_cast<unsigned long long>(e.position), e.time, seconds(e.time - first));
  }
  return 0;
}

int write_pictures(dl::DataReader& reader, const std::string& dir, int channel) {
  if (decode_init() != 0) {
    std::fprintf(stderr, "velmora-dl: the decoder cannot be set up\n");
    return 1;
  }
  std::unique_ptr<uint8_t[]> packet(new uint8_t[dl::kMaxPacketBytes]);
  dl::Packet p;
  int64_t pos = 0;
  bool have_first = false;
  uint32_t first = 0;
  int written = 0;
  while (reader.locate(pos, &p)) {
    if (!have_first && p.has_time) {
      first = p.time;
      have_first = true;
    }
    pos = p.position + static_cast<int64_t>(p.length);
    if (p.kind != dl::kVideoPacket || p.channel != channel) continue;
    const size_t n = reader.read(p, packet.get(), p.length);
    if (brin::decode::decode_packet(packet.get(), n) != 1) continue;
    char name[64];
    std::snprintf(name, sizeof name, "/%d_%u.bmp", channel, (p.time - first) / 3000);
    if (brin::decode::write_picture_file((dir + name).c_str(), channel)) ++written;
  }
  const brin::decode::ChannelStatus st = brin::decode::channel_status(channel);
  if (st.refused)
    std::fprintf(stderr, "velmora-dl: %d packets refused: they declare %d x %d, more than a recorder sends (%d x %d)\n",
                 st.refused, st.refused_width, st.refused_height, brin::decode::kMaxRecorderWidth,
                 brin::decode::kMaxRecorderHeight);
  decode_deinit();
  std::printf("%d pictures of channel %d written to %s\n", written, channel, dir.c_str());
  return written > 0 ? 0 : 1;
}

}  // namespace

// velmora-dl export FILE --day yyyy/mm/dd [--format mkv|mp4] [--one-file]
// [--progress-lines] DIR
int export_command(int argc, char** argv) {
  std::string file, dir, day;
  exporter::Format format = exporter::Format::kMatroska;
  export_cli::Settings settings;
  for (int i = 2; i < argc; ++i) {
    const std::string a = argv[i];
    if ((a == "--day" || a == "--format") && i + 1 < argc) {
      const std::string v = argv[++i];
      if (a == "--day") {
        day = v;
      } else if (v == "mp4") {
        format = exporter::Format::kMp4;
      } else if (v != "mkv") {
        std::fprintf(stderr, "velmora-dl: --format takes mkv or mp4\n");
        return 2;
      }
    } else if (a == "--one-file") {
      settings.one_file = true;
    } else if (a == "--progress-lines") {
      settings.progress_lines = true;
    } else if (!a.empty() && a[0] != '-' && file.empty()) {
      file = a;
    } else if (!a.empty() && a[0] != '-' && dir.empty()) {
      dir = a;
    } else {
      usage(stderr);
      return 2;
    }
  }
  int y = 0, m = 0, d = 0;
  char tail = 0;
  if (file.empty() || dir.empty() || std::sscanf(day.c_str(), "%d/%d/%d%c", &y, &m, &d, &tail) != 3) {
    if (!file.empty() && !dir.empty()) std::fprintf(stderr, "velmora-dl: --day must read yyyy/mm/dd\n");
    usage(stderr);
    return 2;
  }
  exporter::Options options;
  options.source_day = day;
  return export_cli::video_export(
      "velmora-dl", [&](std::string* error) { return exporter::open_downloaded_file(file, y, m, d, error); }, file, dir,
      format, options, settings);
}

int main(int argc, char** argv) {
  if (argc > 1 && std::string(argv[1]) == "export") return export_command(argc, argv);
  std::string file, index_folder, split_dir, bmp_dir;
  int channel = 0;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](const char* what) -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "velmora-dl: %s needs a value\n", what);
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      usage(stdout);
      return 0;
    } else if (a == "--version") {
      std::printf("velmora-dl %s\n", VELMORA_VERSION);
      return 0;
    } else if (a == "--index") {
      index_folder = value("--index");
    } else if (a == "--split") {
      split_dir = value("--split");
    } else if (a == "--bmp") {
      bmp_dir = value("--bmp");
    } else if (a == "--channel") {
      char* end = nullptr;
      const std::string v = value("--channel");
      channel = static_cast<int>(std::strtol(v.c_str(), &end, 10));
      if (v.empty() || *end || channel < 0 || channel > 15) {
        std::fprintf(stderr, "velmora-dl: --channel wants 0 to 15\n");
        return 2;
      }
    } else if (!a.empty() && a[0] == '-') {
      std::fprintf(stderr, "velmora-dl: unknown option '%s'\n\n", a.c_str());
      usage(stderr);
      return 2;
    } else if (file.empty()) {
      file = a;
    } else {
      usage(stderr);
      return 2;
    }
  }
  if (file.empty()) {
    usage(stderr);
    return 2;
  }
  dl::DataReader reader;
  if (!reader.open(file.c_str())) {
    std::fprintf(stderr, "velmora-dl: cannot open %s\n", file.c_str());
    return 1;
  }
  if (!split_dir.empty()) {
    ::mkdir(split_dir.c_str(), 0755);
    if (decode_init() != 0) {
      std::fprintf(stderr, "velmora-dl: the decoder cannot be set up\n");
      return 1;
    }
    const int32_t last = Mpeg4Play(file.c_str(), split_dir.c_str(), 0);
    decode_deinit();
    if (last < 0) {
      std::fprintf(stderr, "velmora-dl: %s could not be split\n", file.c_str());
      return 1;
    }
    std::printf("split into %s; last frame %d\n", split_dir.c_str(), last);
    return 0;
  }
  if (!bmp_dir.empty()) {
    ::mkdir(bmp_dir.c_str(), 0755);
    return write_pictures(reader, bmp_dir, channel);
  }
  return describe(reader, index_folder.empty() ? folder_of(file) : index_folder);
}
