#include "store/history.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <nlohmann/json.hpp>
#include <set>
#include <thread>
#include <tuple>
#include <utility>

#include "store/database.hpp"
#include "util/json.hpp"
#include "util/text.hpp"
#include "util/utc_time.hpp"

namespace tarnwick {
namespace {

using Json = nlohmann::ordered_json;

// Each entry takes the schema from the version before it to the next one;
// a store is migrated by running the entries past its user_version.
constexpr std::array<std::string_view, HISTORY_SCHEMA_VERSION> MIGRATIONS = {
    R"sql(
CREATE TABLE documents (
  doc INTEGER PRIMARY KEY,
  schema_version INTEGER NOT NULL,
  host TEXT NOT NULL,              -- '' when the document does not say
  timestamp TEXT,
  library_version TEXT NOT NULL,
  cpu_model TEXT,
  arch TEXT,
  stored TEXT NOT NULL,            -- when this history received it, UTC
  json TEXT NOT NULL               -- the document with an empty "runs" array
);
CREATE TABLE runs (
  key INTEGER PRIMARY KEY,
  id TEXT NOT NULL UNIQUE,
  doc INTEGER NOT NULL REFERENCES documents(doc) ON DELETE CASCADE,
  host TEXT NOT NULL,
  label TEXT NOT NULL,
  repetition INTEGER NOT NULL,
  threads INTEGER NOT NULL,
  library_version TEXT NOT NULL,
  cpu_model TEXT,
  arch TEXT,
  started TEXT NOT NULL,
  status INTEGER NOT NULL,
  mean REAL,
  cv REAL,
  unstable INTEGER NOT NULL,
  json TEXT NOT NULL               -- the run, its "samples" emptied when kept below
);
-- Untyped columns keep each number as written: an integer stays an integer.
CREATE TABLE samples (
  run INTEGER NOT NULL REFERENCES runs(key) ON DELETE CASCADE,
  idx INTEGER NOT NULL,
  time, duration, operations, rate,
  PRIMARY KEY (run, idx)
) WITHOUT ROWID;
CREATE INDEX runs_by_document ON runs(doc);
CREATE INDEX runs_by_time ON runs(started);
CREATE INDEX runs_by_host ON runs(host, started);
CREATE INDEX runs_by_label ON runs(label, started);
CREATE INDEX runs_by_series ON runs(host, label, started);
CREATE INDEX runs_by_baseline ON runs(host, label, threads, library_version, started);
)sql",
    R"sql(
-- Runs removed with --delete: an import of their document leaves them out.
CREATE TABLE deleted (
  id TEXT PRIMARY KEY,
  deleted TEXT NOT NULL            -- when, UTC
) WITHOUT ROWID;
)sql",
};

constexpr std::array<std::string_view, 3> TABLES = {"documents", "runs", "samples"};
constexpr size_t MIN_PREFIX = 8;

// Thrown inside this file only; every public method turns it into text.
struct Refusal {
  std::string text;
  bool damaged = false;      // may be a writer caught mid-checkpoint: worth a second look
  bool unavailable = false;  // the file or its folder cannot be read or written here
};

std::string named(const std::string& path) { return fmt::format("'{}'", printable(path)); }

[[noreturn]] void refuse(const std::string& path, std::string_view why) {
  throw Refusal{fmt::format("history {}: {}; it was left unchanged", named(path), why)};
}

[[noreturn]] void refuse_damaged(const std::string& path, std::string_view why) {
  throw Refusal{
      fmt::format("history {}: it is damaged ({}); it was left unchanged", named(path), why), true};
}

bool unavailable(const DatabaseError& error) {
  const int system = error.system_errno;
  switch (error.code) {
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
    case SQLITE_FULL:
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_CANTOPEN:
    case SQLITE_IOERR:
      return true;
    default:
      return system == ENOSPC || system == EDQUOT || system == EROFS || system == EACCES;
  }
}

std::string database_message(const std::string& path, const DatabaseError& error,
                             std::chrono::milliseconds wait) {
  const int system = error.system_errno;
  const std::string because =
      system != 0 ? fmt::format("{}: {}", error.what(), std::strerror(system)) : error.what();
  if (error.code == SQLITE_FULL || system == ENOSPC || system == EDQUOT) {
    return fmt::format("history {}: the disk is full ({}); nothing was stored", named(path),
                       because);
  }
  switch (error.code) {
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
      return fmt::format("history {} is damaged ({}); it was left unchanged", named(path), because);
    case SQLITE_BUSY:
      return fmt::format("history {} stayed locked by another process for {} ({})", named(path),
                         wait.count() % 1000 == 0 ? fmt::format("{} s", wait.count() / 1000)
                                                  : fmt::format("{} ms", wait.count()),
                         because);
    case SQLITE_READONLY:
    case SQLITE_PERM:
    case SQLITE_CANTOPEN:
    case SQLITE_IOERR:
      return fmt::format("history {}: cannot write it ({}); nothing was stored", named(path),
                         because);
    default:
      return fmt::format("history {}: {}", named(path), because);
  }
}

