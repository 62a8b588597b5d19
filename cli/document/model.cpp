#include "document/model.hpp"

#include <fmt/format.h>

#include "tarnwick.hpp"
#include "util/exit_status.hpp"
#include "util/text.hpp"

namespace tarnwick {

std::optional<double> scaling(const RunReport& single, const RunReport& multi) {
  const std::optional<double>& one = single.result.mean_rate;
  const std::optional<double>& all = multi.result.mean_rate;
  if (!one || !all || multi.result.threads == 0 || !(*one > 0.0)) return std::nullopt;
  return *all / (static_cast<double>(multi.result.threads) * *one);
}

double reference_rate(const RunReport& run) {
  if (run.result.mean_rate) return *run.result.mean_rate;
  if (run.result.measured.count() > 0.0) {
    return static_cast<double>(run.result.operations) / run.result.measured.count();
  }
  return 0.0;
}

std::string workers_text(const RunReport& run) {
  const uint32_t threads = run.result.threads;
  std::string count = plural(threads, "worker");
  if (!run.result.all_cpus) return count;
  return threads == 0 ? std::string("all CPUs") : "all CPUs, " + count;
}

std::string repetitions_text(const std::vector<unsigned>& repetitions) {
  std::vector<std::string> parts;
  for (std::size_t i = 0; i < repetitions.size();) {
    std::size_t last = i;
    while (last + 1 < repetitions.size() && repetitions[last + 1] == repetitions[last] + 1) ++last;
    parts.push_back(last >= i + 2 ? fmt::format("{} to {}", repetitions[i], repetitions[last])
                                  : std::to_string(repetitions[i]));
    if (last == i + 1) parts.push_back(std::to_string(repetitions[last]));
    i = last + 1;
  }
  std::string text;
  for (std::size_t i = 0; i < parts.size(); ++i) {
    text += (i == 0 ? "" : i + 1 == parts.size() ? " and " : ", ") + parts[i];
  }
  return text;
}

Status session_status(const Session& session) {
  Status status = Status::completed;
  for (const RunReport& run : session.runs) {
    if (run.result.status == Status::failed) return Status::failed;
    if (run.result.status == Status::cancelled) status = Status::cancelled;
  }
  return status;
}

int exit_status(const Session& session) {
  switch (session_status(session)) {
    case Status::completed:
      return EXIT_OK;
    case Status::cancelled:
      return EXIT_CANCELLED;
    case Status::failed:
      break;
  }
  return EXIT_FAILED;
}

}  // namespace tarnwick
