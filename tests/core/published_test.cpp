// The published-value holder: readers see whole values while a writer replaces them.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "core/published.h"

namespace {

struct Pair {
  int a = 0;
  int b = 0;  // always equal to a in a published value
};

TEST(Published, StartsWithADefaultAndNeverHandsOutEmpty) {
  kx::Published<Pair> p;
  ASSERT_NE(p.get(), nullptr);
  EXPECT_EQ(p.get()->a, 0);
  p.publish(nullptr);
  ASSERT_NE(p.get(), nullptr);
  kx::Published<Pair> q(std::make_shared<const Pair>(Pair{7, 7}));
  EXPECT_EQ(q.get()->b, 7);
}

TEST(Published, ReaderKeepsItsSnapshotAfterAReplacement) {
  kx::Published<Pair> p(std::make_shared<const Pair>(Pair{1, 1}));
  const auto held = p.get();
  p.publish(std::make_shared<const Pair>(Pair{2, 2}));
  EXPECT_EQ(held->a, 1);
  EXPECT_EQ(p.get()->a, 2);
  EXPECT_EQ(held.use_count(), 1);  // the holder let go of it; only this reader keeps it
}

// A value whose destruction reads the holder: it would deadlock if the replaced value
// were released under the holder's lock.
struct ReadsOnRelease {
  kx::Published<ReadsOnRelease>* home = nullptr;
  std::atomic<int>* seen = nullptr;
  ~ReadsOnRelease() {
    if (home && home->get()) seen->fetch_add(1);
  }
};

TEST(Published, ReplacedValueIsReleasedOutsideTheLock) {
  std::atomic<int> seen{0};
  kx::Published<ReadsOnRelease> p;
  auto first = std::make_shared<ReadsOnRelease>();
  first->home = &p;
  first->seen = &seen;
  p.publish(std::move(first));
  p.publish(nullptr);
  EXPECT_EQ(seen.load(), 1);
}

TEST(Published, ConcurrentReadersAlwaysSeeWholeValues) {
  kx::Published<Pair> p;
  std::atomic<bool> done{false};
  std::atomic<int> torn{0}, reads{0};
  std::vector<std::thread> readers;
  for (int r = 0; r < 3; ++r) {
    readers.emplace_back([&] {
      int last = 0;
      do {  // at least one read, however late the thread starts
        const auto v = p.get();
        if (v->a != v->b || v->a < last) torn.fetch_add(1);  // whole, and never older
        last = v->a;
        reads.fetch_add(1);
      } while (!done.load());
    });
  }
  for (int i = 1; i <= 20000; ++i) p.publish(std::make_shared<const Pair>(Pair{i, i}));
  done.store(true);
  for (auto& t : readers) t.join();
  EXPECT_EQ(torn.load(), 0);
  EXPECT_GT(reads.load(), 0);
  EXPECT_EQ(p.get()->a, 20000);
}

}  // namespace
