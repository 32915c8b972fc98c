#include "core/os/process.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "core/os/file.h"
#include "core/os/time.h"

extern char** environ;

namespace kx {
namespace {

constexpr int64_t kDeadlineMs = 10000;

// Reads captured output until end of file or the deadline. True on a clean end.
bool read_all(Process& p, std::string& out) {
  int64_t deadline = mono_ms() + kDeadlineMs;
  char buf[4096];
  for (int i = 0; i < 100000; ++i) {
    int64_t left = deadline - mono_ms();
    if (left <= 0) return false;
    int64_t n = p.read_output(buf, sizeof buf, static_cast<int>(left));
    if (n == 0) return true;
    if (n < 0) return false;
    out.append(buf, static_cast<std::size_t>(n));
  }
  return false;
}

// Runs argv to completion with stdout captured: output and exit code.
struct RunResult {
  int started = 0;
  bool ended = false;
  std::string out;
  int code = -1;
};

RunResult run(const std::vector<std::string>& argv, const std::vector<std::string>& env,
              const std::string& cwd = "", int flags = 0) {
  RunResult r;
  Process p;
  r.started = p.spawn(argv, env, cwd, flags | Process::kCaptureStdout);
  if (r.started != 1) return r;
  read_all(p, r.out);
  r.ended = p.wait(kDeadlineMs, &r.code);
  return r;
}

std::vector<std::string> environment_copy() {
  std::vector<std::string> out;
  for (char** e = environ; *e != nullptr; ++e) out.emplace_back(*e);
  return out;
}

TEST(Process, CapturesOutputAndFindsProgramsOnPath) {
  struct Case {
    std::vector<std::string> argv;
    std::vector<std::string> env;
  };
  const Case cases[] = {
      {{"/bin/echo", "hello", "world"}, {}},
      {{"echo", "hello", "world"}, {"PATH=/nonexistent:/usr/bin:/bin"}},
      {{"echo", "hello", "world"}, {}},  // no PATH given: ours is used
  };
  for (const Case& c : cases) {
    RunResult r = run(c.argv, c.env);
    ASSERT_EQ(r.started, 1) << c.argv[0];
    EXPECT_TRUE(r.ended);
    EXPECT_EQ(r.code, 0);
    EXPECT_EQ(r.out, "hello world\n") << c.argv[0];
  }
}

TEST(Process, ChildGetsExactlyTheGivenEnvironment) {
  std::vector<std::string> before = environment_copy();
  const char* probe = getenv("KX_PROBE_ONE");
  ASSERT_EQ(probe, nullptr);

  RunResult r = run({"/usr/bin/env"}, {"KX_PROBE_ONE=1", "KX_PROBE_TWO=two words"});
  ASSERT_EQ(r.started, 1);
  EXPECT_EQ(r.code, 0);
  EXPECT_EQ(r.out, "KX_PROBE_ONE=1\nKX_PROBE_TWO=two words\n");

  r = run({"/usr/bin/env"}, {});
  ASSERT_EQ(r.started, 1);
  EXPECT_EQ(r.out, "");

  EXPECT_EQ(getenv("KX_PROBE_ONE"), nullptr);
  EXPECT_EQ(environment_copy(), before);
}

TEST(Process, RunsInTheGivenFolderWithoutMovingUs) {
  std::string ours = current_dir();
  char real_tmp[PATH_MAX];
  ASSERT_NE(realpath("/tmp", real_tmp), nullptr);

  RunResult r = run({"/bin/pwd"}, {}, "/tmp");
  ASSERT_EQ(r.started, 1);
  EXPECT_EQ(r.out, std::string(real_tmp) + "\n");
  EXPECT_EQ(current_dir(), ours);

  r = run({"/bin/pwd"}, {});
  ASSERT_EQ(r.started, 1);
  EXPECT_EQ(r.out, ours + "\n");

  Process p;
  errno = 0;
  EXPECT_EQ(p.spawn({"/bin/pwd"}, {}, "/nonexistent/folder"), 0);
  EXPECT_EQ(errno, ENOENT);
  EXPECT_EQ(p.pid(), -1);
  EXPECT_EQ(current_dir(), ours);
}

TEST(Process, StartFailuresAreReported) {
  struct Case {
    std::vector<std::string> argv;
    std::vector<std::string> env;
    int err;
  };
  const Case cases[] = {
      {{"/nonexistent/program"}, {}, ENOENT},
      {{"kx-no-such-program"}, {"PATH=/usr/bin:/bin"}, ENOENT},
      {{"/etc/passwd"}, {}, EACCES},  // exists, not executable
      {{"/tmp"}, {}, EACCES},           // a folder
      {{}, {}, ENOENT},
  };
  for (const Case& c : cases) {
    Process p;
    errno = 0;
    EXPECT_EQ(p.spawn(c.argv, c.env), 0) << (c.argv.empty() ? "(empty)" : c.argv[0]);
    EXPECT_EQ(errno, c.err) << (c.argv.empty() ? "(empty)" : c.argv[0]);
    EXPECT_EQ(p.pid(), -1);
    EXPECT_FALSE(p.running());
  }
}

TEST(Process, ChildSeesNoInheritedDescriptors) {
  // Descriptors opened the careless way, without close-on-exec.
  int plain = ::open("/dev/null", O_RDONLY);
  ASSERT_GE(plain, 0);
  int high = fcntl(plain, F_DUPFD, 100);
  ASSERT_GE(high, 100);

  RunResult r = run({"/bin/sh", "-c", "ls /proc/$$/fd"}, {"PATH=/usr/bin:/bin"}, "",
                    Process::kPipeStdin);
  ::close(plain);
  ::close(high);
  ASSERT_EQ(r.started, 1);
  EXPECT_EQ(r.code, 0);
  std::vector<std::string> fds;
  std::size_t start = 0;
  while (start < r.out.size()) {
    std::size_t end = r.out.find('\n', start);
    if (end == std::string::npos) end = r.out.size();
    fds.push_back(r.out.substr(start, end - start));
    start = end + 1;
  }
  EXPECT_EQ(fds, (std::vector<std::string>{"0", "1", "2"})) << r.out;
}

TEST(Process, NullStdioAndPipesLandOnTheRightDescriptors) {
  RunResult r = run({"/usr/bin/readlink", "/proc/self/fd/0", "/proc/self/fd/2"}, {}, "",
                    Process::kNullStdio);
  ASSERT_EQ(r.started, 1);
  EXPECT_EQ(r.out, "/dev/null\n/dev/null\n");

  r = run({"/usr/bin/readlink", "/proc/self/fd/0", "/proc/self/fd/1"}, {}, "",
          Process::kNullStdio | Process::kPipeStdin);
  ASSERT_EQ(r.started, 1);
  EXPECT_EQ(r.out.compare(0, 6, "pipe:["), 0) << r.out;
  EXPECT_NE(r.out.find("\npipe:["), std::string::npos) << r.out;
}

TEST(Process, ChildStartsWithDefaultSignalHandling) {
  struct sigaction ign {}, old_pipe {}, old_term {};
  ign.sa_handler = SIG_IGN;
  sigemptyset(&ign.sa_mask);
  ASSERT_EQ(sigaction(SIGPIPE, &ign, &old_pipe), 0);
  ASSERT_EQ(sigaction(SIGTERM, &ign, &old_term), 0);
  sigset_t block, old_mask;
  sigemptyset(&block);
  sigaddset(&block, SIGUSR1);
  ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &block, &old_mask), 0);

