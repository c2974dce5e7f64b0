// The sources an export reads GOP by GOP: a copy folder and the attached
// recorder disk.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>

#include "brinlib.h"
#include "brinlib_internal.h"
#include "exporter/exporter.h"

namespace exporter {

namespace {

// Consecutive GOPs of a copy further apart than this belong to different
// recording runs (a copy keeps no recording list).
constexpr UnixSeconds kRunBreakSeconds = 2;

std::string run_title(size_t n) { return "Recording " + std::to_string(n); }

// Adds a picture's second to the runs built so far from pictures in
// recorded order: a run ends where the time goes back or jumps by more than
// kRunBreakSeconds.
void extend_runs(std::vector<Span>* runs, UnixSeconds t) {
  if (runs->empty() || t < runs->back().end || t - runs->back().end > kRunBreakSeconds) {
    runs->push_back(Span{t, t, run_title(runs->size() + 1)});
  } else {
    runs->back().end = t;
  }
}

bool read_whole(int fd, uint64_t at, uint8_t* out, size_t n) {
  while (n > 0) {
    const ssize_t r = ::pread(fd, out, n, static_cast<off_t>(at));
    if (r < 0 && errno == EINTR) continue;
    if (r <= 0) return false;
    out += r;
    n -= static_cast<size_t>(r);
    at += static_cast<uint64_t>(r);
  }
  return true;
}

class CopyFolderSource : public GopSource {
 public:
  ~CopyFolderSource() override {
    if (fd_ >= 0) ::close(fd_);
  }

  bool open(const std::string& folder, std::string* error) {
    folder_ = folder;
    const std::string index_path = brin::copyfile::join(folder, brin::copyfile::kIndexName);
    const std::string data_path = brin::copyfile::join(folder, brin::copyfile::kDataName);
    const int index_fd = ::open(index_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (index_fd < 0) {
      *error = "cannot open " + index_path + ": " + std::strerror(errno);
      return false;
    }
    struct stat st {};
    std::vector<uint8_t> index;
    if (::fstat(index_fd, &st) == 0 && st.st_size > 0) {
      index.resize(static_cast<size_t>(st.st_size));
      if (!read_whole(index_fd, 0, index.data(), index.size())) index.clear();
    }
    ::close(index_fd);
    // A record cut short at the end (a copy that was stopped) is no record.
    for (size_t at = 0; at + brin::copyfile::kRecordBytes <= index.size(); at += brin::copyfile::kRecordBytes)
      records_.push_back(brin::copyfile::parse_record(index.data() + at));
    fd_ = ::open(data_path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) {
      *error = "cannot open " + data_path + ": " + std::strerror(errno);
      return false;
    }
    if (::fstat(fd_, &st) != 0) {
      *error = "cannot read " + data_path + ": " + std::strerror(errno);
      return false;
    }
    data_size_ = static_cast<uint64_t>(st.st_size);
    return true;
  }

  int next(SourceGop* gop) override {
    if (at_ >= records_.size()) return 0;
    const brin::copyfile::Record& r = records_[at_];
    const uint64_t end = at_ + 1 < records_.size() ? records_[at_ + 1].offset : data_size_;
    ++at_;
    gop->time = r.time;
    gop->frames.clear();
    gop->damaged = false;
    // A GOP is one disk chunk's frames: anything longer, or running
    // backwards or past the data file, is a damaged index record.
    if (end < r.offset || end > data_size_ || end - r.offset > brin::disk::kFrameBufferBytes) {
      gop->damaged = true;
      return 1;
    }
    gop->frames.resize(static_cast<size_t>(end - r.offset));
    if (!read_whole(fd_, r.offset, gop->frames.data(), gop->frames.size())) {
      error_ = std::string("read error in ") + brin::copyfile::kDataName + ": " + std::strerror(errno);
      return -1;
    }
    return 1;
  }

  std::string description() const override { return "copy folder " + folder_; }
  std::string error() const override { return error_; }

  std::vector<Span> runs() const override {
    std::vector<Span> out;
    for (const auto& r : records_) extend_runs(&out, unix_from_rec(r.time));
    return out;
  }

  int percent_done() const override { return records_.empty() ? 100 : static_cast<int>(at_ * 100 / records_.size()); }

 private:
  std::string folder_;
  std::vector<brin::copyfile::Record> records_;
  size_t at_ = 0;
  int fd_ = -1;
  uint64_t data_size_ = 0;
  std::string error_;
};

class DiskSource : public GopSource {
 public:
  DiskSource(uint32_t from, uint32_t to) : from_(from), to_(to), buffer_(brin::disk::kFrameBufferBytes) {}

