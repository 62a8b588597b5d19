// The run history: result documents kept in an SQLite database, one row per
// document (its environment) and per run, with the per-second samples in a
// table of their own. Every run keeps its JSON, so a stored document can be
// written back as it was read.
//
// Safety: a history may come from anyone, so it is trusted only once it is
// known to be ours. Its header is read first as plain bytes (a regular file,
// opened without blocking; our application id; a version this program
// knows; WAL mode; no rollback journal, and nothing but regular files named
// beside it), then its schema, every object of it, is compared with the
// one this program makes, through a connection that can write nothing and
// create nothing beside the file (store/guard_vfs.hpp). Only then is the
// file opened for writing, and the schema is checked again under the write
// lock before every write. A file refused is left byte for byte as it was;
// a command that only reads leaves the file as it was, and nothing new
// beside it once it has ended. Writes are single transactions in WAL mode
// behind a busy timeout: processes saving at once wait for each other and
// lose nothing.
//
// No method throws: failures come back as the text to show the user, which
// names the file.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "document/comparability.hpp"
#include "document/read_documents.hpp"
#include "document/reader.hpp"
#include "tarnwick.hpp"

namespace tarnwick {

class Database;

// The number in the database header that marks a tarnwick history ("TRNW").
inline constexpr int32_t HISTORY_APPLICATION_ID = 0x54524e57;
// The schema version this program writes; older stores are migrated forward
// (by a command that writes, never by one that reads), newer ones refused.
// 2 added the ids of deleted runs, which an import leaves out; 3 what
// competed with each second (the samples' noise) and each run's disturbed
// seconds and window noise.
inline constexpr int HISTORY_SCHEMA_VERSION = 3;

struct SaveCounts {
  size_t stored = 0;
  size_t skipped = 0;  // already in the history, by id
  size_t deleted = 0;  // removed with --delete before: left out until undeleted
};

struct HistoryFilter {
  std::optional<std::string> host;  // "" selects runs of an unknown host
  std::optional<std::string> label;
  int64_t last = 20;
};

// A stored run as the listing shows it.
struct ListedRun {
  std::string id;
  std::string started;  // the run's start, else the document's, else when it was stored
  std::string host;     // "" when the document did not say
  std::string label;
  uint32_t threads = 0;
  std::string library_version;
  Status status = Status::failed;
  std::optional<double> mean_rate, cv_percent;
  bool unstable = false;
  std::optional<std::string> cpu_model, arch;  // the document's
  // Seconds of the run that something else disturbed; absent for a run
  // whose document did not count them.
  std::optional<int64_t> disturbed_seconds;
};

// What a stored run measured, and where: the key of series and baselines.
[[nodiscard]] RunKey run_key(const ListedRun& run);

// The mean rates of the latest completed runs of one host and label,
// oldest first.
struct Series {
  std::string host;
  std::string label;
  std::vector<double> means;
};

struct HistoryListing {
  int64_t total = 0;            // runs that match the filter
  std::vector<ListedRun> runs;  // the latest `last` of them, oldest first
  std::vector<Series> series;   // one per host and label among `runs`
};

// How many runs one series of the listing holds at most.
inline constexpr int64_t SERIES_LENGTH = 30;

// A stored run a baseline may be made of, with its noise record's figures
// and its document's CPUs, which tell whether it was disturbed.
struct BaselineRun {
  ListedRun run;
  std::optional<double> steal_percent, other_cpus, cpus_available;
  bool in_container = false;
};

enum class Access { read, write };

// Where an export's pieces go; returns false to stop (a write failed).
using ExportOutput = std::function<bool(std::string_view piece)>;

// How much text an export gathers before it hands it over.
inline constexpr std::size_t EXPORT_PIECE_BYTES = std::size_t{64} << 10;

// How long a command waits for another process's write to end: an import
// commits in short batches, so a writer seldom waits long.
inline constexpr std::chrono::milliseconds HISTORY_WAIT{10000};

// Why a write did not happen: the message, and whether the history cannot
// take a write now or here (locked past the wait, a full disk, a read-only
// file or folder) rather than refusing it (not a history, damaged, newer).
struct WriteFailure {
  std::string text;
  bool unavailable = false;
};

// What an import's runs meet in the history before anything is stored.
struct StoredCheck {
  // One a run id the history holds with other figures: "run <id>: 'b.json'
  // gives it other figures than the history holds (mean_rate 2 and 1)".
  Refusals conflicts;
  int64_t checked_up_to = 0;  // the last stored run's key when they were compared
};

// Every stored run counts as checked: none is compared as it is met.
inline constexpr int64_t ALL_STORED_CHECKED = std::numeric_limits<int64_t>::max();

// How long one transaction of an import holds the history.
inline constexpr int IMPORT_BATCH_MS = 250;

class History {
 public:
  // Opens the history at `path` after checking it without writing. For
  // writing, a missing file (and its directories) or an empty file is
  // created as a new history; for reading, it is an empty history.
  [[nodiscard]] static std::variant<History, std::string> open(
      const std::string& path, Access access, std::chrono::milliseconds wait = HISTORY_WAIT);
  // The same for writing, telling a history that cannot take a write now
  // from one that refuses it.
  [[nodiscard]] static std::variant<History, WriteFailure> open_for_writing(
      const std::string& path, std::chrono::milliseconds wait = HISTORY_WAIT);
  History(History&&) noexcept;
  History& operator=(History&&) noexcept;
  ~History();

