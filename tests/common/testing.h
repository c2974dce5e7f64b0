// Helpers shared by the test binaries.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace velmora::testing {

// A loopback address of its own for each call in this process (127.a.b.c
// derived from the process ID and a counter), so that test processes running
// side by side never share the recorder's fixed login ports.
std::string unique_loopback();

// A fresh, empty folder under the system's temporary folder, removed with
// its contents when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string file(const std::string& name) const { return path_ + "/" + name; }

 private:
  std::string path_;
};

// Runs the test body with the current folder set to dir, restoring it after.
class ScopedCwd {
 public:
  explicit ScopedCwd(const std::string& dir);
  ~ScopedCwd();

 private:
  std::string previous_;
};

// Polls cond every few milliseconds until it holds or timeout passes.
bool wait_until(const std::function<bool()>& cond, std::chrono::milliseconds timeout);

// How long the threads of this process were kept from running since the
// meter was made, although they were ready to run: the waits for a processor
// that the kernel counts for each thread, added up over the threads, plus the
// time the machine itself was held up (a virtual machine's stolen time). A
// host may hold a virtual machine up without counting it as stolen, and a
// stopped process waits on no run queue, so a heartbeat thread on each
// processor sleeps a millisecond at a time and counts how late it wakes; the
// latest one's count is added too. Tests that measure time allow for this
// much delay, so that a busy machine never fails them.
class StallMeter {
 public:
  StallMeter();
  ~StallMeter();
  StallMeter(const StallMeter&) = delete;
  StallMeter& operator=(const StallMeter&) = delete;
  std::chrono::milliseconds stalled() const;

 private:
  struct Heartbeat;
  std::map<std::string, uint64_t> start_;  // thread ID -> nanoseconds waited
  uint64_t steal_start_ns_ = 0;
  std::atomic<bool> done_{false};
  std::vector<std::unique_ptr<Heartbeat>> heartbeats_;
};

std::string read_file(const std::string& path);
bool write_file(const std::string& path, const std::string& content);
bool file_exists(const std::string& path);

// A shell command's exit status (-1 when it did not exit normally or could
// not be started) and everything it wrote to standard output and error.
struct CommandOutput {
  int status = -1;
  std::string text;
};
CommandOutput run_command(const std::string& command);

// The build and source folders (VELMORA_BUILD_DIR / VELMORA_SOURCE_DIR when
// set, else the folders this build was configured with).
std::string build_dir();
std::string source_dir();
// The folder of the test clips made with ffmpeg at build time.
std::string clips_dir();

}  // namespace velmora::testing
