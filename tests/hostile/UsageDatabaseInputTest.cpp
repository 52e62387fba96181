// Hostile usage databases: whatever lies at the database path, the root page builds, shows what
// it can read, logs a failed open or query in the bundle's words, and never writes the file.
#include <filesystem>
#include <fstream>
#include <functional>

#include "bundle/BundleFixture.h"
#include "data/BytarnEntry.h"
#include "data/UsageQuery.h"
#include "hostile/Catalogue.h"

namespace fs = std::filesystem;

namespace {

using Rows = std::vector<std::string>;

const Rows kEmptyPage{"[Usage for today]", "Total=0.00B", "[]"};
const char* const kOpenFailed = "BytarnSettings: Unable to open database: ";
const char* const kSelectFailed = "BytarnSettings: Unable to SELECT: ";

// A table without column types keeps whatever is inserted as it is: text, reals, NULLs.
const char* const kLooseTable =
    "CREATE TABLE usage (app, date, usage_wifi, usage_cellular, usage_unknown);";

class HostileDatabase : public BundleTest {
  protected:
    std::string path() { return usageDatabasePath(); }
    void writeBytes(const std::string& bytes) {
        fs::create_directories(fs::path(path()).parent_path());
        std::ofstream(path(), std::ios::binary | std::ios::trunc) << bytes;
    }
    void loose(const std::string& inserts) { catalogue::rawSql(path(), kLooseTable + inserts); }

    // The uniform check: the page builds with the expected rows and log, the file is byte for
    // byte what was put there, and the first application (if any) opens its detail page, whose
    // total matches the row it was opened from.
    void check(const Rows& expectedRows, const std::vector<std::string>& expectedLog) {
        bool existed = fs::exists(path());
        std::string before = existed ? readFile(path()) : "";
        SystemLog::takeCaptured();
        openPage();
        EXPECT_EQ(rows(), expectedRows);
        catalogue::expectLog(expectedLog);
        EXPECT_EQ(fs::exists(path()), existed) << "a read-only open creates nothing";
        if (existed) {
            EXPECT_TRUE(readFile(path()) == before) << "the page must never change the database";
        }
        openFirstApplication();
    }

