#pragma once
// Owners of an SQLite connection and of its prepared statements. They know
// nothing of what is stored; failures are SQLite's result codes. SQLite
// itself never writes to standard error, and no log callback is installed.
#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <string_view>

namespace velmora::base {

class SqliteStatement {
 public:
  SqliteStatement() = default;
  explicit SqliteStatement(sqlite3_stmt* statement) : statement_(statement) {}
  ~SqliteStatement();
  SqliteStatement(SqliteStatement&& other) noexcept;
  SqliteStatement& operator=(SqliteStatement&& other) noexcept;
  SqliteStatement(const SqliteStatement&) = delete;
  SqliteStatement& operator=(const SqliteStatement&) = delete;

  bool valid() const { return statement_ != nullptr; }

  // Parameters count from 1. Text and blobs are not copied: they must stay
  // until the statement is reset. A failed binding makes step() fail.
  SqliteStatement& bind(int index, std::int64_t value);
  SqliteStatement& bindText(int index, std::string_view text);
  SqliteStatement& bindBlob(int index, std::string_view bytes);

  // SQLITE_ROW, SQLITE_DONE or the error.
  int step();
  // Ready to run again, with no parameters bound.
  void reset();

  // Columns of the current row, counted from 0. Views last until the next
  // step() or reset().
  std::int64_t integer(int column) const;
  std::string_view blob(int column) const;

 private:
  sqlite3_stmt* statement_ = nullptr;
  int bindFailure_ = SQLITE_OK;
};

class SqliteDatabase {
 public:
  SqliteDatabase() = default;
  ~SqliteDatabase() { close(); }
  SqliteDatabase(const SqliteDatabase&) = delete;
  SqliteDatabase& operator=(const SqliteDatabase&) = delete;

  // Opens the database file at `path` for reading and writing, creating it
  // when missing, for use by one thread at a time. A path through a symlink
  // is refused, and so are journal files that are symlinks. Returns SQLite's
  // result code; the database is open only after SQLITE_OK.
  int open(const std::string& path);
  void close();
  bool isOpen() const { return database_ != nullptr; }

  // How long a statement waits for another connection's lock before it
  // fails with SQLITE_BUSY.
  void setBusyTimeout(std::chrono::milliseconds timeout);

  // Runs statements that return no rows (or whose rows are not wanted).
  int execute(const char* sql);
  // Invalid when the text does not compile; `code` then says why.
  SqliteStatement prepare(std::string_view sql, int* code = nullptr);

 private:
  sqlite3* database_ = nullptr;
};

}  // namespace velmora::base
