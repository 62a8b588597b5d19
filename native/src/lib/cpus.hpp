#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include "runtime.hpp"
#include "tarnwick/cgroup.hpp"

// How many CPUs the process may use: the scheduler's affinity mask, capped by
// the CPU quota of its control groups (tarnwick/cgroup.hpp).
namespace tarnwick {

// What the online-processor query returned: a count, or -1 and the error.
struct OnlineCount {
  long count;
  int error;
};

// The CPUs the scheduler allows, `affinity`, or when that is 0 the online
// processors, asked of `online` only then. Fails with the query's error, or
// with a fixed message when no count is known at all.
[[nodiscard]] Result<std::size_t, SystemError> scheduler_cpus(std::size_t affinity,
                                                              OnlineCount (*online)());

// `cpus` capped by `quota`, where a quota below one CPU still grants one.
[[nodiscard]] std::size_t limit_cpus(std::size_t cpus, std::optional<std::uint64_t> quota) noexcept;

}  // namespace tarnwick
