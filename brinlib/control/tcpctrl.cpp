#include "control/tcpctrl.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <system_error>
#include <thread>

#include "brinlib.h"
#include "common/debuglog.h"
#include "common/guard.h"
#include "velmora/clock.h"

namespace brin {
namespace {

Connection g_connections[kConnections];

constexpr uint16_t kWinsockVersion = 0x0101;
// Units of the connect sequence's bounded waits (Timing gives their counts):
// the login connect is given connect_polls ms, the command connection's start
// and its acceptance command_start_polls x 10 ms each.
constexpr uint32_t kConnectPollMs = 1;
constexpr uint32_t kCommandPollMs = 10;
// A full send buffer of the non-blocking command socket gives no wake-up when
// room is made, so the send looks again after this long.
constexpr uint32_t kSendRetryMs = 1;
// How often an abandoned login connect is noticed.
constexpr int kAbandonCheckMs = 10;

void close_socket(vp::socket_t& s) {
  if (s != vp::kInvalidSocket) vp::socket_close(s);
  s = vp::kInvalidSocket;
}

// Connect thread of the login: a connect that the caller can abandon. The
// caller keeps the socket and closes it after joining this thread when it
// abandoned the connect.
void connect_thread(int cn, vp::socket_t s) {
  Connection& c = g_connections[cn];
  uint32_t addr = 0;
  parse_address(c.address, &addr);
  c.connect_state.store(1);
  c.changed.notify();
  int result = vp::kSocketError;
  // A non-blocking connect polled in short slices, so that an abandoned
  // connect ends promptly instead of holding the socket for the system's
  // connect time-out.
  if (vp::socket_set_nonblocking(s, true) == 0) {
    result = vp::socket_connect(s, addr, c.login_port);
    if (result != 0 && vp::last_socket_error() == vp::kWsaEinprogress) {
      int done = 0;
      while (!c.connect_abandoned.load() && (done = vp::socket_wait_connected(s, kAbandonCheckMs)) == 0) {
      }
      result = done == 1 ? 0 : vp::kSocketError;
    }
    vp::socket_set_nonblocking(s, false);
  }
  c.connect_result.store(result);
  c.connect_state.store(0);
  c.changed.notify();
}

// Closes the command thread's socket under the lock that brin_unconnect takes
// to shut it down, so that it never shuts down a descriptor reused since.
void close_attempt(Connection& c, vp::socket_t s) {
  std::lock_guard<std::mutex> g(c.attempt_lock);
  c.attempt_socket = vp::kInvalidSocket;
  vp::socket_close(s);
}

// Sends the session ID on a new command connection and reads the recorder's
// answer: kOk when it accepted, kNoCommandReply or kCommandNotOk.
int32_t open_session(Connection& c, vp::socket_t s, const std::string& session_id) {
  const std::string line = "ID = " + session_id + "\n";
  vp::socket_send(s, line.data(), line.size());
  if (receive_reply(s, c.reply_buffer) <= 0) return kNoCommandReply;
  c.reply_tokens.count = 0;
  split_tokens(c.reply_tokens, c.reply_buffer, kSepLogin);
  return std::strcmp(c.reply_tokens.at(0), "OK") == 0 ? kOk : kCommandNotOk;
}

void run_command_connection(Connection& c, const std::string& session_id) {
  if (c.command_established.load()) {
    c.command_error.store(kCommandAlreadyEstablished);
    return;
  }
  if (vp::wsa_startup(kWinsockVersion) != 0) {
    c.command_error.store(kWinsockStartFailed);
    return;
  }
  uint32_t addr = 0;
  if (!parse_address(c.address, &addr)) {
    vp::wsa_cleanup();
    c.command_error.store(kAddressInvalid);
    return;
  }
  vp::socket_t s = vp::socket_tcp();
  if (s == vp::kInvalidSocket) {
    vp::wsa_cleanup();
    c.command_error.store(kSocketFailed);
    return;
  }
  {
    std::lock_guard<std::mutex> g(c.attempt_lock);
    c.attempt_socket = s;
  }
  if (vp::socket_bind(s, 0, 0) != 0 || vp::socket_connect(s, addr, static_cast<uint16_t>(c.command_port)) != 0) {
    close_attempt(c, s);
    vp::wsa_cleanup();
    c.command_error.store(kSocketFailed);
    return;
  }
  if (vp::socket_set_nonblocking(s, true) != 0) {
    close_attempt(c, s);
    vp::wsa_cleanup();
    c.command_error.store(kNonBlockingFailed);
    return;
  }
  c.command_socket.store(s);
  const int32_t session = open_session(c, s, session_id);
  if (session == kNoCommandReply) {
    // The socket stays open; brin_unconnect closes it.
    vp::wsa_cleanup();
    c.command_error.store(kNoCommandReply);
    return;
  }
  if (session == kOk) {
    c.command_error.store(0);
    c.command_established.store(1);
  } else {
    c.command_socket.store(vp::kInvalidSocket);
    close_attempt(c, s);
    vp::wsa_cleanup();
    c.command_error.store(kCommandNotOk);
  }
}

void command_thread(int cn, std::string session_id) {
  Connection& c = g_connections[cn];
  c.command_start.store(0);
  c.changed.notify();
  run_command_connection(c, session_id);
  {
    // A socket kept open here is the command socket, which brin_unconnect closes.
    std::lock_guard<std::mutex> g(c.attempt_lock);
    c.attempt_socket = vp::kInvalidSocket;
  }
  c.command_worker_done.store(true);
  c.changed.notify();
}

// Joins the command thread, waking it first from a connect or receive that
// it may be blocked in.
void end_command_worker(Connection& c) {
  if (!c.command_worker.joinable()) return;
  {
    std::lock_guard<std::mutex> g(c.attempt_lock);
    if (c.attempt_socket != vp::kInvalidSocket) vp::socket_shutdown(c.attempt_socket);
  }
  c.command_worker.join();
}

// Joins the connect thread; an abandoned connect ends within one slice of its
// connect poll.
void end_connect_worker(Connection& c) {
  if (!c.connect_worker.joinable()) return;
  c.connect_abandoned.store(true);
  c.connect_worker.join();
}

// The process ends: no thread may outlive the connection it works on.
struct WorkerReaper {
  ~WorkerReaper() {
    for (Connection& c : g_connections) {
      end_connect_worker(c);
      end_command_worker(c);
    }
  }
} g_reaper;

// Encodes the password as upper-case hexadecimal, filled with '0' to 32
// characters.
std::string encode_password(const char* password) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (const char* p = password ? password : ""; *p; ++p) {
    const auto b = static_cast<unsigned char>(*p);
    out += kDigits[b >> 4];
    out += kDigits[b & 15];
  }
  if (out.size() < 32) out.append(32 - out.size(), '0');
  return out;
}

int text_digit(char ch) {
  if (ch >= '0' && ch <= '9') return ch - '0';
  if (ch >= 'A' && ch <= 'Z') return ch - 'A' + 10;
  return -1;
}

// Decodes the hexadecimal reply text of login token 4 into out (128 bytes).
void decode_reply_text(const char* token, char* out) {
  if (!out || !*token) return;
  size_t n = 0;
  for (const char* p = token; n + 1 < 128; p += 2) {
    const int hi = text_digit(p[0]);
    if (hi < 0) break;
    const int lo = text_digit(p[1]);
    if (lo < 0) break;
    const char byte = static_cast<char>((hi * 16 + lo) & 0xFF);
    if (byte == 0) break;
    out[n++] = byte;
  }
  out[n] = 0;
}

int32_t fail_login(Connection& c, int32_t code) {
  close_socket(c.login_socket);
  vp::wsa_cleanup();
  return code;
}

// The greeting and the login on the connected login socket s: kOk with the
// login tokens and the command port set, or the code brin_connect gives.
int32_t login_exchange(Connection& c, vp::socket_t s, const char* password, char* reply_text) {
  if (vp::socket_set_nonblocking(s, true) != 0) return kNonBlockingFailed;
  if (receive_reply(s, c.login_buffer) <= 0) return kNoGreeting;
  c.login_tokens.count = 0;
  split_tokens(c.login_tokens, c.login_buffer, kSepLogin);
  if (std::strcmp(c.login_tokens.at(0), "Busy") == 0) return kReceiveFailed;

  const std::string line = "PASSWORD " + encode_password(password) + "\n";
  vp::socket_send(s, line.data(), line.size());
  const int reply_bytes = receive_reply(s, c.login_buffer);
  if (reply_bytes <= 0) return kNoLoginReply;
  split_tokens(c.login_tokens, c.login_buffer, kSepLogin);
  if (std::strcmp(c.login_tokens.at(8), "OK") != 0) {
    // The reply's third byte is the recorder's refusal code (1 to 127), given
    // back negated. A reply without one there (too short, a separator that
    // the split turned into a zero, a byte of 128 or more) is a refusal all
    // the same and must never read as a success or a positive result.
    constexpr int32_t kRefusedWithoutCode = -256;
    const auto refusal = reply_bytes >= 3 ? static_cast<int8_t>(c.login_buffer[2]) : int8_t{0};
    return refusal > 0 ? -static_cast<int32_t>(refusal) : kRefusedWithoutCode;
  }
  decode_reply_text(c.login_tokens.at(4), reply_text);
  if (c.login_tokens.count < 10) return kReceiveFailed;
  c.command_port = static_cast<uint32_t>(parse_hex(c.login_tokens.at(9)));
  return kOk;
}

int32_t connect_impl(int cn, const char* address, const char* password, char* reply_text) {
  log_entry("brin_connect", {static_cast<uint32_t>(cn)});
  if (cn < 0 || cn >= kConnections) return kBadConnectionNumber;
  Connection& c = g_connections[cn];
  c.login_port = static_cast<uint16_t>(5001 + 2 * cn);
  if (c.connected.load()) return kAlreadyConnected;
  if (!address || !*address) return kAddressEmpty;
  // The address field holds at most 19 characters; a longer text cannot be a
  // dotted address and is refused rather than cut into another one.
  if (std::strlen(address) >= sizeof c.address) return kAddressInvalid;
  std::strcpy(c.address, address);
  if (vp::wsa_startup(kWinsockVersion) != 0) return kWinsockStartFailed;
  uint32_t addr = 0;
  const bool valid = parse_address(c.address, &addr);
  log_entry("brin_connect_ip", {addr});
  if (!valid) {
    vp::wsa_cleanup();
    return kAddressInvalid;
  }
  if (c.connect_state.load() != 0) {
    vp::wsa_cleanup();
    return kSocketFailed;
  }
  vp::socket_t s = vp::socket_tcp();
  if (s == vp::kInvalidSocket) {
    vp::wsa_cleanup();
    return kSocketFailed;
  }
  if (vp::socket_bind(s, 0, 0) != 0) {
    vp::socket_close(s);
    vp::wsa_cleanup();
    return kSocketFailed;
  }

  end_connect_worker(c);
  c.connect_abandoned.store(false);
  c.connect_state.store(2);
  try {
    c.connect_worker = std::thread(connect_thread, cn, s);
  } catch (const std::system_error&) {
    c.connect_state.store(0);
    vp::socket_close(s);
    vp::wsa_cleanup();
    return kSocketFailed;
  }
  c.changed.wait([&] { return c.connect_state.load() != 2; });
  const uint32_t connect_limit_ms = static_cast<uint32_t>(std::max(timing().connect_polls, 0)) * kConnectPollMs;
  if (!c.changed.wait_for(connect_limit_ms, [&] { return c.connect_state.load() == 0; })) {
    // The abandoned connect ends promptly; the socket is this thread's again.
    end_connect_worker(c);
    vp::socket_close(s);
    vp::wsa_cleanup();
    return kSocketFailed;
  }
  c.connect_worker.join();
  c.login_socket = s;
  if (c.connect_result.load() != 0) return fail_login(c, kSocketFailed);
  if (const int32_t r = login_exchange(c, s, password, reply_text); r != kOk) return fail_login(c, r);

  if (!c.command_established.load()) {
    c.command_error.store(0);
    c.command_start.store(1);
    end_command_worker(c);
    c.command_worker_done.store(false);
    try {
      c.command_worker = std::thread(command_thread, cn, std::string(c.login_tokens.at(10)));
    } catch (const std::system_error&) {
      c.command_worker_done.store(true);
      c.command_start.store(0);
    }
    const uint32_t command_limit_ms = static_cast<uint32_t>(std::max(timing().command_start_polls, 0)) * kCommandPollMs;
    c.changed.wait_for(command_limit_ms, [&] { return c.command_start.load() == 0; });
    c.changed.wait_for(command_limit_ms,
                       [&] { return c.command_established.load() != 0 || c.command_error.load() != 0; });
    // A thread that has finished is collected now; one still waiting for the
    // recorder is joined by brin_unconnect.
    if (c.command_worker_done.load()) c.command_worker.join();
  }
  close_socket(c.login_socket);
  vp::wsa_cleanup();
  c.connected.store(1);
  log_entry("brin_connect_success", {static_cast<uint32_t>(cn)});
  return kOk;
}

int32_t unconnect_impl(int cn) {
  log_entry("brin_unconnect", {static_cast<uint32_t>(cn)});
  if (cn < 0 || cn >= kConnections) return kBadConnectionNumber;
  Connection& c = g_connections[cn];
  if (!c.connected.load()) return kNotConnected;
  // A command thread still waiting for the recorder is woken and ended first:
  // it may be using the command socket.
  end_command_worker(c);
  const vp::socket_t s = c.command_socket.exchange(vp::kInvalidSocket);
  if (s != vp::kInvalidSocket) vp::socket_close(s);
  // The disconnect sequence's fixed pause after the close, before the
  // session's network use ends.
  vp::sleep_ms(static_cast<uint32_t>(timing().unconnect_sleep_ms));
  vp::wsa_cleanup();
  c.command_established.store(0);
  c.connected.store(0);
  return kOk;
}

}  // namespace

