#include "net/socket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "core/log.h"
#include "core/os/time.h"

namespace kx {

namespace {

// A connect is watched in steps this long, so a stop request is seen promptly.
constexpr int kConnectStepMs = 200;

// Absolute deadline for a relative wait; -1 for none.
int64_t deadline_after(int timeout_ms) { return timeout_ms < 0 ? -1 : mono_ms() + timeout_ms; }

// Waits for events on fd until the deadline (-1: none), restarting after signals.
// 1 ready (revents set), 0 time-out, -1 error.
int wait_for(int fd, short events, int64_t deadline, short* revents = nullptr) {
  if (fd < 0) return -1;
  for (;;) {
    int step = -1;
    if (deadline >= 0) {
      const int64_t left = deadline - mono_ms();
      step = left <= 0 ? 0 : static_cast<int>(std::min<int64_t>(left, 1 << 30));
    }
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, step);
    if (r > 0) {
      if (p.revents & POLLNVAL) return -1;
      if (revents) *revents = p.revents;
      return 1;
    }
    if (r == 0) return 0;
    if (errno != EINTR) return -1;
    if (deadline >= 0 && mono_ms() >= deadline) return 0;
  }
}

bool valid_port(int port) { return port >= 1 && port <= 65535; }

sockaddr_in make_addr(uint32_t addr, int port) {
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(addr);
  a.sin_port = htons(static_cast<uint16_t>(port));
  return a;
}

bool set_blocking(int fd, bool blocking) {
  const int fl = ::fcntl(fd, F_GETFL);
  if (fl < 0) return false;
  const int want = blocking ? (fl & ~O_NONBLOCK) : (fl | O_NONBLOCK);
  return want == fl || ::fcntl(fd, F_SETFL, want) == 0;
}

bool set_int_option(int fd, int level, int name, int value) {
  return ::setsockopt(fd, level, name, &value, sizeof value) == 0;
}

}  // namespace

// ---- Socket ----

void Socket::reset(int fd) {
  if (fd_ >= 0 && fd_ != fd) close_socket(fd_);
  fd_ = fd;
}

int close_socket(int fd) {
  if (fd < 0) return 1;
  ::shutdown(fd, SHUT_RDWR);  // fails harmlessly on listeners and unconnected sockets
  ::close(fd);
  return 1;
}

void shutdown_socket(int fd) {
  if (fd >= 0) ::shutdown(fd, SHUT_RDWR);
}

// ---- addresses ----

bool parse_ipv4(std::string_view text, uint32_t& addr) {
  uint32_t out = 0;
  std::size_t i = 0;
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (i >= text.size() || text[i] != '.') return false;
      ++i;
    }
    const std::size_t start = i;
    unsigned v = 0;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9' && i - start < 3) {
      v = v * 10 + static_cast<unsigned>(text[i] - '0');
      ++i;
    }
    const std::size_t len = i - start;
    if (len == 0 || v > 255) return false;
    if (len > 1 && text[start] == '0') return false;  // no octal look-alikes
    out = (out << 8) | v;
  }
  if (i != text.size()) return false;
  addr = out;
  return true;
}

bool is_ipv4_text(std::string_view text) {
  uint32_t a;
  return parse_ipv4(text, a);
}

bool is_multicast_ipv4(uint32_t addr) { return (addr >> 28) == 0xE; }

std::string ipv4_text(uint32_t addr) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%u.%u.%u.%u", (addr >> 24) & 255u, (addr >> 16) & 255u,
                (addr >> 8) & 255u, addr & 255u);
  return buf;
}

std::string ipv4_text(const sockaddr_in& a) { return ipv4_text(ntohl(a.sin_addr.s_addr)); }

int local_port(int fd) {
  sockaddr_in a{};
  socklen_t len = sizeof a;
  if (fd < 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0) return 0;
  if (a.sin_family != AF_INET) return 0;
  return ntohs(a.sin_port);
}

// ---- TCP ----

