// The packet scan (memory and file, strict and not), the header scan, and
// the channel decoders' decode of a packet and of further pieces, on
// arbitrary bytes. Inputs that announce pictures larger than 1024 x 1024
// but within what recorders send are skipped, to keep each input fast;
// larger ones are refused by the decoders before any allocation and run.
#include <cstdint>
#include <cstdio>

#include "brinlib.h"
#include "brinlib_internal.h"
#include "mpeg4/decoder.h"

namespace dec = brin::decode;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const bool set_up = decode_init() == 0;
  if (!set_up) return 0;
  for (size_t i = 0; i + 4 < size; ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && data[i + 3] >= 0x20 && data[i + 3] <= 0x2F) {
      int w = 0, h = 0;
      if (mpeg4::probe_video_object_layer(data + i, size - i, &w, &h) && static_cast<int64_t>(w) * h > 1024 * 1024 &&
          dec::is_recorder_size(w, h))
        return 0;
    }
  }
  dec::PacketInfo info;
  size_t start = 0;
  for (bool strict : {true, false}) {
    if (dec::locate_packet(data, size, strict, &info, &start)) {
      dec::HeaderScan scan;
      dec::scan_headers(data + start, size - start, &scan);
    }
  }
  dec::HeaderScan scan;
  dec::scan_headers(data, size, &scan);

  if (std::FILE* f = fmemopen(const_cast<uint8_t*>(data), size, "rb")) {
    for (int i = 0; i < 8 && dec::locate_packet(f, i % 2 == 0, &info) >= 0; ++i) std::fseek(f, 1, SEEK_CUR);
    std::fclose(f);
  }

  dec::set_strict_mode(size % 2 == 0);
  int channel = 0;
  dec::decode_packet(data, size, &channel);
  dec::decode_next_piece(channel, data + size / 3, size - size / 3);
  dec::ChannelStatus st = dec::channel_status(channel);
  (void)st;
  return 0;
}
