#include "velmora/net.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>

VP_NAMESPACE_BEGIN  // exported (clang applies the namespace's visibility only here)
namespace {

thread_local int t_last_error = 0;
std::atomic<int> g_wsa_refs{0};

int fail_errno() {
  t_last_error = wsa_error_from_errno(errno);
  return kSocketError;
}

int ok(int value) {
  t_last_error = 0;
  return value;
}

sockaddr_in make_addr(uint32_t addr_net, uint16_t port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = addr_net;
  sa.sin_port = htons(port);
  return sa;
}

}  // namespace

int wsa_error_from_errno(int err) {
  switch (err) {
    case 0: return 0;
    case EINTR: return kWsaEintr;
    case EBADF: return kWsaEnotsock;
    case EACCES: return kWsaEacces;
    case EFAULT: return kWsaEfault;
    case EINVAL: return kWsaEinval;
    case EMFILE:
    case ENFILE: return kWsaEmfile;
    case EAGAIN: return kWsaEwouldblock;
#if EWOULDBLOCK != EAGAIN
    case EWOULDBLOCK: return kWsaEwouldblock;
#endif
    case EINPROGRESS: return kWsaEinprogress;
    case EALREADY: return kWsaEalready;
    case ENOTSOCK: return kWsaEnotsock;
    case EDESTADDRREQ: return kWsaEdestaddrreq;
    case EMSGSIZE: return kWsaEmsgsize;
    case EPROTONOSUPPORT: return kWsaEprotonosupport;
    case EOPNOTSUPP: return kWsaEopnotsupp;
    case EAFNOSUPPORT: return kWsaEafnosupport;
    case EADDRINUSE: return kWsaEaddrinuse;
    case EADDRNOTAVAIL: return kWsaEaddrnotavail;
    case ENETDOWN: return kWsaEnetdown;
    case ENETUNREACH: return kWsaEnetunreach;
    case ENETRESET: return kWsaEnetreset;
    case ECONNABORTED: return kWsaEconnaborted;
    case ECONNRESET:
    case EPIPE: return kWsaEconnreset;
    case ENOBUFS:
    case ENOMEM: return kWsaEnobufs;
    case EISCONN: return kWsaEisconn;
    case ENOTCONN: return kWsaEnotconn;
    case ESHUTDOWN: return kWsaEshutdown;
    case ETIMEDOUT: return kWsaEtimedout;
    case ECONNREFUSED: return kWsaEconnrefused;
    case EHOSTUNREACH: return kWsaEhostunreach;
    default: return 10000 + err;
  }
}

int wsa_startup(uint16_t version) {
  // Winsock refuses versions below 1.1 with WSAVERNOTSUPPORTED.
  const int major = version & 0xFF, minor = version >> 8;
  if (major < 1 || (major == 1 && minor < 1)) return 10092;
  g_wsa_refs.fetch_add(1);
  return 0;
}

int wsa_cleanup() {
  int refs = g_wsa_refs.load();
  while (refs > 0 && !g_wsa_refs.compare_exchange_weak(refs, refs - 1)) {
  }
  if (refs <= 0) {
    t_last_error = kWsaNotinitialised;
    return kSocketError;
  }
  return ok(0);
}

int wsa_reference_count() { return g_wsa_refs.load(); }

int last_socket_error() { return t_last_error; }
void set_last_socket_error(int wsa_error) { t_last_error = wsa_error; }

socket_t socket_tcp() {
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  return s < 0 ? fail_errno() : ok(s);
}

socket_t socket_udp() {
  int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  return s < 0 ? fail_errno() : ok(s);
}

int socket_close(socket_t s) { return ::close(s) < 0 ? fail_errno() : ok(0); }

int socket_bind(socket_t s, uint32_t addr_net, uint16_t port) {
  sockaddr_in sa = make_addr(addr_net, port);
  return ::bind(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa) < 0 ? fail_errno() : ok(0);
}

int socket_connect(socket_t s, uint32_t addr_net, uint16_t port) {
  sockaddr_in sa = make_addr(addr_net, port);
  int r;
  do {
    r = ::connect(s, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  } while (r < 0 && errno == EINTR);
  return r < 0 ? fail_errno() : ok(0);
}

int socket_listen(socket_t s, int backlog) { return ::listen(s, backlog) < 0 ? fail_errno() : ok(0); }

socket_t socket_accept(socket_t s, uint32_t* peer_addr_net, uint16_t* peer_port) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  int c;
  do {
    c = ::accept4(s, reinterpret_cast<sockaddr*>(&sa), &len, SOCK_CLOEXEC);
  } while (c < 0 && errno == EINTR);
  if (c < 0) return fail_errno();
  if (peer_addr_net) *peer_addr_net = sa.sin_addr.s_addr;
  if (peer_port) *peer_port = ntohs(sa.sin_port);
  return ok(c);
}

int socket_set_nonblocking(socket_t s, bool on) {
  int flags = ::fcntl(s, F_GETFL, 0);
  if (flags < 0) return fail_errno();
  flags = on ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
  return ::fcntl(s, F_SETFL, flags) < 0 ? fail_errno() : ok(0);
}

static int set_int_option(socket_t s, int level, int name, int value) {
  return ::setsockopt(s, level, name, &value, sizeof value) < 0 ? fail_errno() : ok(0);
}

