// The wait API: every wait ends at its deadline or at once when its stop token is set,
// and whole sends give up on a player that takes nothing.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <thread>
#include <vector>

#include "core/os/sync.h"
#include "core/os/time.h"
#include "net/wait.h"
#include "support/harness.h"

namespace {

using kx::Deadline;
using kx::Sent;
using kx::StopToken;
using kx::Wait;

// Every pair below is checked where it is made.
using Pair = kxt::SocketPair;

TEST(StopTokenTest, AnyFlagStops) {
  std::atomic<int> a{0}, b{0};
  kx::Stop s;
  StopToken t;
  t.on(a).on(b).on(s);
  EXPECT_FALSE(t.stopped());
  b.store(1);
  EXPECT_TRUE(t.stopped());
  b.store(0);
  s.set();
  EXPECT_TRUE(t.stopped());
  EXPECT_FALSE(StopToken().stopped()) << "an empty token never stops";
}

// A state check that another thread flips ends sleeps and socket waits within a step;
// while it holds false, each wait runs to its deadline.
TEST(StopTokenTest, StateCheckEndsWaits) {
  struct Case {
    const char* what;
    bool socket;
  };
  for (const Case& c : {Case{"sleep_for", false}, Case{"wait_readable", true}}) {
    SCOPED_TRACE(c.what);
    std::atomic<int> state{1};  // "running"; anything else means stopping
    StopToken t;
    t.when([](const void* s) { return static_cast<const std::atomic<int>*>(s)->load() != 1; }, &state);
    Pair p;
    ASSERT_TRUE(p.ok());
    auto wait = [&](int64_t ms) {
      if (!c.socket) return kx::sleep_for(ms, t) ? Wait::kTimeout : Wait::kStopped;
      return kx::wait_readable(p.fd[0], t, Deadline::after(ms));
    };
    EXPECT_FALSE(t.stopped());
    int64_t t0 = kx::mono_ms();
    EXPECT_EQ(wait(150), Wait::kTimeout);
    EXPECT_GE(kx::mono_ms() - t0, 150) << "the deadline is kept while the check says no";
    std::thread flipper([&] {
      kx::sleep_ms(100);
      state.store(2);
    });
    t0 = kx::mono_ms();
    EXPECT_EQ(wait(60000), Wait::kStopped);
    flipper.join();
    EXPECT_LT(kx::mono_ms() - t0, 5000);
    EXPECT_TRUE(t.stopped());
    EXPECT_EQ(wait(60000), Wait::kStopped) << "a check already true does not wait";
  }
}

TEST(StopTokenTest, ChecksAndFlagsTogether) {
  std::atomic<int> flag{0};
  bool a = false, b = false;
  auto is_true = [](const void* v) { return *static_cast<const bool*>(v); };
  StopToken t;
  t.on(flag).when(is_true, &a).when(is_true, &b);
  EXPECT_FALSE(t.stopped());
  b = true;
  EXPECT_TRUE(t.stopped()) << "any check stops";
  b = false;
  flag.store(1);
  EXPECT_TRUE(t.stopped());
}

TEST(SleepFor, TheFirstStopWakesItAtOnce) {
  kx::Stop s;
  StopToken t;
  t.on(s);
  std::thread setter([&] {
    kx::sleep_ms(100);
    s.set();
  });
  const int64_t t0 = kx::mono_ms();
  EXPECT_FALSE(kx::sleep_for(60000, t));
  setter.join();
  EXPECT_LT(kx::mono_ms() - t0, 5000);
}

TEST(WaitReadable, ADescriptorNotOpenIsAnError) {
  StopToken t;
  for (int fd : {-1, 1 << 20}) {
    const int64_t t0 = kx::mono_ms();
    EXPECT_EQ(kx::wait_readable(fd, t, Deadline::after(5000)), Wait::kError) << fd;
    EXPECT_LT(kx::mono_ms() - t0, 4000) << fd;
  }
}

TEST(WaitReadable, ReadyTimeoutAndStop) {
  Pair p;
  ASSERT_TRUE(p.ok());
  std::atomic<int> stop{0};
  StopToken t;
  t.on(stop);
  EXPECT_EQ(kx::wait_readable(p.fd[0], t, Deadline::after(50)), Wait::kTimeout);
  ASSERT_EQ(::write(p.fd[1], "x", 1), 1);
  EXPECT_EQ(kx::wait_readable(p.fd[0], t, Deadline::after(5000)), Wait::kReady);
  char c;
  ASSERT_EQ(::read(p.fd[0], &c, 1), 1);
  // A stop set by another thread ends a wait with no deadline within a step.
  std::thread setter([&] {
    kx::sleep_ms(100);
    stop.store(1);
  });
  const int64_t t0 = kx::mono_ms();
  EXPECT_EQ(kx::wait_readable(p.fd[0], t, Deadline::never()), Wait::kStopped);
  setter.join();
  EXPECT_LT(kx::mono_ms() - t0, 5000);
  // The peer's end is readable: the reader learns it from its read.
  stop.store(0);
  ::close(p.fd[1]);
  p.fd[1] = -1;
  EXPECT_EQ(kx::wait_readable(p.fd[0], t, Deadline::after(5000)), Wait::kReady);
}

TEST(SendAll, WholeSendsAndTheirEnds) {
  Pair p;
  ASSERT_TRUE(p.ok());
  std::atomic<int> stop{0};
  StopToken t;
  t.on(stop);
  int err = -1;
  std::size_t sent = 0;
  const std::vector<char> small(1000, 'a');
  EXPECT_EQ(kx::send_all(p.fd[0], small.data(), small.size(), t, 1000, err, &sent), Sent::kDone);
  EXPECT_EQ(sent, small.size());
  EXPECT_EQ(err, 0);

  // Nobody reads: the socket fills, and the send gives up after the idle time.
  const std::vector<char> big(8 << 20, 'b');
  const int64_t t0 = kx::mono_ms();
  EXPECT_EQ(kx::send_all(p.fd[0], big.data(), big.size(), t, 300, err, &sent), Sent::kFailed);
  EXPECT_EQ(err, 0);
  EXPECT_GT(sent, 0u);
  EXPECT_LT(sent, big.size());
  EXPECT_GE(kx::mono_ms() - t0, 300);

  // A stop ends a blocked send.
  std::thread setter([&] {
    kx::sleep_ms(100);
    stop.store(1);
  });
  EXPECT_EQ(kx::send_all(p.fd[0], big.data(), big.size(), t, 60000, err, &sent), Sent::kStopped);
  setter.join();

  // A closed peer is an error, never a signal.
  stop.store(0);
  ::close(p.fd[1]);
  p.fd[1] = -1;
  EXPECT_EQ(kx::send_all(p.fd[0], small.data(), small.size(), t, 1000, err, &sent), Sent::kFailed);
  EXPECT_EQ(err, EPIPE);
}

// Pieces go out as one stream, in order, whatever the kernel takes per call: more pieces
// than one call carries, empty ones, and a small socket buffer drained slowly so sends
// stop part-way through a piece.
TEST(SendAll, PiecesArriveInOrderThroughPartialSends) {
  Pair p;
  ASSERT_TRUE(p.ok());
  int small_buf = 4096;
  ASSERT_EQ(::setsockopt(p.fd[0], SOL_SOCKET, SO_SNDBUF, &small_buf, sizeof small_buf), 0);
  std::vector<std::vector<char>> bufs;
  std::vector<kx::SendPiece> pieces;
  std::vector<char> expect;
  for (int i = 0; i < 3 * kx::kMaxPieces; ++i) {
    const std::size_t len = i % 7 == 3 ? 0 : 1 + static_cast<std::size_t>(i * 131) % 3000;
    std::vector<char> b(len);
    for (std::size_t k = 0; k < len; ++k) b[k] = static_cast<char>(i * 7 + k);
    expect.insert(expect.end(), b.begin(), b.end());
    bufs.push_back(std::move(b));
  }
  for (const auto& b : bufs) pieces.push_back({b.data(), b.size()});
  std::vector<char> got;
  std::thread reader([&] {
    char chunk[1000];
    const int64_t end = kx::mono_ms() + 20000;
    while (got.size() < expect.size() && kx::mono_ms() < end) {
      const ssize_t n = ::recv(p.fd[1], chunk, sizeof chunk, 0);
      if (n <= 0) break;
      got.insert(got.end(), chunk, chunk + n);
    }
  });
  StopToken t;
  int err = -1;
  std::size_t sent = 0;
  EXPECT_EQ(kx::send_all(p.fd[0], pieces.data(), static_cast<int>(pieces.size()), t, 10000, err, &sent), Sent::kDone);
  reader.join();
  EXPECT_EQ(sent, expect.size());
  EXPECT_TRUE(got == expect) << "got " << got.size() << " of " << expect.size() << " bytes";
}

// A send without waiting takes what fits, 0 once the socket is full, and reports a
// closed peer as an error.
TEST(SendAll, SendNowTakesWhatFitsAndNeverWaits) {
  Pair p;
  ASSERT_TRUE(p.ok());
  const std::vector<char> big(1 << 20, 'c');
  const kx::SendPiece pieces[2] = {{big.data(), big.size()}, {big.data(), big.size()}};
  int err = -1;
  const long first = kx::send_now(p.fd[0], pieces, 2, err);
  EXPECT_GT(first, 0);
  EXPECT_LT(first, static_cast<long>(2 * big.size()));
  const int64_t t0 = kx::mono_ms();
  EXPECT_EQ(kx::send_now(p.fd[0], pieces, 2, err), 0);
  EXPECT_LT(kx::mono_ms() - t0, 1000);
  ::close(p.fd[1]);
  p.fd[1] = -1;
  EXPECT_EQ(kx::send_now(p.fd[0], pieces, 2, err), -1);
  EXPECT_EQ(err, EPIPE);
}

TEST(SleepFor, RunsOutOrStops) {
  std::atomic<int> stop{0};
  StopToken t;
  t.on(stop);
  const int64_t t0 = kx::mono_ms();
  EXPECT_TRUE(kx::sleep_for(120, t));
  EXPECT_GE(kx::mono_ms() - t0, 120);
  stop.store(1);
  EXPECT_FALSE(kx::sleep_for(60000, t)) << "a stopped token does not sleep";
}

}  // namespace