Connection& connection(int cn) { return g_connections[cn]; }

int32_t check_connection(int cn) {
  if (cn < 0 || cn >= kConnections) return kBadConnectionNumber;
  if (!g_connections[cn].connected.load()) return kNotConnected;
  return kOk;
}

void new_transaction_id(int cn) {
  // The ID is the tick count, but two requests within one millisecond must
  // not share one: a late reply to the first would pass the second's check.
  // A tick that is not past the connection's last ID gives the value after
  // it, so the IDs of a connection only ever grow (modulo the 32-bit wrap).
  static uint32_t last_id[kConnections];
  static bool has_last[kConnections];
  uint32_t id = vp::tick_count_ms();
  if (has_last[cn] && static_cast<int32_t>(id - last_id[cn]) <= 0) id = last_id[cn] + 1;
  last_id[cn] = id;
  has_last[cn] = true;
  std::snprintf(g_connections[cn].transaction_id, kTransactionIdBytes, "ID%08X", id);
}

void send_request(int cn, const char* text) {
  vp::socket_send(g_connections[cn].command_socket.load(), text, std::strlen(text));
}

bool send_bytes(int cn, const void* data, size_t len) {
  const vp::socket_t s = g_connections[cn].command_socket.load();
  const auto* p = static_cast<const uint8_t*>(data);
  while (len > 0) {
    const int n = vp::socket_send(s, p, len);
    if (n > 0) {
      p += n;
      len -= static_cast<size_t>(n);
    } else if (n == vp::kSocketError && vp::last_socket_error() == vp::kWsaEwouldblock) {
      if (vp::socket_wait_readable(s, 0) == vp::kSocketError) return false;
      vp::sleep_ms(kSendRetryMs);
    } else {
      return false;
    }
  }
  return true;
}

