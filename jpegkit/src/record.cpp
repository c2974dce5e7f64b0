#include "record.h"

#include <cstring>

namespace jk {
namespace {
CodecRecord g_record{};
}

void record_path(const char* path) {
  // Bounded copy: a longer path is cut at kMaxStoredPath characters.
  std::memset(g_record.path, 0, sizeof g_record.path);
  if (path) std::strncpy(g_record.path, path, kMaxStoredPath);
}

void record_header(const Header& hdr) {
  CodecRecord& r = g_record;
  const Frame& f = hdr.frame;
  r.width = f.width;
  r.height = f.height;
  r.components = f.ncomp;
  for (int i = 0; i < 4; ++i) {
    r.component_id[i] = i < f.ncomp ? f.comp[i].id : 0;
    r.sampling[i] = i < f.ncomp ? static_cast<uint8_t>(f.comp[i].h << 4 | f.comp[i].v) : 0;
    r.quant_table[i] = i < f.ncomp ? f.comp[i].tq : 0;
    std::memcpy(r.quant[i], hdr.quant[i], sizeof r.quant[i]);
    std::memcpy(r.dc_bits[i], hdr.dc[i].bits + 1, 16);
    std::memcpy(r.ac_bits[i], hdr.ac[i].bits + 1, 16);
    std::memcpy(r.dc_vals[i], hdr.dc[i].vals, 256);
    std::memcpy(r.ac_vals[i], hdr.ac[i].vals, 256);
  }
  r.restart_interval = hdr.restart_interval;
  r.field_mode = hdr.field_mode;
}

void record_result(int32_t result) { g_record.last_result = result; }

void copy_record(uint8_t* dst, size_t n) {
  size_t have = n < sizeof g_record ? n : sizeof g_record;
  std::memcpy(dst, &g_record, have);
  if (n > have) std::memset(dst + have, 0, n - have);
}

const CodecRecord& codec_record() { return g_record; }

}  // namespace jk
