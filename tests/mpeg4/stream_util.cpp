#include "stream_util.h"

#include <cmath>
#include <cstdio>

namespace m4test {

Frame copy_picture(const mpeg4::Picture& p) {
  Frame f;
  f.width = p.width;
  f.height = p.height;
  f.type = p.type;
  f.time = p.time;
  const int cw = (p.width + 1) / 2, ch = (p.height + 1) / 2;
  for (int y = 0; y < p.height; ++y) f.i420.insert(f.i420.end(), p.y + y * p.stride_y, p.y + y * p.stride_y + p.width);
  for (const uint8_t* plane : {p.u, p.v})
    for (int y = 0; y < ch; ++y) f.i420.insert(f.i420.end(), plane + y * p.stride_uv, plane + y * p.stride_uv + cw);
  return f;
}

DecodeRun decode_stream(const std::vector<uint8_t>& data, bool hold_back_from_start) {
  DecodeRun run;
  mpeg4::Decoder dec;
  dec.set_hold_back_from_start(hold_back_from_start);
  size_t pos = 0;
  while (pos < data.size()) {
    mpeg4::Picture pic;
    size_t used = 0;
    const int r = dec.decode(data.data() + pos, data.size() - pos, &used, &pic);
    if (r == mpeg4::kNoPictureHeader && pos + used >= data.size()) break;
    run.results.push_back(r);
    if (r == mpeg4::kOk)
      run.frames.push_back(copy_picture(pic));
    else if (r != mpeg4::kOkNoPicture)
      ++run.errors;
    if (r == mpeg4::kBitstreamError && pic.y) {
      run.frames.push_back(copy_picture(pic));
      run.damaged.push_back(run.frames.size() - 1);
    }
    if (used == 0) break;
    pos += used;
  }
  mpeg4::Picture pic;
  if (dec.flush(&pic) == mpeg4::kOk) run.frames.push_back(copy_picture(pic));
  return run;
}

std::vector<std::vector<uint8_t>> split_i420(const std::vector<uint8_t>& raw, int w, int h) {
  const size_t fs = static_cast<size_t>(w) * h + 2 * static_cast<size_t>((w + 1) / 2) * ((h + 1) / 2);
  std::vector<std::vector<uint8_t>> frames;
  for (size_t off = 0; off + fs <= raw.size(); off += fs)
    frames.emplace_back(raw.begin() + off, raw.begin() + off + fs);
  return frames;
}

double psnr(const std::vector<uint8_t>& a, const std::vector<uint8_t>& b) {
  if (a.size() != b.size() || a.empty()) return 0;
  double se = 0;
  for (size_t i = 0; i < a.size(); ++i) {
    const double d = static_cast<double>(a[i]) - b[i];
    se += d * d;
  }
  if (se == 0) return 99;
  return 10 * std::log10(255.0 * 255.0 * static_cast<double>(a.size()) / se);
}

}  // namespace m4test