  bool open(std::string* error) {
    std::lock_guard<std::mutex> lock(brin::disk::cursor_lock());
    const int found = brin::disk::search_by_time(from_);
    if (found != 1 && found != 2) {
      *error = "the time search of the disk failed";
      return false;
    }
    return true;
  }

  int next(SourceGop* gop) override {
    for (;;) {
      if (done_) return 0;
      int32_t len = 0;
      uint8_t info[3] = {};
      vp::RecTime time;
      int r;
      {
        std::lock_guard<std::mutex> lock(brin::disk::cursor_lock());
        r = brin::disk::read_next_with_info(buffer_.data(), &len, &time, info);
      }
      if (r == brin::disk::kNoFurtherData) return 0;
      if (r == 1) done_ = true;  // the end of the recorded data
      const uint32_t at = vp::rec_seconds(time);
      if (at > to_) {
        done_ = true;
        return 0;
      }
      // The search lands on the record that holds `from`: its GOPs before
      // that time are not part of the span.
      if (at < from_) continue;
      last_ = at;
      gop->time = time;
      gop->damaged = r < 0 || len < 0 || static_cast<size_t>(len) > buffer_.size();
      gop->frames.assign(buffer_.data(), buffer_.data() + (gop->damaged ? 0 : len));
      return 1;
    }
  }

  std::string description() const override { return "recorder disk"; }

  std::vector<Span> runs() const override {
    std::vector<Span> out;
    int32_t count = 0, oldest = 0;
    get_rec_list(&count, &oldest);
    for (int k = 0; k < count; ++k) {
      uint32_t s = 0, e = 0;
      int32_t kind = 0;
      if (get_list_start_end_sec((oldest + k) % brin::disk::kListRing, &s, &e, &kind) != 0) continue;
      if (e < from_ || s > to_) continue;
      out.push_back(Span{unix_from_rec(vp::rec_time_from_seconds(std::max(s, from_))),
                         unix_from_rec(vp::rec_time_from_seconds(std::min(e, to_))), run_title(out.size() + 1)});
    }
    return out;
  }

  std::vector<Span> alarms() const override {
    std::vector<Span> out;
    int32_t count = 0, oldest = 0;
    get_alarm_list(&count, &oldest);
    for (int k = 0; k < count; ++k) {
      uint32_t s = 0, e = 0;
      if (get_alarm_info((oldest + k) % brin::disk::kAlarmRing, &s, &e) != 0) continue;
      if (e < from_ || s > to_) continue;
      out.push_back(Span{unix_from_rec(vp::rec_time_from_seconds(std::max(s, from_))),
                         unix_from_rec(vp::rec_time_from_seconds(std::min(e, to_))),
                         "Alarm " + std::to_string(out.size() + 1)});
    }
    return out;
  }

  int percent_done() const override {
    if (to_ <= from_ || last_ < from_) return 0;
    return static_cast<int>(std::min<uint64_t>(100, uint64_t{last_ - from_} * 100 / (to_ - from_)));
  }

