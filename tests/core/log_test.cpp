#include "core/log.h"

#include <gtest/gtest.h>

#include <ftw.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cstdint>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "core/os/file.h"
#include "support/harness.h"
#include "core/os/time.h"

namespace kx {
namespace {

constexpr int64_t kDeadlineMs = 10000;

// The shared test helpers: a temporary folder, whole-file reads and writes, listings.
using kxt::names_in;
using kxt::slurp;
using kxt::spit;
using kxt::TempDir;

const char* file_of(Sink s) { return s == Sink::System ? "system.log" : "admin_system.log"; }
const char* backup_of(Sink s) { return s == Sink::System ? "system_backup.log" : "admin_system_backup.log"; }
const char* name_of(Sink s) { return s == Sink::System ? "system log" : "admin system log"; }

// Both sinks write into a private folder, one line per message, until the test ends.
class LogTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(tmp_.path().empty());
    dir_ = tmp_ / "log";
    log_set_mode(Sink::System, 1);
    log_set_mode(Sink::Admin, 1);
  }
  void TearDown() override {
    close_logs();
    log_set_mode(Sink::System, 1000);
    log_set_mode(Sink::Admin, 1000);
  }
  std::string path(const std::string& name) const { return dir_ + "/" + name; }
  std::string contents(Sink s) const { return slurp(path(file_of(s))); }

  TempDir tmp_;
  std::string dir_;
};

using LogLine = LogTest;
using LogMode = LogTest;
using LogRotation = LogTest;
using LogThreads = LogTest;
using LogCounter = LogTest;

TEST_F(LogLine, PrefixAndText) {
  const std::string long_text(6000, 'x');
  struct Row {
    int64_t counter;
    std::string text;
    std::string line;
  };
  const std::vector<Row> rows = {
      {42, "text\n", "[0000000042]: text\n"},
      {1, "windows line\r\n", "[0000000001]: windows line\r\n"},
      {7, "", "[0000000007]: "},
      {9999999999, "ten digits\n", "[9999999999]: ten digits\n"},
      {12345678901, "eleven\n", "[12345678901]: eleven\n"},
      {3, "100% sure\n", "[0000000003]: 100% sure\n"},
      {5, long_text, "[0000000005]: " + long_text.substr(0, 5119)},  // the text is cut at 5119
  };
  open_logs(dir_);
  for (Sink sink : {Sink::System, Sink::Admin}) {
    SCOPED_TRACE(name_of(sink));
    std::size_t seen = contents(sink).size();
    for (const auto& r : rows) {
      log_set_counter(sink, r.counter);
      log_to(sink, "%s", r.text.c_str());
      EXPECT_EQ(log_counter(sink), r.counter + 1);
      std::string all = contents(sink);
      ASSERT_GE(all.size(), seen);
      EXPECT_EQ(all.substr(seen), r.line);
      seen = all.size();
    }
  }
}

TEST_F(LogLine, FormattingAndMessagesWithoutLineEnd) {
  open_logs(dir_);
  log_set_counter(Sink::System, 10);
  log_sys("a");  // the next prefix follows on the same line
  log_sys("%d-%s-%05.1f\n", -3, "b", 2.5);
  log_to(Sink::System, "c%c\n", '!');
  EXPECT_EQ(contents(Sink::System), "[0000000010]: a[0000000011]: -3-b-002.5\n[0000000012]: c!\n");
  EXPECT_EQ(contents(Sink::Admin), "");
}

TEST_F(LogLine, SinksKeepTheirOwnFilesAndCounters) {
  open_logs(dir_);
  log_set_counter(Sink::System, 100);
  log_set_counter(Sink::Admin, 200);
  log_admin("[get_config]\n");
  log_sys("system\n");
  log_to(Sink::Admin, "admin\n");
  EXPECT_EQ(contents(Sink::System), "[0000000100]: system\n");
  EXPECT_EQ(contents(Sink::Admin), "[0000000200]: [get_config]\n[0000000201]: admin\n");
  EXPECT_EQ(log_counter(Sink::System), 101);
  EXPECT_EQ(log_counter(Sink::Admin), 202);
}

