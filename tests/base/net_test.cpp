// Sockets report their failures with Winsock numbers.
#include "velmora/net.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

namespace {

TEST(WinsockErrors, ErrnoValuesMapToTheirWinsockNumbers) {
  EXPECT_EQ(vp::wsa_error_from_errno(EWOULDBLOCK), 10035);
  EXPECT_EQ(vp::wsa_error_from_errno(ECONNRESET), 10054);
  EXPECT_EQ(vp::wsa_error_from_errno(ECONNREFUSED), 10061);
  EXPECT_EQ(vp::wsa_error_from_errno(ENOTCONN), 10057);
  EXPECT_EQ(vp::wsa_error_from_errno(0), 0);
  EXPECT_GT(vp::wsa_error_from_errno(ENOENT), 10000);  // no Winsock twin: kept distinct
}

TEST(WinsockErrors, StartupIsReferenceCounted) {
  const int before = vp::wsa_reference_count();
  EXPECT_EQ(vp::wsa_startup(0x0101), 0);
  EXPECT_EQ(vp::wsa_startup(0x0202), 0);
  EXPECT_NE(vp::wsa_startup(0x0001), 0);  // below 1.1
  EXPECT_EQ(vp::wsa_reference_count(), before + 2);
  EXPECT_EQ(vp::wsa_cleanup(), 0);
  EXPECT_EQ(vp::wsa_cleanup(), 0);
  EXPECT_EQ(vp::wsa_reference_count(), before);
  if (before == 0) {
    EXPECT_EQ(vp::wsa_cleanup(), vp::kSocketError);
    EXPECT_EQ(vp::last_socket_error(), 10093);
  }
}

TEST(Sockets, NonBlockingReceiveWithoutDataWouldBlock) {
  vp::socket_t s = vp::socket_udp();
  ASSERT_NE(s, vp::kInvalidSocket);
  ASSERT_EQ(vp::socket_bind(s, vp::inet_addr_text("127.0.0.1"), 0), 0);
  ASSERT_EQ(vp::socket_set_nonblocking(s, true), 0);
  char buf[16];
  EXPECT_EQ(vp::socket_recv(s, buf, sizeof buf), vp::kSocketError);
  EXPECT_EQ(vp::last_socket_error(), 10035);
  EXPECT_EQ(vp::socket_wait_readable(s, 10), 0);

  // A datagram to itself arrives with the sender's address.
  const uint16_t port = vp::socket_local_port(s);
  ASSERT_GT(port, 0);
  ASSERT_EQ(vp::socket_sendto(s, "hello", 5, vp::inet_addr_text("127.0.0.1"), port), 5);
  ASSERT_EQ(vp::socket_wait_readable(s, 1000), 1);
  uint32_t from = 0;
  uint16_t from_port = 0;
  EXPECT_EQ(vp::socket_recvfrom(s, buf, sizeof buf, &from, &from_port), 5);
  EXPECT_EQ(vp::last_socket_error(), 0);
  char text[16];
  vp::inet_ntoa_text(from, text, sizeof text);
  EXPECT_STREQ(text, "127.0.0.1");
  EXPECT_EQ(from_port, port);
  EXPECT_EQ(vp::socket_close(s), 0);
}

TEST(Sockets, ConnectToAClosedPortIsRefused) {
  // Find a port that nobody listens on: bind, note it, close.
  vp::socket_t probe = vp::socket_tcp();
  ASSERT_EQ(vp::socket_bind(probe, vp::inet_addr_text("127.0.0.1"), 0), 0);
  const uint16_t port = vp::socket_local_port(probe);
  vp::socket_close(probe);
  vp::socket_t s = vp::socket_tcp();
  EXPECT_EQ(vp::socket_connect(s, vp::inet_addr_text("127.0.0.1"), port), vp::kSocketError);
  EXPECT_EQ(vp::last_socket_error(), 10061);
  vp::socket_close(s);
}

TEST(Sockets, DottedAddressesParseAsTheSystemDoes) {
  EXPECT_EQ(vp::inet_addr_text("1.2.3.4"), 0x04030201u);
  EXPECT_EQ(vp::inet_addr_text("no.such.host"), vp::kInaddrNone);
  EXPECT_EQ(vp::inet_addr_text(nullptr), vp::kInaddrNone);
}

}  // namespace
