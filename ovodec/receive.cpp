#include "receive.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <vector>

#include "presenter.h"
#include "sound_out.h"
#include "velmora/clock.h"
#include "velmora/message.h"
#include "video_decoder.h"
#include "worker.h"

namespace ovo {
namespace {

// Ovo_receive_stop1 waits 20 ms, then up to 40 times 50 ms, for the thread.
constexpr uint32_t kStopWaitMs = 20 + 40 * 50;
// Ovo_receive_start1 waits this long at most for the new thread to run.
constexpr uint32_t kStartWaitMs = 100;
// The record source is a callback that gives no notice of new records: it is
// asked again after these pauses (waiting for the stream headers, and with
// nothing queued). A stop ends each pause at once.
constexpr uint32_t kHeaderPollMs = 10;
constexpr uint32_t kSourcePollMs = 2;
// The design's pause after each record handled, which leaves the processor
// to the source's producer between records.
constexpr uint32_t kRecordPauseMs = 1;
// A paused thread is woken by every run-state change; this is a fallback only.
constexpr uint32_t kPausedCheckMs = 100;

constexpr const char* kDumpFile = "pcdec.yuv";
// "The folder name is invalid."
constexpr const char* kInvalidFolderText = "フォルダ名が不正です";

}  // namespace

bool is_key_frame_payload(const uint8_t* payload, size_t size) {
  return size >= 4 && payload[0] == 0 && payload[1] == 0 && payload[2] == 1 && payload[3] == 0;
}

ptrdiff_t find_video_object_layer(const uint8_t* data, size_t size) {
  for (size_t i = 0; i + 3 < size; ++i) {
    if (data[i] == 0 && data[i + 1] == 0 && data[i + 2] == 1 && (data[i + 3] & 0xF0) == 0x20) {
      return static_cast<ptrdiff_t>(i);
    }
  }
  return -1;
}

bool valid_frame_record(const uint8_t* record, size_t size, FrameHeader* header) {
  if (size < kFrameHeaderBytes) return false;
  *header = read_frame_header(record);
  return header->payload_length <= size - kFrameHeaderBytes;
}

Receiver::Receiver(const Locks& locks, WorkerSlot& worker, Presentation& presentation, SoundOut& (*sound)())
    : locks_(locks), worker_(worker), presentation_(presentation), sound_(sound) {}

void Receiver::set_run_state(int32_t state) {
  run_state_.store(state);
  worker_.signal().notify();
}

Receiver::~Receiver() {
  stop_mark_.store(1);
  run_state_.store(kRunStopped);
  worker_.signal().notify();
  worker_.join();
}

std::string Receiver::host() const {
  std::lock_guard<std::mutex> lock(settings_lock_);
  return host_;
}

void Receiver::set_source(OvoReceiveSource source, void* context) {
  std::lock_guard<std::mutex> lock(settings_lock_);
  source_ = source;
  source_context_ = context;
}

int32_t Receiver::start(const char* host, int32_t port_a, int32_t port_b, int32_t window) {
  const std::string name = host ? host : "";
  if (name.size() > kMaxHostChars) return -1;
  {
    std::lock_guard<std::mutex> lock(settings_lock_);
    host_ = name;
    port_a_ = port_a;
    port_b_ = port_b;
  }
  window_.store(window);
  if (worker_.running() == WorkerKind::kNone) {
    stop_mark_.store(0);
    // Running from the start, so that a stop right after this call is seen.
    run_state_.store(kRunRunning);
    thread_started_.store(false);
    if (!worker_.try_start(WorkerKind::kReceive, [this] { thread_main(); })) run_state_.store(kRunStopped);
  }
  sound_().open(8000, 16, 1);
  worker_.signal().wait_for(kStartWaitMs,
                            [this] { return thread_started_.load() || worker_.running() != WorkerKind::kReceive; });
  return 0;
}

int32_t Receiver::stop() {
  if (run_state_.load() != kRunStopped || worker_.running() == WorkerKind::kReceive) {
    stop_mark_.store(1);
    run_state_.store(kRunStopped);
    worker_.signal().notify();
    worker_.signal().wait_for(kStopWaitMs, [this] { return worker_.running() != WorkerKind::kReceive; });
  }
  if (worker_.running() == WorkerKind::kNone) worker_.join();
  return 0;
}

int32_t Receiver::record_open(const char* directory, int32_t request, int32_t value1, int32_t value2) {
  if (!directory || !*directory) return -1001;
  std::string dir = directory;
  if (dir.back() != '/') dir += '/';
  // The directory must leave room for the file names in a 260-byte path.
  bool usable = dir.size() <= kMaxDirectoryChars;
  if (usable) {
    std::error_code ec;
    std::filesystem::create_directories(dir, ec);
    struct stat st;
    usable = ::stat(dir.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && ::access(dir.c_str(), X_OK | W_OK) == 0;
  }
  if (!usable) {
    vp::debug_printf("%s\n", kInvalidFolderText);
    return -1;
  }
  {
    std::lock_guard<std::mutex> lock(settings_lock_);
    directory_ = dir;
    value1_ = value1;
    value2_ = value2;
  }
  record_request_.exchange(request);
  return 0;
}

int32_t Receiver::record_close() {
  record_request_.store(0);
  close_request_.exchange(1);
  return 0;
}

// What the receive thread owns while it runs.
struct Receiver::Thread {
  Receiver& r;
  VideoWindow window;
  std::unique_ptr<VideoDecoder> decoder;
  std::vector<uint8_t> buffer = std::vector<uint8_t>(kReceiveBufferBytes);
  size_t length = 0;  // of the record in buffer
  OvoReceiveSource source = nullptr;
  void* context = nullptr;
  int width = 0;
  int height = 0;
  bool synced = false;
  int16_t expected_sequence = 0;
  RecordFiles files;
  AviWriter avi;
  FILE* dump = nullptr;

  Thread(Receiver& owner, int32_t window_handle)
      : r(owner), window(owner.presentation_, window_handle), files(owner.locks_.write) {}

  ~Thread() {
    if (dump) std::fclose(dump);
  }

  // Takes the next record from the source into buffer; false when none.
  bool take() {
    if (!source) return false;
    const int32_t n = source(context, buffer.data(), static_cast<int32_t>(buffer.size()));
    if (n <= 0 || static_cast<size_t>(n) > buffer.size()) return false;
    length = static_cast<size_t>(n);
    return true;
  }

  void begin_recording() {
    std::string dir;
    {
      std::lock_guard<std::mutex> lock(r.settings_lock_);
      dir = r.directory_;
    }
    const std::string stem = record_stem(dir, kRecordKindM, std::time(nullptr));
    bool ok = !dir.empty() && !stem.empty();
    if (ok && r.format_.load() == RecordFormat::kAvi) {
      ok = avi.open(stem + ".avi", width, height) == 1;
    } else if (ok) {
      ok = files.begin(stem);
    }
    r.recording_.store(ok);
    if (!ok) finish_recording();
  }

  void finish_recording() {
    files.finish();
    avi.close();
    r.recording_.store(false);
    r.record_request_.store(0);
  }

  void write_dump(const YuvView& p) {
    // The first picture of the process starts the file afresh.
    static std::atomic<bool> created{false};
    if (!dump) dump = std::fopen(kDumpFile, created.exchange(true) ? "ab" : "wb");
    if (!dump) return;
    for (int y = 0; y < p.height; ++y) std::fwrite(p.y + static_cast<ptrdiff_t>(y) * p.stride_y, 1, p.width, dump);
    for (const uint8_t* plane : {p.u, p.v}) {
      for (int y = 0; y < p.height / 2; ++y) {
        std::fwrite(plane + static_cast<ptrdiff_t>(y) * p.stride_uv, 1, p.width / 2, dump);
      }
    }
  }

  void handle() {
    FrameHeader h;
    if (!valid_frame_record(buffer.data(), length, &h)) return;
    if ((h.magic != kVideoMagic && h.magic != kAudioMagic) || h.kind != kReceiveRecordKind) return;
    r.records_handled_.fetch_add(1);
    const uint8_t* payload = buffer.data() + kFrameHeaderBytes;
    const size_t size = h.payload_length;
    const bool video = h.magic == kVideoMagic;
    const bool key = video && is_key_frame_payload(payload, size);
    // Until a key frame, everything is skipped; a gap in the sequence
    // numbers skips everything up to the next key frame.
    if (key) {
      synced = true;
      expected_sequence = static_cast<int16_t>(h.sequence + 1);
    } else if (!synced) {
      return;
    } else if (h.sequence != expected_sequence) {
      synced = false;
      return;
    } else {
      expected_sequence = static_cast<int16_t>(expected_sequence + 1);
    }
    if (key && !r.recording_.load() && r.record_request_.load() == 1) begin_recording();
    const bool recording = r.recording_.load();
    if (recording && video) {
      bool ok;
      if (avi.is_open()) {
        ok = avi.write(payload, static_cast<int32_t>(size), key, h.duration_us) == 1 || size == 0;
      } else {
        ok = files.append(payload, size, key);
      }
      if (!ok) {
        vp::debug_output("ovodec: a recording write failed; the recording ends\n");
        finish_recording();
      }
    }
    if (!video) return;  // sound is not played on this path
    YuvView picture;
    size_t used = 0;
    if (decoder->decode(payload, size, &used, &picture) != kDecodeOk) return;
    if (key && recording && files.active()) {
      files.add_index_entry(h.field4, h.byte10, static_cast<int32_t>(std::time(nullptr)));
    }
    window.present(picture, size, r.presentation_.deinterlace());
    r.pictures_presented_.fetch_add(1);
    if (r.dump_.load()) write_dump(picture);
  }

  bool stopping() const { return r.stop_mark_.load() || r.run_state_.load() == kRunStopped; }

  // Waits ms; a stop ends the wait at once.
  void pause(uint32_t ms) {
    r.worker_.signal().wait_for(ms, [this] { return stopping(); });
  }

  void run() {
    decoder = decoder_factory() ? decoder_factory()() : nullptr;
    if (!decoder) return;
    // Wait for a record with the stream headers and start the decoder there.
    ptrdiff_t headers = -1;
    while (headers < 0) {
      if (stopping()) return;
      FrameHeader h;
      if (take() && valid_frame_record(buffer.data(), length, &h)) {
        headers = find_video_object_layer(buffer.data() + kFrameHeaderBytes, h.payload_length);
      }
      if (headers < 0) pause(kHeaderPollMs);
    }
    {
      size_t used = 0;
      FrameHeader h = read_frame_header(buffer.data());
      decoder->start(buffer.data() + kFrameHeaderBytes + headers, h.payload_length - static_cast<size_t>(headers),
                     &width, &height, &used);
    }
    if (width <= 0 || height <= 0) return;
    bool first = true;
    for (;;) {
      const int32_t state = r.run_state_.load();
      if (state == kRunStopped || r.stop_mark_.load()) break;
      if (state == kRunPaused) {
        r.worker_.signal().wait_for(kPausedCheckMs, [this] { return r.run_state_.load() != kRunPaused || stopping(); });
        continue;
      }
      if (!first && !take()) {
        pause(kSourcePollMs);
        continue;
      }
      first = false;
      if (r.close_request_.exchange(0)) finish_recording();
      handle();
      if (state == kRunStep) {
        int32_t expected = kRunStep;
        r.run_state_.compare_exchange_strong(expected, kRunPaused);
      }
      pause(kRecordPauseMs);
    }
  }
};

void Receiver::thread_main() {
  OvoReceiveSource source;
  void* context;
  {
    std::lock_guard<std::mutex> lock(settings_lock_);
    source = source_;
    context = source_context_;
  }
  thread_started_.store(true);
  worker_.signal().notify();
  presentation_.reset_statistics();
  Thread t(*this, window_.load());
  t.source = source;
  t.context = context;
  t.run();
  t.finish_recording();
}

}  // namespace ovo
