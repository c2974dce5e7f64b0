#include "encoder.h"

#include <cstring>
#include <initializer_list>

#include "codes.h"
#include "colour.h"
#include "dct.h"
#include "huffman.h"
#include "tables.h"

namespace jk {

void scaled_quant_tables(int32_t quality, uint8_t luma[64], uint8_t chroma[64]) {
  auto scale = [quality](int q) {
    int64_t v = (static_cast<int64_t>(q) * quality + 25) / 50;
    if (static_cast<int64_t>(q) * quality + 25 < 0) v = 0;  // negative factors: finest
    return static_cast<uint8_t>(v < 1 ? 1 : v > 255 ? 255 : v);
  };
  for (int i = 0; i < 64; ++i) {
    luma[i] = scale(kLumaQuant[i]);
    chroma[i] = scale(kChromaQuant[i]);
  }
}

namespace {

// Header bytes are gathered in a fixed buffer (they are at most 623 bytes).
class HeaderBytes {
 public:
  void put(uint8_t b) { buf_[n_++] = b; }
  void put(std::initializer_list<uint8_t> bytes) {
    for (uint8_t b : bytes) put(b);
  }
  void put(const uint8_t* p, int count) {
    std::memcpy(buf_ + n_, p, count);
    n_ += count;
  }
  void put16(int v) {
    put(static_cast<uint8_t>(v >> 8));
    put(static_cast<uint8_t>(v));
  }
  void put_huffman(int class_id, const HuffSpec& s) {
    put(static_cast<uint8_t>(class_id));
    put(s.bits + 1, 16);
    put(s.vals, s.count);
  }
  const uint8_t* data() const { return buf_; }
  int size() const { return n_; }

 private:
  uint8_t buf_[700];
  int n_ = 0;
};

void write_headers(HeaderBytes& o, int width, int height, int hy, int vy, const uint8_t* luma, const uint8_t* chroma) {
  // Start of image and a JFIF segment (version 1.01, aspect 1:1, no thumbnail).
  o.put({0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x10, 'J',  'F',  'I',  'F',
         0,    0x01, 0x01, 0x00, 0x00, 0x01, 0x00, 0x01, 0x00, 0x00});
  // Quantisation tables 0 and 1, in zig-zag order.
  o.put({0xFF, 0xDB});
  o.put16(2 + 2 * 65);
  o.put(0x00);
  for (int k = 0; k < 64; ++k) o.put(luma[kZigzag[k]]);
  o.put(0x01);
  for (int k = 0; k < 64; ++k) o.put(chroma[kZigzag[k]]);
  // Baseline frame: Y with table 0, Cb and Cr with table 1.
  o.put({0xFF, 0xC0, 0x00, 0x11, 0x08});
  o.put16(height);
  o.put16(width);
  o.put({0x03, 0x01, static_cast<uint8_t>(hy << 4 | vy), 0x00, 0x02, 0x11, 0x01, 0x03, 0x11, 0x01});
  o.put({0xFF, 0xC4});
  o.put16(2 + 4 * 17 + 2 * 12 + 2 * 162);
  o.put_huffman(0x00, standard_dc(0));
  o.put_huffman(0x10, standard_ac(0));
  o.put_huffman(0x01, standard_dc(1));
  o.put_huffman(0x11, standard_ac(1));
  o.put({0xFF, 0xDA, 0x00, 0x0C, 0x03, 0x01, 0x00, 0x02, 0x11, 0x03, 0x11, 0x00, 0x3F, 0x00});
}

}  // namespace

int32_t encode_jpeg(const EncodeInput& in, std::vector<uint8_t>& out) {
  const int width = in.width & ~15, height = in.height & ~7;
  if (width <= 0 || height <= 0) return kTooSmall;
  if (width > 65535 || height > 65535) return kTooLargeToWrite;
  const int hy = in.sampling == Sampling::k444 ? 1 : 2;
  const int vy = in.sampling == Sampling::k420 ? 2 : 1;
  const int mcu_w = 8 * hy, mcu_h = 8 * vy;
  const int mcux = width / mcu_w, mcuy = (height + mcu_h - 1) / mcu_h;
  const int pw = mcux * mcu_w;

  uint8_t luma[64], chroma[64];
  scaled_quant_tables(in.quality, luma, chroma);
  alignas(16) float rluma[64], rchroma[64];
  for (int i = 0; i < 64; ++i) {
    rluma[i] = 1.0f / luma[i];
    rchroma[i] = 1.0f / chroma[i];
  }

  // The picture's top rows: picture row y is stored at row in.height-1-y.
  // The planes hold one row of MCUs at a time, converted just before it is
  // coded, so they stay in the cache.
  const uint8_t* top = in.pixels + static_cast<ptrdiff_t>(in.height - height) * in.row_bytes;
  const int cw = pw / hy;
  std::vector<uint8_t> band(static_cast<size_t>(pw) * mcu_h + 2 * static_cast<size_t>(cw) * 8 + bgr_scratch_bytes(pw));
  uint8_t* yp = band.data();
  uint8_t* cbp = yp + static_cast<size_t>(pw) * mcu_h;
  uint8_t* crp = cbp + static_cast<size_t>(cw) * 8;
  uint8_t* scratch = crp + static_cast<size_t>(cw) * 8;

  out.clear();
  out.reserve(static_cast<size_t>(width) * height + 1024);
  HeaderBytes headers;
  write_headers(headers, width, height, hy, vy, luma, chroma);
  out.resize(headers.size());
  std::memcpy(out.data(), headers.data(), headers.size());

  HuffEncoder dc[2], ac[2];
  for (int t = 0; t < 2; ++t) {
    build_encoder(standard_dc(t), dc[t]);
    build_encoder(standard_ac(t), ac[t]);
  }
  BitWriter bw(out);
  int32_t pred[3] = {0, 0, 0};
  alignas(16) int16_t coef[64];
  const DctKernels& dct = dct_kernels();
  for (int my = 0; my < mcuy; ++my) {
    bgr_to_planes(top, in.row_bytes, width, height, pw, my * mcu_h, mcu_h, hy, vy, yp, cbp, crp, scratch);
    // The next band's pixels are asked for now, so that they arrive from
    // memory while this band is coded.
    for (int y = (my + 1) * mcu_h; y < (my + 2) * mcu_h && y < height; ++y) {
      const uint8_t* row = top + static_cast<ptrdiff_t>(height - 1 - y) * in.row_bytes;
      for (int x = 0; x < 3 * width; x += 64) __builtin_prefetch(row + x);
    }
    for (int mx = 0; mx < mcux; ++mx) {
      for (int v = 0; v < vy; ++v)
        for (int h = 0; h < hy; ++h) {
          const uint8_t* blk = yp + static_cast<ptrdiff_t>(8 * v) * pw + mx * mcu_w + 8 * h;
          dct.fdct_quantise(blk, pw, rluma, coef);
          encode_block(bw, dc[0], ac[0], pred[0], coef);
        }
      dct.fdct_quantise(cbp + mx * 8, cw, rchroma, coef);
      encode_block(bw, dc[1], ac[1], pred[1], coef);
      dct.fdct_quantise(crp + mx * 8, cw, rchroma, coef);
      encode_block(bw, dc[1], ac[1], pred[2], coef);
    }
  }
  bw.finish();
  out.push_back(0xFF);
  out.push_back(0xD9);
  return 0;
}

}  // namespace jk
