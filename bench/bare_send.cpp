// The bare send loop: the least a server can do to play one live MPEG-TS channel to N HTTP
// clients, as the yardstick for the real server's cost per delivered bit.
//
// One thread, one epoll set. The clip is read into memory once; a virtual live edge moves
// through it (looped) at the nominal byte rate, and the packets it passes are copied once
// into a shared ring, with their continuity counters carried on across the loop so the
// stream stays clean. Every tick (50 ms, the real server's send quantum at the live edge)
// each client gets what lies between its position and the live edge in one send; a client
// whose socket is full waits for EPOLLOUT. A new client starts a burst behind the edge.
// A client that falls a whole ring behind is dropped.
//
// usage: bare_send --file clip.ts --port P [--rate-kbps 2000] [--tick-ms 50]
//                  [--burst-ms 1000] [--seconds 7200]
// Listens on 127.0.0.1 only; ends on SIGTERM/SIGINT or after --seconds.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kTs = 188;
constexpr std::size_t kRingPackets = 32768;  // 6.2 MB: about 24 s at 2 Mbit/s
constexpr std::size_t kRing = kRingPackets * kTs;
constexpr std::size_t kMaxRequest = 4096;
constexpr int kMaxClients = 20000;
constexpr uint64_t kListenTag = ~0ULL;

volatile sig_atomic_t g_stop = 0;

int64_t now_us() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

const char kAnswer[] =
    "HTTP/1.0 200 OK\r\nContent-Type: video/mp2t\r\nCache-Control: no-cache\r\nConnection: close\r\n\r\n";

struct Client {
  int fd = -1;
  bool streaming = false;
  bool blocked = false;  // the socket was full: waiting for EPOLLOUT
  uint64_t pos = 0;      // virtual stream offset of the next byte to send
  std::string request;
};

class Bare {
 public:
  bool load(const char* path);
  int run(int port, double rate_kbps, int tick_ms, int burst_ms, int seconds);

 private:
  void produce_to(uint64_t edge);
  void accept_all();
  void on_client(std::size_t idx, uint32_t ev);
  void pump(Client& c);  // sends up to the live edge
  void drop(Client& c);

  std::vector<uint8_t> clip_;
  std::vector<uint8_t> ring_ = std::vector<uint8_t>(kRing);
  uint64_t produced_ = 0;   // virtual bytes in the ring so far
  std::size_t clip_at_ = 0;
  int8_t last_cc_[8192];
  int lfd_ = -1, ep_ = -1;
  std::vector<Client> clients_;
  std::vector<std::size_t> free_;
  uint64_t burst_ = 0;
  uint64_t dropped_ = 0, served_ = 0;
};

bool Bare::load(const char* path) {
  FILE* f = std::fopen(path, "rbe");
  if (!f) return false;
  std::vector<uint8_t> data;
  uint8_t buf[1 << 16];
  for (;;) {
    const std::size_t n = std::fread(buf, 1, sizeof buf, f);
    if (n == 0) break;
    data.insert(data.end(), buf, buf + n);
    if (data.size() > (1u << 30)) break;  // a clip, not a film
  }
  std::fclose(f);
  // Keep whole packets from the first sync that repeats.
  std::size_t start = 0;
  while (start + 2 * kTs < data.size() && !(data[start] == 0x47 && data[start + kTs] == 0x47)) ++start;
  std::size_t end = start;
  while (end + kTs <= data.size() && data[end] == 0x47) end += kTs;
  clip_.assign(data.begin() + static_cast<std::ptrdiff_t>(start), data.begin() + static_cast<std::ptrdiff_t>(end));
  std::memset(last_cc_, -1, sizeof last_cc_);
  return clip_.size() >= 100 * kTs;
}

// Copies packets from the looped clip into the ring up to edge, carrying every PID's
// continuity counter on so that the loop point is not a discontinuity.
void Bare::produce_to(uint64_t edge) {
  while (produced_ < edge) {
    uint8_t* pkt = ring_.data() + produced_ % kRing;
    std::memcpy(pkt, clip_.data() + clip_at_, kTs);
    clip_at_ += kTs;
    if (clip_at_ >= clip_.size()) clip_at_ = 0;
    const int pid = ((pkt[1] & 0x1f) << 8) | pkt[2];
    if (pid != 0x1fff) {
      int8_t& last = last_cc_[pid];
      if (pkt[3] & 0x10) last = static_cast<int8_t>(last < 0 ? (pkt[3] & 0x0f) : ((last + 1) & 0x0f));
      if (last >= 0) pkt[3] = static_cast<uint8_t>((pkt[3] & 0xf0) | last);
    }
    produced_ += kTs;
  }
}

