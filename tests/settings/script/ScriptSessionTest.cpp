#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <fstream>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "collector/UsageDatabase.h"
#include "host/foundation/Clock.h"
#include "host/foundation/PreferenceStore.h"
#include "host/foundation/RunLoop.h"
#include "host/foundation/SystemLog.h"
#include "host/foundation/UsageString.h"
#include "host/netpolicy/DataPlanStore.h"
#include "host/netpolicy/DataSize.h"
#include "host/netpolicy/PlanPause.h"
#include "host/netpolicy/RestrictionStore.h"
#include "settings/core/BundleCommandSession.h"
#include "settings/script/ScriptSession.h"
#include "support/QuietMainLoopTest.h"
#include "support/TestEnvironment.h"

namespace {

using Json = nlohmann::ordered_json;

const char* const kStart = "2026-12-06T12:00:00";

struct ScriptResult {
    int status = -1;
    std::vector<std::string> lines;
    std::string errors;
};

class ScriptSession : public QuietMainLoopTest {
  protected:
    ScriptResult run(const std::string& script, SessionOptions options = {}) {
        if (!options.now) options.now = kStart;
        if (!options.bundlesDirectory) options.bundlesDirectory = BYTARN_BUILD_BUNDLES_DIR;
        // The collector in the test process, whatever runs on the developer's session bus.
        if (options.collector == CollectorMode::Automatic)
            options.collector = CollectorMode::Embedded;
        std::istringstream in(script);
        std::ostringstream out, err;
        ScriptResult result;
        result.status = runScriptSession(options, in, out, err);
        std::istringstream printed(out.str());
        for (std::string line; std::getline(printed, line);) result.lines.push_back(line);
        result.errors = err.str();
        return result;
    }

    // The rows of a page dump that show applications.
    static std::vector<Json> applicationRows(const Json& page) {
        std::vector<Json> rows;
        for (const auto& row : page["rows"])
            if (row["cellClass"] == "BytarnEntryCell") rows.push_back(row);
        return rows;
    }

    static Json rowNamed(const Json& page, const std::string& name) {
        for (const auto& row : page["rows"])
            if (row["name"] == name) return row;
        return nullptr;
    }

    static std::vector<std::string> keysOf(const Json& object) {
        std::vector<std::string> keys;
        for (const auto& item : object.items()) keys.push_back(item.key());
        return keys;
    }

    ScratchHome home;
};

TEST_F(ScriptSession, SettingsPageListsTheBundleEntries) {
    auto result = run("dump\n");
    ASSERT_EQ(result.status, 0) << result.errors;
    ASSERT_EQ(result.lines.size(), 1u);
    EXPECT_EQ(
        result.lines[0],
        R"({"class":"SettingsRootController","title":"Settings","left":null,"right":null,)"
        R"("rows":[{"cell":0,"name":"","value":null,"icon":null,"id":null,"cellClass":null},)"
        R"({"cell":1,"name":"Bytarn","value":null,"icon":"icon","id":null,"cellClass":null},)"
        R"({"cell":1,"name":"Data plan","value":null,"icon":"icon","id":null,"cellClass":null}]})");
}

// The Data plan page in one world: a cellular plan (cycle day 1, 1GB, warning 50%) whose cycle
// holds six applications' traffic, with an older cycle's traffic beside it. The page shows what
// `bytarn plan` prints; its choice and text rows write the plan, refusing text and plans that
// `bytarn plan set` refuses, with its sentence, and changing nothing then.
TEST_F(ScriptSession, DataPlanPageShowsThePlanAndSetsIt) {
    const std::uint64_t MB = 1024 * 1024;
    DataPlan plan;
    plan.cycleDay = 1;
    plan.limit = 1024 * MB;
    plan.warning = PlanWarning{std::nullopt, 50.0};
    std::string error;
    ASSERT_TRUE(DataPlanStore::store(plan, &error)) << error;
    // A Wi-Fi plan that is not sound is said on the page and left out.
    PreferenceStore::setValueForKey(
        DataPlanStore::kDomain, "wifi",
        Value(Value::Dictionary{{"period", Value("monthly")}, {"cycleDay", Value(0)}}));
    std::string script;
    int megabytes[] = {300, 200, 100, 50, 25, 10};
    for (int i = 0; i < 6; ++i)
        script += "sql INSERT INTO usage VALUES ('org.example.App" + std::to_string(i) +
                  "', '2026-12-0" + std::to_string(6 - i % 2) + "', 7, " +
                  std::to_string(megabytes[i] * MB) + ", 0);\n";
    script += "sql INSERT INTO usage VALUES ('org.example.App5', '2026-11-30', 0, " +
              std::to_string(4000 * MB) + ", 0);\n";
    script +=
        "open nowhere\nopen dataplan\ndump\n"
        "tap org.example.App0\ndump\nback\nback\nopen dataplan\n"
        "type Limit = none\n"  // a percentage warning needs the limit
        "type Limit = 7.5XB\n"
        "type Limit =\n"  // nothing typed: nothing happens
        "dump\n"
        "type Limit = 100 GB\ndump\n"
        "type Used so far (carrier's figure) = 700MB\ndump\n"
        "tap Plan\ntap One-off pack\ndump\n"
        "type Starts = 2026-12-01\ntype Days = 0\ntype Days = 10\ndump\n"
        "tap Plan\ntap None\ndump\n";
    auto result = run(script);
    ASSERT_EQ(result.lines.size(), 12u) << result.errors;
    EXPECT_EQ(result.lines[0],
              R"j({"error":"no page named \"nowhere\" (pages: bytarn, dataplan)"})j");
    EXPECT_FALSE(DataPlanStore::plan(kCellularKind)) << "None removed the stored plan";

