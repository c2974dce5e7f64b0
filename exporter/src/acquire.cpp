// Acquisition of a whole disk into an image file, and the check of an image
// against its record.
#include "exporter/acquire.h"

#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <future>
#include <sstream>

#include "exporter/custody.h"
#include "exporter/exporter.h"
#include "record_parts.h"

namespace exporter {

namespace {

// Read in pieces of this size: large enough that the device streams, small
// enough that a bad sector costs little to find.
constexpr size_t kPieceBytes = 4u << 20;

std::string base_name(const std::string& path) {
  const size_t slash = path.find_last_of('/');
  return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool write_all(int fd, const uint8_t* p, size_t n) {
  while (n > 0) {
    const ssize_t w = ::write(fd, p, n);
    if (w < 0 && errno == EINTR) continue;
    if (w <= 0) return false;
    p += w;
    n -= static_cast<size_t>(w);
  }
  return true;
}

bool write_text(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
  out.close();
  return static_cast<bool>(out);
}

// The kernel's read-only mark of a block device, set for the acquisition
// and put back as it was afterwards. The device is opened read-only for the
// mark as for the reads; setting it needs the administrator's rights.
class ReadOnlyMark {
 public:
  ReadOnlyMark(const std::string& path, AcquireResult* r) {
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    int was = 0;
    if (fd_ < 0 || ::ioctl(fd_, BLKROGET, &was) != 0) {
      r->read_only_note = std::string("the read-only mark could not be read: ") + std::strerror(errno);
      return;
    }
    if (was) {
      r->marked_read_only = true;
      r->read_only_note = "the device was already marked read-only";
      return;
    }
    int on = 1;
    if (::ioctl(fd_, BLKROSET, &on) != 0) {
      r->read_only_note = std::string("the device could not be marked read-only: ") + std::strerror(errno);
      return;
    }
    set_ = true;
    r->marked_read_only = true;
    r->read_only_note = "the device was marked read-only for the acquisition and its mark put back afterwards";
  }
  ~ReadOnlyMark() {
    if (set_) {
      int off = 0;
      ::ioctl(fd_, BLKROSET, &off);
    }
    if (fd_ >= 0) ::close(fd_);
  }
  ReadOnlyMark(const ReadOnlyMark&) = delete;
  ReadOnlyMark& operator=(const ReadOnlyMark&) = delete;

 private:
  int fd_ = -1;
  bool set_ = false;
};

class Acquisition {
 public:
  explicit Acquisition(const AcquireOptions& options) : options_(options) {}

  AcquireResult run() {
    r_.started = now_iso();
    if (options_.device.empty() || options_.output.empty()) return fail("a device and an image file are needed");
    struct stat st {};
    if (::stat(options_.device.c_str(), &st) != 0)
      return fail("cannot open " + options_.device + ": " + std::strerror(errno));
    r_.block_device = S_ISBLK(st.st_mode);
    const DriveIdentity id = drive_identity(options_.device);
    r_.model = id.model;
    r_.serial = id.serial;

    vp::Drive own;
    vp::Drive* drive = options_.drive;
    if (!drive) {
      if (!own.open_path(options_.device)) return fail("cannot open " + options_.device + ": " + std::strerror(errno));
      drive = &own;
    }
    vp::DriveGeometry g;
    if (!drive->geometry(&g) || g.bytes_per_sector == 0)
      return fail(options_.device + " is neither a disk nor a disk image (no geometry)");
    r_.size_bytes = g.size_bytes;
    r_.sector_bytes = g.bytes_per_sector;

    // The image is written under a temporary name, never over anything.
    const std::string part = options_.output + ".part";
    struct stat existing {};
    if (::lstat(options_.output.c_str(), &existing) == 0) return fail(options_.output + " already exists");
    out_ = ::open(part.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (out_ < 0) return fail("cannot create " + part + ": " + std::strerror(errno));

    std::unique_ptr<ReadOnlyMark> mark;
    if (r_.block_device) {
      mark = std::make_unique<ReadOnlyMark>(options_.device, &r_);
    } else {
      r_.read_only_note = "an image file, opened read-only";
    }
    const bool copied = copy(*drive);
    mark.reset();
    const bool closed = ::close(out_) == 0;
    out_ = -1;
    if (!copied || !closed) {
      ::unlink(part.c_str());
      return fail(error_.empty() ? "cannot write " + part + ": " + std::strerror(errno) : error_);
    }
    if (::rename(part.c_str(), options_.output.c_str()) != 0) {
      const std::string why = std::strerror(errno);
      ::unlink(part.c_str());
      return fail("cannot name " + options_.output + ": " + why);
    }
    r_.finished = now_iso();
    if (!write_records()) {
      return fail(error_);
    }
    r_.ok = true;
    return r_;
  }

 private:
  AcquireResult fail(const std::string& error) {
    if (out_ >= 0) ::close(out_);
    out_ = -1;
    r_.ok = false;
    r_.error = error;
    r_.finished = now_iso();
    return r_;
  }

  // Reads the device piece by piece. Each piece read is hashed and written
  // by a helper thread while the next one is read, so the device, the hash
  // and the image file all keep moving.
  bool copy(vp::Drive& drive) {
    std::vector<uint8_t> buffers[2] = {std::vector<uint8_t>(kPieceBytes), std::vector<uint8_t>(kPieceBytes)};
    std::future<bool> writing;
    int which = 0;
    for (uint64_t at = 0; at < r_.size_bytes; at += kPieceBytes) {
      const size_t n = static_cast<size_t>(std::min<uint64_t>(kPieceBytes, r_.size_bytes - at));
      std::vector<uint8_t>& buffer = buffers[which];
      which ^= 1;
      read_piece(drive, at, buffer.data(), n);
      if (writing.valid() && !writing.get()) return false;
      writing = std::async(std::launch::async, [this, &buffer, n] {
        if (!hash_.update(buffer.data(), n)) {
          error_ = "the image could not be hashed";
          return false;
        }
        if (!write_all(out_, buffer.data(), n)) {
          error_ = "cannot write " + options_.output + ".part: " + std::strerror(errno);
          return false;
        }
        return true;
      });
      if (options_.progress) options_.progress(at + n, r_.size_bytes);
      if (options_.cancelled && options_.cancelled()) {
        writing.get();
        error_ = "the acquisition was stopped";
        return false;
      }
    }
    if (writing.valid() && !writing.get()) return false;
    r_.sha256 = hash_.finish();
    if (r_.sha256.empty()) error_ = "the image could not be hashed";
    return !r_.sha256.empty();
  }

  // A piece that reads in one go is done; otherwise each of its sectors is
  // read on its own, tried again, and at last given as zeros and listed.
  void read_piece(vp::Drive& drive, uint64_t at, uint8_t* p, size_t n) {
    if (drive.read_at(at, p, n) == vp::kDriveReadOk) return;
    const uint32_t sector = r_.sector_bytes;
    for (size_t done = 0; done < n; done += sector) {
      const size_t len = std::min<size_t>(sector, n - done);
      bool read = false;
      for (int attempt = 0; attempt <= options_.retries && !read; ++attempt) {
        read = drive.read_at(at + done, p + done, len) == vp::kDriveReadOk;
        if (read && attempt > 0) ++r_.retried_sectors;
      }
      if (read) continue;
      std::memset(p + done, 0, len);
      const uint64_t number = (at + done) / sector;
      if (!r_.unreadable.empty() && r_.unreadable.back().first + r_.unreadable.back().count == number) {
        ++r_.unreadable.back().count;
      } else {
        r_.unreadable.push_back(SectorRange{number, 1});
      }
    }
  }

  bool write_records() {
    const std::string name = base_name(options_.output);
    r_.sha256_path = options_.output + ".sha256";
    r_.record_json = options_.output + ".json";
    r_.record_text = options_.output + ".txt";
    uint64_t bad = 0;
    for (const SectorRange& s : r_.unreadable) bad += s.count;

    std::string j = "{\n  \"kind\": \"disk image acquisition\",\n";
    j += "  \"program\": " + json_text(options_.program) + ",\n";
    j += "  \"user\": " + json_text(user_name()) + ",\n";
    j += "  \"started\": " + json_text(r_.started) + ",\n";
    j += "  \"finished\": " + json_text(r_.finished) + ",\n";
    j += "  \"device\": {\"path\": " + json_text(options_.device) + ", \"model\": " + json_text(r_.model) +
         ", \"serial\": " + json_text(r_.serial) + ", \"block_device\": " + (r_.block_device ? "true" : "false") +
         ", \"bytes\": " + std::to_string(r_.size_bytes) + ", \"sector_bytes\": " + std::to_string(r_.sector_bytes) +
         ", \"marked_read_only\": " + (r_.marked_read_only ? "true" : "false") +
         ", \"read_only_note\": " + json_text(r_.read_only_note) + "},\n";
    j += "  \"image\": {\"file\": " + json_text(name) + ", \"bytes\": " + std::to_string(r_.size_bytes) +
         ", \"sha256\": " + json_text(r_.sha256) + "},\n";
    j += "  \"retried_sectors\": " + std::to_string(r_.retried_sectors) + ",\n";
    j += "  \"unreadable_sectors\": " + std::to_string(bad) + ",\n";
    j += "  \"unreadable\": [";
    for (size_t i = 0; i < r_.unreadable.size(); ++i) {
      j += std::string(i ? ", " : "") + "{\"first\": " + std::to_string(r_.unreadable[i].first) +
           ", \"count\": " + std::to_string(r_.unreadable[i].count) + "}";
    }
    j += "]\n}\n";

    std::string t = "Disk image acquisition\n\n";
    t += "Program:  " + options_.program + "\nUser:     " + user_name() + "\n";
    t += "Started:  " + r_.started + "\nFinished: " + r_.finished + "\n\n";
    t += "Device:   " + options_.device + (r_.block_device ? "" : " (an image file)") + "\n";
    if (!r_.model.empty() || !r_.serial.empty()) t += "          model " + r_.model + ", serial " + r_.serial + "\n";
    t +=
        "          " + std::to_string(r_.size_bytes) + " bytes, " + std::to_string(r_.sector_bytes) + "-byte sectors\n";
    t += "          " + r_.read_only_note + "\n\n";
    t += "Image:    " + name + "\n          SHA-256 " + r_.sha256 + "\n\n";
    t += "Sectors read only after a retry: " + std::to_string(r_.retried_sectors) + "\n";
    t += "Sectors unreadable (zeros in the image): " + std::to_string(bad) + "\n";
    for (const SectorRange& s : r_.unreadable) {
      t += "  " + std::to_string(s.first) +
           (s.count > 1 ? " to " + std::to_string(s.first + s.count - 1) : std::string()) + "\n";
    }

    if (!write_text(r_.sha256_path, r_.sha256 + "  " + name + "\n") || !write_text(r_.record_json, j) ||
        !write_text(r_.record_text, t)) {
      error_ = "cannot write the record beside " + options_.output + ": " + std::strerror(errno);
      return false;
    }
    return true;
  }

  const AcquireOptions& options_;
  AcquireResult r_;
  Sha256 hash_;
  int out_ = -1;
  std::string error_;
};

uint64_t number_of(const Json& v) {
  if (v.kind != Json::Kind::kNumber) return 0;
  return std::strtoull(v.text.c_str(), nullptr, 10);
}

}  // namespace

AcquireResult acquire_image(const AcquireOptions& options) { return Acquisition(options).run(); }

AcquisitionRecord read_acquisition_record(const std::string& image) {
  AcquisitionRecord a;
  std::ifstream in(image + ".json", std::ios::binary);
  if (!in) {
    a.error = "cannot read " + image + ".json: " + std::strerror(errno);
    return a;
  }
  std::stringstream text;
  text << in.rdbuf();
  Json record;
  if (!parse_json(text.str(), &record, &a.error)) {
    a.error = image + ".json is not an acquisition record: " + a.error;
    return a;
  }
  if (record["kind"].str() != "disk image acquisition" || record["image"]["sha256"].str().size() != 64) {
    a.error = image + ".json is not an acquisition record";
    return a;
  }
  a.read = true;
  a.program = record["program"].str();
  a.user = record["user"].str();
  a.started = record["started"].str();
  a.finished = record["finished"].str();
  const Json& device = record["device"];
  a.device = device["path"].str();
  a.model = device["model"].str();
  a.serial = device["serial"].str();
  a.read_only_note = device["read_only_note"].str();
  a.sha256 = record["image"]["sha256"].str();
  a.bytes = number_of(record["image"]["bytes"]);
  a.retried_sectors = number_of(record["retried_sectors"]);
  a.unreadable_sectors = number_of(record["unreadable_sectors"]);
  return a;
}

ImageCheck verify_image(const std::string& image) {
  ImageCheck c;
  const AcquisitionRecord record = read_acquisition_record(image);
  if (!record.read) {
    c.error = record.error;
    return c;
  }
  c.read = true;
  c.recorded_sha256 = record.sha256;
  c.recorded_bytes = record.bytes;
  c.unreadable_sectors = record.unreadable_sectors;
  struct stat st {};
  if (::stat(image.c_str(), &st) == 0) c.actual_bytes = static_cast<uint64_t>(st.st_size);
  c.size_matches = c.actual_bytes == c.recorded_bytes;
  c.actual_sha256 = sha256_file(image);
  c.sha256_matches = !c.actual_sha256.empty() && c.actual_sha256 == c.recorded_sha256;
  std::ifstream sum(image + ".sha256", std::ios::binary);
  std::string line;
  std::getline(sum, line);
  c.sum_file_matches = line == c.recorded_sha256 + "  " + base_name(image);
  return c;
}

}  // namespace exporter
