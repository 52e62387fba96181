// The usage query: what reaches the page's records, and what failures leave behind.
#include <sqlite3.h>

#include <filesystem>

#include "BundleFixture.h"
#include "data/BytarnEntry.h"
#include "data/UsageQuery.h"

namespace {

class UsageQuery : public BundleTest {
  protected:
    std::optional<AppUsage> query(const std::string& first, const std::string& last) {
        return queryUsage(usageDatabasePath(), first, last);
    }
    static std::vector<std::string> identifiers(const AppUsage& apps) {
        std::vector<std::string> ids;
        for (const auto& [id, entry] : apps) ids.push_back(id);
        return ids;
    }
};

TEST_F(UsageQuery, PathFollowsHome) {
    EXPECT_EQ(usageDatabasePath(),
              home.path() + "/.local/share/bytarn/org.bytarn.collector.sqlite3");
}

TEST_F(UsageQuery, RangeIsInclusiveAtBothEnds) {
    addUsage("edge.start", "2026-11-30", 1, 0);
    addUsage("edge.end", "2026-12-06", 2, 0);
    addUsage("before", "2026-11-29", 4, 0);
    addUsage("after", "2026-12-07", 8, 0);
    auto apps = query("2026-11-30", "2026-12-06");
    ASSERT_TRUE(apps);
    EXPECT_EQ(identifiers(*apps), (std::vector<std::string>{"edge.end", "edge.start"}));
}

TEST_F(UsageQuery, SumsEveryRowOfAnApplication) {
    addUsage("app", "2026-12-06", 100, 10, 1);
    addUsage("app", "2026-12-06", 200, 20, 2);  // two rows on one day
    addUsage("app", "2026-12-05", 300, 30, 3);
    auto apps = query("2026-12-01", "2026-12-06");
    ASSERT_TRUE(apps);
    const auto& e = *apps->at("app");
    EXPECT_EQ(e.usage_wifi(), 600u);
    EXPECT_EQ(e.usage_cellular(), 60u);
    EXPECT_EQ(e.usage_unknown(), 6u);
}

TEST_F(UsageQuery, RecordsOutliveTheirQuery) {
    // Enough applications for the records to span several blocks.
    for (int i = 0; i < 100; ++i)
        addUsage("app." + std::to_string(100 + i), "2026-12-06", static_cast<std::uint64_t>(i), 1);
    std::vector<std::shared_ptr<BytarnEntry>> kept;
    {
        auto apps = query("2026-12-06", "2026-12-06");
        ASSERT_TRUE(apps);
        ASSERT_EQ(apps->size(), 100u);
        for (const auto& [id, record] : *apps) kept.push_back(record);
    }
    // The map is gone; each record is still its own, with its own counts.
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(kept[static_cast<size_t>(i)]->usage_wifi(), static_cast<std::uint64_t>(i));
        EXPECT_EQ(kept[static_cast<size_t>(i)]->usage_cellular(), 1u);
    }
}

TEST_F(UsageQuery, EmptyResults) {
    sql("SELECT 1;");  // creates the database with its empty table
    auto apps = query("0000-00-00", "2026-12-06");
    ASSERT_TRUE(apps);
    EXPECT_TRUE(apps->empty());

    addUsage("app", "2026-12-06", 1, 1);
    apps = query("2026-12-07", "2026-12-01");  // start after end
    ASSERT_TRUE(apps);
    EXPECT_TRUE(apps->empty());
    apps = query("2026-12-01", "2026-12-05");  // all rows outside: absent, not zero
    ASSERT_TRUE(apps);
    EXPECT_EQ(apps->count("app"), 0u);
}