    // What `bytarn plan` says of the first plan, over the report's own reader.
    std::ostringstream planOut, planErr;
    SessionOptions options;
    options.now = kStart;
    options.bundlesDirectory = BYTARN_BUILD_BUNDLES_DIR;
    ASSERT_TRUE(DataPlanStore::store(plan, &error)) << error;
    ASSERT_EQ(runBundleCommand(options, "plan", {"--format", "json"}, planOut, planErr), 0)
        << planErr.str();
    Json figures = Json::parse(planOut.str())["plans"][0];

    Json page = Json::parse(result.lines[1]);
    EXPECT_EQ(page["class"], "DataPlanController");
    EXPECT_EQ(page["title"], "Data plan");
    std::string problem = page["rows"][1]["name"];
    EXPECT_NE(problem.find("wifi plan"), std::string::npos) << problem;
    EXPECT_NE(problem.find("left out"), std::string::npos) << problem;
    auto value = [&](const Json& dump, const std::string& name) -> Json {
        Json row = rowNamed(dump, name);
        return row.is_null() ? Json() : row["value"];
    };
    EXPECT_EQ(value(page, "Cycle"), "Dec 1, 2026 – Dec 31, 2026");
    EXPECT_EQ(figures["from"], "2026-12-01");
    EXPECT_EQ(value(page, "Days left"), std::to_string(figures["daysLeft"].get<int>()));
    EXPECT_EQ(value(page, "Days left"), "26");
    EXPECT_EQ(figures["used"], 685 * MB) << "the older cycle's 4000MB do not count";
    EXPECT_EQ(value(page, "Used"), "685.00MB of 1.00GB, warning reached");
    EXPECT_DOUBLE_EQ(rowNamed(page, "Used")["level"].get<double>(), 685.0 / 1024);
    EXPECT_EQ(value(page, "Projected"), usageString(figures["projected"].get<std::uint64_t>()));
    EXPECT_EQ(value(page, "Plan"), "Monthly");
    EXPECT_EQ(value(page, "Cycle starts"), "Day 1");
    EXPECT_TRUE(rowNamed(page, "Starts").is_null()) << "a monthly plan has no pack's start";
    EXPECT_EQ(value(page, "Warning"), "50%");
    Json limit = rowNamed(page, "Limit");
    EXPECT_EQ(limit["cell"], 8) << "a text entry row";
    EXPECT_EQ(limit["value"], "1.00GB");
    EXPECT_EQ(limit["placeholder"], "10GB or none");
    EXPECT_EQ(value(page, "Used so far (carrier's figure)"), "None");
    // The five that used most, most first, as `bytarn plan` names them; the sixth is left out.
    std::vector<std::string> top, expectedTop;
    for (const auto& row : page["rows"])
        if (row["id"].is_string()) top.push_back(row["id"]);
    for (const auto& application : figures["top"]) expectedTop.push_back(application["app"]);
    EXPECT_EQ(top, expectedTop);
    EXPECT_EQ(top.size(), 5u);
    EXPECT_EQ(value(page, "org.example.App0"), "300.00MB");
    EXPECT_TRUE(rowNamed(page, "Cellular: most used this cycle").is_object());
    // No Wi-Fi plan: only its kind of plan can be chosen.
    EXPECT_EQ(page["rows"].back()["name"], "Plan");
    EXPECT_EQ(page["rows"].back()["value"], "None");