  RunResult r = run({"/usr/bin/grep", "-E", "^Sig(Blk|Ign):", "/proc/self/status"}, {});

  Process sleeper;
  int started = sleeper.spawn({"/usr/bin/sleep", "60"}, {});
  if (started == 1) sleeper.terminate();
  int code = -1;
  bool ended = started == 1 && sleeper.wait(kDeadlineMs, &code);

  pthread_sigmask(SIG_SETMASK, &old_mask, nullptr);
  sigaction(SIGTERM, &old_term, nullptr);
  sigaction(SIGPIPE, &old_pipe, nullptr);

  ASSERT_EQ(r.started, 1);
  EXPECT_EQ(r.out, "SigBlk:\t0000000000000000\nSigIgn:\t0000000000000000\n");
  ASSERT_EQ(started, 1);
  EXPECT_TRUE(ended);
  EXPECT_EQ(code, 128 + SIGTERM);
}

TEST(Process, ReportsExitCodesAndSignals) {
  struct Case {
    const char* script;
    int code;
  };
  const Case cases[] = {
      {"exit 0", 0},
      {"exit 3", 3},
      {"exit 255", 255},
      {"kill -KILL $$", 128 + SIGKILL},
      {"kill -TERM $$", 128 + SIGTERM},
  };
  for (const Case& c : cases) {
    Process p;
    ASSERT_EQ(p.spawn({"/bin/sh", "-c", c.script}, {"PATH=/usr/bin:/bin"}), 1);
    int code = -1;
    ASSERT_TRUE(p.wait(kDeadlineMs, &code)) << c.script;
    EXPECT_EQ(code, c.code) << c.script;
    EXPECT_FALSE(p.running());
    code = -1;
    EXPECT_TRUE(p.wait(0, &code));  // a reaped child keeps its result
    EXPECT_EQ(code, c.code);
  }
}

