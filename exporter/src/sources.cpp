// The sources an export reads GOP by GOP: a copy folder and the attached
// recorder disk.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
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
    for (const auto& r : records_) {
      const UnixSeconds t = unix_from_rec(r.time);
      if (out.empty() || t < out.back().end || t - out.back().end > kRunBreakSeconds) {
        out.push_back(Span{t, t, run_title(out.size() + 1)});
      } else {
        out.back().end = t;
      }
    }
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

}  // namespace

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