    // A tap on an application opens its page in the Bytarn bundle, over the Bytarn page: two
    // steps back is the Settings list, where the page opens again.
    Json detail = Json::parse(result.lines[2]);
    EXPECT_EQ(detail["class"], "BytarnEntryController") << result.lines[2];
    EXPECT_EQ(detail["title"], "org.example.App0");

    // Refused text says why in `bytarn plan set`'s words, and the plan stays as it was.
    std::string badSize;
    parseDataSize("7.5XB", &badSize);
    EXPECT_EQ(result.lines[3], R"({"error":"a warning in percent needs a limit"})");
    EXPECT_EQ(Json::parse(result.lines[4]).value("error", ""), badSize);
    Json kept = Json::parse(result.lines[5]);
    EXPECT_EQ(value(kept, "Limit"), "1.00GB");
    EXPECT_EQ(value(kept, "Used"), "685.00MB of 1.00GB, warning reached");

    Json raised = Json::parse(result.lines[6]);
    EXPECT_EQ(value(raised, "Used"), "685.00MB of 100.00GB");
    EXPECT_EQ(value(raised, "Limit"), "100.00GB");

    // The carrier's figure makes used that figure, as `bytarn plan set --used` does.
    Json corrected = Json::parse(result.lines[7]);
    EXPECT_EQ(value(corrected, "Used"), "700.00MB of 100.00GB");
    EXPECT_EQ(value(corrected, "Used so far (carrier's figure)"), "700.00MB");

    // A one-off pack from today for 30 days, its start and days then typed.
    Json pack = Json::parse(result.lines[8]);
    EXPECT_EQ(value(pack, "Plan"), "One-off pack");
    EXPECT_TRUE(rowNamed(pack, "Cycle starts").is_null());
    EXPECT_EQ(value(pack, "Starts"), "2026-12-06");
    EXPECT_EQ(value(pack, "Days"), "30");
    EXPECT_EQ(value(pack, "Cycle"), "Dec 6, 2026 – Jan 4, 2027");
    EXPECT_EQ(result.lines[9],
              R"({"error":"a pack of 0 days is not possible: give 1 to 3660 days"})");
    Json typed = Json::parse(result.lines[10]);
    EXPECT_EQ(value(typed, "Cycle"), "Dec 1, 2026 – Dec 10, 2026");
    EXPECT_EQ(value(typed, "Days left"), "5");
    EXPECT_EQ(value(typed, "Limit"), "100.00GB") << "the levels stay with the plan";

    Json cleared = Json::parse(result.lines[11]);
    EXPECT_TRUE(rowNamed(cleared, "Used").is_null());
    EXPECT_TRUE(rowNamed(cleared, "No plan: choose one below").is_object());
}

