// The export: GOPs from a source, their pictures into one file per camera,
// and the custody record.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <fstream>
#include <future>
#include <map>
#include <mutex>
#include <thread>

#include "alaw.h"
#include "container.h"
#include "exporter/exporter.h"
#include "mpeg4/decoder.h"
#include "record_parts.h"
#include "velmora/bytes.h"

namespace exporter {

namespace {

constexpr size_t kFrameHeaderBytes = 48;
constexpr uint16_t kVideoMagic = 0xFBFF;
constexpr uint16_t kAudioMagic = 0xFCFF;
constexpr int kCameras = 16;
constexpr int64_t kSecondUs = 1000000;
// A picture whose header gives no duration (or one past a second) counts as
// a thirtieth of a second, the recorder's fastest rate.
constexpr int64_t kDefaultPictureUs = 33333;
// The recorder's sound: G.711 A-law, 8000 samples a second.
constexpr int kSoundRate = 8000;

using vp::le16;
using vp::le32;

struct Frame {
  bool video = false;
  int camera = 0;  // 0 to 15
  UnixSeconds second = 0;
  int64_t duration_us = 0;
  int64_t within_us = 0;  // bytes 24 to 27, meaningful in made frames only
  const uint8_t* payload = nullptr;
  size_t bytes = 0;
};

// The frames of a GOP; false (and a reason) when any header is damaged.
bool split_frames(const std::vector<uint8_t>& gop, std::vector<Frame>* frames, std::string* reason) {
  frames->clear();
  size_t at = 0;
  while (at < gop.size()) {
    if (gop.size() - at < kFrameHeaderBytes) {
      *reason = "a frame header is cut short";
      return false;
    }
    const uint8_t* h = gop.data() + at;
    const uint16_t magic = le16(h);
    const uint32_t length = le32(h + 16);
    if (magic != kVideoMagic && magic != kAudioMagic) {
      *reason = "a frame header is damaged";
      return false;
    }
    if (length > gop.size() - at - kFrameHeaderBytes) {
      *reason = "a frame runs past the end of its GOP";
      return false;
    }
    Frame f;
    f.video = magic == kVideoMagic;
    f.camera = h[34];
    f.second = static_cast<int32_t>(le32(h + 12));
    f.duration_us = static_cast<int32_t>(le32(h + 20));
    f.within_us = static_cast<int32_t>(le32(h + 24));
    f.payload = h + kFrameHeaderBytes;
    f.bytes = length;
    if (f.video && (f.camera >= kCameras || length == 0)) {
      *reason = "a picture names no camera of the recorder, or is empty";
      return false;
    }
    frames->push_back(f);
    at += kFrameHeaderBytes + length;
  }
  return true;
}

// Where the first picture (VOP) starts in an MPEG-4 Visual payload; n when
// there is none.
size_t vop_start(const uint8_t* p, size_t n) {
  for (size_t i = 0; i + 3 < n; ++i) {
    if (p[i] == 0 && p[i + 1] == 0 && p[i + 2] == 1 && p[i + 3] == 0xB6) return i;
  }
  return n;
}

bool is_intra(const uint8_t* p, size_t n) {
  const size_t at = vop_start(p, n);
  return at + 4 < n && (p[at + 4] >> 6) == 0;
}

bool file_exists(const std::string& path) {
  struct stat st {};
  return ::lstat(path.c_str(), &st) == 0;
}

// One camera's file while it is written.
struct CameraState {
  CameraFile file;
  ContainerWriter writer;
  bool open = false;
  UnixSeconds start = 0;             // the file's time zero
  UnixSeconds second = -1;           // the second of the last picture
  int64_t offset_us = 0;             // into that second
  uint64_t waiting_for_headers = 0;  // pictures passed over before the stream headers came
  UnixSeconds sound_second = -1;     // the second of the last sound frame
  int64_t sound_offset_us = 0;
};

// Hashes the source GOPs' bytes on a thread of its own while the export
// goes on writing, so hashing and writing share the processors. A GOP's
// buffer is taken over rather than copied, and a used buffer goes back to
// the source for its next GOP.
class GopHasher {
 public:
  GopHasher() : thread_([this] { work(); }) {}
  ~GopHasher() { finish(); }
  GopHasher(const GopHasher&) = delete;
  GopHasher& operator=(const GopHasher&) = delete;