TEST_F(UsageQuery, OddSumsConvertLikeText) {
    // A column without integer affinity keeps text, so sums can be anything the collector wrote.
    sql("DROP TABLE usage; CREATE TABLE usage (app, date, usage_wifi, usage_cellular, "
        "usage_unknown);"
        "INSERT INTO usage VALUES ('neg', '2026-12-06', -1, 0, 0);"
        "INSERT INTO usage VALUES ('huge', '2026-12-06', 9.5e30, 0, 0);"
        "INSERT INTO usage VALUES ('nulls', '2026-12-06', NULL, 5, NULL);"
        "INSERT INTO usage VALUES (NULL, '2026-12-06', 1, 1, 1);"
        "INSERT INTO usage VALUES (CAST(X'C328' AS TEXT), '2026-12-06', 1, 1, 1);");
    auto apps = query("2026-12-06", "2026-12-06");
    ASSERT_TRUE(apps);
    EXPECT_EQ(identifiers(*apps), (std::vector<std::string>{"huge", "neg", "nulls"}));
    EXPECT_EQ(apps->at("neg")->usage_wifi(), std::numeric_limits<std::uint64_t>::max());
    EXPECT_EQ(apps->at("huge")->usage_wifi(), 9u);  // "9.5e+30" reads up to the dot
    EXPECT_EQ(apps->at("nulls")->usage_wifi(), 0u);
    EXPECT_EQ(apps->at("nulls")->usage_cellular(), 5u);
}

TEST_F(UsageQuery, HostileDateTextIsOnlyData) {
    addUsage("app", "2026-12-01", 1, 1);
    // Pasted into the SQL text these would widen the range to every row, or drop the table.
    auto apps = query("2026-12-06' OR '1'='1", "2026-12-06");
    ASSERT_TRUE(apps);
    EXPECT_TRUE(apps->empty());
    apps = query("2026-12-01", "2026-12-06'; DROP TABLE usage; --");
    ASSERT_TRUE(apps);
    EXPECT_EQ(apps->size(), 1u);
    apps = query("0000-00-00", "2026-12-06");
    ASSERT_TRUE(apps);
    EXPECT_EQ(apps->size(), 1u);  // the table is still there
}

TEST_F(UsageQuery, FailedOpenLogsAndKeepsThePreviousRecords) {
    addUsage("app", "2026-12-06", 1024, 0);
    openPage();
    ASSERT_TRUE(page->apps());
    auto before = page->apps()->at("app");

    std::filesystem::remove(usageDatabasePath());
    std::filesystem::remove(usageDatabasePath() + "-wal");
    std::filesystem::remove(usageDatabasePath() + "-shm");
    SystemLog::takeCaptured();
    page->reloadApps();
    auto log = SystemLog::takeCaptured();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0], "BytarnSettings: Unable to open database: unable to open database file");
    EXPECT_FALSE(std::filesystem::exists(usageDatabasePath()));  // a read-only open creates nothing
    ASSERT_TRUE(page->apps());
    EXPECT_EQ(page->apps()->at("app"), before);
}

TEST_F(UsageQuery, NoDatabaseOnFirstRunLeavesNoRecords) {
    makePage();
    page->reloadApps();
    EXPECT_FALSE(page->apps().has_value());
}

TEST_F(UsageQuery, FailedQueryLogsAndKeepsThePreviousRecords) {
    addUsage("app", "2026-12-06", 1024, 0);
    openPage();
    auto before = *page->apps();
    sql("DROP TABLE usage;");
    SystemLog::takeCaptured();
    page->reloadApps();
    auto log = SystemLog::takeCaptured();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0], "BytarnSettings: Unable to SELECT: no such table: usage");
    EXPECT_EQ(*page->apps(), before);
}

TEST_F(UsageQuery, LockedDatabaseKeepsThePreviousRecords) {
    addUsage("app", "2026-12-06", 1024, 0);
    openPage();
    auto before = *page->apps();
    // A writer on a rollback-journal database holding an exclusive lock.
    sqlite3* writer = nullptr;
    ASSERT_EQ(sqlite3_open(usageDatabasePath().c_str(), &writer), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(writer,
                           "PRAGMA journal_mode=DELETE; BEGIN EXCLUSIVE;"
                           " INSERT INTO usage VALUES ('new', '2026-12-06', 1, 1, 1);",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    SystemLog::takeCaptured();
    page->reloadApps();
    auto log = SystemLog::takeCaptured();
    sqlite3_exec(writer, "ROLLBACK;", nullptr, nullptr, nullptr);
    sqlite3_close(writer);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(log[0], "BytarnSettings: Unable to SELECT: database is locked");
    EXPECT_EQ(*page->apps(), before);
}

}  // namespace
