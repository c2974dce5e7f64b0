// zeb-sim: a ZEB recorder played on loopback, for tests and the demo.
//
// A Recorder listens on one 127.x.y.z address at the login ports 5001 + 2n
// (n = 0 to 15), greets, checks the password, names a command port and answers
// the control commands with stateful values. It can be told to misbehave so
// that the client's failure paths run over real sockets. Other parts of the
// stand-in (live stream, remote copy) plug their commands in with
// add_command().
#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace zebsim {

struct Config {
  std::string address = "127.0.0.1";
  std::string password = "admin";
  std::string name = "ZEB-5 Shop";    // the text sent hex-encoded at login
  uint16_t enabled_cameras = 0x000F;  // bit k: camera k exists
  int first_connection = 0;           // login ports of connection numbers
  int last_connection = 15;           // first..last are opened
  bool two_digit_year = true;         // clock replies "yy/mm/dd"
};

enum class Fault {
  kNone,
  kBusy,              // greet "Busy" and close
  kNoGreeting,        // accept the login and say nothing
  kRefusePassword,    // refuse every password with `code`
  kNoLoginReply,      // read the password and say nothing
  kShortLoginReply,   // a login reply of only nine tokens in all
  kRejectSession,     // answer the command connection's "ID = " with "NG"
  kLateReply,         // answer commands after `delay_ms`
  kNoReply,           // read commands and never answer them
  kWrongTransaction,  // answer with another transaction ID
  kNotOk,             // answer "NG" instead of "OK"
  kCloseMidReply,     // send half a reply, then close the command connection
  kSurplusData,       // menu data and play list: send `extra_bytes` more than
                      // announced, in the same send as the data
};

struct FaultPlan {
  Fault fault = Fault::kNone;
  int count = -1;         // commands (or logins) affected; -1 = until cleared
  int delay_ms = 0;       // kLateReply
  int code = 50;          // kRefusePassword: the refusal byte
  std::string only_word;  // command faults: only this command word (empty = any)
  int extra_bytes = 16;   // kSurplusData
};

// One parsed request line: "<id> <word> <args...>".
struct Request {
  std::string line;  // as received, without the line feed
  std::string id;
  std::string word;
  std::vector<std::string> args;
  // Argument i read as hexadecimal (0 when missing).
  uint32_t hex(size_t i) const;
  int dec(size_t i) const;
};

class Session;
using CommandHandler = std::function<void(Session&, const Request&)>;

// The command connection as a handler sees it.
class Session {
 public:
  virtual ~Session() = default;
  // Sends "<id> OK <fields>\r\n" (subject to the reply faults).
  virtual void reply(const Request& r, const std::string& fields) = 0;
  // Sends bytes as they are.
  virtual bool send_raw(const void* data, size_t len) = 0;
  // Reads the next line (without its line feed); false when the peer closed.
  virtual bool read_line(std::string& line, int timeout_ms) = 0;
  // Reads exactly len bytes; false on close or time-out.
  virtual bool read_bytes(std::vector<uint8_t>& out, size_t len, int timeout_ms) = 0;
  // The client's address (network order) and the connection number whose
  // login port it used.
  virtual uint32_t peer_address() const = 0;
  virtual int connection_number() const = 0;
};

class Recorder {
 public:
  explicit Recorder(Config config = {});
  ~Recorder();
  Recorder(const Recorder&) = delete;
  Recorder& operator=(const Recorder&) = delete;

  // Opens the listening sockets and starts serving; false (with error())
  // when an address or port cannot be bound.
  bool start();
  void stop();
  const std::string& error() const { return error_; }
  const Config& config() const { return config_; }
  uint16_t command_port() const { return command_port_; }

  void inject(const FaultPlan& plan);
  void clear_faults();

  // Adds or replaces the handler of a command word.
  void add_command(const std::string& word, CommandHandler handler);

  // State, for tests and for the other parts of the stand-in.
  std::vector<std::string> requests() const;  // every command line received
  void clear_requests();
  int logins() const { return logins_.load(); }
  int accepts() const { return accepts_.load(); }  // TCP connections accepted
  int open_sessions() const { return open_sessions_.load(); }
  std::string last_password_line() const;
  uint32_t switch_item(const std::string& table, uint32_t item) const;
  void set_switch_item(const std::string& table, uint32_t item, uint32_t value);
  std::vector<uint8_t> menu_data() const;
  void set_play_list(const std::string& list);
  std::vector<uint8_t> last_update() const;
  int reboots() const { return reboots_.load(); }
  // Recorder clock: local time of the PC plus an offset that SetTime changes.
  int64_t clock_offset_s() const { return clock_offset_s_.load(); }
  std::string clock_date() const;  // "yyyy/mm/dd"
  std::string clock_time() const;  // "hh:mm:ss"

 private:
  friend class ControlSession;
  void accept_loop();
  void serve_login(int fd, int cn, uint32_t peer);
  void serve_command(int fd, uint32_t peer);
  void register_builtin_commands();
  bool take_fault(Fault f, const std::string& word, FaultPlan* plan = nullptr);
  void track(std::thread t);

  Config config_;
  std::string error_;
  std::atomic<bool> running_{false};
  std::vector<int> login_listeners_;  // index = connection number - first
  int command_listener_ = -1;
  uint16_t command_port_ = 0;
  int wake_pipe_[2] = {-1, -1};
  std::thread accept_thread_;

  mutable std::mutex mutex_;
  std::vector<std::thread> threads_;
  std::vector<int> open_fds_;
  std::vector<FaultPlan> faults_;
  std::map<std::string, CommandHandler> handlers_;
  std::map<std::string, int> sessions_;  // session ID -> connection number
  std::vector<std::string> requests_;
  std::string last_password_line_;
  std::map<std::string, std::map<uint32_t, uint32_t>> switches_;
  std::map<std::string, uint32_t> registers_;
  uint32_t combi_[5] = {0, 0, 0, 0, 0};
  std::string play_list_;
  std::vector<uint8_t> last_update_;
  std::atomic<int> logins_{0};
  std::atomic<int> accepts_{0};
  std::atomic<int> open_sessions_{0};
  std::atomic<int> reboots_{0};
  std::atomic<int64_t> clock_offset_s_{0};
  uint32_t session_counter_ = 0;
};

// Parses a command line into a Request (exposed for tests).
Request parse_request(const std::string& line);

}  // namespace zebsim
