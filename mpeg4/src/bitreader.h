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

// A reader's bits held in a 64-bit register for a tight loop (the
// coefficient codes of a block): the next bits are a shift of the register
// instead of a load at every code, and the register is topped up 32 bits at
// a time from a position that does not depend on the codes' lengths. Reads
// past the end give zero bits, as BitReader's do; store() hands the position
// back, past the end when the reads went past it.
class BitCache {
 public:
  explicit BitCache(const BitReader& br) : data_(br.data()), size_(br.size()) {
    const size_t pos = br.pos();
    byte_ = pos >> 3;
    refill();
    skip(static_cast<int>(pos & 7));
  }

  // At least 32 bits available after it.
  void refill() {
    if (count_ < 32) {
      cache_ |= static_cast<uint64_t>(load32()) << (32 - count_);
      byte_ += 4;
      count_ += 32;
    }
  }
  // The next n bits (1 to 32; no more than are available).
  uint32_t peek(int n) const { return static_cast<uint32_t>(cache_ >> (64 - n)); }
  void skip(int n) {
    cache_ <<= n;
    count_ -= n;
  }
  uint32_t get(int n) {
    const uint32_t v = peek(n);
    skip(n);
    return v;
  }
  size_t pos() const { return byte_ * 8 - static_cast<size_t>(count_); }
  void store(BitReader& br) const { br.seek(pos()); }

 private:
  uint32_t load32() const {
    if (byte_ + 4 <= size_) {
      uint32_t v;
      std::memcpy(&v, data_ + byte_, 4);
      return __builtin_bswap32(v);
    }
    uint32_t v = 0;
    for (size_t i = 0; i < 4; ++i) v = (v << 8) | (byte_ + i < size_ ? data_[byte_ + i] : 0u);
    return v;
  }

  const uint8_t* data_;
  size_t size_;
  size_t byte_ = 0;
  uint64_t cache_ = 0;
  int count_ = 0;
};

}  // namespace mpeg4
