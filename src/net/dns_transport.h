// The few socket operations the name resolver needs of its own: one UDP exchange
// and one TCP exchange with the resolver, every wait bounded by a deadline.
#pragma once
#include <cstddef>
#include <cstdint>

namespace kx::dns_io {

struct Endpoint {
  uint32_t addr = 0;  // IPv4, network order
  uint16_t port = 0;  // host order
};

// An unbound UDP socket (close-on-exec, non-blocking); -1 on failure.
int udp_open();
// Sends one datagram to the endpoint; 1 / 0.
int udp_send(int fd, const Endpoint& to, const uint8_t* data, std::size_t len);
// Waits until deadline_ms (mono_ms clock) for a datagram whose source is exactly the
// endpoint; datagrams from anywhere else are dropped. Its length, 0 when the deadline
// passed, -1 on a socket error.
int udp_recv(int fd, const Endpoint& from, uint8_t* buf, std::size_t cap, int64_t deadline_ms);

// A TCP connection to the endpoint made before deadline_ms; the socket, or -1.
int tcp_connect(const Endpoint& to, int64_t deadline_ms);
// Writes all of data before deadline_ms; 1 / 0.
int tcp_send_all(int fd, const uint8_t* data, std::size_t len, int64_t deadline_ms);
// Reads exactly len bytes before deadline_ms; 1 / 0 (time-out, error or end of stream).
int tcp_recv_exact(int fd, uint8_t* buf, std::size_t len, int64_t deadline_ms);

void close_socket(int fd);

}  // namespace kx::dns_io
