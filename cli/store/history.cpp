#include "store/history.hpp"

#include <fcntl.h>
#include <fmt/format.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <set>
#include <thread>
#include <tuple>
#include <utility>

#include "document/input_file.hpp"
#include "document/run_id.hpp"
#include "store/database.hpp"
#include "store/exporting.hpp"
#include "store/guard_vfs.hpp"
#include "util/text.hpp"
#include "util/utc_time.hpp"

namespace tarnwick {
namespace {

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
    R"sql(
-- What competed with the run second by second, as its document gives it:
-- a sample's disturbed is null when it has no noise, and each figure is
-- null where the machine had no source. A run's disturbed_seconds is its
-- noise record's count. Runs stored before keep that record in their JSON,
-- which fills their count; their seconds' noise was not kept: null.
ALTER TABLE samples ADD COLUMN steal_percent;
ALTER TABLE samples ADD COLUMN other_cpus;
ALTER TABLE samples ADD COLUMN other_cpus_run;
ALTER TABLE samples ADD COLUMN cpu_pressure_percent;
ALTER TABLE samples ADD COLUMN throttled_percent;
ALTER TABLE samples ADD COLUMN throttled_periods;
ALTER TABLE samples ADD COLUMN thermal_events;
ALTER TABLE samples ADD COLUMN frequency_mhz;
ALTER TABLE samples ADD COLUMN disturbed INTEGER;
ALTER TABLE runs ADD COLUMN disturbed_seconds INTEGER;
UPDATE runs SET disturbed_seconds = json_extract(json, '$.noise.disturbed_seconds')
  WHERE json_valid(json) AND json_type(json, '$.noise.disturbed_seconds') = 'integer';
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

// Said only before anything could be written: the file is as it was.
[[noreturn]] void refuse(const std::string& path, std::string_view why) {
  throw Refusal{fmt::format("history {}: {}; it was left unchanged", named(path), why)};
}

[[noreturn]] void refuse_modified(const std::string& path, std::string_view why) {
  refuse(path, fmt::format("not a tarnwick history or modified ({})", why));
}

[[noreturn]] void refuse_damaged(const std::string& path, std::string_view why) {
  throw Refusal{
      fmt::format("history {}: it is damaged ({}); it was left unchanged", named(path), why), true};
}

// "history 'h.db': cannot read it: Permission denied".
[[noreturn]] void cannot(std::string_view what, const std::string& path, int error,
                         bool unavailable = true) {
  throw Refusal{
      fmt::format("history {}: cannot {} it: {}", named(path), what, std::strerror(error)), false,
      unavailable};
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

// The message of a failure met while the history was in use: a write that
// failed was rolled back, but the file's bytes (its WAL) may have moved, so
// it is not called unchanged.
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
      return fmt::format("history {} is damaged ({})", named(path), because);
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

// Whether the file SQLite would use beside the history exists; anything
// there but a regular file (a FIFO would block SQLite, a symbolic link
// would carry its writes elsewhere) is refused.
bool beside(const std::string& path, std::string_view suffix) {
  const std::string name = path + std::string(suffix);
  struct stat info {};
  if (::lstat(name.c_str(), &info) != 0) return false;
  if (!S_ISREG(info.st_mode)) {
    refuse_modified(path,
                    fmt::format("'{}' beside it is {}", printable(name), file_kind(info.st_mode)));
  }
  return true;
}

enum class FileState { absent, empty, history };

struct Inspection {
  FileState state = FileState::absent;
  bool wal = false;       // a WAL lies beside it
  bool shm_live = false;  // and the WAL's index, in use by a process
};

// Whether a process has the WAL's index open: each holds a shared lock on
// its "dead man switch" byte (offset 128 of the index file, where SQLite's
// unix VFS puts it) while it does. An index no process holds is a crashed
// writer's, which SQLite would rebuild in place: it is left as it is.
bool index_in_use(const std::string& path) {
  const int fd = ::open((path + "-shm").c_str(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
  if (fd < 0) return false;
  struct flock probe {};
  probe.l_type = F_WRLCK;
  probe.l_whence = SEEK_SET;
  probe.l_start = 128;
  probe.l_len = 1;
  const bool held = ::fcntl(fd, F_GETLK, &probe) == 0 && probe.l_type != F_UNLCK;
  ::close(fd);
  return held;
}

[[noreturn]] void refuse_version(const std::string& path, int64_t version) {
  if (version > HISTORY_SCHEMA_VERSION) {
    refuse(path, fmt::format("it was written by a newer tarnwick (history version {}, this "
                             "program knows versions up to {})",
                             version, HISTORY_SCHEMA_VERSION));
  }
  refuse_modified(path, fmt::format("history version {}", version));
}

bool known_version(int64_t version) { return version >= 1 && version <= HISTORY_SCHEMA_VERSION; }

// What the file is, from its first 100 bytes read as plain bytes, and what
// lies beside it: nothing here can change a file, or block. Refuses what is
// not a tarnwick history in WAL mode.
Inspection inspect(const std::string& path) {
  Inspection seen;
  struct stat info {};
  if (::lstat(path.c_str(), &info) != 0) {
    if (errno != ENOENT) cannot("read", path, errno);
    // A journal or WAL without its history is someone else's.
    if (beside(path, "-journal") || beside(path, "-wal")) {
      refuse_modified(path, "it is missing, but a journal or WAL of it lies beside it");
    }
    return seen;
  }
  if (!S_ISREG(info.st_mode)) {
    refuse(path, fmt::format("it is not a tarnwick history ({})", file_kind(info.st_mode)));
  }
  // Without O_NONBLOCK a FIFO swapped in since would block the open.
  const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) cannot("read", path, errno);
  std::array<unsigned char, 100> header{};
  ssize_t got = -1;
  if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode)) {
    got = ::pread(fd, header.data(), header.size(), 0);
  } else {
    errno = EINVAL;
  }
  const int read_errno = errno;
  ::close(fd);
  if (got < 0) cannot("read", path, read_errno, false);
  if (beside(path, "-journal")) {
    refuse_modified(path, fmt::format("a rollback journal, which this program never writes, lies "
                                      "beside it: '{}-journal'",
                                      printable(path)));
  }
  seen.wal = beside(path, "-wal");
  seen.shm_live = beside(path, "-shm") && seen.wal && index_in_use(path);
  if (info.st_size == 0) {
    if (seen.wal) refuse_modified(path, "an empty file with a WAL beside it");
    seen.state = FileState::empty;
    return seen;
  }
  constexpr std::string_view MAGIC{"SQLite format 3\0", 16};
  if (got < static_cast<ssize_t>(header.size()) ||
      std::memcmp(header.data(), MAGIC.data(), MAGIC.size()) != 0) {
    refuse(path, "it is not a tarnwick history (not an SQLite database)");
  }
  if (static_cast<int32_t>(big_endian(&header[68])) != HISTORY_APPLICATION_ID) {
    refuse(path, "it is not a tarnwick history (an SQLite database of another program)");
  }
  const auto version = static_cast<int32_t>(big_endian(&header[60]));
  if (!known_version(version)) refuse_version(path, version);
  // Bytes 18 and 19 are 2 in WAL mode, the only one this program writes.
  if (header[18] != 2 || header[19] != 2) {
    refuse_modified(path, "not in WAL mode, the journal mode this program writes");
  }
  const uint32_t raw_page = (uint32_t{header[16]} << 8) | header[17];
  const uint32_t page_size = raw_page == 1 ? 65536 : raw_page;
  if (page_size < 512 || (page_size & (page_size - 1)) != 0) {
    refuse_damaged(path, "its header names no valid page size");
  }
  const auto size = static_cast<uint64_t>(info.st_size);
  const uint64_t pages = big_endian(&header[28]);
  const bool pages_valid = big_endian(&header[24]) == big_endian(&header[92]);
  if (size % page_size != 0 || (pages_valid && size < pages * page_size && !seen.wal)) {
    refuse_damaged(path, "truncated");
  }
  seen.state = FileState::history;
  return seen;
}

using Schema = std::set<std::tuple<std::string, std::string, std::string, std::string>>;

// Every object SQLite records: table, index, view, trigger, its own tables.
Schema read_schema(Database& db) {
  Schema schema;
  Statement rows = db.prepare("SELECT type, name, tbl_name, sql FROM sqlite_schema");
  while (rows.step()) {
    schema.emplace(rows.text(0), rows.text(1), rows.text(2), rows.text(3));
  }
  return schema;
}

// The schema this program makes at `version`, as SQLite records it.
const Schema& own_schema(int64_t version) {
  static std::array<std::optional<Schema>, HISTORY_SCHEMA_VERSION + 1> made;
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

// The history as the connection sees it (its WAL included) is one this
// program made: its id, a version it knows, and exactly the schema of that
// version. Anything else (a trigger, view, virtual table, index or table
// it did not make, SQLite's statistics included) could run or change
// something on a later write, or mislead a reading: refused. Returns the
// version.
int64_t check_own_schema(Database& db, const std::string& path) {
  if (db.single_integer("PRAGMA application_id") != HISTORY_APPLICATION_ID) {
    refuse(path, "it is not a tarnwick history (an SQLite database of another program)");
  }
  const int64_t version = db.single_integer("PRAGMA user_version");
  if (!known_version(version)) refuse_version(path, version);
  const Schema& own = own_schema(version);
  const Schema present = read_schema(db);
  for (const auto& entry : present) {
    if (own.count(entry) == 0) {
      refuse_modified(path,
                      fmt::format("its schema has {} '{}' that this program did not make",
                                  printable(std::get<0>(entry)), printable(std::get<1>(entry))));
    }
  }
  for (const auto& entry : own) {
    if (present.count(entry) == 0) {
      refuse_modified(path, fmt::format("{} '{}' is missing or changed", std::get<0>(entry),
                                        std::get<1>(entry)));
    }
  }
  return version;
}

// Waits for a lock in short steps, so that a process saving a run takes
// the history in the gap between two batches of an import (SQLite's own
// handler sleeps up to 100 ms between tries and can miss every gap).
// The wait, in milliseconds, rides in the handler's pointer.
int wait_for_lock(void* wait_ms, int tries) {
  constexpr int STEP_MS = 2;
  // An integer in SQLite's void* argument, never dereferenced.
  const auto limit = reinterpret_cast<intptr_t>(wait_ms);  // NOLINT(performance-no-int-to-ptr)
  if (static_cast<int64_t>(tries) * STEP_MS >= limit) return 0;
  std::this_thread::sleep_for(std::chrono::milliseconds(STEP_MS));
  return 1;
}

bool exists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

bool writable_here(const std::string& path) {
  const std::string directory = path.find('/') == std::string::npos
                                    ? std::string(".")
                                    : path.substr(0, std::max<size_t>(path.rfind('/'), 1));
  return ::access(path.c_str(), W_OK) == 0 && ::access(directory.c_str(), W_OK) == 0;
}

// A connection closes without a checkpoint until what it sees was checked:
// a WAL planted after the inspection is never copied into the file.
void checkpoint_on_close(Database& db, bool allowed) {
  sqlite3_db_config(db.handle(), SQLITE_DBCONFIG_NO_CKPT_ON_CLOSE, allowed ? 0 : 1, nullptr);
}

// A connection through a guarded VFS that waits `wait` for locks and
// checkpoints nothing until it is allowed to.
std::unique_ptr<Database> connect(const std::string& name, int flags, GuardedAccess access,
                                  std::chrono::milliseconds wait) {
  auto db = std::make_unique<Database>(name, flags, guarded_vfs(access));
  checkpoint_on_close(*db, false);
  sqlite3_busy_handler(db->handle(), wait_for_lock,
                       reinterpret_cast<void*>(  // NOLINT(performance-no-int-to-ptr)
                           static_cast<intptr_t>(wait.count())));
  db->execute("PRAGMA foreign_keys = ON; PRAGMA synchronous = NORMAL;");
  return db;
}

// Opens the history to check it, writing nothing and creating nothing
// beside it, whatever it holds:
// - no WAL: read as immutable, the file alone, exactly as it is;
// - a WAL whose index a process holds: read-only, sharing the index with
//   its writer;
// - a WAL without its index, or with one no process holds (a copied file
//   set, a crashed writer): read-only with the index built in memory
//   (private_shm), so no index file is made or rewritten.
std::unique_ptr<Database> open_checking(const std::string& path, const Inspection& seen,
                                        std::chrono::milliseconds wait) {
  const char* query = !seen.wal       ? "mode=ro&immutable=1"
                      : seen.shm_live ? "mode=ro"
                                      : "mode=ro&private_shm=1";
  return connect(file_uri(path, query), SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, GuardedAccess::read,
                 wait);
}

void rollback(Database& db) { sqlite3_exec(db.handle(), "ROLLBACK", nullptr, nullptr, nullptr); }

// Runs `body` in a transaction opened by `begin`: committed when it
// returns, rolled back when it throws.
template <typename Body>
auto in_transaction(Database& db, std::string_view begin, Body body) -> decltype(body()) {
  db.execute(begin);
  try {
    auto result = body();
    db.execute("COMMIT");
    return result;
  } catch (...) {
    rollback(db);
    throw;
  }
}

// Reads the schema and walks the tables as far as a write would: a damaged
// or planted file is refused before any write. Returns the schema cookie.
int64_t check_history(Database& db, const std::string& path, bool immutable) {
  try {
    return in_transaction(db, "BEGIN", [&] {
      check_own_schema(db, path);
      // The WAL may hold a first page of its own: the mode is asked again
      // (an immutable connection reads the file alone, whose header was read).
      if (!immutable) {
        Statement mode = db.prepare("PRAGMA journal_mode");
        if (mode.step() && mode.text(0) != "wal") {
          refuse_modified(path, fmt::format("journal mode '{}', not WAL", printable(mode.text(0))));
        }
      }
      // Reaching the last row of each table walks the pages a write would.
      for (const std::string_view table : TABLES) {
        Statement last = db.prepare(fmt::format("SELECT * FROM {} ORDER BY 1 DESC LIMIT 1", table));
        last.step();
      }
      return db.single_integer("PRAGMA schema_version");
    });
  } catch (const DatabaseError& error) {
    if (error.code == SQLITE_CORRUPT || error.code == SQLITE_NOTADB) {
      refuse_damaged(path, error.what());
    }
    // The guarded VFSs refuse a rollback journal: one was planted since.
    if (exists(path + "-journal")) {
      refuse_modified(
          path, fmt::format("a rollback journal lies beside it: '{}-journal'", printable(path)));
    }
    throw;
  }
}

// A history without a WAL that this user may write is read, once checked,
// through a read-write connection that writes nothing (query_only): it
// takes SQLite's locks, so it reads consistently while another process
// writes, and the WAL and index it makes are removed when it closes last,
// as every writer's are. It sees what was checked unless the schema moved
// since, in which case it is checked again.
std::unique_ptr<Database> open_reading(const std::string& path, int64_t& cookie,
                                       std::chrono::milliseconds wait) {
  auto db = connect(path, SQLITE_OPEN_READWRITE, GuardedAccess::write, wait);
  db->execute("PRAGMA query_only = 1");
  if (db->single_integer("PRAGMA schema_version") != cookie)
    cookie = check_history(*db, path, false);
  checkpoint_on_close(*db, true);
  return db;
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

// A new history is made whole under a name of its own beside the file
// (its id, version, schema and WAL mode all in place), then put in place in
// one step: no process ever sees a history half made, and one found in
// any other state is not ours. A missing file is linked (a process that
// made one first wins, and its file is used); an empty file is replaced
// under its lock, by the one process that still finds it empty.
void create_history(const std::string& path, FileState state) {
  if (state == FileState::absent) make_parents(path);
  std::string temporary = path + ".new-XXXXXX";
  const int fd = ::mkstemp(temporary.data());
  if (fd < 0) cannot("create", path, errno);
  const mode_t mask = ::umask(0);
  ::umask(mask);
  const bool moded = ::fchmod(fd, 0644 & ~mask) == 0;
  ::close(fd);
  struct Removed {
    const std::string& name;
    ~Removed() { ::unlink(name.c_str()); }
  } removed{temporary};
  if (!moded) cannot("create", path, errno);
  {
    Database made(temporary, SQLITE_OPEN_READWRITE);
    made.execute("BEGIN");
    made.execute(fmt::format("PRAGMA application_id = {}", HISTORY_APPLICATION_ID));
    for (const std::string_view migration : MIGRATIONS) made.execute(migration);
    made.execute(fmt::format("PRAGMA user_version = {}", HISTORY_SCHEMA_VERSION));
    made.execute("COMMIT");
    Statement mode = made.prepare("PRAGMA journal_mode = WAL");
    mode.step();
  }
  if (state == FileState::absent) {
    if (::link(temporary.c_str(), path.c_str()) != 0 && errno != EEXIST)
      cannot("create", path, errno);
    return;
  }
  const int empty = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (empty < 0) cannot("create", path, errno);
  struct stat held {};
  struct stat now {};
  const bool locked = ::flock(empty, LOCK_EX) == 0;
  const bool still_empty = locked && ::fstat(empty, &held) == 0 &&
                           ::stat(path.c_str(), &now) == 0 && held.st_ino == now.st_ino &&
                           held.st_dev == now.st_dev && S_ISREG(held.st_mode) && held.st_size == 0;
  const int error = still_empty && ::rename(temporary.c_str(), path.c_str()) != 0 ? errno : 0;
  ::close(empty);
  if (error != 0) cannot("create", path, error);
}

// Brings the schema to this program's version, under the write lock, after
// checking it again there: the file may have changed since the check.
// Readers cope with every version they accept (a column a later version
// adds is read with a fallback), since only a command that writes
// migrates: a migration is one more entry of MIGRATIONS and one more
// version, run here in the same transaction as the check.
int64_t migrate(Database& db, const std::string& path) {
  return in_transaction(db, "BEGIN IMMEDIATE", [&] {
    const int64_t version = check_own_schema(db, path);
    if (version < HISTORY_SCHEMA_VERSION) {
      for (auto step = static_cast<size_t>(version); step < MIGRATIONS.size(); ++step) {
        db.execute(MIGRATIONS[step]);
      }
      db.execute(fmt::format("PRAGMA user_version = {}", HISTORY_SCHEMA_VERSION));
    }
    return db.single_integer("PRAGMA schema_version");
  });
}

// RAII for a write transaction: rolled back unless committed. The schema
// is checked again under the write lock whenever SQLite's schema cookie
// moved since it was last checked.
class Transaction {
 public:
  Transaction(Database& db, const std::string& path, int64_t& cookie) : db_(db) {
    db_.execute("BEGIN IMMEDIATE");
    try {
      if (db_.single_integer("PRAGMA schema_version") != cookie) {
        check_own_schema(db_, path);
        cookie = db_.single_integer("PRAGMA schema_version");
      }
    } catch (...) {
      rollback(db_);
      throw;
    }
  }
  Transaction(const Transaction&) = delete;
  Transaction& operator=(const Transaction&) = delete;
  ~Transaction() {
    if (!done_) rollback(db_);
  }
  void commit() {
    db_.execute("COMMIT");
    done_ = true;
  }

 private:
  Database& db_;
  bool done_ = false;
};

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
  run.disturbed_seconds = row.optional_integer(12);
  return run;
}

// The columns listed_run reads, for a history of `version`: a column a
// later version added reads as null in an older one.
std::string listed_columns(int64_t version) {
  return fmt::format(
      "id, started, host, label, threads, library_version, status, mean, cv, unstable, "
      "cpu_model, arch, {}",
      version >= 3 ? "disturbed_seconds" : "NULL");
}

// Why the run stored under `key` and the run `id` with `figures`, read from
// `source`, cannot both stand: other figures, or a stored run this program
// cannot read back to compare. Nothing when they are the same run.
std::optional<std::string> stored_conflict(Database& db, int64_t key, const std::string& id,
                                           const RunFigures& figures, std::string_view source,
                                           int64_t version = HISTORY_SCHEMA_VERSION) {
  auto stored = stored_figures(db, key, version);
  if (const auto* reason = std::get_if<std::string>(&stored)) {
    return fmt::format(
        "run {}: the history holds it, but cannot read it back to compare with {} ({})", id, source,
        *reason);
  }
  const auto difference = first_difference(figures, std::get<RunFigures>(stored));
  if (!difference) return std::nullopt;
  return fmt::format("run {}: {} gives it other figures than the history holds ({})", id, source,
                     *difference);
}

// Stores documents inside the caller's transaction, one statement each,
// prepared once.
class Inserter {
 public:
  // A run already stored under a key above `compare_after` is compared
  // with the one given before it is skipped: it was stored since the
  // caller compared the others.
  Inserter(Database& db, std::string stored, int64_t compare_after = ALL_STORED_CHECKED)
      : db_(db),
        stored_(std::move(stored)),
        compare_after_(compare_after),
        known_(db.prepare("SELECT key FROM runs WHERE id = ?1")),
        deleted_(db.prepare("SELECT 1 FROM deleted WHERE id = ?1")),
        insert_document_(db.prepare(
            "INSERT INTO documents (schema_version, host, timestamp, library_version, cpu_model, "
            "arch, stored, json) VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8)")),
        insert_run_(db.prepare(
            "INSERT INTO runs (id, doc, host, label, repetition, threads, library_version, "
            "cpu_model, arch, started, status, mean, cv, unstable, json, disturbed_seconds) "
            "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15, ?16)")),
        insert_sample_(db.prepare(
            "INSERT INTO samples (run, idx, time, duration, operations, rate, steal_percent, "
            "other_cpus, other_cpus_run, cpu_pressure_percent, throttled_percent, "
            "throttled_periods, thermal_events, frequency_mhz, disturbed) "
            "VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11, ?12, ?13, ?14, ?15)")) {}

  void add(const LoadedDocument& document, SaveCounts& counts) {
    std::vector<const LoadedRun*> fresh;
    std::set<std::string_view> seen;
    for (const LoadedRun& run : document.runs) {
      if (!is_stored_run_id(run.id)) {
        throw Refusal{
            fmt::format("'{}' is not a run id this program writes; nothing of its "
                        "document was stored",
                        printable(run.id))};
      }
      // Runs already stored are skipped, and deleted ones left out, for
      // save and import alike.
      known_.reset().bind(1, run.id);
      deleted_.reset().bind(1, run.id);
      if (known_.step()) {
        if (known_.integer(0) > compare_after_) same_as_stored(document, run, known_.integer(0));
        ++counts.skipped;
      } else if (!seen.insert(run.id).second) {
        ++counts.skipped;
      } else if (deleted_.step()) {
        ++counts.deleted;  // removed with --delete: left out until undeleted
      } else {
        fresh.push_back(&run);
      }
    }
    if (fresh.empty()) return;
    const std::string host = document.hostname.value_or("");
    insert_document_.reset()
        .bind(1, int64_t{document.schema_version})
        .bind(2, host)
        .bind(3, document.timestamp)
        .bind(4, document.library_version)
        .bind(5, document.cpu_model)
        .bind(6, document.arch)
        .bind(7, stored_)
        .bind(8, document.json);
    insert_document_.step();
    const int64_t doc = sqlite3_last_insert_rowid(db_.handle());
    for (const LoadedRun* run : fresh) {
      insert_run_.reset()
          .bind(1, run->id)
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
          .bind(15, run->json)
          .bind(16, whole(run->disturbed_seconds));
      insert_run_.step();
      add_samples(*run, sqlite3_last_insert_rowid(db_.handle()));
      ++counts.stored;
    }
  }

 private:
  static std::optional<int64_t> whole(const std::optional<uint64_t>& value) {
    if (!value) return std::nullopt;
    return static_cast<int64_t>(*value);  // the reader keeps counts within INT64_MAX
  }

  void add_samples(const LoadedRun& run, int64_t key) {
    const size_t samples = std::min(
        {run.times.size(), run.durations.size(), run.sample_operations.size(), run.rates.size()});
    for (size_t index = 0; index < samples; ++index) {
      insert_sample_.reset()
          .bind(1, key)
          .bind(2, static_cast<int64_t>(index))
          .bind(3, run.times[index])
          .bind(4, run.durations[index])
          .bind(5, run.sample_operations[index])
          .bind(6, run.rates[index]);
      if (index < run.sample_noise.size() && run.sample_noise[index]) {
        const LoadedSecondNoise& noise = *run.sample_noise[index];
        insert_sample_.bind(7, noise.steal_percent)
            .bind(8, noise.other_cpus)
            .bind(9, noise.other_cpus_run)
            .bind(10, noise.cpu_pressure_percent)
            .bind(11, noise.throttled_percent)
            .bind(12, whole(noise.throttled_periods))
            .bind(13, whole(noise.thermal_events))
            .bind(14, noise.frequency_mhz)
            .bind(15, int64_t{noise.disturbed ? 1 : 0});
      }
      insert_sample_.step();
    }
  }

  void same_as_stored(const LoadedDocument& document, const LoadedRun& run, int64_t key) {
    if (auto conflict = stored_conflict(db_, key, run.id, figures_of(document, run), "the input")) {
      throw Refusal{*conflict + "; nothing of its document was stored"};
    }
  }

  Database& db_;
  std::string stored_;
  int64_t compare_after_;
  Statement known_, deleted_, insert_document_, insert_run_, insert_sample_;
};

// Refuses unless the ids found for `id` (at most two) are one run's, named
// in full or by a prefix of at least MIN_PREFIX characters: `option` is
// the command's, `what` the kind of run sought, `untouched` what was not
// done.
void refuse_unless_one(std::string_view option, const std::string& id,
                       const std::vector<std::string>& found, std::string_view what,
                       std::string_view untouched) {
  if (found.size() > 1) {
    throw Refusal{fmt::format("{}: '{}' names more than one {}; give more of the id", option,
                              printable(id), what)};
  }
  if (found.empty() || (id.size() < MIN_PREFIX && found[0] != id)) {
    throw Refusal{fmt::format("{}: no {} has the id '{}'{}; nothing was {}", option, what,
                              printable(id),
                              id.size() < MIN_PREFIX && !found.empty()
                                  ? fmt::format(" (give at least {} characters)", MIN_PREFIX)
                                  : "",
                              untouched)};
  }
}

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

History::History(std::string path, std::unique_ptr<Database> db, std::chrono::milliseconds wait,
                 int64_t schema_cookie)
    : path_(std::move(path)), wait_(wait), db_(std::move(db)), schema_cookie_(schema_cookie) {}
History::History(History&&) noexcept = default;
History& History::operator=(History&&) noexcept = default;
History::~History() = default;

std::variant<History, std::string> History::open(const std::string& path, Access access,
                                                 std::chrono::milliseconds wait) {
  return guarded(path, wait, [&] { return open_checked(path, access, wait); });
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
  // still looks damaged a little later. A new history made by this process
  // or another is looked at afresh.
  bool created = false;
  for (int attempt = 1;; ++attempt) {
    try {
      const Inspection seen = inspect(path);
      if (seen.state != FileState::history) {
        if (access == Access::read) return History(path, nullptr, wait, 0);
        if (!created) {
          create_history(path, seen.state);
          created = true;
          continue;
        }
        refuse_damaged(path, "it was being replaced while it was opened");
      }
      auto checking = open_checking(path, seen, wait);
      int64_t cookie = check_history(*checking, path, !seen.wal);
      if (access == Access::read) {
        if (!seen.wal && writable_here(path)) {
          checking.reset();
          checking = open_reading(path, cookie, wait);
        }
        History opened(path, std::move(checking), wait, cookie);
        opened.version_ = opened.db_->single_integer("PRAGMA user_version");
        return opened;
      }
      checking.reset();
      // Checked; now opened for writing, and checked again under the lock.
      auto db = connect(path, SQLITE_OPEN_READWRITE, GuardedAccess::write, wait);
      const int64_t checked = migrate(*db, path);
      checkpoint_on_close(*db, true);
      return History(path, std::move(db), wait, checked);
    } catch (const DatabaseError& error) {
      // The WAL seen beside it is not created by the check: its writer
      // closed and removed it since, and the file is looked at afresh.
      if (error.code != SQLITE_CANTOPEN || error.system_errno != ENOENT || attempt >= 50) throw;
      std::this_thread::sleep_for(std::chrono::milliseconds(2 * attempt));
    } catch (const Refusal& refusal) {
      if (!refusal.damaged || attempt >= 3) throw;
      std::this_thread::sleep_for(std::chrono::milliseconds(25 * attempt));
    }
  }
}

std::variant<SaveCounts, WriteFailure> History::save(const std::vector<LoadedDocument>& documents) {
  return classified(path_, wait_, [&] {
    SaveCounts counts;
    Transaction transaction(*db_, path_, schema_cookie_);
    Inserter inserter(*db_, utc_text(utc_now(), true));
    for (const LoadedDocument& document : documents) inserter.add(document, counts);
    transaction.commit();
    return counts;
  });
}

std::variant<StoredCheck, std::string> History::check_stored(const SeenRuns& seen) {
  return guarded(path_, wait_, [&] {
    StoredCheck check;
    if (!db_) return check;
    // One read transaction: the runs compared and the last key are one picture.
    db_->execute("BEGIN");
    check.checked_up_to = db_->single_integer("SELECT coalesce(max(key), 0) FROM runs");
    Statement find = db_->prepare("SELECT key FROM runs WHERE id = ?1");
    seen.each_run([&](const std::string& id, const RunFigures& figures, std::string_view source) {
      find.reset().bind(1, id);
      if (!find.step()) return;
      if (auto conflict = stored_conflict(*db_, find.integer(0), id, figures, source, version_)) {
        check.conflicts.add(std::move(*conflict));
      }
    });
    db_->execute("COMMIT");
    return check;
  });
}

std::optional<std::string> History::import(
    const std::function<std::optional<LoadedDocument>()>& next, SaveCounts& counts,
    int64_t checked_up_to) {
  using Clock = std::chrono::steady_clock;
  auto outcome = guarded(path_, wait_, [&] {
    std::optional<LoadedDocument> document = next();
    while (document) {
      SaveCounts batch;
      {
        Transaction transaction(*db_, path_, schema_cookie_);
        Inserter inserter(*db_, utc_text(utc_now(), true), checked_up_to);
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

    Statement latest =
        db_->prepare(fmt::format("SELECT {} FROM runs {} ORDER BY started DESC, key DESC LIMIT ?3",
                                 listed_columns(version_), where));
    bind_filter(latest);
    latest.bind(3, filter.last);
    while (latest.step()) listing.runs.push_back(listed_run(latest));
    std::reverse(listing.runs.begin(), listing.runs.end());

    Statement means = db_->prepare(
        "SELECT mean FROM runs WHERE host = ?1 AND label = ?2 AND mean IS NOT NULL "
        "ORDER BY started DESC, key DESC LIMIT ?3");
    for (const ListedRun& run : listing.runs) {
      const bool known = std::ranges::any_of(listing.series, [&](const Series& series) {
        return series.host == run.host && series.label == run.label;
      });
      if (known) continue;
      Series series{run.host, run.label, {}};
      means.reset().bind(1, run.host).bind(2, run.label).bind(3, SERIES_LENGTH);
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
    Transaction transaction(*db_, path_, schema_cookie_);
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
      const bool plain = is_plain_id(id);
      if (id.empty()) throw Refusal{"--delete: an empty run id"};
      // An id of other characters (stored by an older program) is matched
      // exactly, so every stored run can be removed.
      Statement& lookup = plain ? find : exact;
      lookup.reset().bind(1, plain && id.size() < 32 ? id + "*" : id);
      std::vector<std::string> found;
      int64_t key = 0;
      int64_t doc = 0;
      while (lookup.step()) {
        key = lookup.integer(0);
        found.push_back(lookup.text(1));
        doc = lookup.integer(2);
      }
      refuse_unless_one("--delete", id, found, "stored run", "removed");
      drop.reset().bind(1, key).step();
      removed += static_cast<size_t>(db_->changes());
      orphan.reset().bind(1, doc).step();
      remember.reset().bind(1, found[0]).bind(2, now).step();
    }
    transaction.commit();
    return removed;
  });
}

std::variant<size_t, std::string> History::undelete(const std::vector<std::string>& ids) {
  return guarded(path_, wait_, [&]() -> size_t {
    if (!db_) throw Refusal{fmt::format("history {} holds no deleted runs", named(path_))};
    Transaction transaction(*db_, path_, schema_cookie_);
    Statement find = db_->prepare("SELECT id FROM deleted WHERE id GLOB ?1 LIMIT 2");
    Statement forget = db_->prepare("DELETE FROM deleted WHERE id = ?1");
    size_t forgotten = 0;
    for (const std::string& id : ids) {
      if (!is_plain_id(id)) throw Refusal{fmt::format("--undelete: '{}' is not a run id", id)};
      find.reset().bind(1, id.size() < 32 ? id + "*" : id);
      std::vector<std::string> found;
      while (find.step()) found.push_back(find.text(0));
      refuse_unless_one("--undelete", id, found, "deleted run", "changed");
      forget.reset().bind(1, found[0]).step();
      forgotten += static_cast<size_t>(db_->changes());
    }
    transaction.commit();
    return forgotten;
  });
}

std::optional<std::string> History::export_documents(const ExportOutput& output) {
  auto outcome = guarded(path_, wait_, [&] {
    if (!db_) return true;
    // One read transaction: the export is one consistent picture.
    db_->execute("BEGIN");
    Statement documents = db_->prepare("SELECT doc, json FROM documents ORDER BY doc");
    DocumentExporter exporter(*db_, output, version_);
    bool going = true;
    while (going && documents.step())
      going = exporter.write(documents.integer(0), documents.text(1));
    going = going && exporter.flush();
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
        listed_columns(version_)));
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
                    listed_columns(version_)));
    runs.bind(1, host).bind(2, label);
    while (runs.step()) {
      BaselineRun run{listed_run(runs), runs.optional_real(13), runs.optional_real(14),
                      runs.optional_real(15), runs.integer(16) != 0};
      if (std::ranges::find(exclude, run.run.id) != exclude.end()) continue;
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
