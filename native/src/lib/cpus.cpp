#include "cpus.hpp"

#include <errno.h>
#include <sched.h>
#include <unistd.h>

#include <algorithm>

#include "reasons.hpp"

namespace tarnwick {

namespace {

std::size_t affinity_cpus() {
  cpu_set_t set{};
  if (sched_getaffinity(0, sizeof set, &set) != 0) return 0;
  const int count = CPU_COUNT(&set);
  return count > 0 ? static_cast<std::size_t>(count) : 0;
}

}  // namespace

std::size_t limit_cpus(std::size_t cpus, std::optional<std::uint64_t> quota) noexcept {
  if (!quota) return cpus;
  const std::uint64_t granted = std::max<std::uint64_t>(*quota, 1);
  return granted < cpus ? static_cast<std::size_t>(granted) : cpus;
}

Result<std::size_t, SystemError> scheduler_cpus(std::size_t affinity, OnlineCount (*online)()) {
  using R = Result<std::size_t, SystemError>;
  if (affinity > 0) return R::ok(affinity);
  const OnlineCount n = online();
  // A failure that leaves no error code says as little as a count of 0.
  if (n.count < 0 && n.error != 0) return R::err(SystemError::from_code(n.error));
  if (n.count <= 0) return R::err(SystemError::message(std::string(reasons::UNKNOWN_CPU_COUNT)));
  return R::ok(static_cast<std::size_t>(n.count));
}

Result<std::size_t, SystemError> System::available_cpus() {
  auto cpus = scheduler_cpus(affinity_cpus(), [] {
    errno = 0;
    const long count = sysconf(_SC_NPROCESSORS_ONLN);
    return OnlineCount{count, errno};
  });
  if (!cpus) return cpus;
  return Result<std::size_t, SystemError>::ok(
      limit_cpus(cpus.value(), cgroup_cpu_quota(CgroupFiles{})));
}

}  // namespace tarnwick