  [[nodiscard]] const std::string& path() const { return path_; }

  // Stores every run whose id is neither stored yet nor deleted, all in one
  // transaction; a document none of whose runs is stored is not kept. The
  // documents are read with samples and keep_json. A failure is told apart
  // as open_for_writing does.
  [[nodiscard]] std::variant<SaveCounts, WriteFailure> save(
      const std::vector<LoadedDocument>& documents);

  // The runs of `seen` that this history holds with other figures (read
  // back from the store and compared field by field, as two documents
  // are), and the last stored run's key at that moment. Reads only.
  [[nodiscard]] std::variant<StoredCheck, std::string> check_stored(const SeenRuns& seen);

  // Stores the documents `next` gives (nullopt: no more) in transactions of
  // about IMPORT_BATCH_MS each, so that a process saving a run meanwhile
  // waits no longer than that. A run stored already is skipped; one stored
  // after `checked_up_to` (since check_stored) is compared first, and one
  // with other figures fails the import. On a failure the batches
  // committed stay stored and `counts` says how many runs they hold: a
  // second import stores the rest.
  [[nodiscard]] std::optional<std::string> import(
      const std::function<std::optional<LoadedDocument>()>& next, SaveCounts& counts,
      int64_t checked_up_to = ALL_STORED_CHECKED);

  [[nodiscard]] std::variant<HistoryListing, std::string> list(const HistoryFilter& filter);

  // Removes the runs named by their ids, or by a prefix of at least 8
  // characters that names one run; nothing is removed unless all are found.
  // Their ids are kept as deleted, so importing them again leaves them out.
  [[nodiscard]] std::variant<size_t, std::string> remove(const std::vector<std::string>& ids);

  // Forgets that the runs named (as for remove) were deleted, so an import
  // stores them again; nothing changes unless all are found.
  [[nodiscard]] std::variant<size_t, std::string> undelete(const std::vector<std::string>& ids);

  // Every stored document as one line of compact JSON, in the order stored,
  // with the runs it still has, handed to `output` in pieces of about
  // EXPORT_PIECE_BYTES (a document's samples are never held whole); `output`
  // returns false to stop (a write failed).
  [[nodiscard]] std::optional<std::string> export_documents(const ExportOutput& output);

  // Every completed run with a mean rate (of host and label, when given),
  // by series (host, label, threads, library version), each in start order:
  // what change points and the history page are drawn from.
  [[nodiscard]] std::variant<std::vector<ListedRun>, std::string> completed_runs(
      const std::optional<std::string>& host, const std::optional<std::string>& label);

  // The completed runs of `host` ("": runs of no known host) and `label`,
  // newest first, leaving out the runs named in `exclude` (the new
  // document's own, if stored): each goes to `take` until it returns false.
  // Whether a run is comparable with the new one is the caller's to judge.
  [[nodiscard]] std::optional<std::string> baseline_candidates(
      const std::string& host, const std::string& label, const std::vector<std::string>& exclude,
      const std::function<bool(BaselineRun)>& take);

 private:
  History(std::string path, std::unique_ptr<Database> db, std::chrono::milliseconds wait,
          int64_t schema_cookie);
  // Throws a Refusal or a DatabaseError; the public openers turn them into text.
  static History open_checked(const std::string& path, Access access,
                              std::chrono::milliseconds wait);
  std::string path_;
  std::chrono::milliseconds wait_;
  std::unique_ptr<Database> db_;  // null: no history file yet (reading only)
  // SQLite's schema cookie when the schema was last checked: a write that
  // finds another one checks the schema again first.
  int64_t schema_cookie_ = 0;
  // The file's version when opened: a reader reads an older history as it
  // is, with the columns a later version added read as null.
  int64_t version_ = HISTORY_SCHEMA_VERSION;
};

}  // namespace tarnwick
