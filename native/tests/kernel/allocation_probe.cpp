#include "allocation_probe.hpp"

#include <atomic>
#include <cstdlib>
#include <limits>
#include <new>

namespace tarnwick::testing {

namespace {

std::atomic<std::size_t> allocations{0};
std::atomic<std::size_t> failure_threshold{std::numeric_limits<std::size_t>::max()};

}  // namespace

std::size_t AllocationProbe::count() noexcept { return allocations.load(); }
void AllocationProbe::reset() noexcept { allocations.store(0); }
void AllocationProbe::fail_from(std::size_t bytes) noexcept { failure_threshold.store(bytes); }
void AllocationProbe::fail_none() noexcept {
  failure_threshold.store(std::numeric_limits<std::size_t>::max());
}

}  // namespace tarnwick::testing

// The array, nothrow and sized forms all forward to these by default.
void* operator new(std::size_t size) {
  using tarnwick::testing::allocations;
  using tarnwick::testing::failure_threshold;
  allocations.fetch_add(1);
  if (size >= failure_threshold.load()) throw std::bad_alloc();
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}

void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }
