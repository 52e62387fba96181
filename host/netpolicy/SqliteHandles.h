#pragma once

#include <sqlite3.h>

#include <memory>
#include <string>

// The handles every reader and writer of the usage database shares: the host's plan readers, the
// collector and the commands. Each closes or finalizes what it holds.
using SqliteDatabase = std::unique_ptr<sqlite3, int (*)(sqlite3*)>;
using PreparedStatement = std::unique_ptr<sqlite3_stmt, int (*)(sqlite3_stmt*)>;

// `sql` prepared on `db`; throws std::runtime_error with SQLite's message when it cannot be.
PreparedStatement prepareStatement(sqlite3* db, const char* sql);

// The database at `path` opened with `flags`, waiting up to `busyMilliseconds` for another
// connection's write (the collector's save); an empty handle when there is no file yet. Throws
// std::runtime_error ("cannot open PATH: why") when the file is there and cannot be opened.
SqliteDatabase openExistingDatabase(const std::string& path, int flags, int busyMilliseconds);

// Column `column` of the current row as text ("" for NULL), embedded NULs kept.
std::string columnText(sqlite3_stmt* statement, int column);
