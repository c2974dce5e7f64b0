// Feeds arbitrary bytes to the decoder core the way its callers do: the
// stream headers first, then picture by picture, then the held-back
// picture; once more after a reset. Inputs that announce pictures larger
// than 1024 x 1024 are skipped to keep each run short.
#include <cstddef>
#include <cstdint>

#include "mpeg4/decoder.h"

namespace {

bool too_large(const uint8_t* data, size_t size) {
  for (size_t i = 0; i + 4 < size; ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && (data[i + 3] & 0xF0) == 0x20) {
      int w = 0, h = 0;
      if (mpeg4::probe_video_object_layer(data + i, size - i, &w, &h) && static_cast<int64_t>(w) * h > 1024 * 1024)
        return true;
    }
  }
  return false;
}

void touch(const mpeg4::Picture& p) {
  // Read the corners of every plane so that a wrong stride or size shows.
  volatile uint8_t sink = 0;
  if (p.width <= 0 || p.height <= 0) return;
  sink = sink + p.y[0] + p.y[static_cast<ptrdiff_t>(p.height - 1) * p.stride_y + p.width - 1];
  const int cw = (p.width + 1) / 2, ch = (p.height + 1) / 2;
  sink = sink + p.u[static_cast<ptrdiff_t>(ch - 1) * p.stride_uv + cw - 1] +
         p.v[static_cast<ptrdiff_t>(ch - 1) * p.stride_uv + cw - 1];
}

void run(mpeg4::Decoder& dec, const uint8_t* data, size_t size) {
  size_t pos = 0;
  for (int calls = 0; pos < size && calls < 4096; ++calls) {
    mpeg4::Picture pic;
    size_t used = 0;
    if (dec.decode(data + pos, size - pos, &used, &pic) == mpeg4::kOk) touch(pic);
    if (used == 0 || used > size - pos) break;
    pos += used;
  }
  mpeg4::Picture pic;
  if (dec.flush(&pic) == mpeg4::kOk) touch(pic);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (too_large(data, size)) return 0;
  mpeg4::Decoder dec;
  dec.set_hold_back_from_start(size % 2 == 1);
  mpeg4::StreamInfo info;
  size_t used = 0;
  dec.start(data, size, &info, &used);
  run(dec, data, size);
  dec.reset();
  run(dec, data + size / 2, size - size / 2);
  return 0;
}
