#include "load_common.h"

#include <arpa/inet.h>
#include <sys/epoll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

namespace kxbench {

namespace {
constexpr int kReadsPerEvent = 4;  // reads of one ready socket before looking at the others
}  // namespace

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

double percentile(std::vector<double> v, double q) {
  if (v.empty()) return -1;
  std::sort(v.begin(), v.end());
  const double pos = q * static_cast<double>(v.size() - 1);
  const std::size_t lo = static_cast<std::size_t>(std::floor(pos));
  const std::size_t hi = std::min(lo + 1, v.size() - 1);
  return v[lo] + (v[hi] - v[lo]) * (pos - static_cast<double>(lo));
}

// ---- options ----

bool parse_url(const std::string& url, const char* scheme, int default_port, Options& o) {
  const std::string pre = scheme;
  if (url.compare(0, pre.size(), pre) != 0) return false;
  const std::size_t host_at = pre.size();
  const std::size_t slash = url.find('/', host_at);
  const std::string hostport = url.substr(host_at, slash == std::string::npos ? std::string::npos : slash - host_at);
  o.path = slash == std::string::npos ? "/" : url.substr(slash);
  const std::size_t colon = hostport.rfind(':');
  if (colon == std::string::npos) {
    o.host = hostport;
    o.port = default_port;
  } else {
    o.host = hostport.substr(0, colon);
    o.port = std::atoi(hostport.c_str() + colon + 1);
  }
  return o.port > 0 && o.port < 65536 && !o.host.empty();
}

const char* const kCommonUsage =
    "  [--players N] [--seconds S] [--warmup S] [--rate-kbps K] [--batch B] [--batch-ms MS]\n"
    "  [--connect-timeout-ms MS] [--pid SERVER_PID] [--core N] [--label NAME] [--sources K]\n";

bool parse_common_flag(const std::string& a, const char* v, Options& o) {
  if (a == "--players") o.players = std::atoi(v);
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
  return true;
}

bool options_valid(const Options& o) {
  return o.players > 0 && o.players <= kMaxPlayers && o.seconds > o.warmup && o.warmup >= 0 &&
         o.seconds <= kMaxSeconds && o.rate_kbps > 0 && o.batch > 0 && o.batch_ms >= 0 && o.connect_timeout_ms > 0 &&
         o.connect_timeout_ms <= 600000 && o.batch_ms <= 60000 && o.sources >= 0 && o.sources <= 250;
}

void process_setup(int players) {
  struct sigaction sa{};
  sa.sa_handler = [](int) { g_stop = 1; };
  sigaction(SIGINT, &sa, nullptr);
  sigaction(SIGTERM, &sa, nullptr);
  signal(SIGPIPE, SIG_IGN);
  rlimit rl{};
  if (getrlimit(RLIMIT_NOFILE, &rl) == 0 && rl.rlim_cur < static_cast<rlim_t>(players) + 64) {
    rl.rlim_cur = std::min<rlim_t>(rl.rlim_max, static_cast<rlim_t>(players) + 64);
    setrlimit(RLIMIT_NOFILE, &rl);
  }
}

// ---- the run ----

LoadRun::LoadRun(const Options& o, const char* first_key)
    : o_(o), players_(static_cast<std::size_t>(o.players)), first_key_(first_key) {}

void LoadRun::fail(Player& p, const char* why) {
  if (p.fd >= 0) {
    ::close(p.fd);
    p.fd = -1;
  }
  p.st = (p.st == St::kPlaying) ? St::kClosed : St::kFailed;
  p.why = why;
}

void LoadRun::delivered(std::size_t idx, std::size_t len, int64_t t) {
  Player& p = players_[idx];
  if (p.t_first_data < 0) p.t_first_data = t;
  p.bytes += len;
  const int s = second_of(t);
  if (s >= 0 && s < total_seconds_) p.per_second[static_cast<std::size_t>(s)] += static_cast<uint32_t>(len);
  if (t >= measure_from_ && t < measure_to_) window_bytes_ += len;
}

void LoadRun::connect_one(Player& p, int64_t t) {
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

void LoadRun::start_batch(int64_t t) {
  for (int i = 0; i < o_.batch && next_ < o_.players; ++i, ++next_) connect_one(players_[static_cast<std::size_t>(next_)], t);
}

void LoadRun::on_event(std::size_t idx, uint32_t ev, int64_t t) {
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
    p.st = St::kSetup;
    if (!on_connected(idx, t)) return;
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
      fail(p, p.st == St::kPlaying ? "closed by server" : "closed before the stream");
      return;
    }
    if (p.t_first < 0) p.t_first = t;
    on_bytes(idx, buf, static_cast<std::size_t>(n), t);
    if (n < static_cast<ssize_t>(sizeof buf)) return;  // drained for now
  }
}

