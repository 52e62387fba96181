// `bytarn report` through the entry the application uses: the command the bundle registers.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include <unistd.h>

#include "BundleFixture.h"
#include "host/foundation/CommandRegistry.h"
#include "host/foundation/Locale.h"

namespace {

struct Result {
    int status = -1;
    std::string out, err;
};

// Reads RFC 4180 text: quoted fields may hold commas, quotes (doubled) and line ends.
std::vector<std::vector<std::string>> readCSV(const std::string& text) {
    std::vector<std::vector<std::string>> records(1, std::vector<std::string>(1));
    bool quoted = false;
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        auto& field = records.back().back();
        if (quoted) {
            if (c == '"' && i + 1 < text.size() && text[i + 1] == '"')
                field += text[++i];
            else if (c == '"')
                quoted = false;
            else
                field += c;
        } else if (c == '"') {
            quoted = true;
        } else if (c == ',') {
            records.back().emplace_back();
        } else if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') {
            ++i;
            records.emplace_back(1);
        } else {
            field += c;
        }
    }
    records.pop_back();  // after the last CRLF
    return records;
}

class ReportCommandTest : public BundleTest {
  protected:
    ReportCommandTest() {
        Locale::setDefaultLocale("en_US.UTF-8");
        unsetenv("NO_COLOR");
    }
    ~ReportCommandTest() override { unsetenv("NO_COLOR"); }

    Result report(std::vector<std::string> arguments) {
        auto command = CommandRegistry::shared().create("report");
        Result result;
        if (!command) return result;
        std::ostringstream out, err;
        result.status = command->run(arguments, out, err);
        result.out = out.str();
        result.err = err.str();
        return result;
    }

    // A small history around the fixture's "now", 2026-12-06 12:00: two applications with titles
    // (one that CSV must quote), one known only by an identifier that metrics labels must escape,
    // and rows the page skips.
    void addHistory() {
        desktopEntry("org.example.mail", "Mail");
        desktopEntry("org.example.web", "Web \"Browser\", beta");
        addUsage("org.example.mail", "2026-12-06", 1024, 2048);
        addUsage("org.example.mail", "2026-12-04", 512, 0, 7);
        addUsage("org.example.web", "2026-12-06", 3145728, 1048576);
        addUsage("org.example.web", "2026-11-01", 100, 100);
        addUsage("odd\\app\"\nid", "2026-12-04", 0, 10);
        sql("INSERT INTO usage (app, date, usage_wifi, usage_cellular, usage_unknown)"
            " VALUES (CAST(X'FF' AS TEXT), '2026-12-06', 5, 5, 5)");
    }
};

