// The usage query's plan on the collector's schema: the covering index in application order
// serves every period, jumping to the period's first day in each application's rows, so a short
// period reads only its own days however long the history is, and a long one groups its rows as
// it reads them, with no sort.
#include <sqlite3.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "BundleFixture.h"
#include "data/UsageQuery.h"
#include "host/foundation/Clock.h"
#include "host/foundation/Locale.h"
#include "host/foundation/NSDateFormatter.h"

namespace {

class QueryPlan : public BundleTest {
  protected:
    // The collector's database with one row per application and day for November 2026.
    void fill(int applications) {
        UsageDatabase database(UsageDatabase::defaultPath());
        std::string error;
        ASSERT_TRUE(database.execute("BEGIN;", &error)) << error;
        for (int day = 1; day <= 30; ++day) {
            char date[16];
            std::snprintf(date, sizeof date, "2026-11-%02d", day);
            for (int app = 0; app < applications; ++app)
                database.addUsage("app" + std::to_string(app), date, 100, 10, 0);
        }
        ASSERT_TRUE(database.execute("COMMIT;", &error)) << error;
    }

    struct Connection {
        sqlite3* db = nullptr;
        ~Connection() { sqlite3_close(db); }
    };

    // Opens the database read-only, as the page does.
    void open(Connection& connection) {
        ASSERT_EQ(sqlite3_open_v2(usageDatabasePath().c_str(), &connection.db, SQLITE_OPEN_READONLY,
                                  nullptr),
                  SQLITE_OK);
    }

