#pragma once

#include <optional>
#include <string>

struct sqlite3;

// The pause of mobile data at a cellular plan's limit, as the collector keeps it in table
// `plan_pauses` of the usage database (docs/DATAPLAN.md): one row per plan kind and cycle in
// which the limit was reached, with when the pause began, when that cycle ends and, once the
// user resumed, when. The collector decides and writes pauses; `bytarn plan resume`, the
// notification's "Resume" and the Data plan page resume one here, and the running collector
// follows the row. Here, beside CycleUsage, because the collector and the bundles share it.
namespace PlanPause {

// The table, as the collector's schema creates it (UsageDatabase, schema 3).
inline constexpr const char* kTableSQL =
    "CREATE TABLE IF NOT EXISTS plan_pauses ("
    " kind TEXT NOT NULL,"
    " cycle TEXT NOT NULL,"  // the cycle's first day, yyyy-MM-dd
    " since REAL NOT NULL,"  // Unix time the limit paused mobile data
    " until REAL NOT NULL,"  // Unix time the cycle ends: the pause ends by itself
    " resumed REAL,"         // Unix time the user resumed; null while paused
    " PRIMARY KEY (kind, cycle));";

// Only the cellular plan's limit pauses: the helper keeps applications off cellular networks.
bool pausesAtLimit(const std::string& kind);

struct Record {
    std::string kind;
    std::string cycle;  // the cycle's first day
    double since = 0;
    double until = 0;
    std::optional<double> resumed;
    bool operator==(const Record&) const = default;

    // Whether mobile data is paused by it at `now`.
    bool pausedAt(double now) const { return !resumed && now < until; }
};

// On the collector's connection. Each throws std::runtime_error with SQLite's message.
// The kind's latest record (the one of the latest cycle), or nothing.
std::optional<Record> latest(sqlite3* db, const std::string& kind);
// The record of one cycle, or nothing.
std::optional<Record> ofCycle(sqlite3* db, const std::string& kind, const std::string& cycle);
// Adds the pause of a cycle unless the cycle has one (paused, or resumed); true when added.
bool begin(sqlite3* db, const Record& pause);
// Removes a cycle's pause that was not resumed (its limit is no longer reached); true when one
// was removed.
bool withdraw(sqlite3* db, const std::string& kind, const std::string& cycle);

// From another process, by the database's path. The pause in effect at `now`, over a read-only
// connection that never creates the file: nothing when there is none (no file, a file older
// than the table). Nothing with the reason in `error` when the database cannot be read.
std::optional<Record> current(const std::string& databasePath, const std::string& kind, double now,
                              std::string* error);

enum class ResumeResult { Resumed, NotPaused, Failed };
// Ends the pause in effect at `now`: the cycle keeps its record, resumed, so the limit does not
// pause it again. Failed with the reason in `error` when the database cannot be written.
ResumeResult resume(const std::string& databasePath, const std::string& kind, double now,
                    std::string* error);

}  // namespace PlanPause
