#include "collector/UsageDatabase.h"

#include <sqlite3.h>

#include <filesystem>
#include <stdexcept>

#include "host/foundation/NSDateFormatter.h"
#include "host/foundation/Paths.h"
#include "host/netpolicy/PlanPause.h"

namespace {

const char* const kTables =
    "CREATE TABLE IF NOT EXISTS usage ("
    " app TEXT NOT NULL,"
    " date TEXT NOT NULL,"
    " usage_wifi INTEGER NOT NULL DEFAULT 0,"
    " usage_cellular INTEGER NOT NULL DEFAULT 0,"
    " usage_unknown INTEGER NOT NULL DEFAULT 0);"
    // The mark of the collector's last committed save, one row: a save whose commit reports a
    // failure may have reached the disk all the same, and the next save looks here to tell.
    "CREATE TABLE IF NOT EXISTS usage_saves ("
    " id INTEGER PRIMARY KEY CHECK (id = 1),"
    " mark INTEGER NOT NULL);"
    // The plan alerts sent to the desktop, one row per plan kind, cycle (its first day) and
    // alert, so that a collector started again within the cycle does not send one twice.
    // `notified` is 0 for an alert a graver one made needless (the warning past the limit).
    "CREATE TABLE IF NOT EXISTS plan_alerts ("
    " kind TEXT NOT NULL,"
    " cycle TEXT NOT NULL,"
    " alert TEXT NOT NULL,"
    " sent REAL NOT NULL,"
    " notified INTEGER NOT NULL,"
    " PRIMARY KEY (kind, cycle, alert));";

// The page sums a period's rows per application. This index holds every column the page reads,
// in application order: the page's query reads it alone, never the table, and its GROUP BY
// streams with no sort. The planner walks it as a skip-scan, one jump to the first day of the
// period for each application, so a short period reads only its own days.
const char* const kIndex =
    "CREATE INDEX IF NOT EXISTS usage_by_app"
    " ON usage (app, date, usage_wifi, usage_cellular, usage_unknown);";

// The index of schema 0, which the one above replaces: the page's query took it for every
// period and sorted a long period's rows for the GROUP BY.
const char* const kRetiredIndex = "DROP INDEX IF EXISTS usage_by_date;";

// What the planner is told about usage_by_app, in sqlite_stat1's form: the rows of a year with
// one row per application and day, 365 for each application. The skip-scan needs at least 18
// rows per application on record; these figures describe the history the page is built for, not
// the file as it stands, so the plan is the same for a young file and an old one (ANALYZE on a
// young file would record a few rows per application and turn the page to reading every row).
const char* const kIndexFigures = "365000 365 1 1 1 1";

// The partial indexes of the page's named periods, with what the planner is told of each: a
// period's days of one row per application (as kIndexFigures says of the whole index). They
// make the planner take a period's index over the jumps through usage_by_app.
struct PeriodIndex {
    const char* name;
    const char* figures;
    std::string UsageDatabase::PeriodStarts::*firstDay;
};
const PeriodIndex kPeriodIndexes[] = {
    {"usage_today", "1000 1 1 1 1 1", &UsageDatabase::PeriodStarts::today},
    {"usage_week", "7000 7 1 1 1 1", &UsageDatabase::PeriodStarts::week},
    {"usage_month", "28000 28 1 1 1 1", &UsageDatabase::PeriodStarts::month},
};

std::string periodIndexSQL(const PeriodIndex& index, const std::string& firstDay) {
    return std::string("CREATE INDEX ") + index.name +
           " ON usage (app, date, usage_wifi, usage_cellular, usage_unknown) WHERE date >= '" +
           firstDay + "'";
}

// A day as the formatter writes it: the only text that goes into an index's SQL.
bool isDay(const std::string& text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
    for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (text[i] < '0' || text[i] > '9') return false;
    return true;
}

// Whether an SQL text of one row and one column answers `expected`.
bool answers(sqlite3* db, const char* sql, const std::string& expected) {
    sqlite3_stmt* statement = nullptr;
    bool same = false;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW) {
        const unsigned char* text = sqlite3_column_text(statement, 0);
        same = text && expected == reinterpret_cast<const char*>(text);
    }
    sqlite3_finalize(statement);
    return same;
}

int userVersion(sqlite3* db) {
    sqlite3_stmt* statement = nullptr;
    int version = -1;
    if (sqlite3_prepare_v2(db, "PRAGMA user_version;", -1, &statement, nullptr) == SQLITE_OK &&
        sqlite3_step(statement) == SQLITE_ROW)
        version = sqlite3_column_int(statement, 0);
    sqlite3_finalize(statement);
    return version;
}

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
    if (!execute("PRAGMA journal_mode=WAL;", &error) || !prepareSchema(&error)) {
        sqlite3_close(db_);
        db_ = nullptr;
        throw std::runtime_error("cannot prepare " + path + ": " + error);
    }
}

