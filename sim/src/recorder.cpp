#include "zebsim/recorder.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace zebsim {
namespace {

constexpr int kLineTimeoutMs = 60000;

int listen_on(uint32_t addr_net, uint16_t port, std::string* error) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    *error = std::string("socket: ") + std::strerror(errno);
    return -1;
  }
  int one = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addr_net;
  sa.sin_port = htons(port);
  if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0 || ::listen(fd, 16) < 0) {
    char text[64];
    std::snprintf(text, sizeof text, "bind/listen port %u: ", port);
    *error = text + std::string(std::strerror(errno));
    ::close(fd);
    return -1;
  }
  return fd;
}

bool send_all(int fd, const void* data, size_t len) {
  const auto* p = static_cast<const uint8_t*>(data);
  while (len > 0) {
    ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    p += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

std::string hex_encode(const std::string& text) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : text) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

// Bytes a faulty recorder sends beyond the data it announced: the start of
// a line that reads like a reply, then filler.
std::vector<uint8_t> surplus_bytes(int n) {
  static constexpr char kText[] = "ID00000000 OK 00 5A5A\r\n";
  std::vector<uint8_t> out;
  for (int i = 0; i < n; ++i)
    out.push_back(static_cast<uint8_t>(static_cast<size_t>(i) < sizeof kText - 1 ? kText[i] : '#'));
  return out;
}

std::string hex_field(uint32_t v, int width) {
  char text[16];
  std::snprintf(text, sizeof text, "%0*X", width, v);
  return text;
}

void sleep_ms(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

}  // namespace

uint32_t Request::hex(size_t i) const {
  return i < args.size() ? static_cast<uint32_t>(std::strtoul(args[i].c_str(), nullptr, 16)) : 0;
}

int Request::dec(size_t i) const { return i < args.size() ? std::atoi(args[i].c_str()) : 0; }

Request parse_request(const std::string& line) {
  Request r;
  r.line = line;
  std::vector<std::string> words;
  std::string cur;
  for (char c : line) {
    if (c == ' ' || c == '\t' || c == '\r' || c == '\n') {
      if (!cur.empty()) words.push_back(cur);
      cur.clear();
    } else {
      cur += c;
    }
  }
  if (!cur.empty()) words.push_back(cur);
  if (!words.empty()) r.id = words[0];
  if (words.size() > 1) r.word = words[1];
  for (size_t i = 2; i < words.size(); ++i) r.args.push_back(words[i]);
  return r;
}

// A TCP connection with a line buffer, shared by the login and command sides.
class Connection {
 public:
  explicit Connection(int fd) : fd_(fd) {}
  int fd() const { return fd_; }

  bool read_line(std::string& line, int timeout_ms) {
    for (;;) {
      if (auto nl = buffer_.find('\n'); nl != std::string::npos) {
        line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return true;
      }
      if (!fill(timeout_ms)) return false;
    }
  }

  bool read_bytes(std::vector<uint8_t>& out, size_t len, int timeout_ms) {
    out.clear();
    while (out.size() < len) {
      if (buffer_.empty() && !fill(timeout_ms)) return false;
      const size_t take = std::min(len - out.size(), buffer_.size());
      out.insert(out.end(), buffer_.begin(), buffer_.begin() + static_cast<long>(take));
      buffer_.erase(0, take);
    }
    return true;
  }

 private:
  bool fill(int timeout_ms) {
    pollfd p{fd_, POLLIN, 0};
    int r = ::poll(&p, 1, timeout_ms);
    if (r <= 0) return false;
    char chunk[65536];
    ssize_t n = ::recv(fd_, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    buffer_.append(chunk, static_cast<size_t>(n));
    return true;
  }

  int fd_;
  std::string buffer_;
};

class ControlSession : public Session {
 public:
  ControlSession(Recorder& rec, Connection& conn, uint32_t peer, int cn)
      : rec_(rec), conn_(conn), peer_(peer), cn_(cn) {}

  void reply(const Request& r, const std::string& fields) override {
    FaultPlan plan;
    if (rec_.take_fault(Fault::kNoReply, r.word)) return;
    if (rec_.take_fault(Fault::kLateReply, r.word, &plan)) sleep_ms(plan.delay_ms);
    std::string id = r.id;
    if (rec_.take_fault(Fault::kWrongTransaction, r.word)) id = "ID00000000" == id ? "ID00000001" : "ID00000000";
    const char* status = rec_.take_fault(Fault::kNotOk, r.word) ? "NG" : "OK";
    std::string text = id + " " + status + (fields.empty() ? "" : " " + fields) + "\r\n";
    if (rec_.take_fault(Fault::kCloseMidReply, r.word)) {
      send_all(conn_.fd(), text.data(), text.size() / 2);
      ::shutdown(conn_.fd(), SHUT_RDWR);
      closed_ = true;
      return;
    }
    send_all(conn_.fd(), text.data(), text.size());
  }

  bool send_raw(const void* data, size_t len) override { return send_all(conn_.fd(), data, len); }
  bool read_line(std::string& line, int timeout_ms) override { return conn_.read_line(line, timeout_ms); }
  bool read_bytes(std::vector<uint8_t>& out, size_t len, int timeout_ms) override {
    return conn_.read_bytes(out, len, timeout_ms);
  }
  uint32_t peer_address() const override { return peer_; }
  int connection_number() const override { return cn_; }
  bool closed() const { return closed_; }

 private:
  Recorder& rec_;
  Connection& conn_;
  uint32_t peer_;
  int cn_;
  bool closed_ = false;
};

Recorder::Recorder(Config config) : config_(std::move(config)) {
  // Plausible switch items: the stream's multicast group 239.1.2.3 and base
  // port 50000, a packet size of 1400 bytes.
  switches_["cam"][181] = 1;
  switches_["cam"][182] = 0xEF010203;
  switches_["cam"][183] = 50000;
  switches_["cam"][187] = 0;
  switches_["cam"][189] = 1400;
  play_list_ =
      "2\n"
      "2026/12/07 09:00:00 2026/12/07 09:30:00;1\n"
      "2026/12/07 10:00:00 2026/12/07 10:05:00;1\n";
  register_builtin_commands();
}

Recorder::~Recorder() { stop(); }

bool Recorder::start() {
  if (running_.load()) return true;
  uint32_t addr = 0;
  if (::inet_pton(AF_INET, config_.address.c_str(), &addr) != 1) {
    error_ = "invalid address " + config_.address;
    return false;
  }
  for (int cn = config_.first_connection; cn <= config_.last_connection; ++cn) {
    int fd = listen_on(addr, static_cast<uint16_t>(5001 + 2 * cn), &error_);
    if (fd < 0) {
      stop();
      return false;
    }
    login_listeners_.push_back(fd);
  }
  command_listener_ = listen_on(addr, 0, &error_);
  if (command_listener_ < 0) {
    stop();
    return false;
  }
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  ::getsockname(command_listener_, reinterpret_cast<sockaddr*>(&sa), &len);
  command_port_ = ntohs(sa.sin_port);
  if (::pipe2(wake_pipe_, O_CLOEXEC) < 0) {
    error_ = "pipe";
    stop();
    return false;
  }
  running_.store(true);
  accept_thread_ = std::thread([this] { accept_loop(); });
  return true;
}

void Recorder::stop() {
  const bool was_running = running_.exchange(false);
  if (was_running && wake_pipe_[1] >= 0) (void)!::write(wake_pipe_[1], "x", 1);
  if (accept_thread_.joinable()) accept_thread_.join();
  std::vector<std::thread> threads;
  {
    std::lock_guard<std::mutex> g(mutex_);
    for (int fd : open_fds_) ::shutdown(fd, SHUT_RDWR);
    threads.swap(threads_);
  }
  for (auto& t : threads) t.join();
  for (int fd : login_listeners_) ::close(fd);
  login_listeners_.clear();
  if (command_listener_ >= 0) ::close(command_listener_);
  command_listener_ = -1;
  for (int& fd : wake_pipe_) {
    if (fd >= 0) ::close(fd);
    fd = -1;
  }
}

void Recorder::track(std::thread t) {
  std::lock_guard<std::mutex> g(mutex_);
  threads_.push_back(std::move(t));
}

void Recorder::accept_loop() {
  while (running_.load()) {
    std::vector<pollfd> fds;
    for (int fd : login_listeners_) fds.push_back({fd, POLLIN, 0});
    fds.push_back({command_listener_, POLLIN, 0});
    fds.push_back({wake_pipe_[0], POLLIN, 0});
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR) continue;
      return;
    }
    if (fds.back().revents) return;
    for (size_t i = 0; i + 1 < fds.size(); ++i) {
      if (!(fds[i].revents & POLLIN)) continue;
      sockaddr_in peer{};
      socklen_t len = sizeof peer;
      int c = ::accept4(fds[i].fd, reinterpret_cast<sockaddr*>(&peer), &len, SOCK_CLOEXEC);
      if (c < 0) continue;
      accepts_.fetch_add(1);
      int one = 1;
      ::setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
      {
        std::lock_guard<std::mutex> g(mutex_);
        open_fds_.push_back(c);
      }
      const uint32_t peer_addr = peer.sin_addr.s_addr;
      if (fds[i].fd == command_listener_) {
        track(std::thread([this, c, peer_addr] { serve_command(c, peer_addr); }));
      } else {
        const int cn = config_.first_connection + static_cast<int>(i);
        track(std::thread([this, c, cn, peer_addr] { serve_login(c, cn, peer_addr); }));
      }
    }
  }
}

