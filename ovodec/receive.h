// The receive path: a thread takes frame records from the caller's source,
// keeps in step with the stream's key frames and sequence numbers, decodes
// and presents each picture and, on request, records the stream to a data
// and an index file (or an AVI file) in a directory.
#pragma once
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "ApiCmdSub.h"
#include "OvoDec1.h"
#include "avi_writer.h"
#include "engine.h"

namespace ovo {

class Presentation;
class SoundOut;
class WorkerSlot;
class VideoDecoder;

inline constexpr size_t kReceiveBufferBytes = 262144;  // one frame record, header included
inline constexpr size_t kMaxHostChars = 63;
inline constexpr uint16_t kReceiveRecordKind = 11;

enum class RecordFormat { kDataAndIndex, kAvi };

// Run states of the receive thread.
enum RunState : int32_t { kRunStopped = 0, kRunPaused = 1, kRunStep = 2, kRunRunning = 4 };

// A key frame's payload starts with an object start code 00 00 01 00.
bool is_key_frame_payload(const uint8_t* payload, size_t size);
// Offset of the first video object layer start code (00 00 01 2x) in data,
// or -1.
ptrdiff_t find_video_object_layer(const uint8_t* data, size_t size);

// Checks a frame record taken from the source: a header, a payload length
// that matches the record's size. False for anything else.
bool valid_frame_record(const uint8_t* record, size_t size, FrameHeader* header);

class Receiver {
 public:
  Receiver(const Locks& locks, WorkerSlot& worker, Presentation& presentation, SoundOut& (*sound)());
  ~Receiver();

  int32_t start(const char* host, int32_t port_a, int32_t port_b, int32_t window);
  int32_t stop();
  int32_t record_open(const char* directory, int32_t request, int32_t value1, int32_t value2);
  int32_t record_close();
  void set_source(OvoReceiveSource source, void* context);

  // Switches that no export sets: how recordings are written, the dump of
  // decoded pictures to "pcdec.yuv", the run state (paused 1, one step 2).
  void set_record_format(RecordFormat format) { format_.store(format); }
  void set_dump(bool on) { dump_.store(on); }
  void set_run_state(int32_t state);
  int32_t run_state() const { return run_state_.load(); }

  // For tests.
  uint64_t records_handled() const { return records_handled_.load(); }
  uint64_t pictures_presented() const { return pictures_presented_.load(); }
  bool recording() const { return recording_.load(); }
  std::string host() const;

 private:
  struct Thread;
  void thread_main();

  const Locks locks_;
  WorkerSlot& worker_;
  Presentation& presentation_;
  SoundOut& (*sound_)();

  mutable std::mutex settings_lock_;  // host, ports, directory, source
  std::string host_;
  int32_t port_a_ = 0;
  int32_t port_b_ = 0;
  std::string directory_;
  int32_t value1_ = 0;
  int32_t value2_ = 0;
  OvoReceiveSource source_ = nullptr;
  void* source_context_ = nullptr;

  std::atomic<int32_t> window_{0};
  std::atomic<int32_t> run_state_{kRunStopped};
  std::atomic<int32_t> stop_mark_{0};
  std::atomic<bool> thread_started_{false};  // the receive thread has run
  std::atomic<int32_t> record_request_{0};
  std::atomic<int32_t> close_request_{0};
  std::atomic<bool> recording_{false};
  std::atomic<RecordFormat> format_{RecordFormat::kDataAndIndex};
  std::atomic<bool> dump_{false};
  std::atomic<uint64_t> records_handled_{0};
  std::atomic<uint64_t> pictures_presented_{0};
};

}  // namespace ovo
