// Hostile preference files: the root page builds with what it can use, the usage table is
// untouched, reading never rewrites the file, and the next change keeps every readable key (or
// sets an unreadable file aside before replacing it).
#include <filesystem>
#include <fstream>

#include "bundle/BundleFixture.h"
#include "data/UsageQuery.h"
#include "host/foundation/NSDateFormatter.h"
#include "host/foundation/PropertyList.h"
#include "hostile/Catalogue.h"
#include "pages/BytarnDateController.h"
#include "pages/BytarnDatePicker.h"

namespace fs = std::filesystem;

namespace {

using Rows = std::vector<std::string>;
using Dictionary = Value::Dictionary;

// What the page shows for the usage below under the built-in settings: by usage, both kinds,
// today.
const Rows kDefaultPage{"[Usage for today]", "Total=3.00KB", "Cellular=2.00KB",
                        "Wi-Fi=1.00KB",      "[]",           "b.app=2.00KB",
                        "a.app=1.00KB"};
const Rows kByName{"[Usage for today]", "Total=3.00KB", "Cellular=2.00KB", "Wi-Fi=1.00KB", "[]",
                   "a.app=1.00KB",      "b.app=2.00KB"};
const Rows kNoFilter{"[Usage for today]", "[]"};
const char* const kUnreadable = "Preferences: ignoring unreadable file ";

enum class FileKind {
    Readable,      // a dictionary, whatever its values
    Corrupt,       // a file that holds no dictionary: set aside on the next change
    Inaccessible,  // something that is not a file: left alone, changes refused
};

class HostilePreferences : public BundleTest {
  protected:
    HostilePreferences() {
        addUsage("a.app", "2026-12-06", 1024, 0);
        addUsage("b.app", "2026-12-06", 0, 2048);
        addUsage("a.app", "2026-11-20", 4096, 0);
    }
    std::string file() { return home.path() + "/.config/bytarn/org.bytarn.plist"; }
    long long usageRows() {
        return catalogue::countOf(usageDatabasePath(), "SELECT COUNT(*) FROM usage");
    }
    void change(const std::string& key, const Value& value) {
        auto row = page->specifierForKey(key);
        ASSERT_TRUE(row && row->setter()) << key;
        row->setter()(*row->target(), value, row);
    }
    // Opens the date page of a date row and checks that it starts on today when the stored
    // value is no date.
    void openDatePage(const std::string& key, bool storedIsADate) {
        std::string error;
        ASSERT_TRUE(page->didSelectSpecifier(page->specifierForKey(key), &error)) << error;
        auto date =
            std::dynamic_pointer_cast<BytarnDateController>(navigation->topViewController());
        ASSERT_TRUE(date);
        date->specifiers();
        ASSERT_TRUE(date->datePicker());
        if (!storedIsADate) {
            EXPECT_EQ(date->datePicker()->date(), NSDate::date());
        }
        navigation->popViewControllerAnimated(false);
    }
};

Value::Array deepArray(int depth) {
    Value v = Value::Array{};
    for (int i = 0; i < depth; ++i) v = Value::Array{v};
    return *v.array();
}

TEST_F(HostilePreferences, ThePageBuildsAndNothingStoredIsLost) {
    struct Case {
        const char* what;
        FileKind kind;
        Dictionary values;  // a readable file's contents
        std::string raw;    // or bytes written as they are
        Rows rows;
        std::vector<std::string> log;
        bool datePage = false;  // also open the start date's page
    };
    const std::string longDate(1 << 20, '9');
    const std::string sql = "'); DROP TABLE usage;--";
    const Case cases[] = {
        // Files that hold no dictionary.
        {"a cut-off XML plist",
         FileKind::Corrupt,
         {},
         "<plist><dict><key>devices</key>",
         kDefaultPage,
         {kUnreadable}},
        {"an empty file", FileKind::Corrupt, {}, "", kDefaultPage, {kUnreadable}},
        {"a binary plist header and noise",
         FileKind::Corrupt,
         {},
         std::string("bplist00\xd1\x01\x02\x00\xff\xff\xff\xff", 16),
         kDefaultPage,
         {kUnreadable}},
        {"random bytes",
         FileKind::Corrupt,
         {},
         std::string("\x00\x01\x7f\x80\xfe\xff\n\r", 8),
         kDefaultPage,
         {kUnreadable}},
        {"an array at the top",
         FileKind::Corrupt,
         {},
         PropertyList::toXml(Value::Array{1, 2}),
         kDefaultPage,
         {kUnreadable}},
        {"a string at the top",
         FileKind::Corrupt,
         {},
         PropertyList::toXml(Value("devices")),
         kDefaultPage,
         {kUnreadable}},
        {"arrays nested 100000 deep",
         FileKind::Corrupt,
         {},
         [] {
             std::string nested = "<plist>";
             for (int i = 0; i < 100000; ++i) nested += "<array>";
             return nested + "</plist>";
         }(),
         kDefaultPage,
         {kUnreadable}},
        {"a file larger than the store reads",
         FileKind::Corrupt,
         {},
         "<plist><dict>" + std::string(17 << 20, ' ') + "</dict></plist>",
         kDefaultPage,
         {kUnreadable}},
        // Values of the wrong type read as no value.
        {"a number for the device filter", FileKind::Readable, {{"devices", 7}}, "", kNoFilter, {}},
        {"a boolean for the comparator",
         FileKind::Readable,
         {{"comparator", true}},
         "",
         kByName,
         {}},
        {"an array for the period and a dictionary for the dates",
         FileKind::Readable,
         {{"period", Value::Array{"Custom"}},
          {"startDate", Dictionary{{"x", 1}}},
          {"endDate", 2.5}},
         "",
         kDefaultPage,
         {},
         true},
        {"a deeply nested value",
         FileKind::Readable,
         {{"devices", deepArray(200)}},
         "",
         kNoFilter,
         {}},
        // Strings that name nothing the page knows.
        {"a comparator naming no comparison",
         FileKind::Readable,
         {{"comparator", "dealloc"}},
         "",
         kByName,
         {}},
        {"a comparator without its colon",
         FileKind::Readable,
         {{"comparator", "compareUsage"}},
         "",
         kByName,
         {}},
        {"a device filter of no characters",
         FileKind::Readable,
         {{"devices", ""}},
         "",
         kNoFilter,
         {}},
        {"a device filter of one character",
         FileKind::Readable,
         {{"devices", "C"}},
         "",
         {"[Usage for today]", "[]", "b.app=2.00KB"},
         {}},
        {"a device filter of two characters",
         FileKind::Readable,
         {{"devices", "CW"}},
         "",
         {"[Usage for today]", "[]", "b.app=2.00KB", "a.app=1.00KB"},
         {}},
        {"a device filter of four characters",
         FileKind::Readable,
         {{"devices", "CWUX"}},
         "",
         {"[Usage for today]", "[]", "b.app=2.00KB", "a.app=1.00KB"},
         {}},
        {"a device filter in lower case",
         FileKind::Readable,
         {{"devices", "cw "}},
         "",
         kNoFilter,
         {}},
        {"an unknown period", FileKind::Readable, {{"period", "Forever"}}, "", kDefaultPage, {}},
        {"an empty period", FileKind::Readable, {{"period", ""}}, "", kDefaultPage, {}},
        // Custom dates that are no dates. The query binds them as text, so none reaches the SQL.
        {"SQL in the start date",
         FileKind::Readable,
         {{"period", "Custom"}, {"startDate", sql}, {"endDate", "2026-12-06"}},
         "",
         {"[Usage between None and Dec 6, 2026]", "Total=7.00KB", "Cellular=2.00KB", "Wi-Fi=5.00KB",
          "[]", "a.app=5.00KB", "b.app=2.00KB"},
         {},
         true},
        {"SQL in the end date",
         FileKind::Readable,
         {{"period", "Custom"}, {"startDate", "2026-12-06"}, {"endDate", "2026-12-06' OR '1'='1"}},
         "",
         {"[Usage between Dec 6, 2026 and None]", "Total=3.00KB", "Cellular=2.00KB", "Wi-Fi=1.00KB",
          "[]", "b.app=2.00KB", "a.app=1.00KB"},
         {}},
        {"quotes and a statement end in both dates",
         FileKind::Readable,
         {{"period", "Custom"}, {"startDate", "\"; DELETE FROM usage; --"}, {"endDate", sql}},
         "",
         {"[Usage between None and None]", "Total=0.00B", "[]"},
         {},
         true},
        {"a start date of a mebibyte",
         FileKind::Readable,
         {{"period", "Custom"}, {"startDate", longDate}, {"endDate", "2026-12-06"}},
         "",
         {"[Usage between None and Dec 6, 2026]", "Total=0.00B", "[]"},
         {},
         true},
        {"a day that does not exist and the sentinel",
         FileKind::Readable,
         {{"period", "Custom"}, {"startDate", "0000-00-00"}, {"endDate", "2026-02-30"}},
         "",
         {"[Usage between None and None]", "Total=0.00B", "[]"},
         {},
         true},
        {"non-UTF-8 bytes in the start date",
         FileKind::Readable,
         {{"period", "Custom"}, {"startDate", "2026-11-\xff\xfe"}, {"endDate", "2026-12-06"}},
         "",
         {"[Usage between None and Dec 6, 2026]", "Total=3.00KB", "Cellular=2.00KB", "Wi-Fi=1.00KB",
          "[]", "b.app=2.00KB", "a.app=1.00KB"},
         {},
         true},
        {"a thousand keys nobody knows",
         FileKind::Readable,
         [] {
             Dictionary many;
             for (int i = 0; i < 1000; ++i) many["unknown" + std::to_string(i)] = i;
             return many;
         }(),
         "",
         kDefaultPage,
         {}},
        // Not a file at all.
        {"a directory in the file's place",
         FileKind::Inaccessible,
         {},
         "",
         kDefaultPage,
         {kUnreadable}},
    };
    RecordProperty("inputs", static_cast<int>(std::size(cases)));
    const long long usage = usageRows();
    ASSERT_EQ(usage, 3);
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::remove_all(home.path() + "/.config/bytarn");
        if (c.kind == FileKind::Inaccessible) {
            fs::create_directories(file() + "/inside");
        } else {
            std::string bytes =
                c.kind == FileKind::Readable ? PropertyList::toXml(Value(c.values)) : c.raw;
            home.write(".config/bytarn/org.bytarn.plist", bytes);
        }
        const std::string before = c.kind == FileKind::Inaccessible ? "" : readFile(file());
        if (c.kind == FileKind::Readable) {
            ASSERT_EQ(PropertyList::readFile(file()), Value(c.values)) << "the file as intended";
        }

        SystemLog::takeCaptured();
        openPage();
        EXPECT_EQ(rows(), c.rows);
        catalogue::expectLog(c.log);
        EXPECT_EQ(usageRows(), usage) << "the usage table is intact";
        if (c.kind != FileKind::Inaccessible) {
            EXPECT_TRUE(readFile(file()) == before) << "reading never rewrites the file";
        }
        if (c.datePage) {
            openDatePage("startDate", false);
            SystemLog::takeCaptured();
        }

        // The next change keeps everything that was stored.
        change("comparator", "compareName:");
        EXPECT_EQ(usageRows(), usage);
        auto log = SystemLog::takeCaptured();
        switch (c.kind) {
            case FileKind::Readable: {
                Dictionary expected = c.values;
                expected["comparator"] = "compareName:";
                EXPECT_EQ(PropertyList::readFile(file()), Value(expected));
                EXPECT_TRUE(log.empty()) << log.front();
                break;
            }
            case FileKind::Corrupt:
                EXPECT_EQ(PropertyList::readFile(file()),
                          Value(Dictionary{{"comparator", "compareName:"}}));
                EXPECT_TRUE(readFile(file() + ".corrupt") == before)
                    << "the unreadable file is kept whole beside the new one";
                ASSERT_EQ(log.size(), 1u);
                EXPECT_NE(log[0].find("Preferences: replaced unreadable file"), std::string::npos)
                    << log[0];
                break;
            case FileKind::Inaccessible:
                EXPECT_TRUE(fs::is_directory(file() + "/inside")) << "left as it is";
                ASSERT_EQ(log.size(), 1u);
                EXPECT_NE(log[0].find("Preferences: cannot store \"comparator\""),
                          std::string::npos)
                    << log[0];
                break;
        }
    }
}

}  // namespace
