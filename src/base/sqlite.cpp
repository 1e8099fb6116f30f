#include "base/sqlite.h"

#include <utility>

namespace velmora::base {

SqliteStatement::~SqliteStatement() { sqlite3_finalize(statement_); }

SqliteStatement::SqliteStatement(SqliteStatement&& other) noexcept
    : statement_(std::exchange(other.statement_, nullptr)), bindFailure_(other.bindFailure_) {}

SqliteStatement& SqliteStatement::operator=(SqliteStatement&& other) noexcept {
  if (this != &other) {
    sqlite3_finalize(statement_);
    statement_ = std::exchange(other.statement_, nullptr);
    bindFailure_ = other.bindFailure_;
  }
  return *this;
}

SqliteStatement& SqliteStatement::bind(int index, std::int64_t value) {
  const int code = sqlite3_bind_int64(statement_, index, value);
  if (code != SQLITE_OK && bindFailure_ == SQLITE_OK) bindFailure_ = code;
  return *this;
}

SqliteStatement& SqliteStatement::bindText(int index, std::string_view text) {
  const int code =
      sqlite3_bind_text64(statement_, index, text.data(), text.size(), SQLITE_STATIC, SQLITE_UTF8);
  if (code != SQLITE_OK && bindFailure_ == SQLITE_OK) bindFailure_ = code;
  return *this;
}

SqliteStatement& SqliteStatement::bindBlob(int index, std::string_view bytes) {
  // A null pointer would bind NULL, not an empty blob.
  static const char empty = 0;
  const int code = sqlite3_bind_blob64(statement_, index, bytes.empty() ? &empty : bytes.data(),
                                       bytes.size(), SQLITE_STATIC);
  if (code != SQLITE_OK && bindFailure_ == SQLITE_OK) bindFailure_ = code;
  return *this;
}

int SqliteStatement::step() {
  if (statement_ == nullptr) return SQLITE_MISUSE;
  if (bindFailure_ != SQLITE_OK) return bindFailure_;
  return sqlite3_step(statement_);
}

void SqliteStatement::reset() {
  sqlite3_reset(statement_);
  sqlite3_clear_bindings(statement_);
  bindFailure_ = SQLITE_OK;
}

std::int64_t SqliteStatement::integer(int column) const {
  return sqlite3_column_int64(statement_, column);
}

std::string_view SqliteStatement::blob(int column) const {
  const void* bytes = sqlite3_column_blob(statement_, column);
  const int length = sqlite3_column_bytes(statement_, column);
  if (bytes == nullptr || length <= 0) return {};
  return {static_cast<const char*>(bytes), static_cast<std::size_t>(length)};
}

int SqliteDatabase::open(const std::string& path) {
  close();
  const int code = sqlite3_open_v2(
      path.c_str(), &database_,
      SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW,
      nullptr);
  if (code != SQLITE_OK) {
    close();
    return code;
  }
  sqlite3_extended_result_codes(database_, 1);
  return SQLITE_OK;
}

void SqliteDatabase::close() {
  // Statements belong to their owners; close_v2 waits for the last of them.
  if (database_ != nullptr) sqlite3_close_v2(database_);
  database_ = nullptr;
}

void SqliteDatabase::setBusyTimeout(std::chrono::milliseconds timeout) {
  sqlite3_busy_timeout(database_, static_cast<int>(timeout.count()));
}

int SqliteDatabase::execute(const char* sql) {
  if (database_ == nullptr) return SQLITE_MISUSE;
  return sqlite3_exec(database_, sql, nullptr, nullptr, nullptr);
}

SqliteStatement SqliteDatabase::prepare(std::string_view sql, int* code) {
  sqlite3_stmt* statement = nullptr;
  const int result = database_ == nullptr
                         ? SQLITE_MISUSE
                         : sqlite3_prepare_v3(database_, sql.data(), static_cast<int>(sql.size()),
                                              SQLITE_PREPARE_PERSISTENT, &statement, nullptr);
  if (code != nullptr) *code = result;
  return SqliteStatement(result == SQLITE_OK ? statement : nullptr);
}

}  // namespace velmora::base