TEST(Process, WaitAndReadAreBounded) {
  Process p;
  ASSERT_EQ(p.spawn({"/usr/bin/sleep", "60"}, {}, "", Process::kCaptureStdout), 1);
  EXPECT_TRUE(p.running());
  int64_t t0 = mono_ms();
  EXPECT_FALSE(p.wait(30));
  char buf[16];
  EXPECT_EQ(p.read_output(buf, sizeof buf, 30), -2);
  EXPECT_LT(mono_ms() - t0, kDeadlineMs);
  EXPECT_TRUE(p.running());
  p.kill();
  int code = -1;
  ASSERT_TRUE(p.wait(kDeadlineMs, &code));
  EXPECT_EQ(code, 128 + SIGKILL);
  EXPECT_EQ(p.read_output(buf, sizeof buf, 1000), 0);  // its stdout closed with it
}

TEST(Process, StopEndsChildrenAndEscalatesToKill) {
  struct Case {
    const char* script;
    int64_t grace_ms;
    int code;
  };
  const Case cases[] = {
      {"echo ready; exec sleep 60", 10000, 128 + SIGTERM},
      // Ignores SIGTERM (inherited across exec), so only SIGKILL ends it.
      {"trap '' TERM; echo ready; exec sleep 60", 200, 128 + SIGKILL},
  };
  for (const Case& c : cases) {
    Process p;
    ASSERT_EQ(p.spawn({"/bin/sh", "-c", c.script}, {"PATH=/usr/bin:/bin"}, "",
                      Process::kCaptureStdout),
              1);
    char buf[16];
    ASSERT_EQ(p.read_output(buf, sizeof buf, kDeadlineMs), 6) << c.script;
    int64_t t0 = mono_ms();
    EXPECT_TRUE(p.stop(c.grace_ms)) << c.script;
    EXPECT_LT(mono_ms() - t0, kDeadlineMs + c.grace_ms);
    int code = -1;
    EXPECT_TRUE(p.wait(0, &code));
    EXPECT_EQ(code, c.code) << c.script;
    EXPECT_TRUE(p.stop(0));  // stopping an ended child is harmless
  }
}

bool reaped(int pid) {
  errno = 0;
  return waitpid(pid, nullptr, WNOHANG) == -1 && errno == ECHILD;
}

TEST(Process, DestructorAndMoveLeaveNoZombies) {
  int pid = -1;
  {
    Process p;
    ASSERT_EQ(p.spawn({"/usr/bin/sleep", "60"}, {}), 1);
    pid = p.pid();
    ASSERT_GT(pid, 0);
  }
  EXPECT_TRUE(reaped(pid));

  // Moving hands over the child; assigning over a live one ends the old child.
  Process a;
  ASSERT_EQ(a.spawn({"/usr/bin/sleep", "60"}, {}), 1);
  int first = a.pid();
  Process b(std::move(a));
  EXPECT_EQ(a.pid(), -1);
  EXPECT_EQ(b.pid(), first);
  EXPECT_TRUE(b.running());
  errno = 0;
  EXPECT_EQ(b.spawn({"/usr/bin/sleep", "60"}, {}), 0);  // still holds a live child
  EXPECT_EQ(errno, EBUSY);

  Process c;
  ASSERT_EQ(c.spawn({"/usr/bin/sleep", "60"}, {}), 1);
  int second = c.pid();
  b = std::move(c);
  EXPECT_TRUE(reaped(first));
  EXPECT_EQ(b.pid(), second);
  EXPECT_TRUE(b.running());
  b = Process();
  EXPECT_TRUE(reaped(second));
}

TEST(Process, StdinRoundTripThroughCat) {
  Process p;
  ASSERT_EQ(p.spawn({"/bin/cat"}, {}, "", Process::kPipeStdin | Process::kCaptureStdout), 1);
  std::string sent;
  for (int i = 0; i < 500; ++i) sent += "line " + std::to_string(i) + "\n";  // well under a pipe
  ASSERT_TRUE(p.write_input(sent.data(), sent.size()));
  p.close_input();
  std::string got;
  EXPECT_TRUE(read_all(p, got));
  EXPECT_EQ(got, sent);
  int code = -1;
  ASSERT_TRUE(p.wait(kDeadlineMs, &code));
  EXPECT_EQ(code, 0);
}

TEST(Process, WritingToAChildThatStoppedReadingFailsQuietly) {
  Process p;
  ASSERT_EQ(p.spawn({"/usr/bin/true"}, {}, "", Process::kPipeStdin), 1);
  ASSERT_TRUE(p.wait(kDeadlineMs));
  // SIGPIPE keeps its default here: the write must fail instead of ending the test.
  const char data[] = "nobody reads this";
  EXPECT_FALSE(p.write_input(data, sizeof data));
  sigset_t pending;
  sigpending(&pending);
  EXPECT_EQ(sigismember(&pending, SIGPIPE), 0);
}

}  // namespace
}  // namespace kx
