// Every shape of login reply that is not the recorder's acceptance gives a
// negative result and leaves the connection number unconnected: the
// simulated recorder's refusals with each kind of refusal byte, and replies
// no recorder should send, from a peer that answers the password line with
// exactly the bytes given.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include "sim_fixture.h"

namespace {

using LoginRefusal = SimTest;

TEST_F(LoginRefusal, EveryRefusalByteOfTheRecorderGivesANegativeResult) {
  auto& sim = start_sim();
  struct Row {
    int byte;
    int32_t result;
  };
  // Codes 1 to 127 come back negated; a separator (turned into the zero
  // after "NG" by the split) or a byte of 128 or more carries no code.
  const Row rows[] = {{51, -51},   {1, -1},      {0x7F, -127}, {' ', -256}, {'\t', -256},
                      {',', -256}, {0x80, -256}, {0xF0, -256}, {0xFF, -256}};
  for (const Row& r : rows) {
    sim.inject({zebsim::Fault::kRefusePassword, 1, 0, r.byte});
    EXPECT_EQ(brin_connect(0, config_.address.c_str(), "secret", nullptr), r.result) << "byte " << r.byte;
    EXPECT_EQ(brin_unconnect(0, 0, 0, 0), -10200) << "byte " << r.byte;
  }
  connect();
}

// A login peer on the connection number's port: sends a greeting, reads the
// password line, answers it with the reply given and closes. Every wait is
// bounded so that a client that never comes cannot hold the test.
class LoginPeer {
 public:
  LoginPeer(const std::string& address, uint16_t port, std::string reply) : reply_(std::move(reply)) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    const int on = 1;
    ::setsockopt(listener_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(port);
    ::inet_pton(AF_INET, address.c_str(), &sa.sin_addr);
    ok_ = ::bind(listener_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0 && ::listen(listener_, 1) == 0;
    if (ok_) thread_ = std::thread([this] { serve(); });
  }
  ~LoginPeer() {
    if (thread_.joinable()) thread_.join();
    ::close(listener_);
  }
  bool ok() const { return ok_; }

 private:
  static bool readable(int fd, int timeout_ms) {
    pollfd p{fd, POLLIN, 0};
    return ::poll(&p, 1, timeout_ms) == 1;
  }
  void serve() {
    if (!readable(listener_, 5000)) return;
    const int fd = ::accept(listener_, nullptr, nullptr);
    if (fd < 0) return;
    const std::string greeting = "ZEB-5 READY 0100 0000\r\n";
    ::send(fd, greeting.data(), greeting.size(), MSG_NOSIGNAL);
    std::string line;
    char ch;
    while (line.find('\n') == std::string::npos && readable(fd, 5000) && ::recv(fd, &ch, 1, 0) == 1) line += ch;
    ::send(fd, reply_.data(), reply_.size(), MSG_NOSIGNAL);
    // Until the client has gone.
    while (readable(fd, 5000) && ::recv(fd, &ch, 1, 0) == 1) {
    }
    ::close(fd);
  }

  std::string reply_;
  int listener_ = -1;
  bool ok_ = false;
  std::thread thread_;
};

TEST_F(LoginRefusal, RepliesThatAreNoAcceptanceGiveANegativeResult) {
  const std::string refused_no_code = std::string("NG 00 00 00 00 00 00 00 00\r\n");
  const std::vector<std::pair<std::string, int32_t>> rows = {
      {refused_no_code, -256},                                 // the refusal read as success before
      {"NG\r\n", -256},                                        // no code at all
      {"N", -256},                                             // shorter than the code's place
      {std::string("NG\0 00 00\r\n", 11), -256},               // a zero byte as the code
      {"\xC8\xC8\xC8\xC8 00 00 00 00 00 00 00 00\r\n", -256},  // bytes of 128 or more
      {"NG2 00 00 00 00 00 00 00 00\r\n", -50},                // an ordinary refusal code
      {"ZEB 00 00 00 ok 0001 S1\r\n", -66},                    // "ok" is not "OK": the third byte 'B'
      {"\r\n", -256},                                          // an empty line
  };
  const int cn = 3;
  for (const auto& [reply, expected] : rows) {
    const std::string address = velmora::testing::unique_loopback();
    LoginPeer peer(address, static_cast<uint16_t>(5001 + 2 * cn), reply);
    ASSERT_TRUE(peer.ok());
    char text[128] = {};
    EXPECT_EQ(brin_connect(cn, address.c_str(), "secret", text), expected) << reply;
    EXPECT_EQ(brin_unconnect(cn, 0, 0, 0), -10200) << reply;
  }
}

}  // namespace