TEST_F(ReportCommandTest, EachFormatAndGroupingPrintsTheWholeReport) {
    addHistory();
    struct Case {
        std::vector<std::string> arguments;
        bool noColor;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {{"--period", "week"},
         false,
         "Usage for this week\n"
         "Application           Usage\n"
         "Web \"Browser\", beta  4.00MB\n"
         "Mail                 3.50KB\n"
         "odd\\app\"?id          10.00B\n"
         "Total                4.00MB\n"},
        {{"--period", "week", "--by", "day", "--sort", "name"},
         false,
         "Usage for this week\n"
         "Day           Usage\n"
         "2026-12-04  522.00B  ▏\n"
         "2026-12-06   4.00MB  ████████████████████████████████████████\n"
         "Total        4.00MB\n"},
        {{"--period", "week", "--by", "day", "--networks", "cellular"},
         true,
         "Cellular usage for this week\n"
         "Day          Usage\n"
         "2026-12-04  10.00B  #\n"
         "2026-12-06  1.00MB  ########################################\n"
         "Total       1.00MB\n"},
        {{"--period", "week", "--by", "app,day", "--sort", "name"},
         false,
         "Usage for this week\n"
         "Day         Application            Usage\n"
         "2026-12-04  Mail                 512.00B\n"
         "2026-12-04  odd\\app\"?id           10.00B\n"
         "2026-12-06  Mail                  3.00KB\n"
         "2026-12-06  Web \"Browser\", beta   4.00MB\n"
         "Total                             4.00MB\n"},
        // Wired and other networks: in every format under "other", with "all" or "other".
        {{"--period", "week", "--networks", "all"},
         false,
         "Usage on all networks for this week\n"
         "Application           Usage\n"
         "Web \"Browser\", beta  4.00MB\n"
         "Mail                 3.51KB\n"
         "odd\\app\"?id          10.00B\n"
         "Total                4.00MB\n"},
        {{"--period", "eternity", "--format", "openmetrics", "--networks", "other"},
         false,
         "# HELP bytarn_bytes Bytes each application moved over the reporting period.\n"
         "# TYPE bytarn_bytes counter\n"
         "bytarn_bytes_total{app=\"org.example.mail\",network=\"other\"} 7\n"
         "# EOF\n"},
        {{"--period", "month", "--format", "csv", "--networks", "wifi"},
         false,
         "app,title,wifi,cellular,other,usage\r\n"
         "org.example.web,\"Web \"\"Browser\"\", beta\",3145728,1048576,0,3145728\r\n"
         "org.example.mail,Mail,1536,2048,7,1536\r\n"},
        {{"--from", "2026-11-01", "--to", "2026-12-04", "--format", "csv", "--by", "day"},
         false,
         "date,wifi,cellular,other,usage\r\n"
         "2026-11-01,100,100,0,200\r\n"
         "2026-12-04,512,10,7,522\r\n"},
        {{"--period", "today", "--format", "csv", "--by", "app,day"},
         false,
         "date,app,title,wifi,cellular,other,usage\r\n"
         "2026-12-06,org.example.web,\"Web \"\"Browser\"\", beta\",3145728,1048576,0,4194304\r\n"
         "2026-12-06,org.example.mail,Mail,1024,2048,0,3072\r\n"},
        {{"--period", "eternity", "--format", "openmetrics", "--sort", "name"},
         false,
         "# HELP bytarn_bytes Bytes each application moved over the reporting period.\n"
         "# TYPE bytarn_bytes counter\n"
         "bytarn_bytes_total{app=\"org.example.mail\",network=\"wifi\"} 1536\n"
         "bytarn_bytes_total{app=\"org.example.mail\",network=\"cellular\"} 2048\n"
         "bytarn_bytes_total{app=\"odd\\\\app\\\"\\nid\",network=\"wifi\"} 0\n"
         "bytarn_bytes_total{app=\"odd\\\\app\\\"\\nid\",network=\"cellular\"} 10\n"
         "bytarn_bytes_total{app=\"org.example.web\",network=\"wifi\"} 3145828\n"
         "bytarn_bytes_total{app=\"org.example.web\",network=\"cellular\"} 1048676\n"
         "# EOF\n"},
        {{"--period", "today", "--by", "day", "--format", "json", "--networks", "cellular"},
         false,
         R"({
  "period": {
    "name": "Today",
    "from": "2026-12-06",
    "to": "2026-12-06"
  },
  "networks": [
    "cellular"
  ],
  "summary": "Cellular usage for today",
  "by": "day",
  "rows": [
    {
      "date": "2026-12-06",
      "wifi": 3146752,
      "cellular": 1050624,
      "other": 0,
      "usage": 1050624
    }
  ],
  "total": {
    "wifi": 3146752,
    "cellular": 1050624,
    "other": 0,
    "usage": 1050624
  }
}
)"},
    };
    for (const auto& c : cases) {
        std::string joined;
        for (const auto& a : c.arguments) joined += a + " ";
        SCOPED_TRACE(joined);
        if (c.noColor)
            setenv("NO_COLOR", "1", 1);
        else
            unsetenv("NO_COLOR");
        auto result = report(c.arguments);
        EXPECT_EQ(result.status, 0) << result.err;
        EXPECT_EQ(result.out, c.expected);
    }
}

