#include "store/guard_vfs.hpp"

#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include "store/database.hpp"

namespace tarnwick {
namespace {

namespace fs = std::filesystem;

struct TempDir {
  fs::path path;
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "tarnwick-vfs-XXXXXX").string();
    path = mkdtemp(pattern.data());
  }
  ~TempDir() { fs::remove_all(path); }
};

std::string bytes(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

// A database in rollback mode and a hot journal beside it, taken while a
// transaction that changed every row was open: SQLite would play it back.
fs::path with_hot_journal(const fs::path& dir) {
  const fs::path source = dir / "source.db";
  Database db(source.string(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  db.execute(
      "PRAGMA journal_mode=DELETE; PRAGMA cache_size=1;"
      "CREATE TABLE t(x); WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i+1 FROM n "
      "WHERE i < 2000) INSERT INTO t SELECT randomblob(100) FROM n;");
  db.execute("BEGIN; UPDATE t SET x = 0;");
  fs::path target = dir / "target.db";
  fs::copy_file(source, target);
  fs::copy_file(source.string() + "-journal", target.string() + "-journal");
  db.execute("ROLLBACK");
  return target;
}

int64_t count_rows(const std::string& name, int flags, const char* vfs) {
  Database db(name, flags, vfs);
  return db.single_integer("SELECT count(*) FROM t WHERE x = 0");
}

TEST(GuardVfs, NeverPlaysAHotJournalBack) {
  TempDir dir;
  const fs::path target = with_hot_journal(dir.path);
  const std::string file = bytes(target);
  const std::string journal = bytes(target.string() + "-journal");
  for (const GuardedAccess access : {GuardedAccess::write, GuardedAccess::read}) {
    const int flags = access == GuardedAccess::write ? SQLITE_OPEN_READWRITE : SQLITE_OPEN_READONLY;
    EXPECT_THROW(count_rows(target.string(), flags, guarded_vfs(access)), DatabaseError);
    EXPECT_EQ(bytes(target), file);
    EXPECT_EQ(bytes(target.string() + "-journal"), journal);
  }
  // The journal was hot: the system's VFS plays it back and removes it.
  EXPECT_EQ(count_rows(target.string(), SQLITE_OPEN_READWRITE, nullptr), 0);
  EXPECT_FALSE(fs::exists(target.string() + "-journal"));
  EXPECT_NE(bytes(target), file);
}

// A WAL without its index is read with the index in memory: the rows the
// WAL holds are seen, and nothing is written or made beside the file.
TEST(GuardVfs, ReadsAWalWithoutMakingItsIndex) {
  TempDir dir;
  const fs::path source = dir.path / "source.db";
  Database writer(source.string(), SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE);
  writer.execute(
      "PRAGMA journal_mode=WAL; PRAGMA wal_autocheckpoint=0; CREATE TABLE t(x);"
      "INSERT INTO t VALUES (1);");
  writer.execute("PRAGMA wal_checkpoint(TRUNCATE); INSERT INTO t VALUES (0), (0), (0);");
  const fs::path copy = dir.path / "copy" / "h.db";
  fs::create_directories(copy.parent_path());
  fs::copy_file(source, copy);
  fs::copy_file(source.string() + "-wal", copy.string() + "-wal");
  const std::string file = bytes(copy);
  const std::string wal = bytes(copy.string() + "-wal");
  EXPECT_EQ(count_rows(file_uri(copy.string(), "mode=ro&private_shm=1"),
                       SQLITE_OPEN_READONLY | SQLITE_OPEN_URI, guarded_vfs(GuardedAccess::read)),
            3);
  EXPECT_EQ(bytes(copy), file);
  EXPECT_EQ(bytes(copy.string() + "-wal"), wal);
  EXPECT_EQ(std::distance(fs::directory_iterator(copy.parent_path()), fs::directory_iterator()), 2);
}

}  // namespace
}  // namespace tarnwick
