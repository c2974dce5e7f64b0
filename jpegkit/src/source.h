// Byte input for the JPEG reader: a window of buffered bytes over either a
// file or a block of memory. The header parser reads through the small
// helpers; the entropy decoder works on the window directly (cur, end) and
// calls fill() when it needs more.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <vector>

namespace jk {

class Source {
 public:
  Source() = default;
  ~Source();
  Source(const Source&) = delete;
  Source& operator=(const Source&) = delete;

  // Reads from memory that outlives the source.
  void open_memory(const uint8_t* data, size_t size);
  // Opens a file for reading; false when it cannot be opened.
  bool open_file(const char* path);

  // Moves to an absolute position; false when it lies past the end.
  bool seek(int64_t pos);
  int64_t tell() const { return window_pos_ + (cur - window_start_); }

  // Makes at least n bytes available behind cur unless the input ends first;
  // returns how many are available. n must not exceed kWindow.
  size_t fill(size_t n);
  size_t available() const { return static_cast<size_t>(end - cur); }

  // Header helpers; each returns false when the input ends first.
  bool read_u8(uint8_t& v);
  bool read_u16(uint16_t& v);
  bool read(uint8_t* dst, size_t n);
  bool skip(int64_t n);

  const uint8_t* cur = nullptr;
  const uint8_t* end = nullptr;

  static constexpr size_t kWindow = 1 << 16;

 private:
  FILE* file_ = nullptr;
  std::vector<uint8_t> buffer_;
  const uint8_t* mem_ = nullptr;
  size_t mem_size_ = 0;
  const uint8_t* window_start_ = nullptr;
  int64_t window_pos_ = 0;  // position of window_start_ in the input
  int64_t size_ = 0;        // input size (files: measured at open)
};

}  // namespace jk
