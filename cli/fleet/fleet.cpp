#include "fleet/fleet.hpp"

#include <fmt/format.h>

#include <algorithm>
#include <cmath>
#include <map>
#include <tuple>

#include "stats/robust.hpp"
#include "tarnwick.hpp"
#include "util/text.hpp"
#include "util/utc_time.hpp"

namespace tarnwick::fleet {
namespace {

std::string or_unknown(const std::optional<std::string>& text) {
  return text && !text->empty() ? *text : std::string("unknown");
}

// What is left of a model without case, blanks, punctuation and the
// trademark marks: models equal here but not by normalize_model() are
// likely one model written two ways, and are named for a person to check.
std::string loose_model(std::string_view model) {
  std::string text = normalize_model(model);
  for (const std::string_view mark : {"(r)", "(tm)"}) {
    for (auto at = text.find(mark); at != std::string::npos; at = text.find(mark, at))
      text.erase(at, mark.size());
  }
  std::string loose;
  for (const char c : text) {
    if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || static_cast<unsigned char>(c) >= 0x80)
      loose += c;
  }
  return loose;
}

// The model as shown: its own case, blanks trimmed and collapsed.
std::string normalize_spacing(std::string_view model) {
  std::string shown;
  bool blank = false;
  for (const char c : model) {
    if (c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v') {
      blank = true;
      continue;
    }
    if (blank && !shown.empty()) shown += ' ';
    blank = false;
    shown += c;
  }
  return shown;
}

std::string quoted_list(const std::vector<std::string>& names) {
  std::vector<std::string> quoted;
  quoted.reserve(names.size());
  for (const std::string& name : names) quoted.push_back("'" + name + "'");
  return listed(quoted);
}

// The host a 0.0.2 document stands for: its file's name without the folder
// and the ".json" ending.
std::string host_from_path(std::string_view path) {
  const std::size_t slash = path.find_last_of('/');
  if (slash != std::string_view::npos) path.remove_prefix(slash + 1);
  if (path.size() > 5 && path.substr(path.size() - 5) == ".json") path.remove_suffix(5);
  return std::string(path);
}

// Median of the values that exist; nothing when none does.
std::optional<double> median_of(std::vector<double> values) {
  if (values.empty()) return std::nullopt;
  return median(std::move(values));
}

}  // namespace

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

std::string FleetBuilder::model_key(const std::optional<std::string>& model) {
  std::string key = model ? normalize_model(*model) : std::string();
  if (key.empty()) return "unknown";
  std::vector<std::string>& seen = spellings_[key];
  if (std::find(seen.begin(), seen.end(), *model) == seen.end()) seen.push_back(*model);
  return key;
}

void FleetBuilder::add_problem(std::string path, std::string reason) {
  if (problems_.size() < MAX_LISTED_REFUSALS) {
    problems_.push_back(Problem{std::move(path), std::move(reason)});
  } else {
    ++problems_unlisted_;
  }
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

  std::vector<const LoadedRun*> usable;
  std::vector<std::string> failures;
  for (const LoadedRun& run : document.runs) {
    if (run.status != Status::completed) {
      // The library's reason for a cancelled run is the status itself.
      const std::string_view status = tarnwick::name(run.status);
      failures.push_back(run.reason.empty() || run.reason == status
                             ? fmt::format("the {} run {}", run.label, status)
                             : fmt::format("the {} run {}: {}", run.label, status, run.reason));
      continue;
    }
    if (!run.mean_rate || !std::isfinite(*run.mean_rate) || *run.mean_rate <= 0.0) {
      failures.push_back(fmt::format("the {} run has no mean rate", run.label));
      continue;
    }
    usable.push_back(&run);
  }
  for (std::string& failure : failures) add_problem(path, std::move(failure));
  if (usable.empty()) {
    if (failures.empty()) add_problem(path, "no runs");
    return;
  }

  // A document whose every run is older than --since counts for nothing:
  // not a document read, not a host.
  std::vector<std::pair<const LoadedRun*, std::string>> kept;
  for (const LoadedRun* run : usable) {
    std::string time = run->started.value_or(document_time);
    // Compared as times: the documents write milliseconds or not, and the
    // file's time stands in for a 0.0.2 document's.
    const std::optional<UtcMillis> at = run->started_at         ? run->started_at
                                        : document.timestamp_at ? document.timestamp_at
                                                                : parse_utc(file_time);
    if (options_.since && (!at || *at < *options_.since)) continue;
    kept.emplace_back(run, std::move(time));
  }
  const std::string host_name = from_file ? host_from_path(path) : *document.hostname;
  if (kept.empty()) {
    before_since_.emplace(host_name, from_file);
    return;
  }
  // A run read before, through another path or a copy of its document,
  // counts once; a document of nothing but such runs is not read again. A
  // run id given other figures elsewhere is left out at the end.
  std::erase_if(kept, [&](const auto& entry) {
    const SeenRuns::Seen seen = seen_.offer(document, *entry.first, path);
    if (seen == SeenRuns::Seen::first) return false;
    if (seen == SeenRuns::Seen::again) ++repeated_runs_;
    return true;
  });
  if (kept.empty()) return;
  const uint32_t host = host_index(host_name, from_file);
  ++hosts_[host].documents;
  const auto index = static_cast<uint32_t>(documents_++);
  for (auto& [run, time] : kept) {
    const uint32_t group = group_index(GroupKey{
        model_key(document.cpu_model), or_unknown(document.arch), run->label,
        document.library_version.empty() ? std::string("unknown") : document.library_version,
        run->threads});
    if (!budget_.take(sizeof(Kept) + time.size() + run->id.size())) over_budget_ = true;
    runs_.push_back(Kept{host, group, index, std::move(time), *run->mean_rate, run->cv_percent,
                         run->unstable, run->id});
  }
}

