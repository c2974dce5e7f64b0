#include "common/debuglog.h"

#include <atomic>
#include <mutex>
#include <vector>

#include "brinlib.h"
#include "velmora/debuglog.h"

namespace brin {
namespace {

std::atomic<int> g_drive{0};
// The day of month of the last entry; the entries of all threads share it, so
// writing is serialised (the file is opened and closed per entry anyway).
std::mutex g_write_lock;
int g_last_mday = -1;

}  // namespace

int log_drive() { return g_drive.load(); }

void log_entry(const char* label, std::initializer_list<uint32_t> args) {
  const int drive = g_drive.load();
  if (drive == 0) return;
  std::vector<uint32_t> values(args);
  std::lock_guard<std::mutex> guard(g_write_lock);
  if (vp::debug_log_write(static_cast<char>(drive), g_last_mday, label, values.data(), values.size()) ==
      vp::LogWrite::kDriveUnavailable) {
    g_drive.store(0);
  }
}

}  // namespace brin

extern "C" int32_t brin_log_sw(int32_t drive_letter) {
  if (drive_letter >= 'C' && drive_letter <= 'F') brin::g_drive.store(drive_letter);
  return drive_letter;
}