  // Takes the bytes of GOP `index`; `bytes` is left holding a spare buffer.
  void add(size_t index, std::vector<uint8_t>* bytes) {
    std::unique_lock<std::mutex> lock(mutex_);
    // Hashing is faster than writing; the bound only keeps a stalled
    // hasher from holding the whole span in memory.
    room_.wait(lock, [&] { return pending_bytes_ < kMaxPendingBytes; });
    pending_bytes_ += bytes->size();
    jobs_.push_back(Job{index, std::move(*bytes)});
    *bytes = std::vector<uint8_t>();
    if (!spare_.empty()) {
      bytes->swap(spare_.back());
      spare_.pop_back();
    }
    bytes->clear();
    work_.notify_one();
  }

  // Waits for every hash; hashes()[i] is the hash of GOP i.
  const std::vector<std::string>& finish() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      done_ = true;
    }
    work_.notify_one();
    if (thread_.joinable()) thread_.join();
    return hashes_;
  }

 private:
  struct Job {
    size_t index = 0;
    std::vector<uint8_t> bytes;
  };
  static constexpr size_t kMaxPendingBytes = 64u << 20;
  static constexpr size_t kMaxSpare = 4;

  void work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      work_.wait(lock, [&] { return done_ || !jobs_.empty(); });
      if (jobs_.empty()) return;
      Job job = std::move(jobs_.front());
      jobs_.pop_front();
      lock.unlock();
      const std::string hash = sha256_hex(job.bytes.data(), job.bytes.size());
      lock.lock();
      if (hashes_.size() <= job.index) hashes_.resize(job.index + 1);
      hashes_[job.index] = hash;
      pending_bytes_ -= job.bytes.size();
      if (spare_.size() < kMaxSpare) spare_.push_back(std::move(job.bytes));
      room_.notify_one();
    }
  }

  std::mutex mutex_;
  std::condition_variable work_, room_;
  std::deque<Job> jobs_;
  std::vector<std::vector<uint8_t>> spare_;
  std::vector<std::string> hashes_;
  size_t pending_bytes_ = 0;
  bool done_ = false;
  std::thread thread_;
};

class Exporter {
 public:
  Exporter(GopSource& source, const Options& options) : source_(source), options_(options) {}

  Result run() {
    result_.started = now_iso();
    result_.source = source_.description();
    runs_ = source_.runs();
    alarms_ = source_.alarms();
    SourceGop gop;
    std::vector<Frame> frames;
    int shown = -1;
    for (;;) {
      const int r = source_.next(&gop);
      if (r == 0) break;
      if (r < 0) return fail(source_.error().empty() ? "the source could not be read" : source_.error());
      GopEntry entry;
      entry.time = gop.time;
      entry.recovered = gop.recovered;
      std::vector<uint8_t>& stored = gop.stored.empty() ? gop.frames : gop.stored;
      entry.bytes = stored.size();
      if (gop.damaged) {
        entry.left_out = true;
        entry.reason = "the source could not read it whole";
      } else if (!split_frames(gop.frames, &frames, &entry.reason)) {
        entry.left_out = true;
      } else {
        for (const Frame& f : frames) {
          if (!(f.video ? add_picture(f, frames) : add_sound(f, gop.made_frames))) return fail(error_);
        }
      }
      // The pictures are written: the bytes can go to be hashed.
      hasher_.add(result_.gops.size(), &stored);
      result_.gops.push_back(entry);
      const int percent = source_.percent_done();
      if (options_.progress && percent != shown) options_.progress(shown = percent);
    }
    const std::vector<std::string>& hashes = hasher_.finish();
    for (size_t i = 0; i < result_.gops.size() && i < hashes.size(); ++i) result_.gops[i].sha256 = hashes[i];
    for (auto& [camera, state] : cameras_) {
      if (!state.open) continue;
      std::string error;
      if (!state.writer.close(&error)) return fail(error);
      state.open = false;
      result_.files.push_back(state.file);
    }
    // The cameras' files are hashed side by side.
    if (!merging()) {
      std::vector<std::future<std::string>> file_hashes;
      for (const CameraFile& f : result_.files)
        file_hashes.push_back(std::async(std::launch::async, [path = f.path] { return sha256_file(path); }));
      for (size_t i = 0; i < result_.files.size(); ++i) result_.files[i].sha256 = file_hashes[i].get();
    }
    if (result_.files.empty()) return fail("the span holds no picture that can be exported");
    if (merging() && !merge_files()) return fail(error_);
    result_.finished = now_iso();
    if (!write_record()) return fail(error_);
    if (options_.progress && shown != 100) options_.progress(100);
    result_.ok = true;
    return result_;
  }

