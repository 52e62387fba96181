#include "host/netpolicy/CycleUsage.h"

#include <sqlite3.h>

#include <filesystem>
#include <memory>
#include <stdexcept>

namespace {

using DatabasePointer = std::unique_ptr<sqlite3, decltype(&sqlite3_close_v2)>;
using StatementPointer = std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)>;

// Runs `sql` with the cycle's first and last day bound, and adds each row's (text, count) to
// `add`. The kind's column is one of two fixed names, never text from outside.
template <typename Add>
void readSums(sqlite3* db, const std::string& sql, const PlanCycle& cycle, Add add) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
        sqlite3_finalize(raw);
        throw std::runtime_error(sqlite3_errmsg(db));
    }
    StatementPointer statement(raw, &sqlite3_finalize);
    const std::string first = dayString(cycle.first), last = dayString(cycle.last);
    sqlite3_bind_text(raw, 1, first.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(raw, 2, last.c_str(), -1, SQLITE_TRANSIENT);
    int rc;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(raw, 0));
        std::string key(text ? text : "", static_cast<size_t>(sqlite3_column_bytes(raw, 0)));
        // Counters are never negative; the collector saturates them at SQLite's largest integer.
        add(std::move(key), static_cast<std::uint64_t>(sqlite3_column_int64(raw, 1)));
    }
    if (rc != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db));
}

}  // namespace

std::optional<CycleUsage> readCycleUsage(const std::string& databasePath, const std::string& kind,
                                         const PlanCycle& cycle, std::string* error) {
    CycleUsage usage;
    std::error_code ec;
    if (!std::filesystem::exists(databasePath, ec)) return usage;
    const std::string column = kind == kWifiKind ? "usage_wifi" : "usage_cellular";
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(databasePath.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    DatabasePointer db(raw, &sqlite3_close_v2);
    try {
        if (rc != SQLITE_OK) throw std::runtime_error(raw ? sqlite3_errmsg(raw) : "out of memory");
        // The collector may be saving: wait for its transaction rather than fail.
        sqlite3_busy_timeout(raw, 2000);
        readSums(
            raw,
            "SELECT date, SUM(" + column + ") FROM usage WHERE date BETWEEN ? AND ? GROUP BY date;",
            cycle, [&](std::string day, std::uint64_t bytes) {
                if (bytes > 0) usage.bytesByDay[std::move(day)] = bytes;
            });
        readSums(
            raw,
            "SELECT app, SUM(" + column + ") FROM usage WHERE date BETWEEN ? AND ? GROUP BY app;",
            cycle, [&](std::string app, std::uint64_t bytes) {
                if (bytes > 0) usage.applications.push_back({std::move(app), bytes});
            });
    } catch (const std::exception& problem) {
        if (error) *error = problem.what();
        return std::nullopt;
    }
    return usage;
}

std::optional<std::vector<std::string>> readUsageApplications(const std::string& databasePath,
                                                              std::string* error) {
    std::vector<std::string> applications;
    std::error_code ec;
    if (!std::filesystem::exists(databasePath, ec)) return applications;
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(databasePath.c_str(), &raw, SQLITE_OPEN_READONLY, nullptr);
    DatabasePointer db(raw, &sqlite3_close_v2);
    try {
        if (rc != SQLITE_OK) throw std::runtime_error(raw ? sqlite3_errmsg(raw) : "out of memory");
        sqlite3_busy_timeout(raw, 2000);
        sqlite3_stmt* prepared = nullptr;
        if (sqlite3_prepare_v2(raw, "SELECT DISTINCT app FROM usage ORDER BY app;", -1, &prepared,
                               nullptr) != SQLITE_OK) {
            sqlite3_finalize(prepared);
            throw std::runtime_error(sqlite3_errmsg(raw));
        }
        StatementPointer statement(prepared, &sqlite3_finalize);
        while ((rc = sqlite3_step(prepared)) == SQLITE_ROW) {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(prepared, 0));
            applications.emplace_back(text ? text : "",
                                      static_cast<size_t>(sqlite3_column_bytes(prepared, 0)));
        }
        if (rc != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(raw));
    } catch (const std::exception& problem) {
        if (error) *error = problem.what();
        return std::nullopt;
    }
    return applications;
}
