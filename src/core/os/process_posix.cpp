#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "core/os/process.h"
#include "core/os/time.h"

namespace kx {

namespace {

void close_fd(int& fd) {
  if (fd >= 0) ::close(fd);
  fd = -1;
}

// Moves fd to 3 or above, close-on-exec, so that placing the child's stdio on 0-2
// can never overwrite another descriptor we are about to hand over.
bool lift_fd(int& fd) {
  if (fd >= 3) return true;
  int high = fcntl(fd, F_DUPFD_CLOEXEC, 3);
  ::close(fd);
  fd = high;
  return fd >= 0;
}

bool make_pipe(int fds[2]) {
  fds[0] = fds[1] = -1;
  if (pipe2(fds, O_CLOEXEC) != 0) return false;
  if (lift_fd(fds[0]) && lift_fd(fds[1])) return true;
  close_fd(fds[0]);
  close_fd(fds[1]);
  return false;
}

// Candidate paths for argv[0], in the order execvp would try them.
std::vector<std::string> exec_candidates(const std::string& name,
                                         const std::vector<std::string>& env) {
  if (name.find('/') != std::string::npos) return {name};
  const char* path = nullptr;
  for (const std::string& e : env) {
    if (e.compare(0, 5, "PATH=") == 0) {
      path = e.c_str() + 5;
      break;
    }
  }
  if (path == nullptr) path = getenv("PATH");
  if (path == nullptr) path = "/usr/local/bin:/usr/bin:/bin";
  std::vector<std::string> out;
  std::string p = path;
  std::size_t start = 0;
  while (start <= p.size()) {
    std::size_t end = p.find(':', start);
    if (end == std::string::npos) end = p.size();
    // An empty entry means the working folder.
    std::string candidate = end > start ? p.substr(start, end - start) : std::string(".");
    candidate += '/';
    candidate += name;
    out.push_back(std::move(candidate));
    start = end + 1;
  }
  return out;
}

std::vector<char*> c_strings(const std::vector<std::string>& v) {
  std::vector<char*> out;
  out.reserve(v.size() + 1);
  for (const std::string& s : v) out.push_back(const_cast<char*>(s.c_str()));
  out.push_back(nullptr);
  return out;
}

// --- Everything below runs in the child between fork and exec: async-signal-safe only.

[[noreturn]] void child_fail(int status_fd, int err) {
  ssize_t n;
  do n = ::write(status_fd, &err, sizeof err);
  while (n < 0 && errno == EINTR);
  _exit(127);
}

bool child_place(int from, int to) {
  int r;
  do r = dup2(from, to);
  while (r < 0 && errno == EINTR);
  return r >= 0;
}

bool close_range_raw(unsigned first, unsigned last) {
#if defined(__GLIBC__) && (__GLIBC__ > 2 || (__GLIBC__ == 2 && __GLIBC_MINOR__ >= 34))
  return close_range(first, last, 0) == 0;
#elif defined(SYS_close_range)
  return syscall(SYS_close_range, first, last, 0) == 0;
#else
  (void)first;
  (void)last;
  errno = ENOSYS;
  return false;
#endif
}

// Closes every fd from 3 up except keep, reading /proc/self/fd with raw getdents64.
bool close_via_proc(int keep) {
#ifdef SYS_getdents64
  int dir = ::open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dir < 0) return false;
  alignas(8) char buf[4096];
  for (int rounds = 0; rounds < 100000; ++rounds) {
    long n = syscall(SYS_getdents64, dir, buf, sizeof buf);
    if (n <= 0) break;
    for (long off = 0; off < n;) {
      // struct linux_dirent64: u64 ino, s64 off, u16 reclen, u8 type, char name[]
      unsigned short reclen;
      memcpy(&reclen, buf + off + 16, sizeof reclen);
      const char* name = buf + off + 19;
      int fd = 0;
      bool digits = name[0] != '\0';
      for (const char* c = name; *c != '\0'; ++c) {
        if (*c < '0' || *c > '9' || fd > 100000000) {
          digits = false;
          break;
        }
        fd = fd * 10 + (*c - '0');
      }
      if (digits && fd >= 3 && fd != dir && fd != keep) ::close(fd);
      if (reclen == 0) break;
      off += reclen;
    }
  }
  ::close(dir);
  return true;
#else
  (void)keep;
  return false;
#endif
}

void child_close_fds(int keep, long max_fd) {
  bool ok = keep > 3 ? close_range_raw(3, static_cast<unsigned>(keep - 1)) : true;
  if (ok && close_range_raw(static_cast<unsigned>(keep + 1), ~0U)) return;
  if (close_via_proc(keep)) return;
  for (long fd = 3; fd < max_fd; ++fd) {
    if (fd != keep) ::close(static_cast<int>(fd));
  }
}

struct ChildSetup {
  char* const* argv;
  char* const* envp;
  const std::vector<std::string>* candidates;
  const char* cwd;
  int in_fd, out_fd, null_fd, status_fd;
  long max_fd;
};

[[noreturn]] void child_main(const ChildSetup& s) {
  // Handlers the parent installed are reset by exec; ignored signals are not.
  struct sigaction dfl;
  memset(&dfl, 0, sizeof dfl);
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig) sigaction(sig, &dfl, nullptr);  // some refuse: fine
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);

  int in = s.in_fd >= 0 ? s.in_fd : s.null_fd;
  int out = s.out_fd >= 0 ? s.out_fd : s.null_fd;
  if (in >= 0 && !child_place(in, 0)) child_fail(s.status_fd, errno);
  if (out >= 0 && !child_place(out, 1)) child_fail(s.status_fd, errno);
  if (s.null_fd >= 0 && !child_place(s.null_fd, 2)) child_fail(s.status_fd, errno);
  child_close_fds(s.status_fd, s.max_fd);

  if (s.cwd != nullptr && chdir(s.cwd) != 0) child_fail(s.status_fd, errno);

  int err = ENOENT;
  bool denied = false;
  for (const std::string& c : *s.candidates) {
    execve(c.c_str(), s.argv, s.envp);
    err = errno;
    if (err == EACCES) {
      denied = true;
      continue;
    }
    if (err == ENOENT || err == ENOTDIR || err == ELOOP || err == ENAMETOOLONG ||
        err == ENODEV || err == ETIMEDOUT || err == ESTALE) {
      continue;
    }
    break;
  }
  child_fail(s.status_fd, denied ? EACCES : err);
}

}  // namespace

