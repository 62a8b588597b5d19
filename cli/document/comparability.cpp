#include "document/comparability.hpp"

#include <array>
#include <utility>

namespace tarnwick {
namespace {

constexpr std::array<std::pair<Difference, std::string_view>, 5> NAMES{{
    {Difference::label, "label"},
    {Difference::workers, "workers"},
    {Difference::library, "library"},
    {Difference::arch, "arch"},
    {Difference::cpu, "cpu"},
}};

bool blank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\f' || c == '\v';
}

}  // namespace

std::string normalize_model(std::string_view model) {
  std::string key;
  bool space = false;
  for (const char c : model) {
    if (blank(c)) {
      space = true;
      continue;
    }
    if (space && !key.empty()) key += ' ';
    space = false;
    key += (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
  }
  return key;
}

RunKey run_key(const std::string& host, const std::string& label, std::uint32_t threads,
               const std::string& library_version, const std::optional<std::string>& arch,
               const std::optional<std::string>& cpu_model) {
  return RunKey{host,
                label,
                threads,
                library_version,
                arch.value_or(std::string()),
                cpu_model ? normalize_model(*cpu_model) : std::string()};
}

RunKey run_key(const LoadedDocument& document, const LoadedRun& run) {
  return run_key(document.hostname.value_or(std::string()), run.label, run.threads,
                 document.library_version, document.arch, document.cpu_model);
}

Differences differences(const RunKey& a, const RunKey& b) {
  Differences found = 0;
  if (a.label != b.label) found |= bit(Difference::label);
  if (a.threads != b.threads) found |= bit(Difference::workers);
  if (a.library_version != b.library_version) found |= bit(Difference::library);
  if (a.arch != b.arch) found |= bit(Difference::arch);
  if (a.cpu_model != b.cpu_model) found |= bit(Difference::cpu);
  return found;
}

std::vector<std::string_view> difference_names(Differences differences) {
  std::vector<std::string_view> names;
  for (const auto& [which, name] : NAMES) {
    if ((differences & bit(which)) != 0) names.push_back(name);
  }
  return names;
}

std::optional<Differences> parse_differences(std::string_view text, std::string* refused) {
  Differences found = 0;
  while (true) {
    const std::size_t comma = text.find(',');
    const std::string_view name = text.substr(0, comma);
    bool known = false;
    for (const auto& [which, known_name] : NAMES) {
      if (name == known_name && (ACCEPTABLE_DIFFERENCES & bit(which)) != 0) {
        found |= bit(which);
        known = true;
      }
    }
    if (!known) {
      if (refused != nullptr) *refused = std::string(name);
      return std::nullopt;
    }
    if (comma == std::string_view::npos) break;
    text.remove_prefix(comma + 1);
  }
  return found;
}

Disturbance run_disturbance(const LoadedDocument& document, const LoadedRun& run) {
  std::optional<double> cpus;
  if (document.cpus_available && *document.cpus_available > 0) cpus = *document.cpus_available;
  return judge_disturbance(run.other_cpus, run.steal_percent, cpus, run.threads, run.in_container);
}

}  // namespace tarnwick
