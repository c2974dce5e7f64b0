// A recorder stand-in for the fuzz targets of the command connection: one end
// of a socket pair is the library's connection, the other is answered by a
// thread from the fuzz input. The input is cut into segments (a little-endian
// u16 length, then that many bytes); each request line the library sends is
// answered with the next segment, and the greeting, sent before any request,
// can be the first. A segment beginning with '#' has that character replaced
// by the request's first token (the transaction ID), so that replies can be
// taken for this request. Once the segments are used up the peer's end is
// shut for writing, so every receive of the library ends at once with the
// closed connection instead of waiting for its time limit.
#pragma once
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace fuzzpeer {

// Splits bytes into the peer's segments; at most max_segments of them.
inline std::vector<std::string> segments(const uint8_t* data, size_t size, size_t max_segments = 64) {
  std::vector<std::string> out;
  size_t pos = 0;
  while (pos + 2 <= size && out.size() < max_segments) {
    size_t length = data[pos] | (data[pos + 1] << 8);
    pos += 2;
    if (length > size - pos) length = size - pos;
    out.emplace_back(reinterpret_cast<const char*>(data + pos), length);
    pos += length;
  }
  return out;
}

class RecorderPeer {
 public:
  RecorderPeer(std::vector<std::string> segments, bool greet_first) : segments_(std::move(segments)) {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds) != 0) std::abort();
    library_ = fds[0];
    peer_ = fds[1];
    ::fcntl(peer_, F_SETFL, O_NONBLOCK);
    if (greet_first)
      answer("");
    else if (segments_.empty())
      ::shutdown(peer_, SHUT_WR);
    thread_ = std::thread([this] { run(); });
  }
  ~RecorderPeer() {
    stop_ = true;
    ::shutdown(library_, SHUT_RDWR);
    thread_.join();
    ::close(library_);
    ::close(peer_);
  }
  RecorderPeer(const RecorderPeer&) = delete;
  RecorderPeer& operator=(const RecorderPeer&) = delete;

  // The library's end of the connection.
  int library() const { return library_; }
  // Request lines received so far (read after the library is done).
  size_t requests() const { return requests_.load(); }

 private:
  // Waits (in short slices, so that the destructor is noticed) until fd is
  // ready for events; false when the peer is to stop.
  bool wait(short events) {
    pollfd p{peer_, events, 0};
    while (!stop_) {
      if (::poll(&p, 1, 10) > 0) return true;
    }
    return false;
  }

  void send_all(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::send(peer_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
      if (n > 0) {
        done += static_cast<size_t>(n);
      } else if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
        if (!wait(POLLOUT)) return;
      } else {
        return;
      }
    }
  }

  void answer(const std::string& line) {
    if (next_ < segments_.size()) {
      const std::string& s = segments_[next_++];
      if (!s.empty() && s[0] == '#')
        send_all(line.substr(0, line.find(' ')) + s.substr(1));
      else
        send_all(s);
    }
    if (next_ >= segments_.size()) ::shutdown(peer_, SHUT_WR);
  }

  void run() {
    std::string line;
    char buffer[4096];
    while (wait(POLLIN)) {
      const ssize_t n = ::recv(peer_, buffer, sizeof buffer, 0);
      if (n == 0) return;
      if (n < 0) {
        if (errno == EAGAIN || errno == EINTR) continue;
        return;
      }
      for (ssize_t i = 0; i < n; ++i) {
        if (buffer[i] != '\n') {
          if (line.size() < 4096) line += buffer[i];
          continue;
        }
        ++requests_;
        answer(line);
        line.clear();
      }
    }
  }

  std::vector<std::string> segments_;
  size_t next_ = 0;
  int library_ = -1;
  int peer_ = -1;
  std::atomic<bool> stop_{false};
  std::atomic<size_t> requests_{0};
  std::thread thread_;
};

}  // namespace fuzzpeer
