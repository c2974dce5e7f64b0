// Encoders of the recorder's stored units, calendar arithmetic and the sparse
// image file.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "zebdisk/disk_image.h"

namespace zebdisk {
namespace {

void put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}
void put32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}
void put_time(uint8_t* p, const RecTime& t) { vp::rec_time_to_bytes(t, p); }

std::vector<uint8_t> sealed(std::vector<uint8_t> v) {
  seal(v.data(), v.size());
  return v;
}

// Days from 1970-01-01 of a proleptic Gregorian date, and back.
int64_t days_from_civil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const unsigned yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void civil_from_days(int64_t z, int64_t* y, unsigned* m, unsigned* d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const unsigned doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  *d = doy - (153 * mp + 2) / 5 + 1;
  *m = mp < 10 ? mp + 3 : mp - 9;
  *y = static_cast<int64_t>(yoe) + era * 400 + (*m <= 2);
}

}  // namespace

uint8_t byte_sum(const uint8_t* p, size_t n) {
  unsigned s = 0;
  for (size_t i = 0; i < n; ++i) s += p[i];
  return static_cast<uint8_t>(s);
}

void seal(uint8_t* p, size_t n) { p[n - 1] = byte_sum(p, n - 1); }

std::vector<uint8_t> encode_volume(int generation) {
  std::vector<uint8_t> v(16, 0);
  v[0] = 1;
  v[1] = 0x00;  // a 24-bit big-endian serial
  v[2] = 0x12;
  v[3] = 0x34;
  put32(&v[4], 0x5A45422D);
  put32(&v[8], 1);
  v[12] = static_cast<uint8_t>(generation < 0 ? 0 : generation);
  seal(v.data(), v.size());
  if (generation < 0) v[15] ^= 0x5A;  // a volume record that fails its checksum
  return v;
}

std::vector<uint8_t> encode_ring_header(const RingHeaderSpec& h) {
  std::vector<uint8_t> v(8, 0);
  put16(&v[0], static_cast<uint32_t>(h.count));
  put16(&v[2], static_cast<uint32_t>(h.oldest));
  put16(&v[4], static_cast<uint32_t>(h.newest));
  return sealed(v);
}

std::vector<uint8_t> encode_block_header(const BlockHeaderSpec& h) {
  std::vector<uint8_t> v(8, 0);
  v[0] = static_cast<uint8_t>(h.count);
  v[1] = static_cast<uint8_t>(h.oldest);
  v[2] = static_cast<uint8_t>(h.newest);
  v[3] = static_cast<uint8_t>(h.write_block);
  put16(&v[4], static_cast<uint32_t>(h.write_record));
  return sealed(v);
}

std::vector<uint8_t> encode_alarm_header(const RingHeaderSpec& h) {
  std::vector<uint8_t> v(4, 0);
  v[0] = static_cast<uint8_t>(h.count);
  v[1] = static_cast<uint8_t>(h.oldest);
  v[2] = static_cast<uint8_t>(h.newest);
  return sealed(v);
}

std::vector<uint8_t> encode_attr(const AttrEntrySpec& e) {
  std::vector<uint8_t> v(28, 0);
  put16(&v[0], static_cast<uint32_t>(e.number));
  put_time(&v[2], e.first);
  put_time(&v[8], e.last);
  put32(&v[16], e.first_record);
  put32(&v[20], e.last_record);
  v[24] = static_cast<uint8_t>(e.first_block);
  v[25] = static_cast<uint8_t>(e.last_block);
  return sealed(v);
}

std::vector<uint8_t> encode_block_entry(const BlockEntrySpec& e) {
  std::vector<uint8_t> v(26, 0);
  put16(&v[0], static_cast<uint32_t>(e.count));
  put16(&v[2], static_cast<uint32_t>(e.first_record));
  put16(&v[4], static_cast<uint32_t>(e.last_record));
  put16(&v[6], static_cast<uint32_t>(e.first_attr));
  put_time(&v[8], e.first_time);
  put16(&v[14], static_cast<uint32_t>(e.last_attr));
  put_time(&v[16], e.last_time);
  return sealed(v);
}

std::vector<uint8_t> encode_list(const ListEntrySpec& e) {
  std::vector<uint8_t> v(28, 0);
  put16(&v[0], static_cast<uint32_t>(e.attr));
  put_time(&v[2], e.start);
  put_time(&v[8], e.end);
  v[14] = static_cast<uint8_t>(e.start_block);
  v[15] = static_cast<uint8_t>(e.end_block);
  put32(&v[16], e.start_record);
  put32(&v[20], e.end_record);
  v[24] = static_cast<uint8_t>(e.kind);
  v[26] = e.continuation ? 1 : 0;
  return sealed(v);
}

std::vector<uint8_t> encode_alarm(const RecTime& start, const RecTime& end) {
  std::vector<uint8_t> v(28, 0);
  put16(&v[0], 1);
  put_time(&v[2], start);
  put_time(&v[8], end);
  return sealed(v);
}

