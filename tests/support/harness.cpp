#include "support/harness.h"

#include <ftw.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "catalogue/channels.h"
#include "core/log.h"
#include "movies/probe.h"
#include "core/os/file.h"
#include "core/os/time.h"
#include "core/process_state.h"

namespace {
// What the composition installs at start-up: test programs that load folder channels
// without it probe the files the same way.
[[maybe_unused]] const bool g_probe_installed = (kx::set_standing_folder_probe(kx::probe_kbitrate), true);
}  // namespace

namespace kxt {

SocketPair::SocketPair() {
  if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fd) != 0) fd[0] = fd[1] = -1;
}

SocketPair::~SocketPair() {
  for (int f : fd)
    if (f >= 0) ::close(f);
}

TempDir::TempDir() {
  char tmpl[] = "/tmp/kestrix-test-XXXXXX";
  const char* p = ::mkdtemp(tmpl);
  path_ = p ? p : "/tmp";
}

TempDir::~TempDir() {
  if (path_ == "/tmp" || path_.empty()) return;
  ::chmod(path_.c_str(), 0700);  // a test may have made it read-only
  ::nftw(
      path_.c_str(),
      [](const char* f, const struct stat*, int, struct FTW*) { return ::remove(f); }, 16,
      FTW_DEPTH | FTW_PHYS);
}

WorkDirScope::WorkDirScope(std::initializer_list<std::string> folders) : saved_dir_(kx::g_work_dir) {
  if (dir_.path() == "/tmp") return;
  active_ = true;
  kx::g_work_dir = dir_.path();
  kx::open_logs(dir_ / "log");
  kx::log_set_mode(kx::Sink::System, 1);
  for (const std::string& f : folders) kx::make_dir(dir_ / f);
}

WorkDirScope::~WorkDirScope() {
  if (!active_) return;
  kx::close_logs();
  kx::log_set_mode(kx::Sink::System, 1000);
  kx::g_work_dir = saved_dir_;
}

std::string slurp(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream ss;
  ss << in.rdbuf();
  return ss.str();
}

bool spit(const std::string& path, const std::string& data) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << data;
  out.close();
  return static_cast<bool>(out);
}

std::vector<std::string> names_in(const std::string& dir) {
  std::vector<std::string> names;
  kx::list_dir(dir, names);
  std::sort(names.begin(), names.end());
  return names;
}

void copy_tree(const std::string& from, const std::string& to) {
  kx::make_dir(to);
  std::vector<std::string> names;
  kx::list_dir(from, names);
  for (const auto& n : names) {
    std::string a = from + "/" + n, b = to + "/" + n;
    if (kx::dir_exists(a)) copy_tree(a, b);
    else spit(b, slurp(a));
  }
}

int free_port() {
  for (int attempt = 0; attempt < 50; ++attempt) {
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    // Pick from a range the kernel does not hand out on its own, to keep clear of
    // ports other tests' clients are using.
    a.sin_port = htons(static_cast<uint16_t>(20000 + (std::rand() % 12000)));
    int ok = ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::close(fd);
    if (ok == 0) return ntohs(a.sin_port);
  }
  return 0;
}

std::vector<std::string> child_env() {
  std::vector<std::string> env = {"PATH=/usr/local/bin:/usr/bin:/bin"};
  for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS", "LSAN_OPTIONS"})
    if (const char* v = std::getenv(name)) env.push_back(std::string(name) + "=" + v);
  return env;
}

bool spawn_logged(kx::Process& p, const std::vector<std::string>& argv, const std::string& log) {
  std::vector<std::string> sh = {"/bin/sh", "-c", "log=$1; shift; exec \"$@\" </dev/null >/dev/null 2>\"$log\"",
                                 "sh", log};
  sh.insert(sh.end(), argv.begin(), argv.end());
  return p.spawn(sh, child_env()) == 1;
}

int count_of(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++n;
  return n;
}

long last_number_after(const std::string& text, const std::string& prefix) {
  const std::size_t at = text.rfind(prefix);
  if (at == std::string::npos) return -1;
  return std::strtol(text.c_str() + at + prefix.size(), nullptr, 10);
}

