// The reference programs the tests compare against (ffmpeg, ffprobe), run
// as separate processes.
#pragma once
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "testing.h"
#include "zebsim/packets.h"

namespace ovotest {

inline bool have_program(const char* name) {
  return std::system((std::string("command -v ") + name + " >/dev/null 2>&1").c_str()) == 0;
}

// Runs a shell command; its standard output as text, and whether it
// succeeded.
inline bool run(const std::string& command, std::string* out = nullptr) {
  FILE* p = ::popen(command.c_str(), "r");
  if (!p) return false;
  std::string text;
  char buf[4096];
  size_t n;
  while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) text.append(buf, n);
  const int rc = ::pclose(p);
  if (out) *out = text;
  return rc == 0;
}

inline std::string shell_quoted(const std::string& s) { return "'" + s + "'"; }

// ffmpeg's expansion of an A-law file to 16-bit samples.
inline std::vector<int16_t> ffmpeg_alaw(const std::string& alaw_path, const std::string& work_dir) {
  const std::string out = work_dir + "/alaw.s16";
  if (!run("ffmpeg -nostdin -loglevel error -y -f alaw -ar 8000 -ac 1 -i " + shell_quoted(alaw_path) + " -f s16le " +
           shell_quoted(out))) {
    return {};
  }
  const auto bytes = zebsim::read_binary_file(out);
  std::vector<int16_t> samples(bytes.size() / 2);
  for (size_t i = 0; i < samples.size(); ++i) {
    samples[i] = static_cast<int16_t>(bytes[2 * i] | bytes[2 * i + 1] << 8);
  }
  return samples;
}

}  // namespace ovotest
