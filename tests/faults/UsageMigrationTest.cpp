// The usage schema's migration: a file of schema 0 (the table and its index on (date, app)) is
// brought to the current schema when the collector opens it, in one transaction and once. Every
// row stays as it was, the page answers as before, a migration cut short by a failing disk leaves
// the old file whole and runs again at the next open, and a current file is left alone.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "collector/UsageDatabase.h"
#include "data/BytarnEntry.h"
#include "data/UsageQuery.h"
#include "faults/FaultTestSupport.h"
#include "faults/FaultVfs.h"
#include "support/TestEnvironment.h"

namespace {

namespace fs = std::filesystem;

// Schema 0 as the first collectors wrote it, with rows: several for one application and day,
// counters past 2^63 (stored as negative integers), a day long ago, and a save mark.
const char* const kSchemaZeroFile =
    "PRAGMA journal_mode=WAL;"
    "CREATE TABLE usage (app TEXT NOT NULL, date TEXT NOT NULL,"
    " usage_wifi INTEGER NOT NULL DEFAULT 0, usage_cellular INTEGER NOT NULL DEFAULT 0,"
    " usage_unknown INTEGER NOT NULL DEFAULT 0);"
    "CREATE INDEX usage_by_date ON usage (date, app);"
    "CREATE TABLE usage_saves (id INTEGER PRIMARY KEY CHECK (id = 1), mark INTEGER NOT NULL);"
    "INSERT INTO usage VALUES ('org.example.mail', '2026-12-05', 100, 20, 3);"
    "INSERT INTO usage VALUES ('org.example.mail', '2026-12-06', 1, 2, 3);"
    "INSERT INTO usage VALUES ('org.example.radio', '2026-12-06', -2, 9223372036854775807, 0);"
    "INSERT INTO usage VALUES ('org.example.mail', '2026-12-06', 10, 20, 30);"
    "INSERT INTO usage VALUES ('org.example.mail', '2026-12-06', 100, 200, 300);"
    "INSERT INTO usage VALUES ('org.example.maps', '2019-02-28', 5, 0, 0);"
    "INSERT INTO usage_saves VALUES (1, 42);";

using Rows = std::vector<std::vector<std::string>>;
using Answer = std::map<std::string, std::array<std::uint64_t, 3>>;

class UsageMigration : public ::testing::Test {
  protected:
    void writeSchemaZeroFile() {
        for (const char* suffix : {"", "-wal", "-shm"}) fs::remove(path + suffix);
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
        ASSERT_EQ(sqlite3_exec(db, kSchemaZeroFile, nullptr, nullptr, nullptr), SQLITE_OK)
            << sqlite3_errmsg(db);
        sqlite3_close(db);
    }

    Rows query(const std::string& sql) {
        std::string error;
        auto rows = tryQuery(path, sql, &error);
        EXPECT_TRUE(rows) << sql << ": " << error;
        return rows.value_or(Rows{});
    }
    // Every row as stored, in insertion order, and the save mark.
    Rows contents() {
        Rows rows = query(
            "SELECT rowid, app, date, usage_wifi, usage_cellular, usage_unknown"
            " FROM usage ORDER BY rowid;");
        for (auto& mark : query("SELECT id, mark FROM usage_saves;")) rows.push_back(mark);
        return rows;
    }
    // The version and the indexes of the usage table.
    std::string schema() {
        std::string text = "version " + query("PRAGMA user_version;").at(0).at(0);
        for (const auto& row :
             query("SELECT name FROM sqlite_master WHERE type = 'index' AND tbl_name = 'usage'"
                   " ORDER BY name;"))
            text += " " + row.at(0);
        return text;
    }
    // What the page shows for a day, a month before it, and eternity.
    std::vector<Answer> pageAnswers() {
        std::vector<Answer> answers;
        for (auto [first, last] : {std::pair{"2026-12-06", "2026-12-06"},
                                   {"2026-11-06", "2026-12-05"},
                                   {"0000-00-00", "2026-12-06"}}) {
            auto apps = queryUsage(path, std::string(first), std::string(last));
            EXPECT_TRUE(apps) << first << ".." << last;
            Answer answer;
            if (apps)
                for (const auto& [app, entry] : *apps)
                    answer[app] = {entry->usage_wifi(), entry->usage_cellular(),
                                   entry->usage_unknown()};
            answers.push_back(answer);
        }
        return answers;
    }

    ScratchHome home;
    const std::string path = home.file("usage.sqlite3");
    const std::string kSchemaZero = "version 0 usage_by_date";
    const std::string kCurrent = "version 3 usage_by_app";
};

TEST_F(UsageMigration, OpeningMigratesOnceKeepingEveryRowAndTheAnswers) {
    writeSchemaZeroFile();
    ASSERT_EQ(schema(), kSchemaZero);
    const Rows rows = contents();
    const std::vector<Answer> answers = pageAnswers();
    ASSERT_EQ(answers.at(0).at("org.example.mail"), (std::array<std::uint64_t, 3>{111, 222, 333}));

    { UsageDatabase database(path); }
    EXPECT_EQ(schema(), kCurrent);
    EXPECT_EQ(contents(), rows);
    EXPECT_EQ(pageAnswers(), answers);
    EXPECT_EQ(integrityCheck(path), "ok");

    // A file of the current schema is left alone, byte for byte.
    const std::string migrated = readFile(path);
    { UsageDatabase database(path); }
    EXPECT_TRUE(readFile(path) == migrated);
}

TEST_F(UsageMigration, AMigrationCutShortLeavesTheOldFileAndRunsAgainAtTheNextOpen) {
    FaultVfs vfs;
    int failures = 0, committedDespiteFailure = 0;
    // The disk fills up at each writing call of the migration in turn, until it no longer does.
    for (std::uint64_t failAt = 0; failAt < 500; ++failAt) {
        SCOPED_TRACE("failing write " + std::to_string(failAt));
        writeSchemaZeroFile();
        const Rows rows = contents();
        const std::vector<Answer> answers = pageAnswers();
        vfs.arm(failAt);
        bool opened = true;
        try {
            UsageDatabase database(path);
            vfs.disarm();
        } catch (const std::runtime_error&) {
            opened = false;
        }
        vfs.disarm();
        if (opened) break;
        ++failures;
        // The migration is all or nothing: a failure reported as the commit was flushing may
        // come after the commit reached the write-ahead log.
        const std::string after = schema();
        EXPECT_TRUE(after == kSchemaZero || after == kCurrent) << after;
        if (after == kCurrent) ++committedDespiteFailure;
        EXPECT_EQ(contents(), rows);
        EXPECT_EQ(pageAnswers(), answers);

        { UsageDatabase database(path); }
        EXPECT_EQ(schema(), kCurrent);
        EXPECT_EQ(contents(), rows);
        EXPECT_EQ(integrityCheck(path), "ok");
    }
    EXPECT_GT(failures, 2) << "the migration's writes were not reached";
    RecordProperty("failure_points", failures);
    RecordProperty("committed_despite_failure", committedDespiteFailure);
    std::printf("migration sweep: %d failure points, %d committed before the failing flush\n",
                failures, committedDespiteFailure);
}

}  // namespace