 private:
  uint32_t from_, to_;
  uint32_t last_ = 0;
  bool done_ = false;
  std::vector<uint8_t> buffer_;
};

}  // namespace

namespace {

// The first line of a small sysfs file, without the blanks around it.
std::string sysfs_text(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return {};
  char buffer[256];
  const ssize_t n = ::read(fd, buffer, sizeof buffer - 1);
  ::close(fd);
  if (n <= 0) return {};
  std::string text(buffer, static_cast<size_t>(n));
  text = text.substr(0, text.find('\n'));
  const size_t first = text.find_first_not_of(" \t");
  const size_t last = text.find_last_not_of(" \t");
  return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

class DownloadedFileSource : public GopSource {
 public:
  bool open(const std::string& path, int year, int month, int day, std::string* error) {
    path_ = path;
    if (year < 2000 || year > 2255 || month < 1 || month > 12 || day < 1 || day > 31) {
      *error = "the day of the recording is not a date";
      return false;
    }
    if (!reader_.open(path.c_str())) {
      *error = "cannot open " + path + ": " + std::strerror(errno);
      return false;
    }
    uint8_t head[brin::dl::kPackHeaderBytes];
    uint32_t scr = 0;
    if (reader_.read_at(0, head, sizeof head) != sizeof head || !brin::dl::read_pack_header(head, sizeof head, &scr)) {
      *error = path + " is not a downloaded data file (no pack header)";
      return false;
    }
    midnight_ = unix_from_rec(vp::RecTime{static_cast<uint8_t>(year - 2000), static_cast<uint8_t>(month),
                                          static_cast<uint8_t>(day), 0, 0, 0});
    packet_.resize(brin::dl::kMaxPacketBytes);
    pcm_.resize(brin::dl::kAudioPcmBytes);
    find_runs();
    return true;
  }

  std::vector<Span> runs() const override { return runs_; }

  int next(SourceGop* gop) override {
    gop->frames.clear();
    gop->stored.clear();
    gop->damaged = false;
    gop->made_frames = true;
    UnixSeconds second = -1;
    brin::dl::Packet p;
    while (reader_.locate(position_, &p)) {
      // A unit is a second of pictures; the sound packets between them go
      // with the unit they lie in.
      const bool video = p.kind == brin::dl::kVideoPacket;
      const UnixSeconds at = video ? second_of(p) : second;
      if (video && second >= 0 && at != second) break;  // the next unit starts here
      if (video) {
        second = at;
        clock_.follow(p);
      }
      const size_t n = reader_.read(p, packet_.data(), p.length);
      gop->stored.insert(gop->stored.end(), packet_.data(), packet_.data() + n);
      position_ = p.position + static_cast<int64_t>(p.length);
      // The picture: the packet's data after its header (the header's own
      // length in byte 8), as far as the packet's size field reaches.
      if (!video) {
        // The sound: IMA ADPCM decoded as brinlib's player does, camera k
        // taking audio channel k, at its own second.
        if (p.kind == brin::dl::kAudioPacket && brin::dl::decode_audio_packet(packet_.data(), n, pcm_.data()))
          append_frame(gop, false, p.channel, p.has_time ? second_of(p) : second, pcm_.data(), pcm_.size(),
                       p.has_time ? within_us(p) : 0);
        continue;
      }
      if (n < 9 || second < 0) continue;
      const size_t start = 9 + static_cast<size_t>(packet_[8]);
      if (start >= n) continue;
      append_frame(gop, true, p.channel, at, packet_.data() + start, n - start);
    }
    if (second < 0) {
      // Sound alone to the end: nothing more to show.
      return 0;
    }
    const time_t t = static_cast<time_t>(second);
    std::tm tm{};
    gmtime_r(&t, &tm);
    gop->time = vp::RecTime{static_cast<uint8_t>(tm.tm_year + 1900 - 2000),
                            static_cast<uint8_t>(tm.tm_mon + 1),
                            static_cast<uint8_t>(tm.tm_mday),
                            static_cast<uint8_t>(tm.tm_hour),
                            static_cast<uint8_t>(tm.tm_min),
                            static_cast<uint8_t>(tm.tm_sec)};
    return 1;
  }

  std::string description() const override { return "downloaded data file " + path_; }

  int percent_done() const override {
    return reader_.size() > 0 ? static_cast<int>(std::min<int64_t>(100, position_ * 100 / reader_.size())) : 100;
  }

 private:
  // The file's recording runs, from its pictures' times, read ahead of the
  // export so that its files can be given their chapters from the start.
  void find_runs() {
    PacketClock clock;
    brin::dl::Packet p;
    for (int64_t at = static_cast<int64_t>(brin::dl::kDataStart); reader_.locate(at, &p);
         at = p.position + static_cast<int64_t>(p.length)) {
      if (p.kind != brin::dl::kVideoPacket) continue;
      extend_runs(&runs_, clock.second_of(p, midnight_));
      clock.follow(p);
    }
  }

  // The 90 kHz times of the packets, from midnight: the low 32 bits of 33,
  // so a span past 13 hours wraps and is carried on.
  struct PacketClock {
    uint32_t last_time = 0;
    uint32_t wraps = 0;
    bool seen = false;

    // The second of a packet; one without a time of its own is at the last
    // picture's time.
    UnixSeconds second_of(const brin::dl::Packet& p, UnixSeconds midnight) {
      const uint32_t time = p.has_time ? p.time : last_time;
      if (seen && time < last_time && last_time - time > 0x80000000u) wraps += 1;
      seen = true;
      const uint64_t ticks = (static_cast<uint64_t>(wraps) << 32) + time;
      return midnight + static_cast<UnixSeconds>(ticks / 90000);
    }
    // A picture's own time becomes the last picture's time.
    void follow(const brin::dl::Packet& p) {
      if (p.has_time) last_time = p.time;
    }
  };

  UnixSeconds second_of(const brin::dl::Packet& p) { return clock_.second_of(p, midnight_); }

  // A picture as a frame of the recorder's disk format (48-byte header:
  // video marker, second, length, the recorder's 30 pictures a second,
  // camera), which the export reads.
  // Microseconds from the packet's second to its time.
  static uint32_t within_us(const brin::dl::Packet& p) { return p.time % 90000 * 100 / 9; }

  static void append_frame(SourceGop* gop, bool video, int channel, UnixSeconds second, const uint8_t* es, size_t n,
                           uint32_t within = 0) {
    if (second < 0) return;  // sound before the first picture has no time yet
    uint8_t h[48] = {};
    h[0] = 0xFF;
    h[1] = video ? 0xFB : 0xFC;
    const auto put32 = [&](int at, uint32_t v) {
      for (int i = 0; i < 4; ++i) h[at + i] = static_cast<uint8_t>(v >> (8 * i));
    };
    put32(12, static_cast<uint32_t>(second));
    put32(16, static_cast<uint32_t>(n));
    put32(20, video ? 33333u : static_cast<uint32_t>(n / 2 * 125));  // 125 us a sample
    put32(24, within);
    h[34] = static_cast<uint8_t>(channel);
    gop->frames.insert(gop->frames.end(), h, h + sizeof h);
    gop->frames.insert(gop->frames.end(), es, es + n);
  }

  std::string path_;
  brin::dl::DataReader reader_;
  std::vector<uint8_t> packet_;
  std::vector<uint8_t> pcm_;
  int64_t position_ = static_cast<int64_t>(brin::dl::kDataStart);
  UnixSeconds midnight_ = 0;
  PacketClock clock_;
  std::vector<Span> runs_;
};

}  // namespace

std::unique_ptr<GopSource> open_downloaded_file(const std::string& path, int year, int month, int day,
                                                std::string* error) {
  auto s = std::make_unique<DownloadedFileSource>();
  if (!s->open(path, year, month, day, error)) return nullptr;
  return s;
}

DriveIdentity drive_identity(const std::string& device_path) {
  DriveIdentity id;
  char* real = ::realpath(device_path.c_str(), nullptr);
  if (!real) return id;
  std::string name = real;
  std::free(real);
  if (name.rfind("/dev/", 0) != 0) return id;  // an image file has none
  name = name.substr(5);
  const std::string device = "/sys/class/block/" + name + "/device/";
  id.model = sysfs_text(device + "model");
  id.serial = sysfs_text(device + "serial");
  if (id.serial.empty()) id.serial = sysfs_text(device + "wwid");
  return id;
}

std::unique_ptr<GopSource> open_copy_folder(const std::string& folder, std::string* error) {
  auto s = std::make_unique<CopyFolderSource>();
  if (!s->open(folder, error)) return nullptr;
  return s;
}

std::unique_ptr<GopSource> open_attached_disk(uint32_t from, uint32_t to, std::string* error) {
  if (to < from) {
    *error = "the span ends before it starts";
    return nullptr;
  }
  auto s = std::make_unique<DiskSource>(from, to);
  if (!s->open(error)) return nullptr;
  return s;
}

}  // namespace exporter
