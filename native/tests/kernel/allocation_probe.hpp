#pragma once

#include <cstddef>

namespace tarnwick::testing {

// The test binary replaces the global allocation functions so that tests can
// count allocations and make large requests fail on purpose.
struct AllocationProbe {
  // Allocations made through operator new since the last reset.
  [[nodiscard]] static std::size_t count() noexcept;
  static void reset() noexcept;
  // While set, any request of at least `bytes` throws std::bad_alloc.
  static void fail_from(std::size_t bytes) noexcept;
  static void fail_none() noexcept;
};

}  // namespace tarnwick::testing