void split_reply(int cn, const char* separators) {
  Connection& c = g_connections[cn];
  c.reply_tokens.count = 0;
  split_tokens(c.reply_tokens, c.reply_buffer, separators);
}

int32_t check_reply(int cn) {
  const Connection& c = g_connections[cn];
  if (c.reply_tokens.count >= 1 && std::strcmp(c.reply_tokens.at(0), c.transaction_id) != 0) return kOtherTransaction;
  if (c.reply_tokens.count >= 2 && std::strcmp(c.reply_tokens.at(1), "OK") != 0) return kNotOk;
  return kOk;
}

int32_t vrequest(int cn, const RequestOptions& options, const char* format, va_list args) {
  if (const int32_t r = check_connection(cn); r != kOk) return r;
  Connection& c = g_connections[cn];
  new_transaction_id(cn);
  char body[1024];
  std::vsnprintf(body, sizeof body, format, args);
  const std::string line = std::string(c.transaction_id) + " " + body;
  send_request(cn, line.c_str());
  int received = kReceiveFailed;
  for (int attempt = 0; attempt < options.attempts; ++attempt) {
    received = receive_reply(c.command_socket.load(), c.reply_buffer);
    if (received > 0) break;
  }
  if (received <= 0) return options.on_failure == ReceiveFailure::kPassThrough ? received : kReceiveFailed;
  split_reply(cn, options.separators);
  return check_reply(cn);
}