Process::~Process() { release(); }

Process::Process(Process&& o) noexcept
    : pid_(o.pid_), reaped_(o.reaped_), exit_code_(o.exit_code_), out_fd_(o.out_fd_),
      in_fd_(o.in_fd_) {
  o.pid_ = -1;
  o.reaped_ = false;
  o.out_fd_ = o.in_fd_ = -1;
}

Process& Process::operator=(Process&& o) noexcept {
  if (this != &o) {
    release();
    pid_ = o.pid_;
    reaped_ = o.reaped_;
    exit_code_ = o.exit_code_;
    out_fd_ = o.out_fd_;
    in_fd_ = o.in_fd_;
    o.pid_ = -1;
    o.reaped_ = false;
    o.out_fd_ = o.in_fd_ = -1;
  }
  return *this;
}

void Process::release() {
  close_fd(in_fd_);
  close_fd(out_fd_);
  if (pid_ > 0 && !reaped_) {
    ::kill(pid_, SIGKILL);
    reap(true);
  }
  pid_ = -1;
  reaped_ = false;
  exit_code_ = -1;
}

int Process::spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                   const std::string& cwd, int flags) {
  if (pid_ > 0 && !reaped_) {
    errno = EBUSY;
    return 0;
  }
  release();
  if (argv.empty() || argv[0].empty()) {
    errno = ENOENT;
    return 0;
  }

  // All allocation happens here, before fork.
  std::vector<std::string> candidates = exec_candidates(argv[0], env);
  std::vector<char*> args = c_strings(argv);
  std::vector<char*> envp = c_strings(env);
  long max_fd = sysconf(_SC_OPEN_MAX);
  if (max_fd < 0) max_fd = 1024;

  int out_pipe[2] = {-1, -1}, in_pipe[2] = {-1, -1}, status[2] = {-1, -1};
  int null_fd = -1;
  auto cleanup = [&] {
    int saved = errno;
    close_fd(out_pipe[0]);
    close_fd(out_pipe[1]);
    close_fd(in_pipe[0]);
    close_fd(in_pipe[1]);
    close_fd(status[0]);
    close_fd(status[1]);
    close_fd(null_fd);
    errno = saved;
  };
  bool ok = make_pipe(status);
  if (ok && (flags & kCaptureStdout)) ok = make_pipe(out_pipe);
  if (ok && (flags & kPipeStdin)) ok = make_pipe(in_pipe);
  if (ok && (flags & kNullStdio)) {
    null_fd = ::open("/dev/null", O_RDWR | O_CLOEXEC);
    ok = null_fd >= 0 && lift_fd(null_fd);
  }
  if (!ok) {
    cleanup();
    return 0;
  }

  ChildSetup setup{args.data(), envp.data(), &candidates, cwd.empty() ? nullptr : cwd.c_str(),
                   in_pipe[0], out_pipe[1], null_fd, status[1], max_fd};

  // No signal may run a parent handler in the child before its dispositions are reset.
  sigset_t all, old;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &old);
  pid_t pid = fork();
  if (pid == 0) child_main(setup);
  int fork_errno = errno;
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  if (pid < 0) {
    errno = fork_errno;
    cleanup();
    return 0;
  }

  close_fd(status[1]);
  close_fd(out_pipe[1]);
  close_fd(in_pipe[0]);
  close_fd(null_fd);

  // The status pipe closes on a successful exec; otherwise the child sends its errno.
  int child_errno = 0;
  ssize_t n;
  do n = ::read(status[0], &child_errno, sizeof child_errno);
  while (n < 0 && errno == EINTR);
  close_fd(status[0]);

  pid_ = pid;
  reaped_ = false;
  exit_code_ = -1;
  out_fd_ = out_pipe[0];
  in_fd_ = in_pipe[1];
  out_pipe[0] = in_pipe[1] = -1;
  if (n == 0) return 1;

  release();
  errno = n == static_cast<ssize_t>(sizeof child_errno) && child_errno != 0 ? child_errno : ECHILD;
  return 0;
}

