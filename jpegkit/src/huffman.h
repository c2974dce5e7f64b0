// Huffman coding of the coefficient blocks (T.81 F.1.2 and F.2.2): the bit
// reader over the coded data (byte stuffing, markers), the decoding tables
// with a lookahead for short codes, and the writer's code tables and bit
// writer.
#pragma once
#include <cstdint>
#include <cstring>
#include <vector>

#include "codes.h"
#include "markers.h"
#include "source.h"

namespace jk {

constexpr int kLookahead = 10;
constexpr int kEndOfBlock = 64;

struct HuffDecoder {
  // Indexed by the next kLookahead bits: code length << 8 | symbol, 0 when
  // the code is longer.
  uint16_t fast[1 << kLookahead];
  // Codes whose length plus value bits fit the lookahead give the value at
  // once: value << 16 | advance << 8 | bits used, 0 otherwise. For DC
  // tables the value is the difference and the advance 0; for AC tables
  // the advance is the run of zeros before the coefficient, or kEndOfBlock
  // for an end of block (a size of 0 with any run but 15).
  int32_t fast_value[1 << kLookahead];
  int32_t maxcode[18];  // largest code of each length, -1 when none
  int32_t valoffset[18];
  uint8_t vals[256];
};

void build_decoder(const HuffSpec& spec, bool ac, HuffDecoder& out);

// Reads the coded data of a scan from the source's window. Past a marker or
// the end of input it supplies zero bits and counts them, so running past the
// real data is detected (overrun()) rather than read.
class BitReader {
 public:
  explicit BitReader(Source& src) : src_(src) {}

  // Makes at least 32 bits available (real or supplied). Most of the time
  // the next eight bytes hold no 0xFF and as many as fit are taken at once.
  inline void ensure32() {
    if (nbits_ >= 32) return;
    if (marker_ == 0 && src_.end - src_.cur >= 8) {
      uint64_t w;
      std::memcpy(&w, src_.cur, 8);
      uint64_t inv = ~w;
      if (((inv - 0x0101010101010101ull) & ~inv & 0x8080808080808080ull) == 0) {
        int take = (64 - nbits_) >> 3;
        acc_ |= (__builtin_bswap64(w) & (~uint64_t{0} << (64 - 8 * take))) >> nbits_;
        nbits_ += 8 * take;
        src_.cur += take;
        return;
      }
    }
    refill();
  }
  inline uint32_t peek(int n) const { return static_cast<uint32_t>(acc_ >> (64 - n)); }
  inline void consume(int n) {
    acc_ <<= n;
    nbits_ -= n;
  }
  // Reads n (1..16) bits as a signed coefficient value (T.81 F.2.2.1 EXTEND).
  inline int32_t receive_extend(int n) {
    uint32_t v = peek(n);
    consume(n);
    return v < (1u << (n - 1)) ? static_cast<int32_t>(v) - (1 << n) + 1 : static_cast<int32_t>(v);
  }
  // Whether bits past the real data have been consumed.
  bool overrun() const { return nbits_ < supplied_; }
  // The marker that stopped reading (0 when none yet, -1 at end of input).
  int marker() const { return marker_; }
  // At the end of a restart interval: drops the remaining bits and reads the
  // restart marker; false when it is not the expected one.
  bool restart(int expected_rst);
  // Leaves the source at the marker that follows the scan (or where the bits
  // stopped), for the header parser.
  void finish();

 private:
  void refill();

  Source& src_;
  uint64_t acc_ = 0;  // bits, most significant first
  int nbits_ = 0;
  int supplied_ = 0;  // zero bits added past the real data
  int marker_ = 0;
};

// Decodes one block: DC difference and AC coefficients, dequantised into
// natural order (coef must be zero on entry). Returns the number of
// coefficients coded up to the last one (1 for a block with only DC), or a
// negative code when the data are damaged.
int decode_block(BitReader& br, const HuffDecoder& dc, const HuffDecoder& ac, int32_t& pred, const uint16_t* quant_zz,
                 int16_t* coef);

// Writer side.
struct HuffEncoder {
  uint16_t code[256];
  uint8_t size[256];
  // Both in one entry: code << 8 | size (0 for symbols without a code).
  uint32_t code_size[256];
};
void build_encoder(const HuffSpec& spec, HuffEncoder& out);

// Writes bits into a byte vector with the zero byte stuffed after every
// 0xFF (T.81 F.1.2.3). Bits gather in a 64-bit word; when it is full its
// eight bytes leave in one store, byte by byte only when one of them is
// 0xFF. A code that does not fit is split: its first bits fill the word,
// the rest start the next.
class BitWriter {
 public:
  explicit BitWriter(std::vector<uint8_t>& out) : out_(out) { pos_ = out_.size(); }
  // Makes room for the bytes of one more block (at most 64 codes of 27 bits,
  // every byte possibly stuffed, and the waiting word, stuffed too).
  inline void reserve_block() {
    if (out_.size() - pos_ < 512) out_.resize(out_.size() * 2 + 1024);
  }

  // The writer's state as a value, for loops that keep it in registers
  // (the bytes stored could otherwise alias the members): take it, put
  // bits into it, give it back. The word holds 64 - free waiting bits
  // (free is 1 to 64) in its low end; bits above them are ones already
  // written, which the shifts push out.
  struct State {
    uint64_t acc;
    int free;
    uint8_t* p;
    // n is 1 to 32 bits; bits holds no others.
    __attribute__((always_inline)) inline void put(uint32_t bits, int n) {
      if (n < free) {
        acc = (acc << n) | bits;
        free -= n;
        return;
      }
      const int rest = n - free;  // 0 to 31
      store((acc << free) | (bits >> rest));
      acc = bits;
      free = 64 - rest;
    }
    __attribute__((always_inline)) inline void store(uint64_t word) {
      const uint64_t inv = ~word;
      // Not zero exactly when one of the bytes is 0xFF.
      if (((inv - 0x0101010101010101ull) & ~inv & 0x8080808080808080ull) == 0) {
        const uint64_t be = __builtin_bswap64(word);
        std::memcpy(p, &be, 8);
        p += 8;
      } else {
        for (int i = 56; i >= 0; i -= 8) {
          const uint8_t b = static_cast<uint8_t>(word >> i);
          *p++ = b;
          if (b == 0xFF) *p++ = 0;
        }
      }
    }
  };
  State state() { return {acc_, free_, out_.data() + pos_}; }
  void set_state(const State& s) {
    acc_ = s.acc;
    free_ = s.free;
    pos_ = static_cast<size_t>(s.p - out_.data());
  }

  // n is 1 to 32 bits.
  inline void put(uint32_t bits, int n) {
    State s = state();
    s.put(bits & (0xFFFFFFFFu >> (32 - n)), n);
    set_state(s);
  }
  // Pads the last byte with 1 bits, writes what is left and cuts the vector
  // to the bytes written.
  void finish();

 private:
  std::vector<uint8_t>& out_;
  size_t pos_ = 0;
  uint64_t acc_ = 0;
  int free_ = 64;
};

void encode_block(BitWriter& bw, const HuffEncoder& dc, const HuffEncoder& ac, int32_t& pred, const int16_t* coef);

// Every version of encode_block the processor runs, plain first (the last
// is the one encode_block calls); all write the same bits.
using BlockCoder = void (*)(BitWriter&, const HuffEncoder&, const HuffEncoder&, int32_t&, const int16_t*);
struct NamedBlockCoder {
  const char* name;
  BlockCoder code;
};
std::vector<NamedBlockCoder> block_coder_versions();

}  // namespace jk
