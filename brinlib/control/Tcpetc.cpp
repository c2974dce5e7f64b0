#include "control/Tcpetc.h"

#include <algorithm>
#include <cstring>

#include "common/debuglog.h"
#include "velmora/clock.h"

namespace brin {

Timing& timing() {
  static Timing t;
  return t;
}

bool parse_address(const char* text, uint32_t* addr_net) {
  if (!text) return false;
  // The library's own parser: digits and dots only, at most three digits and a
  // value of at most 255 per part, missing parts count as 0.
  uint8_t parts[4] = {0, 0, 0, 0};
  int part = 0, digits = 0, value = 0;
  bool own_ok = true;
  for (const char* p = text; *p; ++p) {
    if (*p == '.') {
      parts[part] = static_cast<uint8_t>(value);
      value = 0;
      digits = 0;
      if (++part == 4) break;
    } else if (*p >= '0' && *p <= '9') {
      value = value * 10 + (*p - '0');
      if (++digits > 3 || value > 255) {
        own_ok = false;
        break;
      }
    } else {
      own_ok = false;
      break;
    }
  }
  if (own_ok) {
    if (part < 4) parts[part] = static_cast<uint8_t>(value);
    std::memcpy(addr_net, parts, 4);
    return true;
  }
  const uint32_t a = vp::inet_addr_text(text);
  if (a == vp::kInaddrNone) return false;
  *addr_net = a;
  return true;
}

int receive_reply(vp::socket_t s, char* buffer) {
  std::memset(buffer, 0, kReplyBytes + 1);
  const uint32_t start = vp::tick_count_ms();
  const uint32_t limit = static_cast<uint32_t>(timing().receive_timeout_ms);
  for (;;) {
    const uint32_t waited = vp::elapsed_ms(start, vp::tick_count_ms());
    const int ready = vp::socket_wait_readable(s, waited >= limit ? 0 : static_cast<int>(limit - waited));
    if (ready == vp::kSocketError) {
      const int err = vp::last_socket_error();
      log_entry("recv_err", {static_cast<uint32_t>(err)});
      return -err;
    }
    if (ready == 1) {
      const int n = vp::socket_recv(s, buffer, kReplyBytes);
      if (n > 0) {
        buffer[n] = 0;
        return n;
      }
      if (n == 0) {
        // The recorder closed the connection: never take the previous reply.
        log_entry("recv_err", {static_cast<uint32_t>(vp::kWsaEconnreset)});
        return -vp::kWsaEconnreset;
      }
      const int err = vp::last_socket_error();
      if (err != vp::kWsaEwouldblock) {
        log_entry("recv_err", {static_cast<uint32_t>(err)});
        return -err;
      }
    }
    if (vp::elapsed_ms(start, vp::tick_count_ms()) >= limit) {
      log_entry("recv_err2", {static_cast<uint32_t>(vp::kWsaEwouldblock)});
      return -vp::kWsaEwouldblock;
    }
  }
}

size_t receive_bulk(vp::socket_t s, uint8_t* out, size_t keep, size_t total, int timeout_ms) {
  keep = std::min(keep, total);
  uint8_t scratch[16384];  // the part beyond `keep`, dropped
  size_t got = 0;
  const uint32_t start = vp::tick_count_ms();
  uint32_t last_data = start;
  while (got < total) {
    const uint32_t now = vp::tick_count_ms();
    const uint32_t waited = vp::elapsed_ms(start, now);
    if (waited >= static_cast<uint32_t>(timeout_ms)) break;
    if (got > 0 && vp::elapsed_ms(last_data, now) >= static_cast<uint32_t>(timing().bulk_quiet_ms)) break;
    int slice = static_cast<int>(static_cast<uint32_t>(timeout_ms) - waited);
    if (got > 0) slice = std::min(slice, timing().bulk_quiet_ms);
    const int ready = vp::socket_wait_readable(s, slice);
    if (ready == vp::kSocketError) break;
    if (ready == 0) continue;
    const bool kept = got < keep;
    uint8_t* to = kept ? out + got : scratch;
    const size_t room = kept ? keep - got : std::min(sizeof scratch, total - got);
    const int n = vp::socket_recv(s, to, room);
    if (n > 0) {
      got += static_cast<size_t>(n);
      last_data = vp::tick_count_ms();
    } else if (n == 0 || vp::last_socket_error() != vp::kWsaEwouldblock) {
      break;
    }
  }
  // Bytes beyond the announced size that came with the transfer.
  while (vp::socket_wait_readable(s, 0) == 1 && vp::socket_recv(s, scratch, sizeof scratch) > 0) {
  }
  return std::min(got, keep);
}

void split_tokens(TokenTable& table, char* buffer, const char* separators) {
  char* p = buffer;
  for (;;) {
    // Like strtok: separators before a token stay as they are, the one after
    // it becomes the token's terminating zero.
    while (*p && std::strchr(separators, *p)) ++p;
    if (!*p) break;
    char* begin = p;
    while (*p && !std::strchr(separators, *p)) ++p;
    const bool more = *p != 0;
    if (more) *p = 0;
    if (table.count < kMaxTokens) {
      std::strncpy(table.token[table.count], begin, kTokenChars);
      table.token[table.count][kTokenChars] = 0;
      ++table.count;
    }
    if (!more) break;
    ++p;
  }
}

int32_t parse_hex(const char* token) {
  if (!token) return 0;
  auto digit = [](char c) -> int {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
    if (c >= 'a' && c <= 'z') return c - 'a' + 10;
    return -1;
  };
  const char* p = token;
  while (*p && digit(*p) < 0) ++p;
  uint32_t value = 0;
  for (; *p && digit(*p) >= 0; ++p) value = value * 16u + static_cast<uint32_t>(digit(*p));
  return static_cast<int32_t>(value);
}

}  // namespace brin
