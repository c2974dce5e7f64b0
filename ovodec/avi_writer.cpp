#include "avi_writer.h"

#include <cerrno>
#include <cstring>

#include "velmora/message.h"

namespace ovo {
namespace {

// File layout: RIFF 'AVI ' { LIST 'hdrl' { avih, LIST 'strl' { strh, strf } },
// LIST 'movi' { '00dc' chunks }, idx1 }.
constexpr size_t kAvihBytes = 56;
constexpr size_t kStrhBytes = 56;
constexpr size_t kStrfBytes = 40;
constexpr size_t kStrlListBytes = 4 + (8 + kStrhBytes) + (8 + kStrfBytes);      // 116
constexpr size_t kHdrlListBytes = 4 + (8 + kAvihBytes) + (8 + kStrlListBytes);  // 192
constexpr size_t kMoviListAt = 12 + 8 + kHdrlListBytes;                         // 212
constexpr size_t kMoviTypeAt = kMoviListAt + 8;                                 // 220
constexpr size_t kHeaderBytes = kMoviTypeAt + 4;                                // 224
constexpr uint32_t kAvifHasIndex = 0x10;
constexpr uint32_t kAviifKeyFrame = 0x10;

class Out {
 public:
  void fourcc(const char* c) { bytes_.insert(bytes_.end(), c, c + 4); }
  void u32(uint32_t v) {
    for (int i = 0; i < 4; ++i) bytes_.push_back(static_cast<uint8_t>(v >> (8 * i)));
  }
  void u16(uint16_t v) {
    bytes_.push_back(static_cast<uint8_t>(v));
    bytes_.push_back(static_cast<uint8_t>(v >> 8));
  }
  const std::vector<uint8_t>& bytes() const { return bytes_; }

