// The command-line side of the evidence export, shared by velmora-disk and
// velmora-dl: the progress bar with the time left, the destination folder,
// and the run of an export with its summary.
#include "export_cli.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace export_cli {

namespace {

constexpr int kBarWidth = 40;

}  // namespace

void draw_bar(int percent, bool tty) {
  if (!tty) return;
  const int filled = percent * kBarWidth / 100;
  std::fprintf(stderr, "\r[%.*s%*s] %3d%%", filled, "########################################", kBarWidth - filled, "",
               percent);
  std::fflush(stderr);
}

// The bar with the time left, worked out from the time taken so far.
class TimedBar {
 public:
  explicit TimedBar(bool tty) : tty_(tty), start_(std::chrono::steady_clock::now()) {}
  void show(int percent) {
    if (!tty_) return;
    draw_bar(percent, tty_);
    const double taken = std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
    if (percent > 0 && percent < 100) {
      const int left = static_cast<int>(taken * (100 - percent) / percent + 0.5);
      std::fprintf(stderr, "  %d:%02d left ", left / 60, left % 60);
    } else {
      std::fprintf(stderr, "%*s", 12, "");
    }
    std::fflush(stderr);
  }
  void done() {
    if (tty_) std::fputc('\n', stderr);
  }

 private:
  bool tty_;
  std::chrono::steady_clock::time_point start_;
};

// A folder for the export's files: made when missing, refused when it is
// something else.
bool ensure_folder(const char* program, const std::string& dest) {
  struct stat st;
  if (::stat(dest.c_str(), &st) != 0) {
    if (::mkdir(dest.c_str(), 0755) != 0) {
      std::fprintf(stderr, "%s: cannot create %s: %s\n", program, dest.c_str(), std::strerror(errno));
      return false;
    }
  } else if (!S_ISDIR(st.st_mode)) {
    std::fprintf(stderr, "%s: %s is not a folder\n", program, dest.c_str());
    return false;
  }
  return true;
}

// Opens the source and exports it into dest with the progress bar.
int video_export(const char* program, const std::function<std::unique_ptr<exporter::GopSource>(std::string*)>& open,
                 const std::string& source_path, const std::string& dest, exporter::Format format,
                 exporter::Options options, const Settings& settings) {
  if (!ensure_folder(program, dest)) return 1;
  std::string error;
  const auto source = open(&error);
  if (!source) {
    std::fprintf(stderr, "%s: %s\n", program, error.c_str());
    return 1;
  }
  options.format = format;
  options.folder = dest;
  options.one_file = settings.one_file;
  // The record names the source wherever it is checked from.
  char* full = ::realpath(source_path.c_str(), nullptr);
  options.source_path = full ? full : source_path;
  std::free(full);
  TimedBar bar(::isatty(STDERR_FILENO) != 0);
  options.program = std::string(program) + " " + VELMORA_VERSION;
  options.progress = [&bar, &settings](int percent) {
    bar.show(percent);
    if (settings.progress_lines) {
      std::printf("progress %d\n", percent);
      std::fflush(stdout);
    }
  };
  const exporter::Result r = exporter::export_video(*source, options);
  bar.done();
  if (!r.ok) {
    std::fprintf(stderr, "%s: the export failed: %s\n", program, r.error.c_str());
    return 1;
  }
  size_t left_out = 0;
  for (const exporter::GopEntry& g : r.gops) left_out += g.left_out ? 1 : 0;
  for (const exporter::CameraFile& f : r.files) {
    std::printf("camera %d: %llu pictures, %s - %s, %zu gaps: %s\n", f.camera,
                static_cast<unsigned long long>(f.pictures), exporter::clock_text(f.first).c_str(),
                exporter::clock_text(f.last).c_str(), f.gaps.size(), f.path.c_str());
  }
  std::printf("%zu GOPs read, %zu left out; custody record %s\n", r.gops.size(), left_out, r.record_json.c_str());
  return 0;
}

}  // namespace export_cli