int socket_set_reuseaddr(socket_t s, bool on) { return set_int_option(s, SOL_SOCKET, SO_REUSEADDR, on ? 1 : 0); }
int socket_set_receive_buffer(socket_t s, int bytes) {
  // Beyond the system's limit for ordinary programs only a privileged one
  // gets what it asks for; others get the limit.
  if (set_int_option(s, SOL_SOCKET, SO_RCVBUFFORCE, bytes) == 0) return 0;
  return set_int_option(s, SOL_SOCKET, SO_RCVBUF, bytes);
}
int socket_set_send_buffer(socket_t s, int bytes) { return set_int_option(s, SOL_SOCKET, SO_SNDBUF, bytes); }

uint16_t socket_local_port(socket_t s) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  if (::getsockname(s, reinterpret_cast<sockaddr*>(&sa), &len) < 0) return 0;
  return ntohs(sa.sin_port);
}

int socket_send(socket_t s, const void* data, size_t len) {
  ssize_t n;
  do {
    n = ::send(s, data, len, MSG_NOSIGNAL);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? fail_errno() : ok(static_cast<int>(n));
}

int socket_recv(socket_t s, void* data, size_t len) {
  ssize_t n;
  do {
    n = ::recv(s, data, len, 0);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? fail_errno() : ok(static_cast<int>(n));
}

int socket_sendto(socket_t s, const void* data, size_t len, uint32_t addr_net, uint16_t port) {
  sockaddr_in sa = make_addr(addr_net, port);
  ssize_t n;
  do {
    n = ::sendto(s, data, len, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
  } while (n < 0 && errno == EINTR);
  return n < 0 ? fail_errno() : ok(static_cast<int>(n));
}

int socket_recvfrom(socket_t s, void* data, size_t len, uint32_t* from_addr_net, uint16_t* from_port) {
  sockaddr_in sa{};
  socklen_t sl = sizeof sa;
  ssize_t n;
  do {
    n = ::recvfrom(s, data, len, 0, reinterpret_cast<sockaddr*>(&sa), &sl);
  } while (n < 0 && errno == EINTR);
  if (n < 0) return fail_errno();
  if (from_addr_net) *from_addr_net = sa.sin_addr.s_addr;
  if (from_port) *from_port = ntohs(sa.sin_port);
  return ok(static_cast<int>(n));
}

int socket_wait_readable(socket_t s, int timeout_ms) {
  pollfd p{s, POLLIN, 0};
  int r;
  do {
    r = ::poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return fail_errno();
  return ok(r > 0 ? 1 : 0);
}

int socket_wait_connected(socket_t s, int timeout_ms) {
  pollfd p{s, POLLOUT, 0};
  int r;
  do {
    r = ::poll(&p, 1, timeout_ms < 0 ? 0 : timeout_ms);
  } while (r < 0 && errno == EINTR);
  if (r < 0) return fail_errno();
  if (r == 0) return ok(0);
  int err = 0;
  socklen_t len = sizeof err;
  if (::getsockopt(s, SOL_SOCKET, SO_ERROR, &err, &len) < 0) return fail_errno();
  if (err != 0) {
    t_last_error = wsa_error_from_errno(err);
    return kSocketError;
  }
  return ok(1);
}

int socket_join_multicast(socket_t s, uint32_t group_net, uint32_t interface_net) {
  ip_mreq m{};
  m.imr_multiaddr.s_addr = group_net;
  m.imr_interface.s_addr = interface_net;
  return ::setsockopt(s, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) < 0 ? fail_errno() : ok(0);
}

int socket_leave_multicast(socket_t s, uint32_t group_net, uint32_t interface_net) {
  ip_mreq m{};
  m.imr_multiaddr.s_addr = group_net;
  m.imr_interface.s_addr = interface_net;
  return ::setsockopt(s, IPPROTO_IP, IP_DROP_MEMBERSHIP, &m, sizeof m) < 0 ? fail_errno() : ok(0);
}

int socket_set_multicast_loop(socket_t s, bool on) {
  unsigned char v = on ? 1 : 0;
  return ::setsockopt(s, IPPROTO_IP, IP_MULTICAST_LOOP, &v, sizeof v) < 0 ? fail_errno() : ok(0);
}

int socket_set_multicast_ttl(socket_t s, int ttl) {
  unsigned char v = static_cast<unsigned char>(ttl);
  return ::setsockopt(s, IPPROTO_IP, IP_MULTICAST_TTL, &v, sizeof v) < 0 ? fail_errno() : ok(0);
}

int socket_set_multicast_interface(socket_t s, uint32_t interface_net) {
  in_addr a{};
  a.s_addr = interface_net;
  return ::setsockopt(s, IPPROTO_IP, IP_MULTICAST_IF, &a, sizeof a) < 0 ? fail_errno() : ok(0);
}

int socket_shutdown(socket_t s) { return ::shutdown(s, SHUT_RDWR) < 0 ? fail_errno() : ok(0); }

uint32_t inet_addr_text(const char* text) {
  if (!text) return kInaddrNone;
  return ::inet_addr(text);
}

void inet_ntoa_text(uint32_t addr_net, char* buf, size_t size) {
  const auto* b = reinterpret_cast<const unsigned char*>(&addr_net);
  std::snprintf(buf, size, "%u.%u.%u.%u", b[0], b[1], b[2], b[3]);
}

}  // namespace vp