 private:
  Result fail(const std::string& error) {
    for (auto& [camera, state] : cameras_) state.writer.discard();
    result_.ok = false;
    result_.error = error;
    result_.finished = now_iso();
    return result_;
  }

  bool merging() const { return options_.one_file && options_.format == Format::kMatroska; }

  // The cameras' files as the tracks of one file, which takes their place.
  bool merge_files() {
    UnixSeconds start = result_.files.front().first;
    for (const CameraFile& f : result_.files) start = std::min(start, f.first);
    std::vector<TrackInput> inputs;
    for (const CameraFile& f : result_.files)
      inputs.push_back(TrackInput{f.path, (f.first - start) * kSecondUs, f.camera});
    const std::string path = file_name(0, start);
    if (!merge_tracks(inputs, path, iso_utc(start, "%Y-%m-%dT%H:%M:%S.000000Z"), chapters_from(start), &error_))
      return false;
    const std::string hash = sha256_file(path);
    for (CameraFile& f : result_.files) {
      std::remove(f.path.c_str());
      f.path = path;
      f.sha256 = hash;
    }
    return true;
  }

  // "<name>_camNN_<start>.<ext>", or for camera 0 (every camera in one
  // file) "<name>_cameras_<start>.<ext>".
  std::string file_name(int camera, UnixSeconds start) const {
    char cam[24];
    std::snprintf(cam, sizeof cam, camera ? "_cam%02d_" : "_cameras_", camera);
    const std::string base = options_.folder + "/" + options_.name + cam + iso_utc(start, "%Y-%m-%dT%H-%M-%S");
    const std::string ext = std::string(".") + extension(options_.format);
    // An earlier export of the same span stays as it is.
    std::string path = base + ext;
    for (int n = 2; file_exists(path) || file_exists(path + ".part"); ++n) path = base + "_" + std::to_string(n) + ext;
    return path;
  }

  std::vector<Chapter> chapters_from(UnixSeconds start) const {
    std::vector<Chapter> out;
    auto add = [&](const Span& s) {
      const int64_t end_us = (s.end + 1 - start) * kSecondUs;
      if (end_us <= 0) return;
      out.push_back(Chapter{std::max<int64_t>(0, (s.start - start) * kSecondUs), end_us, s.title});
    };
    for (const Span& s : runs_) add(s);
    for (const Span& s : alarms_) add(s);
    std::stable_sort(out.begin(), out.end(),
                     [](const Chapter& a, const Chapter& b) { return a.start_us < b.start_us; });
    return out;
  }

  bool open_camera(CameraState& st, const Frame& f, const std::vector<Frame>& gop) {
    const size_t headers = vop_start(f.payload, f.bytes);
    int width = 0, height = 0;
    if (headers == 0 || headers >= f.bytes || !mpeg4::probe_video_object_layer(f.payload, headers, &width, &height))
      return false;
    st.start = f.second;
    st.file.camera = f.camera + 1;
    st.file.path = file_name(st.file.camera, f.second);
    st.file.first = f.second;
    // Sound goes with the camera of the same number.
    const bool sound =
        std::any_of(gop.begin(), gop.end(), [&](const Frame& a) { return !a.video && a.camera == f.camera; });
    if (!st.writer.open(st.file.path, options_.format, f.payload, headers, width, height, sound, kSoundRate,
                        iso_utc(f.second, "%Y-%m-%dT%H:%M:%S.000000Z"), chapters_from(f.second), &error_))
      return false;
    st.open = true;
    return true;
  }

  bool add_sound(const Frame& f, bool made) {
    const auto it = cameras_.find(f.camera);
    if (it == cameras_.end() || !it->second.open || !it->second.writer.has_sound()) return true;
    CameraState& st = it->second;
    if (f.second < st.start) return true;
    if (f.second != st.sound_second) {
      st.sound_second = f.second;
      st.sound_offset_us = 0;
    }
    // A made frame gives its own time within the second.
    if (made && f.within_us >= 0 && f.within_us < kSecondUs) st.sound_offset_us = f.within_us;
    std::vector<int16_t> samples(f.bytes);
    size_t count = 0;
    if (made) {
      for (; 2 * count + 1 < f.bytes; ++count)
        samples[count] = static_cast<int16_t>(f.payload[2 * count] | (f.payload[2 * count + 1] << 8));
    } else {
      count = ovo::expand_audio_payload(f.payload, f.bytes, samples.data());
    }
    if (count == 0) return true;
    if (!st.writer.write_sound(samples.data(), count, (f.second - st.start) * kSecondUs + st.sound_offset_us, &error_))
      return false;
    st.sound_offset_us += static_cast<int64_t>(count) * kSecondUs / kSoundRate;
    st.file.sound_samples += count;
    return true;
  }