// Mobile data on the Data plan page, in one world: three applications (Web, Maps and the row
// of other users' traffic) and the cellular limit's pause of this cycle. The page says the pause
// and Resume ends it in the database; the applications' switches write the store; the store's
// bound refuses a switch with its sentence and changes nothing. A carrier's figure is refused
// while the usage database cannot be read.
TEST_F(ScriptSession, DataPlanPageKeepsApplicationsOffMobileData) {
    const std::string paused =
        "INSERT INTO plan_pauses VALUES ('cellular', '2026-12-01', "
        "1796472000, 1798761600, NULL);\n";  // Dec 5 to the cycle's end
    auto result =
        run("sql INSERT INTO usage VALUES ('org.example.Web', '2026-12-06', 7, 100, 0);\n"
            "sql INSERT INTO usage VALUES ('org.example.Maps', '2026-12-05', 7, 100, 0);\n"
            "sql INSERT INTO usage VALUES ('org.bytarn.OtherUsers', '2026-12-06', 7, 100, 0);\n"
            "sql " +
            paused +
            "open dataplan\ndump\n"
            "tap Applications on mobile data\ndump\n"
            "switch org.example.Web = off\n"
            "tap Always allowed\nswitch org.example.Maps = on\ndump\nback\nback\ndump\n"
            "tap Resume\ndump\n");
    ASSERT_EQ(result.lines.size(), 5u) << result.errors;
    auto names = [](const Json& page) {
        std::vector<std::string> shown;
        for (const auto& row : page["rows"]) shown.push_back(row["name"]);
        return shown;
    };
    Json page = Json::parse(result.lines[0]);
    auto shown = names(page);
    ASSERT_GE(shown.size(), 3u);
    EXPECT_EQ(
        std::vector<std::string>(shown.begin(), shown.begin() + 3),
        (std::vector<std::string>{
            "Cellular", "Mobile data paused: the limit was reached on Dec 5, 2026", "Resume"}));
    EXPECT_EQ(rowNamed(page, "Resume")["cell"], 13) << "a button";
    EXPECT_EQ(rowNamed(page, "Applications on mobile data")["value"], "0 restricted");

    // Sorted by title (the identifiers, with no desktop entries), other users' row left out,
    // every switch on by default.
    Json applications = Json::parse(result.lines[1]);
    std::vector<std::string> switches;
    for (const auto& row : applications["rows"])
        if (row["cell"] == 6) {
            switches.push_back(row["id"]);
            EXPECT_EQ(row["value"], "true") << row["id"];
        }
    EXPECT_EQ(switches, (std::vector<std::string>{"org.example.Maps", "org.example.Web"}));

    Json marked = Json::parse(result.lines[2]);
    EXPECT_EQ(marked["title"], "Always allowed");
    EXPECT_EQ(rowNamed(marked, "org.example.Maps")["value"], "true");
    EXPECT_EQ(rowNamed(marked, "org.example.Web")["value"], "false");
    RestrictionStore::Restrictions choices = RestrictionStore::read();
    EXPECT_EQ(choices.restricted, std::set<std::string>{"org.example.Web"});
    EXPECT_EQ(choices.alwaysAllowed, std::set<std::string>{"org.example.Maps"});
    EXPECT_EQ(rowNamed(Json::parse(result.lines[3]), "Applications on mobile data")["value"],
              "1 restricted")
        << "the page counts the switch when it is back on top";

    // Resume: the pause row of the database is resumed, as `bytarn plan resume` leaves it.
    EXPECT_TRUE(rowNamed(Json::parse(result.lines[4]), "Resume").is_null());
    UsageDatabase database(UsageDatabase::defaultPath());
    auto pause = PlanPause::ofCycle(database.handle(), "cellular", "2026-12-01");
    ASSERT_TRUE(pause);
    EXPECT_TRUE(pause->resumed.has_value()) << "resumed in the database";

    // The store's bound: a 1,025th name is refused with its sentence, and nothing changes.
    Value::Array full;
    for (int i = 0; full.size() + 2 < RestrictionStore::kMaxNames; ++i)
        full.emplace_back("org.example.Filler" + std::to_string(i));
    full.emplace_back("org.example.Web");
    PreferenceStore::setValueForKey(RestrictionStore::kDomain, RestrictionStore::kRestrictedKey,
                                    Value(full));
    auto refused =
        run("open dataplan\ntap Applications on mobile data\nswitch org.example.Maps = off\n");
    ASSERT_EQ(refused.lines.size(), 1u) << refused.errors;
    EXPECT_NE(refused.lines[0].find("there are already 1024 applications"), std::string::npos)
        << refused.lines[0];
    EXPECT_EQ(RestrictionStore::read().restricted.count("org.example.Maps"), 0u);
    EXPECT_EQ(RestrictionStore::read().restricted.size() + 1, RestrictionStore::kMaxNames);

    // A usage database that cannot be read: the carrier's figure is refused, as
    // `bytarn plan set --used` refuses it, and the plan keeps no correction.
    DataPlan plan;
    plan.cycleDay = 1;
    std::string error;
    ASSERT_TRUE(DataPlanStore::store(plan, &error)) << error;
    {
        std::ofstream broken(UsageDatabase::defaultPath(), std::ios::trunc);
        broken << "not a database, not at all; long enough to be read as a header.\n";
    }
    SessionOptions withoutCollector;
    withoutCollector.collector = CollectorMode::None;
    auto figure =
        run("open dataplan\ntype Used so far (carrier's figure) = 3GB\n", withoutCollector);
    ASSERT_EQ(figure.lines.size(), 1u) << figure.errors;
    EXPECT_NE(figure.lines[0].find("cannot read the usage database"), std::string::npos)
        << figure.lines[0];
    EXPECT_FALSE(DataPlanStore::plan(kCellularKind).value().correction);
}