bool Process::reap(bool block) {
  if (pid_ <= 0) return false;
  if (reaped_) return true;
  int st = 0;
  pid_t r;
  do r = waitpid(pid_, &st, block ? 0 : WNOHANG);
  while (r < 0 && errno == EINTR);
  if (r == 0) return false;
  reaped_ = true;
  if (r < 0) {
    exit_code_ = -1;  // someone else collected it; the status is lost
  } else if (WIFEXITED(st)) {
    exit_code_ = WEXITSTATUS(st);
  } else if (WIFSIGNALED(st)) {
    exit_code_ = 128 + WTERMSIG(st);
  } else {
    exit_code_ = -1;
  }
  return true;
}

bool Process::running() { return pid_ > 0 && !reap(false); }

bool Process::wait(int64_t timeout_ms, int* exit_code) {
  if (pid_ <= 0) return false;
  bool done;
  if (timeout_ms < 0) {
    done = reap(true);
  } else {
    int64_t deadline = mono_ms() + timeout_ms;
    int64_t step = 1;
    for (;;) {
      done = reap(false);
      if (done) break;
      int64_t left = deadline - mono_ms();
      if (left <= 0) break;
      sleep_ms(step < left ? step : left);
      if (step < 20) step *= 2;
    }
  }
  if (done && exit_code != nullptr) *exit_code = exit_code_;
  return done;
}

void Process::signal(int sig) {
  // Once reaped the pid may belong to someone else.
  if (pid_ > 0 && !reaped_) ::kill(pid_, sig);
}

void Process::terminate() { signal(SIGTERM); }

void Process::kill() { signal(SIGKILL); }

bool Process::stop(int64_t grace_ms) {
  if (pid_ <= 0) return true;
  if (reap(false)) return true;
  signal(SIGTERM);
  if (wait(grace_ms < 0 ? 0 : grace_ms)) return true;
  signal(SIGKILL);
  return wait(10000);
}

int64_t Process::read_output(void* buf, std::size_t len, int timeout_ms) {
  if (out_fd_ < 0) return -1;
  int64_t deadline = timeout_ms < 0 ? -1 : mono_ms() + timeout_ms;
  for (;;) {
    int wait_ms = -1;
    if (deadline >= 0) {
      int64_t left = deadline - mono_ms();
      wait_ms = left > 0 ? static_cast<int>(left) : 0;
    }
    pollfd p{out_fd_, POLLIN, 0};
    int r = poll(&p, 1, wait_ms);
    if (r < 0) {
      if (errno == EINTR) continue;
      return -1;
    }
    if (r == 0) return -2;
    ssize_t n = ::read(out_fd_, buf, len);
    if (n < 0) {
      if (errno == EINTR || errno == EAGAIN) continue;
      return -1;
    }
    return n;
  }
}

bool Process::write_input(const void* data, std::size_t len) {
  if (in_fd_ < 0) return false;
  // A child that closed its stdin must not take us down with SIGPIPE, whatever the
  // process-wide disposition: block it here and swallow one we caused.
  sigset_t pipe_set, old, pending;
  sigemptyset(&pipe_set);
  sigaddset(&pipe_set, SIGPIPE);
  pthread_sigmask(SIG_BLOCK, &pipe_set, &old);
  sigpending(&pending);
  bool was_pending = sigismember(&pending, SIGPIPE) == 1;

  auto* p = static_cast<const char*>(data);
  bool ok = true;
  while (len > 0) {
    ssize_t n = ::write(in_fd_, p, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      if (n < 0 && errno == EPIPE && !was_pending) {
        timespec zero{0, 0};
        int r;
        do r = sigtimedwait(&pipe_set, nullptr, &zero);
        while (r < 0 && errno == EINTR);
      }
      ok = false;
      break;
    }
    p += n;
    len -= static_cast<std::size_t>(n);
  }
  pthread_sigmask(SIG_SETMASK, &old, nullptr);
  return ok;
}

void Process::close_input() { close_fd(in_fd_); }

bool raise_open_file_limit(uint64_t& soft, uint64_t& hard) {
  rlimit r{};
  if (::getrlimit(RLIMIT_NOFILE, &r) != 0) return false;
  soft = static_cast<uint64_t>(r.rlim_cur);
  hard = static_cast<uint64_t>(r.rlim_max);
  if (r.rlim_cur == r.rlim_max) return true;
  r.rlim_cur = r.rlim_max;
  return ::setrlimit(RLIMIT_NOFILE, &r) == 0;
}

}  // namespace kx
