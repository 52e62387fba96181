#include <gtest/gtest.h>
#include <sqlite3.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "collector/CollectorTestSupport.h"
#include "collector/SyntheticTraffic.h"
#include "collector/UsageDatabase.h"
#include "host/activator/LAActivator.h"
#include "host/foundation/Paths.h"
#include "support/TestEnvironment.h"

namespace {

// Read-only queries on the database, each on a connection of its own, as the bundle's would be.
class Reader {
  public:
    explicit Reader(std::string path) : path_(std::move(path)) {}

    std::vector<std::vector<std::string>> rows(const std::string& sql) const {
        return queryRows(path_, sql);
    }

    std::string value(const std::string& sql) const {
        auto all = rows(sql);
        return all.empty() || all[0].empty() ? "" : all[0][0];
    }

  private:
    std::string path_;
};

TEST(CollectorDatabase, SeededRowsLandInTheDefaultDatabaseUnderHome) {
    ScratchHome home;
    std::string path = UsageDatabase::defaultPath();
    EXPECT_EQ(path.rfind(home.path() + "/", 0), 0u) << path;

    auto rows = SyntheticTraffic::generate(14, 11);
    ASSERT_FALSE(rows.empty());
    {
        UsageDatabase database;
        SyntheticTraffic::writeTo(database, rows);
    }

    Reader reader(path);
    auto stored = reader.rows(
        "SELECT app, date, usage_wifi, usage_cellular, usage_unknown FROM usage ORDER BY rowid");
    ASSERT_EQ(stored.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i) {
        std::vector<std::string> expected{rows[i].app, rows[i].date, std::to_string(rows[i].wifi),
                                          std::to_string(rows[i].cellular),
                                          std::to_string(rows[i].unknown)};
        EXPECT_EQ(stored[i], expected) << "row " << i;
    }
    // The date range the page asks for finds exactly the rows of those days.
    EXPECT_EQ(reader.value("SELECT min(date) || ' ' || max(date) FROM usage"),
              "2026-11-23 2026-12-06");
}

TEST(CollectorDatabase, SchemaHasTheCoveringIndexAndWriteAheadLog) {
    ScratchHome home;
    std::string path = home.file("data/usage.sqlite3");
    {
        UsageDatabase database(path);
        SyntheticTraffic::writeTo(database, SyntheticTraffic::generate(3, 1));
    }
    Reader reader(path);
    EXPECT_EQ(reader.value("PRAGMA journal_mode"), "wal");
    auto indexes =
        reader.rows("SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = 'usage'");
    ASSERT_EQ(indexes.size(), 1u);
    auto columns =
        reader.rows("SELECT name FROM pragma_index_info('" + indexes[0][0] + "') ORDER BY seqno");
    EXPECT_EQ(columns,
              (std::vector<std::vector<std::string>>{
                  {"app"}, {"date"}, {"usage_wifi"}, {"usage_cellular"}, {"usage_unknown"}}));
    // And the range query actually uses it.
    std::string plan;
    for (const auto& row : reader.rows("EXPLAIN QUERY PLAN SELECT app FROM usage WHERE date "
                                       "BETWEEN '2026-12-01' AND '2026-12-06'"))
        plan += row.back() + "\n";
    EXPECT_NE(plan.find(indexes[0][0]), std::string::npos) << plan;
}

TEST(CollectorDatabase, SeedingIsAllOrNothing) {
    ScratchHome home;
    std::string path = home.file("usage.sqlite3");
    UsageDatabase database(path);
    std::string error;
    ASSERT_TRUE(database.execute(
        "CREATE TRIGGER reject BEFORE INSERT ON usage WHEN NEW.app = 'org.example.Rejected' "
        "BEGIN SELECT RAISE(ABORT, 'rejected'); END;",
        &error))
        << error;

    auto rows = SyntheticTraffic::generate(5, 2);
    ASSERT_GT(rows.size(), 2u);
    rows.insert(rows.begin() + rows.size() / 2, UsageRow{"org.example.Rejected", "2026-12-06", 1});
    EXPECT_THROW(SyntheticTraffic::writeTo(database, rows), std::runtime_error);
    EXPECT_EQ(Reader(path).value("SELECT count(*) FROM usage"), "0");

    // The connection is usable afterwards: no transaction was left open.
    rows.erase(rows.begin() + rows.size() / 2);
    SyntheticTraffic::writeTo(database, rows);
    EXPECT_EQ(Reader(path).value("SELECT count(*) FROM usage"), std::to_string(rows.size()));
}

TEST(CollectorDesktopEntries, GiveEveryApplicationItsTitle) {
    ScratchHome home;
    LAActivator& activator = LAActivator::sharedInstance();
    activator.clearCache();
    auto written = SyntheticTraffic::writeDesktopEntries(Paths::dataHome() + "/applications");
    const auto& applications = SyntheticTraffic::applications();
    EXPECT_EQ(written.size(), applications.size());
    for (const SyntheticApplication& application : applications) {
        EXPECT_EQ(activator.localizedTitleForListenerName(application.identifier),
                  application.displayName)
            << application.identifier;
        std::string entry =
            readFile(Paths::dataHome() + "/applications/" + application.identifier + ".desktop");
        EXPECT_NE(entry.find("\nType=Application\n"), std::string::npos) << entry;
        // No icons are written, so no entry may point at one.
        EXPECT_EQ(entry.find("Icon="), std::string::npos) << entry;
    }
    activator.clearCache();
}

}  // namespace
