#pragma once

#include <fcntl.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <utility>
#include <vector>

#include "support/ChildProcesses.h"

// What the usage table adds up to, per application and day: Wi-Fi, cellular, unknown.
using UsageTotals = std::map<std::pair<std::string, std::string>, std::array<std::uint64_t, 3>>;

// One statement's rows on a read-only connection of its own, columns as text; nothing when the
// database or the statement cannot be used (a missing file, a missing table, a lock).
inline std::optional<std::vector<std::vector<std::string>>> tryQuery(const std::string& path,
                                                                     const std::string& sql,
                                                                     std::string* error = nullptr) {
    if (!std::filesystem::exists(path)) return std::nullopt;
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        if (error) *error = db ? sqlite3_errmsg(db) : "out of memory";
        sqlite3_close(db);
        return std::nullopt;
    }
    sqlite3_stmt* statement = nullptr;
    std::optional<std::vector<std::vector<std::string>>> rows;
    if (sqlite3_prepare_v2(db, sql.c_str(), -1, &statement, nullptr) == SQLITE_OK) {
        rows.emplace();
        int rc;
        while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
            std::vector<std::string> row;
            for (int i = 0; i < sqlite3_column_count(statement); ++i) {
                auto text = sqlite3_column_text(statement, i);
                row.push_back(text ? reinterpret_cast<const char*>(text) : "NULL");
            }
            rows->push_back(std::move(row));
        }
        if (rc != SQLITE_DONE) rows.reset();
    }
    if (!rows && error) *error = sqlite3_errmsg(db);
    sqlite3_finalize(statement);
    sqlite3_close(db);
    return rows;
}

// The stored totals; empty when there is no usage table yet, nothing when it cannot be read.
inline std::optional<UsageTotals> storedTotals(const std::string& path,
                                               std::string* error = nullptr) {
    if (!std::filesystem::exists(path)) return UsageTotals{};
    auto tables = tryQuery(path, "SELECT name FROM sqlite_master WHERE name = 'usage';", error);
    if (!tables) return std::nullopt;
    if (tables->empty()) return UsageTotals{};
    auto rows = tryQuery(path,
                         "SELECT app, date, SUM(usage_wifi), SUM(usage_cellular),"
                         " SUM(usage_unknown) FROM usage GROUP BY app, date;",
                         error);
    if (!rows) return std::nullopt;
    UsageTotals totals;
    for (const auto& row : *rows)
        totals[{row[0], row[1]}] = {std::stoull(row[2]), std::stoull(row[3]), std::stoull(row[4])};
    return totals;
}

// Every byte of the totals, all kinds together.
inline std::uint64_t grandTotal(const UsageTotals& totals) {
    std::uint64_t sum = 0;
    for (const auto& [key, counts] : totals) sum += counts[0] + counts[1] + counts[2];
    return sum;
}

// Whether every count of `part` is at most the same count of `whole`.
inline bool coveredBy(const UsageTotals& part, const UsageTotals& whole) {
    for (const auto& [key, counts] : part) {
        auto found = whole.find(key);
        for (int kind = 0; kind < 3; ++kind) {
            std::uint64_t available = found == whole.end() ? 0 : found->second[kind];
            if (counts[kind] > available) return false;
        }
    }
    return true;
}

// "ok" for a sound database, SQLite's findings otherwise.
inline std::string integrityCheck(const std::string& path) {
    auto rows = tryQuery(path, "PRAGMA integrity_check;");
    if (!rows) return "cannot be checked";
    std::string result;
    for (const auto& row : *rows) result += (result.empty() ? "" : "; ") + row[0];
    return result;
}

// Sets an environment variable for a scope and puts the old value back.
class ScopedEnvironment {
  public:
    ScopedEnvironment(std::string name, const std::string& value) : name_(std::move(name)) {
        if (const char* old = std::getenv(name_.c_str())) old_ = old;
        setenv(name_.c_str(), value.c_str(), 1);
    }
    ~ScopedEnvironment() {
        if (old_)
            setenv(name_.c_str(), old_->c_str(), 1);
        else
            unsetenv(name_.c_str());
    }
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

  private:
    std::string name_;
    std::optional<std::string> old_;
};
