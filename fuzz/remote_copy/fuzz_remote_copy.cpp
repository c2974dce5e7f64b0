// Fuzz target: arbitrary recorder replies and chunk bytes of a remote copy,
// received through the connection's carry-over buffer: the first part
// (brin_copy_fast), then further parts (brin_copy_next) until the copy ends,
// fails or the input's count of calls is reached. Chunks that arrive split,
// short, late or with surplus bytes all come from the segmenting of the
// input.
//
// Input: a 1-byte knob (the number of brin_copy_next calls, 0 to 7), then the
// peer's segments (see control/recorder_peer.h).
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "brinlib.h"
#include "brinlib_internal.h"
#include "recorder_peer.h"

namespace {

constexpr int kCn = 5;
constexpr size_t kCarryBytes = 2u << 20;

const std::string& folder() {
  static const std::string dir = [] {
    char pattern[] = "/tmp/fuzz_remote_copy.XXXXXX";
    if (!mkdtemp(pattern)) std::abort();
    brin::Timing& t = brin::timing();
    t.receive_timeout_ms = 5;
    brin::testing::set_copy_call_deadline_ms(200);
    return std::string(pattern);
  }();
  return dir;
}

[[noreturn]] void broken(const char* what) {
  std::fprintf(stderr, "remote copy broke its interface: %s\n", what);
  std::abort();
}

uint64_t file_bytes(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 ? static_cast<uint64_t>(st.st_size) : 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const std::string data_file = folder() + "/ZEB.dat";
  ::unlink(data_file.c_str());
  ::unlink(brin::dl::index_path(folder().c_str()).c_str());
  const int calls = data[0] & 7;
  {
    fuzzpeer::RecorderPeer peer(fuzzpeer::segments(data + 1, size - 1), false);
    brin::testing::attach_command_socket(kCn, peer.library());
    int32_t r = brin_copy_fast(kCn, data_file.c_str(), 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12);
    if (r > 1) broken("copy_fast result");
    for (int i = 0; i < calls && r > 0; ++i) {
      uint8_t progress[4] = {};
      r = brin_copy_next(kCn, data_file.c_str(), progress, folder().c_str());
    }
    if (brin::pending_carry_over(kCn) > kCarryBytes) broken("carry-over past its buffer");
    brin::testing::detach_command_socket(kCn);
  }
  // Everything stored was received: the data file holds at most the input's
  // bytes and the program stream's head.
  if (file_bytes(data_file) > size + brin::dl::kDataStart) broken("data file larger than what was received");
  return 0;
}
