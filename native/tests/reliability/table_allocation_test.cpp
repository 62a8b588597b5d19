// A failed table reservation, from the allocator itself: this executable
// replaces operator new and, while armed, refuses exactly the 262,144-byte
// request of a kernel's table. Every other request is served by malloc.

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <string>

#include "capi.hpp"
#include "process_state.hpp"

namespace {

constexpr std::size_t TABLE_BYTES = 262'144;
std::atomic<bool> refuse_tables{false};
std::atomic<unsigned> refused{0};

void* allocate(std::size_t size) noexcept {
  if (size == TABLE_BYTES && refuse_tables.load()) {
    refused.fetch_add(1);
    return nullptr;
  }
  return std::malloc(size == 0 ? 1 : size);
}

void* allocate_aligned(std::size_t size, std::align_val_t align) noexcept {
  const auto alignment = static_cast<std::size_t>(align);
  const std::size_t rounded = (size + alignment - 1) / alignment * alignment;
  return std::aligned_alloc(alignment, rounded == 0 ? alignment : rounded);
}

void* allocate_or_throw(std::size_t size) {
  void* p = allocate(size);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void* allocate_aligned_or_throw(std::size_t size, std::align_val_t align) {
  void* p = allocate_aligned(size, align);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

}  // namespace

// Every form is replaced, so every allocation and release pairs malloc with
// free, whichever form the code used. Kept out of line: once inlined into a
// caller, g++ takes the free() for a mismatch with the new expression.
#define REPLACED [[gnu::noinline]]
REPLACED void* operator new(std::size_t size) { return allocate_or_throw(size); }
REPLACED void* operator new[](std::size_t size) { return allocate_or_throw(size); }
REPLACED void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
  return allocate(size);
}
REPLACED void* operator new[](std::size_t size, const std::nothrow_t&) noexcept {
  return allocate(size);
}
REPLACED void* operator new(std::size_t size, std::align_val_t align) {
  return allocate_aligned_or_throw(size, align);
}
REPLACED void* operator new[](std::size_t size, std::align_val_t align) {
  return allocate_aligned_or_throw(size, align);
}
REPLACED void* operator new(std::size_t size, std::align_val_t align,
                            const std::nothrow_t&) noexcept {
  return allocate_aligned(size, align);
}
REPLACED void* operator new[](std::size_t size, std::align_val_t align,
                              const std::nothrow_t&) noexcept {
  return allocate_aligned(size, align);
}
REPLACED void operator delete(void* p) noexcept { std::free(p); }
REPLACED void operator delete[](void* p) noexcept { std::free(p); }
REPLACED void operator delete(void* p, std::size_t) noexcept { std::free(p); }
REPLACED void operator delete[](void* p, std::size_t) noexcept { std::free(p); }
REPLACED void operator delete(void* p, const std::nothrow_t&) noexcept { std::free(p); }
REPLACED void operator delete[](void* p, const std::nothrow_t&) noexcept { std::free(p); }
REPLACED void operator delete(void* p, std::align_val_t) noexcept { std::free(p); }
REPLACED void operator delete[](void* p, std::align_val_t) noexcept { std::free(p); }
REPLACED void operator delete(void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
REPLACED void operator delete[](void* p, std::size_t, std::align_val_t) noexcept { std::free(p); }
REPLACED void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(p);
}
REPLACED void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(p);
}

#undef REPLACED

namespace tarnwick::reliability {
namespace {

const std::string ALLOCATION_REASON =
    "worker initialization failed: Ok(Err(\"memory allocation failed because the memory "
    "allocator returned an error\"))";

TEST(TableAllocation, RefusedTableEndsTheRunAndTheNextRunIsAdmitted) {
  for (const std::uint32_t benchmark : {1u, 2u}) {
    SCOPED_TRACE(benchmark);
    HandlePtr handle = make_handle();
    ASSERT_TRUE(handle);
    const tarnwick_config_t config = make_config(benchmark, 0.0, 0.05);
    refused = 0;
    refuse_tables = true;
    const std::int32_t status = tarnwick_run(handle.get(), &config, nullptr, nullptr);
    refuse_tables = false;
    EXPECT_EQ(status, 2);
    EXPECT_EQ(reason_of(handle.get()), ALLOCATION_REASON);
    EXPECT_GE(refused.load(), 1u) << "the table request never reached operator new";
    tarnwick_result_t result{};
    ASSERT_EQ(tarnwick_result(handle.get(), &result), 1);
    EXPECT_GE(result.threads, 1u);
    EXPECT_EQ(result.operations, 0u);
    EXPECT_EQ(settled_worker_threads(), 0u);
  }
  // With the allocator healthy again, the engine is free and runs.
  refused = 0;
  HandlePtr handle = make_handle();
  const tarnwick_config_t config = make_config(1, 0.0, 0.05);
  EXPECT_EQ(tarnwick_run(handle.get(), &config, nullptr, nullptr), 0) << reason_of(handle.get());
  EXPECT_EQ(refused.load(), 0u);
}

}  // namespace
}  // namespace tarnwick::reliability