  bool add_picture(const Frame& f, const std::vector<Frame>& gop) {
    CameraState& st = cameras_[f.camera];
    if (!st.open) {
      // A file starts at a picture that carries the stream headers, which
      // a player needs before it can show anything.
      if (!open_camera(st, f, gop)) {
        if (!error_.empty()) return false;
        ++st.waiting_for_headers;
        return true;
      }
    }
    if (f.second != st.second) {
      if (st.second >= 0 && f.second > st.second + 1) st.file.gaps.push_back(Gap{st.second, f.second});
      st.second = f.second;
      st.offset_us = 0;
      if (!st.writer.write_cue(clock_text(f.second), (f.second - st.start) * kSecondUs, kSecondUs, &error_))
        return false;
    }
    const int64_t duration = f.duration_us > 0 && f.duration_us <= kSecondUs ? f.duration_us : kDefaultPictureUs;
    const int64_t pts = (f.second - st.start) * kSecondUs + st.offset_us;
    if (!st.writer.write_picture(f.payload, f.bytes, pts, duration, is_intra(f.payload, f.bytes), &error_))
      return false;
    st.offset_us += duration;
    st.file.last = f.second;
    ++st.file.pictures;
    return true;
  }

  bool write_record() {
    const std::string base = result_.files.front().path;
    result_.record_json = base + ".json";
    result_.record_text = base + ".txt";
    UnixSeconds first = result_.files.front().first, last = result_.files.front().last;
    for (const CameraFile& f : result_.files) {
      first = std::min(first, f.first);
      last = std::max(last, f.last);
    }
    size_t left_out = 0;
    for (const GopEntry& g : result_.gops) left_out += g.left_out ? 1 : 0;

    std::string j = "{\n";
    j += "  \"program\": " + json_text(options_.program) + ",\n";
    j += "  \"user\": " + json_text(user_name()) + ",\n";
    j += "  \"started\": " + json_text(result_.started) + ",\n";
    j += "  \"finished\": " + json_text(result_.finished) + ",\n";
    j += "  \"source\": {\"description\": " + json_text(result_.source) +
         ", \"path\": " + json_text(options_.source_path) + ", \"sha256\": " + json_text(options_.source_sha256) +
         ", \"model\": " + json_text(options_.source_model) + ", \"serial\": " + json_text(options_.source_serial) +
         ", \"day\": " + json_text(options_.source_day) + "},\n";
    j += "  \"span_asked\": {\"from\": " + json_text(options_.asked_from ? clock_text(options_.asked_from) : "") +
         ", \"to\": " + json_text(options_.asked_to ? clock_text(options_.asked_to) : "") + "},\n";
    j += "  \"span_written\": {\"from\": " + json_text(clock_text(first)) + ", \"to\": " + json_text(clock_text(last)) +
         "},\n";
    j += "  \"files\": [\n";
    for (size_t i = 0; i < result_.files.size(); ++i) {
      const CameraFile& f = result_.files[i];
      const size_t slash = f.path.find_last_of('/');
      j += "    {\"camera\": " + std::to_string(f.camera) +
           ", \"file\": " + json_text(slash == std::string::npos ? f.path : f.path.substr(slash + 1)) +
           ", \"sha256\": " + json_text(f.sha256) + ", \"pictures\": " + std::to_string(f.pictures) +
           ", \"sound_samples\": " + std::to_string(f.sound_samples) +
           ", \"first\": " + json_text(clock_text(f.first)) + ", \"last\": " + json_text(clock_text(f.last)) +
           ", \"gaps\": [";
      for (size_t g = 0; g < f.gaps.size(); ++g) {
        j += std::string(g ? ", " : "") + "{\"after\": " + json_text(clock_text(f.gaps[g].after)) +
             ", \"before\": " + json_text(clock_text(f.gaps[g].before)) + "}";
      }
      j += std::string("]}") + (i + 1 < result_.files.size() ? "," : "") + "\n";
    }
    j += "  ],\n  \"gops\": [\n";
    for (size_t i = 0; i < result_.gops.size(); ++i) {
      const GopEntry& g = result_.gops[i];
      j += "    {\"time\": " + json_text(clock_text(unix_from_rec(g.time))) +
           ", \"bytes\": " + std::to_string(g.bytes) + ", \"sha256\": " + json_text(g.sha256) +
           ", \"left_out\": " + (g.left_out ? "true" : "false") + (g.recovered ? ", \"recovered\": true" : "") +
           (g.left_out ? ", \"reason\": " + json_text(g.reason) : std::string()) + "}" +
           (i + 1 < result_.gops.size() ? "," : "") + "\n";
    }
    j += "  ]\n}\n";

    std::string t;
    t += "Export of recordings\n\n";
    t += "Program:  " + options_.program + "\nUser:     " + user_name() + "\n";
    t += "Started:  " + result_.started + "\nFinished: " + result_.finished + "\n\n";
    t += "Source:   " + result_.source + "\n";
    if (!options_.source_path.empty()) t += "          " + options_.source_path + "\n";
    if (!options_.source_sha256.empty()) t += "          SHA-256 " + options_.source_sha256 + "\n";
    if (!options_.source_model.empty() || !options_.source_serial.empty())
      t += "          drive model " + options_.source_model + ", serial " + options_.source_serial + "\n";
    if (options_.asked_from || options_.asked_to)
      t += "Asked:    " + clock_text(options_.asked_from) + " - " + clock_text(options_.asked_to) + "\n";
    t += "Written:  " + clock_text(first) + " - " + clock_text(last) + "\n\n";
    for (const CameraFile& f : result_.files) {
      t += "Camera " + std::to_string(f.camera) + ": " + f.path + "\n";
      t += "  " + std::to_string(f.pictures) + " pictures, " + clock_text(f.first) + " - " + clock_text(f.last) + "\n";
      t += !f.sound_samples ? std::string("  sound: none\n")
                            : "  sound: " + std::to_string(f.sound_samples) + " samples, 8000 a second (" +
                                  (options_.format == Format::kMp4 ? "Apple Lossless" : "16-bit PCM") + ")\n";
      for (const Gap& g : f.gaps) t += "  gap after " + clock_text(g.after) + " until " + clock_text(g.before) + "\n";
      t += "  SHA-256 " + f.sha256 + "\n";
    }
    t += "\nGOPs read: " + std::to_string(result_.gops.size()) + ", left out: " + std::to_string(left_out) + "\n";
    const auto recovered =
        std::count_if(result_.gops.begin(), result_.gops.end(), [](const GopEntry& g) { return g.recovered; });
    if (recovered)
      t += "Recovered: " + std::to_string(recovered) +
           " GOPs were found by a scan of the disk where its index no longer names them\n";
    for (const GopEntry& g : result_.gops) {
      if (g.left_out) t += "  left out: " + clock_text(unix_from_rec(g.time)) + " (" + g.reason + ")\n";
    }
    t += "The SHA-256 of every GOP read is in the JSON record.\n";

    for (const auto& [path, text] : {std::pair{result_.record_json, j}, std::pair{result_.record_text, t}}) {
      std::ofstream out(path, std::ios::binary | std::ios::trunc);
      out << text;
      out.close();
      if (!out) {
        error_ = "cannot write " + path + ": " + std::strerror(errno);
        return false;
      }
    }
    return true;
  }

  GopSource& source_;
  const Options& options_;
  Result result_;
  std::vector<Span> runs_, alarms_;
  std::map<int, CameraState> cameras_;
  std::string error_;
  GopHasher hasher_;
};

}  // namespace

const char* extension(Format f) { return f == Format::kMp4 ? "mp4" : "mkv"; }

UnixSeconds unix_from_rec(const vp::RecTime& t) {
  // Days from 1970-01-01 of a calendar date (proleptic Gregorian).
  const int y = 2000 + t.year - (t.month <= 2 ? 1 : 0);
  const int era = y / 400;
  const int yoe = y - era * 400;
  const int mp = (t.month + 9) % 12;
  const int doy = (153 * mp + 2) / 5 + t.day - 1;
  const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  const int64_t days = static_cast<int64_t>(era) * 146097 + doe - 719468;
  return days * 86400 + t.hour * 3600 + t.minute * 60 + t.second;
}

std::string clock_text(UnixSeconds s) { return iso_utc(s, "%Y/%m/%d %H:%M:%S"); }

Result export_video(GopSource& source, const Options& options) { return Exporter(source, options).run(); }

}  // namespace exporter
