// HTTP live-stream load client: N players on one URL from a single epoll thread.
//
// Each player connects (the players are ramped up in bounded batches), sends a GET, reads
// the answer's head and then the MPEG-TS body, checking the 188-byte sync and the
// continuity counter of every PID. Every player-second is counted; one that delivers less
// than half the nominal rate after the player's warm-up is a stall-second. With --pid the
// served process's CPU time and resident memory are read from /proc over the measured
// window (from the end of the ramp plus the warm-up to the end of the run).
//
// The run is bounded: the ramp, then --seconds, then it stops by itself. It prints one
// machine-readable line starting with "KXLOAD " and a short summary for people.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <signal.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

constexpr int kTs = 188;
constexpr int kMaxPlayers = 20000;
constexpr int kMaxSeconds = 3600;
constexpr std::size_t kMaxHead = 8192;
constexpr int kReadsPerEvent = 4;  // reads of one ready socket before looking at the others

volatile sig_atomic_t g_stop = 0;

int64_t now_us() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000 + ts.tv_nsec / 1000;
}

double cpu_self_s() {
  rusage ru{};
  getrusage(RUSAGE_SELF, &ru);
  return static_cast<double>(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) +
         static_cast<double>(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) / 1e6;
}

// utime + stime of a process, in seconds; -1 when it cannot be read.
double proc_cpu_s(int pid) {
  if (pid <= 0) return -1;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/stat", pid);
  FILE* f = std::fopen(path, "re");
  if (!f) return -1;
  char buf[4096];
  const std::size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  buf[n] = 0;
  // The command name may hold spaces and parentheses: fields are counted after the last ')'.
  const char* p = std::strrchr(buf, ')');
  if (!p) return -1;
  ++p;
  unsigned long long utime = 0, stime = 0;
  // After ')': state(3) ... utime is field 14, stime 15; 11 fields to skip after the state.
  if (std::sscanf(p, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %llu %llu", &utime, &stime) != 2) return -1;
  const long tck = sysconf(_SC_CLK_TCK);
  return static_cast<double>(utime + stime) / static_cast<double>(tck > 0 ? tck : 100);
}

long proc_status_kb(int pid, const char* key) {
  if (pid <= 0) return -1;
  char path[64];
  std::snprintf(path, sizeof path, "/proc/%d/status", pid);
  FILE* f = std::fopen(path, "re");
  if (!f) return -1;
  char line[256];
  long v = -1;
  const std::size_t klen = std::strlen(key);
  while (std::fgets(line, sizeof line, f)) {
    if (std::strncmp(line, key, klen) == 0 && line[klen] == ':') {
      v = std::strtol(line + klen + 1, nullptr, 10);
      break;
    }
  }
  std::fclose(f);
  return v;
}

// Busy and stolen time of one core from /proc/stat, in clock ticks; false when unreadable.
bool core_ticks(int core, unsigned long long& busy, unsigned long long& idle, unsigned long long& steal) {
  if (core < 0) return false;
  FILE* f = std::fopen("/proc/stat", "re");
  if (!f) return false;
  char line[512], name[16];
  std::snprintf(name, sizeof name, "cpu%d ", core);
  bool found = false;
  for (int i = 0; i < 4096 && std::fgets(line, sizeof line, f); ++i) {
    if (std::strncmp(line, name, std::strlen(name)) != 0) continue;
    unsigned long long v[8] = {};
    if (std::sscanf(line + std::strlen(name), "%llu %llu %llu %llu %llu %llu %llu %llu", &v[0], &v[1], &v[2], &v[3],
                    &v[4], &v[5], &v[6], &v[7]) == 8) {
      busy = v[0] + v[1] + v[2] + v[5] + v[6];  // user nice system irq softirq
      idle = v[3] + v[4];
      steal = v[7];
      found = true;
    }
    break;
  }
  std::fclose(f);
  return found;
}

struct Options {
  std::string host = "127.0.0.1";
  int port = 0;
  std::string path = "/";
  int players = 100;
  int seconds = 20;
  int warmup = 2;
  double rate_kbps = 2000;
  int batch = 50;
  int batch_ms = 100;
  int connect_timeout_ms = 10000;
  int pid = 0;
  int core = -1;  // the core the served process is pinned to, for its busy and stolen time
  std::string label = "run";
  // Players come from this many loopback addresses (127.0.0.2 on), as set-top boxes come
  // from many homes; 0 connects them all from the kernel's choice (127.0.0.1).
  int sources = 64;
};

bool parse_url(const std::string& url, Options& o) {
  const std::string pre = "http://";
  if (url.compare(0, pre.size(), pre) != 0) return false;
  const std::size_t host_at = pre.size();
  const std::size_t slash = url.find('/', host_at);
  const std::string hostport = url.substr(host_at, slash == std::string::npos ? std::string::npos : slash - host_at);
  o.path = slash == std::string::npos ? "/" : url.substr(slash);
  const std::size_t colon = hostport.rfind(':');
  if (colon == std::string::npos) {
    o.host = hostport;
    o.port = 80;
  } else {
    o.host = hostport.substr(0, colon);
    o.port = std::atoi(hostport.c_str() + colon + 1);
  }
  return o.port > 0 && o.port < 65536 && !o.host.empty();
}

void usage() {
  std::fprintf(stderr,
               "usage: http_load --url http://127.0.0.1:PORT/PATH [--players N] [--seconds S] [--warmup S]\n"
               "                 [--rate-kbps K] [--batch B] [--batch-ms MS] [--connect-timeout-ms MS]\n"
               "                 [--pid SERVER_PID] [--core N] [--label NAME] [--sources K]\n");
}

bool parse_args(int argc, char** argv, Options& o) {
  bool have_url = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (i + 1 >= argc) return false;
    const char* v = argv[++i];
    if (a == "--url") have_url = parse_url(v, o);
    else if (a == "--players") o.players = std::atoi(v);
    else if (a == "--seconds") o.seconds = std::atoi(v);
    else if (a == "--warmup") o.warmup = std::atoi(v);
    else if (a == "--rate-kbps") o.rate_kbps = std::atof(v);
    else if (a == "--batch") o.batch = std::atoi(v);
    else if (a == "--batch-ms") o.batch_ms = std::atoi(v);
    else if (a == "--connect-timeout-ms") o.connect_timeout_ms = std::atoi(v);
    else if (a == "--pid") o.pid = std::atoi(v);
    else if (a == "--core") o.core = std::atoi(v);
    else if (a == "--label") o.label = v;
    else if (a == "--sources") o.sources = std::atoi(v);
    else return false;
  }
  return have_url && o.players > 0 && o.players <= kMaxPlayers && o.seconds > o.warmup && o.warmup >= 0 &&
         o.seconds <= kMaxSeconds && o.rate_kbps > 0 && o.batch > 0 && o.batch_ms >= 0 && o.connect_timeout_ms > 0 &&
         o.sources >= 0 && o.sources <= 250;
}

enum class St { kIdle, kConnecting, kHead, kBody, kClosed, kFailed };

struct Player {
  int fd = -1;
  St st = St::kIdle;
  int64_t t_start = 0;       // connect() called
  int64_t t_first = -1;      // first byte of the answer
  int64_t t_first_ts = -1;   // first byte of the body
  std::string head;
  uint8_t carry[kTs];        // a packet split between two reads
  int carry_len = 0;
  uint64_t body_bytes = 0;
  uint64_t sync_errors = 0;  // bytes skipped looking for a sync byte
  uint64_t cc_errors = 0;
  uint64_t packets = 0;
  std::vector<uint32_t> per_second;  // body bytes in each second of the run
  const char* why = "";              // why it failed or closed
};

struct CcState {
  // Per PID: -1 unseen, else the last counter of a packet with payload.
  int8_t last[8192];
  CcState() { std::memset(last, -1, sizeof last); }
};

class Load {
 public:
  explicit Load(const Options& o) : o_(o), players_(static_cast<std::size_t>(o.players)), cc_(players_.size()) {}

  int run();

 private:
  void start_batch(int64_t t);
  void connect_one(Player& p, int64_t t);
  void fail(Player& p, const char* why);
  void on_event(std::size_t idx, uint32_t ev, int64_t t);
  void consume(std::size_t idx, const uint8_t* data, std::size_t len, int64_t t);
  void check_packet(std::size_t idx, const uint8_t* pkt);
  int second_of(int64_t t) const { return static_cast<int>((t - t0_) / 1000000); }
  void report();

  Options o_;
  std::vector<Player> players_;
  std::vector<CcState> cc_;
  int ep_ = -1;
  sockaddr_in addr_{};
  std::string request_;
  int64_t t0_ = 0;
  int next_ = 0;               // next player to start
  int64_t ramp_end_ = -1;      // every player connected, answered or given up
  int64_t measure_from_ = 0, measure_to_ = 0;
  double cpu_start_ = -1, cpu_from_ = -1, cpu_to_ = -1, self_from_ = 0, self_to_ = 0;
  unsigned long long core_b0_ = 0, core_i0_ = 0, core_s0_ = 0, core_b1_ = 0, core_i1_ = 0, core_s1_ = 0;
  bool core_ok_ = false;
  long rss_base_ = -1, rss_end_ = -1, threads_end_ = -1;
  uint64_t window_bytes_ = 0;  // body bytes received inside the measured window
  int total_seconds_ = 0;
};

void Load::fail(Player& p, const char* why) {
  if (p.fd >= 0) {
    ::close(p.fd);
    p.fd = -1;
  }
  p.st = (p.st == St::kBody) ? St::kClosed : St::kFailed;
  p.why = why;
}

void Load::connect_one(Player& p, int64_t t) {
  p.t_start = t;
  p.fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (p.fd < 0) {
    p.st = St::kFailed;
    p.why = "socket";
    return;
  }
  if (o_.sources > 0) {
    sockaddr_in from{};
    from.sin_family = AF_INET;
    const int index = static_cast<int>(&p - players_.data());
    from.sin_addr.s_addr = htonl((127u << 24) | static_cast<uint32_t>(2 + index % o_.sources));
    if (::bind(p.fd, reinterpret_cast<const sockaddr*>(&from), sizeof from) != 0) {
      fail(p, "bind");
      return;
    }
  }
  p.st = St::kConnecting;
  const int r = ::connect(p.fd, reinterpret_cast<const sockaddr*>(&addr_), sizeof addr_);
  if (r != 0 && errno != EINPROGRESS) {
    fail(p, "connect");
    return;
  }
  epoll_event ev{};
  ev.events = EPOLLOUT | EPOLLIN | EPOLLRDHUP;
  ev.data.u64 = static_cast<uint64_t>(&p - players_.data());
  if (::epoll_ctl(ep_, EPOLL_CTL_ADD, p.fd, &ev) != 0) fail(p, "epoll");
}

void Load::start_batch(int64_t t) {
  for (int i = 0; i < o_.batch && next_ < o_.players; ++i, ++next_) connect_one(players_[static_cast<std::size_t>(next_)], t);
}

void Load::check_packet(std::size_t idx, const uint8_t* pkt) {
  Player& p = players_[idx];
  ++p.packets;
  const int pid = ((pkt[1] & 0x1f) << 8) | pkt[2];
  if (pid == 0x1fff) return;  // null packets carry no counter
  const int afc = (pkt[3] >> 4) & 3;
  const int cc = pkt[3] & 0x0f;
  int8_t& last = cc_[idx].last[pid];
  // A discontinuity indicator in the adaptation field restarts the counter.
  if ((afc & 2) && pkt[4] > 0 && (pkt[5] & 0x80)) {
    last = (afc & 1) ? static_cast<int8_t>(cc) : -1;
    return;
  }
  if (!(afc & 1)) return;  // no payload: the counter does not advance
  if (last >= 0 && cc != ((last + 1) & 0x0f) && cc != last) ++p.cc_errors;  // cc == last: a duplicate
  last = static_cast<int8_t>(cc);
}

void Load::consume(std::size_t idx, const uint8_t* data, std::size_t len, int64_t t) {
  Player& p = players_[idx];
  if (len == 0) return;
  if (p.t_first_ts < 0) p.t_first_ts = t;
  p.body_bytes += len;
  const int s = second_of(t);
  if (s >= 0 && s < total_seconds_) p.per_second[static_cast<std::size_t>(s)] += static_cast<uint32_t>(len);
  if (t >= measure_from_ && t < measure_to_) window_bytes_ += len;

  std::size_t at = 0;
  while (at < len) {
    if (p.carry_len > 0) {
      // A packet split between two reads, or being gathered again after a resync.
      const std::size_t take = std::min<std::size_t>(static_cast<std::size_t>(kTs - p.carry_len), len - at);
      std::memcpy(p.carry + p.carry_len, data + at, take);
      p.carry_len += static_cast<int>(take);
      at += take;
      if (p.carry_len < kTs) return;
      if (p.carry[0] == 0x47) {
        check_packet(idx, p.carry);
        p.carry_len = 0;
      } else {
        // Lost sync: drop the carried bytes up to the next 0x47 and gather again.
        int k = 1;
        while (k < kTs && p.carry[k] != 0x47) ++k;
        p.sync_errors += static_cast<uint64_t>(k);
        std::memmove(p.carry, p.carry + k, static_cast<std::size_t>(kTs - k));
        p.carry_len = kTs - k;
      }
      continue;
    }
    if (data[at] != 0x47) {
      ++p.sync_errors;
      ++at;
      continue;
    }
    if (len - at < static_cast<std::size_t>(kTs)) {
      p.carry_len = static_cast<int>(len - at);
      std::memcpy(p.carry, data + at, len - at);
      return;
    }
    check_packet(idx, data + at);
    at += kTs;
  }
}

void Load::on_event(std::size_t idx, uint32_t ev, int64_t t) {
  Player& p = players_[idx];
  if (p.fd < 0) return;
  if (p.st == St::kConnecting) {
    if (!(ev & (EPOLLOUT | EPOLLERR | EPOLLHUP))) return;
    int err = 0;
    socklen_t el = sizeof err;
    ::getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &err, &el);
    if (err != 0) {
      fail(p, "connect");
      return;
    }
    const ssize_t n = ::send(p.fd, request_.data(), request_.size(), MSG_NOSIGNAL);
    if (n != static_cast<ssize_t>(request_.size())) {
      fail(p, "send");
      return;
    }
    p.st = St::kHead;
    epoll_event e{};
    e.events = EPOLLIN | EPOLLRDHUP;
    e.data.u64 = idx;
    ::epoll_ctl(ep_, EPOLL_CTL_MOD, p.fd, &e);
    return;
  }
  static uint8_t buf[1 << 16];
  for (int r = 0; r < kReadsPerEvent && p.fd >= 0; ++r) {
    const ssize_t n = ::recv(p.fd, buf, sizeof buf, 0);
    if (n < 0) {
      if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return;
      fail(p, "recv");
      return;
    }
    if (n == 0) {
      fail(p, p.st == St::kBody ? "closed by server" : "closed before the body");
      return;
    }
    if (p.t_first < 0) p.t_first = t;
    std::size_t off = 0;
    if (p.st == St::kHead) {
      const std::size_t keep = p.head.size();
      p.head.append(reinterpret_cast<const char*>(buf), static_cast<std::size_t>(n));
      const std::size_t end = p.head.find("\r\n\r\n");
      if (end == std::string::npos) {
        if (p.head.size() > kMaxHead) fail(p, "head too long");
        continue;
      }
      // "HTTP/1.x 2xx"
      if (p.head.size() < 12 || p.head.compare(0, 5, "HTTP/") != 0 || p.head[9] != '2') {
        fail(p, "status not 2xx");
        return;
      }
      off = end + 4 - keep;
      p.head.resize(end + 4);
      p.st = St::kBody;
    }
    if (static_cast<std::size_t>(n) > off) consume(idx, buf + off, static_cast<std::size_t>(n) - off, t);
    if (n < static_cast<ssize_t>(sizeof buf)) return;  // drained for now
  }
}