void LoadRun::scan_timeouts(int64_t t) {
  for (std::size_t i = 0; i < players_.size(); ++i) {
    Player& p = players_[i];
    if ((p.st == St::kConnecting || p.st == St::kSetup) && t - p.t_start > o_.connect_timeout_ms * 1000LL)
      fail(p, p.st == St::kConnecting ? "connect timed out" : setup_timeout(i));
  }
}

bool LoadRun::settled() const {
  for (const auto& p : players_)
    if (p.st == St::kConnecting || p.st == St::kSetup || p.st == St::kIdle) return false;
  return true;
}

void LoadRun::begin_window(int64_t t) {
  cpu_from_ = proc_cpu_s(o_.pid);
  self_from_ = cpu_self_s();
  core_ok_ = core_ticks(o_.core, core_b0_, core_i0_, core_s0_);
  if (cpu_from_ < 0) cpu_from_ = 0;
  measure_from_ = t;  // the window starts when the counters were read
}

void LoadRun::end_window() {
  const int64_t t_end = now_us();
  if (measure_to_ > t_end) measure_to_ = t_end;
  cpu_to_ = proc_cpu_s(o_.pid);
  self_to_ = cpu_self_s();
  core_ok_ = core_ok_ && core_ticks(o_.core, core_b1_, core_i1_, core_s1_);
  rss_end_ = proc_status_kb(o_.pid, "VmRSS");
  threads_end_ = proc_status_kb(o_.pid, "Threads");
  if (ramp_end_ < 0) ramp_end_ = t_end;
}

int LoadRun::run() {
  addr_.sin_family = AF_INET;
  addr_.sin_port = htons(static_cast<uint16_t>(o_.port));
  if (::inet_pton(AF_INET, o_.host.c_str(), &addr_.sin_addr) != 1) {
    std::fprintf(stderr, "load: the host must be an IPv4 address\n");
    return 2;
  }
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
    // Connect and set-up time-outs, looked at every 100 ms.
    if (t - last_timeout_scan >= 100000) {
      last_timeout_scan = t;
      scan_timeouts(t);
    }
    if (ramp_end_ < 0 && next_ >= o_.players && settled()) {
      ramp_end_ = t;
      measure_from_ = t + o_.warmup * 1000000LL;
      end = ramp_end_ + o_.seconds * 1000000LL;
      measure_to_ = end;
    }
    if (cpu_from_ < 0 && t >= measure_from_) begin_window(t);
    const int n = ::epoll_wait(ep_, evs.data(), static_cast<int>(evs.size()), 10);
    const int64_t t2 = now_us();
    for (int i = 0; i < n; ++i)
      on_event(static_cast<std::size_t>(evs[static_cast<std::size_t>(i)].data.u64), evs[static_cast<std::size_t>(i)].events,
               t2);
  }
  end_window();
  report();
  for (auto& p : players_)
    if (p.fd >= 0) ::close(p.fd);
  ::close(ep_);
  return 0;
}

// ---- the report ----

struct Totals {
  int ok = 0, failed = 0, closed = 0;
  std::vector<double> ttfb, first_data, rates;
  uint64_t bytes = 0;
  long stall = 0, player_seconds = 0, window_stall = 0, window_seconds = 0;
  long silent = 0, silent_players = 0;  // whole seconds with no payload after the first
  const char* first_failure = "";
  std::map<std::string, int> ends;  // why players failed or were cut off, and how many
};