bool wait_until(const std::function<bool()>& cond, int64_t timeout_ms) {
  int64_t end = kx::mono_ms() + timeout_ms;
  while (kx::mono_ms() < end) {
    if (cond()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return cond();
}

Server::Server() {
  std::srand(static_cast<unsigned>(::getpid() ^ kx::mono_ms()));
  copy_tree(std::string(KX_SOURCE_DIR) + "/demo", dir_.path());
  http_port = free_port();
  panel_port = free_port();
  apps_port = free_port();
  rtmp_port = free_port();
  rtsp_port = free_port();
  set("httpport", std::to_string(http_port));
  set("http_base_port", std::to_string(panel_port));
  set("http_apps_port", std::to_string(apps_port));
  set("rtmpport", std::to_string(rtmp_port));
  set("iptv_base_port", std::to_string(rtsp_port));
  set("igmpip", "0.0.0.0");
  // Most tests are about streaming, not admission: they run with authorisation off
  // unless they ask for it.
  set("user_authorization", "0");
}

Server::~Server() {
  if (proc_.pid() > 0 && proc_.running()) proc_.stop(5000);
}

void Server::write_config() {
  std::string path = dir_ / "kestrix_config.txt";
  std::string text = slurp(path), out;
  std::istringstream in(text);
  std::string line;
  std::map<std::string, std::string> left = overrides_;
  while (std::getline(in, line)) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    auto eq = line.find('=');
    std::string key = eq == std::string::npos ? "" : line.substr(0, eq);
    auto it = left.find(key);
    if (it != left.end()) {
      if (it->second != "\x01") out += key + "=" + it->second + "\r\n";
      left.erase(it);
    } else if (!line.empty()) {
      out += line + "\r\n";
    }
  }
  for (auto& [k, v] : left)
    if (v != "\x01") out += k + "=" + v + "\r\n";
  spit(path, out);
}

bool Server::start() {
  if (kx::file_exists(dir_ / "kestrix_config.txt")) write_config();
  std::vector<std::string> env = child_env();
  env.push_back("KESTRIX_DEBUG_OUTPUT=1");
  // The shell only redirects the debugger output to a file, then becomes the server.
  std::vector<std::string> argv = {"/bin/sh", "-c", "exec \"$0\" 2>debug_output.txt",
                                   KX_SERVER_BINARY};
  return proc_.spawn(argv, env, dir_.path(), kx::Process::kCaptureStdout) == 1;
}

void Server::pump(int timeout_ms) {
  char buf[4096];
  for (;;) {
    int64_t n = proc_.read_output(buf, sizeof buf, timeout_ms);
    if (n <= 0) return;
    out_.append(buf, static_cast<std::size_t>(n));
    timeout_ms = 0;
  }
}

const std::string& Server::output() {
  pump(0);
  return out_;
}

bool Server::wait_output(const std::string& text, int64_t timeout_ms) {
  return wait_until([&] { return output().find(text) != std::string::npos; }, timeout_ms);
}

bool Server::wait_file(const std::string& name, const std::string& text, int64_t timeout_ms) {
  return wait_until([&] { return file(name).find(text) != std::string::npos; }, timeout_ms);
}

void Server::signal(int sig) {
  if (proc_.pid() > 0) ::kill(proc_.pid(), sig);
}

bool Server::running() { return proc_.running(); }

int Server::stop(int64_t timeout_ms) {
  signal(SIGTERM);
  return wait_exit(timeout_ms);
}

int Server::wait_exit(int64_t timeout_ms) {
  int code = -1;
  int64_t end = kx::mono_ms() + timeout_ms;
  while (kx::mono_ms() < end) {
    pump(50);
    if (proc_.wait(0, &code)) {
      pump(0);
      return code;
    }
  }
  return -1;
}

}  // namespace kxt

namespace kxt {

std::string run_tool(const std::vector<std::string>& argv, int64_t timeout_ms) {
  kx::Process p;
  if (p.spawn(argv, {"PATH=/usr/local/bin:/usr/bin:/bin"}, "", kx::Process::kCaptureStdout) != 1)
    return "<failed>";
  std::string out;
  const int64_t deadline = kx::mono_ms() + timeout_ms;
  char buf[4096];
  for (;;) {
    const int64_t left = deadline - kx::mono_ms();
    if (left <= 0) return "<failed>";
    const int64_t n = p.read_output(buf, sizeof buf, static_cast<int>(left));
    if (n == 0) break;
    if (n < 0) return "<failed>";
    out.append(buf, static_cast<std::size_t>(n));
  }
  int code = -1;
  return p.wait(timeout_ms, &code) && code == 0 ? out : "<failed>";
}

}  // namespace kxt
