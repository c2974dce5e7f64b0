// Big-endian bit reader over a caller's buffer. Reads past the end return
// zero bits and are remembered: overrun() is checked once per macroblock or
// header instead of at every read, and nothing is ever read outside the
// buffer.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>

namespace mpeg4 {

class BitReader {
 public:
  BitReader() = default;
  BitReader(const uint8_t* data, size_t size) { reset(data, size); }

  void reset(const uint8_t* data, size_t size) {
    data_ = data;
    size_ = size;
    size_bits_ = size * 8;
    pos_ = 0;
  }

  // The next n bits (1 to 32) without consuming them.
  uint32_t peek(int n) const {
    const uint64_t w = load64(pos_ >> 3) << (pos_ & 7);
    return static_cast<uint32_t>(w >> (64 - n));
  }
  uint32_t get(int n) {
    const uint32_t v = peek(n);
    pos_ += n;
    return v;
  }
  int get1() { return static_cast<int>(get(1)); }
  void skip(size_t n) { pos_ += n; }

  size_t pos() const { return pos_; }
  void seek(size_t bit_pos) { pos_ = bit_pos; }
  size_t size_bits() const { return size_bits_; }
  size_t bits_left() const { return pos_ >= size_bits_ ? 0 : size_bits_ - pos_; }
  bool overrun() const { return pos_ > size_bits_; }
  bool byte_aligned() const { return (pos_ & 7) == 0; }
  void align() { pos_ = (pos_ + 7) & ~static_cast<size_t>(7); }
  const uint8_t* data() const { return data_; }
  size_t size() const { return size_; }

 private:
  uint64_t load64(size_t byte) const {
    if (byte + 8 <= size_) {
      uint64_t v;
      std::memcpy(&v, data_ + byte, 8);
      return __builtin_bswap64(v);
    }
    uint64_t v = 0;
    for (size_t i = 0; i < 8; ++i) {
      v <<= 8;
      if (byte + i < size_) v |= data_[byte + i];
    }
    return v;
  }

  const uint8_t* data_ = nullptr;
  size_t size_ = 0;
  size_t size_bits_ = 0;
  size_t pos_ = 0;
};

}  // namespace mpeg4
