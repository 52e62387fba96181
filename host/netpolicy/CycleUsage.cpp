#include "host/netpolicy/CycleUsage.h"

#include <stdexcept>

#include "host/netpolicy/SqliteHandles.h"

namespace {

// The collector may be saving: wait for its transaction rather than fail.
constexpr int kBusyTimeoutMilliseconds = 2000;

// Runs `sql` (its parameters, if any, the cycle's first and last day) and adds each row's
// (text, count) to `add`. The kind's column is one of two fixed names, never text from outside.
template <typename Add>
void readRows(sqlite3* db, const std::string& sql, const PlanCycle* cycle, Add add) {
    auto statement = prepareStatement(db, sql.c_str());
    sqlite3_stmt* raw = statement.get();
    if (cycle) {
        const std::string first = dayString(cycle->first), last = dayString(cycle->last);
        sqlite3_bind_text(raw, 1, first.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(raw, 2, last.c_str(), -1, SQLITE_TRANSIENT);
    }
    int rc;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW)
        // Counters are never negative; the collector saturates them at SQLite's largest integer.
        add(columnText(raw, 0), static_cast<std::uint64_t>(sqlite3_column_int64(raw, 1)));
    if (rc != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db));
}

// `read` over a read-only connection that never creates the file; false with the reason in
// `error` when the file is there and cannot be read. A file that does not exist yet reads as
// nothing.
template <typename Read>
bool readDatabase(const std::string& databasePath, std::string* error, Read read) {
    try {
        auto db =
            openExistingDatabase(databasePath, SQLITE_OPEN_READONLY, kBusyTimeoutMilliseconds);
        if (db) read(db.get());
        return true;
    } catch (const std::exception& problem) {
        if (error) *error = problem.what();
        return false;
    }
}

}  // namespace

std::optional<CycleUsage> readCycleUsage(const std::string& databasePath, const std::string& kind,
                                         const PlanCycle& cycle, std::string* error) {
    const std::string column = kind == kWifiKind ? "usage_wifi" : "usage_cellular";
    CycleUsage usage;
    bool read = readDatabase(databasePath, error, [&](sqlite3* db) {
        readRows(
            db,
            "SELECT date, SUM(" + column + ") FROM usage WHERE date BETWEEN ? AND ? GROUP BY date;",
            &cycle, [&](std::string day, std::uint64_t bytes) {
                if (bytes > 0) usage.bytesByDay[std::move(day)] = bytes;
            });
        readRows(
            db,
            "SELECT app, SUM(" + column + ") FROM usage WHERE date BETWEEN ? AND ? GROUP BY app;",
            &cycle, [&](std::string app, std::uint64_t bytes) {
                if (bytes > 0) usage.applications.push_back({std::move(app), bytes});
            });
    });
    if (!read) return std::nullopt;
    return usage;
}

std::optional<std::vector<std::string>> readUsageApplications(const std::string& databasePath,
                                                              std::string* error) {
    std::vector<std::string> applications;
    bool read = readDatabase(databasePath, error, [&](sqlite3* db) {
        readRows(db, "SELECT DISTINCT app, 0 FROM usage ORDER BY app;", nullptr,
                 [&](std::string app, std::uint64_t) { applications.push_back(std::move(app)); });
    });
    if (!read) return std::nullopt;
    return applications;
}