std::vector<uint8_t> encode_record(const RecordSpec& r) {
  std::vector<uint8_t> v(kRecordBytes, 0);
  put16(&v[0], 0x0101);
  put_time(&v[2], r.time);
  put32(&v[8], r.gop_sector);
  v[14] = static_cast<uint8_t>(r.gop_count);
  v[17] = r.flags;
  v[18] = r.status;
  return sealed(v);
}

std::vector<uint8_t> encode_gop(const GopEntrySpec& g) {
  std::vector<uint8_t> v(kGopEntryBytes, 0);
  v[0] = g.byte0;
  v[2] = g.byte2;
  put_time(&v[6], g.time);
  put32(&v[12], g.size);
  put32(&v[16], g.sector);
  v[27] = g.byte27;
  return sealed(v);
}

std::vector<uint8_t> encode_settings(const std::vector<uint32_t>& values) {
  std::vector<uint8_t> v(kSectorBytes, 0);
  for (size_t i = 0; i < values.size() && i < 128; ++i) {
    put16(&v[4 * i], values[i] >> 16);
    put16(&v[4 * i + 2], values[i] & 0xFFFF);
  }
  return v;
}

std::vector<uint8_t> picture_stream(const PictureSpec& p) {
  // Start of image, then an APP1 segment of 60 bytes whose fixed positions
  // carry the header fields (positions in disk order, that is the stream
  // position with its lowest bit flipped).
  std::vector<uint8_t> s(64 + p.body.size(), 0);
  s[0] = 0xFF;
  s[1] = 0xD8;
  s[2] = 0xFF;
  s[3] = 0xE1;
  s[4] = 0;
  s[5] = 60;
  std::memcpy(&s[6], "ZEBPIC", 6);
  if (!p.body.empty()) std::memcpy(&s[64], p.body.data(), p.body.size());
  const uint32_t length = static_cast<uint32_t>(s.size());
  auto at = [&](int disk_position) -> uint8_t& { return s[static_cast<size_t>(disk_position ^ 1)]; };
  at(24) = static_cast<uint8_t>(p.camera_word >> 8);
  at(25) = static_cast<uint8_t>(p.camera_word);
  at(34) = p.time.month;
  at(35) = p.time.year;
  at(36) = p.time.hour;
  at(37) = p.time.day;
  at(38) = p.time.second;
  at(39) = p.time.minute;
  at(40) = static_cast<uint8_t>(length >> 16);
  at(41) = static_cast<uint8_t>(p.number & 15);
  at(42) = static_cast<uint8_t>(length);
  at(43) = static_cast<uint8_t>(length >> 8);
  return s;
}

std::vector<uint8_t> to_disk_order(std::vector<uint8_t> bytes) {
  for (size_t i = 0; i + 1 < bytes.size(); i += 2) std::swap(bytes[i], bytes[i + 1]);
  return bytes;
}

int64_t unix_seconds(const RecTime& t) {
  return days_from_civil(2000 + t.year, t.month, t.day) * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

RecTime from_unix_seconds(int64_t s) {
  int64_t days = s / 86400;
  int64_t rest = s % 86400;
  if (rest < 0) {
    rest += 86400;
    --days;
  }
  int64_t y;
  unsigned m, d;
  civil_from_days(days, &y, &m, &d);
  RecTime t;
  t.year = static_cast<uint8_t>(y - 2000);
  t.month = static_cast<uint8_t>(m);
  t.day = static_cast<uint8_t>(d);
  t.hour = static_cast<uint8_t>(rest / 3600);
  t.minute = static_cast<uint8_t>(rest % 3600 / 60);
  t.second = static_cast<uint8_t>(rest % 60);
  return t;
}

RecTime add_seconds(const RecTime& t, int64_t s) { return from_unix_seconds(unix_seconds(t) + s); }

ImageFile::~ImageFile() { close(); }

bool ImageFile::create(const std::string& path, uint64_t size_bytes) {
  close();
  fd_ = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd_ < 0) return false;
  written_ = 0;
  return ::ftruncate(fd_, static_cast<off_t>(size_bytes)) == 0;
}

bool ImageFile::open(const std::string& path) {
  close();
  fd_ = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  written_ = 0;
  return fd_ >= 0;
}

bool ImageFile::write(uint64_t offset, const void* data, size_t n) {
  if (fd_ < 0) return false;
  const auto* p = static_cast<const uint8_t*>(data);
  size_t done = 0;
  while (done < n) {
    const ssize_t r = ::pwrite(fd_, p + done, n - done, static_cast<off_t>(offset + done));
    if (r <= 0) return false;
    done += static_cast<size_t>(r);
  }
  written_ += n;
  return true;
}

bool ImageFile::truncate(uint64_t size_bytes) {
  return fd_ >= 0 && ::ftruncate(fd_, static_cast<off_t>(size_bytes)) == 0;
}

bool ImageFile::close() {
  if (fd_ < 0) return true;
  const bool ok = ::close(fd_) == 0;
  fd_ = -1;
  return ok;
}

}  // namespace zebdisk