    // The plan's lines (the "detail" column) for the page's statement with these bounds.
    std::vector<std::string> plan(const std::string& first, const std::string& last) {
        Connection connection;
        open(connection);
        std::vector<std::string> lines;
        if (!connection.db) return lines;
        sqlite3_stmt* statement = nullptr;
        std::string sql = std::string("EXPLAIN QUERY PLAN ") + usageQuerySQL();
        EXPECT_EQ(sqlite3_prepare_v2(connection.db, sql.c_str(), -1, &statement, nullptr),
                  SQLITE_OK)
            << sqlite3_errmsg(connection.db);
        sqlite3_bind_text(statement, 1, first.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(statement, 2, last.c_str(), -1, SQLITE_TRANSIENT);
        while (sqlite3_step(statement) == SQLITE_ROW)
            lines.emplace_back(reinterpret_cast<const char*>(sqlite3_column_text(statement, 3)));
        sqlite3_finalize(statement);
        return lines;
    }

    // The statement's answer, one "app wifi cellular unknown" line per row.
    std::vector<std::string> answer(const std::string& first, const std::string& last) {
        Connection connection;
        open(connection);
        std::vector<std::string> rows;
        sqlite3_stmt* statement = nullptr;
        if (!connection.db || sqlite3_prepare_v2(connection.db, usageQuerySQL(), -1, &statement,
                                                 nullptr) != SQLITE_OK)
            return rows;
        sqlite3_bind_text(statement, 1, first.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(statement, 2, last.c_str(), -1, SQLITE_TRANSIENT);
        while (sqlite3_step(statement) == SQLITE_ROW) {
            std::string row;
            for (int column = 0; column < 4; ++column)
                row += std::string(
                           reinterpret_cast<const char*>(sqlite3_column_text(statement, column))) +
                       " ";
            rows.push_back(row);
        }
        sqlite3_finalize(statement);
        return rows;
    }

    struct Run {
        int rows = 0;      // result rows
        int vmSteps = 0;   // virtual machine operations: grows with the rows visited
        int fullScan = 0;  // steps of a full table scan
    };

    // Runs the page's statement itself and reads how much work it did.
    Run run(const std::string& first, const std::string& last) {
        Connection connection;
        open(connection);
        Run result;
        if (!connection.db) return result;
        sqlite3_stmt* statement = nullptr;
        EXPECT_EQ(sqlite3_prepare_v2(connection.db, usageQuerySQL(), -1, &statement, nullptr),
                  SQLITE_OK);
        sqlite3_bind_text(statement, 1, first.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(statement, 2, last.c_str(), -1, SQLITE_TRANSIENT);
        while (sqlite3_step(statement) == SQLITE_ROW) ++result.rows;
        result.vmSteps = sqlite3_stmt_status(statement, SQLITE_STMTSTATUS_VM_STEP, 0);
        result.fullScan = sqlite3_stmt_status(statement, SQLITE_STMTSTATUS_FULLSCAN_STEP, 0);
        sqlite3_finalize(statement);
        return result;
    }
};

TEST_F(QueryPlan, EveryPeriodIsASkipScanOfTheCoveringIndexWithoutASort) {
    fill(20);
    // Today, a week, a month, eternity and a custom range, as the page binds them.
    for (auto [first, last] : {std::pair<std::string, std::string>{"2026-11-30", "2026-11-30"},
                               {"2026-11-24", "2026-11-30"},
                               {"2026-11-01", "2026-11-30"},
                               {"0000-00-00", "2026-11-30"},
                               {"2026-11-10", "2026-11-20"}}) {
        auto lines = plan(first, last);
        ASSERT_FALSE(lines.empty());
        // Both bounds are index constraints within each application's rows; the table itself,
        // a scan of everything and a temporary B-tree for the GROUP BY are all absent.
        EXPECT_EQ(lines, std::vector<std::string>{"SEARCH usage USING COVERING INDEX usage_by_app "
                                                  "(ANY(app) AND date>? AND date<?)"})
            << first << ".." << last;
    }
}

TEST_F(QueryPlan, OneDayReadsOnlyThatDaysRows) {
    fill(20);
    Run today = run("2026-11-30", "2026-11-30");
    Run month = run("2026-11-01", "2026-11-30");
    EXPECT_EQ(today.rows, 20);
    EXPECT_EQ(month.rows, 20);
    EXPECT_EQ(today.fullScan, 0);
    EXPECT_EQ(month.fullScan, 0);
    // A thirtieth of the rows, so far less than a third of the work; a scan of the table would
    // do the same work for both.
    EXPECT_GT(today.vmSteps, 0);
    EXPECT_LT(today.vmSteps * 3, month.vmSteps);
}

TEST_F(QueryPlan, ADayOutsideTheHistoryReadsNothing) {
    fill(20);
    Run none = run("2026-12-01", "2026-12-31");
    Run month = run("2026-11-01", "2026-11-30");
    EXPECT_EQ(none.rows, 0);
    EXPECT_EQ(none.fullScan, 0);
    EXPECT_LT(none.vmSteps * 20, month.vmSteps);
}

TEST_F(QueryPlan, NamedPeriodsReadTheCollectorsIndexForThemAndAnswerTheSame) {
    using Starts = UsageDatabase::PeriodStarts;
    // The collector's period starts are the page's own first days, across clock changes too
    // (Berlin: forward on 2026-03-29, back on 2026-10-25).
    makePage();
    for (const char* now : {"2026-11-30T12:00:00", "2026-10-25T00:30:00", "2026-03-29T23:30:00",
                            "2026-04-02T00:30:00"}) {
        Clock::setVirtual(localInstant(now));
        const Starts starts = UsageDatabase::periodStartsAt(NSDate::date());
        for (auto [period, first] : {std::pair{"Today", &Starts::today},
                                     {"This week", &Starts::week},
                                     {"This month", &Starts::month}}) {
            page->setPeriod(std::string(period));
            EXPECT_EQ(page->startDateStr(), starts.*first) << now << " " << period;
        }
    }

    fill(20);
    struct Case {
        const char *first, *last, *index;
    };
    const Case cases[] = {
        {"2026-11-30", "2026-11-30", "usage_today"},  {"2026-11-24", "2026-11-30", "usage_week"},
        {"2026-11-03", "2026-11-30", "usage_month"},  {"0000-00-00", "2026-11-30", "usage_by_app"},
        {"2026-11-10", "2026-11-20", "usage_by_app"},
    };
    std::vector<std::vector<std::string>> before;
    for (const auto& c : cases) before.push_back(answer(c.first, c.last));
    auto indexFor = [&](const Starts& starts) {
        UsageDatabase database(UsageDatabase::defaultPath());
        std::string error;
        EXPECT_TRUE(database.indexPeriods(starts, &error)) << error;
    };
    indexFor({"2026-11-30", "2026-11-24", "2026-11-03"});
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const auto& c = cases[i];
        auto lines = plan(c.first, c.last);
        ASSERT_EQ(lines.size(), 1u) << c.first;  // one index, no sort
        EXPECT_NE(lines[0].find(std::string("COVERING INDEX ") + c.index), std::string::npos)
            << c.first << ": " << lines[0];
        EXPECT_EQ(answer(c.first, c.last), before[i]) << c.first;
    }

    // A day later the indexes follow the days; the old day's bound reads the full index again.
    indexFor({"2026-12-01", "2026-11-25", "2026-11-04"});
    EXPECT_NE(plan("2026-11-30", "2026-11-30").at(0).find("usage_by_app"), std::string::npos);
    EXPECT_NE(plan("2026-12-01", "2026-12-01").at(0).find("usage_today"), std::string::npos);
    EXPECT_EQ(answer("2026-11-30", "2026-11-30"), before[0]);
}

}  // namespace
