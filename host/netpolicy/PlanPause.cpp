#include "host/netpolicy/PlanPause.h"

#include <memory>
#include <stdexcept>

#include "host/netpolicy/SqliteHandles.h"

namespace PlanPause {

namespace {

// How long another connection's write (the collector's save) may hold this one up.
constexpr int kBusyTimeoutMilliseconds = 5000;

void bindText(sqlite3_stmt* statement, int index, const std::string& text) {
    sqlite3_bind_text(statement, index, text.c_str(), static_cast<int>(text.size()),
                      SQLITE_TRANSIENT);
}

std::optional<Record> readOne(sqlite3* db, sqlite3_stmt* statement) {
    int rc = sqlite3_step(statement);
    if (rc == SQLITE_DONE) return std::nullopt;
    if (rc != SQLITE_ROW) throw std::runtime_error(sqlite3_errmsg(db));
    Record record;
    record.kind = columnText(statement, 0);
    record.cycle = columnText(statement, 1);
    record.since = sqlite3_column_double(statement, 2);
    record.until = sqlite3_column_double(statement, 3);
    if (sqlite3_column_type(statement, 4) != SQLITE_NULL)
        record.resumed = sqlite3_column_double(statement, 4);
    return record;
}

void step(sqlite3* db, sqlite3_stmt* statement) {
    if (sqlite3_step(statement) != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db));
}

// A file of a collector older than the table has never paused anything.
bool hasTable(sqlite3* db) {
    auto statement = prepareStatement(
        db, "SELECT 1 FROM sqlite_schema WHERE type = 'table' AND name = 'plan_pauses';");
    int rc = sqlite3_step(statement.get());
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db));
    return rc == SQLITE_ROW;
}

const char* const kColumns = "SELECT kind, cycle, since, until, resumed FROM plan_pauses ";

}  // namespace

bool pausesAtLimit(const std::string& kind) {
    return kind == "cellular";
}

std::optional<Record> latest(sqlite3* db, const std::string& kind) {
    auto statement = prepareStatement(
        db, (std::string(kColumns) + "WHERE kind = ? ORDER BY since DESC LIMIT 1;").c_str());
    bindText(statement.get(), 1, kind);
    return readOne(db, statement.get());
}

std::optional<Record> ofCycle(sqlite3* db, const std::string& kind, const std::string& cycle) {
    auto statement =
        prepareStatement(db, (std::string(kColumns) + "WHERE kind = ? AND cycle = ?;").c_str());
    bindText(statement.get(), 1, kind);
    bindText(statement.get(), 2, cycle);
    return readOne(db, statement.get());
}

bool begin(sqlite3* db, const Record& pause) {
    auto statement =
        prepareStatement(db,
                         "INSERT OR IGNORE INTO plan_pauses (kind, cycle, since, until)"
                         " VALUES (?, ?, ?, ?);");
    bindText(statement.get(), 1, pause.kind);
    bindText(statement.get(), 2, pause.cycle);
    sqlite3_bind_double(statement.get(), 3, pause.since);
    sqlite3_bind_double(statement.get(), 4, pause.until);
    step(db, statement.get());
    return sqlite3_changes(db) > 0;
}

bool withdraw(sqlite3* db, const std::string& kind, const std::string& cycle) {
    auto statement = prepareStatement(
        db, "DELETE FROM plan_pauses WHERE kind = ? AND cycle = ? AND resumed IS NULL;");
    bindText(statement.get(), 1, kind);
    bindText(statement.get(), 2, cycle);
    step(db, statement.get());
    return sqlite3_changes(db) > 0;
}

std::optional<Record> current(const std::string& databasePath, const std::string& kind, double now,
                              std::string* error) {
    try {
        auto db =
            openExistingDatabase(databasePath, SQLITE_OPEN_READONLY, kBusyTimeoutMilliseconds);
        if (!db || !hasTable(db.get())) return std::nullopt;
        auto record = latest(db.get(), kind);
        if (record && record->pausedAt(now)) return record;
    } catch (const std::exception& failure) {
        if (error) *error = failure.what();
    }
    return std::nullopt;
}

ResumeResult resume(const std::string& databasePath, const std::string& kind, double now,
                    std::string* error) {
    try {
        auto db =
            openExistingDatabase(databasePath, SQLITE_OPEN_READWRITE, kBusyTimeoutMilliseconds);
        if (!db || !hasTable(db.get())) return ResumeResult::NotPaused;
        auto statement =
            prepareStatement(db.get(),
                             "UPDATE plan_pauses SET resumed = ? WHERE kind = ? AND resumed IS NULL"
                             " AND ? < until;");
        sqlite3_bind_double(statement.get(), 1, now);
        bindText(statement.get(), 2, kind);
        sqlite3_bind_double(statement.get(), 3, now);
        step(db.get(), statement.get());
        return sqlite3_changes(db.get()) > 0 ? ResumeResult::Resumed : ResumeResult::NotPaused;
    } catch (const std::exception& failure) {
        if (error) *error = failure.what();
        return ResumeResult::Failed;
    }
}

}  // namespace PlanPause
