// The library's record of the last picture: its frame, tables, restart
// interval, field mode, the last result and the last path (at most 250
// characters kept). readmem copies it for diagnosis.
#pragma once
#include <cstddef>
#include <cstdint>

#include "markers.h"

namespace jk {

constexpr size_t kMaxStoredPath = 250;

struct CodecRecord {
  int32_t last_result;
  int32_t width, height, components;
  uint8_t component_id[4], sampling[4], quant_table[4];
  int32_t restart_interval;
  int32_t field_mode;
  uint16_t quant[4][64];  // zig-zag order
  uint8_t dc_bits[4][16], ac_bits[4][16];
  uint8_t dc_vals[4][256], ac_vals[4][256];
  char path[kMaxStoredPath + 1];
};

void record_path(const char* path);
void record_header(const Header& hdr);
void record_result(int32_t result);
// Copies n bytes of the record to dst; bytes past its end are set to 0.
void copy_record(uint8_t* dst, size_t n);
// The record itself (tests).
const CodecRecord& codec_record();

}  // namespace jk
