#include "fleet/fleet.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <numeric>
#include <tuple>

#include "stats/robust.hpp"

namespace tarnwick::fleet {
namespace {

constexpr uint32_t STATUS_COMPLETED = 0;

bool digits(std::string_view text, std::size_t from, std::size_t count) {
  if (text.size() < from + count) return false;
  return std::all_of(text.begin() + static_cast<std::ptrdiff_t>(from),
                     text.begin() + static_cast<std::ptrdiff_t>(from + count),
                     [](char c) { return c >= '0' && c <= '9'; });
}

std::string or_unknown(const std::optional<std::string>& text) {
  return text && !text->empty() ? *text : std::string("unknown");
}

// Median of the values that exist; nothing when none does.
std::optional<double> median_of(std::vector<double> values) {
  if (values.empty()) return std::nullopt;
  return median(std::move(values));
}

}  // namespace

std::optional<std::string> parse_since(std::string_view text) {
  if (!text.empty() && text.back() == 'Z') text.remove_suffix(1);
  const bool date = digits(text, 0, 4) && text[4] == '-' && digits(text, 5, 2) && text[7] == '-' &&
                    digits(text, 8, 2);
  if (!date) return std::nullopt;
  const int month = std::stoi(std::string(text.substr(5, 2)));
  const int day = std::stoi(std::string(text.substr(8, 2)));
  if (month < 1 || month > 12 || day < 1 || day > 31) return std::nullopt;
  if (text.size() == 10) return std::string(text) + "T00:00:00";
  if (text[10] != 'T' && text[10] != ' ') return std::nullopt;
  const bool minutes = digits(text, 11, 2) && text[13] == ':' && digits(text, 14, 2);
  if (!minutes) return std::nullopt;
  if (std::stoi(std::string(text.substr(11, 2))) > 23 ||
      std::stoi(std::string(text.substr(14, 2))) > 59) {
    return std::nullopt;
  }
  std::string result = fmt::format("{}T{}", text.substr(0, 10), text.substr(11, 5));
  if (text.size() == 16) return result + ":00";
  if (text.size() == 19 && text[16] == ':' && digits(text, 17, 2) &&
      std::stoi(std::string(text.substr(17, 2))) <= 60) {
    return result + std::string(text.substr(16, 3));
  }
  return std::nullopt;
}

std::string host_from_path(std::string_view path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash != std::string_view::npos) path.remove_prefix(slash + 1);
  if (path.size() > 5 && path.substr(path.size() - 5) == ".json") path.remove_suffix(5);
  return std::string(path);
}

uint32_t FleetBuilder::host_index(const std::string& name, bool from_file) {
  // A host named by a file never merges with one named by itself.
  const std::string key = (from_file ? "f:" : "h:") + name;
  const auto [found, inserted] =
      host_lookup_.try_emplace(key, static_cast<uint32_t>(hosts_.size()));
  if (inserted) hosts_.push_back(HostSummary{name, from_file, 0, 0, false});
  return found->second;
}

uint32_t FleetBuilder::group_index(GroupKey key) {
  const std::string text = fmt::format("{}\n{}\n{}\n{}\n{}", key.cpu_model, key.arch, key.label,
                                       key.threads, key.library_version);
  const auto [found, inserted] =
      group_lookup_.try_emplace(text, static_cast<uint32_t>(groups_.size()));
  if (inserted) groups_.push_back(std::move(key));
  return found->second;
}

void FleetBuilder::add_problem(std::string path, std::string reason) {
  problems_.push_back(Problem{std::move(path), std::move(reason)});
}

void FleetBuilder::add(const std::string& path, std::string_view text,
                       const std::string& file_time) {
  auto read = read_document(text);
  if (auto* reason = std::get_if<std::string>(&read)) {
    add_problem(path, std::move(*reason));
    return;
  }
  add(path, std::get<LoadedDocument>(read), file_time);
}

void FleetBuilder::add(const std::string& path, const LoadedDocument& document,
                       const std::string& file_time) {
  const bool from_file = !document.hostname || document.hostname->empty();
  const std::string document_time = document.timestamp.value_or(file_time);

  std::size_t usable = 0;
  std::vector<std::string> failures;
  for (const LoadedRun& run : document.runs) {
    if (run.status != STATUS_COMPLETED) {
      const char* status = run.status == 1 ? "cancelled" : "failed";
      failures.push_back(run.reason.empty()
                             ? fmt::format("the {} run {}", run.label, status)
                             : fmt::format("the {} run {}: {}", run.label, status, run.reason));
      continue;
    }
    if (!run.mean_rate || !std::isfinite(*run.mean_rate) || *run.mean_rate <= 0.0) {
      failures.push_back(fmt::format("the {} run has no mean rate", run.label));
      continue;
    }
    ++usable;
  }
  for (std::string& failure : failures) add_problem(path, std::move(failure));
  if (usable == 0) {
    if (failures.empty()) add_problem(path, "no runs");
    return;
  }

  // A document whose every run is older than --since counts for nothing:
  // not a document read, not a host.
  std::vector<std::pair<const LoadedRun*, std::string>> kept;
  for (const LoadedRun& run : document.runs) {
    if (run.status != STATUS_COMPLETED || !run.mean_rate || !std::isfinite(*run.mean_rate) ||
        *run.mean_rate <= 0.0) {
      continue;
    }
    std::string time = run.started.value_or(document_time);
    if (options_.since && time.compare(0, 19, *options_.since) < 0) continue;
    kept.emplace_back(&run, std::move(time));
  }
  if (kept.empty()) return;
  const uint32_t host =
      host_index(from_file ? host_from_path(path) : *document.hostname, from_file);
  ++hosts_[host].documents;
  const auto index = static_cast<uint32_t>(documents_++);
  for (auto& [run, time] : kept) {
    const uint32_t group = group_index(GroupKey{
        or_unknown(document.cpu_model), or_unknown(document.arch), run->label,
        document.library_version.empty() ? std::string("unknown") : document.library_version,
        run->threads});
    runs_.push_back(
        Kept{host, group, index, std::move(time), *run->mean_rate, run->cv_percent, run->unstable});
  }
}

