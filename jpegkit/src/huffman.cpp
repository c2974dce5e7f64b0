#include "huffman.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#define JK_X86_64 1
#else
#define JK_X86_64 0
#endif

namespace jk {

void build_decoder(const HuffSpec& spec, bool ac, HuffDecoder& d) {
  std::memset(d.fast, 0, sizeof d.fast);
  std::memset(d.fast_value, 0, sizeof d.fast_value);
  std::memset(d.vals, 0, sizeof d.vals);
  std::memcpy(d.vals, spec.vals, spec.count);
  // Canonical code assignment (T.81 C.2) and the decoding limits (F.2.2.3).
  int32_t code = 0;
  int k = 0;
  for (int l = 1; l <= 16; ++l) {
    d.valoffset[l] = k - code;
    int n = spec.bits[l];
    d.maxcode[l] = n ? code + n - 1 : -1;
    for (int i = 0; i < n; ++i, ++k, ++code) {
      if (l > kLookahead) continue;
      int shift = kLookahead - l;
      uint8_t sym = spec.vals[k];
      for (int fill = 0; fill < (1 << shift); ++fill) {
        int idx = (code << shift) | fill;
        d.fast[idx] = static_cast<uint16_t>(l << 8 | sym);
        int run = ac ? sym >> 4 : 0, s = ac ? sym & 15 : sym;
        if (ac && s == 0) {
          if (run != 15) d.fast_value[idx] = kEndOfBlock << 8 | l;
        } else if (l + s <= kLookahead) {
          int32_t v = s ? (idx >> (kLookahead - l - s)) & ((1 << s) - 1) : 0;
          if (s && v < (1 << (s - 1))) v += -(1 << s) + 1;
          d.fast_value[idx] = static_cast<int32_t>(static_cast<uint32_t>(v) << 16) | run << 8 | (l + s);
        }
      }
    }
    code <<= 1;
  }
  d.maxcode[17] = 0x7FFFFFFF;  // stops the slow search
  d.valoffset[17] = 0;
}

void BitReader::refill() {
  while (nbits_ <= 56) {
    if (marker_) {
      // Past a marker or the end: supply zero bits.
      nbits_ += 8;
      supplied_ += 8;
      continue;
    }
    // Fast path: eight bytes without a 0xFF among them; take as many whole
    // bytes as fit.
    if (src_.end - src_.cur >= 8) {
      uint64_t w;
      std::memcpy(&w, src_.cur, 8);
      uint64_t inv = ~w;
      if (((inv - 0x0101010101010101ull) & ~inv & 0x8080808080808080ull) == 0) {
        int take = (64 - nbits_) >> 3;
        uint64_t be = __builtin_bswap64(w) & (~uint64_t{0} << (64 - 8 * take));
        acc_ |= be >> nbits_;
        nbits_ += 8 * take;
        src_.cur += take;
        continue;
      }
    }
    if (src_.end - src_.cur < 2 && src_.fill(2) < 2) {
      if (src_.cur == src_.end) {
        marker_ = -1;
        continue;
      }
      if (*src_.cur == 0xFF) {  // a lone 0xFF at the very end
        marker_ = -1;
        continue;
      }
    }
    uint8_t b = *src_.cur;
    if (b != 0xFF) {
      acc_ |= static_cast<uint64_t>(b) << (56 - nbits_);
      nbits_ += 8;
      src_.cur++;
      continue;
    }
    uint8_t next = src_.cur[1];
    if (next == 0x00) {
      acc_ |= uint64_t{0xFF} << (56 - nbits_);
      nbits_ += 8;
      src_.cur += 2;
    } else if (next == 0xFF) {
      src_.cur++;  // fill byte before a marker
    } else {
      marker_ = next;  // the source stays at the marker
    }
  }
}

bool BitReader::restart(int expected_rst) {
  // Whatever is left of the current byte is padding. Stray bytes before the
  // marker are skipped.
  acc_ = 0;
  nbits_ = 0;
  supplied_ = 0;
  while (marker_ == 0) refill(), acc_ = 0, nbits_ = 0, supplied_ = 0;
  if (marker_ != expected_rst) return false;
  src_.cur += 2;
  marker_ = 0;
  return true;
}

void BitReader::finish() {
  acc_ = 0;
  nbits_ = 0;
  supplied_ = 0;
}

int decode_block(BitReader& br, const HuffDecoder& dc, const HuffDecoder& ac, int32_t& pred, const uint16_t* q,
                 int16_t* coef) {
  // DC difference. At least 32 bits are there before a code: enough for a
  // code of up to 16 bits and its value bits (at most 11 for DC, 10 for AC).
  br.ensure32();
  uint32_t idx = br.peek(kLookahead);
  int32_t f = dc.fast_value[idx];
  if (f) {
    br.consume(f & 31);
    pred += f >> 16;
  } else {
    int s;
    uint16_t e = dc.fast[idx];
    if (e) {
      br.consume(e >> 8);
      s = e & 0xFF;
    } else {
      int l = kLookahead + 1;
      int32_t code = static_cast<int32_t>(br.peek(l));
      while (code > dc.maxcode[l]) code = static_cast<int32_t>(br.peek(++l));
      if (l > 16) return kDamagedData;
      br.consume(l);
      s = dc.vals[(code + dc.valoffset[l]) & 0xFF];
    }
    if (s > 11) return kDamagedData;
    if (s) pred += br.receive_extend(s);
  }
  // The DC value of an 8-bit picture lies within +-2047; anything wider is
  // damage (and would overflow the dequantisation).
  if (pred < -2048 || pred > 2047) return kDamagedData;
  int32_t v = pred * q[0];
  coef[0] = static_cast<int16_t>(v < -32768 ? -32768 : v > 32767 ? 32767 : v);

  int k = 1;
  int last = 1;
  while (k < 64) {
    br.ensure32();
    idx = br.peek(kLookahead);
    f = ac.fast_value[idx];
    if (f) {
      // A whole coefficient, or the end of the block.
      br.consume(f & 31);
      int at = k + ((f >> 8) & 127);
      if (at > 63) {
        if (((f >> 8) & 127) == kEndOfBlock) break;
        return kDamagedData;
      }
      int32_t val = (f >> 16) * q[at];
      coef[kZigzag[at]] = static_cast<int16_t>(val < -32768 ? -32768 : val > 32767 ? 32767 : val);
      last = k = at + 1;
      continue;
    }
    int rs;
    uint16_t fe = ac.fast[idx];
    if (fe) {
      br.consume(fe >> 8);
      rs = fe & 0xFF;
    } else {
      int l = kLookahead + 1;
      int32_t code = static_cast<int32_t>(br.peek(l));
      while (code > ac.maxcode[l]) code = static_cast<int32_t>(br.peek(++l));
      if (l > 16) return kDamagedData;
      br.consume(l);
      rs = ac.vals[(code + ac.valoffset[l]) & 0xFF];
    }
    int run = rs >> 4;
    int s = rs & 15;
    if (s == 0) {
      if (run != 15) break;  // end of block
      k += 16;
      continue;
    }
    if (s > 10) return kDamagedData;
    k += run;
    if (k > 63) return kDamagedData;
    int32_t val = br.receive_extend(s) * q[k];
    coef[kZigzag[k]] = static_cast<int16_t>(val < -32768 ? -32768 : val > 32767 ? 32767 : val);
    last = ++k;
  }
  if (k > 64) return kDamagedData;  // a run of zeros past the block
  return last;
}

void build_encoder(const HuffSpec& spec, HuffEncoder& e) {
  std::memset(&e, 0, sizeof e);
  uint32_t code = 0;
  int k = 0;
  for (int l = 1; l <= 16; ++l) {
    for (int i = 0; i < spec.bits[l]; ++i, ++k, ++code) {
      e.code[spec.vals[k]] = static_cast<uint16_t>(code);
      e.size[spec.vals[k]] = static_cast<uint8_t>(l);
      e.code_size[spec.vals[k]] = code << 8 | static_cast<uint32_t>(l);
    }
    code <<= 1;
  }
}

void BitWriter::finish() {
  reserve_block();
  int waiting = 64 - free_;
  const int pad = (8 - waiting % 8) % 8;
  if (pad) put((1u << pad) - 1, pad);
  waiting = 64 - free_;
  // Whole bytes left over.
  while (waiting >= 8) {
    waiting -= 8;
    const uint8_t b = static_cast<uint8_t>(acc_ >> waiting);
    out_[pos_++] = b;
    if (b == 0xFF) out_[pos_++] = 0;
  }
  free_ = 64;
  out_.resize(pos_);
}

namespace {
inline int bit_length(uint32_t v) { return v ? 32 - __builtin_clz(v) : 0; }

// Bit k set when coefficient k (natural order) is not zero.
inline uint64_t nonzero_mask(const int16_t* c) {
#if defined(__SSE2__)
  const __m128i zero = _mm_setzero_si128();
  uint64_t mask = 0;
  for (int i = 0; i < 4; ++i) {
    __m128i a = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + 16 * i));
    __m128i b = _mm_loadu_si128(reinterpret_cast<const __m128i*>(c + 16 * i + 8));
    __m128i z = _mm_packs_epi16(_mm_cmpeq_epi16(a, zero), _mm_cmpeq_epi16(b, zero));
    mask |= static_cast<uint64_t>(static_cast<uint16_t>(~_mm_movemask_epi8(z))) << (16 * i);
  }
  return mask;
#else
  uint64_t mask = 0;
  for (int k = 0; k < 64; ++k) mask |= static_cast<uint64_t>(c[k] != 0) << k;
  return mask;
#endif
}

