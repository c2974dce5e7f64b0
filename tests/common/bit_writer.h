// Writes syntax elements most significant bit first, as the MPEG-4 Visual
// headers are laid out: the tests forge stream headers with it.
#pragma once
#include <cstdint>
#include <vector>

namespace velmora::testing {

class BitWriter {
 public:
  explicit BitWriter(std::vector<uint8_t> start = {}) : out_(std::move(start)) {}

  // The low BITS bits of V.
  void put(uint32_t v, int bits) {
    for (int i = bits - 1; i >= 0; --i) {
      acc_ = static_cast<uint8_t>((acc_ << 1) | ((v >> i) & 1));
      if (++used_ == 8) {
        out_.push_back(acc_);
        acc_ = 0;
        used_ = 0;
      }
    }
  }
  // next_start_code(): a 0, then 1s to the byte boundary.
  void stuff() {
    put(0, 1);
    while (used_) put(1, 1);
  }
  const std::vector<uint8_t>& bytes() const { return out_; }

 private:
  std::vector<uint8_t> out_;
  uint8_t acc_ = 0;
  int used_ = 0;
};

}  // namespace velmora::testing
