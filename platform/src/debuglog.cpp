#include "velmora/debuglog.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>

VP_NAMESPACE_BEGIN  // exported (clang applies the namespace's visibility only here)
namespace {

bool make_dir(const std::string& path) { return ::mkdir(path.c_str(), 0755) == 0 || errno == EEXIST; }

bool make_dirs(const std::string& path) {
  for (size_t i = 1; i < path.size(); ++i) {
    if (path[i] == '/' && !make_dir(path.substr(0, i))) return false;
  }
  return make_dir(path);
}

std::string drive_dir(char drive_letter) { return log_root() + "/" + drive_letter; }

FILE* open_log(const std::string& path, const char* mode) { return std::fopen(path.c_str(), mode); }

}  // namespace

std::string log_root() {
  if (const char* root = std::getenv("VELMORA_LOG_ROOT"); root && *root) return root;
  if (const char* state = std::getenv("XDG_STATE_HOME"); state && *state) return std::string(state) + "/velmora/log";
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : "/tmp") + "/.local/state/velmora/log";
}

std::string debug_log_path(char drive_letter, int weekday) {
  return drive_dir(drive_letter) + "/unit_/log/hcxxx_" + std::to_string(weekday) + ".log";
}

LogWrite debug_log_write(char drive_letter, int& last_mday, const char* label, const uint32_t* args, size_t arg_count) {
  const time_t now = std::time(nullptr);
  tm local{};
  localtime_r(&now, &local);
  const std::string path = debug_log_path(drive_letter, local.tm_wday);

  const char* mode = "at";
  if (local.tm_mday != last_mday) {
    // A file of the same weekday from an earlier week is started anew.
    struct stat st {};
    mode = "wt";
    if (::stat(path.c_str(), &st) == 0) {
      tm modified{};
      localtime_r(&st.st_mtime, &modified);
      if (modified.tm_mday == local.tm_mday) mode = "at";
    }
  }

  FILE* f = open_log(path, mode);
  if (!f) {
    // The drive letter stands for a folder under the log root; when even that
    // cannot be made, the log is switched off by the caller.
    if (!make_dirs(drive_dir(drive_letter))) return LogWrite::kDriveUnavailable;
    make_dir(drive_dir(drive_letter) + "/unit_");
    f = open_log(path, "at");
    if (!f) {
      make_dir(drive_dir(drive_letter) + "/unit_/log");
      f = open_log(path, "at");
    }
    if (!f) return LogWrite::kDropped;
  }

  std::fprintf(f, "/* %d/%02d:%02d:%02d */  %s(", local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec,
               label ? label : "");
  for (size_t i = 0; i < arg_count; ++i) std::fprintf(f, "0x%x,", args[i]);
  std::fputs(");\n", f);
  std::fclose(f);
  last_mday = local.tm_mday;
  return LogWrite::kWritten;
}

}  // namespace vp