// Models: the spelling read first stands for its key; the others are named.
std::vector<std::string> FleetBuilder::model_notes() const {
  std::map<std::string, std::vector<std::string>> alike;  // loose form -> keys
  for (const GroupKey& key : groups_) {
    if (key.cpu_model == "unknown") continue;
    std::vector<std::string>& keys = alike[loose_model(key.cpu_model)];
    if (std::find(keys.begin(), keys.end(), key.cpu_model) == keys.end())
      keys.push_back(key.cpu_model);
  }
  std::vector<std::string> merged;
  for (const auto& [key, seen] : spellings_) {
    if (seen.size() > 1) {
      merged.push_back(fmt::format("CPU model written {} ways, counted as one: {}", seen.size(),
                                   quoted_list(seen)));
    }
  }
  std::sort(merged.begin(), merged.end());
  for (auto& [loose, keys] : alike) {
    if (keys.size() < 2) continue;
    std::vector<std::string> shown;
    for (const std::string& key : keys) shown.push_back(spellings_.at(key).front());
    std::sort(shown.begin(), shown.end());
    merged.push_back(fmt::format(
        "CPU models that look alike are kept apart (one machine type written two ways?): {}",
        quoted_list(shown)));
  }
  return merged;
}

// Each (group, host)'s figure from its runs; the host's totals are added to
// `hosts` (in hosts_' order).
std::vector<Group> FleetBuilder::host_figures(std::vector<HostSummary>& hosts) const {
  // Runs ordered by group, host, then time: each (group, host) is a run of
  // neighbours whose last one is the latest.
  // Runs another document gives other figures are left out, both of them.
  std::vector<std::size_t> order;
  order.reserve(runs_.size());
  for (std::size_t index = 0; index < runs_.size(); ++index) {
    if (!seen_.in_conflict(runs_[index].id)) order.push_back(index);
  }
  std::sort(order.begin(), order.end(), [this](std::size_t a, std::size_t b) {
    const Kept& x = runs_[a];
    const Kept& y = runs_[b];
    return std::tie(x.group, x.host, x.time, x.document) <
           std::tie(y.group, y.host, y.time, y.document);
  });

  std::vector<Group> groups(groups_.size());
  for (std::size_t index = 0; index < groups_.size(); ++index) {
    const GroupKey& key = groups_[index];
    const std::string& model =
        key.cpu_model == "unknown" ? key.cpu_model : spellings_.at(key.cpu_model).front();
    Group& group = groups[index];
    group.cpu_model = normalize_spacing(model);
    group.arch = key.arch;
    group.label = key.label;
    group.threads = key.threads;
    group.library_version = key.library_version;
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
      const bool counted = options_.all_runs || run.document == latest;
      figure.history.push_back(RunPoint{run.time, run.rate, run.cv, run.unstable, counted});
      if (!counted) continue;
      rates.push_back(run.rate);
      if (run.cv) cvs.push_back(*run.cv);
      figure.unstable = figure.unstable || run.unstable;
      figure.latest = std::max(figure.latest, run.time);
    }
    figure.runs = rates.size();
    figure.median_rate = median(std::move(rates));
    figure.median_cv_percent = median_of(std::move(cvs));
    HostSummary& host = hosts[first.host];
    host.runs += figure.runs;
    host.unstable = host.unstable || figure.unstable;
    groups[first.group].hosts.push_back(std::move(figure));
    begin = end;
  }

  return groups;
}

namespace {

// A group's median and spread, and each host's robust z and flag when the
// group can be judged; its hosts slowest first.
void judge(Group& group) {
  std::vector<double> figures;
  for (const HostFigure& host : group.hosts) figures.push_back(host.median_rate);
  group.median = median(figures);
  group.mad = median_absolute_deviation(figures);
  if (group.hosts.size() < 3) {
    group.no_flags_reason =
        fmt::format("only {}: at least 3 are needed to tell an outlier from the rest",
                    plural(group.hosts.size(), "host"));
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

}  // namespace

FleetReport FleetBuilder::finish() const {
  FleetReport report;
  // Documents read and used: those with a run that is in no conflict.
  std::vector<bool> used(documents_, false);
  for (const Kept& run : runs_)
    used[run.document] = used[run.document] || !seen_.in_conflict(run.id);
  report.documents = static_cast<std::size_t>(std::count(used.begin(), used.end(), true));
  report.hosts = hosts_;
  report.problems = problems_;
  report.problems_unlisted = problems_unlisted_;
  for (const std::string& conflict : seen_.conflicts()) {
    if (report.problems.size() < MAX_LISTED_REFUSALS) {
      report.problems.push_back(Problem{"", conflict});
    } else {
      ++report.problems_unlisted;
    }
  }
  report.repeated_runs = repeated_runs_;
  if (options_.since) report.since = utc_text(*options_.since, false).substr(0, 19);
  for (const auto& [name, from_file] : before_since_) {
    const std::string key = (from_file ? "f:" : "h:") + name;
    if (!host_lookup_.contains(key)) report.hosts_before_since.push_back(name);
  }
  report.model_notes = model_notes();
  std::vector<Group> groups = host_figures(report.hosts);
  // A group or host whose every run was in conflict is none.
  std::erase_if(groups, [](const Group& group) { return group.hosts.empty(); });
  std::erase_if(report.hosts, [](const HostSummary& host) { return host.runs == 0; });
  for (Group& group : groups) judge(group);
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
