// Handle creation when the allocator fails: this binary replaces the global
// allocation functions so that the n-th allocation can be made to fail, and
// counts what is still held.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>

#include "tarnwick.h"

namespace {

thread_local int fail_at = 0;  // 0: never; n: the n-th allocation from now fails
std::atomic<long> live{0};

}  // namespace

void* operator new(std::size_t size) {
  if (fail_at > 0 && --fail_at == 0) throw std::bad_alloc();
  void* p = std::malloc(size == 0 ? 1 : size);
  if (p == nullptr) throw std::bad_alloc();
  live.fetch_add(1, std::memory_order_relaxed);
  return p;
}

void operator delete(void* p) noexcept {
  if (p == nullptr) return;
  live.fetch_sub(1, std::memory_order_relaxed);
  std::free(p);
}

void operator delete(void* p, std::size_t) noexcept { operator delete(p); }

namespace {

TEST(Create, EveryFailedAllocationGivesNullAndLeaksNothing) {
  int failures = 0;
  for (int n = 1; n <= 16; ++n) {
    const long before = live.load();
    fail_at = n;
    tarnwick_handle_t* h = tarnwick_create();
    const bool reached = fail_at == 0;  // the n-th allocation was attempted
    fail_at = 0;
    if (!reached) {
      // Creation needed fewer than n allocations and succeeded.
      ASSERT_NE(h, nullptr);
      tarnwick_free(h);
      EXPECT_EQ(live.load(), before);
      break;
    }
    EXPECT_EQ(h, nullptr) << "allocation " << n;
    EXPECT_EQ(live.load(), before) << "allocation " << n;
    ++failures;
  }
  // The cancel flag and the handle: at least two points of failure.
  EXPECT_GE(failures, 2);
}

}  // namespace
