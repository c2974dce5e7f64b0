// Settings and status commands: clock, switch items, combi, menu data,
// status, memory and chip registers, update upload, restart.
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "brinlib.h"
#include "common/debuglog.h"
#include "common/guard.h"
#include "control/tcpctrl.h"
#include "velmora/clock.h"

namespace brin {
namespace {

constexpr RequestOptions kOnce{};
constexpr RequestOptions kThreeTries{3, ReceiveFailure::kMinusOne, kSepCommand};
constexpr RequestOptions kFiveTriesPassThrough{5, ReceiveFailure::kPassThrough, kSepCommand};
constexpr size_t kMenuReceiveBytes = 1 << 20;
constexpr size_t kUpdateBufferBytes = 8u << 20;

// The common shape of the switch and register commands: one request whose
// result is token 3 of the reply read as hexadecimal.
template <typename... Args>
int32_t value_command(int cn, const RequestOptions& options, const char* format, Args... args) {
  const int32_t r = request(cn, options, format, args...);
  return r == kOk ? reply_hex(cn, 3) : r;
}

// The callers' clock buffers: a token of at most 255 characters, a century
// before it and the terminating zero.
constexpr size_t kClockTextBytes = 258;

// Writes the clock tokens into date and time, each of the given size; a
// text that would not fit is cut, never written past the buffer.
int32_t get_time(int cn, char* date, size_t date_bytes, char* time, size_t time_bytes) {
  const RequestOptions clock{1, ReceiveFailure::kMinusOne, kSepClock};
  if (const int32_t r = request(cn, clock, "GetTime\n"); r != kOk) return r;
  const TokenTable& t = connection(cn).reply_tokens;
  const char* d = t.at(2);
  if (date && date_bytes > 0) {
    if (std::strlen(d) == 8) {
      // A two-digit year: 00 to 79 are 20xx, 80 to 99 are 19xx.
      std::snprintf(date, date_bytes, "%s%s", std::atoi(d) < 80 ? "20" : "19", d);
    } else {
      std::snprintf(date, date_bytes, "%s", d);
    }
  }
  if (time && time_bytes > 0) std::snprintf(time, time_bytes, "%s", t.at(3));
  return kOk;
}

int32_t menu_data(int cn, int32_t value, uint8_t* data) {
  if (const int32_t r = request(cn, kOnce, "SendMenu %02X\n", value); r != kOk) return r;
  const int32_t size = reply_hex(cn, 2);
  send_request(cn, "dummy\n");
  vp::sleep_ms(static_cast<uint32_t>(timing().menu_delay_ms));
  // A menu over 1 MiB is delivered cut to 1 MiB. The rest, and anything the
  // recorder sent beyond the announced size, is received and dropped: left
  // on the connection it would be read as the reply of the next command.
  const size_t total = size > 0 ? static_cast<size_t>(size) : 0;
  std::vector<uint8_t> buffer(std::min(total, kMenuReceiveBytes));
  const size_t got =
      receive_bulk(connection(cn).command_socket.load(), buffer.data(), buffer.size(), total, timing().menu_timeout_ms);
  if (got > 0 && data) std::memcpy(data, buffer.data(), got);
  return size;
}

int32_t update(int cn, const char* path, int32_t value) {
  if (const int32_t r = check_connection(cn); r != kOk) return r;
  FILE* f = path ? std::fopen(path, "rb") : nullptr;
  if (!f) return -1;
  // The data go out followed by one zero byte, so the buffer holds one byte
  // more than the largest file accepted.
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kUpdateBufferBytes + 1]());
  const size_t bytes = std::fread(buffer.get(), 1, kUpdateBufferBytes, f);
  const bool more = bytes == kUpdateBufferBytes && std::fgetc(f) != EOF;
  std::fclose(f);
  if (bytes == 0) return -2;
  if (bytes >= kUpdateBufferBytes || more) return -3;
  const int32_t r = request(cn, kOnce, "SendUpdate %02X %08X\n", value, static_cast<unsigned>(bytes + 1));
  if (r != kOk) return r;
  send_bytes(cn, buffer.get(), bytes + 1);
  return static_cast<int32_t>(bytes);
}

}  // namespace
}  // namespace brin

using brin::guarded;
using brin::value_command;

