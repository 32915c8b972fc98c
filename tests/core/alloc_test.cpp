// Memory that may not be had: refused up front when it cannot exist, given otherwise.
#include <gtest/gtest.h>

#include <cstdint>
#include <memory>

#include "core/alloc.h"
#include "core/os/memory.h"

namespace {

TEST(Alloc, RefusesWhatTheMachineCannotHold) {
  const uint64_t mem = kx::physical_memory_bytes();
  ASSERT_GT(mem, 0u);
  struct Case {
    const char* what;
    uint64_t count, size;
    bool fits;
  } cases[] = {
      {"nothing", 0, 8, true},
      {"a page", 4096, 1, true},
      {"all of memory", mem, 1, true},
      {"a byte more than memory", mem + 1, 1, false},
      {"an overflowing product", UINT64_MAX / 2 + 1, 2, false},
      {"zero-sized objects", UINT64_MAX, 0, true},
  };
  for (const Case& c : cases) EXPECT_EQ(kx::fits_in_memory(c.count, c.size), c.fits) << c.what;
}

TEST(Alloc, TryNewArrayGivesNullInsteadOfThrowing) {
  auto ok = kx::try_new_array<uint8_t>(128 * 2048);
  ASSERT_NE(ok, nullptr);
  ok[128 * 2048 - 1] = 1;  // the whole array is there
  EXPECT_EQ(kx::try_new_array<uint8_t>(kx::physical_memory_bytes() + 1), nullptr);
  EXPECT_EQ(kx::try_new_array<uint64_t>(SIZE_MAX / 4), nullptr);
}

// The failure hook refuses exactly the number of allocations asked, whatever their size.
TEST(Alloc, FailureHookRefusesTheNextAllocations) {
  kx::fail_next_allocations(2);
  EXPECT_EQ(kx::try_new_array<uint8_t>(16), nullptr);
  EXPECT_EQ(kx::try_new<int>(), nullptr);
  std::unique_ptr<int> one(kx::try_new<int>());
  ASSERT_NE(one, nullptr);
  EXPECT_EQ(*one, 0);  // value-initialised
  EXPECT_NE(kx::try_new_array<uint8_t>(16), nullptr);
  kx::fail_next_allocations(5);
  kx::fail_next_allocations(0);  // called off
  EXPECT_NE(kx::try_new_array<uint8_t>(16), nullptr);
}

}  // namespace