void Bare::drop(Client& c) {
  if (c.fd >= 0) ::close(c.fd);
  c.fd = -1;
  c.streaming = false;
  c.blocked = false;
  c.request.clear();
  free_.push_back(static_cast<std::size_t>(&c - clients_.data()));
}

void Bare::accept_all() {
  for (int i = 0; i < 256; ++i) {
    const int fd = ::accept4(lfd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
    if (fd < 0) return;
    if (free_.empty()) {
      ::close(fd);
      continue;
    }
    const std::size_t idx = free_.back();
    free_.pop_back();
    Client& c = clients_[idx];
    c = Client{};
    c.fd = fd;
    epoll_event ev{};
    ev.events = EPOLLIN | EPOLLRDHUP;
    ev.data.u64 = idx;
    if (::epoll_ctl(ep_, EPOLL_CTL_ADD, fd, &ev) != 0) drop(c);
  }
}

void Bare::pump(Client& c) {
  if (produced_ - c.pos > kRing - kRing / 8) {  // about to be overwritten under it
    ++dropped_;
    drop(c);
    return;
  }
  // Bounded: at most two sends, the ring's end splitting the span in two.
  for (int i = 0; i < 2 && c.fd >= 0 && !c.blocked && c.pos < produced_; ++i) {
    const std::size_t at = c.pos % kRing;
    const std::size_t len = static_cast<std::size_t>(std::min<uint64_t>(produced_ - c.pos, kRing - at));
    const ssize_t n = ::send(c.fd, ring_.data() + at, len, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK) {
        c.blocked = true;
        epoll_event ev{};
        ev.events = EPOLLOUT | EPOLLRDHUP;
        ev.data.u64 = static_cast<uint64_t>(&c - clients_.data());
        ::epoll_ctl(ep_, EPOLL_CTL_MOD, c.fd, &ev);
        return;
      }
      drop(c);
      return;
    }
    c.pos += static_cast<uint64_t>(n);
    if (static_cast<std::size_t>(n) < len) {
      c.blocked = true;
      epoll_event ev{};
      ev.events = EPOLLOUT | EPOLLRDHUP;
      ev.data.u64 = static_cast<uint64_t>(&c - clients_.data());
      ::epoll_ctl(ep_, EPOLL_CTL_MOD, c.fd, &ev);
      return;
    }
  }
}

void Bare::on_client(std::size_t idx, uint32_t ev) {
  Client& c = clients_[idx];
  if (c.fd < 0) return;
  if (ev & (EPOLLERR | EPOLLHUP | EPOLLRDHUP)) {
    drop(c);
    return;
  }
  if (!c.streaming) {
    char buf[1024];
    const ssize_t n = ::recv(c.fd, buf, sizeof buf, 0);
    if (n <= 0) {
      if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
      drop(c);
      return;
    }
    c.request.append(buf, static_cast<std::size_t>(n));
    if (c.request.find("\r\n\r\n") == std::string::npos) {
      if (c.request.size() > kMaxRequest) drop(c);
      return;
    }
    if (::send(c.fd, kAnswer, sizeof kAnswer - 1, MSG_NOSIGNAL | MSG_DONTWAIT) != static_cast<ssize_t>(sizeof kAnswer - 1)) {
      drop(c);
      return;
    }
    c.streaming = true;
    ++served_;
    const uint64_t back = std::min<uint64_t>(burst_, produced_);
    c.pos = produced_ - back - (produced_ - back) % kTs;
    pump(c);
    return;
  }
  if ((ev & EPOLLOUT) && c.blocked) {
    c.blocked = false;
    epoll_event e{};
    e.events = EPOLLRDHUP;
    e.data.u64 = idx;
    ::epoll_ctl(ep_, EPOLL_CTL_MOD, c.fd, &e);
    pump(c);
  }
}