namespace {

double mean(const std::vector<double>& v) {
  if (v.empty()) return -1;
  double s = 0;
  for (double r : v) s += r;
  return s / static_cast<double>(v.size());
}

double pct(double part, double whole) { return whole > 0 ? 100.0 * part / whole : -1; }

}  // namespace

void LoadRun::report() {
  Totals a;
  const int window_first = static_cast<int>((measure_from_ - t0_ + 999999) / 1000000);
  const double nominal = o_.rate_kbps * 1000.0 / 8.0;  // bytes per second
  const int last_full = second_of(measure_to_);          // seconds before this one ended in the run
  for (const auto& p : players_) {
    if (!counted(p)) {
      ++a.failed;
      if (!*a.first_failure) a.first_failure = p.why;
      ++a.ends[p.why];
      continue;
    }
    ++a.ok;
    if (p.st == St::kClosed) {
      ++a.closed;
      ++a.ends[std::string("later: ") + p.why];
    }
    if (p.t_first >= 0) a.ttfb.push_back(static_cast<double>(p.t_first - p.t_start) / 1000.0);
    if (p.t_first_data >= 0) a.first_data.push_back(static_cast<double>(p.t_first_data - p.t_start) / 1000.0);
    a.bytes += p.bytes;
    // Whole seconds of the run that start after the player's warm-up.
    const int64_t from_us = p.t_start - t0_ + o_.warmup * 1000000LL;
    const int first = static_cast<int>((from_us + 999999) / 1000000);
    for (int s = std::max(first, 0); s < last_full && s < total_seconds_; ++s) {
      const double got = p.per_second[static_cast<std::size_t>(s)];
      ++a.player_seconds;
      if (got < nominal / 2) ++a.stall;
      if (s >= window_first) {
        ++a.window_seconds;
        if (got < nominal / 2) ++a.window_stall;
      }
      a.rates.push_back(got * 8.0 / 1000.0);
    }
    // Silent seconds: from the one after the first payload's, none of the payload at all.
    long quiet = 0;
    if (p.t_first_data >= 0)
      for (int s = second_of(p.t_first_data) + 1; s < last_full && s < total_seconds_; ++s)
        if (p.per_second[static_cast<std::size_t>(s)] == 0) ++quiet;
    a.silent += quiet;
    if (quiet > 0) ++a.silent_players;
  }
  print_report(a);
}

