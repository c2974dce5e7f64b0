// xvid_decode IN.m4v OUT.yuv
//
// The second reference decoding of the conformance suite: decodes an MPEG-4
// Visual elementary stream with xvidcore to raw I420 in display order
// (width x height luma, then the chroma planes of (width + 1) / 2 x
// (height + 1) / 2), as velmora-decode writes it. No post-processing.
// Exits 0 on success, 3 when xvidcore cannot decode the stream (no video
// object layer, or an error from the decoder), 2 on usage or file errors.
#include <xvid.h>

#include <cstdio>
#include <cstring>
#include <vector>

namespace {

bool write_frame(FILE* f, const xvid_image_t& img, int w, int h) {
  const int cw = (w + 1) / 2, ch = (h + 1) / 2;
  for (int p = 0; p < 3; ++p) {
    const int pw = p ? cw : w, ph = p ? ch : h;
    const auto* base = static_cast<const unsigned char*>(img.plane[p]);
    if (!base) return false;
    for (int y = 0; y < ph; ++y)
      if (std::fwrite(base + static_cast<size_t>(y) * img.stride[p], 1, pw, f) != static_cast<size_t>(pw)) return false;
  }
  return true;
}

// Whether a VOP start code (00 00 01 B6) lies in the n bytes at p.
bool has_picture_start(const unsigned char* p, size_t n) {
  for (size_t i = 0; i + 3 < n; ++i)
    if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1 && p[i + 3] == 0xB6) return true;
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: xvid_decode IN.m4v OUT.yuv\n");
    return 2;
  }
  std::vector<unsigned char> data;
  {
    FILE* f = std::fopen(argv[1], "rb");
    if (!f) {
      std::fprintf(stderr, "xvid_decode: cannot open %s\n", argv[1]);
      return 2;
    }
    unsigned char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) data.insert(data.end(), buf, buf + n);
    std::fclose(f);
  }
  // Padding after the stream: the decoder may read a little past its end.
  const size_t size = data.size();
  data.resize(size + 64, 0);

  xvid_gbl_init_t init;
  std::memset(&init, 0, sizeof init);
  init.version = XVID_VERSION;
  xvid_global(nullptr, XVID_GBL_INIT, &init, nullptr);
  xvid_dec_create_t create;
  std::memset(&create, 0, sizeof create);
  create.version = XVID_VERSION;
  create.num_threads = 1;
  if (xvid_decore(nullptr, XVID_DEC_CREATE, &create, nullptr) != 0) {
    std::fprintf(stderr, "xvid_decode: cannot create a decoder\n");
    return 2;
  }
  FILE* out = std::fopen(argv[2], "wb");
  if (!out) {
    std::fprintf(stderr, "xvid_decode: cannot create %s\n", argv[2]);
    return 2;
  }
  int width = 0, height = 0, frames = 0, status = 0;
  std::vector<unsigned char> picture;
  size_t pos = 0;
  bool flushing = false;
  for (int guard = 0; guard < 1000000; ++guard) {
    xvid_dec_frame_t frame;
    std::memset(&frame, 0, sizeof frame);
    frame.version = XVID_VERSION;
    frame.general = 0;  // no low-delay mode: B-pictures come out in display order
    if (flushing) {
      frame.bitstream = nullptr;
      frame.length = -1;
    } else {
      frame.bitstream = data.data() + pos;
      frame.length = static_cast<int>(size - pos);
    }
    // Planar output into whole macroblocks' worth of memory.
    const int aw = (width + 15) & ~15, ah = (height + 15) & ~15;
    if (width > 0 && picture.size() < static_cast<size_t>(aw) * ah * 3 / 2)
      picture.resize(static_cast<size_t>(aw) * ah * 3 / 2);
    frame.output.csp = XVID_CSP_PLANAR;
    if (width > 0) {
      frame.output.plane[0] = picture.data();
      frame.output.plane[1] = picture.data() + static_cast<size_t>(aw) * ah;
      frame.output.plane[2] = picture.data() + static_cast<size_t>(aw) * ah * 5 / 4;
      frame.output.stride[0] = aw;
      frame.output.stride[1] = frame.output.stride[2] = aw / 2;
    }
    xvid_dec_stats_t stats;
    std::memset(&stats, 0, sizeof stats);
    stats.version = XVID_VERSION;
    const int used = xvid_decore(create.handle, XVID_DEC_DECODE, &frame, &stats);
    if (used < 0) {
      // Bytes after the last picture (an end code, stuffing) are refused
      // by the decoder at the end of the stream: no error then.
      if (frames > 0 && (flushing || !has_picture_start(data.data() + pos, size - pos))) {
        if (flushing) break;
        flushing = true;
        continue;
      }
      std::fprintf(stderr, "xvid_decode: the decoder reports error %d after %d frames\n", used, frames);
      status = 3;
      break;
    }
    if (stats.type == XVID_TYPE_VOL) {
      width = stats.data.vol.width;
      height = stats.data.vol.height;
    } else if (stats.type > 0) {
      if (width <= 0 || !write_frame(out, frame.output, width, height)) {
        std::fprintf(stderr, "xvid_decode: no picture size or write error\n");
        status = 3;
        break;
      }
      ++frames;
    }
    if (flushing) break;
    pos += static_cast<size_t>(used);
    if (pos >= size || (used == 0 && stats.type == XVID_TYPE_NOTHING)) flushing = true;
  }
  xvid_decore(create.handle, XVID_DEC_DESTROY, nullptr, nullptr);
  if (std::fclose(out) != 0 && status == 0) status = 2;
  if (status == 0 && (frames == 0 || width <= 0)) {
    std::fprintf(stderr, "xvid_decode: no video object layer or no pictures\n");
    status = 3;
  }
  if (status == 0) std::printf("xvid_decode: %dx%d %d frames\n", width, height, frames);
  return status;
}