// The file is a ring of mode-1 messages: the write position returns to the start, nothing
// is truncated, and the tail of older, longer lines stays after the last line written.
TEST_F(LogMode, FileBytesOfEachMode) {
  struct Row {
    int mode;
    std::string file;
  };
  const std::vector<Row> rows = {
      {1, "[0000000001]: alpha-long\n[0000000002]: beta\n[0000000003]: c\n[0000000004]: d\n"},
      // 3: after the 2nd message back to the start; the 3rd overwrites the 1st.
      {3, "[0000000003]: c\n[0000000004]: d\n0002]: beta\n"},
      // 2: every message at the start of the file.
      {2, "[0000000004]: d\nta\n-long\n"},
      {0, ""},
      {-1, ""},
  };
  for (Sink sink : {Sink::System, Sink::Admin}) {
    for (const auto& r : rows) {
      SCOPED_TRACE(std::string(name_of(sink)) + ", mode " + std::to_string(r.mode));
      TempDir dir;
      open_logs(dir / "log");
      log_set_mode(sink, r.mode);
      log_set_counter(sink, 1);
      for (const char* text : {"alpha-long\n", "beta\n", "c\n", "d\n"}) log_to(sink, "%s", text);
      EXPECT_EQ(slurp(dir / (std::string("log/") + file_of(sink))), r.file);
      EXPECT_EQ(log_counter(sink), 5);  // numbered in every mode, also when nothing is written
      close_logs();
      log_set_mode(sink, 1);
    }
  }
}

TEST_F(LogMode, RingKeepsTurningAndModeOneGrows) {
  open_logs(dir_);
  log_set_mode(Sink::System, 4);  // three lines, all the same length
  log_set_counter(Sink::System, 1);
  for (int i = 1; i <= 10; ++i) log_sys("line %02d\n", i);
  // Lines 10, 8, 9: the ring restarted at 1, 4, 7 and 10.
  EXPECT_EQ(contents(Sink::System),
            "[0000000010]: line 10\n[0000000008]: line 08\n[0000000009]: line 09\n");

  log_set_mode(Sink::Admin, 1);
  log_set_counter(Sink::Admin, 1);
  std::string want;
  for (int i = 1; i <= 1000; ++i) {
    log_admin("row %d\n", i);
    char line[64];
    std::snprintf(line, sizeof line, "[%010d]: row %d\n", i, i);
    want += line;
  }
  EXPECT_EQ(contents(Sink::Admin), want);
}

TEST_F(LogMode, ModeZeroStillCounts) {
  open_logs(dir_);
  log_set_counter(Sink::System, 50);
  log_set_mode(Sink::System, 0);
  for (int i = 0; i < 5; ++i) log_sys("hidden %d\n", i);
  EXPECT_EQ(contents(Sink::System), "");
  EXPECT_EQ(log_counter(Sink::System), 55);
  log_set_mode(Sink::System, 1);
  log_sys("shown\n");
  EXPECT_EQ(contents(Sink::System), "[0000000055]: shown\n");
}