bool Recorder::take_fault(Fault f, const std::string& word, FaultPlan* plan) {
  std::lock_guard<std::mutex> g(mutex_);
  for (auto it = faults_.begin(); it != faults_.end(); ++it) {
    if (it->fault != f) continue;
    if (!it->only_word.empty() && it->only_word != word) continue;
    if (plan) *plan = *it;
    if (it->count > 0 && --it->count == 0) faults_.erase(it);
    return true;
  }
  return false;
}

void Recorder::inject(const FaultPlan& plan) {
  std::lock_guard<std::mutex> g(mutex_);
  faults_.push_back(plan);
}

void Recorder::clear_faults() {
  std::lock_guard<std::mutex> g(mutex_);
  faults_.clear();
}

void Recorder::add_command(const std::string& word, CommandHandler handler) {
  std::lock_guard<std::mutex> g(mutex_);
  handlers_[word] = std::move(handler);
}

static void close_tracked(std::mutex& m, std::vector<int>& fds, int fd) {
  std::lock_guard<std::mutex> g(m);
  fds.erase(std::remove(fds.begin(), fds.end(), fd), fds.end());
  ::close(fd);
}

void Recorder::serve_login(int fd, int cn, uint32_t peer) {
  Connection conn(fd);
  auto finish = [&] { close_tracked(mutex_, open_fds_, fd); };
  if (take_fault(Fault::kBusy, "")) {
    send_all(fd, "Busy\r\n", 6);
    return finish();
  }
  if (take_fault(Fault::kNoGreeting, "")) {
    std::string ignored;
    conn.read_line(ignored, kLineTimeoutMs);
    return finish();
  }
  const std::string greeting = "ZEB-5 READY 0100 0000\r\n";
  send_all(fd, greeting.data(), greeting.size());
  std::string line;
  if (!conn.read_line(line, kLineTimeoutMs)) return finish();
  {
    std::lock_guard<std::mutex> g(mutex_);
    last_password_line_ = line;
  }
  if (take_fault(Fault::kNoLoginReply, "")) {
    conn.read_line(line, kLineTimeoutMs);
    return finish();
  }
  std::string expected = hex_encode(config_.password);
  if (expected.size() < 32) expected.append(32 - expected.size(), '0');
  FaultPlan refusal;
  const bool refused = take_fault(Fault::kRefusePassword, "", &refusal);
  if (refused || line != "PASSWORD " + expected) {
    // The third byte of the reply carries the refusal code.
    const char code = static_cast<char>(refused ? refusal.code : 50);
    std::string reply = "NG";
    reply += code;
    reply += " 00 00 00 00 00 00 00 00\r\n";
    send_all(fd, reply.data(), reply.size());
    return finish();
  }
  std::string session;
  {
    std::lock_guard<std::mutex> g(mutex_);
    char text[16];
    std::snprintf(text, sizeof text, "S%07X", ++session_counter_ + 0x100000u * static_cast<uint32_t>(cn));
    session = text;
    sessions_[session] = cn;
  }
  std::string reply = hex_encode(config_.name) + " 00 00 00 OK";
  if (!take_fault(Fault::kShortLoginReply, "")) reply += " " + hex_field(command_port_, 4) + " " + session;
  reply += "\r\n";
  send_all(fd, reply.data(), reply.size());
  logins_.fetch_add(1);
  // The recorder closes the login connection once the client has gone.
  conn.read_line(line, 2000);
  finish();
}