double percentile(std::vector<double> v, double q) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  const double pos = q * static_cast<double>(v.size() - 1);
  const std::size_t lo = static_cast<std::size_t>(std::floor(pos));
  const std::size_t hi = std::min(lo + 1, v.size() - 1);
  return v[lo] + (v[hi] - v[lo]) * (pos - static_cast<double>(lo));
}

int Load::run() {
  addr_.sin_family = AF_INET;
  addr_.sin_port = htons(static_cast<uint16_t>(o_.port));
  if (::inet_pton(AF_INET, o_.host.c_str(), &addr_.sin_addr) != 1) {
    std::fprintf(stderr, "http_load: the host must be an IPv4 address\n");
    return 2;
  }
  request_ = "GET " + o_.path + " HTTP/1.0\r\nHost: " + o_.host + ":" + std::to_string(o_.port) +
             "\r\nUser-Agent: kx-http-load\r\nAccept: */*\r\n\r\n";
  ep_ = ::epoll_create1(EPOLL_CLOEXEC);
  if (ep_ < 0) return 2;

  // The ramp takes at most this long: every batch started and the last one given its
  // connect time-out.
  const int64_t batches = (o_.players + o_.batch - 1) / o_.batch;
  const int64_t ramp_limit_us = batches * o_.batch_ms * 1000LL + o_.connect_timeout_ms * 1000LL;
  total_seconds_ = static_cast<int>(ramp_limit_us / 1000000) + o_.seconds + 2;
  for (auto& p : players_) p.per_second.assign(static_cast<std::size_t>(total_seconds_), 0);

  rss_base_ = proc_status_kb(o_.pid, "VmRSS");
  cpu_start_ = proc_cpu_s(o_.pid);
  t0_ = now_us();
  measure_from_ = measure_to_ = INT64_MAX;
  int64_t next_batch = t0_;
  int64_t end = INT64_MAX;
  const int64_t hard_end = t0_ + ramp_limit_us + (o_.seconds + 5) * 1000000LL;
  std::vector<epoll_event> evs(1024);
  int64_t last_timeout_scan = t0_;

  while (!g_stop) {
    const int64_t t = now_us();
    if (t >= end || t >= hard_end) break;
    if (next_ < o_.players && t >= next_batch) {
      start_batch(t);
      next_batch += o_.batch_ms * 1000LL;
    }
    // Connect and head time-outs, looked at every 100 ms.
    if (t - last_timeout_scan >= 100000) {
      last_timeout_scan = t;
      for (auto& p : players_)
        if ((p.st == St::kConnecting || p.st == St::kHead) && t - p.t_start > o_.connect_timeout_ms * 1000LL)
          fail(p, p.st == St::kConnecting ? "connect timed out" : "no answer in time");
    }
    if (ramp_end_ < 0 && next_ >= o_.players) {
      bool settled = true;
      for (const auto& p : players_)
        if (p.st == St::kConnecting || p.st == St::kHead || p.st == St::kIdle) {
          settled = false;
          break;
        }
      if (settled) {
        ramp_end_ = t;
        measure_from_ = t + o_.warmup * 1000000LL;
        end = ramp_end_ + o_.seconds * 1000000LL;
        measure_to_ = end;
      }
    }
    if (cpu_from_ < 0 && t >= measure_from_) {
      cpu_from_ = proc_cpu_s(o_.pid);
      self_from_ = cpu_self_s();
      core_ok_ = core_ticks(o_.core, core_b0_, core_i0_, core_s0_);
      if (cpu_from_ < 0) cpu_from_ = 0;
      measure_from_ = t;  // the window starts when the counters were read
    }
    int wait_ms = 10;
    const int n = ::epoll_wait(ep_, evs.data(), static_cast<int>(evs.size()), wait_ms);
    const int64_t t2 = now_us();
    for (int i = 0; i < n; ++i) on_event(static_cast<std::size_t>(evs[static_cast<std::size_t>(i)].data.u64),
                                         evs[static_cast<std::size_t>(i)].events, t2);
  }
  const int64_t t_end = now_us();
  if (measure_to_ > t_end) measure_to_ = t_end;
  cpu_to_ = proc_cpu_s(o_.pid);
  self_to_ = cpu_self_s();
  core_ok_ = core_ok_ && core_ticks(o_.core, core_b1_, core_i1_, core_s1_);
  rss_end_ = proc_status_kb(o_.pid, "VmRSS");
  threads_end_ = proc_status_kb(o_.pid, "Threads");
  if (ramp_end_ < 0) ramp_end_ = t_end;
  report();
  for (auto& p : players_)
    if (p.fd >= 0) ::close(p.fd);
  ::close(ep_);
  return 0;
}