TEST_F(LogRotation, OneBackupThePreviousLog) {
  struct Row {
    const char* what;
    bool log, backup;
  };
  const Row rows[] = {
      {"log and backup", true, true},
      {"log only", true, false},
      {"backup only", false, true},
      {"nothing", false, false},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    TempDir dir;
    std::string d = dir / "log";
    ASSERT_TRUE(make_dir(d));
    std::vector<std::string> want_names;
    for (Sink s : {Sink::System, Sink::Admin}) {
      if (r.log) {
        ASSERT_TRUE(spit(d + "/" + file_of(s), std::string("previous ") + file_of(s) + "\n"));
      }
      if (r.backup) {
        ASSERT_TRUE(spit(d + "/" + backup_of(s), "older backup\n"));
      }
      want_names.push_back(file_of(s));
      if (r.log || r.backup) want_names.push_back(backup_of(s));
    }
    std::sort(want_names.begin(), want_names.end());
    open_logs(d);
    EXPECT_EQ(names_in(d), want_names);
    for (Sink s : {Sink::System, Sink::Admin}) {
      SCOPED_TRACE(name_of(s));
      EXPECT_EQ(slurp(d + "/" + file_of(s)), "");
      if (r.log) {
        EXPECT_EQ(slurp(d + "/" + backup_of(s)), std::string("previous ") + file_of(s) + "\n");
      } else if (r.backup) {
        EXPECT_EQ(slurp(d + "/" + backup_of(s)), "older backup\n");
      }
      log_set_counter(s, 1);
      log_to(s, "fresh\n");
      EXPECT_EQ(slurp(d + "/" + file_of(s)), "[0000000001]: fresh\n");
    }
    close_logs();
  }
}

TEST_F(LogRotation, RestartMovesTheSessionToTheBackup) {
  open_logs(dir_);
  log_set_counter(Sink::System, 1);
  log_set_counter(Sink::Admin, 1);
  log_sys("first session\n");
  log_admin("first admin\n");
  close_logs();
  // The system log ends with its closing line; the admin's closing line finds no file.
  std::string sys = contents(Sink::System);
  EXPECT_EQ(sys.rfind("[0000000001]: first session\n[0000000002]: Close System Log at ", 0), 0u) << sys;
  EXPECT_EQ(sys.back(), '\n');
  EXPECT_EQ(sys.find("Admin"), std::string::npos);
  EXPECT_EQ(contents(Sink::Admin), "[0000000001]: first admin\n");
  EXPECT_EQ(log_counter(Sink::System), 4);  // the admin closing line was numbered too

  log_sys("while closed\n");  // reaches no file
  open_logs(dir_);
  EXPECT_EQ(slurp(path("system_backup.log")), sys);
  EXPECT_EQ(slurp(path("admin_system_backup.log")), "[0000000001]: first admin\n");
  log_sys("second session\n");
  EXPECT_EQ(contents(Sink::System), "[0000000005]: second session\n");  // numbers keep rising

  log_start_time();
  const std::string& start = log_start_text();
  int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
  EXPECT_EQ(std::sscanf(start.c_str(), "%d/%d/%d %d:%d:%d", &y, &mo, &d, &h, &mi, &s), 6) << start;
  EXPECT_EQ(start.back(), '\n');
  char plain[64];  // the same numbers without leading zeros
  std::snprintf(plain, sizeof plain, "%d/%d/%d %d:%d:%d\n", y, mo, d, h, mi, s);
  EXPECT_EQ(start, plain);
  EXPECT_NE(contents(Sink::System).find("]: Kestrix Starts at " + start + "\n"), std::string::npos);
}

// When the admin log cannot be moved aside, it is opened without truncation and new
// messages follow what it held.
TEST_F(LogRotation, AdminLogKeptWhenItCannotBeMoved) {
  ASSERT_TRUE(make_dir(dir_));
  ASSERT_TRUE(make_dir(path("admin_system_backup.log")));
  ASSERT_TRUE(spit(path("admin_system_backup.log/occupied"), "x"));
  ASSERT_TRUE(spit(path("admin_system.log"), "kept line\n"));
  open_logs(dir_);
  log_set_counter(Sink::Admin, 1);
  log_admin("appended\n");
  EXPECT_EQ(contents(Sink::Admin), "kept line\n[0000000001]: appended\n");
  EXPECT_NE(contents(Sink::System).find("]: rename " + path("admin_system.log") + " to " +
                                        path("admin_system_backup.log") + " error\n"),
            std::string::npos)
      << contents(Sink::System);
}