extern "C" {

int32_t brin_get_time(int32_t cn, char* date, char* time) {
  return guarded(-1, [&] { return brin::get_time(cn, date, brin::kClockTextBytes, time, brin::kClockTextBytes); });
}

int32_t brin_set_time(int32_t cn, const char* date, const char* time) {
  return guarded(-1,
                 [&] { return brin::request(cn, brin::kOnce, "SetTime %s %s\n", date ? date : "", time ? time : ""); });
}

int32_t brin_cam_swget(int32_t cn, int32_t item) {
  return guarded(-1, [&] { return value_command(cn, brin::kThreeTries, "CamSwGet %06X\n", item); });
}

int32_t brin_cam_swset(int32_t cn, int32_t a, int32_t b) {
  return guarded(-1, [&] {
    brin::log_entry("brin_cam_swset", {static_cast<uint32_t>(cn), static_cast<uint32_t>(a), static_cast<uint32_t>(b)});
    return value_command(cn, brin::kFiveTriesPassThrough, "CamSwSet %02X %02X\n", a, b);
  });
}

int32_t brin_hd_swget(int32_t cn, int32_t item) {
  return guarded(-1, [&] { return value_command(cn, brin::kOnce, "HDSwGet %06X\n", item); });
}

int32_t brin_hd_swset(int32_t cn, int32_t a, int32_t b) {
  return guarded(-1, [&] { return value_command(cn, brin::kFiveTriesPassThrough, "HDSwSet %02X %02X\n", a, b); });
}

int32_t brin_jpeg_swget(int32_t cn, int32_t item) {
  return guarded(-1, [&] { return value_command(cn, brin::kOnce, "JpegSwGet %06X\n", item); });
}

int32_t brin_jpeg_swset(int32_t cn, int32_t a, int32_t b) {
  return guarded(-1, [&] {
    brin::log_entry("brin_jpeg_swset", {static_cast<uint32_t>(cn), static_cast<uint32_t>(a), static_cast<uint32_t>(b)});
    if (a == 99) {
      // The special value: the request goes out and its reply is left unread.
      if (const int32_t r = brin::check_connection(cn); r != brin::kOk) return r;
      brin::new_transaction_id(cn);
      char line[160];
      std::snprintf(line, sizeof line, "%s JpegSwSet %02X %04X\n", brin::connection(cn).transaction_id, a, b);
      brin::send_request(cn, line);
      vp::sleep_ms(static_cast<uint32_t>(brin::timing().jpeg_special_sleep_ms));
      return -99;
    }
    return value_command(cn, brin::kOnce, "JpegSwSet %02X %04X\n", a, b);
  });
}

int32_t brin_combi_set(int32_t cn, int32_t a, int32_t b, int32_t c, int32_t d, int32_t e) {
  return guarded(
      -1, [&] { return brin::request(cn, brin::kOnce, "CombiSwSet %04X %04X %04X %04X %04X\n", a, b, c, d, e); });
}

int32_t brin_combi_get(int32_t cn, int32_t* p1, int32_t* p2, int32_t* p3, int32_t* p4, int32_t e) {
  return guarded(-1, [&] {
    if (const int32_t r = brin::check_connection(cn); r != brin::kOk) return r;
    if (!p1 || !p2 || !p3 || !p4) return -1;
    // The sixth field has no argument; it is sent as 0000.
    const int32_t r =
        brin::request(cn, brin::kOnce, "CombiSwGet %02X %04X %04X %04X %04X %04X\n", *p1, *p2, *p3, *p4, e, 0);
    if (r != brin::kOk) return r;
    *p1 = brin::reply_hex(cn, 5);
    *p2 = brin::reply_hex(cn, 2);
    *p3 = brin::reply_hex(cn, 3);
    *p4 = brin::reply_hex(cn, 4);
    return int32_t{brin::kOk};
  });
}

int32_t brin_rx_menu_data(int32_t cn, int32_t value, uint8_t* data) {
  return guarded(-1, [&] { return brin::menu_data(cn, value, data); });
}

int32_t brin_rx_status(int32_t cn, int32_t value) {
  return guarded(-1, [&] { return value_command(cn, brin::kOnce, "SendStatus %02X\n", value); });
}

int32_t brin_mem_get(int32_t cn, int32_t a, int32_t b) {
  return guarded(-1, [&] { return value_command(cn, brin::kOnce, "MemGet %06X %06X\n", a, b); });
}

int32_t brin_mem_set(int32_t cn, int32_t a, int32_t b, int32_t c) {
  return guarded(-1, [&] { return value_command(cn, brin::kOnce, "MemSet %02X %04X %04X\n", a, b, c); });
}

int32_t brin_i2c_get(int32_t cn, int32_t a, int32_t b) {
  return guarded(-1, [&] { return value_command(cn, brin::kOnce, "I2cGet %06X %04X\n", a, b); });
}

int32_t brin_i2c_set(int32_t cn, int32_t a, int32_t b, int32_t c) {
  return guarded(-1, [&] { return value_command(cn, brin::kOnce, "I2cSet %04X %04X %04X\n", a, b, c); });
}

int32_t brin_nvc_get(int32_t cn, int32_t a, int32_t b, int32_t c) {
  return guarded(-1, [&] { return value_command(cn, brin::kOnce, "NvcGet %04X %04X %04X\n", a, b, c); });
}

int32_t brin_nvc_set(int32_t cn, int32_t a, int32_t b, int32_t c, int32_t d) {
  return guarded(-1, [&] { return value_command(cn, brin::kOnce, "NvcSet %04X %04X %04X %04X\n", a, b, c, d); });
}

int32_t brin_update(int32_t cn, const char* path, int32_t value) {
  return guarded(-1, [&] { return brin::update(cn, path, value); });
}

int32_t brin_re_boot(int32_t cn) {
  return guarded(-1, [&] { return brin::request(cn, brin::kOnce, "ReBoot \n"); });
}

}  // extern "C"