// A natural-order mask to zig-zag order, a byte at a time: entry [j][b] has
// bit k set for each bit i of b with kZigzag[k] == 8 j + i.
struct ZigzagMasks {
  uint64_t m[8][256];
};
constexpr ZigzagMasks make_zigzag_masks() {
  ZigzagMasks z{};
  int zz_of[64] = {};
  for (int k = 0; k < 64; ++k) zz_of[kZigzag[k]] = k;
  for (int j = 0; j < 8; ++j)
    for (int b = 0; b < 256; ++b)
      for (int i = 0; i < 8; ++i)
        if (b >> i & 1) z.m[j][b] |= uint64_t{1} << zz_of[8 * j + i];
  return z;
}
constexpr ZigzagMasks kZigzagMasks = make_zigzag_masks();

inline uint64_t to_zigzag(uint64_t natural) {
  uint64_t z = 0;
  for (int j = 0; j < 8; ++j) z |= kZigzagMasks.m[j][(natural >> (8 * j)) & 255];
  return z;
}
}  // namespace

namespace {
// One block's codes; inlined into each version below, which the compiler
// builds for its own instruction set.
__attribute__((always_inline)) inline void encode_block_body(BitWriter& bw, const HuffEncoder& dc,
                                                             const HuffEncoder& ac, int32_t& pred,
                                                             const int16_t* coef) {
  bw.reserve_block();
  BitWriter::State st = bw.state();
  int32_t diff = coef[0] - pred;
  pred = coef[0];
  uint32_t mag = static_cast<uint32_t>(diff < 0 ? -diff : diff);
  int s = bit_length(mag);
  // A code and its value bits go out together (at most 16 + 11 bits).
  uint32_t value = static_cast<uint32_t>(diff < 0 ? diff - 1 : diff) & ((1u << s) - 1);
  st.put(static_cast<uint32_t>(dc.code[s]) << s | value, dc.size[s] + s);
  // The non-zero coefficients in zig-zag order, as a mask: the runs of
  // zeros are skipped rather than walked, and only the coded coefficients
  // are read.
  uint64_t nonzero = to_zigzag(nonzero_mask(coef)) & ~uint64_t{1};
  int last = 0;  // position of the previous coded coefficient
  while (nonzero) {
    int k = __builtin_ctzll(nonzero);
    nonzero &= nonzero - 1;
    int run = k - last - 1;
    while (run > 15) {
      st.put(ac.code[0xF0], ac.size[0xF0]);
      run -= 16;
    }
    int32_t v = coef[kZigzag[k]];
    mag = static_cast<uint32_t>(v < 0 ? -v : v);
    s = 32 - __builtin_clz(mag);  // mag is not zero
    uint32_t cs = ac.code_size[run << 4 | s];
    value = static_cast<uint32_t>(v + (v >> 31)) & ((1u << s) - 1);
    st.put((cs >> 8) << s | value, static_cast<int>(cs & 0xFF) + s);
    last = k;
  }
  if (last != 63) st.put(ac.code[0], ac.size[0]);
  bw.set_state(st);
}

void encode_block_plain(BitWriter& bw, const HuffEncoder& dc, const HuffEncoder& ac, int32_t& pred,
                        const int16_t* coef) {
  encode_block_body(bw, dc, ac, pred, coef);
}

#if JK_X86_64
// The same code built for the bit-manipulation instructions of the
// processors that have AVX2: the masks of the value bits and the variable
// shifts each become one instruction.
__attribute__((target("bmi,bmi2"))) void encode_block_bmi2(BitWriter& bw, const HuffEncoder& dc, const HuffEncoder& ac,
                                                           int32_t& pred, const int16_t* coef) {
  encode_block_body(bw, dc, ac, pred, coef);
}
#endif

std::vector<NamedBlockCoder> block_coders() {
  std::vector<NamedBlockCoder> v = {{"plain", encode_block_plain}};
#if JK_X86_64
  __builtin_cpu_init();
  if (__builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2")) v.push_back({"bmi2", encode_block_bmi2});
#endif
  return v;
}

}  // namespace

std::vector<NamedBlockCoder> block_coder_versions() { return block_coders(); }

void encode_block(BitWriter& bw, const HuffEncoder& dc, const HuffEncoder& ac, int32_t& pred, const int16_t* coef) {
  static const BlockCoder coder = block_coders().back().code;
  coder(bw, dc, ac, pred, coef);
}

}  // namespace jk
