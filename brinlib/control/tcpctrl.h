// The control sessions: sixteen connection numbers, each with a login
// exchange, a command connection, a transaction ID and the token tables of
// the last replies. The command functions of every area go through request().
#pragma once
#include <atomic>
#include <cstdarg>
#include <cstdint>
#include <mutex>
#include <thread>

#include "Tcpetc.h"
#include "velmora/net.h"
#include "velmora/sync.h"

namespace brin {

inline constexpr int kConnections = 16;
inline constexpr int kAddressBytes = 20;
inline constexpr int kTransactionIdBytes = 128;

// Result codes shared by the control functions.
enum ControlCode : int32_t {
  kOk = 0,
  kReceiveFailed = -1,
  kWinsockStartFailed = -4,
  kAddressEmpty = -5,
  kAddressInvalid = -6,
  kSocketFailed = -7,
  kBadConnectionNumber = -127,
  kNonBlockingFailed = -234,
  kNoCommandReply = -235,
  kNoGreeting = -254,
  kNoLoginReply = -255,
  kNotConnected = -10200,
  kAlreadyConnected = -10201,
  kOtherTransaction = -10500,
  kNotOk = -10501,
  kCommandAlreadyEstablished = -201,
  kCommandNotOk = -102,
};

struct Connection {
  char address[kAddressBytes] = {};
  uint16_t login_port = 0;
  vp::socket_t login_socket = vp::kInvalidSocket;
  std::atomic<vp::socket_t> command_socket{vp::kInvalidSocket};
  // 0 = no connect running, 1 = connect running, 2 = connect thread starting.
  std::atomic<int> connect_state{0};
  std::atomic<int> connect_result{0};
  std::atomic<bool> connect_abandoned{false};
  uint32_t command_port = 0;
  std::atomic<int> command_start{0};
  std::atomic<int> command_established{0};
  std::atomic<int> command_error{0};
  std::atomic<int> connected{0};
  // The login's connect thread and the command-connection thread. The caller
  // waits for them on `changed`, which each notifies after changing one of the
  // flags above; they are joined before the next connect, by brin_unconnect
  // and when the process ends.
  vp::Signal changed;
  std::thread connect_worker;
  std::thread command_worker;
  std::atomic<bool> command_worker_done{true};
  // The command thread's socket until it becomes the command socket, so that
  // a thread blocked in its connect or first receive can be woken (shut down)
  // to be joined. Guarded by attempt_lock, also while the thread closes it.
  std::mutex attempt_lock;
  vp::socket_t attempt_socket = vp::kInvalidSocket;
  char transaction_id[kTransactionIdBytes] = {};
  TokenTable login_tokens;
  TokenTable reply_tokens;
  char login_buffer[kReplyBytes + 1] = {};
  char reply_buffer[kReplyBytes + 1] = {};
};

// Connection cn (0 to 15); callers check the range first.
Connection& connection(int cn);

// The checks every command makes first: -127 or -10200, else 0.
int32_t check_connection(int cn);
// Writes "ID%08X" of the tick count into the connection's transaction ID;
// never the same ID as the connection's previous request.
void new_transaction_id(int cn);
// Sends text (without its terminating zero) in one send on the command socket.
void send_request(int cn, const char* text);
// Sends exactly len bytes on the command socket; false on failure.
bool send_bytes(int cn, const void* data, size_t len);
// Splits the received reply in the connection's reply buffer into the reply
// token table, starting a new table.
void split_reply(int cn, const char* separators);
// -10500 when token 0 is not the transaction ID, -10501 when token 1 is not
// "OK", else 0.
int32_t check_reply(int cn);

// How a command reports that its receive attempts all failed.
enum class ReceiveFailure { kMinusOne, kPassThrough };

struct RequestOptions {
  int attempts = 1;
  ReceiveFailure on_failure = ReceiveFailure::kMinusOne;
  const char* separators = kSepCommand;
};

// One command: connection checks, a fresh transaction ID, the line
// "<ID> " + format ..., up to attempts receives, split and check. Returns 0
// with the reply in connection(cn).reply_tokens, or a negative code.
int32_t request(int cn, const RequestOptions& options, const char* format, ...) __attribute__((format(printf, 3, 4)));
int32_t vrequest(int cn, const RequestOptions& options, const char* format, va_list args);

// The reply's token i read as hexadecimal.
int32_t reply_hex(int cn, int i);

// For the fuzz targets and tests: the recorder's replies fed through a socket
// the caller connected (a socket pair) instead of a connection to a recorder.
namespace testing {
// The greeting and login exchange of brin_connect over s; its result, with
// the login tokens and the command port set as brin_connect leaves them. The
// socket stays the caller's.
int32_t login_over(int cn, vp::socket_t s, const char* password, char* reply_text);
// The command connection's session exchange over s, with the session ID of
// the last login: kOk, kNoCommandReply or kCommandNotOk.
int32_t open_session_over(int cn, vp::socket_t s);
// Makes s the connection's command socket, connected as after a login, so
// that the commands go over it; detach ends that without closing s.
void attach_command_socket(int cn, vp::socket_t s);
void detach_command_socket(int cn);
}  // namespace testing

}  // namespace brin