int Bare::run(int port, double rate_kbps, int tick_ms, int burst_ms, int seconds) {
  clients_.resize(kMaxClients);
  for (std::size_t i = clients_.size(); i-- > 0;) free_.push_back(i);
  lfd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  const int one = 1;
  ::setsockopt(lfd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  if (::bind(lfd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(lfd_, 4096) != 0) {
    std::perror("bare_send: listen");
    return 1;
  }
  ep_ = ::epoll_create1(EPOLL_CLOEXEC);
  epoll_event lev{};
  lev.events = EPOLLIN;
  lev.data.u64 = kListenTag;
  ::epoll_ctl(ep_, EPOLL_CTL_ADD, lfd_, &lev);

  const double bytes_per_us = rate_kbps * 1000.0 / 8.0 / 1e6;
  burst_ = static_cast<uint64_t>(bytes_per_us * burst_ms * 1000.0);
  const int64_t t0 = now_us();
  const int64_t end = t0 + static_cast<int64_t>(seconds) * 1000000;
  // Start with a full burst already in the ring, as a channel that has been running.
  const uint64_t preroll = burst_ - burst_ % kTs;
  produce_to(preroll);
  int64_t next_tick = t0;
  std::vector<epoll_event> evs(1024);
  std::fprintf(stderr, "bare_send: %zu bytes of clip, listening on 127.0.0.1:%d\n", clip_.size(), port);
  while (!g_stop) {
    const int64_t t = now_us();
    if (t >= end) break;
    if (t >= next_tick) {
      uint64_t edge = preroll + static_cast<uint64_t>(bytes_per_us * static_cast<double>(t - t0));
      edge -= edge % kTs;
      produce_to(edge);
      for (auto& c : clients_) {
        if (c.fd < 0 || !c.streaming || c.blocked) continue;
        pump(c);
      }
      next_tick += tick_ms * 1000LL;
      if (next_tick < t) next_tick = t + tick_ms * 1000LL;  // fell behind: no catching up in a rush
    }
    const int64_t wait_us = std::max<int64_t>(0, next_tick - now_us());
    const int n = ::epoll_wait(ep_, evs.data(), static_cast<int>(evs.size()), static_cast<int>((wait_us + 999) / 1000));
    for (int i = 0; i < n; ++i) {
      const epoll_event& e = evs[static_cast<std::size_t>(i)];
      if (e.data.u64 == kListenTag) accept_all();
      else on_client(static_cast<std::size_t>(e.data.u64), e.events);
    }
  }
  std::fprintf(stderr, "bare_send: served %llu clients, dropped %llu as too slow\n",
               static_cast<unsigned long long>(served_), static_cast<unsigned long long>(dropped_));
  for (auto& c : clients_)
    if (c.fd >= 0) ::close(c.fd);
  ::close(ep_);
  ::close(lfd_);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  const char* file = nullptr;
  int port = 0, tick_ms = 50, burst_ms = 1000, seconds = 7200;
  double rate = 2000;
  for (int i = 1; i + 1 < argc; i += 2) {
    const std::string a = argv[i];
    const char* v = argv[i + 1];
    if (a == "--file") file = v;
    else if (a == "--port") port = std::atoi(v);
    else if (a == "--rate-kbps") rate = std::atof(v);
    else if (a == "--tick-ms") tick_ms = std::atoi(v);
    else if (a == "--burst-ms") burst_ms = std::atoi(v);
    else if (a == "--seconds") seconds = std::atoi(v);
    else {
      std::fprintf(stderr, "bare_send: unknown option %s\n", a.c_str());
      return 2;
    }
  }
  if (!file || port <= 0 || port > 65535 || rate <= 0 || tick_ms <= 0 || tick_ms > 1000 || burst_ms < 0 ||
      seconds <= 0) {
    std::fprintf(stderr,
                 "usage: bare_send --file clip.ts --port P [--rate-kbps 2000] [--tick-ms 50] [--burst-ms 1000] "
                 "[--seconds 7200]\n");
    return 2;
  }
  struct sigaction sa{};
  sa.sa_handler = [](int) { g_stop = 1; };
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < rl.rlim_max) {
    rl.rlim_cur = std::min<rlim_t>(rl.rlim_max, kMaxClients + 64);
    setrlimit(RLIMIT_NOFILE, &rl);
  }
  Bare b;
  if (!b.load(file)) {
    std::fprintf(stderr, "bare_send: cannot read a TS clip from %s\n", file);
    return 1;
  }
  return b.run(port, rate, tick_ms, burst_ms, seconds);
}
