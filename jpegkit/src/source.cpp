#include "source.h"

#include <cstring>

namespace jk {

Source::~Source() {
  if (file_) std::fclose(file_);
}

void Source::open_memory(const uint8_t* data, size_t size) {
  mem_ = data;
  mem_size_ = size;
  size_ = static_cast<int64_t>(size);
  window_start_ = cur = data;
  end = data + size;
  window_pos_ = 0;
}

bool Source::open_file(const char* path) {
  file_ = std::fopen(path, "rb");
  if (!file_) return false;
  if (std::fseek(file_, 0, SEEK_END) != 0) return false;
  long size = std::ftell(file_);
  if (size < 0 || std::fseek(file_, 0, SEEK_SET) != 0) return false;
  size_ = size;
  buffer_.resize(kWindow);
  window_start_ = cur = end = buffer_.data();
  window_pos_ = 0;
  return true;
}

bool Source::seek(int64_t pos) {
  if (pos < 0 || pos > size_) return false;
  if (mem_) {
    cur = mem_ + pos;
    return true;
  }
  // Inside the current window: just move.
  if (pos >= window_pos_ && pos <= window_pos_ + (end - window_start_)) {
    cur = window_start_ + (pos - window_pos_);
    return true;
  }
  if (std::fseek(file_, static_cast<long>(pos), SEEK_SET) != 0) return false;
  window_pos_ = pos;
  window_start_ = cur = end = buffer_.data();
  return true;
}

size_t Source::fill(size_t n) {
  size_t have = available();
  if (have >= n || mem_ || !file_) return have;
  // Move what is left to the front of the buffer and read behind it.
  uint8_t* base = buffer_.data();
  window_pos_ += cur - window_start_;
  if (have && cur != base) std::memmove(base, cur, have);
  size_t got = std::fread(base + have, 1, buffer_.size() - have, file_);
  window_start_ = cur = base;
  end = base + have + got;
  return available();
}

bool Source::read_u8(uint8_t& v) {
  if (cur == end && fill(1) < 1) return false;
  v = *cur++;
  return true;
}

bool Source::read_u16(uint16_t& v) {
  if (fill(2) < 2) return false;
  v = static_cast<uint16_t>(cur[0] << 8 | cur[1]);
  cur += 2;
  return true;
}

bool Source::read(uint8_t* dst, size_t n) {
  while (n) {
    if (cur == end && fill(1) < 1) return false;
    size_t take = available() < n ? available() : n;
    std::memcpy(dst, cur, take);
    cur += take;
    dst += take;
    n -= take;
  }
  return true;
}

bool Source::skip(int64_t n) {
  if (n < 0) return false;
  int64_t target = tell() + n;
  if (target > size_) {
    seek(size_);
    return false;
  }
  return seek(target);
}

}  // namespace jk