void Recorder::serve_command(int fd, uint32_t peer) {
  Connection conn(fd);
  std::string line;
  int cn = -1;
  if (conn.read_line(line, kLineTimeoutMs) && line.rfind("ID = ", 0) == 0) {
    std::lock_guard<std::mutex> g(mutex_);
    auto it = sessions_.find(line.substr(5));
    if (it != sessions_.end()) {
      cn = it->second;
      sessions_.erase(it);
    }
  }
  if (cn < 0 || take_fault(Fault::kRejectSession, "")) {
    send_all(fd, "NG\r\n", 4);
    close_tracked(mutex_, open_fds_, fd);
    return;
  }
  send_all(fd, "OK\r\n", 4);
  open_sessions_.fetch_add(1);
  ControlSession session(*this, conn, peer, cn);
  while (running_.load() && !session.closed() && conn.read_line(line, -1)) {
    Request r = parse_request(line);
    CommandHandler handler;
    {
      std::lock_guard<std::mutex> g(mutex_);
      requests_.push_back(line + "\n");
      // A line without a transaction ID ("JpegSendStart") is looked up by
      // its one word.
      auto it = handlers_.find(r.word.empty() ? r.id : r.word);
      if (it != handlers_.end()) handler = it->second;
    }
    if (handler) {
      handler(session, r);
    } else if (!r.word.empty()) {
      session.reply(r, "");
    }
  }
  open_sessions_.fetch_sub(1);
  close_tracked(mutex_, open_fds_, fd);
}