TEST_F(ScriptSession, OpenShowsTheBundlePageOnAnEmptyDatabase) {
    UsageDatabase create(UsageDatabase::defaultPath());
    auto result = run("open\ndump\nlog\nswipe Total\ndelete Total\n");
    ASSERT_EQ(result.status, 0) << result.errors;
    ASSERT_EQ(result.lines.size(), 3u);

    Json page = Json::parse(result.lines[0]);
    EXPECT_EQ(keysOf(page), (std::vector<std::string>{"class", "title", "left", "right", "rows"}));
    EXPECT_EQ(page["class"], "BytarnController");
    EXPECT_EQ(page["title"], "Bytarn");
    EXPECT_TRUE(page["left"].is_null());
    EXPECT_EQ(page["right"].dump(), R"({"title":null,"image":"settings","style":0})");

    ASSERT_GE(page["rows"].size(), 2u);
    EXPECT_EQ(page["rows"][0]["cell"], 0);
    EXPECT_EQ(page["rows"][0]["name"], "Usage for today");
    Json total = page["rows"][1];
    EXPECT_EQ(keysOf(total),
              (std::vector<std::string>{"cell", "name", "value", "icon", "id", "cellClass"}));
    EXPECT_EQ(total["name"], "Total");
    EXPECT_EQ(total["value"], "0.00B");
    EXPECT_EQ(total["icon"], "icon") << "the Total row shows the icon of the entry it opened from";
    EXPECT_TRUE(applicationRows(page).empty());

    EXPECT_EQ(result.lines[1], R"({"log":[]})") << "an existing database is read without error";
    EXPECT_EQ(result.lines[2], R"({"editingStyle":0})") << "totals rows cannot be deleted";
}

TEST_F(ScriptSession, ApplicationRowsComeSortedByUsageWithTheirValues) {
    auto result =
        run("sql INSERT INTO usage VALUES ('com.example.small', '2026-12-06', 512, 0, 0);\n"
            "sql INSERT INTO usage VALUES ('com.example.big', '2026-12-06', 1024, 512, 0);\n"
            "sql INSERT INTO usage VALUES ('com.example.mid', '2026-12-06', 0, 1000, 0);\n"
            "open\n"
            "dump\n");
    ASSERT_EQ(result.status, 0) << result.errors;
    ASSERT_EQ(result.lines.size(), 1u);
    Json page = Json::parse(result.lines[0]);
    auto apps = applicationRows(page);
    ASSERT_EQ(apps.size(), 3u) << result.lines[0];
    struct {
        const char* id;
        const char* value;
    } expected[] = {{"com.example.big", "1.50KB"},
                    {"com.example.mid", "1000.00B"},
                    {"com.example.small", "512.00B"}};
    for (size_t i = 0; i < apps.size(); ++i) {
        EXPECT_EQ(apps[i]["id"], expected[i].id) << i;
        EXPECT_EQ(apps[i]["value"], expected[i].value) << i;
        EXPECT_EQ(apps[i]["cell"], 2) << i;
    }
}