void Load::report() {
  int ok = 0, failed = 0, closed = 0;
  std::vector<double> ttfb, ttfts, rates;
  uint64_t cc = 0, sync = 0, packets = 0, bytes = 0;
  long stall = 0, player_seconds = 0, window_stall = 0, window_seconds = 0;
  const int window_first = static_cast<int>((measure_from_ - t0_ + 999999) / 1000000);
  const double nominal = o_.rate_kbps * 1000.0 / 8.0;  // bytes per second
  const int last_full = second_of(measure_to_);          // seconds before this one ended in the run
  const char* first_failure = "";
  for (const auto& p : players_) {
    if (p.st == St::kFailed || p.st == St::kIdle || p.st == St::kConnecting || p.st == St::kHead) {
      ++failed;
      if (!*first_failure) first_failure = p.why;
      continue;
    }
    ++ok;
    if (p.st == St::kClosed) ++closed;
    if (p.t_first >= 0) ttfb.push_back(static_cast<double>(p.t_first - p.t_start) / 1000.0);
    if (p.t_first_ts >= 0) ttfts.push_back(static_cast<double>(p.t_first_ts - p.t_start) / 1000.0);
    cc += p.cc_errors;
    sync += p.sync_errors;
    packets += p.packets;
    bytes += p.body_bytes;
    // Whole seconds of the run that start after the player's warm-up.
    const int64_t from_us = p.t_start - t0_ + o_.warmup * 1000000LL;
    const int first = static_cast<int>((from_us + 999999) / 1000000);
    for (int s = std::max(first, 0); s < last_full && s < total_seconds_; ++s) {
      const double got = p.per_second[static_cast<std::size_t>(s)];
      ++player_seconds;
      if (got < nominal / 2) ++stall;
      if (s >= window_first) {
        ++window_seconds;
        if (got < nominal / 2) ++window_stall;
      }
      rates.push_back(got * 8.0 / 1000.0);
    }
  }
  const double window_s = static_cast<double>(measure_to_ - measure_from_) / 1e6;
  const double cpu = (cpu_from_ >= 0 && cpu_to_ >= 0) ? cpu_to_ - cpu_from_ : -1;
  const double gbit = static_cast<double>(window_bytes_) * 8.0 / 1e9;
  const double cpu_pct = (cpu >= 0 && window_s > 0) ? 100.0 * cpu / window_s : -1;
  const double cpu_per_gbit = (cpu >= 0 && gbit > 0) ? cpu / gbit : -1;
  const double self_pct = window_s > 0 ? 100.0 * (self_to_ - self_from_) / window_s : -1;
  const double rss_per_player =
      (rss_base_ >= 0 && rss_end_ >= 0 && ok > 0) ? static_cast<double>(rss_end_ - rss_base_) / ok : -1;
  const double stall_pct = player_seconds > 0 ? 100.0 * static_cast<double>(stall) / static_cast<double>(player_seconds) : -1;
  const double ramp_s = static_cast<double>(ramp_end_ - t0_) / 1e6;
  const double warm_s = static_cast<double>(measure_from_ - t0_) / 1e6;
  const double ramp_cpu_pct =
      (cpu_start_ >= 0 && cpu_from_ >= 0 && warm_s > 0) ? 100.0 * (cpu_from_ - cpu_start_) / warm_s : -1;
  const double window_stall_pct =
      window_seconds > 0 ? 100.0 * static_cast<double>(window_stall) / static_cast<double>(window_seconds) : -1;
  double core_busy_pct = -1, core_steal_pct = -1;
  if (core_ok_) {
    const double all = static_cast<double>((core_b1_ - core_b0_) + (core_i1_ - core_i0_) + (core_s1_ - core_s0_));
    if (all > 0) {
      core_busy_pct = 100.0 * static_cast<double>(core_b1_ - core_b0_) / all;
      core_steal_pct = 100.0 * static_cast<double>(core_s1_ - core_s0_) / all;
    }
  }
  const double ttfb_max = ttfb.empty() ? -1 : *std::max_element(ttfb.begin(), ttfb.end());

  std::printf(
      "KXLOAD label=%s players=%d ok=%d failed=%d closed=%d ramp_s=%.2f window_s=%.2f "
      "ttfb_p50_ms=%.1f ttfb_p95_ms=%.1f ttfb_max_ms=%.1f first_ts_p50_ms=%.1f first_ts_p95_ms=%.1f "
      "rate_kbps_mean=%.0f rate_kbps_p5=%.0f rate_kbps_p50=%.0f rate_kbps_min=%.0f "
      "player_seconds=%ld stall_seconds=%ld stall_pct=%.3f window_stall_pct=%.3f cc_errors=%llu sync_errors=%llu packets=%llu "
      "bytes=%llu window_gbit=%.4f server_cpu_s=%.3f server_cpu_pct=%.1f cpu_s_per_gbit=%.3f "
      "rss_base_kb=%ld rss_end_kb=%ld rss_per_player_kb=%.1f server_threads=%ld ramp_cpu_pct=%.1f "
      "core_busy_pct=%.1f core_steal_pct=%.1f client_cpu_pct=%.1f\n",
      o_.label.c_str(), o_.players, ok, failed, closed, ramp_s, window_s, percentile(ttfb, 0.5),
      percentile(ttfb, 0.95), ttfb_max, percentile(ttfts, 0.5), percentile(ttfts, 0.95),
      rates.empty() ? -1.0 : [&] {
        double s = 0;
        for (double r : rates) s += r;
        return s / static_cast<double>(rates.size());
      }(),
      percentile(rates, 0.05), percentile(rates, 0.5), rates.empty() ? -1.0 : *std::min_element(rates.begin(), rates.end()),
      player_seconds, stall, stall_pct, window_stall_pct, static_cast<unsigned long long>(cc), static_cast<unsigned long long>(sync),
      static_cast<unsigned long long>(packets), static_cast<unsigned long long>(bytes), gbit, cpu, cpu_pct,
      cpu_per_gbit, rss_base_, rss_end_, rss_per_player, threads_end_, ramp_cpu_pct, core_busy_pct,
      core_steal_pct, self_pct);
  std::printf("%s: %d players, %d connected (%d cut off later), %d failed%s%s; ramp %.1f s\n", o_.label.c_str(),
              o_.players, ok, closed, failed, *first_failure ? ", first failure: " : "", first_failure, ramp_s);
  std::printf("  first byte p50 %.1f ms, p95 %.1f ms, max %.1f ms; first TS byte p50 %.1f ms, p95 %.1f ms\n",
              percentile(ttfb, 0.5), percentile(ttfb, 0.95), ttfb_max, percentile(ttfts, 0.5),
              percentile(ttfts, 0.95));
  std::printf("  per player-second: p5 %.0f kbit/s, median %.0f kbit/s (nominal %.0f); stall-seconds %ld of %ld (%.2f%%), "
              "%.2f%% in the measured window\n",
              percentile(rates, 0.05), percentile(rates, 0.5), o_.rate_kbps, stall, player_seconds, stall_pct,
              window_stall_pct);
  std::printf("  TS: %llu packets, %llu continuity errors, %llu bytes out of sync\n",
              static_cast<unsigned long long>(packets), static_cast<unsigned long long>(cc),
              static_cast<unsigned long long>(sync));
  if (o_.pid > 0)
    std::printf("  server pid %d over %.1f s: CPU %.1f%% of a core, %.3f CPU-s per delivered Gbit, RSS %ld -> %ld kB "
                "(%.1f kB per player), %ld threads; CPU during ramp and warm-up %.1f%%; this client %.1f%%\n",
                o_.pid, window_s, cpu_pct, cpu_per_gbit, rss_base_, rss_end_, rss_per_player, threads_end_,
                ramp_cpu_pct, self_pct);
  if (core_ok_)
    std::printf("  core %d over the window: %.1f%% busy, %.1f%% stolen by the host\n", o_.core, core_busy_pct,
                core_steal_pct);
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  if (!parse_args(argc, argv, o)) {
    usage();
    return 2;
  }
  struct sigaction sa{};
  sa.sa_handler = [](int) { g_stop = 1; };
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < static_cast<rlim_t>(o.players) + 64) {
    rl.rlim_cur = std::min<rlim_t>(rl.rlim_max, static_cast<rlim_t>(o.players) + 64);
    setrlimit(RLIMIT_NOFILE, &rl);
  }
  Load load(o);
  return load.run();
}