int tcp_connect(const std::string& ip, int port, int timeout_ms,
                const std::function<bool()>& stop, Socket& out) {
  out.close();
  uint32_t addr = 0;
  if (!parse_ipv4(ip, addr) || !valid_port(port)) {
    log_sys("Connecting: Error, Socket=%d\n", -1);
    return 0;
  }
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    log_sys("Open socket: Error, Socket=%d\n", errno);
    return 0;
  }
  Socket s(fd);
  const sockaddr_in a = make_addr(addr, port);
  if (::connect(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    if (errno != EINPROGRESS && errno != EINTR) {
      log_sys("Connecting: Error, Socket=%d\n", fd);
      return 0;
    }
    const int64_t deadline = mono_ms() + std::max(timeout_ms, 0);
    // Bounded by the deadline: every turn waits at most one step or ends.
    for (;;) {
      if (stop && stop()) return -1;
      const int64_t left = deadline - mono_ms();
      if (left <= 0) {
        log_sys("Connecting: Error, Socket=%d\n", fd);
        return 0;
      }
      pollfd p{fd, POLLOUT, 0};
      const int r = ::poll(&p, 1, static_cast<int>(std::min<int64_t>(left, kConnectStepMs)));
      if (r == 0) continue;
      if (r < 0) {
        if (errno == EINTR) continue;
        log_sys("Connecting: Error, Socket=%d\n", fd);
        return 0;
      }
      int err = 0;
      socklen_t len = sizeof err;
      if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) {
        log_sys("Connecting: Error, Socket=%d\n", fd);
        return 0;
      }
      break;
    }
  }
  if (!set_blocking(fd, true)) {
    log_sys("Connecting: Error, Socket=%d\n", fd);
    return 0;
  }
  out = std::move(s);
  return 1;
}

int tcp_listen(const std::string& ip_or_empty, int port, int backlog, Socket& out) {
  out.close();
  uint32_t addr = INADDR_ANY;
  if (port < 0 || port > 65535 || (!ip_or_empty.empty() && !parse_ipv4(ip_or_empty, addr))) {
    log_sys("Server Binding: Error, description=%d\n", EINVAL);
    return 0;
  }
  // Non-blocking, so an accept after a ready poll never hangs when the client went away.
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
  if (fd < 0) {
    log_sys("Server Open socket: Error, description=%d\n", errno);
    return 0;
  }
  Socket s(fd);
  if (!set_int_option(fd, SOL_SOCKET, SO_REUSEADDR, 1)) {
    log_sys("setsockopt socket: Error, description=%d\n", errno);
    return 0;
  }
  const sockaddr_in a = make_addr(addr, port);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    log_sys("Server Binding: Error, description=%d\n", errno);
    return 0;
  }
  if (::listen(fd, std::max(backlog, 0)) != 0) {
    log_sys("Server Listen: Error, description=%d\n", errno);
    return 0;
  }
  out = std::move(s);
  return 1;
}

int tcp_accept(int listen_fd, int timeout_ms, Socket& out, sockaddr_in* from) {
  out.close();
  const int64_t deadline = deadline_after(timeout_ms);
  for (;;) {
    const int r = wait_for(listen_fd, POLLIN, deadline);
    if (r <= 0) return r < 0 ? -1 : 0;
    sockaddr_in a{};
    socklen_t len = sizeof a;
    const int fd = ::accept4(listen_fd, reinterpret_cast<sockaddr*>(&a), &len, SOCK_CLOEXEC);
    if (fd >= 0) {
      out.reset(fd);
      if (from) *from = a;
      return 1;
    }
    // The client may have gone between the poll and the accept: wait again.
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR && errno != ECONNABORTED &&
        errno != EPROTO)
      return -1;
    if (deadline >= 0 && mono_ms() >= deadline) return 0;
  }
}

// ---- UDP ----

int udp_bind(int port, const std::string& group_or_empty, const std::string& iface_ip_or_empty,
             Socket& out) {
  out.close();
  uint32_t group = 0;
  if (!valid_port(port) || (!group_or_empty.empty() && !parse_ipv4(group_or_empty, group))) {
    log_sys("[udpip]Server Binding: Error, description=%d\n", EINVAL);
    return 0;
  }
  const bool multicast = !group_or_empty.empty() && is_multicast_ipv4(group);
  uint32_t iface = INADDR_ANY;
  if (multicast && !iface_ip_or_empty.empty() && !parse_ipv4(iface_ip_or_empty, iface)) {
    log_sys("UDP IP_ADD_MEMBERSHIP ERROR\n");
    return 0;
  }

  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    log_sys("[udpip]Server Open socket: Error, description=%d\n", errno);
    return 0;
  }
  Socket s(fd);
  if (!set_int_option(fd, SOL_SOCKET, SO_REUSEADDR, 1)) {
    log_sys("[tcpip]setsockopt socket: Error, description=%d\n", errno);
    return 0;
  }
#ifdef IP_MULTICAST_ALL
  // Only the groups this socket joins reach it, not every group joined on the host.
  if (!set_int_option(fd, IPPROTO_IP, IP_MULTICAST_ALL, 0)) {
    log_sys("[tcpip]setsockopt socket: Error, description=%d\n", errno);
    return 0;
  }
