// velmora-decode IN.m4v -o OUT.yuv [--bmp DIR]
//
// Decodes an MPEG-4 Visual elementary stream (or H.263 baseline pictures) to
// raw I420 frames in display order, each frame width x height luma bytes
// then the two chroma planes of (width + 1) / 2 x (height + 1) / 2 bytes.
// With --bmp, every frame is also written as DIR/frame_NNNNN.bmp (24-bit,
// bottom-up). Prints the picture size and the frame count. VOPs without data
// (repeats of the previous picture) are not written.
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "mpeg4/colour.h"
#include "mpeg4/decoder.h"
#include "velmora/bmp_file.h"

namespace {

const char* result_text(int r) {
  switch (r) {
    case mpeg4::kInvalidState: return "invalid state";
    case mpeg4::kNoPictureHeader: return "no picture in the stream";
    case mpeg4::kNoSequenceHeader: return "no video object layer header before the first picture";
    case mpeg4::kBitstreamError: return "damaged picture data";
    case mpeg4::kUnsupported: return "a coding tool this decoder does not handle";
    case mpeg4::kOutOfMemory: return "out of memory";
    case mpeg4::kTooLarge: return "picture larger than 4095 x 4095";
    default: return "decoder error";
  }
}

// A file opened for writing that remembers whether every write went in whole.
struct OutputFile {
  FILE* f;
  bool ok;
  void write(const void* data, size_t len) { ok = ok && std::fwrite(data, 1, len, f) == len; }
};

bool write_bmp(const std::string& path, const mpeg4::Picture& pic) {
  std::vector<uint8_t> rgb(static_cast<size_t>(pic.width) * pic.height * 3);
  mpeg4::yuv420_to_bgr24(pic, rgb.data(), true);
  OutputFile out{std::fopen(path.c_str(), "wb"), true};
  if (!out.f) return false;
  vp::bmp::write_picture(out, rgb.data(), pic.width, pic.height, static_cast<size_t>(pic.width) * 3);
  return std::fclose(out.f) == 0 && out.ok;
}

bool write_i420(FILE* f, const mpeg4::Picture& pic) {
  const int cw = (pic.width + 1) / 2, ch = (pic.height + 1) / 2;
  for (int y = 0; y < pic.height; ++y)
    if (std::fwrite(pic.y + static_cast<ptrdiff_t>(y) * pic.stride_y, 1, pic.width, f) !=
        static_cast<size_t>(pic.width))
      return false;
  for (const uint8_t* plane : {pic.u, pic.v})
    for (int y = 0; y < ch; ++y)
      if (std::fwrite(plane + static_cast<ptrdiff_t>(y) * pic.stride_uv, 1, cw, f) != static_cast<size_t>(cw))
        return false;
  return true;
}

// Looks at every video object layer header of the stream before anything
// is written: a stream with a layer whose tools are not handled is refused
// as a whole. Returns the tool's name, or nullptr when all can be decoded.
const char* unsupported_layer_tool(const std::vector<uint8_t>& data) {
  for (size_t i = 0; i + 4 <= data.size(); ++i) {
    if (data[i] != 0 || data[i + 1] != 0 || data[i + 2] != 1 || (data[i + 3] & 0xF0) != 0x20) continue;
    mpeg4::Decoder probe;
    size_t used = 0;
    if (probe.start(data.data() + i, data.size() - i, nullptr, &used) == mpeg4::kUnsupported)
      return probe.unsupported_tool() ? probe.unsupported_tool() : "an unknown tool";
    i += 3;
  }
  return nullptr;
}

constexpr const char kUsage[] = "Usage: velmora-decode IN.m4v -o OUT.yuv [--bmp DIR]\n";

int usage() {
  std::fputs(kUsage, stderr);
  return 2;
}

void help() {
  std::fputs(kUsage, stdout);
  std::fputs(
      "\n"
      "Decodes the MPEG-4 Visual elementary stream IN.m4v (or H.263 baseline\n"
      "pictures) to raw I420 frames in display order, and prints the picture\n"
      "size and the number of frames. Pictures without data (repeats of the\n"
      "previous one) are not written.\n"
      "\n"
      "  -o OUT.yuv   the frames: each the luma plane, then the two chroma planes\n"
      "               of half the width and height (rounded up)\n"
      "  --bmp DIR    also write every frame as DIR/frame_NNNNN.bmp (24-bit)\n"
      "  --help       show this text\n"
      "  --version    show the version\n",
      stdout);
}

}  // namespace