 private:
  std::vector<uint8_t> bytes_;
};

}  // namespace

uint32_t AviWriter::frame_duration_us() const {
  if (timed_frames_ == 0 || duration_sum_us_ == 0) return kAviDefaultFrameUs;
  const uint64_t average = (duration_sum_us_ + timed_frames_ / 2) / timed_frames_;
  return average > 0 && average < 0x7FFFFFFF ? static_cast<uint32_t>(average) : kAviDefaultFrameUs;
}

int AviWriter::open(const std::string& path, int width, int height) {
  close();
  if (width <= 0 || height <= 0 || width > 0x7FFF || height > 0x7FFF) {
    vp::debug_printf("AVIFileOpen failed opening output file %s, error code %d\n", path.c_str(), EINVAL);
    return 0;
  }
  file_ = std::fopen(path.c_str(), "wb+");
  if (!file_) return 0;
  path_ = path;
  width_ = width;
  height_ = height;
  movi_bytes_ = 0;
  duration_sum_us_ = 0;
  timed_frames_ = 0;
  largest_frame_ = 0;
  index_.clear();
  if (!write_headers()) {
    vp::debug_printf("AVIFileOpen failed opening output file %s, error code %d\n", path.c_str(), errno);
    std::fclose(file_);
    file_ = nullptr;
    return 0;
  }
  return 1;
}

bool AviWriter::write_headers() {
  const uint32_t frames = static_cast<uint32_t>(index_.size());
  const uint32_t us = frame_duration_us();
  const uint64_t idx_bytes = frames ? 8 + 16ull * frames : 0;
  const uint64_t movi_list = 4 + movi_bytes_;
  const uint64_t riff = 4 + (8 + kHdrlListBytes) + (8 + movi_list) + idx_bytes;
  const uint32_t bytes_per_second =
      static_cast<uint32_t>(frames ? (movi_bytes_ * 1000000ull) / (static_cast<uint64_t>(us) * frames) : 0);
  Out o;
  o.fourcc("RIFF");
  o.u32(static_cast<uint32_t>(riff));
  o.fourcc("AVI ");
  o.fourcc("LIST");
  o.u32(kHdrlListBytes);
  o.fourcc("hdrl");
  o.fourcc("avih");
  o.u32(kAvihBytes);
  o.u32(us);                // microseconds per frame
  o.u32(bytes_per_second);  // maximum bytes per second (the average here)
  o.u32(0);                 // padding granularity
  o.u32(kAvifHasIndex);
  o.u32(frames);
  o.u32(0);  // initial frames
  o.u32(1);  // streams
  o.u32(largest_frame_);
  o.u32(static_cast<uint32_t>(width_));
  o.u32(static_cast<uint32_t>(height_));
  for (int i = 0; i < 4; ++i) o.u32(0);
  o.fourcc("LIST");
  o.u32(kStrlListBytes);
  o.fourcc("strl");
  o.fourcc("strh");
  o.u32(kStrhBytes);
  o.fourcc("vids");
  o.fourcc("xvid");
  o.u32(0);        // flags
  o.u16(0);        // priority
  o.u16(0);        // language
  o.u32(0);        // initial frames
  o.u32(us);       // scale: one frame lasts scale / rate seconds
  o.u32(1000000);  // rate
  o.u32(0);        // start
  o.u32(frames);   // length
  o.u32(largest_frame_);
  o.u32(10000);  // quality
  o.u32(0);      // sample size
  o.u16(0);
  o.u16(0);
  o.u16(static_cast<uint16_t>(width_));
  o.u16(static_cast<uint16_t>(height_));
  o.fourcc("strf");
  o.u32(kStrfBytes);
  o.u32(40);
  o.u32(static_cast<uint32_t>(width_));
  o.u32(static_cast<uint32_t>(height_));
  o.u16(1);   // planes
  o.u16(12);  // bits per pixel
  o.fourcc("XVID");
  o.u32(static_cast<uint32_t>(static_cast<uint64_t>(width_) * height_ * 6));
  for (int i = 0; i < 4; ++i) o.u32(0);
  o.fourcc("LIST");
  o.u32(static_cast<uint32_t>(movi_list));
  o.fourcc("movi");
  static_assert(kHeaderBytes == 224);
  if (o.bytes().size() != kHeaderBytes) return false;
  return std::fseek(file_, 0, SEEK_SET) == 0 && std::fwrite(o.bytes().data(), 1, kHeaderBytes, file_) == kHeaderBytes;
}

int AviWriter::write(const uint8_t* data, int32_t length, bool key_frame, int32_t duration_us) {
  if (length <= 0 || !data || !file_) return 0;
  const uint64_t padded = (static_cast<uint64_t>(length) + 1) & ~1ull;
  const uint64_t after = kHeaderBytes + movi_bytes_ + 8 + padded + 8 + 16ull * (index_.size() + 1);
  const int frame = static_cast<int>(index_.size());
  if (after > kAviMaxFileBytes) {
    vp::debug_printf("AVIStreamWrite failed writing frame %d\n", frame);
    return 0;
  }
  uint8_t chunk[8] = {'0', '0', 'd', 'c'};
  for (int i = 0; i < 4; ++i) chunk[4 + i] = static_cast<uint8_t>(static_cast<uint32_t>(length) >> (8 * i));
  const uint8_t pad = 0;
  const bool ok = std::fseek(file_, static_cast<long>(kHeaderBytes + movi_bytes_), SEEK_SET) == 0 &&
                  std::fwrite(chunk, 1, 8, file_) == 8 &&
                  std::fwrite(data, 1, static_cast<size_t>(length), file_) == static_cast<size_t>(length) &&
                  (padded == static_cast<uint64_t>(length) || std::fwrite(&pad, 1, 1, file_) == 1);
  if (!ok) {
    vp::debug_printf("AVIStreamWrite failed writing frame %d\n", frame);
    // The frame is not counted; the next one goes where it would have.
    return 0;
  }
  index_.push_back({static_cast<uint32_t>(4 + movi_bytes_), static_cast<uint32_t>(length), key_frame});
  movi_bytes_ += 8 + padded;
  if (static_cast<uint32_t>(length) > largest_frame_) largest_frame_ = static_cast<uint32_t>(length);
  if (duration_us > 0) {
    duration_sum_us_ += static_cast<uint64_t>(duration_us);
    ++timed_frames_;
  }
  return 1;
}

void AviWriter::close() {
  if (!file_) return;
  bool ok = std::fseek(file_, static_cast<long>(kHeaderBytes + movi_bytes_), SEEK_SET) == 0;
  if (ok && !index_.empty()) {
    Out o;
    o.fourcc("idx1");
    o.u32(static_cast<uint32_t>(16 * index_.size()));
    for (const IndexEntry& e : index_) {
      o.fourcc("00dc");
      o.u32(e.key ? kAviifKeyFrame : 0);
      o.u32(e.offset);
      o.u32(e.size);
    }
    ok = std::fwrite(o.bytes().data(), 1, o.bytes().size(), file_) == o.bytes().size();
  }
  ok = ok && write_headers();
  if (!ok) vp::debug_printf("ovodec: writing the index of %s failed\n", path_.c_str());
  std::fclose(file_);
  file_ = nullptr;
}

}  // namespace ovo