void LoadRun::print_report(const Totals& a) const {
  const double window_s = static_cast<double>(measure_to_ - measure_from_) / 1e6;
  const double cpu = (cpu_from_ >= 0 && cpu_to_ >= 0) ? cpu_to_ - cpu_from_ : -1;
  const double gbit = static_cast<double>(window_bytes_) * 8.0 / 1e9;
  const double cpu_pct = (cpu >= 0 && window_s > 0) ? 100.0 * cpu / window_s : -1;
  const double cpu_per_gbit = (cpu >= 0 && gbit > 0) ? cpu / gbit : -1;
  const double self_pct = window_s > 0 ? 100.0 * (self_to_ - self_from_) / window_s : -1;
  const double rss_per_player =
      (rss_base_ >= 0 && rss_end_ >= 0 && a.ok > 0) ? static_cast<double>(rss_end_ - rss_base_) / a.ok : -1;
  const double stall_pct = pct(static_cast<double>(a.stall), static_cast<double>(a.player_seconds));
  const double ramp_s = static_cast<double>(ramp_end_ - t0_) / 1e6;
  const double warm_s = static_cast<double>(measure_from_ - t0_) / 1e6;
  const double ramp_cpu_pct =
      (cpu_start_ >= 0 && cpu_from_ >= 0 && warm_s > 0) ? 100.0 * (cpu_from_ - cpu_start_) / warm_s : -1;
  const double window_stall_pct = pct(static_cast<double>(a.window_stall), static_cast<double>(a.window_seconds));
  double core_busy_pct = -1, core_steal_pct = -1;
  if (core_ok_) {
    const double all = static_cast<double>((core_b1_ - core_b0_) + (core_i1_ - core_i0_) + (core_s1_ - core_s0_));
    core_busy_pct = pct(static_cast<double>(core_b1_ - core_b0_), all);
    core_steal_pct = pct(static_cast<double>(core_s1_ - core_s0_), all);
  }
  const double ttfb_max = a.ttfb.empty() ? -1 : *std::max_element(a.ttfb.begin(), a.ttfb.end());
  const double first_max = a.first_data.empty() ? -1 : *std::max_element(a.first_data.begin(), a.first_data.end());
  const char* fk = first_key_;

  std::printf(
      "KXLOAD label=%s players=%d ok=%d failed=%d closed=%d ramp_s=%.2f window_s=%.2f "
      "ttfb_p50_ms=%.1f ttfb_p95_ms=%.1f ttfb_max_ms=%.1f %s_p50_ms=%.1f %s_p95_ms=%.1f %s_p99_ms=%.1f %s_max_ms=%.1f "
      "rate_kbps_mean=%.0f rate_kbps_p5=%.0f rate_kbps_p50=%.0f rate_kbps_min=%.0f "
      "player_seconds=%ld stall_seconds=%ld stall_pct=%.3f window_stall_pct=%.3f silent_seconds=%ld silent_players=%ld "
      "bytes=%llu window_gbit=%.4f server_cpu_s=%.3f server_cpu_pct=%.1f cpu_s_per_gbit=%.3f "
      "rss_base_kb=%ld rss_end_kb=%ld rss_per_player_kb=%.1f server_threads=%ld ramp_cpu_pct=%.1f "
      "core_busy_pct=%.1f core_steal_pct=%.1f client_cpu_pct=%.1f%s\n",
      o_.label.c_str(), o_.players, a.ok, a.failed, a.closed, ramp_s, window_s, percentile(a.ttfb, 0.5),
      percentile(a.ttfb, 0.95), ttfb_max, fk, percentile(a.first_data, 0.5), fk, percentile(a.first_data, 0.95), fk,
      percentile(a.first_data, 0.99), fk, first_max, mean(a.rates), percentile(a.rates, 0.05),
      percentile(a.rates, 0.5), a.rates.empty() ? -1.0 : *std::min_element(a.rates.begin(), a.rates.end()),
      a.player_seconds, a.stall, stall_pct, window_stall_pct, a.silent, a.silent_players,
      static_cast<unsigned long long>(a.bytes), gbit, cpu, cpu_pct, cpu_per_gbit, rss_base_, rss_end_, rss_per_player,
      threads_end_, ramp_cpu_pct, core_busy_pct, core_steal_pct, self_pct, report_keys().c_str());
  std::printf("%s: %d players, %d connected (%d cut off later), %d failed%s%s; ramp %.1f s\n", o_.label.c_str(),
              o_.players, a.ok, a.closed, a.failed, *a.first_failure ? ", first failure: " : "", a.first_failure, ramp_s);
  std::printf("  first byte p50 %.1f ms, p95 %.1f ms, max %.1f ms; %s p50 %.1f ms, p95 %.1f ms, p99 %.1f ms\n",
              percentile(a.ttfb, 0.5), percentile(a.ttfb, 0.95), ttfb_max, fk, percentile(a.first_data, 0.5),
              percentile(a.first_data, 0.95), percentile(a.first_data, 0.99));
  std::printf("  per player-second: p5 %.0f kbit/s, median %.0f kbit/s (nominal %.0f); stall-seconds %ld of %ld (%.2f%%), "
              "%.2f%% in the measured window; %ld silent seconds in %ld players\n",
              percentile(a.rates, 0.05), percentile(a.rates, 0.5), o_.rate_kbps, a.stall, a.player_seconds, stall_pct,
              window_stall_pct, a.silent, a.silent_players);
  if (!a.ends.empty()) {
    std::printf("  ended:");
    for (const auto& [why, count] : a.ends) std::printf(" %s (%d);", why.c_str(), count);
    std::printf("\n");
  }
  report_lines();
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

}  // namespace kxbench