TEST_F(ScriptSession, FailedCommandsSayWhyAndTheScriptGoesOn) {
    struct {
        const char* command;
        const char* error;  // part of the message
    } cases[] = {
        {"bogus", "unknown command \"bogus\""},
        {"tap Nowhere", "no row named \"Nowhere\""},
        {"tap", "tap needs an argument"},
        {"tap Usage for today", "opens no page"},
        {"press left", "no left button"},
        {"press up", "left or right"},
        {"dump everything", "dump takes no argument"},
        {"open", "another page is open"},
        {"advance -5", "cannot go back in time"},
        {"advance soon", "needs a number of seconds"},
        {"advance 5s", "needs a number of seconds"},
        {"advance nan", "needs a number of seconds"},
        {"swipe Usage for today", "group header"},
        {"swipe Nowhere", "no row named"},
        {"delete Nowhere", "no row named"},
        {"sql SELEKT 1", "sql: "},
        {"pick 2026-12-01", "has no date picker"},
        {"notify now", "notify takes no argument"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.command);
        RunLoop::main().reset();
        auto result = run(std::string("open\n") + c.command + "\ndump\n");
        EXPECT_EQ(result.status, 1);
        ASSERT_EQ(result.lines.size(), 2u);
        Json error = Json::parse(result.lines[0]);
        ASSERT_EQ(keysOf(error), std::vector<std::string>{"error"});
        EXPECT_NE(error["error"].get<std::string>().find(c.error), std::string::npos)
            << error["error"];
        EXPECT_EQ(Json::parse(result.lines[1])["class"], "BytarnController");
    }
}

TEST_F(ScriptSession, SettingsSectionChoiceTakesOneTap) {
    auto result =
        run("sql INSERT INTO usage VALUES ('b.app', '2026-12-06', 500, 0, 0)\n"
            "sql INSERT INTO usage VALUES ('a.app', '2026-12-06', 300, 0, 0)\n"
            "open\npress right\ndump\ntap Sort by\ndump\ntap Name\ndump\nprefs\n"
            "press right\ndump\n");
    ASSERT_EQ(result.status, 0) << result.errors;
    ASSERT_EQ(result.lines.size(), 5u);

    Json shown = Json::parse(result.lines[0]);
    EXPECT_EQ(shown["right"]["style"], 2);
    EXPECT_EQ(shown["rows"][0]["name"], "");
    EXPECT_EQ(rowNamed(shown, "Sort by")["value"], "Usage");
    EXPECT_EQ(rowNamed(shown, "Networks")["value"], "Cellular and Wi-Fi");
    EXPECT_EQ(rowNamed(shown, "Period")["value"], "Today");

    Json list = Json::parse(result.lines[1]);
    EXPECT_EQ(list["class"], "BytarnAutoPopPSListItemsController");
    EXPECT_EQ(list["title"], "Sort by");
    EXPECT_EQ(rowNamed(list, "Name")["checked"], false);
    EXPECT_EQ(rowNamed(list, "Usage")["checked"], true);

    // One tap stored the choice and brought the user back to the rebuilt page.
    Json back = Json::parse(result.lines[2]);
    EXPECT_EQ(back["class"], "BytarnController");
    EXPECT_EQ(rowNamed(back, "Sort by")["value"], "Name");
    auto apps = applicationRows(back);
    ASSERT_EQ(apps.size(), 2u);
    EXPECT_EQ(apps[0]["id"], "a.app");
    EXPECT_EQ(Json::parse(result.lines[3]),
              Json::parse(R"({"prefs":{"comparator":"compareName:"}})"));

    Json hidden = Json::parse(result.lines[4]);
    EXPECT_EQ(hidden["right"]["style"], 0);
    EXPECT_EQ(hidden["rows"][0]["name"], "Usage for today");
    EXPECT_TRUE(rowNamed(hidden, "Sort by").is_null());
}