// JSON and CSV read back by real parsers agree with each other and add up to their totals.
TEST_F(ReportCommandTest, JsonAndCsvReadBackAndAddUp) {
    addHistory();
    for (const char* by : {"app", "day", "app,day"}) {
        SCOPED_TRACE(by);
        auto json = report({"--period", "eternity", "--by", by, "--format", "json"});
        auto csv = report({"--period", "eternity", "--by", by, "--format", "csv"});
        ASSERT_EQ(json.status, 0) << json.err;
        ASSERT_EQ(csv.status, 0) << csv.err;
        auto document = nlohmann::json::parse(json.out);
        auto records = readCSV(csv.out);
        ASSERT_EQ(records.size(), document["rows"].size() + 1);
        const auto& header = records[0];
        std::uint64_t usage = 0;
        for (size_t i = 0; i < document["rows"].size(); ++i) {
            const auto& row = document["rows"][i];
            for (size_t column = 0; column < header.size(); ++column) {
                const auto& value = row.at(header[column]);
                EXPECT_EQ(records[i + 1][column],
                          value.is_string() ? value.get<std::string>() : value.dump());
            }
            usage += row["usage"].get<std::uint64_t>();
        }
        EXPECT_EQ(document["total"]["usage"].get<std::uint64_t>(), usage);
        EXPECT_EQ(document["period"]["from"], nullptr);  // eternity has no first day
    }
}

// Every line is a HELP, TYPE or EOF comment or a sample of the counter with two well-formed
// labels, and "# EOF" ends the text.
TEST_F(ReportCommandTest, OpenMetricsLinesFollowTheTextFormat) {
    addHistory();
    auto result = report({"--period", "eternity", "--format", "openmetrics", "--networks", "both"});
    ASSERT_EQ(result.status, 0) << result.err;
    std::vector<std::string> lines;
    std::istringstream text(result.out);
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    ASSERT_GE(lines.size(), 3u);
    EXPECT_EQ(result.out.back(), '\n');
    EXPECT_EQ(lines[0].rfind("# HELP bytarn_bytes ", 0), 0u);
    EXPECT_EQ(lines[1], "# TYPE bytarn_bytes counter");
    EXPECT_EQ(lines.back(), "# EOF");
    for (size_t i = 2; i + 1 < lines.size(); ++i) {
        const std::string& line = lines[i];
        SCOPED_TRACE(line);
        const std::string prefix = "bytarn_bytes_total{app=\"";
        ASSERT_EQ(line.rfind(prefix, 0), 0u);
        // The label value: escapes only \\, \" and \n, and no raw quote or line end.
        size_t at = prefix.size();
        for (; at < line.size() && line[at] != '"'; ++at) {
            if (line[at] != '\\') continue;
            ASSERT_LT(at + 1, line.size());
            EXPECT_NE(std::string("\\\"n").find(line[++at]), std::string::npos);
        }
        std::string rest = line.substr(at);
        EXPECT_TRUE(rest.rfind("\",network=\"wifi\"} ", 0) == 0 ||
                    rest.rfind("\",network=\"cellular\"} ", 0) == 0);
        std::string value = rest.substr(rest.find("} ") + 2);
        EXPECT_FALSE(value.empty());
        EXPECT_EQ(value.find_first_not_of("0123456789"), std::string::npos);
    }
}

// With no options the report shows what the page shows: its stored period, filter and order.
TEST_F(ReportCommandTest, DefaultsAreThePagesStoredSettings) {
    addHistory();
    store("period", Value("This week"));
    store("devices", Value("C  "));
    store("comparator", Value("compareName:"));
    auto result = report({});
    ASSERT_EQ(result.status, 0) << result.err;
    std::vector<std::string> expected = {"[Cellular usage for this week]"};
    std::vector<std::string> printed;
    std::istringstream text(result.out);
    std::getline(text, printed.emplace_back());
    printed[0] = "[" + printed[0] + "]";
    openPage();
    for (const auto& row : rows())
        if (row.find('=') != std::string::npos && row.rfind("Cellular=", 0) != 0)
            expected.push_back(row);
    // A table prints a title's control characters as "?".
    for (auto& row : expected) std::replace(row.begin(), row.end(), '\n', '?');
    std::string line;
    std::getline(text, line);  // the column titles
    while (std::getline(text, line) && line.rfind("Total", 0) != 0) {
        auto gap = line.find_last_of(' ');
        std::string title = line.substr(0, line.find("  "));
        printed.push_back(title + "=" + line.substr(gap + 1));
    }
    EXPECT_EQ(printed, expected);
}

