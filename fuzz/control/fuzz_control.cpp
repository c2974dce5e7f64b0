// Fuzz target: arbitrary recorder replies on the command connection. The
// greeting and login reply (token split, refusal codes, the hexadecimal reply
// text and command port), the session reply, then a run of commands chosen by
// the input: clock tokens, switch and register values, combi values, menu
// data and play-list data, each reply answered by the recorder stand-in.
//
// Input: a 2-byte knob (bit 0: start with the login; the rest picks up to
// five commands, three bits each), then the peer's segments (recorder_peer.h).
#include <sys/stat.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "brinlib.h"
#include "brinlib_internal.h"
#include "recorder_peer.h"

namespace {

constexpr int kCn = 3;

void set_up_once() {
  static bool done = false;
  if (done) return;
  done = true;
  // The peer closes its end when its segments are used up, so the limits
  // only matter when a reply is shorter than the library expects.
  brin::Timing& t = brin::timing();
  t.receive_timeout_ms = 5;
  t.menu_delay_ms = 0;
  t.menu_timeout_ms = 20;
  t.playlist_timeout_ms = 20;
  t.bulk_quiet_ms = 5;
  t.unconnect_sleep_ms = 0;
  t.jpeg_special_sleep_ms = 0;
}

[[noreturn]] void broken(const char* what) {
  std::fprintf(stderr, "control reply handling broke its interface: %s\n", what);
  std::abort();
}

void login(int s) {
  char reply_text[128];
  std::memset(reply_text, 'x', sizeof reply_text);
  reply_text[0] = 0;
  const int32_t r = brin::testing::login_over(kCn, s, "password", reply_text);
  // Only a reply that says "OK" in its place logs in; every other answer is
  // a negative result.
  if (r > 0) broken("positive login result");
  if (r == 0 && std::strcmp(brin::connection(kCn).login_tokens.at(8), "OK") != 0) broken("login without OK");
  if (std::memchr(reply_text, 0, sizeof reply_text) == nullptr) broken("reply text not terminated");
  if (r != 0) return;
  const int32_t session = brin::testing::open_session_over(kCn, s);
  if (session != brin::kOk && session != brin::kNoCommandReply && session != brin::kCommandNotOk)
    broken("session result");
}

void command(int which, uint16_t knob) {
  static std::vector<uint8_t> menu(1u << 20);
  switch (which) {
    case 0: {
      char date[258], time[258];
      date[0] = time[0] = 0;
      if (brin_get_time(kCn, date, time) == 0 && (std::strlen(date) >= sizeof date || std::strlen(time) >= sizeof time))
        broken("clock text");
      break;
    }
    case 1: brin_rx_menu_data(kCn, knob & 0xFF, menu.data()); break;
    case 2: {
      // The play list is written to img/ in the current folder: a folder of
      // its own for that call, and back, so that the fuzzer's own relative
      // paths stay as they were.
      static const std::string folder = [] {
        char pattern[] = "/tmp/fuzz_control.XXXXXX";
        if (!mkdtemp(pattern)) std::abort();
        return std::string(pattern);
      }();
      char here[4096];
      if (!getcwd(here, sizeof here) || chdir(folder.c_str()) != 0) std::abort();
      brin_rx_playlist(kCn, knob & 3);
      if (chdir(here) != 0) std::abort();
      break;
    }
    case 3: {
      int32_t p[4] = {1, 2, 3, 4};
      brin_combi_get(kCn, &p[0], &p[1], &p[2], &p[3], 5);
      break;
    }
    case 4:
      brin_cam_swget(kCn, knob & 0x1F);
      brin_hd_swget(kCn, knob & 7);
      break;
    case 5:
      brin_play_search(kCn, 2024, 1, 2, 3, 4, 5);
      brin_ctrl_play(kCn, knob & 7);
      break;
    case 6:
      brin_rx_status(kCn, knob & 0xFF);
      brin_rx_hddlist(kCn, 0, 1);
      break;
    default:
      brin_mem_get(kCn, 1, 2);
      brin_nvc_get(kCn, 1, 2, 3);
      brin_jpeg_swget(kCn, knob & 7);
      break;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  set_up_once();
  const uint16_t knob = static_cast<uint16_t>(data[0] | (data[1] << 8));
  const bool with_login = knob & 1;
  fuzzpeer::RecorderPeer peer(fuzzpeer::segments(data + 2, size - 2), with_login);
  if (with_login) login(peer.library());
  brin::testing::attach_command_socket(kCn, peer.library());
  for (int i = 0; i < 5; ++i) command((knob >> (1 + 3 * i)) & 7, knob);
  brin::testing::detach_command_socket(kCn);
  return 0;
}