TEST_F(ScriptSession, DatePagePicksConfirmsAndCancels) {
    auto result =
        run("sql INSERT INTO usage VALUES ('app', '2026-11-09', 2048, 0, 0)\n"
            "open\npress right\ntap Start date\ndump\npick 2026-11-09\ndump\npress right\n"
            "prefs\ntap End date\npick 2026-12-01T23:30:00\ndump\npress left\nprefs\n"
            "pick 2026-11-09\ndump\n");
    ASSERT_EQ(result.status, 1) << result.errors;  // the last pick has no picker to turn
    ASSERT_EQ(result.lines.size(), 7u);
    Json opened = Json::parse(result.lines[0]);
    EXPECT_EQ(opened["class"], "BytarnDateController");
    EXPECT_EQ(opened["picker"], "2026-12-06");  // nothing stored: today
    EXPECT_EQ(opened["left"]["title"], "Cancel");
    EXPECT_EQ(opened["right"]["title"], "Confirm");
    EXPECT_EQ(opened["right"]["style"], 2);
    EXPECT_EQ(Json::parse(result.lines[1])["picker"], "2026-11-09");
    // The end date nobody stored is stored as the page showed it: today, the start it began on.
    const Json afterStart = Json::parse(
        R"({"prefs":{"endDate":"2026-12-06","period":"Custom","startDate":"2026-11-09"}})");
    EXPECT_EQ(Json::parse(result.lines[2]), afterStart);
    EXPECT_EQ(Json::parse(result.lines[3])["picker"], "2026-12-01");
    EXPECT_EQ(Json::parse(result.lines[4]), afterStart);
    EXPECT_TRUE(Json::parse(result.lines[5]).contains("error"));
    Json root = Json::parse(result.lines[6]);
    EXPECT_EQ(root["class"], "BytarnController");
    EXPECT_FALSE(root.contains("picker"));
    EXPECT_EQ(rowNamed(root, "Start date")["value"], "2026-11-09");
}

TEST_F(ScriptSession, BackPopsToTheSettingsPageButNotPastIt) {
    auto atRoot = run("back\ndump\n");
    EXPECT_EQ(atRoot.status, 1);
    ASSERT_EQ(atRoot.lines.size(), 2u);
    EXPECT_TRUE(Json::parse(atRoot.lines[0]).contains("error"));

    auto opened =
        run("# comments, blank lines and CRLF endings are skipped\n\n  \nopen\r\nback\ndump\ntap "
            "Bytarn\ndump\n");
    EXPECT_EQ(opened.status, 0);
    ASSERT_EQ(opened.lines.size(), 2u);
    EXPECT_EQ(Json::parse(opened.lines[0])["class"], "SettingsRootController");
    EXPECT_EQ(Json::parse(opened.lines[1])["class"], "BytarnController")
        << "tapping the entry opens the page as open does";
}

TEST_F(ScriptSession, PrefsShowWhatTheBundleDomainHolds) {
    EXPECT_EQ(run("prefs\n").lines, std::vector<std::string>{R"({"prefs":{}})"});

    home.write(".config/bytarn/org.bytarn.plist", R"(<?xml version="1.0" encoding="UTF-8"?>
<!DOCTYPE plist PUBLIC "-//Apple//DTD PLIST 1.0//EN" "http://www.apple.com/DTDs/PropertyList-1.0.dtd">
<plist version="1.0"><dict>
<key>period</key><string>This week</string>
<key>count</key><integer>3</integer>
<key>ratio</key><real>0.5</real>
<key>shown</key><true/>
<key>list</key><array><string>a</string><integer>1</integer></array>
<key>nested</key><dict><key>k</key><false/></dict>
</dict></plist>)");
    auto result = run("open\nprefs\n");
    EXPECT_EQ(result.status, 0) << result.errors;
    EXPECT_EQ(result.lines,
              std::vector<std::string>{
                  R"({"prefs":{"count":3,"list":["a",1],"nested":{"k":false},"period":"This week",)"
                  R"("ratio":0.5,"shown":true}})"});
}

