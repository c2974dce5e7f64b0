// velmora-jpeg: the picture conversions of jpegkit from the command line.
//
//   velmora-jpeg to-bmp IN.jpg OUT.bmp [--offset N] [--picture K] [--scale S]
//   velmora-jpeg to-jpeg IN.bmp OUT.jpg [--quality Q]
//   velmora-jpeg reencode IN.jpg OUT.jpg [--double]
//   velmora-jpeg append MULTI IN.jpg
//   velmora-jpeg list MULTI
//
// Exit codes: 0 done, 1 the conversion failed (its code is printed), 2 bad
// command line.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "jpegkit.h"

namespace {

constexpr const char kUsage[] =
    "Usage: velmora-jpeg to-bmp IN.jpg OUT.bmp [--offset N] [--picture K] [--scale S]\n"
    "   or: velmora-jpeg to-jpeg IN.bmp OUT.jpg [--quality Q]\n"
    "   or: velmora-jpeg reencode IN.jpg OUT.jpg [--double]\n"
    "   or: velmora-jpeg append MULTI IN.jpg\n"
    "   or: velmora-jpeg list MULTI\n";

int usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

void help() {
  std::fputs(kUsage, stdout);
  std::fputs(
      "\n"
      "Converts pictures between baseline JPEG and 24-bit BMP as the viewer does,\n"
      "and keeps multi-picture files (several JPEG pictures sharing one header).\n"
      "\n"
      "commands:\n"
      "  to-bmp     decode IN.jpg and write it as a BMP; prints its size\n"
      "      --offset N    the JPEG headers start N bytes into IN.jpg (default 0)\n"
      "      --picture K   decode picture K (from 0) of a multi-picture file\n"
      "      --scale S     divide width and height by 2 to the power S (0 to 7)\n"
      "  to-jpeg    encode the BMP IN.bmp (1, 4, 8 or 24 bits) as a 4:2:2 JPEG\n"
      "      --quality Q   scale of the standard tables: 50 keeps them, smaller\n"
      "                    is finer (default 10), larger is coarser\n"
      "  reencode   decode IN.jpg and write it again as a JPEG\n"
      "      --double      write every row twice (for half-height field pictures)\n"
      "  append     add the picture IN.jpg to the multi-picture file MULTI,\n"
      "             creating it from IN.jpg's header when missing\n"
      "  list       print the number and data offset of each picture in MULTI\n"
      "\n"
      "  --help       show this text\n"
      "  --version    show the version\n"
      "\n"
      "Exit status: 0 done, 1 the conversion failed (its reason and code are\n"
      "printed), 2 a bad command line.\n",
      stdout);
}

const char* decode_reason(int32_t code) {
  switch (code) {
    case 0: return "not a colour picture";
    case -1: return "cannot write the destination";
    case -2: return "out of memory";
    case -3: return "picture too large (over 1024 x 2559)";
    case -10: return "cannot open the source";
    case -11: return "not a JPEG file (no start-of-image marker)";
    case -12: return "damaged or truncated headers";
    case -13: return "unsupported JPEG process (progressive, arithmetic, lossless or 12-bit)";
    case -14: return "invalid frame header";
    case -15: return "missing or invalid table";
    case -16: return "invalid scan header";
    case -17: return "damaged picture data";
    case -18: return "picture data end early";
    case -19: return "invalid argument";
    default: return "failed";
  }
}

const char* bmp_reason(int32_t code) {
  switch (code) {
    case -1: return "cannot open the source";
    case -2: return "out of memory";
    case -3: return "unsupported BMP (only uncompressed 1, 4, 8 and 24 bits per pixel)";
    case -4: return "picture too large (over 1,048,576 pixels)";
    case -5: return "not a BMP file, or shorter than its header says";
    case -20: return "cannot write the destination";
    case -21: return "picture too small (under 16 x 8 pixels)";
    case -22: return "picture too large for a JPEG";
    default: return "failed";
  }
}

const char* append_reason(int32_t code) {
  switch (code) {
    case -2: return "cannot open the source";
    case -3: return "tables or layout differ from the file's";
    case -4: return "picture size or sampling differs from the file's";
    case -6: return "source header longer than 2000 bytes";
    case -7: return "source data too long for a record, or no end marker";
    case -9: return "out of memory";
    case -10: return "cannot open or write the file";
    case -21: return "not a colour picture";
    default: return decode_reason(code);
  }
}

bool parse_int(const char* s, long min, long max, long& out) {
  char* end = nullptr;
  errno = 0;
  long v = std::strtol(s, &end, 0);
  if (errno || !end || *end || end == s || v < min || v > max) return false;
  out = v;
  return true;
}

uint16_t le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// Offsets of the pictures' coded data in a multi-picture file: after the
// headers, each record is a comment segment with its word count, a scan
// header and the words. Returns false when the file is not laid out so.
bool record_offsets(const char* path, std::vector<long>& offsets) {
  FILE* f = std::fopen(path, "rb");
  if (!f) return false;
  std::vector<uint8_t> b;
  uint8_t chunk[65536];
  size_t got;
  while ((got = std::fread(chunk, 1, sizeof chunk, f)) > 0) b.insert(b.end(), chunk, chunk + got);
  std::fclose(f);
  // Walk the header segments to the first record's comment segment.
  size_t pos = 2;
  if (b.size() < 4 || b[0] != 0xFF || b[1] != 0xD8) return false;
  for (;;) {
    if (pos + 4 > b.size() || b[pos] != 0xFF) return false;
    uint8_t m = b[pos + 1];
    size_t len = static_cast<size_t>(b[pos + 2] << 8 | b[pos + 3]);
    if (m == 0xFE && len == 8 && pos + 24 <= b.size() && b[pos + 10] == 0xFF && b[pos + 11] == 0xDA) break;
    if (m == 0xDA) return false;
    pos += 2 + len;
  }
  while (pos + 24 <= b.size() && b[pos] == 0xFF && b[pos + 1] == 0xFE) {
    size_t words = le16(&b[pos + 8]);
    offsets.push_back(static_cast<long>(pos + 24));
    pos += 24 + 4 * words;
  }
  return !offsets.empty();
}

int to_bmp(int argc, char** argv) {
  if (argc < 2) return usage();
  long offset = 0, picture = -1, scale = 0;
  for (int i = 2; i < argc; ++i) {
    std::string a = argv[i];
    if (i + 1 >= argc) return usage();
    long* target = a == "--offset" ? &offset : a == "--picture" ? &picture : a == "--scale" ? &scale : nullptr;
    if (!target || !parse_int(argv[++i], 0, INT32_MAX, *target)) return usage();
  }
  long picture_offset = 0;
  if (picture >= 0) {
    std::vector<long> offsets;
    if (!record_offsets(argv[0], offsets)) {
      std::fprintf(stderr, "velmora-jpeg: %s is not a multi-picture file\n", argv[0]);
      return 1;
    }
    if (picture >= static_cast<long>(offsets.size())) {
      std::fprintf(stderr, "velmora-jpeg: %s holds %zu pictures\n", argv[0], offsets.size());
      return 1;
    }
    picture_offset = offsets[picture];
  }
  int32_t r = jpeg_to_bmp(argv[0], static_cast<int32_t>(offset), static_cast<int32_t>(picture_offset),
                          static_cast<int32_t>(scale), argv[1]);
  if (r <= 0) {
    std::fprintf(stderr, "velmora-jpeg: %s: %s (code %d)\n", argv[0], decode_reason(r), r);
    return 1;
  }
  std::printf("%s: %d x %d\n", argv[1], r % 10000, r / 10000);
  return 0;
}

int to_jpeg(int argc, char** argv) {
  if (argc < 2) return usage();
  long quality = 10;
  for (int i = 2; i < argc; ++i) {
    if (std::string(argv[i]) != "--quality" || i + 1 >= argc || !parse_int(argv[++i], INT32_MIN, INT32_MAX, quality))
      return usage();
  }
  int32_t r = bmp_to_jpeg(argv[0], argv[1], static_cast<int32_t>(quality));
  if (r != 0) {
    std::fprintf(stderr, "velmora-jpeg: %s: %s (code %d)\n", argv[0], bmp_reason(r), r);
    return 1;
  }
  return 0;
}

int reencode(int argc, char** argv) {
  if (argc < 2 || argc > 3) return usage();
  bool twice = argc == 3;
  if (twice && std::string(argv[2]) != "--double") return usage();
  int32_t r = twice ? jpeg_to_Vjpeg(argv[0], 0, 0, 0, argv[1]) : jpeg_to_jpeg(argv[0], 0, 0, 0, argv[1]);
  if (r != 0) {
    std::fprintf(stderr, "velmora-jpeg: %s: %s (code %d)\n", argv[0],
                 r == -1 ? "cannot decode the source" : bmp_reason(r), r);
    return 1;
  }
  return 0;
}

int append(int argc, char** argv) {
  if (argc != 2) return usage();
  int32_t r = Append_qpx_jpeg(argv[0], argv[1]);
  if (r != 0) {
    std::fprintf(stderr, "velmora-jpeg: %s: %s (code %d)\n", argv[1], append_reason(r), r);
    return 1;
  }
  return 0;
}

int list(int argc, char** argv) {
  if (argc != 1) return usage();
  std::vector<long> offsets;
  if (!record_offsets(argv[0], offsets)) {
    std::fprintf(stderr, "velmora-jpeg: %s is not a multi-picture file\n", argv[0]);
    return 1;
  }
  for (size_t i = 0; i < offsets.size(); ++i) std::printf("%zu %ld\n", i, offsets[i]);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) return usage();
  std::string cmd = argv[1];
  if (cmd == "--help" || cmd == "-h") {
    help();
    return 0;
  }
  if (cmd == "--version") {
    std::printf("velmora-jpeg %s\n", VELMORA_VERSION);
    return 0;
  }
  if (cmd == "to-bmp") return to_bmp(argc - 2, argv + 2);
  if (cmd == "to-jpeg") return to_jpeg(argc - 2, argv + 2);
  if (cmd == "reencode") return reencode(argc - 2, argv + 2);
  if (cmd == "append") return append(argc - 2, argv + 2);
  if (cmd == "list") return list(argc - 2, argv + 2);
  return usage();
}