// Lines logged while a LogLater lives (nested ones included, both sinks) stay out of the
// files until the outermost ends, then go in, in order and numbered as written; another
// thread's lines meanwhile are written at once.
TEST_F(LogThreads, LogLaterHoldsThisThreadsLinesUntilItEnds) {
  open_logs(dir_);
  log_set_counter(Sink::System, 1);
  {
    LogLater outer;
    log_sys("held one\n");
    {
      LogLater inner;
      log_to(Sink::Admin, "held admin\n");
      log_sys("held two\n");
    }
    std::thread other([] { log_sys("other thread\n"); });
    other.join();
    EXPECT_EQ(contents(Sink::System), "[0000000001]: other thread\n");
    EXPECT_EQ(contents(Sink::Admin).find("held admin"), std::string::npos);
  }
  EXPECT_EQ(contents(Sink::System),
            "[0000000001]: other thread\n[0000000002]: held one\n[0000000003]: held two\n");
  EXPECT_NE(contents(Sink::Admin).find("]: held admin\n"), std::string::npos);
  log_sys("after\n");
  EXPECT_NE(contents(Sink::System).find("[0000000004]: after\n"), std::string::npos);
}

TEST_F(LogThreads, PrefixAndTextNeverInterleave) {
  constexpr int kLines = 2000;
  open_logs(dir_);
  log_set_counter(Sink::System, 1);
  std::atomic<int> ready{0};
  auto writer = [&](char id) {
    ready.fetch_add(1);
    // Start together so the two really contend; bounded wait.
    for (int64_t end = mono_ms() + kDeadlineMs; ready.load() < 2 && mono_ms() < end;) std::this_thread::yield();
    for (int i = 0; i < kLines; ++i) {
      if (id == 'A')
        log_sys("T%c %04d payload\n", id, i);
      else
        log_to(Sink::System, "T%c %04d payload\n", id, i);
    }
  };
  std::thread a(writer, 'A'), b(writer, 'B');
  a.join();
  b.join();
  EXPECT_EQ(log_counter(Sink::System), 2 * kLines + 1);

  std::string all = contents(Sink::System);
  int next[2] = {0, 0};
  int64_t expect_counter = 1;
  std::size_t pos = 0, lines = 0;
  while (pos < all.size() && lines < 2 * kLines + 1) {
    std::size_t nl = all.find('\n', pos);
    ASSERT_NE(nl, std::string::npos) << "unterminated tail at " << pos;
    std::string line = all.substr(pos, nl - pos);
    pos = nl + 1;
    ++lines;
    // "[%010lld]: T<id> <nnnn> payload"
    ASSERT_EQ(line.size(), 29u) << line;
    ASSERT_EQ(line.substr(0, 1), "[");
    ASSERT_TRUE(std::all_of(line.begin() + 1, line.begin() + 11, [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) << line;
    ASSERT_EQ(line.substr(11, 4), "]: T") << line;
    ASSERT_TRUE(line[15] == 'A' || line[15] == 'B') << line;
    ASSERT_EQ(line.substr(21), " payload") << line;
    EXPECT_EQ(std::stoll(line.substr(1, 10)), expect_counter++) << line;
    int who = line[15] - 'A';
    EXPECT_EQ(std::stoi(line.substr(17, 4)), next[who]++) << line;
  }
  EXPECT_EQ(lines, static_cast<std::size_t>(2 * kLines));
  EXPECT_EQ(next[0], kLines);
  EXPECT_EQ(next[1], kLines);
}

TEST_F(LogCounter, WrapsFromTheLargestNumberToOne) {
  open_logs(dir_);
  log_set_counter(Sink::Admin, INT64_MAX);
  log_admin("last\n");
  EXPECT_EQ(log_counter(Sink::Admin), 1);
  log_admin("first\n");
  EXPECT_EQ(contents(Sink::Admin), "[9223372036854775807]: last\n[0000000001]: first\n");

  // The same when nothing is written.
  log_set_mode(Sink::System, 0);
  log_set_counter(Sink::System, INT64_MAX - 1);
  log_sys("a\n");
  log_sys("b\n");
  EXPECT_EQ(log_counter(Sink::System), 1);
}

}  // namespace
}  // namespace kx