#endif
  const sockaddr_in a = make_addr(multicast ? group : INADDR_ANY, port);
  if (::bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) != 0) {
    log_sys("[udpip]Server Binding: Error, description=%d\n", errno);
    return 0;
  }
  if (multicast) {
    ip_mreq m{};
    m.imr_multiaddr.s_addr = htonl(group);
    m.imr_interface.s_addr = htonl(iface);
    if (::setsockopt(fd, IPPROTO_IP, IP_ADD_MEMBERSHIP, &m, sizeof m) != 0) {
      log_sys("UDP IP_ADD_MEMBERSHIP ERROR\n");
      return 0;
    }
  }
  out = std::move(s);
  return 1;
}

int udp_socket(Socket& out) {
  out.close();
  const int fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    log_sys("[udpip]Server Open socket: Error, description=%d\n", errno);
    return 0;
  }
  out.reset(fd);
  return 1;
}

int set_multicast_out(int fd, const std::string& iface_ip_or_empty, int ttl, bool loop) {
  uint32_t iface = INADDR_ANY;
  if (!iface_ip_or_empty.empty() && !parse_ipv4(iface_ip_or_empty, iface)) return 0;
  in_addr ia{};
  ia.s_addr = htonl(iface);
  if (::setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &ia, sizeof ia) != 0) return 0;
  if (!set_int_option(fd, IPPROTO_IP, IP_MULTICAST_TTL, std::clamp(ttl, 0, 255))) return 0;
  if (!set_int_option(fd, IPPROTO_IP, IP_MULTICAST_LOOP, loop ? 1 : 0)) return 0;
  return 1;
}

bool send_datagram(int fd, const void* data, std::size_t len, const std::string& ip, int port) {
  uint32_t addr = 0;
  if (fd < 0 || !parse_ipv4(ip, addr) || !valid_port(port)) return false;
  const sockaddr_in a = make_addr(addr, port);
  for (int attempt = 0; attempt < 8; ++attempt) {
    const ssize_t n = ::sendto(fd, data, len, MSG_NOSIGNAL, reinterpret_cast<const sockaddr*>(&a),
                               sizeof a);
    if (n >= 0) return static_cast<std::size_t>(n) == len;
    if (errno != EINTR) return false;
  }
  return false;
}

// ---- waits and transfers ----

int poll_readable(int fd, int timeout_ms) {
  return wait_for(fd, POLLIN, deadline_after(timeout_ms));
}

long recv_some(int fd, void* buf, std::size_t cap, int timeout_ms) {
  if (cap == 0) return -1;
  const int64_t deadline = deadline_after(timeout_ms);
  for (;;) {
    const int r = wait_for(fd, POLLIN, deadline);
    if (r == 0) return -2;
    if (r < 0) return -1;
    const ssize_t n = ::recv(fd, buf, cap, MSG_DONTWAIT);
    if (n >= 0) return static_cast<long>(n);
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
    if (deadline >= 0 && mono_ms() >= deadline) return -2;
  }
}

bool send_all(int fd, const void* data, std::size_t len, int timeout_ms) {
  const auto* p = static_cast<const char*>(data);
  const int64_t deadline = deadline_after(timeout_ms);
  while (len > 0) {
    const ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      p += n;
      len -= static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR) continue;
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) return false;
    short revents = 0;
    if (wait_for(fd, POLLOUT, deadline, &revents) != 1) return false;
    if ((revents & (POLLERR | POLLHUP)) && !(revents & POLLOUT)) return false;
  }
  return true;
}

long recv_datagram(int fd, void* buf, std::size_t cap, int timeout_ms, sockaddr_in* from) {
  const int64_t deadline = deadline_after(timeout_ms);
  for (;;) {
    const int r = wait_for(fd, POLLIN, deadline);
    if (r == 0) return -2;
    if (r < 0) return -1;
    sockaddr_in a{};
    socklen_t len = sizeof a;
    // MSG_TRUNC: the result is the datagram's real length even when it did not fit.
    const ssize_t n = ::recvfrom(fd, buf, cap, MSG_DONTWAIT | MSG_TRUNC,
                                 reinterpret_cast<sockaddr*>(&a), &len);
    if (n >= 0) {
      if (from) *from = a;
      return static_cast<long>(n);
    }
    // A datagram dropped after the poll (bad checksum) leaves nothing to read: wait again.
    if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
    if (deadline >= 0 && mono_ms() >= deadline) return -2;
  }
}

int set_recv_buffer(int fd, int bytes) {
  return fd >= 0 && bytes > 0 && set_int_option(fd, SOL_SOCKET, SO_RCVBUF, bytes) ? 1 : 0;
}

}  // namespace kx