int main(int argc, char** argv) {
  std::string in, out, bmp_dir;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--help" || a == "-h") {
      help();
      return 0;
    }
    if (a == "--version") {
      std::printf("velmora-decode %s\n", VELMORA_VERSION);
      return 0;
    }
    if (a == "-o" && i + 1 < argc)
      out = argv[++i];
    else if (a == "--bmp" && i + 1 < argc)
      bmp_dir = argv[++i];
    else if (!a.empty() && a[0] != '-' && in.empty())
      in = a;
    else
      return usage();
  }
  if (in.empty() || out.empty()) return usage();

  std::vector<uint8_t> data;
  {
    FILE* f = std::fopen(in.c_str(), "rb");
    if (!f) {
      std::fprintf(stderr, "velmora-decode: cannot open %s: %s\n", in.c_str(), std::strerror(errno));
      return 1;
    }
    uint8_t buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.insert(data.end(), buf, buf + n);
    std::fclose(f);
  }
  if (const char* tool = unsupported_layer_tool(data)) {
    std::fprintf(
        stderr, "velmora-decode: %s: not decoded: its video object layer uses %s, which this decoder does not handle\n",
        in.c_str(), tool);
    return 1;
  }
  FILE* yuv = std::fopen(out.c_str(), "wb");
  if (!yuv) {
    std::fprintf(stderr, "velmora-decode: cannot create %s: %s\n", out.c_str(), std::strerror(errno));
    return 1;
  }

  mpeg4::Decoder dec;
  dec.set_hold_back_from_start(true);  // whole files: display order throughout
  mpeg4::StreamInfo info;
  size_t used = 0;
  int r = dec.start(data.data(), data.size(), &info, &used);
  if (r != mpeg4::kOk) {
    std::fprintf(stderr, "velmora-decode: %s: %s\n", in.c_str(), result_text(r));
    std::fclose(yuv);
    std::remove(out.c_str());  // nothing decoded: no output file
    return 1;
  }
  size_t pos = used;
  int frames = 0, errors = 0, first_error = 0;
  bool write_failed = false;
  auto emit = [&](const mpeg4::Picture& pic) {
    if (!write_i420(yuv, pic)) write_failed = true;
    if (!bmp_dir.empty()) {
      char name[64];
      std::snprintf(name, sizeof name, "/frame_%05d.bmp", frames);
      if (!write_bmp(bmp_dir + name, pic)) write_failed = true;
    }
    ++frames;
  };
  while (pos < data.size() && !write_failed) {
    mpeg4::Picture pic;
    size_t consumed = 0;
    r = dec.decode(data.data() + pos, data.size() - pos, &consumed, &pic);
    if (r == mpeg4::kOk) {
      // A VOP without data only repeats the picture before it; like other
      // decoders, the output leaves it out.
      if (!pic.not_coded) emit(pic);
    } else if (r != mpeg4::kOkNoPicture && r != mpeg4::kNoPictureHeader) {
      // A damaged picture comes concealed; it keeps its place in the output.
      if (r == mpeg4::kBitstreamError && pic.y) emit(pic);
      if (!errors) first_error = r;
      ++errors;
    }
    if (consumed == 0) break;
    pos += consumed;
  }
  mpeg4::Picture pic;
  if (dec.flush(&pic) == mpeg4::kOk) emit(pic);
  if (std::fclose(yuv) != 0) write_failed = true;
  if (write_failed) {
    std::fprintf(stderr, "velmora-decode: writing the output failed\n");
    return 1;
  }
  std::printf("%dx%d %d frames\n", info.width, info.height, frames);
  if (errors) {
    std::fprintf(stderr, "velmora-decode: %d pictures damaged or not decoded (first: %s)\n", errors,
                 result_text(first_error));
    return frames ? 3 : 1;
  }
  return frames ? 0 : 1;
}
