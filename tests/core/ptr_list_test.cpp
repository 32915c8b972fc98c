#include "core/os/ptr_list.h"

#include <gtest/gtest.h>

#include <climits>
#include <utility>
#include <vector>

namespace kx {
namespace {

// Values stored in the lists are addresses of these slots; slot i stands for "i".
int g_slots[16];
void* v(int i) { return &g_slots[i]; }
int id(void* p) { return static_cast<int>(static_cast<int*>(p) - g_slots); }

// Contents head to tail; also checks the back links, the ends and the count agree.
std::vector<int> contents(const PtrList& list) {
  std::vector<int> fwd;
  PtrPos last = nullptr;
  for (PtrPos p = list.head(); p != nullptr && fwd.size() < 64; p = p->next) {
    EXPECT_EQ(p->prev, last);
    fwd.push_back(id(p->value));
    last = p;
  }
  EXPECT_EQ(list.tail(), last);
  EXPECT_EQ(list.count(), static_cast<int>(fwd.size()));
  std::vector<int> back;
  PtrPos p = list.tail();
  while (p != nullptr && back.size() < 64) back.insert(back.begin(), id(PtrList::get_prev(p)));
  EXPECT_EQ(fwd, back);
  return fwd;
}

PtrList make(const std::vector<int>& ids) {
  PtrList list;
  for (int i : ids) EXPECT_NE(list.add_tail(v(i)), nullptr);
  return list;
}

struct BuildCase {
  const char* name;
  enum Kind { kHead, kTail, kBefore, kAfter };
  struct Op {
    Kind kind;
    int anchor;  // value whose node is the position; -1 for a null position
    int value;
  };
  std::vector<Op> ops;
  std::vector<int> expected;
};

TEST(PtrList, OrderingAfterMixedAddsAndInserts) {
  using C = BuildCase;
  const std::vector<BuildCase> cases = {
      {"tails", {{C::kTail, -1, 1}, {C::kTail, -1, 2}, {C::kTail, -1, 3}}, {1, 2, 3}},
      {"heads", {{C::kHead, -1, 1}, {C::kHead, -1, 2}, {C::kHead, -1, 3}}, {3, 2, 1}},
      {"mixed ends", {{C::kTail, -1, 2}, {C::kHead, -1, 1}, {C::kTail, -1, 3}, {C::kHead, -1, 0}},
       {0, 1, 2, 3}},
      {"before head", {{C::kTail, -1, 2}, {C::kBefore, 2, 1}}, {1, 2}},
      {"after tail", {{C::kTail, -1, 1}, {C::kAfter, 1, 2}}, {1, 2}},
      {"before middle", {{C::kTail, -1, 1}, {C::kTail, -1, 3}, {C::kBefore, 3, 2}}, {1, 2, 3}},
      {"after middle", {{C::kTail, -1, 1}, {C::kTail, -1, 3}, {C::kAfter, 1, 2}}, {1, 2, 3}},
      {"null before is head", {{C::kTail, -1, 1}, {C::kBefore, -1, 0}}, {0, 1}},
      {"null after is tail", {{C::kTail, -1, 1}, {C::kAfter, -1, 2}}, {1, 2}},
      {"inserts into empty", {{C::kBefore, -1, 5}, {C::kAfter, -1, 6}}, {5, 6}},
      {"chain of inserts",
       {{C::kTail, -1, 0}, {C::kTail, -1, 9}, {C::kAfter, 0, 1}, {C::kBefore, 9, 8},
        {C::kAfter, 1, 2}, {C::kBefore, 8, 7}, {C::kAfter, 9, 10}, {C::kBefore, 0, 11}},
       {11, 0, 1, 2, 7, 8, 9, 10}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PtrList list;
    for (const auto& op : c.ops) {
      PtrPos anchor = op.anchor < 0 ? nullptr : list.find(v(op.anchor));
      if (op.anchor >= 0) {
        ASSERT_NE(anchor, nullptr);
      }
      PtrPos got = nullptr;
      switch (op.kind) {
        case C::kHead: got = list.add_head(v(op.value)); break;
        case C::kTail: got = list.add_tail(v(op.value)); break;
        case C::kBefore: got = list.insert_before(anchor, v(op.value)); break;
        case C::kAfter: got = list.insert_after(anchor, v(op.value)); break;
      }
      ASSERT_NE(got, nullptr);
      EXPECT_EQ(got->value, v(op.value));  // the returned position is the new node
    }
    EXPECT_EQ(contents(list), c.expected);
  }
}

TEST(PtrList, RemovalAtEveryPlace) {
  enum Kind { kHead, kTail, kAt, kValue };
  struct Case {
    const char* name;
    std::vector<int> start;
    Kind kind;
    int arg;  // index for kAt, value for kValue
    int removed;
    std::vector<int> rest;
  };
  const std::vector<Case> cases = {
      {"head", {0, 1, 2, 3}, kHead, 0, 0, {1, 2, 3}},
      {"tail", {0, 1, 2, 3}, kTail, 0, 3, {0, 1, 2}},
      {"at head", {0, 1, 2, 3}, kAt, 0, 0, {1, 2, 3}},
      {"at middle", {0, 1, 2, 3}, kAt, 2, 2, {0, 1, 3}},
      {"at tail", {0, 1, 2, 3}, kAt, 3, 3, {0, 1, 2}},
      {"value middle", {0, 1, 2, 3}, kValue, 1, 1, {0, 2, 3}},
      {"value first of duplicates", {4, 1, 4, 2, 4}, kValue, 4, 4, {1, 4, 2, 4}},
      {"only node by head", {7}, kHead, 0, 7, {}},
      {"only node by tail", {7}, kTail, 0, 7, {}},
      {"only node by position", {7}, kAt, 0, 7, {}},
      {"only node by value", {7}, kValue, 7, 7, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    PtrList list = make(c.start);
    switch (c.kind) {
      case kHead: EXPECT_EQ(list.remove_head(), v(c.removed)); break;
      case kTail: EXPECT_EQ(list.remove_tail(), v(c.removed)); break;
      case kAt: {
        PtrPos pos = list.at(c.arg);
        ASSERT_NE(pos, nullptr);
        EXPECT_EQ(list.remove_at(pos), v(c.removed));
        EXPECT_EQ(pos, nullptr);
        break;
      }
      case kValue: EXPECT_TRUE(list.remove(v(c.arg))); break;
    }
    EXPECT_EQ(contents(list), c.rest);
    if (c.rest.empty()) {
      EXPECT_EQ(list.head(), nullptr);
      EXPECT_EQ(list.tail(), nullptr);
    }
  }
}

TEST(PtrList, RemovalOfWhatIsNotThere) {
  PtrList empty;
  EXPECT_EQ(empty.remove_head(), nullptr);
  EXPECT_EQ(empty.remove_tail(), nullptr);
  EXPECT_FALSE(empty.remove(v(1)));
  PtrPos none = nullptr;
  EXPECT_EQ(empty.remove_at(none), nullptr);
  EXPECT_EQ(contents(empty), std::vector<int>{});

  PtrList list = make({0, 1, 2});
  EXPECT_FALSE(list.remove(v(9)));
  EXPECT_FALSE(list.remove(nullptr));
  EXPECT_EQ(list.remove_at(none), nullptr);
  EXPECT_EQ(contents(list), (std::vector<int>{0, 1, 2}));
}

TEST(PtrList, IndexOfAndAtBounds) {
  PtrList list = make({5, 6, 7, 8, 9});
  struct AtCase {
    int n;
    int expected;  // -1: null position
  };
  const std::vector<AtCase> at_cases = {
      {INT_MIN, -1}, {-1, -1}, {0, 5}, {1, 6}, {2, 7}, {3, 8}, {4, 9}, {5, -1}, {INT_MAX, -1},
  };
  for (const auto& c : at_cases) {
    SCOPED_TRACE(c.n);
    PtrPos pos = list.at(c.n);
    if (c.expected < 0) {
      EXPECT_EQ(pos, nullptr);
    } else {
      ASSERT_NE(pos, nullptr);
      EXPECT_EQ(pos->value, v(c.expected));
      EXPECT_EQ(list.index_of(pos->value), c.n);
    }
  }
  EXPECT_EQ(list.at(0), list.head());
  EXPECT_EQ(list.at(list.count() - 1), list.tail());
  EXPECT_EQ(list.at(list.count()), nullptr);
  EXPECT_EQ(list.index_of(v(0)), -1);
  EXPECT_EQ(list.index_of(nullptr), -1);

  PtrList empty;
  EXPECT_EQ(empty.at(0), nullptr);
  EXPECT_EQ(empty.index_of(v(5)), -1);
}

TEST(PtrList, FindFromAStartPosition) {
  PtrList list = make({3, 1, 3, 2, 3});
  PtrPos first = list.find(v(3));
  ASSERT_EQ(first, list.at(0));
  EXPECT_EQ(list.find(v(3), first), first);  // the start itself is searched
  PtrPos second = list.find(v(3), first->next);
  EXPECT_EQ(second, list.at(2));
  EXPECT_EQ(list.find(v(3), second->next), list.at(4));
  EXPECT_EQ(list.find(v(1), second), nullptr);  // only towards the tail
  EXPECT_EQ(list.find(v(9)), nullptr);
}

TEST(PtrList, WalkBothWays) {
  PtrList list = make({0, 1, 2});
  std::vector<int> seen;
  PtrPos pos = list.head();
  for (int i = 0; pos != nullptr && i < 10; ++i) seen.push_back(id(PtrList::get_next(pos)));
  EXPECT_EQ(seen, (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(pos, nullptr);
  EXPECT_EQ(PtrList::get_next(pos), nullptr);  // stays null past the end

  seen.clear();
  pos = list.tail();
  for (int i = 0; pos != nullptr && i < 10; ++i) seen.push_back(id(PtrList::get_prev(pos)));
  EXPECT_EQ(seen, (std::vector<int>{2, 1, 0}));
  EXPECT_EQ(pos, nullptr);
  EXPECT_EQ(PtrList::get_prev(pos), nullptr);
}

TEST(PtrList, RemoveEveryOtherWhileWalking) {
  struct Case {
    int size;
    bool backwards;
  };
  const std::vector<Case> cases = {{0, false}, {1, false}, {2, false}, {7, false},
                                   {8, false}, {1, true},  {7, true},  {8, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << "size " << c.size << (c.backwards ? " backwards" : ""));
    std::vector<int> ids, kept;
    for (int i = 0; i < c.size; ++i) ids.push_back(i);
    PtrList list = make(ids);
    // Drop even values; the saved position is removed only after pos has moved on.
    PtrPos pos = c.backwards ? list.tail() : list.head();
    for (int step = 0; pos != nullptr && step < 100; ++step) {
      PtrPos cur = pos;
      void* value = c.backwards ? PtrList::get_prev(pos) : PtrList::get_next(pos);
      if (id(value) % 2 == 0) {
        EXPECT_EQ(list.remove_at(cur), value);
      }
    }
    for (int i = 1; i < c.size; i += 2) kept.push_back(i);
    EXPECT_EQ(contents(list), kept);
  }
}

TEST(PtrList, ClearThenReuse) {
  PtrList list = make({0, 1, 2, 3});
  list.clear();
  EXPECT_EQ(contents(list), std::vector<int>{});
  EXPECT_EQ(list.head(), nullptr);
  EXPECT_EQ(list.tail(), nullptr);
  list.clear();  // clearing an empty list is harmless
  ASSERT_NE(list.add_tail(v(2)), nullptr);
  ASSERT_NE(list.add_head(v(1)), nullptr);
  ASSERT_NE(list.insert_after(list.tail(), v(3)), nullptr);
  EXPECT_EQ(contents(list), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(list.index_of(v(3)), 2);
}

TEST(PtrList, MoveLeavesSourceEmpty) {
  PtrList src = make({0, 1, 2});
  PtrPos mid = src.at(1);
  PtrList moved(std::move(src));
  EXPECT_EQ(contents(moved), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(moved.at(1), mid);  // nodes are handed over, not copied
  EXPECT_EQ(contents(src), std::vector<int>{});  // NOLINT(bugprone-use-after-move)
  ASSERT_NE(src.add_tail(v(9)), nullptr);        // the source stays usable
  EXPECT_EQ(contents(src), std::vector<int>{9});

  PtrList target = make({5, 6});
  target = std::move(moved);
  EXPECT_EQ(contents(target), (std::vector<int>{0, 1, 2}));
  EXPECT_EQ(contents(moved), std::vector<int>{});  // NOLINT(bugprone-use-after-move)
}

}  // namespace
}  // namespace kx