int32_t request(int cn, const RequestOptions& options, const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int32_t r = vrequest(cn, options, format, args);
  va_end(args);
  return r;
}

int32_t reply_hex(int cn, int i) { return parse_hex(g_connections[cn].reply_tokens.at(i)); }

namespace testing {

int32_t login_over(int cn, vp::socket_t s, const char* password, char* reply_text) {
  return login_exchange(g_connections[cn], s, password, reply_text);
}

int32_t open_session_over(int cn, vp::socket_t s) {
  Connection& c = g_connections[cn];
  return open_session(c, s, c.login_tokens.at(10));
}

void attach_command_socket(int cn, vp::socket_t s) {
  Connection& c = g_connections[cn];
  vp::socket_set_nonblocking(s, true);
  c.command_socket.store(s);
  c.command_established.store(1);
  c.connected.store(1);
}

void detach_command_socket(int cn) {
  Connection& c = g_connections[cn];
  c.command_socket.store(vp::kInvalidSocket);
  c.command_established.store(0);
  c.connected.store(0);
}

}  // namespace testing

}  // namespace brin

extern "C" {

int32_t brin_connect(int32_t cn, const char* address, const char* password, char* reply_text) {
  return brin::guarded(brin::kSocketFailed, [&] { return brin::connect_impl(cn, address, password, reply_text); });
}

int32_t brin_unconnect(int32_t cn, int32_t, int32_t, int32_t) {
  return brin::guarded(brin::kNotConnected, [&] { return brin::unconnect_impl(cn); });
}

}  // extern "C"
