// The gate of unfinished request heads: past the cap of one address, or of all, the oldest
// head is told to close; other addresses and finished heads are left alone.
#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "http/head_gate.h"

namespace {

using Tickets = std::vector<std::unique_ptr<kx::HeadGate::Ticket>>;

TEST(HeadGate, OldestHeadOfAnAddressClosesPastItsCap) {
  kx::HeadGate gate(3, 100);
  Tickets a;
  for (int i = 0; i < 3; ++i) a.push_back(gate.enter("10.0.0.1"));
  auto other = gate.enter("10.0.0.2");
  for (const auto& t : a) EXPECT_FALSE(t->closed());
  a.push_back(gate.enter("10.0.0.1"));
  EXPECT_TRUE(a[0]->closed());
  for (std::size_t i = 1; i < a.size(); ++i) EXPECT_FALSE(a[i]->closed()) << i;
  EXPECT_FALSE(other->closed());
  EXPECT_EQ(gate.open_heads("10.0.0.1"), 3u);
  EXPECT_EQ(gate.open_heads(), 4u);
  a.push_back(gate.enter("10.0.0.1"));
  EXPECT_TRUE(a[1]->closed());
  EXPECT_FALSE(a[4]->closed());
}

TEST(HeadGate, OldestHeadOfAllClosesPastTheTotalAndLeavingGivesRoomBack) {
  kx::HeadGate gate(10, 3);
  Tickets t;
  t.push_back(gate.enter("10.0.0.1"));
  t.push_back(gate.enter("10.0.0.2"));
  t.push_back(gate.enter("10.0.0.3"));
  t.erase(t.begin() + 1);  // a finished head leaves
  EXPECT_EQ(gate.open_heads(), 2u);
  t.push_back(gate.enter("10.0.0.4"));
  for (const auto& x : t) EXPECT_FALSE(x->closed());
  t.push_back(gate.enter("10.0.0.5"));
  EXPECT_TRUE(t[0]->closed());
  EXPECT_EQ(gate.open_heads(), 3u);
  EXPECT_EQ(gate.open_heads("10.0.0.1"), 0u);
  t.clear();
  EXPECT_EQ(gate.open_heads(), 0u);
  EXPECT_EQ(gate.open_heads("10.0.0.5"), 0u);
}

}  // namespace
