#include "collector/UsageDatabase.h"

#include <sqlite3.h>

#include <filesystem>
#include <stdexcept>

#include "host/foundation/Paths.h"

namespace {

const char* const kSchema =
    "CREATE TABLE IF NOT EXISTS usage ("
    " app TEXT NOT NULL,"
    " date TEXT NOT NULL,"
    " usage_wifi INTEGER NOT NULL DEFAULT 0,"
    " usage_cellular INTEGER NOT NULL DEFAULT 0,"
    " usage_unknown INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX IF NOT EXISTS usage_by_date ON usage (date, app);"
    // The mark of the collector's last committed save, one row: a save whose commit reports a
    // failure may have reached the disk all the same, and the next save looks here to tell.
    "CREATE TABLE IF NOT EXISTS usage_saves ("
    " id INTEGER PRIMARY KEY CHECK (id = 1),"
    " mark INTEGER NOT NULL);";

}  // namespace

std::string UsageDatabase::defaultPath() {
    return Paths::expandTilde(std::string(BYTARN_DATABASE_DIRECTORY) + BYTARN_COLLECTOR_SERVICE +
                              ".sqlite3");
}

UsageDatabase::UsageDatabase(const std::string& path, int busyTimeoutMilliseconds) : path_(path) {
    std::error_code ec;
    auto parent = std::filesystem::path(path).parent_path();
    if (!parent.empty()) std::filesystem::create_directories(parent, ec);
    int rc =
        sqlite3_open_v2(path.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    std::string error;
    if (rc != SQLITE_OK) {
        std::string message = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        sqlite3_close(db_);
        db_ = nullptr;
        throw std::runtime_error("cannot open " + path + ": " + message);
    }
    sqlite3_busy_timeout(db_, busyTimeoutMilliseconds);
    if (!execute("PRAGMA journal_mode=WAL;", &error) || !execute(kSchema, &error)) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw std::runtime_error("cannot prepare " + path + ": " + error);
    }
}

UsageDatabase::~UsageDatabase() {
    sqlite3_close(db_);
}

void UsageDatabase::addUsage(const std::string& app, const std::string& date, std::uint64_t wifi,
                             std::uint64_t cellular, std::uint64_t unknown) {
    sqlite3_stmt* stmt = nullptr;
    const char* sql =
        "INSERT INTO usage (app, date, usage_wifi, usage_cellular, usage_unknown)"
        " VALUES (?, ?, ?, ?, ?);";
    if (sqlite3_prepare_v2(db_, sql, -1, &stmt, nullptr) != SQLITE_OK)
        throw std::runtime_error(sqlite3_errmsg(db_));
    sqlite3_bind_text(stmt, 1, app.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(stmt, 2, date.c_str(), -1, SQLITE_TRANSIENT);
    // Counters are stored as SQLite's signed integers; the page reads them back bit for bit.
    sqlite3_bind_int64(stmt, 3, static_cast<sqlite3_int64>(wifi));
    sqlite3_bind_int64(stmt, 4, static_cast<sqlite3_int64>(cellular));
    sqlite3_bind_int64(stmt, 5, static_cast<sqlite3_int64>(unknown));
    int rc = sqlite3_step(stmt);
    sqlite3_finalize(stmt);
    if (rc != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db_));
}

bool UsageDatabase::execute(const std::string& sql, std::string* error) {
    char* message = nullptr;
    int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &message);
    if (rc != SQLITE_OK) {
        if (error) *error = message ? message : sqlite3_errmsg(db_);
        sqlite3_free(message);
        return false;
    }
    return true;
}
