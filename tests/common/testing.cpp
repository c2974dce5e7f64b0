#include "testing.h"

#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace velmora::testing {

std::string unique_loopback() {
  static std::atomic<unsigned> counter{0};
  const unsigned pid = static_cast<unsigned>(::getpid());
  const unsigned n = counter.fetch_add(1);
  // 127.0.0.0/8 is all loopback; spread over the middle two octets by PID
  // and the last by the counter, avoiding 0 and 255 at the end.
  const unsigned a = 1 + (pid >> 8) % 250;
  const unsigned b = pid & 0xFF;
  const unsigned c = 1 + n % 253;
  char text[32];
  std::snprintf(text, sizeof text, "127.%u.%u.%u", a, b, c);
  return text;
}

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "velmora-test-XXXXXX").string();
  if (!::mkdtemp(pattern.data())) std::abort();
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

ScopedCwd::ScopedCwd(const std::string& dir) : previous_(std::filesystem::current_path().string()) {
  std::filesystem::current_path(dir);
}

ScopedCwd::~ScopedCwd() {
  std::error_code ec;
  std::filesystem::current_path(previous_, ec);
}

CommandOutput run_command(const std::string& command) {
  CommandOutput out;
  FILE* p = ::popen((command + " 2>&1").c_str(), "r");
  if (!p) return out;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.text.append(buf, n);
  const int status = ::pclose(p);
  out.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return out;
}

bool wait_until(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
  const auto end = std::chrono::steady_clock::now() + timeout;
  for (;;) {
    if (cond()) return true;
    if (std::chrono::steady_clock::now() >= end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

namespace {

// Nanoseconds each thread of this process has waited for a processor.
std::map<std::string, uint64_t> thread_run_delays() {
  std::map<std::string, uint64_t> delays;
  std::error_code ec;
  for (const auto& task : std::filesystem::directory_iterator("/proc/self/task", ec)) {
    std::ifstream in(task.path() / "schedstat");
    uint64_t on_cpu = 0, waited = 0;
    if (in >> on_cpu >> waited) delays[task.path().filename().string()] = waited;
  }
  return delays;
}

// Nanoseconds of stolen time over all processors of the machine.
uint64_t machine_steal_ns() {
  std::ifstream in("/proc/stat");
  std::string cpu;
  uint64_t v[8] = {};
  if (!(in >> cpu) || cpu != "cpu") return 0;
  for (uint64_t& x : v) {
    if (!(in >> x)) return 0;
  }
  const long hz = ::sysconf(_SC_CLK_TCK);
  return hz > 0 ? v[7] * (1000000000ull / static_cast<uint64_t>(hz)) : 0;
}

}  // namespace

// One heartbeat: a thread kept on one processor that sleeps a millisecond at
// a time and adds up how much later than asked it woke. Wakes up to a
// quarter of a millisecond late are the timer's normal slack and not counted.
struct StallMeter::Heartbeat {
  std::atomic<int> tid{0};
  std::atomic<uint64_t> late_ns{0};
  std::atomic<bool> ready{false};
  std::thread thread;
};

StallMeter::StallMeter() : start_(thread_run_delays()), steal_start_ns_(machine_steal_ns()) {
  cpu_set_t allowed;
  CPU_ZERO(&allowed);
  if (::sched_getaffinity(0, sizeof allowed, &allowed) != 0) return;
  for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
    if (!CPU_ISSET(cpu, &allowed)) continue;
    auto beat = std::make_unique<Heartbeat>();
    Heartbeat* b = beat.get();
    beat->thread = std::thread([this, b, cpu] {
      cpu_set_t one;
      CPU_ZERO(&one);
      CPU_SET(cpu, &one);
      ::sched_setaffinity(0, sizeof one, &one);
      b->tid.store(static_cast<int>(::gettid()));
      b->ready.store(true);
      b->ready.notify_one();
      using Clock = std::chrono::steady_clock;
      constexpr auto kBeat = std::chrono::milliseconds(1);
      constexpr auto kSlack = std::chrono::microseconds(250);
      while (!done_.load()) {
        const auto before = Clock::now();
        std::this_thread::sleep_for(kBeat);
        const auto late = Clock::now() - before - kBeat;
        if (late > kSlack) {
          b->late_ns.fetch_add(
              static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(late).count()));
        }
      }
    });
    b->ready.wait(false);
    heartbeats_.push_back(std::move(beat));
  }
}

StallMeter::~StallMeter() {
  done_.store(true);
  for (auto& b : heartbeats_) b->thread.join();
}

std::chrono::milliseconds StallMeter::stalled() const {
  // The heartbeats' own waits for a processor are part of how late they
  // wake, counted below; the sum is of the threads that do the work.
  std::map<std::string, uint64_t> delays = thread_run_delays();
  for (const auto& b : heartbeats_) delays.erase(std::to_string(b->tid.load()));
  uint64_t ns = 0;
  for (const auto& [thread, waited] : delays) {
    const auto it = start_.find(thread);
    const uint64_t before = it == start_.end() ? 0 : it->second;
    if (waited > before) ns += waited - before;
  }
  const uint64_t steal = machine_steal_ns();
  if (steal > steal_start_ns_) ns += steal - steal_start_ns_;
  // The latest heartbeat: time the machine held this process up, whether or
  // not any count shows it.
  uint64_t late = 0;
  for (const auto& b : heartbeats_) late = std::max(late, b->late_ns.load());
  ns += late;
  return std::chrono::milliseconds(ns / 1000000);
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

bool write_file(const std::string& path, const std::string& content) {
  std::ofstream out(path, std::ios::binary);
  out << content;
  return static_cast<bool>(out);
}

bool file_exists(const std::string& path) { return std::filesystem::exists(path); }

std::string build_dir() {
  const char* d = std::getenv("VELMORA_BUILD_DIR");
  return d ? d : VELMORA_DEFAULT_BUILD_DIR;
}

std::string source_dir() {
  const char* d = std::getenv("VELMORA_SOURCE_DIR");
  return d ? d : VELMORA_DEFAULT_SOURCE_DIR;
}

std::string clips_dir() {
  const char* d = std::getenv("VELMORA_CLIPS_DIR");
  return d ? d : build_dir() + "/clips";
}

}  // namespace velmora::testing
