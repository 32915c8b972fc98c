// Test support: temporary folders, free loopback ports, and the real server binary
// started in a working directory of its own and stopped by its PID.
#pragma once
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <map>
#include <string>
#include <vector>

#include "core/os/process.h"

namespace kxt {

// Two connected stream sockets (close-on-exec), both closed at the end of the scope;
// ok() is false when the pair could not be made.
struct SocketPair {
  int fd[2] = {-1, -1};
  SocketPair();
  ~SocketPair();
  SocketPair(const SocketPair&) = delete;
  SocketPair& operator=(const SocketPair&) = delete;
  bool ok() const { return fd[0] >= 0 && fd[1] >= 0; }
};

// A fresh folder under /tmp, removed with everything in it when the object goes.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;
  const std::string& path() const { return path_; }
  std::string operator/(const std::string& name) const { return path_ + "/" + name; }
 private:
  std::string path_;
};

// The declaration line the server's XML files start with.
inline const std::string kXmlDecl = "<?xml version=\"1.0\" encoding=\"iso-8859-1\" ?>\r\n";

// A fresh folder made the server's working directory for the object's life, with the logs
// open in its log/ (system log unlimited) and the given sub-folders made. The destructor
// closes the logs, puts the system log back to its default ring and restores the working
// directory; a fixture's own tables are released in its TearDown, which runs first.
// When the folder could not be made, path() is "/tmp" and nothing else is changed.
class WorkDirScope {
 public:
  explicit WorkDirScope(std::initializer_list<std::string> folders = {});
  ~WorkDirScope();
  WorkDirScope(const WorkDirScope&) = delete;
  WorkDirScope& operator=(const WorkDirScope&) = delete;
  const std::string& path() const { return dir_.path(); }
  std::string operator/(const std::string& name) const { return dir_ / name; }
 private:
  TempDir dir_;
  std::string saved_dir_;
  bool active_ = false;
};

std::string slurp(const std::string& path);  // whole file, "" when missing
bool spit(const std::string& path, const std::string& data);  // true when written whole
std::vector<std::string> names_in(const std::string& dir);    // sorted folder entries
void copy_tree(const std::string& from, const std::string& to);

// A TCP port on 127.0.0.1 that nothing listens on now.
int free_port();

// Runs a program (no shell) with its standard output captured, bounded in time; its
// output, or "<failed>" when it could not run, failed or took too long.
std::string run_tool(const std::vector<std::string>& argv, int64_t timeout_ms = 20000);

// The environment of a program a test starts: PATH and the sanitizers' options.
std::vector<std::string> child_env();
// Starts a program (no shell of its own) with its standard error in the file log.
bool spawn_logged(kx::Process& p, const std::vector<std::string>& argv, const std::string& log);
// How often what stands in text.
int count_of(const std::string& text, const std::string& what);
// The number in the last "<prefix>N]" of the text; -1 when there is none.
long last_number_after(const std::string& text, const std::string& prefix);

// Polls cond every 20 ms until it holds or timeout_ms passes.
bool wait_until(const std::function<bool()>& cond, int64_t timeout_ms = 15000);

// The server binary in a temporary working directory, a copy of demo/ by default,
// with every port free on loopback and multicast off.
class Server {
 public:
  Server();
  ~Server();
  // Config lines (key -> value) replace or extend the demo configuration.
  void set(const std::string& key, const std::string& value) { overrides_[key] = value; }
  void unset(const std::string& key) { overrides_[key] = "\x01"; }
  bool start();
  // Sends SIGTERM and waits; returns the exit code, or -1 when it did not end in time.
  int stop(int64_t timeout_ms = 15000);
  // Waits for the process to end by itself; the exit code, or -1 on time-out.
  int wait_exit(int64_t timeout_ms = 15000);
  void signal(int sig);
  bool running();
  int pid() const { return proc_.pid(); }

  // Waits until standard output (or a file of the working directory) contains text.
  bool wait_output(const std::string& text, int64_t timeout_ms = 15000);
  bool wait_file(const std::string& name, const std::string& text, int64_t timeout_ms = 15000);
  const std::string& output();
  std::string file(const std::string& name) const { return slurp(dir_ / name); }
  std::string debug_output() const { return file("debug_output.txt"); }

  const std::string& dir() const { return dir_.path(); }
  std::string path(const std::string& name) const { return dir_ / name; }
  int http_port = 0, panel_port = 0, apps_port = 0, rtmp_port = 0, rtsp_port = 0;

 private:
  void write_config();
  void pump(int timeout_ms);
  TempDir dir_;
  kx::Process proc_;
  std::map<std::string, std::string> overrides_;
  std::string out_;
};

}  // namespace kxt