TEST_F(ScriptSession, LogShowsTheMissingDatabaseOnce) {
    auto result = run("open\ndump\nlog\nlog\n");
    ASSERT_EQ(result.lines.size(), 3u);
    auto log = Json::parse(result.lines[1])["log"];
    ASSERT_FALSE(log.empty());
    EXPECT_EQ(log[0].get<std::string>().rfind("BytarnSettings: Unable to open database: ", 0), 0u)
        << log;
    EXPECT_EQ(result.lines[2], R"({"log":[]})") << "log hands over each line once";
}

TEST_F(ScriptSession, AdvanceMovesTheVirtualClockOnly) {
    double start = localInstant(kStart);
    auto result = run("advance 90\nadvance 0.5\n");
    EXPECT_EQ(result.status, 0);
    EXPECT_TRUE(result.lines.empty());
    EXPECT_TRUE(Clock::isVirtual());
    EXPECT_DOUBLE_EQ(Clock::now(), start + 90.5);
}

TEST_F(ScriptSession, ScriptsComeFromAFileWhenOneIsNamed) {
    home.write("script.txt", "dump\n");
    SessionOptions options;
    options.scriptFile = home.file("script.txt");
    auto fromFile = run("bogus\n", options);
    EXPECT_EQ(fromFile.status, 0) << "standard input is not read when a file is named";
    ASSERT_EQ(fromFile.lines.size(), 1u);
}

TEST_F(ScriptSession, BadOptionsStopTheRunBeforeAnyCommand) {
    struct {
        const char* what;
        void (*set)(SessionOptions&);
        const char* error;
    } cases[] = {
        {"zone", [](SessionOptions& o) { o.timeZone = "Mars/Olympus_Mons"; },
         "unknown time zone \"Mars/Olympus_Mons\""},
        {"locale", [](SessionOptions& o) { o.locale = "xx_XX"; }, "unknown locale"},
        {"now", [](SessionOptions& o) { o.now = "yesterday"; }, "YYYY-MM-DDTHH:MM:SS"},
        {"bundles", [](SessionOptions& o) { o.bundlesDirectory = "/nonexistent/bundles"; },
         "is not a directory"},
        {"script", [](SessionOptions& o) { o.scriptFile = "/nonexistent/script"; },
         "cannot read script"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        SessionOptions options;
        c.set(options);
        auto result = run("dump\n", options);
        EXPECT_EQ(result.status, 1);
        EXPECT_TRUE(result.lines.empty());
        EXPECT_NE(result.errors.find(c.error), std::string::npos) << result.errors;
    }
}

TEST_F(ScriptSession, WithoutBundlesOnlyTheSettingsPageIsThere) {
    SessionOptions options;
    options.bundlesDirectory = home.file("empty-bundles/");
    auto result = run("open\nprefs\ndump\n", options);
    EXPECT_EQ(result.status, 1);
    ASSERT_EQ(result.lines.size(), 3u);
    EXPECT_NE(result.lines[0].find("no bundle was loaded"), std::string::npos) << result.lines[0];
    EXPECT_TRUE(Json::parse(result.lines[1]).contains("error"));
    EXPECT_EQ(Json::parse(result.lines[2])["rows"].size(), 1u);
}

TEST_F(ScriptSession, ViewPrintsTheOpenedPageAsText) {
    UsageDatabase database(UsageDatabase::defaultPath());
    database.addUsage("com.example.app", "2026-12-06", 1536, 0, 0);
    SessionOptions options;
    options.now = kStart;
    options.bundlesDirectory = BYTARN_BUILD_BUNDLES_DIR;
    std::ostringstream out, err;
    ASSERT_EQ(runViewSession(options, out, err), 0) << err.str();

    std::istringstream text(out.str());
    std::vector<std::string> lines;
    for (std::string line; std::getline(text, line);) lines.push_back(line);
    ASSERT_GE(lines.size(), 3u) << out.str();
    EXPECT_EQ(lines[0], "Bytarn");
    EXPECT_EQ(lines[1], "Usage for today");
    std::string appLine = "  com.example.app" + std::string(60 - 2 - 15 - 6, ' ') + "1.50KB >";
    EXPECT_NE(std::find(lines.begin(), lines.end(), appLine), lines.end()) << out.str();
}

}  // namespace