std::vector<std::string> Recorder::requests() const {
  std::lock_guard<std::mutex> g(mutex_);
  return requests_;
}

void Recorder::clear_requests() {
  std::lock_guard<std::mutex> g(mutex_);
  requests_.clear();
}

std::string Recorder::last_password_line() const {
  std::lock_guard<std::mutex> g(mutex_);
  return last_password_line_;
}

uint32_t Recorder::switch_item(const std::string& table, uint32_t item) const {
  std::lock_guard<std::mutex> g(mutex_);
  auto t = switches_.find(table);
  if (t == switches_.end()) return 0;
  auto it = t->second.find(item);
  return it == t->second.end() ? 0 : it->second;
}

void Recorder::set_switch_item(const std::string& table, uint32_t item, uint32_t value) {
  std::lock_guard<std::mutex> g(mutex_);
  switches_[table][item] = value;
}

std::vector<uint8_t> Recorder::menu_data() const {
  // 513 bytes; byte k (k = 0 to 15) is the enable byte of camera k.
  std::vector<uint8_t> menu(513, 0);
  for (int k = 0; k < 16; ++k) menu[static_cast<size_t>(k)] = (config_.enabled_cameras >> k) & 1 ? 1 : 0;
  const std::string name = config_.name;
  std::copy(name.begin(), name.end(), menu.begin() + 32);
  return menu;
}

