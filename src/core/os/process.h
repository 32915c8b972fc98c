// Child processes: started straight from an argument vector (never through a shell),
// with their own environment and working folder, and reaped when the owner goes away.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kx {

// Raises the soft limit of open descriptors to the hard limit. soft is the limit before,
// hard the one asked for; false when the limits could not be read or set.
bool raise_open_file_limit(uint64_t& soft, uint64_t& hard);

class Process {
 public:
  enum : int {
    kCaptureStdout = 1,  // child's stdout goes to a pipe read with read_output
    kPipeStdin = 2,      // child's stdin comes from write_input / close_input
    kNullStdio = 4,      // stdin, stdout and stderr on /dev/null (unless piped above)
  };

  Process() = default;
  ~Process();  // a child still running is killed (SIGKILL) and reaped
  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;
  Process(Process&& o) noexcept;
  Process& operator=(Process&& o) noexcept;

  // Starts argv[0] with exactly env as its environment. A name without '/' is looked up
  // in the PATH of env, or of this process when env has none. A non-empty cwd is the
  // child's working folder. The child keeps only fds 0-2 and default signal handling.
  // 1 once the program is running; 0 when it could not be started (errno tells why),
  // also when this object still holds a child that has not been reaped (EBUSY).
  int spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
            const std::string& cwd = "", int flags = 0);

  int pid() const { return pid_; }  // -1 before a successful spawn
  bool running();                   // without blocking; false once it has ended
  // Waits up to timeout_ms (negative: no limit) for the child to end. True when it has,
  // with exit_code set to its exit status, or 128 + signal when a signal ended it.
  bool wait(int64_t timeout_ms, int* exit_code = nullptr);
  void terminate();  // SIGTERM
  void kill();       // SIGKILL
  // SIGTERM, up to grace_ms for it to end, then SIGKILL. True when the child is gone.
  bool stop(int64_t grace_ms);

  // Reads captured stdout: bytes read, 0 at end, -1 on error (or nothing captured),
  // -2 when nothing arrived within timeout_ms (negative: no limit).
  int64_t read_output(void* buf, std::size_t len, int timeout_ms);
  // Whole-buffer write to the child's stdin; false once the child has closed it.
  bool write_input(const void* data, std::size_t len);
  void close_input();

 private:
  void release();       // kill and reap a live child, close the pipes
  bool reap(bool block);
  void signal(int sig);

  int pid_ = -1;
  bool reaped_ = false;
  int exit_code_ = -1;
  int out_fd_ = -1;
  int in_fd_ = -1;
};

}  // namespace kx
