// What the benchmark programs share: the clock, shell commands timed as
// references, the work and clip folders from the command line.
#pragma once
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

namespace bench {

using Clock = std::chrono::steady_clock;
inline double seconds_since(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Runs a shell command and returns the seconds it took; a failed command
// ends the benchmark (a reference that did not run measures nothing).
inline double timed_shell(const char* program, const std::string& command) {
  const auto t0 = Clock::now();
  if (std::system(command.c_str()) != 0) {
    std::fprintf(stderr, "%s: %s failed\n", program, command.c_str());
    std::exit(1);
  }
  return seconds_since(t0);
}

// A new folder "<parent>/<program>.<pid>" in the first argument's folder,
// else $TMPDIR, else /tmp.
inline std::string make_work_folder(int argc, char** argv, const char* program) {
  const char* tmp = std::getenv("TMPDIR");
  const std::string parent = argc > 1 ? argv[1] : (tmp ? tmp : "/tmp");
  const std::string work = parent + "/" + program + "." + std::to_string(::getpid());
  std::filesystem::create_directories(work);
  return work;
}

// The clips folder: the second argument, else $VELMORA_CLIPS_DIR, else the
// build's.
inline std::string clips_folder(int argc, char** argv) {
  const char* env = std::getenv("VELMORA_CLIPS_DIR");
  return argc > 2 ? argv[2] : (env ? env : "build/clips");
}

}  // namespace bench