    void openFirstApplication() {
        std::shared_ptr<PSSpecifier> first;
        for (const auto& row : page->specifiers())
            if (!first && row->detailControllerClass() == "BytarnEntryController") first = row;
        if (!first) return;
        std::string error;
        ASSERT_TRUE(page->didSelectSpecifier(first, &error)) << error;
        auto detail = std::dynamic_pointer_cast<PSListController>(navigation->topViewController());
        ASSERT_TRUE(detail);
        ASSERT_NE(detail, page);
        Rows shown = rowsOf(*detail);
        ASSERT_GE(shown.size(), 2u);
        EXPECT_EQ(shown[0], "[Usage for today]");
        EXPECT_EQ(shown[1], first->name() + "=" + first->valueText().value_or("?"));
    }
};

TEST_F(HostileDatabase, WhateverLiesAtThePathThePageBuilds) {
    struct Case {
        const char* what;
        std::function<void()> put;
        Rows rows;
        std::vector<std::string> log;
    };
    const std::string bigName(100000, 'x');
    const Case cases[] = {
        {"no database at all",
         [] {},
         kEmptyPage,
         {std::string(kOpenFailed) + "unable to open database file"}},
        {"a directory in its place",
         [&] { fs::create_directories(path()); },
         kEmptyPage,
         {std::string(kOpenFailed) + "disk I/O error"}},
        {"an empty file",
         [&] { writeBytes(""); },
         kEmptyPage,
         {std::string(kSelectFailed) + "no such table: usage"}},
        {"a text file",
         [&] { writeBytes("app,date,usage_wifi\norg.example,2026-12-06,5\n"); },
         kEmptyPage,
         {std::string(kSelectFailed) + "file is not a database"}},
        {"a file of zero bytes past a database header",
         [&] { writeBytes(std::string("SQLite format 3\0", 16) + std::string(4096, '\0')); },
         kEmptyPage,
         {kSelectFailed}},
        {"a database without a usage table",
         [&] { catalogue::rawSql(path(), "CREATE TABLE other (x);"); },
         kEmptyPage,
         {std::string(kSelectFailed) + "no such table: usage"}},
        {"a usage table without usage_unknown",
         [&] {
             catalogue::rawSql(path(),
                               "CREATE TABLE usage (app, date, usage_wifi, usage_cellular);"
                               "INSERT INTO usage VALUES ('a', '2026-12-06', 1, 1);");
         },
         kEmptyPage,
         {std::string(kSelectFailed) + "no such column: usage_unknown"}},
        {"a usage view that fails as it is read",
         [&] {
             catalogue::rawSql(path(),
                               "CREATE TABLE t (x);"
                               "CREATE VIEW usage AS SELECT x AS app, x AS date, x AS usage_wifi,"
                               " x AS usage_cellular, x AS usage_unknown FROM t;"
                               "DROP TABLE t;");
         },
         kEmptyPage,
         {kSelectFailed}},
        {"NULL and non-UTF-8 applications beside a good one",
         [&] {
             loose(
                 "INSERT INTO usage VALUES (NULL, '2026-12-06', 1, 1, 1);"
                 "INSERT INTO usage VALUES (CAST(X'C328FF' AS TEXT), '2026-12-06', 2, 2, 2);"
                 "INSERT INTO usage VALUES ('good.app', '2026-12-06', 2048, 0, 0);");
         },
         {"[Usage for today]", "Wi-Fi=2.00KB", "[]", "good.app=2.00KB"},
         {}},
        {"an application with a NUL byte and one with a path",
         [&] {
             loose(
                 "INSERT INTO usage VALUES (CAST(X'612E00622E63' AS TEXT), '2026-12-06', 1024,"
                 " 0, 0);"
                 "INSERT INTO usage VALUES ('../../etc/passwd', '2026-12-06', 2048, 0, 0);");
         },
         {"[Usage for today]", "Wi-Fi=3.00KB", "[]", "../../etc/passwd=2.00KB",
          std::string("a.\0b.c", 6) + "=1.00KB"},
         {}},
        {"an application identifier of 100000 bytes",
         [&] { loose("INSERT INTO usage VALUES ('" + bigName + "', '2026-12-06', 0, 1024, 0);"); },
         {"[Usage for today]", "Cellular=1.00KB", "[]", bigName + "=1.00KB"},
         {}},
        {"NULL sums count as nothing",
         [&] {
             loose(
                 "INSERT INTO usage VALUES ('nulls', '2026-12-06', NULL, NULL, NULL);"
                 "INSERT INTO usage VALUES ('half', '2026-12-06', NULL, 1024, NULL);");
         },
         {"[Usage for today]", "Cellular=1.00KB", "[]", "half=1.00KB"},
         {}},
        {"a negative sum reads as 2^64 - 1",
         [&] { loose("INSERT INTO usage VALUES ('neg', '2026-12-06', -1, 0, 0);"); },
         {"[Usage for today]", "Wi-Fi=17179869184.00GB", "[]", "neg=17179869184.00GB"},
         {}},
        {"a sum beyond 64 bits, stored as a real, reads as its text",
         [&] {
             loose("INSERT INTO usage VALUES ('huge', '2026-12-06', 99999999999999999999, 0, 0);");
         },
         {"[Usage for today]", "Wi-Fi=1.00B", "[]", "huge=1.00B"},
         {}},
        {"real counts read up to the decimal point",
         [&] { loose("INSERT INTO usage VALUES ('real', '2026-12-06', 1536.75, 0, 0);"); },
         {"[Usage for today]", "Wi-Fi=1.50KB", "[]", "real=1.50KB"},
         {}},
        {"non-numeric counts add nothing",
         [&] {
             loose(
                 "INSERT INTO usage VALUES ('words', '2026-12-06', 'lots', 'many', 'x');"
                 "INSERT INTO usage VALUES ('mixed', '2026-12-06', '12abc', 1000, 0);");
         },
         {"[Usage for today]", "Total=1012.00B", "Cellular=1000.00B", "Wi-Fi=12.00B", "[]",
          "mixed=1012.00B"},
         {}},
        {"blobs in every column",
         [&] {
             loose(
                 "INSERT INTO usage VALUES (X'00FF', '2026-12-06', X'31', X'FF', X'');"
                 "INSERT INTO usage VALUES ('ok', '2026-12-06', 1, 0, 0);");
         },
         {"[Usage for today]", "Wi-Fi=1.00B", "[]", "ok=1.00B"},
         {}},
        {"dates of other shapes are outside every range",
         [&] {
             loose(
                 "INSERT INTO usage VALUES ('a', 20261206, 5, 0, 0);"
                 "INSERT INTO usage VALUES ('b', NULL, 5, 0, 0);"
                 "INSERT INTO usage VALUES ('c', '2026-12-6', 5, 0, 0);");
         },
         kEmptyPage,
         {}},
        // Integer sums that leave 64 bits make SQLite fail the whole query: the page logs it
        // and lists nothing rather than a wrong count.
        {"two counts whose sum leaves 64 bits",
         [&] {
             loose(
                 "INSERT INTO usage VALUES ('big', '2026-12-06', 9223372036854775807, 0, 0);"
                 "INSERT INTO usage VALUES ('big', '2026-12-06', 1, 0, 0);"
                 "INSERT INTO usage VALUES ('small', '2026-12-06', 1, 0, 0);");
         },
         kEmptyPage,
         {std::string(kSelectFailed) + "integer overflow"}},
        {"a garbage write-ahead log beside a good database",
         [&] {
             addUsage("app", "2026-12-06", 1024, 0);
             catalogue::rawSql(path(), "PRAGMA journal_mode=DELETE;");
             std::ofstream(path() + "-wal", std::ios::binary) << std::string(5000, '\x5a');
         },
         {"[Usage for today]", "Wi-Fi=1.00KB", "[]", "app=1.00KB"},
         {}},
    };
    RecordProperty("inputs", static_cast<int>(std::size(cases)));
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(home.path() + "/.local/share/bytarn");
        c.put();
        check(c.rows, c.log);
    }
}