FleetReport FleetBuilder::finish() const {
  FleetReport report;
  report.documents = documents_;
  report.hosts = hosts_;
  report.problems = problems_;

  // Runs ordered by group, host, then time: each (group, host) is a run of
  // neighbours whose last one is the latest.
  std::vector<std::size_t> order(runs_.size());
  std::iota(order.begin(), order.end(), 0);
  std::sort(order.begin(), order.end(), [this](std::size_t a, std::size_t b) {
    const Kept& x = runs_[a];
    const Kept& y = runs_[b];
    return std::tie(x.group, x.host, x.time, x.document) <
           std::tie(y.group, y.host, y.time, y.document);
  });

  std::vector<Group> groups(groups_.size());
  for (std::size_t index = 0; index < groups_.size(); ++index) {
    const GroupKey& key = groups_[index];
    groups[index] = Group{key.cpu_model, key.arch, key.label, key.threads, key.library_version,
                          0.0,           0.0,      {},        {}};
  }
  for (std::size_t begin = 0; begin < order.size();) {
    const Kept& first = runs_[order[begin]];
    std::size_t end = begin;
    while (end < order.size() && runs_[order[end]].group == first.group &&
           runs_[order[end]].host == first.host) {
      ++end;
    }
    const uint32_t latest = runs_[order[end - 1]].document;
    std::vector<double> rates;
    std::vector<double> cvs;
    HostFigure figure;
    figure.host = hosts_[first.host].host;
    figure.host_from_file = hosts_[first.host].host_from_file;
    for (std::size_t at = begin; at < end; ++at) {
      const Kept& run = runs_[order[at]];
      if (!options_.all_runs && run.document != latest) continue;
      rates.push_back(run.rate);
      if (run.cv) cvs.push_back(*run.cv);
      figure.unstable = figure.unstable || run.unstable;
      figure.latest = std::max(figure.latest, run.time);
    }
    figure.runs = rates.size();
    figure.median_rate = median(std::move(rates));
    figure.median_cv_percent = median_of(std::move(cvs));
    HostSummary& host = report.hosts[first.host];
    host.runs += figure.runs;
    host.unstable = host.unstable || figure.unstable;
    groups[first.group].hosts.push_back(std::move(figure));
    begin = end;
  }

  for (std::size_t index = 0; index < groups.size(); ++index) {
    Group& group = groups[index];
    std::vector<double> figures;
    for (const HostFigure& host : group.hosts) figures.push_back(host.median_rate);
    group.median = median(figures);
    group.mad = median_absolute_deviation(figures);
    if (group.hosts.size() < 3) {
      group.no_flags_reason =
          fmt::format("only {} host{}: at least 3 are needed to tell an outlier from the rest",
                      group.hosts.size(), group.hosts.size() == 1 ? "" : "s");
    } else if (!(group.mad > 0.0)) {
      group.no_flags_reason =
          "the median absolute deviation is 0 (most hosts have the same figure): no spread to "
          "judge by";
    }
    for (HostFigure& host : group.hosts) {
      if (!group.no_flags_reason.empty()) continue;
      host.z = robust_z(host.median_rate, group.median, group.mad);
      if (*host.z < -OUTLIER_Z) host.flag = "slow";
      if (*host.z > OUTLIER_Z) host.flag = "fast";
    }
    std::stable_sort(
        group.hosts.begin(), group.hosts.end(),
        [](const HostFigure& a, const HostFigure& b) { return a.median_rate < b.median_rate; });
  }
  // Groups in a stable reading order: CPU, architecture, label, workers.
  std::sort(groups.begin(), groups.end(), [](const Group& a, const Group& b) {
    return std::tie(a.cpu_model, a.arch, a.label, a.threads, a.library_version) <
           std::tie(b.cpu_model, b.arch, b.label, b.threads, b.library_version);
  });
  for (std::size_t g = 0; g < groups.size(); ++g) {
    for (std::size_t h = 0; h < groups[g].hosts.size(); ++h) {
      if (!groups[g].hosts[h].flag.empty()) report.outliers.push_back(Outlier{g, h});
    }
  }
  std::stable_sort(report.outliers.begin(), report.outliers.end(),
                   [&groups](const Outlier& a, const Outlier& b) {
                     return *groups[a.group].hosts[a.host].z < *groups[b.group].hosts[b.host].z;
                   });
  std::sort(report.hosts.begin(), report.hosts.end(),
            [](const HostSummary& a, const HostSummary& b) { return a.host < b.host; });
  report.groups = std::move(groups);
  return report;
}

}  // namespace tarnwick::fleet
