// BSD sockets with the error reporting of Winsock 1.1: a failing call returns
// kSocketError (or kInvalidSocket) and last_socket_error() gives the Winsock
// number of the failure (10035 for "would block", 10054 for a reset ...), kept
// per thread like WSAGetLastError.
#pragma once
#include <cstddef>
#include <cstdint>

#include "velmora/api.h"

VP_NAMESPACE_BEGIN

using socket_t = int;
inline constexpr socket_t kInvalidSocket = -1;
inline constexpr int kSocketError = -1;
inline constexpr uint32_t kInaddrNone = 0xFFFFFFFFu;

// Winsock error numbers used by the libraries.
enum WsaError : int {
  kWsaEintr = 10004,
  kWsaEbadf = 10009,
  kWsaEacces = 10013,
  kWsaEfault = 10014,
  kWsaEinval = 10022,
  kWsaEmfile = 10024,
  kWsaEwouldblock = 10035,
  kWsaEinprogress = 10036,
  kWsaEalready = 10037,
  kWsaEnotsock = 10038,
  kWsaEdestaddrreq = 10039,
  kWsaEmsgsize = 10040,
  kWsaEprotonosupport = 10043,
  kWsaEopnotsupp = 10045,
  kWsaEafnosupport = 10047,
  kWsaEaddrinuse = 10048,
  kWsaEaddrnotavail = 10049,
  kWsaEnetdown = 10050,
  kWsaEnetunreach = 10051,
  kWsaEnetreset = 10052,
  kWsaEconnaborted = 10053,
  kWsaEconnreset = 10054,
  kWsaEnobufs = 10055,
  kWsaEisconn = 10056,
  kWsaEnotconn = 10057,
  kWsaEshutdown = 10058,
  kWsaEtimedout = 10060,
  kWsaEconnrefused = 10061,
  kWsaEhostunreach = 10065,
  kWsaNotinitialised = 10093,
};

// Maps an errno value to its Winsock number; values without one map to
// themselves plus 10000 so that they stay distinguishable and positive.
int wsa_error_from_errno(int err);

// Winsock start and clean-up become a process-wide reference count. Version
// must be at least 1.1 (0x0101); a lower version fails with 10092.
int wsa_startup(uint16_t version);
int wsa_cleanup();
int wsa_reference_count();

// Error of the last failing call of this thread (0 after a success).
int last_socket_error();
void set_last_socket_error(int wsa_error);

socket_t socket_tcp();
socket_t socket_udp();
int socket_close(socket_t s);
// Binds to the given IPv4 address (network order, 0 = any) and port.
int socket_bind(socket_t s, uint32_t addr_net, uint16_t port);
// Blocking connect to an IPv4 address (network order) and port.
int socket_connect(socket_t s, uint32_t addr_net, uint16_t port);
int socket_listen(socket_t s, int backlog);
socket_t socket_accept(socket_t s, uint32_t* peer_addr_net, uint16_t* peer_port);
int socket_set_nonblocking(socket_t s, bool on);
int socket_set_reuseaddr(socket_t s, bool on);
int socket_set_receive_buffer(socket_t s, int bytes);
int socket_set_send_buffer(socket_t s, int bytes);
// The local port a socket is bound to, or 0.
uint16_t socket_local_port(socket_t s);
// send/recv without SIGPIPE; result as Winsock: count or kSocketError.
int socket_send(socket_t s, const void* data, size_t len);
int socket_recv(socket_t s, void* data, size_t len);
int socket_sendto(socket_t s, const void* data, size_t len, uint32_t addr_net, uint16_t port);
int socket_recvfrom(socket_t s, void* data, size_t len, uint32_t* from_addr_net, uint16_t* from_port);
// Waits for a non-blocking connect to finish: 1 connected, 0 still running
// after timeout_ms, kSocketError when it failed (with its error).
int socket_wait_connected(socket_t s, int timeout_ms);
// Waits until the socket is readable: 1 readable, 0 time-out, kSocketError.
int socket_wait_readable(socket_t s, int timeout_ms);
// Multicast membership on the default interface, and the sender's options.
int socket_join_multicast(socket_t s, uint32_t group_net, uint32_t interface_net);
int socket_leave_multicast(socket_t s, uint32_t group_net, uint32_t interface_net);
int socket_set_multicast_loop(socket_t s, bool on);
int socket_set_multicast_ttl(socket_t s, int ttl);
int socket_set_multicast_interface(socket_t s, uint32_t interface_net);
// Shuts down both directions, waking any thread blocked on the socket.
int socket_shutdown(socket_t s);

// The system's dotted-address parser (inet_addr): kInaddrNone on failure.
uint32_t inet_addr_text(const char* text);
// Dotted text of an address in network order into buf (at least 16 bytes).
void inet_ntoa_text(uint32_t addr_net, char* buf, size_t size);

VP_NAMESPACE_END
