// Variable-length code tables of MPEG-4 Visual and their decoder.
//
// Each table is written as code strings beside the value they stand for and
// turned once into a lookup table indexed by the next `bits` bits of the
// stream. The lookup tables are built on first use and never change after.
#pragma once
#include <cstdint>
#include <vector>

#include "bitreader.h"

namespace mpeg4 {

struct VlcCode {
  const char* bits;  // '0' and '1'; spaces are ignored
  int value;
};

class Vlc {
 public:
  Vlc() = default;
  // Builds the lookup table; false when two codes collide (a table typo).
  bool build(const VlcCode* codes, int count);
  // Decodes one code: its value, or kInvalid when the bits match no code
  // (nothing is consumed then).
  static constexpr int kInvalid = -32768;
  int decode(BitReader& br) const {
    const uint32_t e = table_[br.peek(bits_)];
    const int len = static_cast<int>(e & 0xFF);
    if (len == 0) return kInvalid;
    br.skip(len);
    return static_cast<int16_t>(e >> 8);
  }
  int bits() const { return bits_; }
  // The raw table entry for the next bits() bits: value << 8 | length
  // (length 0: no code).
  uint32_t entry(uint32_t index) const { return table_[index]; }
  const uint32_t* entries() const { return table_.data(); }
  // Sum of 2^-length over the codes (1.0 for a complete code).
  double kraft_sum() const { return kraft_; }

 private:
  std::vector<uint32_t> table_;
  int bits_ = 1;
  double kraft_ = 0;
};

// Transform coefficient events: last, run and |level| packed by tcoef_value.
constexpr int tcoef_value(int last, int run, int level) { return (last << 12) | (run << 6) | level; }
constexpr int kTcoefEscape = 0x7FFF;
constexpr int tcoef_last(int v) { return v >> 12; }
constexpr int tcoef_run(int v) { return (v >> 6) & 63; }
constexpr int tcoef_level(int v) { return v & 63; }

// Macroblock type and chroma pattern: value = type * 4 + cbpc; kMcbpcStuffing
// for the stuffing code.
constexpr int kMcbpcStuffing = 100;

struct VlcTables {
  Vlc mcbpc_intra;  // I-VOPs
  Vlc mcbpc_inter;  // P- and S-VOPs
  Vlc cbpy;         // value: CBPY of an intra macroblock
  Vlc mvd;          // value: motion vector code -32 .. 32
  Vlc dc_size_lum;  // value: dct_dc_size
  Vlc dc_size_chrom;
  Vlc tcoef_intra;  // value: tcoef_value or kTcoefEscape
  Vlc tcoef_inter;
  Vlc mb_type_b;  // value: 0 direct, 1 interpolate, 2 backward, 3 forward
  Vlc sprite_dmv_length;
  bool ok = false;  // every table built without collision

  // The coefficient tables again, unpacked for the block loop and indexed
  // by the next kTcoefBits bits: the code's length with its sign bit (bits
  // 0-7), run (8-13), last (14) and |level| (16-31). Entries with
  // kTcoefSlow set are the escape code (its length alone in bits 0-7) or no
  // code at all (length 0).
  static constexpr int kTcoefBits = 12;
  static constexpr uint32_t kTcoefSlow = 1u << 15;
  uint32_t tcoef_fast[2][1 << kTcoefBits];  // [intra]

  // Largest level for a run (escape mode 1) and largest run for a level
  // (escape mode 2), from the code tables themselves.
  uint8_t lmax[2][2][64];  // [intra][last][run]
  uint8_t rmax[2][2][64];  // [intra][last][level]
};

const VlcTables& vlc_tables();

}  // namespace mpeg4
