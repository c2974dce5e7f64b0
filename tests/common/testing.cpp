#include "testing.h"

#include <sys/wait.h>
#include <unistd.h>

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

StallMeter::StallMeter() : start_(thread_run_delays()), steal_start_ns_(machine_steal_ns()) {}

std::chrono::milliseconds StallMeter::stalled() const {
  uint64_t ns = 0;
  for (const auto& [thread, waited] : thread_run_delays()) {
    const auto it = start_.find(thread);
    const uint64_t before = it == start_.end() ? 0 : it->second;
    if (waited > before) ns += waited - before;
  }
  const uint64_t steal = machine_steal_ns();
  if (steal > steal_start_ns_) ns += steal - steal_start_ns_;
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
