#include "collector/SourceProgress.h"

#include "collector/UsageDatabase.h"

#include <sqlite3.h>

#include <memory>
#include <stdexcept>

namespace {

int step(sqlite3* db, sqlite3_stmt* statement) {
    int rc = sqlite3_step(statement);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db));
    return rc;
}

}  // namespace

void SourceProgressTable::write(sqlite3* db, const std::string& source,
                                const SourceProgress& progress) {
    char* message = nullptr;
    if (sqlite3_exec(db,
                     "CREATE TABLE IF NOT EXISTS usage_sources (source TEXT PRIMARY KEY,"
                     " epoch TEXT NOT NULL, seq INTEGER NOT NULL);",
                     nullptr, nullptr, &message) != SQLITE_OK) {
        std::string error = message ? message : sqlite3_errmsg(db);
        sqlite3_free(message);
        throw std::runtime_error(error);
    }
    auto statement = prepareStatement(
        db, "INSERT OR REPLACE INTO usage_sources (source, epoch, seq) VALUES (?, ?, ?);");
    sqlite3_bind_text(statement.get(), 1, source.c_str(), static_cast<int>(source.size()),
                      SQLITE_TRANSIENT);
    sqlite3_bind_text(statement.get(), 2, progress.epoch.c_str(),
                      static_cast<int>(progress.epoch.size()), SQLITE_TRANSIENT);
    sqlite3_bind_int64(statement.get(), 3, progress.seq);
    step(db, statement.get());
}

std::optional<SourceProgress> SourceProgressTable::read(sqlite3* db, const std::string& source) {
    auto exists = prepareStatement(
        db, "SELECT 1 FROM sqlite_master WHERE type = 'table' AND name = 'usage_sources';");
    if (step(db, exists.get()) != SQLITE_ROW) return std::nullopt;
    auto statement = prepareStatement(db, "SELECT epoch, seq FROM usage_sources WHERE source = ?;");
    sqlite3_bind_text(statement.get(), 1, source.c_str(), static_cast<int>(source.size()),
                      SQLITE_TRANSIENT);
    if (step(db, statement.get()) != SQLITE_ROW) return std::nullopt;
    const unsigned char* epoch = sqlite3_column_text(statement.get(), 0);
    return SourceProgress{epoch ? reinterpret_cast<const char*>(epoch) : "",
                          sqlite3_column_int64(statement.get(), 1)};
}
