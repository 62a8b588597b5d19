// A thin owner of an SQLite connection and its prepared statements. Every
// call that fails throws a DatabaseError carrying SQLite's code and message;
// the history turns it into the user's message at its public boundary.
#pragma once

#include <sqlite3.h>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tarnwick {

struct DatabaseError : std::runtime_error {
  DatabaseError(int sqlite_code, const std::string& text, int os_error = 0)
      : std::runtime_error(text), code(sqlite_code), system_errno(os_error) {}
  int code;          // the primary result code (SQLITE_CORRUPT, SQLITE_FULL, ...)
  int system_errno;  // the system's error behind it, 0 when none
};

class Statement {
 public:
  Statement(sqlite3* db, std::string_view sql);
  Statement(Statement&& other) noexcept;
  Statement& operator=(Statement&&) = delete;
  Statement(const Statement&) = delete;
  Statement& operator=(const Statement&) = delete;
  ~Statement();

  // Parameters are numbered from 1, as in SQL.
  Statement& bind(int index, std::string_view text);
  Statement& bind(int index, const std::string& text) {
    return bind(index, std::string_view(text));
  }
  Statement& bind(int index, int64_t value);
  Statement& bind(int index, double value);
  Statement& bind(int index, const std::optional<double>& value);
  Statement& bind(int index, const std::optional<int64_t>& value);
  Statement& bind(int index, const std::optional<std::string>& value);
  Statement& bind_null(int index);

  // True when a row is ready; false when the statement is done.
  bool step();
  // Ready to run again with new parameters.
  Statement& reset();

  // Columns are numbered from 0.
  [[nodiscard]] int type(int column) const;  // SQLITE_INTEGER, SQLITE_FLOAT, SQLITE_NULL, ...
  [[nodiscard]] int64_t integer(int column) const;
  [[nodiscard]] double real(int column) const;
  [[nodiscard]] std::string text(int column) const;
  [[nodiscard]] std::optional<double> optional_real(int column) const;
  [[nodiscard]] std::optional<int64_t> optional_integer(int column) const;
  [[nodiscard]] std::optional<std::string> optional_text(int column) const;

 private:
  sqlite3* db_;
  sqlite3_stmt* statement_ = nullptr;
};

class Database {
 public:
  // `name` is a file name, or a "file:" URI with SQLITE_OPEN_URI in `flags`;
  // `vfs` names the VFS (nullptr: the system's).
  Database(const std::string& name, int flags, const char* vfs = nullptr);
  Database(Database&& other) noexcept;
  Database& operator=(Database&&) = delete;
  Database(const Database&) = delete;
  Database& operator=(const Database&) = delete;
  ~Database();

  void execute(std::string_view sql);  // one or more statements, no results
  [[nodiscard]] Statement prepare(std::string_view sql);
  [[nodiscard]] int64_t single_integer(std::string_view sql);  // first column of the first row
  [[nodiscard]] int64_t changes() const;
  [[nodiscard]] sqlite3* handle() const { return db_; }

 private:
  sqlite3* db_ = nullptr;
};

// Throws the connection's last error as a DatabaseError.
[[noreturn]] void throw_database_error(sqlite3* db, int code);

// A "file:" URI naming `path`, with the characters a URI reserves escaped.
[[nodiscard]] std::string file_uri(std::string_view path, std::string_view query);

}  // namespace tarnwick
