// What the live-stream load clients share: N players ramped up in bounded batches on one
// epoll thread, per-player timings and per-second delivery, the served process's CPU and
// memory read from /proc over a measured window, and the report (one "KXLOAD key=value"
// line for scripts and a short summary for people).
//
// A protocol client derives from LoadRun: it sends its opening bytes once a player's socket
// has connected, takes the bytes read, and calls delivered() for the stream payload (the
// MPEG-TS body, the RTMP media messages) and playing() when the player has passed its
// protocol's set-up. Everything else -- the ramp, time-outs, the window, the statistics --
// is here.
#pragma once
#include <netinet/in.h>
#include <signal.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kxbench {

constexpr int kMaxPlayers = 20000;
constexpr int kMaxSeconds = 3600;

extern volatile sig_atomic_t g_stop;

int64_t now_us();
double cpu_self_s();
// utime + stime of a process, in seconds; -1 when it cannot be read.
double proc_cpu_s(int pid);
// A "Key:" line of /proc/PID/status, as a number (kB for memory); -1 when absent.
long proc_status_kb(int pid, const char* key);
// Busy and stolen time of one core from /proc/stat, in clock ticks; false when unreadable.
bool core_ticks(int core, unsigned long long& busy, unsigned long long& idle, unsigned long long& steal);
// Linear interpolation between the nearest ranks; -1 for an empty set.
double percentile(std::vector<double> v, double q);

struct Options {
  std::string host = "127.0.0.1";
  int port = 0;
  std::string path = "/";  // what follows host:port in the URL, from its '/'
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

// scheme "http://" or "rtmp://": host, port (default_port when absent) and path.
bool parse_url(const std::string& url, const char* scheme, int default_port, Options& o);
// One "--flag value" every client takes; false when the flag is not one of them.
bool parse_common_flag(const std::string& flag, const char* value, Options& o);
bool options_valid(const Options& o);
extern const char* const kCommonUsage;
// SIGINT/SIGTERM end the run early (it still reports); SIGPIPE ignored; file limit raised.
void process_setup(int players);

enum class St { kIdle, kConnecting, kSetup, kPlaying, kClosed, kFailed };

struct Player {
  int fd = -1;
  St st = St::kIdle;
  int64_t t_start = 0;        // connect() called
  int64_t t_first = -1;       // first byte of the answer
  int64_t t_first_data = -1;  // first byte of the stream payload
  uint64_t bytes = 0;         // payload bytes
  std::vector<uint32_t> per_second;  // payload bytes in each second of the run
  const char* why = "";              // why it failed or closed
};

struct Totals;  // what the report adds up over the players

class LoadRun {
 public:
  // first_key names the first-payload timing in the report ("first_ts", "first_media").
  LoadRun(const Options& o, const char* first_key);
  virtual ~LoadRun() = default;
  LoadRun(const LoadRun&) = delete;
  LoadRun& operator=(const LoadRun&) = delete;

  int run();

 protected:
  // The socket of player idx has connected: send the opening bytes. Returns false after
  // fail() when that did not work.
  virtual bool on_connected(std::size_t idx, int64_t t) = 0;
  // Bytes read from player idx (st is kSetup or kPlaying).
  virtual void on_bytes(std::size_t idx, const uint8_t* data, std::size_t n, int64_t t) = 0;
  // Extra " key=value" pairs for the KXLOAD line, and extra summary lines.
  virtual std::string report_keys() const { return {}; }
  // Why player idx, still setting up, has run out of time.
  virtual const char* setup_timeout(std::size_t) const { return "no stream in time"; }
  virtual void report_lines() const {}

  void fail(Player& p, const char* why);
  void playing(Player& p) { p.st = St::kPlaying; }
  // Stream payload of player idx received at t.
  void delivered(std::size_t idx, std::size_t len, int64_t t);
  // True once the player counts as connected in the report.
  static bool counted(const Player& p) { return p.st == St::kPlaying || p.st == St::kClosed; }

  Options o_;
  std::vector<Player> players_;

 private:
  void start_batch(int64_t t);
  void connect_one(Player& p, int64_t t);
  void on_event(std::size_t idx, uint32_t ev, int64_t t);
  void scan_timeouts(int64_t t);
  bool settled() const;
  void begin_window(int64_t t);
  void end_window();
  int second_of(int64_t t) const { return static_cast<int>((t - t0_) / 1000000); }
  void report();
  void print_report(const Totals& a) const;

  const char* first_key_;
  int ep_ = -1;
  sockaddr_in addr_{};
  int64_t t0_ = 0;
  int next_ = 0;           // next player to start
  int64_t ramp_end_ = -1;  // every player connected, playing or given up
  int64_t measure_from_ = 0, measure_to_ = 0;
  double cpu_start_ = -1, cpu_from_ = -1, cpu_to_ = -1, self_from_ = 0, self_to_ = 0;
  unsigned long long core_b0_ = 0, core_i0_ = 0, core_s0_ = 0, core_b1_ = 0, core_i1_ = 0, core_s1_ = 0;
  bool core_ok_ = false;
  long rss_base_ = -1, rss_end_ = -1, threads_end_ = -1;
  uint64_t window_bytes_ = 0;  // payload bytes received inside the measured window
  int total_seconds_ = 0;
};

}  // namespace kxbench