// A real database cut short at many lengths: each cut either fails with a logged line or reads
// a subset of what the whole file holds; none brings the page down.
TEST_F(HostileDatabase, TruncatedDatabases) {
    const std::string whole = home.file("whole.sqlite3");
    {
        UsageDatabase database(whole);
        std::string error;
        ASSERT_TRUE(database.execute("BEGIN;", &error)) << error;
        for (int app = 0; app < 40; ++app)
            for (int day = 1; day <= 6; ++day)
                database.addUsage("org.example.app" + std::to_string(app),
                                  "2026-12-0" + std::to_string(day), 1000 + app, 10 * app, 0);
        ASSERT_TRUE(database.execute("COMMIT; PRAGMA journal_mode=DELETE;", &error)) << error;
    }
    const std::string bytes = readFile(whole);
    ASSERT_GT(bytes.size(), 8192u);
    std::vector<std::size_t> lengths{1, 15, 16, 50, 99, 100, 101, 512, 1024, 4095, 4096, 4097};
    for (std::size_t fraction = 2; fraction <= 8; ++fraction)
        lengths.push_back(bytes.size() * (fraction - 1) / fraction);
    lengths.push_back(bytes.size() - 1);

    int failures = 0, partial = 0;
    for (std::size_t length : lengths) {
        SCOPED_TRACE("cut at " + std::to_string(length) + " of " + std::to_string(bytes.size()));
        fs::remove_all(home.path() + "/.local/share/bytarn");
        writeBytes(bytes.substr(0, length));
        SystemLog::takeCaptured();
        openPage();
        auto log = SystemLog::takeCaptured();
        ASSERT_LE(log.size(), 1u);
        if (!log.empty()) {
            ++failures;
            EXPECT_TRUE(log[0].starts_with(kOpenFailed) || log[0].starts_with(kSelectFailed))
                << log[0];
        } else {
            ++partial;
        }
        EXPECT_EQ(readFile(path()), bytes.substr(0, length)) << "the page must not repair it";
        // Whatever is listed is an application of the whole file, with its whole count.
        ASSERT_TRUE(page->apps() || !log.empty());
        if (page->apps()) {
            for (const auto& [id, entry] : *page->apps()) {
                ASSERT_TRUE(id.starts_with("org.example.app")) << id;
                int app = std::stoi(id.substr(15));
                EXPECT_EQ(entry->usage_wifi(), static_cast<std::uint64_t>(1000 + app)) << id;
            }
        }
        openFirstApplication();
    }
    EXPECT_GT(failures, 0);
    RecordProperty("truncations", static_cast<int>(lengths.size()));
    RecordProperty("failed_with_a_log_line", failures);
    RecordProperty("read_without_failure", partial);
}

}  // namespace