uint32_t big_endian(const unsigned char* bytes) {
  return (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
         uint32_t{bytes[3]};
}

bool exists(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0;
}

enum class FileState { absent, empty, history };

// What the file is, from its first 100 bytes read as plain bytes: nothing
// here can change the file. Refuses what is not a tarnwick history.
std::pair<FileState, int> inspect(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    if (errno == ENOENT) return {FileState::absent, 0};
    throw Refusal{fmt::format("history {}: cannot read it: {}", named(path), std::strerror(errno)),
                  false, true};
  }
  struct stat info {};
  std::array<unsigned char, 100> header{};
  ssize_t got = -1;
  if (::fstat(fd, &info) == 0 && !S_ISDIR(info.st_mode)) {
    got = ::pread(fd, header.data(), header.size(), 0);
  } else if (S_ISDIR(info.st_mode)) {
    errno = EISDIR;
  }
  const int read_errno = errno;
  ::close(fd);
  if (got < 0) {
    throw Refusal{
        fmt::format("history {}: cannot read it: {}", named(path), std::strerror(read_errno))};
  }
  if (info.st_size == 0) return {FileState::empty, 0};
  constexpr std::string_view MAGIC{"SQLite format 3\0", 16};
  if (got < static_cast<ssize_t>(header.size()) ||
      std::memcmp(header.data(), MAGIC.data(), MAGIC.size()) != 0) {
    refuse(path, "it is not a tarnwick history (not an SQLite database)");
  }
  if (static_cast<int32_t>(big_endian(&header[68])) != HISTORY_APPLICATION_ID) {
    refuse(path, "it is not a tarnwick history (an SQLite database of another program)");
  }
  const auto version = static_cast<int32_t>(big_endian(&header[60]));
  if (version > HISTORY_SCHEMA_VERSION) {
    refuse(path, fmt::format("it was written by a newer tarnwick (history version {}, this "
                             "program knows versions up to {})",
                             version, HISTORY_SCHEMA_VERSION));
  }
  const uint32_t raw_page = (uint32_t{header[16]} << 8) | header[17];
  const uint32_t page_size = raw_page == 1 ? 65536 : raw_page;
  if (page_size < 512 || (page_size & (page_size - 1)) != 0) {
    refuse_damaged(path, "its header names no valid page size");
  }
  const auto size = static_cast<uint64_t>(info.st_size);
  const uint64_t pages = big_endian(&header[28]);
  const bool pages_valid = big_endian(&header[24]) == big_endian(&header[92]);
  if (size % page_size != 0 ||
      (pages_valid && size < pages * page_size && !exists(path + "-wal"))) {
    refuse_damaged(path, "truncated");
  }
  return {FileState::history, version};
}

// The schema this program makes at `version`: every table, index, view and
// trigger, as SQLite records it.
std::set<std::tuple<std::string, std::string, std::string, std::string>> read_schema(Database& db) {
  std::set<std::tuple<std::string, std::string, std::string, std::string>> schema;
  Statement rows = db.prepare("SELECT type, name, tbl_name, sql FROM sqlite_master");
  while (rows.step()) {
    schema.emplace(rows.text(0), rows.text(1), rows.text(2), rows.text(3));
  }
  return schema;
}

