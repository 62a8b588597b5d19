// A host process for the tests that must change the process itself: its
// control group, its mount namespace or its thread limit. Prints one line of
// key=value fields, the reason last.
//
//   reliability_probe cpus
//       benchmark 2 cancelled before it starts: the worker count, and the
//       control groups' CPU quota as the program would report it.
//   reliability_probe spawn-limit GROUP EXTRA
//       joins the pids group GROUP, allows EXTRA threads beyond the ones
//       it has, and runs benchmark 2 for a moment.

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <optional>
#include <string>

#include "capi.hpp"
#include "process_state.hpp"
#include "tarnwick/cgroup.hpp"

namespace tr = tarnwick::reliability;

namespace {

// This process's line of /proc/self/cgroup for the cpu controller (or the
// unified line when there is no other).
std::string cpu_cgroup_line() {
  std::ifstream in("/proc/self/cgroup");
  std::string line;
  std::string unified;
  while (std::getline(in, line)) {
    const std::size_t first = line.find(':');
    const std::size_t second = line.find(':', first + 1);
    if (first == std::string::npos || second == std::string::npos) continue;
    const std::string controllers = "," + line.substr(first + 1, second - first - 1) + ",";
    if (controllers.find(",cpu,") != std::string::npos) return line;
    if (controllers == ",,") unified = line;
  }
  return unified;
}

int report(tarnwick_handle_t* handle, int status, const std::string& extra = "") {
  tarnwick_result_t result{};
  if (tarnwick_result(handle, &result) != 1) {
    std::printf("error=no-result\n");
    return 3;
  }
  std::printf("status=%d threads=%u workers_left=%zu cgroup=%s %sreason=%s\n", status,
              result.threads, tr::settled_worker_threads(), cpu_cgroup_line().c_str(),
              extra.c_str(), tr::reason_of(handle).c_str());
  return 0;
}

int probe_cpus() {
  tr::HandlePtr handle = tr::make_handle();
  const tarnwick_config_t config = tr::make_config(2, 0.0, 1.0);
  tarnwick_cancel(handle.get());
  const int status = tarnwick_run(handle.get(), &config, nullptr, nullptr);
  const std::optional<double> quota = tarnwick::cgroup_cpu_quota_cpus();
  return report(handle.get(), status,
                quota ? "quota=" + std::to_string(*quota) + " " : "quota=none ");
}

bool write_file(const std::string& path, const std::string& value) {
  std::ofstream out(path);
  out << value;
  out.flush();
  return static_cast<bool>(out);
}

int probe_spawn_limit(const std::string& group, long extra) {
  if (!write_file(group + "/cgroup.procs", std::to_string(::getpid()))) {
    std::printf("error=cannot-join\n");
    return 3;
  }
  // Sanitizer runtimes may own threads too: count what is there now.
  const std::size_t present = tr::count_threads();
  if (!write_file(group + "/pids.max", std::to_string(present + static_cast<std::size_t>(extra)))) {
    std::printf("error=cannot-limit\n");
    return 3;
  }
  tr::HandlePtr handle = tr::make_handle();
  const tarnwick_config_t config = tr::make_config(2, 0.0, 0.05);
  const int status = tarnwick_run(handle.get(), &config, nullptr, nullptr);
  // The leak checker at exit needs a thread of its own.
  const bool lifted = write_file(group + "/pids.max", "max");
  const int code = report(handle.get(), status);
  return lifted ? code : 3;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "cpus" && argc == 2) return probe_cpus();
  if (mode == "spawn-limit" && argc == 4) return probe_spawn_limit(argv[2], std::atol(argv[3]));
  std::fprintf(stderr, "usage: %s cpus | spawn-limit GROUP EXTRA\n", argv[0]);
  return 64;
}
