// Fuzz target: arbitrary bytes as a copy's ".index" and "ZEB.dat", read by
// the file reader round by round in every play state, positioned by time,
// and played by the file worker through the exported file controls.
//
// Input: a 4-byte knob (play states, speeds, searched times), a little-endian
// u16 n, then min(n, rest) bytes of index; the rest is the data file. The
// reader runs on every input, the file worker on those whose knob has bits
// 28 and 29 clear: each file played starts a worker thread, and a thread
// costs the sanitizers more than the reader's whole round.
#include <unistd.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "brinlib.h"
#include "brinlib_internal.h"
#include "velmora/clock.h"

namespace {

const std::string& folder() {
  static const std::string dir = [] {
    // In memory where the machine has it: every input writes both files, and
    // on a disk each rewrite costs more than reading them back.
    char shm[] = "/dev/shm/fuzz_copyfile.XXXXXX";
    char tmp[] = "/tmp/fuzz_copyfile.XXXXXX";
    const char* made = mkdtemp(shm);
    if (!made) made = mkdtemp(tmp);
    if (!made) std::abort();
    return std::string(made);
  }();
  return dir;
}

bool write_file(const std::string& path, const uint8_t* p, size_t n) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return false;
  const bool ok = std::fwrite(p, 1, n, f) == n;
  return std::fclose(f) == 0 && ok;
}

// What the channel is given must be whole and within the frame buffer; the
// sum touches every byte, so that a read past the buffer shows.
volatile uint32_t g_sum = 0;
// Whether the last hand-over was refused: the one after a refusal is always
// accepted, as a channel's ring makes room again, so that the refused path
// is taken without the worker offering the same GOP until the input's waits
// run out.
std::atomic<bool> g_refused_last{false};
int32_t check_hand_over(const uint8_t* frames, int32_t length, int32_t mode, int32_t speed) {
  (void)speed;
  if (length <= 0 || static_cast<size_t>(length) > brin::play::kFrameBufferBytes || mode < 0 || mode > 1) {
    std::fprintf(stderr, "hand-over of %d bytes in mode %d\n", length, mode);
    std::abort();
  }
  uint32_t sum = 0;
  for (int32_t i = 0; i < length; ++i) sum += frames[i];
  g_sum = g_sum + sum;
  const bool refuse = (sum & 7) == 0 && !g_refused_last.load();
  g_refused_last.store(refuse);
  return refuse ? brin::play::kRefused : 0;
}

void set_up_once() {
  static bool done = false;
  if (done) return;
  done = true;
  brin::play::testing::ChannelHooks hooks;
  hooks.hand_over = check_hand_over;
  hooks.sound_change = [] {};
  brin::play::testing::set_channel_hooks(hooks);
  brin::play::testing::timing().search_settle_ms = 0;
  brin::play::testing::timing().stop_poll_ms = 1;
  brin::play::testing::timing().refused_retry_ms = 0;
  // Registered once the folder's name exists, so that it runs before the
  // name is destroyed.
  folder();
  std::atexit([] {
    std::remove((folder() + "/.index").c_str());
    std::remove((folder() + "/ZEB.dat").c_str());
    rmdir(folder().c_str());
  });
}

constexpr int32_t kStates[] = {brin::play::kPlay, brin::play::kForward, brin::play::kBackward, brin::play::kStepForward,
                               brin::play::kStepBackward};

// The reader alone: rounds in states chosen by the knob, and searches.
void exercise_reader(const std::string& data, const std::string& index, uint32_t knob) {
  brin::play::FilePlayer player;
  if (!player.open(data.c_str(), index.c_str())) std::abort();
  if (!player.start()) return;
  // One frame buffer for all runs: a fresh 2 MiB buffer per run cost more
  // than the reader itself.
  static std::vector<uint8_t> buffer(brin::play::kFrameBufferBytes);
  const uint32_t first = player.first_seconds(), last = player.last_seconds();
  for (int r = 0; r < 256; ++r) {
    const int32_t state = kStates[(knob >> ((r / 32) % 16)) % 5];
    player.round(state, static_cast<int32_t>(knob % 7), buffer.data());
    if (player.current_record() >= player.record_count()) std::abort();
  }
  for (uint32_t t : {first, last, first + (knob % 1000), last - 1, last + 1, knob}) {
    const int r = player.search(t);
    if (r != 0 && r != -2) std::abort();
    if (r == 0 && (t < first || t > last || player.current_record() >= player.record_count())) std::abort();
    player.round(kStates[t % 5], 1, buffer.data());
  }
  for (uint64_t k = 0; k < player.record_count() && k < 64; ++k) {
    uint64_t length = 0;
    if (player.read_gop(k, buffer.data(), buffer.size(), &length) && length > buffer.size()) std::abort();
  }
}

// The file worker through the exported controls.
void exercise_worker(const std::string& data, const std::string& index, uint32_t knob) {
  if (playfile(data.c_str(), index.c_str(), "") != 0) std::abort();
  uint32_t first = 0, last = 0;
  file_read_start_end_sec(&first, &last);
  const int32_t found = file_search(first + (knob % 64));
  if (found != 0 && found != -1 && found != -2) std::abort();
  // Each wait ends as soon as the worker reports the change, or after its
  // bound; the controls are notified on every change of these fields.
  brin::play::Control& c = brin::play::control();
  const auto idle = [&] { return c.file_state.load() == 0; };
  file_play_forward(static_cast<int32_t>(knob % 7));
  c.changed.wait_for(20, idle);
  file_one_back();
  c.changed.wait_for(20, idle);
  file_search(last);
  file_play_stop();
  file_read_stop();
  c.changed.wait_for(2000, [&] { return !c.file_running.load(); });
  if (c.file_running.load()) {
    std::fprintf(stderr, "the file worker did not end\n");
    std::abort();
  }
  brin::play::testing::join_workers();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 6) return 0;
  set_up_once();
  const uint32_t knob = data[0] | (data[1] << 8) | (data[2] << 16) | (static_cast<uint32_t>(data[3]) << 24);
  size_t index_bytes = data[4] | (data[5] << 8);
  data += 6;
  size -= 6;
  if (index_bytes > size) index_bytes = size;
  const std::string index = folder() + "/.index";
  const std::string zeb = folder() + "/ZEB.dat";
  if (!write_file(index, data, index_bytes) || !write_file(zeb, data + index_bytes, size - index_bytes)) std::abort();
  exercise_reader(zeb, index, knob);
  if (((knob >> 28) & 3) == 0) exercise_worker(zeb, index, knob);
  return 0;
}
