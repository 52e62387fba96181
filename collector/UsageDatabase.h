#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "host/netpolicy/SqliteHandles.h"  // prepareStatement, as every reader of the file

struct NSDate;

// The collector's side of the usage database: a read-write connection that creates the file
// with its schema when it is missing and brings an older file's schema up to date. Table `usage`
// holds any number of rows per application and day; dates are local calendar days written
// "yyyy-MM-dd". The covering index `usage_by_app` on (app, date, counters) serves the page's
// date-range query for any period without a sort, and WAL journaling keeps that read-only query
// from ever waiting on a write. Table `usage_saves` holds the mark of the collector's last
// committed save, `plan_alerts` the plan alerts sent, `plan_pauses` the pauses of mobile
// data at the limit. The schema's version is the file's
// user_version (see kSchemaVersion).
class UsageDatabase {
  public:
    // ~/.local/share/bytarn/<collector service name>.sqlite3, with "~" from HOME.
    static std::string defaultPath();

    // The schema this collector makes, kept in PRAGMA user_version. 0: the index on (date, app)
    // of the first collectors (or a file made by hand). 1: the covering index in application
    // order with its planner figures in sqlite_stat1. 2: table `plan_alerts`, the plan alerts
    // sent (collector/alerts/PlanAlerts). 3: table `plan_pauses`, the pauses of mobile data at
    // the cellular plan's limit (host/netpolicy/PlanPause, collector/alerts/LimitPause). Opening a
    // file of an older version migrates it in place, in one transaction; a later version's file is
    // left as it is. Every version's `usage` table reads the same, so the page reads older and
    // newer files alike.
    static constexpr int kSchemaVersion = 3;

    // How long a statement waits for another connection's lock before it fails.
    static constexpr int kDefaultBusyTimeoutMilliseconds = 5000;

    // Opens (creating when missing) the database. Throws std::runtime_error with SQLite's
    // message when it cannot be opened or its schema cannot be made.
    explicit UsageDatabase(const std::string& path = defaultPath(),
                           int busyTimeoutMilliseconds = kDefaultBusyTimeoutMilliseconds);
    ~UsageDatabase();
    UsageDatabase(const UsageDatabase&) = delete;
    UsageDatabase& operator=(const UsageDatabase&) = delete;

    const std::string& path() const { return path_; }

    // The first days of the page's named periods, "yyyy-MM-dd": today, six days back ("This
    // week") and twenty-seven days back ("This month").
    struct PeriodStarts {
        std::string today, week, month;
        bool operator==(const PeriodStarts&) const = default;
    };
    // The period starts on the local calendar at `now`, as the page counts them: fixed counts of
    // seconds back from the instant, then the local date.
    static PeriodStarts periodStartsAt(NSDate now);

    // Keeps one partial index per named period: the rows from its first day on, in the covering
    // index's order. The page binds a period's first day as its query's lower bound, and SQLite
    // takes a partial index whose `date >= 'D'` is the bound it was given, so a named period
    // reads its own rows from a few pages instead of one jump per application. Remade when the
    // days move on, in one transaction; false with SQLite's message when that failed (the page
    // then reads the full index, as fast as before). Tried once per set of days.
    bool indexPeriods(const PeriodStarts& starts, std::string* error);

    // Adds one row of counters for an application and day.
    void addUsage(const std::string& app, const std::string& date, std::uint64_t wifi,
                  std::uint64_t cellular, std::uint64_t unknown);

    // Runs SQL text as it stands (several statements allowed). Returns false with SQLite's
    // message in *error on failure.
    bool execute(const std::string& sql, std::string* error);

    sqlite3* handle() const { return db_; }

  private:
    // Creates or migrates the schema in one transaction; false with SQLite's message on failure,
    // the file then as it was.
    bool prepareSchema(std::string* error);

    std::string path_;
    sqlite3* db_ = nullptr;
    PeriodStarts indexedPeriods_;  // what the period indexes were last found or made for
};