TEST_F(ReportCommandTest, ErrorsSayWhyAndPrintNothing) {
    struct Case {
        std::vector<std::string> arguments;
        int status;
        std::string message;
    };
    home.write("not-a-database", "plain text, no SQLite header\n");
    std::string otherDatabase = home.file("other.sqlite3");
    std::string error;
    ASSERT_TRUE(UsageDatabase(otherDatabase).execute("DROP TABLE usage;", &error)) << error;
    home.write("unreadable", "");
    std::filesystem::permissions(home.file("unreadable"), std::filesystem::perms::none);
    std::vector<Case> cases = {
        {{"--period", "today"}, 1, "no usage database at"},
        {{"--database", home.file("not-a-database")}, 1, "is not an SQLite database"},
        {{"--database", home.path()}, 1, "is a directory, not a usage database"},
        {{"--database", otherDatabase}, 1, "not a usage database (no such table: usage)"},
        {{"--period", "fortnight"}, 2, "--period"},
        {{"--from", "2026-02-30", "--to", "2026-03-01"}, 2, "--from"},
        {{"--from", "2026-02-01"}, 2, "--to"},
        {{"--period", "week", "--from", "2026-02-01", "--to", "2026-02-02"}, 2, "excludes"},
        {{"--from", "2026-02-02", "--to", "2026-02-01"}, 2, "is after"},
        {{"--format", "openmetrics", "--by", "day"}, 2, "per app only"},
        {{"--by", "week"}, 2, "--by"},
    };
    // Root reads every file.
    if (geteuid() != 0)
        cases.push_back({{"--database", home.file("unreadable")}, 1, "Permission denied"});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments[0] + " " + c.arguments[1]);
        auto result = report(c.arguments);
        EXPECT_EQ(result.status, c.status);
        EXPECT_EQ(result.out, "");
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
    }
    EXPECT_FALSE(std::filesystem::exists(UsageDatabase::defaultPath()));  // never created
}

// The collector in the middle of a save: the report reads what was committed, without waiting.
TEST_F(ReportCommandTest, ReadsWhileTheCollectorWrites) {
    addUsage("org.example.mail", "2026-12-06", 1, 2);
    UsageDatabase writer(UsageDatabase::defaultPath());
    std::string error;
    ASSERT_TRUE(
        writer.execute("BEGIN IMMEDIATE; INSERT INTO usage (app, date, usage_wifi)"
                       " VALUES ('org.example.mail', '2026-12-06', 100);",
                       &error))
        << error;
    auto result = report({"--period", "today", "--format", "csv", "--by", "day"});
    EXPECT_EQ(result.status, 0) << result.err;
    EXPECT_EQ(result.out, "date,wifi,cellular,other,usage\r\n2026-12-06,1,2,0,3\r\n");
    ASSERT_TRUE(writer.execute("ROLLBACK;", &error)) << error;
}

TEST_F(ReportCommandTest, HelpShowsEveryOptionWithAnExample) {
    auto result = report({"--help"});
    ASSERT_EQ(result.status, 0);
    for (const char* option :
         {"--period", "--from", "--to", "--by", "--networks", "--sort", "--format", "--database"}) {
        auto at = result.out.find(std::string("  ") + option);
        ASSERT_NE(at, std::string::npos) << option;
        auto example = result.out.find(std::string("e.g. ") + option, at);
        EXPECT_NE(example, std::string::npos) << option;
    }
}

}  // namespace
