#include "store/database.hpp"

#include <fmt/format.h>

#include <cctype>
#include <utility>

namespace tarnwick {

void throw_database_error(sqlite3* db, int code) {
  const char* text = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code);
  throw DatabaseError(code & 0xff, text != nullptr ? text : "unknown SQLite error",
                      db != nullptr ? sqlite3_system_errno(db) : 0);
}

std::string file_uri(std::string_view path, std::string_view query) {
  std::string uri = "file:";
  for (const char c : path) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) != 0 || c == '/' || c == '-' || c == '_' || c == '.' || c == '~') {
      uri += c;
    } else {
      uri += fmt::format("%{:02X}", byte);
    }
  }
  if (!query.empty()) uri += fmt::format("?{}", query);
  return uri;
}

Statement::Statement(sqlite3* db, std::string_view sql) : db_(db) {
  const int code =
      sqlite3_prepare_v2(db, sql.data(), static_cast<int>(sql.size()), &statement_, nullptr);
  if (code != SQLITE_OK) throw_database_error(db, code);
}

Statement::Statement(Statement&& other) noexcept
    : db_(other.db_), statement_(std::exchange(other.statement_, nullptr)) {}

Statement::~Statement() { sqlite3_finalize(statement_); }

Statement& Statement::bind(int index, std::string_view text) {
  const int code = sqlite3_bind_text(statement_, index, text.data(), static_cast<int>(text.size()),
                                     SQLITE_TRANSIENT);
  if (code != SQLITE_OK) throw_database_error(db_, code);
  return *this;
}

Statement& Statement::bind(int index, int64_t value) {
  const int code = sqlite3_bind_int64(statement_, index, value);
  if (code != SQLITE_OK) throw_database_error(db_, code);
  return *this;
}

Statement& Statement::bind(int index, double value) {
  const int code = sqlite3_bind_double(statement_, index, value);
  if (code != SQLITE_OK) throw_database_error(db_, code);
  return *this;
}

Statement& Statement::bind(int index, const std::optional<double>& value) {
  return value ? bind(index, *value) : bind_null(index);
}

Statement& Statement::bind(int index, const std::optional<int64_t>& value) {
  return value ? bind(index, *value) : bind_null(index);
}

Statement& Statement::bind(int index, const std::optional<std::string>& value) {
  return value ? bind(index, std::string_view(*value)) : bind_null(index);
}

Statement& Statement::bind_null(int index) {
  const int code = sqlite3_bind_null(statement_, index);
  if (code != SQLITE_OK) throw_database_error(db_, code);
  return *this;
}

bool Statement::step() {
  const int code = sqlite3_step(statement_);
  if (code == SQLITE_ROW) return true;
  if (code == SQLITE_DONE) return false;
  throw_database_error(db_, code);
}

Statement& Statement::reset() {
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
  return *this;
}

int Statement::type(int column) const { return sqlite3_column_type(statement_, column); }

int64_t Statement::integer(int column) const { return sqlite3_column_int64(statement_, column); }

double Statement::real(int column) const { return sqlite3_column_double(statement_, column); }

std::string Statement::text(int column) const {
  const auto* bytes = sqlite3_column_text(statement_, column);
  const int size = sqlite3_column_bytes(statement_, column);
  if (bytes == nullptr) return {};
  return {reinterpret_cast<const char*>(bytes), static_cast<size_t>(size)};
}

std::optional<double> Statement::optional_real(int column) const {
  if (type(column) == SQLITE_NULL) return std::nullopt;
  return real(column);
}

std::optional<int64_t> Statement::optional_integer(int column) const {
  if (type(column) == SQLITE_NULL) return std::nullopt;
  return integer(column);
}

std::optional<std::string> Statement::optional_text(int column) const {
  if (type(column) == SQLITE_NULL) return std::nullopt;
  return text(column);
}

Database::Database(const std::string& name, int flags, const char* vfs) {
  const int code = sqlite3_open_v2(name.c_str(), &db_, flags, vfs);
  if (code != SQLITE_OK) {
    const DatabaseError error(code & 0xff,
                              db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(code));
    sqlite3_close(db_);
    throw error;
  }
  sqlite3_extended_result_codes(db_, 0);
  // A history may come from anyone: no write may corrupt it by design, no
  // function named in its schema may run with the program's rights, and
  // no trigger or view (the program makes none) may run or stand in for a
  // table, whatever the schema check missed.
  sqlite3_db_config(db_, SQLITE_DBCONFIG_DEFENSIVE, 1, nullptr);
  sqlite3_db_config(db_, SQLITE_DBCONFIG_TRUSTED_SCHEMA, 0, nullptr);
  sqlite3_db_config(db_, SQLITE_DBCONFIG_ENABLE_TRIGGER, 0, nullptr);
  sqlite3_db_config(db_, SQLITE_DBCONFIG_ENABLE_VIEW, 0, nullptr);
}

Database::Database(Database&& other) noexcept : db_(std::exchange(other.db_, nullptr)) {}

Database::~Database() { sqlite3_close_v2(db_); }

void Database::execute(std::string_view sql) {
  const std::string text(sql);
  const int code = sqlite3_exec(db_, text.c_str(), nullptr, nullptr, nullptr);
  if (code != SQLITE_OK) throw_database_error(db_, code);
}

Statement Database::prepare(std::string_view sql) { return Statement(db_, sql); }

int64_t Database::single_integer(std::string_view sql) {
  Statement statement = prepare(sql);
  return statement.step() ? statement.integer(0) : 0;
}

int64_t Database::changes() const { return sqlite3_changes64(db_); }

}  // namespace tarnwick