UsageDatabase::~UsageDatabase() {
    sqlite3_close(db_);
}

UsageDatabase::PeriodStarts UsageDatabase::periodStartsAt(NSDate now) {
    NSDateFormatter formatter;
    formatter.setLocale("en_US_POSIX");
    formatter.setDateFormat("yyyy-MM-dd");
    auto day = [&](double secondsBack) {
        return formatter.stringFromDate(now.dateByAddingTimeInterval(-secondsBack)).value_or("");
    };
    return {day(0), day(6 * 86400.0), day(27 * 86400.0)};
}

bool UsageDatabase::indexPeriods(const PeriodStarts& starts, std::string* error) {
    if (starts == indexedPeriods_) return true;
    // Tried once per set of days, whatever the outcome: a failure is said once, not every save.
    indexedPeriods_ = starts;
    for (const auto& index : kPeriodIndexes)
        if (!isDay(starts.*index.firstDay)) {
            if (error) *error = "not a day: \"" + starts.*index.firstDay + "\"";
            return false;
        }
    auto current = [&](const PeriodIndex& index) {
        return answers(db_,
                       ("SELECT sql FROM sqlite_schema WHERE type = 'index' AND name = '" +
                        std::string(index.name) + "';")
                           .c_str(),
                       periodIndexSQL(index, starts.*index.firstDay)) &&
               answers(db_,
                       ("SELECT stat FROM sqlite_stat1 WHERE tbl = 'usage' AND idx = '" +
                        std::string(index.name) + "';")
                           .c_str(),
                       index.figures);
    };
    bool allCurrent = true;
    for (const auto& index : kPeriodIndexes) allCurrent = allCurrent && current(index);
    if (!allCurrent) {
        if (!execute("BEGIN IMMEDIATE;", error)) return false;
        bool done = true;
        for (const auto& index : kPeriodIndexes)
            if (done && !current(index))
                done =
                    execute(std::string("DROP INDEX IF EXISTS ") + index.name + ";" +
                                periodIndexSQL(index, starts.*index.firstDay) +
                                ";DELETE FROM sqlite_stat1 WHERE tbl = 'usage' AND idx = '" +
                                index.name + "';INSERT INTO sqlite_stat1 (tbl, idx, stat) VALUES" +
                                " ('usage', '" + index.name + "', '" + index.figures + "');",
                            error);
        if (!done || !execute("COMMIT;", error)) {
            execute("ROLLBACK;", nullptr);
            return false;
        }
    }
    return true;
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

bool UsageDatabase::prepareSchema(std::string* error) {
    const char* const figuresQuery =
        "SELECT stat FROM sqlite_stat1 WHERE tbl = 'usage' AND idx = 'usage_by_app';";
    // A current file needs no write lock: opening it never waits for another writer's save.
    const int current = userVersion(db_);
    if (current > kSchemaVersion) return true;  // a later collector's file, left as it is
    if (current == kSchemaVersion && answers(db_, figuresQuery, kIndexFigures))
        return execute(kTables, error) && execute(PlanPause::kTableSQL, error) &&
               execute(kIndex, error);

    // One transaction: a migration that fails or is cut short leaves the file as it was, and the
    // next open starts it again. The version is read again under the write lock, in case another
    // connection migrated the file meanwhile.
    if (!execute("BEGIN IMMEDIATE;", error)) return false;
    const int version = userVersion(db_);
    bool done = version >= 0;
    if (!done) {
        if (error) *error = sqlite3_errmsg(db_);
    } else if (version <= kSchemaVersion) {
        // Schema 0's index goes first, so that the new one is built in the pages it frees.
        done = execute(kTables, error) && execute(PlanPause::kTableSQL, error) &&
               (version == kSchemaVersion || execute(kRetiredIndex, error)) &&
               execute(kIndex, error) &&
               (version == kSchemaVersion ||
                execute("PRAGMA user_version = " + std::to_string(kSchemaVersion) + ";", error));
        // The figures go in with the index and come back if anything (ANALYZE run by hand, a
        // tool that drops sqlite_stat1) changed them. ANALYZE of sqlite_schema only creates
        // sqlite_stat1 where it is missing: SQLite gathers nothing about its own tables.
        if (done && !answers(db_, figuresQuery, kIndexFigures))
            done = execute(
                "ANALYZE sqlite_schema;"
                "DELETE FROM sqlite_stat1 WHERE tbl = 'usage';"
                "INSERT INTO sqlite_stat1 (tbl, idx, stat) VALUES"
                " ('usage', 'usage_by_app', '" +
                    std::string(kIndexFigures) + "');",
                error);
    }
    if (done && execute("COMMIT;", error)) return true;
    execute("ROLLBACK;", nullptr);
    return false;
}
