#include "net/dns_transport.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "core/os/time.h"

namespace kx::dns_io {

namespace {

sockaddr_in to_sockaddr(const Endpoint& e) {
  sockaddr_in sa;
  std::memset(&sa, 0, sizeof sa);
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = e.addr;
  sa.sin_port = htons(e.port);
  return sa;
}

// Waits for events on fd until the deadline: 1 ready, 0 deadline passed, -1 error.
int wait_fd(int fd, short events, int64_t deadline_ms) {
  for (;;) {
    int64_t left = deadline_ms - mono_ms();
    if (left <= 0) return 0;
    pollfd p{fd, events, 0};
    int r = ::poll(&p, 1, left > 1000 ? 1000 : static_cast<int>(left));
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (r == 0) continue;  // the loop re-checks the deadline
    if (p.revents & (events | POLLHUP | POLLERR)) return 1;
    if (p.revents & POLLNVAL) return -1;
  }
}

}  // namespace

int udp_open() { return ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0); }

int udp_send(int fd, const Endpoint& to, const uint8_t* data, std::size_t len) {
  sockaddr_in sa = to_sockaddr(to);
  for (int i = 0; i < 8; ++i) {
    ssize_t n = ::sendto(fd, data, len, MSG_NOSIGNAL, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    if (n == static_cast<ssize_t>(len)) return 1;
    if (n < 0 && errno == EINTR) continue;
    return 0;
  }
  return 0;
}

int udp_recv(int fd, const Endpoint& from, uint8_t* buf, std::size_t cap, int64_t deadline_ms) {
  // Each pass either drops one datagram or waits; the deadline ends the loop.
  for (;;) {
    int w = wait_fd(fd, POLLIN, deadline_ms);
    if (w <= 0) return w;
    sockaddr_in sa;
    socklen_t sl = sizeof sa;
    ssize_t n = ::recvfrom(fd, buf, cap, MSG_TRUNC, reinterpret_cast<sockaddr*>(&sa), &sl);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
      // An ICMP error from an earlier send is reported here; the next datagram may still come.
      if (errno == ECONNREFUSED) continue;
      return -1;
    }
    if (sl < sizeof sa || sa.sin_family != AF_INET || sa.sin_addr.s_addr != from.addr ||
        ntohs(sa.sin_port) != from.port)
      continue;
    if (static_cast<std::size_t>(n) > cap) n = static_cast<ssize_t>(cap);  // cut to the buffer
    return static_cast<int>(n);
  }
}

int tcp_connect(const Endpoint& to, int64_t deadline_ms) {
  int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) return -1;
  sockaddr_in sa = to_sockaddr(to);
  if (::connect(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0) return fd;
  if (errno != EINPROGRESS && errno != EINTR) {
    ::close(fd);
    return -1;
  }
  if (wait_fd(fd, POLLOUT, deadline_ms) != 1) {
    ::close(fd);
    return -1;
  }
  int err = 0;
  socklen_t el = sizeof err;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &el) != 0 || err != 0) {
    ::close(fd);
    return -1;
  }
  return fd;
}

int tcp_send_all(int fd, const uint8_t* data, std::size_t len, int64_t deadline_ms) {
  std::size_t done = 0;
  while (done < len) {
    ssize_t n = ::send(fd, data + done, len - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (wait_fd(fd, POLLOUT, deadline_ms) != 1) return 0;
      continue;
    }
    return 0;
  }
  return 1;
}

int tcp_recv_exact(int fd, uint8_t* buf, std::size_t len, int64_t deadline_ms) {
  std::size_t done = 0;
  while (done < len) {
    ssize_t n = ::recv(fd, buf + done, len - done, 0);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) return 0;  // the peer closed before the whole reply
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) {
      if (wait_fd(fd, POLLIN, deadline_ms) != 1) return 0;
      continue;
    }
    return 0;
  }
  return 1;
}

void close_socket(int fd) {
  if (fd < 0) return;
  ::shutdown(fd, SHUT_RDWR);
  ::close(fd);
}

}  // namespace kx::dns_io
