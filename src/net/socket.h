// The socket routines every network part uses: TCP connect and listen, UDP bind for
// unicast and multicast input, bounded waits, whole sends and whole datagrams. IPv4 only.
// Every socket is close-on-exec; waits use poll; sends never raise SIGPIPE.
#pragma once
#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

namespace kx {

// Owns one socket descriptor; closing shuts both directions down first, so a peer (or a
// thread blocked on the socket) sees the end at once.
class Socket {
 public:
  Socket() = default;
  explicit Socket(int fd) : fd_(fd) {}
  ~Socket() { close(); }
  Socket(const Socket&) = delete;
  Socket& operator=(const Socket&) = delete;
  Socket(Socket&& o) noexcept : fd_(o.release()) {}
  Socket& operator=(Socket&& o) noexcept {
    if (this != &o) reset(o.release());
    return *this;
  }

  int fd() const { return fd_; }
  bool valid() const { return fd_ >= 0; }
  explicit operator bool() const { return valid(); }

  void close() { reset(-1); }
  void reset(int fd);  // closes the socket held, then owns fd
  int release() {      // gives the descriptor up without closing it
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }

 private:
  int fd_ = -1;
};

// Shuts both directions down and closes fd (a negative fd is ignored). Always 1.
int close_socket(int fd);
// Shuts both directions down but keeps fd open: wakes a thread blocked on it, whose owner
// still closes it. A negative fd is ignored.
void shutdown_socket(int fd);

// ---- addresses ----

// Strict dotted IPv4 ("a.b.c.d", four decimal parts 0-255, no leading signs or spaces);
// addr in host byte order.
bool parse_ipv4(std::string_view text, uint32_t& addr);
bool is_ipv4_text(std::string_view text);
// 224.0.0.0/4.
bool is_multicast_ipv4(uint32_t addr);
std::string ipv4_text(uint32_t addr);
std::string ipv4_text(const sockaddr_in& a);
// The local port a socket is bound to (after binding port 0); 0 when unknown.
int local_port(int fd);

// ---- TCP ----

// Connects to ip (dotted) and port without blocking longer than timeout_ms: the connect
// runs non-blocking and is polled in steps of at most 200 ms, calling stop (when given)
// before each step. The connected socket is put back into blocking mode.
//  1 connected (out holds the socket); 0 failed or timed out; -1 stop() answered true.
int tcp_connect(const std::string& ip, int port, int timeout_ms,
                const std::function<bool()>& stop, Socket& out);

// A socket listening on ip (all local addresses when empty) and port (0: any free port,
// see local_port), with address reuse. 1, or 0 with the failure logged.
int tcp_listen(const std::string& ip_or_empty, int port, int backlog, Socket& out);

// Accepts one connection, waiting up to timeout_ms (negative: no limit). The accepted
// socket is blocking and close-on-exec. 1 accepted; 0 time-out; -1 error.
int tcp_accept(int listen_fd, int timeout_ms, Socket& out, sockaddr_in* from = nullptr);

// ---- UDP ----

// A UDP input socket on port (1-65535) with address reuse. group_or_empty:
//  - a multicast address (224.0.0.0/4): the socket binds that group and port and joins it
//    on the interface iface_ip_or_empty (any interface when empty);
//  - empty or a unicast address: the socket binds all local addresses; nothing is joined.
// Multicast delivery is limited to the groups the socket itself joined, so channels
// sharing a port never receive each other's packets. 1, or 0 with the failure logged.
// Closing the socket leaves the group.
int udp_bind(int port, const std::string& group_or_empty, const std::string& iface_ip_or_empty,
             Socket& out);

// An unbound UDP socket for sending. 1 or 0.
int udp_socket(Socket& out);
// Multicast sending: outgoing interface (default route when empty), TTL and whether the
// host's own sockets see the packets. 1 or 0.
int set_multicast_out(int fd, const std::string& iface_ip_or_empty, int ttl, bool loop);
// Sends one datagram to ip:port. True when the whole datagram was sent.
bool send_datagram(int fd, const void* data, std::size_t len, const std::string& ip, int port);

// ---- waits and transfers ----

// Waits up to timeout_ms (negative: no limit) until fd can be read without blocking (data,
// end of stream or a pending error). 1 ready; 0 time-out; -1 error.
int poll_readable(int fd, int timeout_ms);

// Reads what has arrived, up to cap bytes, waiting up to timeout_ms (negative: no limit).
// > 0 bytes read; 0 the peer closed the stream; -1 error; -2 time-out.
long recv_some(int fd, void* buf, std::size_t cap, int timeout_ms);

// Sends all len bytes within timeout_ms overall (waiting for room as needed). False on
// error, a closed peer or the time-out.
bool send_all(int fd, const void* data, std::size_t len, int timeout_ms);

// Receives one datagram whole, waiting up to timeout_ms (negative: no limit). Returns the
// datagram's own length: a value above cap means it was truncated and only cap bytes were
// stored. 0 is an empty datagram; -1 error; -2 time-out. from (when given) is the sender.
long recv_datagram(int fd, void* buf, std::size_t cap, int timeout_ms, sockaddr_in* from);

// The kernel's receive buffer for fd, in bytes. 1 or 0.
int set_recv_buffer(int fd, int bytes);

}  // namespace kx