const std::set<std::tuple<std::string, std::string, std::string, std::string>>& own_schema(
    int version) {
  static std::array<
      std::optional<std::set<std::tuple<std::string, std::string, std::string, std::string>>>,
      HISTORY_SCHEMA_VERSION + 1>
      made;
  auto& schema = made.at(static_cast<size_t>(version));
  if (!schema) {
    Database memory(":memory:", SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
    for (size_t step = 0; step < static_cast<size_t>(version); ++step) {
      memory.execute(MIGRATIONS[step]);
    }
    schema = read_schema(memory);
  }
  return *schema;
}

// A trigger, view, table or index the program did not make could run or
// change anything on the next write: such a file is refused before one.
// SQLite's own tables (statistics, sequences) and indexes are allowed.
void check_own_schema(Database& db, const std::string& path, int64_t version) {
  if (version < 0 || version > HISTORY_SCHEMA_VERSION) return;
  const auto& own = own_schema(static_cast<int>(version));
  for (const auto& entry : read_schema(db)) {
    const auto& [type, name, table, sql] = entry;
    const bool sqlite_own =
        name.rfind("sqlite_", 0) == 0 && (type == "table" || (type == "index" && sql.empty()));
    if (own.count(entry) == 0 && !sqlite_own) {
      throw Refusal{
          fmt::format("history {}: not a tarnwick history or modified (its schema has "
                      "{} '{}' that this program did not make); it was left unchanged",
                      named(path), type, printable(name))};
    }
  }
  const auto present = read_schema(db);
  for (const auto& entry : own) {
    if (present.count(entry) == 0) {
      throw Refusal{
          fmt::format("history {}: not a tarnwick history or modified ({} '{}' is "
                      "missing or changed); it was left unchanged",
                      named(path), std::get<0>(entry), std::get<1>(entry))};
    }
  }
}

// Reads the schema through a connection that can neither write nor create a
// journal, WAL or shared-memory file: a damaged file stays as it was. When a
// WAL exists, a process has the history open (or stopped with it open); the
// file may then change under an unlocked read, so the read takes SQLite's
// locks and sees one consistent state, WAL included.
void check_schema(const std::string& path, int version, std::chrono::milliseconds wait) {
  try {
    const bool in_use = exists(path + "-wal");
    Database db(file_uri(path, in_use ? "mode=ro" : "mode=ro&immutable=1"),
                SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
    sqlite3_busy_timeout(db.handle(), static_cast<int>(wait.count()));
    Statement tables = db.prepare(
        "SELECT count(*) FROM sqlite_master WHERE type = 'table' AND name IN "
        "('documents', 'runs', 'samples')");
    tables.step();
    if (version >= 1 && tables.integer(0) != static_cast<int64_t>(TABLES.size())) {
      refuse_damaged(path, "tables are missing");
    }
    if (version >= 2 &&
        db.single_integer("SELECT count(*) FROM sqlite_master WHERE name = 'deleted'") != 1) {
      refuse_damaged(path, "the table of deleted runs is missing");
    }
    // Reaching the last row of each table walks the pages a write would.
    for (const std::string_view table : TABLES) {
      Statement last = db.prepare(fmt::format("SELECT * FROM {} ORDER BY 1 DESC LIMIT 1", table));
      last.step();
    }
    check_own_schema(db, path, version);
  } catch (const DatabaseError& error) {
    if (error.code == SQLITE_CORRUPT || error.code == SQLITE_NOTADB) {
      refuse_damaged(path, error.what());
    }
    throw;
  }
}

// A history named through a symbolic link is the file it points to, found
// once: its WAL and shared-memory files are beside that file, where every
// process using it looks for them.
std::string resolved(const std::string& path) {
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return path;
  char* real = ::realpath(path.c_str(), nullptr);
  if (real == nullptr) {
    throw Refusal{fmt::format("history {}: a symbolic link to nothing ({})", named(path),
                              std::strerror(errno))};
  }
  std::string target(real);
  std::free(real);
  return target;
}

// Creates the directories above `path` as needed.
void make_parents(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    const std::string directory = path.substr(0, slash);
    if (::mkdir(directory.c_str(), 0777) != 0 && errno != EEXIST) {
      throw Refusal{fmt::format("history {}: cannot create the directory '{}': {}", named(path),
                                directory, std::strerror(errno)),
                    false, true};
    }
  }
}

// Waits for a lock in short steps, so that a process saving a run takes
// the history in the gap between two batches of an import (SQLite's own
// handler sleeps up to 100 ms between tries and can miss every gap).
// The wait, in milliseconds, rides in the handler's pointer.
int wait_for_lock(void* wait_ms, int tries) {
  constexpr int STEP_MS = 2;
  if (static_cast<int64_t>(tries) * STEP_MS >= reinterpret_cast<intptr_t>(wait_ms)) return 0;
  std::this_thread::sleep_for(std::chrono::milliseconds(STEP_MS));
  return 1;
}

void configure(Database& db, std::chrono::milliseconds wait) {
  sqlite3_busy_handler(db.handle(), wait_for_lock,
                       reinterpret_cast<void*>(static_cast<intptr_t>(wait.count())));
  db.execute("PRAGMA foreign_keys = ON; PRAGMA synchronous = NORMAL;");
}

// Brings the schema to this program's version, in one transaction that also
// settles a race between processes creating the same new file.
void migrate(Database& db, const std::string& path) {
  db.execute("BEGIN IMMEDIATE");
  try {
    const int64_t application = db.single_integer("PRAGMA application_id");
    const int64_t version = db.single_integer("PRAGMA user_version");
    const bool blank = db.single_integer("SELECT count(*) FROM sqlite_master") == 0;
    if (application != HISTORY_APPLICATION_ID && !(application == 0 && version == 0 && blank)) {
      refuse(path, "it is not a tarnwick history (an SQLite database of another program)");
    }
    if (version > HISTORY_SCHEMA_VERSION) {
      refuse(path, fmt::format("it was written by a newer tarnwick (history version {})", version));
    }
    // Again under the write lock: the file may have changed since it was
    // checked read-only.
    check_own_schema(db, path, version);
    if (version == HISTORY_SCHEMA_VERSION) {
      db.execute("COMMIT");
      return;
    }
    db.execute(fmt::format("PRAGMA application_id = {}", HISTORY_APPLICATION_ID));
    for (auto step = static_cast<size_t>(version); step < MIGRATIONS.size(); ++step) {
      db.execute(MIGRATIONS[step]);
    }
    db.execute(fmt::format("PRAGMA user_version = {}", HISTORY_SCHEMA_VERSION));
    db.execute("COMMIT");
  } catch (...) {
    sqlite3_exec(db.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
    throw;
  }
  // WAL lets readers and a writer work at once; set after the first commit
  // so the header that marks the file as ours is on disk before anything.
  Statement mode = db.prepare("PRAGMA journal_mode = WAL");
  mode.step();
}

// RAII for a write transaction: rolled back unless committed.
class Transaction {
 public:
  explicit Transaction(Database& db) : db_(db) { db_.execute("BEGIN IMMEDIATE"); }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  ~Transaction() {
    if (!done_) sqlite3_exec(db_.handle(), "ROLLBACK", nullptr, nullptr, nullptr);
  }
  void commit() {
    db_.execute("COMMIT");
    done_ = true;
  }

 private:
  Database& db_;
  bool done_ = false;
};

constexpr std::array<std::string_view, 4> SAMPLE_KEYS = {"time", "duration", "operations", "rate"};

Json number_at(const Statement& statement, int column) {
  if (statement.type(column) == SQLITE_INTEGER) {
    const int64_t value = statement.integer(column);
    return value >= 0 ? Json(static_cast<uint64_t>(value)) : Json(value);
  }
  return Json(statement.real(column));
}

ListedRun listed_run(const Statement& row) {
  ListedRun run;
  run.id = row.text(0);
  run.started = row.text(1);
  run.host = row.text(2);
  run.label = row.text(3);
  run.threads = static_cast<uint32_t>(row.integer(4));
  run.library_version = row.text(5);
  // An unknown number reads back as a status whose name is "unknown".
  run.status = static_cast<Status>(row.integer(6));
  run.mean_rate = row.optional_real(7);
  run.cv_percent = row.optional_real(8);
  run.unstable = row.integer(9) != 0;
  run.cpu_model = row.optional_text(10);
  run.arch = row.optional_text(11);
  return run;
}

constexpr std::string_view LISTED_COLUMNS =
    "id, started, host, label, threads, library_version, status, mean, cv, unstable, cpu_model, "
    "arch";

// Ids are letters and digits: nothing a GLOB pattern would read as a wildcard.
bool plain_id(const std::string& id) {
  return !id.empty() && std::all_of(id.begin(), id.end(), [](char c) {
    return std::isalnum(static_cast<unsigned char>(c)) != 0;
  });
}

// Stores documents inside the caller's transaction, one statement each,
// prepared once.
class Inserter {
 public:
  Inserter(Database& db, std::string stored)
      : db_(db),
        stored_(std::move(stored)),
        known_(db.prepare("SELECT 1 FROM runs WHERE id = ?1")),
        deleted_(db.prepare("SELECT 1 FROM deleted WHERE id = ?1")),
        insert_document_(db.prepare(
            "INSERT INTO documents (schema_version, host, timestamp, library_version, cpu_model, "
            "arch, stored, json) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)")),
        insert_run_(db.prepare(
            "INSERT INTO runs (id, doc, host, label, repetition, threads, library_version, "
            "cpu_model, arch, started, status, mean, cv, unstable, json) "
            "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15)")),
        insert_sample_(
            db.prepare("INSERT INTO samples (run, idx, time, duration, operations, rate) "
                       "VALUES (?1, ?2, ?3, ?4, ?5, ?6)")) {}

  void add(const DocumentEntry& document, SaveCounts& counts) {
    std::vector<const RunEntry*> fresh;
    std::set<std::string_view> seen;
    for (const RunEntry& run : document.runs) {
      if (!stored_run_id(run.id)) {
        throw Refusal{
            fmt::format("'{}' is not a run id this program writes; nothing of its "
                        "document was stored",
                        printable(run.id))};
      }
      // Runs already stored are skipped, and deleted ones left out, for
      // save and import alike.
      known_.reset();
      known_.bind(1, run.id);
      deleted_.reset();
      deleted_.bind(1, run.id);
      if (known_.step() || !seen.insert(run.id).second) {
        ++counts.skipped;
      } else if (deleted_.step()) {
        ++counts.deleted;  // removed with --delete: left out until undeleted
      } else {
        fresh.push_back(&run);
      }
    }
    if (fresh.empty()) return;
    const std::string host = document.hostname.value_or("");
    insert_document_.reset();
    insert_document_.bind(1, int64_t{document.schema_version})
        .bind(2, host)
        .bind(3, document.timestamp)
        .bind(4, document.library_version)
        .bind(5, document.cpu_model)
        .bind(6, document.arch)
        .bind(7, stored_)
        .bind(8, document.json);
    insert_document_.step();
    const int64_t doc = sqlite3_last_insert_rowid(db_.handle());
    for (const RunEntry* run : fresh) {
      insert_run_.reset();
      insert_run_.bind(1, run->id)
          .bind(2, doc)
          .bind(3, host)
          .bind(4, run->label)
          .bind(5, int64_t{run->repetition})
          .bind(6, int64_t{run->threads})
          .bind(7, document.library_version)
          .bind(8, document.cpu_model)
          .bind(9, document.arch)
          .bind(10, run->started.value_or(document.timestamp.value_or(stored_)))
          .bind(11, int64_t{static_cast<uint32_t>(run->status)})
          .bind(12, run->mean_rate)
          .bind(13, run->cv_percent)
          .bind(14, int64_t{run->unstable ? 1 : 0})
          .bind(15, run->json);
      insert_run_.step();
      const int64_t key = sqlite3_last_insert_rowid(db_.handle());
      const size_t samples = std::min(
          {run->times.size(), run->durations.size(), run->operations.size(), run->rates.size()});
      for (size_t index = 0; index < samples; ++index) {
        insert_sample_.reset();
        insert_sample_.bind(1, key)
            .bind(2, static_cast<int64_t>(index))
            .bind(3, run->times[index])
            .bind(4, run->durations[index])
            .bind(5, run->operations[index])
            .bind(6, run->rates[index]);
        insert_sample_.step();
      }
      ++counts.stored;
    }
  }

 private:
  Database& db_;
  std::string stored_;
  Statement known_, deleted_, insert_document_, insert_run_, insert_sample_;
};

template <typename Body>
auto classified(const std::string& path, std::chrono::milliseconds wait, Body body)
    -> std::variant<decltype(body()), WriteFailure> {
  try {
    return body();
  } catch (const Refusal& refusal) {
    return WriteFailure{refusal.text, refusal.unavailable};
  } catch (const DatabaseError& error) {
    return WriteFailure{database_message(path, error, wait), unavailable(error)};
  } catch (const std::exception& error) {
    return WriteFailure{fmt::format("history {}: {}", named(path), error.what())};
  }
}

template <typename Body>
auto guarded(const std::string& path, std::chrono::milliseconds wait, Body body)
    -> std::variant<decltype(body()), std::string> {
  auto outcome = classified(path, wait, std::move(body));
  if (auto* failure = std::get_if<WriteFailure>(&outcome)) return std::move(failure->text);
  return std::get<0>(std::move(outcome));
}

}  // namespace

bool stored_run_id(std::string_view id) {
  if (!id.empty() && id.front() == 'h') id.remove_prefix(1);
  return id.size() == 32 && std::all_of(id.begin(), id.end(), [](char c) {
           return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f');
         });
}

History::History(std::string path, std::unique_ptr<Database> db, std::chrono::milliseconds wait)
    : path_(std::move(path)), wait_(wait), db_(std::move(db)) {}
History::History(History&&) noexcept = default;
History& History::operator=(History&&) noexcept = default;
History::~History() = default;

std::variant<History, std::string> History::open(const std::string& path, Access access,
                                                 std::chrono::milliseconds wait) {
  if (access == Access::write) {
    auto opened = open_for_writing(path, wait);
    if (auto* failure = std::get_if<WriteFailure>(&opened)) return std::move(failure->text);
    return std::get<History>(std::move(opened));
  }
  auto opened = classified(path, wait, [&] { return open_checked(path, access, wait); });
  if (auto* failure = std::get_if<WriteFailure>(&opened)) return std::move(failure->text);
  return std::get<History>(std::move(opened));
}

std::variant<History, WriteFailure> History::open_for_writing(const std::string& path,
                                                              std::chrono::milliseconds wait) {
  return classified(path, wait, [&] { return open_checked(path, Access::write, wait); });
}

History History::open_checked(const std::string& given, Access access,
                              std::chrono::milliseconds wait) {
  const std::string path = resolved(given);
  // A writer that checkpoints or removes its WAL while the file is looked
  // at can make it seem damaged for a moment: a damaged file is one that
  // still looks damaged a little later.
  FileState state = FileState::absent;
  int version = 0;
  for (int attempt = 1;; ++attempt) {
    try {
      std::tie(state, version) = inspect(path);
      if (state == FileState::history) check_schema(path, version, wait);
      break;
    } catch (const Refusal& refusal) {
      if (!refusal.damaged || attempt == 3) throw;
      std::this_thread::sleep_for(std::chrono::milliseconds(25 * attempt));
    }
  }
  // A store of an older version is migrated even to be read.
  const bool writing =
      access == Access::write || (state == FileState::history && version < HISTORY_SCHEMA_VERSION);
  if (!writing) {
    if (state != FileState::history) return History(path, nullptr, wait);
    // A history that cannot be written to (its file or its directory) is
    // read without locking when no writer has left a WAL behind.
    const std::string directory = path.find('/') == std::string::npos
                                      ? std::string(".")
                                      : path.substr(0, std::max<size_t>(path.rfind('/'), 1));
    if (::access(path.c_str(), W_OK) != 0 || ::access(directory.c_str(), W_OK) != 0) {
      const bool wal = exists(path + "-wal");
      auto db = std::make_unique<Database>(file_uri(path, wal ? "mode=ro" : "mode=ro&immutable=1"),
                                           SQLITE_OPEN_READONLY | SQLITE_OPEN_URI);
      configure(*db, wait);
      return History(path, std::move(db), wait);
    }
    auto db = std::make_unique<Database>(path, SQLITE_OPEN_READWRITE);
    configure(*db, wait);
    return History(path, std::move(db), wait);
  }
  if (state == FileState::absent) make_parents(path);
  int flags = SQLITE_OPEN_READWRITE;
  if (state != FileState::history) flags |= SQLITE_OPEN_CREATE;
  auto db = std::make_unique<Database>(path, flags);
  configure(*db, wait);
  migrate(*db, path);
  return History(path, std::move(db), wait);
}

std::variant<SaveCounts, std::string> History::save(const std::vector<DocumentEntry>& documents) {
  auto outcome = store(documents);
  if (auto* failure = std::get_if<WriteFailure>(&outcome)) return std::move(failure->text);
  return std::get<SaveCounts>(outcome);
}

std::variant<SaveCounts, WriteFailure> History::store(const std::vector<DocumentEntry>& documents) {
  return classified(path_, wait_, [&] {
    SaveCounts counts;
    Transaction transaction(*db_);
    Inserter inserter(*db_, utc_text(utc_now(), true));
    for (const DocumentEntry& document : documents) inserter.add(document, counts);
    transaction.commit();
    return counts;
  });
}

std::optional<std::string> History::import(
    const std::function<std::optional<DocumentEntry>()>& next, SaveCounts& counts) {
  using Clock = std::chrono::steady_clock;
  auto outcome = guarded(path_, wait_, [&] {
    std::optional<DocumentEntry> document = next();
    while (document) {
      SaveCounts batch;
      {
        Transaction transaction(*db_);
        Inserter inserter(*db_, utc_text(utc_now(), true));
        const auto until = Clock::now() + std::chrono::milliseconds(IMPORT_BATCH_MS);
        do {
          inserter.add(*document, batch);
          document = next();
        } while (document && Clock::now() < until);
        transaction.commit();
      }
      counts.stored += batch.stored;
      counts.skipped += batch.skipped;
      counts.deleted += batch.deleted;
      // A breath between batches, for a process waiting to save its run.
      if (document) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
  });
  if (auto* failure = std::get_if<std::string>(&outcome)) return *failure;
  return std::nullopt;
}

std::variant<HistoryListing, std::string> History::list(const HistoryFilter& filter) {
  return guarded(path_, wait_, [&] {
    HistoryListing listing;
    if (!db_) return listing;
    // One statement per filter, so each is served by its own index.
    std::string where;
    if (filter.host && filter.label) {
      where = "WHERE host = ?1 AND label = ?2";
    } else if (filter.host) {
      where = "WHERE host = ?1";
    } else if (filter.label) {
      where = "WHERE label = ?2";
    }
    const auto bind_filter = [&](Statement& statement) {
      if (filter.host) statement.bind(1, *filter.host);
      if (filter.label) statement.bind(2, *filter.label);
    };
    Statement count = db_->prepare(fmt::format("SELECT count(*) FROM runs {}", where));
    bind_filter(count);
    count.step();
    listing.total = count.integer(0);

    Statement latest = db_->prepare(fmt::format(
        "SELECT {} FROM runs {} ORDER BY started DESC, key DESC LIMIT ?3", LISTED_COLUMNS, where));
    bind_filter(latest);
    latest.bind(3, filter.last);
    while (latest.step()) listing.runs.push_back(listed_run(latest));
    std::reverse(listing.runs.begin(), listing.runs.end());

    Statement means = db_->prepare(
        "SELECT mean FROM runs WHERE host = ?1 AND label = ?2 AND mean IS NOT NULL "
        "ORDER BY started DESC, key DESC LIMIT ?3");
    for (const ListedRun& run : listing.runs) {
      const bool known =
          std::any_of(listing.series.begin(), listing.series.end(), [&](const Series& series) {
            return series.host == run.host && series.label == run.label;
          });
      if (known) continue;
      Series series{run.host, run.label, {}};
      means.reset();
      means.bind(1, run.host).bind(2, run.label).bind(3, SERIES_LENGTH);
      while (means.step()) series.means.push_back(means.real(0));
      std::reverse(series.means.begin(), series.means.end());
      listing.series.push_back(std::move(series));
    }
    return listing;
  });
}

std::variant<size_t, std::string> History::remove(const std::vector<std::string>& ids) {
  return guarded(path_, wait_, [&]() -> size_t {
    if (!db_) throw Refusal{fmt::format("history {} holds no runs yet", named(path_))};
    Transaction transaction(*db_);
    Statement find = db_->prepare("SELECT key, id, doc FROM runs WHERE id GLOB ?1 LIMIT 2");
    Statement exact = db_->prepare("SELECT key, id, doc FROM runs WHERE id = ?1 LIMIT 2");
    Statement drop = db_->prepare("DELETE FROM runs WHERE key = ?1");
    Statement orphan = db_->prepare(
        "DELETE FROM documents WHERE doc = ?1 AND NOT EXISTS "
        "(SELECT 1 FROM runs WHERE doc = ?1)");
    Statement remember =
        db_->prepare("INSERT OR REPLACE INTO deleted (id, deleted) VALUES (?1, ?2)");
    const std::string now = utc_text(utc_now(), true);
    size_t removed = 0;
    for (const std::string& id : ids) {
      const bool plain = !id.empty() && std::all_of(id.begin(), id.end(), [](char c) {
        return std::isalnum(static_cast<unsigned char>(c)) != 0;
      });
      if (id.empty()) throw Refusal{"--delete: an empty run id"};
      // An id of other characters (stored by an older program) is matched
      // exactly, so every stored run can be removed.
      Statement& lookup = plain ? find : exact;
      lookup.reset();
      lookup.bind(1, plain && id.size() < 32 ? id + "*" : id);
      std::vector<std::pair<int64_t, int64_t>> found;
      std::string full;
      while (lookup.step()) {
        found.emplace_back(lookup.integer(0), lookup.integer(2));
        full = lookup.text(1);
      }
      if (found.empty() || (found.size() == 1 && id.size() < MIN_PREFIX && full != id)) {
        throw Refusal{fmt::format("--delete: no stored run has the id '{}'{}; nothing was removed",
                                  printable(id),
                                  id.size() < MIN_PREFIX && !found.empty()
                                      ? fmt::format(" (give at least {} characters)", MIN_PREFIX)
                                      : "")};
      }
      if (found.size() > 1) {
        throw Refusal{fmt::format(
            "--delete: '{}' names more than one stored run; give more of the id", printable(id))};
      }
      drop.reset();
      drop.bind(1, found[0].first);
      drop.step();
      removed += static_cast<size_t>(db_->changes());
      orphan.reset();
      orphan.bind(1, found[0].second);
      orphan.step();
      remember.reset();
      remember.bind(1, full).bind(2, now);
      remember.step();
    }
    transaction.commit();
    return removed;
  });
}

std::variant<size_t, std::string> History::undelete(const std::vector<std::string>& ids) {
  return guarded(path_, wait_, [&]() -> size_t {
    if (!db_) throw Refusal{fmt::format("history {} holds no deleted runs", named(path_))};
    Transaction transaction(*db_);
    Statement find = db_->prepare("SELECT id FROM deleted WHERE id GLOB ?1 LIMIT 2");
    Statement forget = db_->prepare("DELETE FROM deleted WHERE id = ?1");
    size_t forgotten = 0;
    for (const std::string& id : ids) {
      if (!plain_id(id)) throw Refusal{fmt::format("--undelete: '{}' is not a run id", id)};
      find.reset();
      find.bind(1, id.size() < 32 ? id + "*" : id);
      std::vector<std::string> found;
      while (find.step()) found.push_back(find.text(0));
      if (found.size() > 1) {
        throw Refusal{fmt::format(
            "--undelete: '{}' names more than one deleted run; give more of the id", id)};
      }
      if (found.empty() || (id.size() < MIN_PREFIX && found[0] != id)) {
        throw Refusal{
            fmt::format("--undelete: no deleted run has the id '{}'{}; nothing was changed", id,
                        id.size() < MIN_PREFIX && !found.empty()
                            ? fmt::format(" (give at least {} characters)", MIN_PREFIX)
                            : "")};
      }
      forget.reset();
      forget.bind(1, found[0]);
      forget.step();
      forgotten += static_cast<size_t>(db_->changes());
    }
    transaction.commit();
    return forgotten;
  });
}

std::optional<std::string> History::export_documents(
    const std::function<bool(const std::string& line)>& line) {
  auto outcome = guarded(path_, wait_, [&] {
    if (!db_) return true;
    // One read transaction: the export is one consistent picture.
    db_->execute("BEGIN");
    Statement documents = db_->prepare("SELECT doc, json FROM documents ORDER BY doc");
    Statement runs = db_->prepare("SELECT key, id, json FROM runs WHERE doc = ?1 ORDER BY key");
    Statement samples = db_->prepare(
        "SELECT time, duration, operations, rate FROM samples WHERE run = ?1 ORDER BY idx");
    bool going = true;
    while (going && documents.step()) {
      Json document = Json::parse(documents.text(1));
      Json kept = Json::array();
      std::set<std::string> ids;
      runs.reset();
      runs.bind(1, documents.integer(0));
      while (runs.step()) {
        Json run = Json::parse(runs.text(2));
        ids.insert(runs.text(1));
        samples.reset();
        samples.bind(1, runs.integer(0));
        while (samples.step()) {
          Json sample;
          for (int column = 0; column < 4; ++column) {
            sample[std::string(SAMPLE_KEYS[static_cast<size_t>(column)])] =
                number_at(samples, column);
          }
          run["samples"].push_back(std::move(sample));
        }
        kept.push_back(std::move(run));
      }
      document["runs"] = std::move(kept);
      // Warnings about runs that were removed go with them.
      if (document.contains("warnings") && document["warnings"].is_array()) {
        Json warnings = Json::array();
        for (Json& warning : document["warnings"]) {
          const bool gone = warning.is_object() && warning.contains("run") &&
                            warning["run"].is_string() &&
                            ids.count(warning["run"].get<std::string>()) == 0;
          if (!gone) warnings.push_back(std::move(warning));
        }
        document["warnings"] = std::move(warnings);
      }
      going = line(json_line(document));
    }
    db_->execute("COMMIT");
    return going;
  });
  if (auto* failure = std::get_if<std::string>(&outcome)) return *failure;
  return std::nullopt;
}

std::variant<std::vector<ListedRun>, std::string> History::completed_runs(
    const std::optional<std::string>& host, const std::optional<std::string>& label) {
  return guarded(path_, wait_, [&] {
    std::vector<ListedRun> found;
    if (!db_) return found;
    // In the order of runs_by_baseline, so the index serves it.
    Statement runs = db_->prepare(fmt::format(
        "SELECT {} FROM runs WHERE status = 0 AND mean IS NOT NULL AND (?1 IS NULL OR host = ?1) "
        "AND (?2 IS NULL OR label = ?2) ORDER BY host, label, threads, library_version, started, "
        "key",
        LISTED_COLUMNS));
    runs.bind(1, host).bind(2, label);
    while (runs.step()) found.push_back(listed_run(runs));
    return found;
  });
}

std::optional<std::string> History::baseline_candidates(
    const std::string& host, const std::string& label, const std::vector<std::string>& exclude,
    const std::function<bool(BaselineRun)>& take) {
  auto outcome = guarded(path_, wait_, [&] {
    if (!db_) return true;
    // The noise figures are read from the run's and its document's JSON: a
    // comparison judges runs by their mean rates, the samples stay unread.
    Statement runs = db_->prepare(
        fmt::format("SELECT {}, json_extract(json, '$.noise.steal_percent'), "
                    "json_extract(json, '$.noise.other_cpus'), "
                    "(SELECT json_extract(documents.json, '$.host.cpus_available') FROM documents "
                    "WHERE documents.doc = runs.doc), "
                    "coalesce(json_extract(json, '$.noise.in_container'), 0) "
                    "FROM runs WHERE host = ?1 AND label = ?2 AND status = 0 AND mean IS NOT NULL "
                    "ORDER BY started DESC, key DESC",
                    LISTED_COLUMNS));
    runs.bind(1, host).bind(2, label);
    while (runs.step()) {
      BaselineRun run{listed_run(runs), runs.optional_real(12), runs.optional_real(13),
                      runs.optional_real(14), runs.integer(15) != 0};
      if (std::find(exclude.begin(), exclude.end(), run.run.id) != exclude.end()) continue;
      if (!take(std::move(run))) break;
    }
    return true;
  });
  if (auto* failure = std::get_if<std::string>(&outcome)) return *failure;
  return std::nullopt;
}

RunKey run_key(const ListedRun& run) {
  return run_key(run.host, run.label, run.threads, run.library_version, run.arch, run.cpu_model);
}

}  // namespace tarnwick
