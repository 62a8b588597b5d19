// The fleet report: result documents from many machines, sorted into groups
// of comparable runs (same CPU model and architecture, label, worker count
// and library version), each host judged against its group by the robust
// z-score. Documents are added one at a time and only their figures are
// kept, so memory grows with the number of runs, never with the samples.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "document/comparability.hpp"
#include "document/read_documents.hpp"
#include "document/reader.hpp"
#include "util/utc_time.hpp"

namespace tarnwick::fleet {

struct FleetOptions {
  bool all_runs = false;           // every run, not only each host's latest
  std::optional<UtcMillis> since;  // older runs left out, compared as times
};

// A document, or a run inside one, that the report left out, and why.
struct Problem {
  std::string path;
  std::string reason;
};

// One run of a host, for the pages that show a host's runs.
struct RunPoint {
  std::string time;  // UTC, ISO 8601
  double rate = 0.0;
  std::optional<double> cv_percent;
  bool unstable = false;
  bool counted = false;  // part of the host's figure
};

// One host's figure in one group.
struct HostFigure {
  std::string host;
  bool host_from_file = false;  // a 0.0.2 document: the host is the file's name
  std::size_t runs = 0;         // the runs its figure is the median of
  double median_rate = 0.0;
  std::optional<double> median_cv_percent;
  bool unstable = false;    // one of those runs was unstable
  std::string latest;       // time of its latest run (UTC, ISO 8601)
  std::optional<double> z;  // absent when the group cannot judge
  std::string flag;         // "slow", "fast" or empty
  // Every run of the host in this group, oldest first, also those its
  // figure leaves out (older documents without --all-runs).
  std::vector<RunPoint> history;
};

struct Group {
  std::string cpu_model;  // "unknown" when no document said
  std::string arch;       // "unknown" for 0.0.2 documents
  std::string label;
  uint32_t threads = 0;
  std::string library_version;
  double median = 0.0;
  double mad = 0.0;
  std::string no_flags_reason;    // why no host is judged, or empty
  std::vector<HostFigure> hosts;  // slowest first
};

// A flagged host, pointing into the groups.
struct Outlier {
  std::size_t group = 0;
  std::size_t host = 0;
};

struct HostSummary {
  std::string host;
  bool host_from_file = false;
  std::size_t documents = 0;  // documents of this host that were read
  std::size_t runs = 0;       // runs kept (latest only, unless all runs)
  bool unstable = false;
};

struct FleetReport {
  std::size_t documents = 0;  // read and used
  std::vector<HostSummary> hosts;
  std::vector<Group> groups;
  std::vector<Outlier> outliers;      // slowest first, then the fast ones
  std::vector<Problem> problems;      // the first MAX_LISTED_REFUSALS
  std::size_t problems_unlisted = 0;  // those beyond, counted
  // Runs read more than once (a file named twice, a folder and its
  // subfolder, a copied document): each counted once, by its id.
  std::size_t repeated_runs = 0;
  // Hosts whose every run is older than --since, by name.
  std::optional<std::string> since;
  std::vector<std::string> hosts_before_since;
  // CPU models written differently but counted as one, and models that
  // look alike yet are kept apart: one sentence each.
  std::vector<std::string> model_notes;
};

class FleetBuilder {
 public:
  explicit FleetBuilder(FleetOptions options) : options_(options) {}

  // One document's text. `file_time` (UTC, ISO 8601) dates a document that
  // carries no time of its own (0.0.2).
  void add(const std::string& path, std::string_view text, const std::string& file_time);
  // A document already read (one of the many a file may hold).
  void add(const std::string& path, const LoadedDocument& document, const std::string& file_time);
  void add_problem(std::string path, std::string reason);
  // The budget the report's inputs are read within: what is kept of each
  // run is taken from it.
  [[nodiscard]] MemoryBudget& budget() { return budget_; }
  // True once the budget is spent: reading must stop, and the report fail.
  [[nodiscard]] bool over_budget() const { return over_budget_ || seen_.over_budget(); }

  [[nodiscard]] FleetReport finish() const;

 private:
  struct Kept {
    uint32_t host = 0;  // index into hosts_
    uint32_t group = 0;
    uint32_t document = 0;  // order of reading: the tie-breaker of equal times
    std::string time;
    double rate = 0.0;
    std::optional<double> cv;
    bool unstable = false;
    std::string id;  // left out at the end if another document gives it other figures
  };
  struct GroupKey {
    std::string cpu_model, arch, label, library_version;
    uint32_t threads = 0;
    bool operator==(const GroupKey&) const = default;
  };

  uint32_t host_index(const std::string& name, bool from_file);
  uint32_t group_index(GroupKey key);
  // The model's key (blanks collapsed, case folded); remembers its spellings.
  std::string model_key(const std::optional<std::string>& model);
  [[nodiscard]] std::vector<std::string> model_notes() const;
  [[nodiscard]] std::vector<Group> host_figures(std::vector<HostSummary>& hosts) const;

  FleetOptions options_;
  std::vector<HostSummary> hosts_;
  std::unordered_map<std::string, uint32_t> host_lookup_;
  std::vector<GroupKey> groups_;
  std::unordered_map<std::string, uint32_t> group_lookup_;
  std::vector<Kept> runs_;
  std::vector<Problem> problems_;
  std::size_t problems_unlisted_ = 0;
  std::size_t documents_ = 0;
  MemoryBudget budget_;
  bool over_budget_ = false;
  SeenRuns seen_{&budget_};
  std::size_t repeated_runs_ = 0;
  std::set<std::pair<std::string, bool>> before_since_;  // (host, from file)
  // Each model key's spellings, in order of reading (the first is shown).
  std::unordered_map<std::string, std::vector<std::string>> spellings_;
};

}  // namespace tarnwick::fleet