void Recorder::set_play_list(const std::string& list) {
  std::lock_guard<std::mutex> g(mutex_);
  play_list_ = list;
}

std::vector<uint8_t> Recorder::last_update() const {
  std::lock_guard<std::mutex> g(mutex_);
  return last_update_;
}

static tm recorder_tm(int64_t offset) {
  const time_t now = std::time(nullptr) + static_cast<time_t>(offset);
  tm t{};
  localtime_r(&now, &t);
  return t;
}

std::string Recorder::clock_date() const {
  const tm t = recorder_tm(clock_offset_s_.load());
  char text[32];
  std::snprintf(text, sizeof text, "%04d/%02d/%02d", t.tm_year + 1900, t.tm_mon + 1, t.tm_mday);
  return text;
}

std::string Recorder::clock_time() const {
  const tm t = recorder_tm(clock_offset_s_.load());
  char text[32];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d", t.tm_hour, t.tm_min, t.tm_sec);
  return text;
}

void Recorder::register_builtin_commands() {
  handlers_["GetTime"] = [this](Session& s, const Request& r) {
    std::string date = clock_date();
    if (config_.two_digit_year) date = date.substr(2);
    s.reply(r, date + " " + clock_time());
  };
  handlers_["SetTime"] = [this](Session& s, const Request& r) {
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, sec = 0;
    if (r.args.size() >= 2 && std::sscanf(r.args[0].c_str(), "%d/%d/%d", &y, &mo, &d) == 3 &&
        std::sscanf(r.args[1].c_str(), "%d:%d:%d", &h, &mi, &sec) == 3) {
      if (y < 100) y += y < 80 ? 2000 : 1900;
      tm t{};
      t.tm_year = y - 1900;
      t.tm_mon = mo - 1;
      t.tm_mday = d;
      t.tm_hour = h;
      t.tm_min = mi;
      t.tm_sec = sec;
      t.tm_isdst = -1;
      const time_t wanted = std::mktime(&t);
      if (wanted != static_cast<time_t>(-1)) clock_offset_s_.store(static_cast<int64_t>(wanted - std::time(nullptr)));
    }
    s.reply(r, "");
  };
  auto switch_get = [this](const std::string& table) {
    return [this, table](Session& s, const Request& r) {
      const uint32_t item = r.hex(0);
      s.reply(r, hex_field(item, 2) + " " + hex_field(switch_item(table, item), 2));
    };
  };
  auto switch_set = [this](const std::string& table) {
    return [this, table](Session& s, const Request& r) {
      const uint32_t item = r.hex(0), value = r.hex(1);
      set_switch_item(table, item, value);
      s.reply(r, hex_field(item, 2) + " " + hex_field(value, 2));
    };
  };
  handlers_["CamSwGet"] = switch_get("cam");
  handlers_["CamSwSet"] = switch_set("cam");
  handlers_["HDSwGet"] = switch_get("hd");
  handlers_["HDSwSet"] = switch_set("hd");
  handlers_["JpegSwGet"] = switch_get("jpeg");
  handlers_["JpegSwSet"] = switch_set("jpeg");
  handlers_["CombiSwSet"] = [this](Session& s, const Request& r) {
    {
      std::lock_guard<std::mutex> g(mutex_);
      for (size_t i = 0; i < 5; ++i) combi_[i] = r.hex(i);
    }
    s.reply(r, hex_field(r.hex(0), 4) + " " + hex_field(r.hex(1), 4));
  };
  handlers_["CombiSwGet"] = [this](Session& s, const Request& r) {
    uint32_t c[5];
    {
      std::lock_guard<std::mutex> g(mutex_);
      std::copy(combi_, combi_ + 5, c);
    }
    // Tokens 2 to 5 of the reply: the second, third, fourth and first value.
    s.reply(r, hex_field(c[1], 4) + " " + hex_field(c[2], 4) + " " + hex_field(c[3], 4) + " " + hex_field(c[0], 4));
  };
  handlers_["SendMenu"] = [this](Session& s, const Request& r) {
    const std::vector<uint8_t> menu = menu_data();
    s.reply(r, hex_field(static_cast<uint32_t>(menu.size()), 4));
    std::string line;
    if (!s.read_line(line, kLineTimeoutMs) || line != "dummy") return;
    std::vector<uint8_t> data = menu;
    FaultPlan plan;
    if (take_fault(Fault::kSurplusData, r.word, &plan)) {
      const auto extra = surplus_bytes(plan.extra_bytes);
      data.insert(data.end(), extra.begin(), extra.end());
    }
    s.send_raw(data.data(), data.size());
  };
  handlers_["SendStatus"] = [this](Session& s, const Request& r) {
    s.reply(r, hex_field(r.hex(0), 2) + " " + hex_field(config_.enabled_cameras, 4));
  };
  // Memory, chip and non-volatile registers: a Get with arguments (a, b ...)
  // reads what a Set with the same leading arguments and a value stored.
  auto register_key = [](const Request& r, size_t n) {
    std::string key = r.word.substr(0, 3);
    for (size_t i = 0; i < n; ++i) key += ":" + hex_field(r.hex(i), 1);
    return key;
  };
  auto memory_get = [this, register_key](Session& s, const Request& r) {
    uint32_t v;
    {
      std::lock_guard<std::mutex> g(mutex_);
      v = registers_[register_key(r, r.args.size())];
    }
    s.reply(r, hex_field(r.hex(0), 4) + " " + hex_field(v, 4));
  };
  auto memory_set = [this, register_key](Session& s, const Request& r) {
    const size_t n = r.args.empty() ? 0 : r.args.size() - 1;
    const uint32_t value = r.hex(n);
    {
      std::lock_guard<std::mutex> g(mutex_);
      registers_[register_key(r, n)] = value;
    }
    s.reply(r, hex_field(r.hex(0), 4) + " " + hex_field(value, 4));
  };
  handlers_["MemGet"] = memory_get;
  handlers_["MemSet"] = memory_set;
  handlers_["I2cGet"] = memory_get;
  handlers_["I2cSet"] = memory_set;
  handlers_["NvcGet"] = memory_get;
  handlers_["NvcSet"] = memory_set;
  handlers_["SendUpdate"] = [this](Session& s, const Request& r) {
    const uint32_t size = r.hex(1);
    s.reply(r, "");
    std::vector<uint8_t> data;
    if (size > 0 && size <= (16u << 20) && s.read_bytes(data, size, kLineTimeoutMs)) {
      std::lock_guard<std::mutex> g(mutex_);
      last_update_ = std::move(data);
    }
  };
  handlers_["ReBoot"] = [this](Session& s, const Request& r) {
    reboots_.fetch_add(1);
    s.reply(r, "");
  };
  for (const char* word : {"ControlPlay", "PlaySearch", "SetPlayPointer", "ReadHddList"}) {
    handlers_[word] = [](Session& s, const Request& r) { s.reply(r, "00"); };
  }
  handlers_["GetPlayList"] = [this](Session& s, const Request& r) {
    std::string list;
    {
      std::lock_guard<std::mutex> g(mutex_);
      list = play_list_;
    }
    s.reply(r, hex_field(static_cast<uint32_t>(list.size()), 4));
    if (list.empty()) return;
    std::string line;
    if (!s.read_line(line, kLineTimeoutMs) || line != "JpegSendStart") return;
    FaultPlan plan;
    if (take_fault(Fault::kSurplusData, r.word, &plan)) {
      const auto extra = surplus_bytes(plan.extra_bytes);
      list.append(extra.begin(), extra.end());
    }
    s.send_raw(list.data(), list.size());
  };
}

}  // namespace zebsim
