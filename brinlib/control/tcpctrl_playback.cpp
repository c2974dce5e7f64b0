// Remote playback commands: the recorder's own playback, searched, positioned
// and controlled from here, and its play list fetched into a file.
#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <memory>

#include "brinlib.h"
#include "common/guard.h"
#include "common/replace_file.h"
#include "control/tcpctrl.h"

namespace brin {
namespace {

constexpr RequestOptions kOnce{};
constexpr size_t kPlayListBytes = 131072;

// The list file is replaced whole, never written through a symlink.
bool write_file(const char* path, const void* data, size_t len) {
  ReplacingFile f(path);
  f.write(data, len);
  return f.commit();
}

int32_t play_list(int cn, int32_t list) {
  if (const int32_t r = request(cn, kOnce, "GetPlayList %02X\n", list); r != kOk) return r;
  const int32_t size = reply_hex(cn, 2);
  if (size == 0) return 0;
  send_request(cn, "JpegSendStart\n");

  char path[64];
  std::snprintf(path, sizeof path, "img/list%x.txt", static_cast<unsigned>(list));
  ::mkdir("img", 0755);
  // While the list is on its way the file says that there is none.
  write_file(path, "0\n", 2);

  // A list over the list buffer's 128 KiB is cut to it; the part beyond is
  // received and dropped, as is anything sent beyond the announced size, so
  // that the next command reads its own reply.
  const size_t total = size > 0 ? static_cast<size_t>(size) : 0;
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kPlayListBytes]());
  const size_t got = receive_bulk(connection(cn).command_socket.load(), buffer.get(), kPlayListBytes, total,
                                  timing().playlist_timeout_ms);
  // Only the bytes that arrived are written; a short transfer leaves a short
  // file rather than one padded with bytes the recorder never sent.
  write_file(path, buffer.get(), got);
  return size;
}

}  // namespace
}  // namespace brin

using brin::guarded;

extern "C" {

int32_t brin_ctrl_play(int32_t cn, int32_t command) {
  return guarded(-1, [&] { return brin::request(cn, brin::kOnce, "ControlPlay %02X\n", command); });
}

int32_t brin_play_search(int32_t cn, int32_t year, int32_t month, int32_t day, int32_t hour, int32_t minute,
                         int32_t second) {
  // The seventh field has no argument; it is sent as 00.
  return guarded(-1, [&] {
    return brin::request(cn, brin::kOnce, "PlaySearch %04d %02d %02d %02d %02d %02d %02d\n", year, month, day, hour,
                         minute, second, 0);
  });
}

int32_t brin_set_playpointer(int32_t cn, int32_t a, int32_t b) {
  return guarded(-1, [&] { return brin::request(cn, brin::kOnce, "SetPlayPointer %08X %08X\n", a, b); });
}

int32_t brin_rx_hddlist(int32_t cn, int32_t a, int32_t b) {
  return guarded(-1, [&] { return brin::request(cn, brin::kOnce, "ReadHddList %08X %08X\n", a, b); });
}

int32_t brin_rx_playlist(int32_t cn, int32_t list) {
  return guarded(-1, [&] { return brin::play_list(cn, list); });
}

}  // extern "C"
