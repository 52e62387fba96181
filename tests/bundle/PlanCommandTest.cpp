// `bytarn plan` and the plan's part of `bytarn report`, through the commands the bundle
// registers, in the fixture's world: Berlin, 2026-12-06 12:00, a scratch home and database.
#include <nlohmann/json.hpp>

#include <sstream>

#include "BundleFixture.h"
#include "collector/UsageDatabase.h"
#include "host/foundation/CommandRegistry.h"
#include "host/foundation/Locale.h"
#include "host/netpolicy/DataPlanStore.h"
#include "host/netpolicy/PlanPause.h"
#include "host/netpolicy/RestrictionStore.h"

namespace {

struct Result {
    int status = -1;
    std::string out, err;
};

class PlanCommandTest : public BundleTest {
  protected:
    PlanCommandTest() { Locale::setDefaultLocale("en_US.UTF-8"); }

    Result run(const std::string& name, const std::vector<std::string>& arguments) {
        auto command = CommandRegistry::shared().create(name);
        Result result;
        if (!command) return result;
        std::ostringstream out, err;
        result.status = command->run(arguments, out, err);
        result.out = out.str();
        result.err = err.str();
        return result;
    }
    nlohmann::json planJSON() {
        auto result = run("plan", {"--format", "json"});
        EXPECT_EQ(result.status, 0) << result.err;
        return nlohmann::json::parse(result.out);
    }
};

TEST_F(PlanCommandTest, SetAndClearRoundTripThroughTheStore) {
    ASSERT_EQ(
        run("plan", {"set", "cellular", "--cycle-day", "31", "--limit", "10GB", "--warning", "80%"})
            .status,
        0);
    DataPlan expected;
    expected.cycleDay = 31;
    expected.limit = 10ull << 30;
    expected.warning = PlanWarning{std::nullopt, 80.0};
    EXPECT_EQ(DataPlanStore::plan("cellular"), expected);

    // A new cycle keeps what the command line does not change; "none" removes a level.
    ASSERT_EQ(run("plan",
                  {"set", "cellular", "--start", "2026-12-01", "--days", "30", "--warning", "none"})
                  .status,
              0);
    expected.period = DataPlan::Period::OneOff;
    expected.cycleDay = 1;  // a pack stores none; it reads back as the model's default
    expected.start = *parseDay("2026-12-01");
    expected.days = 30;
    expected.warning.reset();
    EXPECT_EQ(DataPlanStore::plan("cellular"), expected);

    ASSERT_EQ(run("plan", {"set", "wifi", "--cycle-day", "1"}).status, 0);
    auto table = run("plan", {});
    EXPECT_EQ(table.out,
              "Cellular plan: a pack of 30 days\n"
              "  Cycle      2026-12-01 to 2026-12-30, 25 days left\n"
              "  Used       0.00B of 10.00GB (0%)\n"
              "  Warning    none\n"
              "  Limit      10.00GB\n"
              "  Projected  0.00B by the cycle's end\n"
              "\n"
              "Wi-Fi plan: monthly from day 1\n"
              "  Cycle      2026-12-01 to 2026-12-31, 26 days left\n"
              "  Used       0.00B\n"
              "  Warning    none\n"
              "  Limit      none\n"
              "  Projected  0.00B by the cycle's end\n");

    ASSERT_EQ(run("plan", {"clear", "cellular"}).status, 0);
    EXPECT_EQ(DataPlanStore::plan("cellular"), std::nullopt);
    ASSERT_EQ(DataPlanStore::plans().size(), 1u);
    EXPECT_EQ(DataPlanStore::plans()[0].kind, "wifi");
}

// One cycle's figures: the plan's JSON, the report of its cycle and the metrics' gauges agree.
TEST_F(PlanCommandTest, FiguresOfTheCycleAgreeEverywhere) {
    desktopEntry("org.example.web", "Web");
    addUsage("org.example.mail", "2026-12-04", 0, 1000);  // the cycle before
    addUsage("org.example.mail", "2026-12-05", 500, 3000);
    addUsage("org.example.web", "2026-12-06", 700, 5000);
    // The carrier counted 10000 of the 8000 cellular bytes; 1000 more come after.
    ASSERT_EQ(run("plan", {"set", "cellular", "--cycle-day", "5", "--limit", "100000B", "--warning",
                           "10000B", "--used", "10000B"})
                  .status,
              0);
    addUsage("org.example.web", "2026-12-06", 0, 1000);

    auto plans = planJSON()["plans"];
    ASSERT_EQ(plans.size(), 1u);
    auto plan = plans[0];
    EXPECT_EQ(plan["kind"], "cellular");
    EXPECT_EQ(plan["from"], "2026-12-05");
    EXPECT_EQ(plan["to"], "2027-01-04");
    EXPECT_EQ(plan["counted"], 9000);
    EXPECT_EQ(plan["used"], 11000);
    EXPECT_EQ(plan["warning"], 10000);
    EXPECT_EQ(plan["limit"], 100000);
    EXPECT_EQ(plan["warningReached"], true);
    // 9000 bytes in the 36 hours since the cycle began, for the 29.5 days left: 177000 more.
    EXPECT_EQ(plan["projected"], 188000);
    EXPECT_EQ(plan["rapidUse"], true);
    EXPECT_EQ(plan["top"], nlohmann::json::parse(R"([
        {"app": "org.example.web", "title": "Web", "bytes": 6000},
        {"app": "org.example.mail", "title": "org.example.mail", "bytes": 3000}])"));

    auto report = run("report", {"--period", "cycle", "--format", "json", "--by", "day"});
    ASSERT_EQ(report.status, 0) << report.err;
    auto document = nlohmann::json::parse(report.out);
    EXPECT_EQ(document["period"], nlohmann::json::parse(R"({"name": "Cycle", "from": "2026-12-05",
                                        "to": "2027-01-04"})"));
    EXPECT_EQ(document["networks"], nlohmann::json::parse(R"(["cellular"])"));
    EXPECT_EQ(document["total"]["usage"], plan["counted"]);

    auto metrics = run("report", {"--period", "today", "--format", "openmetrics"});
    ASSERT_EQ(metrics.status, 0) << metrics.err;
    auto gauges = metrics.out.substr(metrics.out.find("# HELP bytarn_plan_"));
    // Berlin's midnights of 2026-12-05 and 2027-01-05.
    EXPECT_EQ(
        gauges,
        "# HELP bytarn_plan_limit_bytes The data plan's limit for its network kind.\n"
        "# TYPE bytarn_plan_limit_bytes gauge\n"
        "bytarn_plan_limit_bytes{network=\"cellular\"} 100000\n"
        "# HELP bytarn_plan_warning_bytes The data plan's warning level for its network kind.\n"
        "# TYPE bytarn_plan_warning_bytes gauge\n"
        "bytarn_plan_warning_bytes{network=\"cellular\"} 10000\n"
        "# HELP bytarn_plan_used_bytes Bytes of the plan's network kind used in its current "
        "cycle, with the carrier's correction.\n"
        "# TYPE bytarn_plan_used_bytes gauge\n"
        "bytarn_plan_used_bytes{network=\"cellular\"} 11000\n"
        "# HELP bytarn_plan_cycle_start_seconds Start of the plan's current cycle as a Unix "
        "time: the first instant of its first day.\n"
        "# TYPE bytarn_plan_cycle_start_seconds gauge\n"
        "bytarn_plan_cycle_start_seconds{network=\"cellular\"} 1796425200\n"
        "# HELP bytarn_plan_cycle_end_seconds End of the plan's current cycle as a Unix time, "
        "exclusive: the first instant after the cycle (the start of the day after its last "
        "day).\n"
        "# TYPE bytarn_plan_cycle_end_seconds gauge\n"
        "bytarn_plan_cycle_end_seconds{network=\"cellular\"} 1799103600\n"
        "# EOF\n");
    EXPECT_EQ(1796425200, localInstant("2026-12-05T00:00:00"));
    EXPECT_EQ(1799103600, localInstant("2027-01-05T00:00:00"));
}

// Bad arguments end with 2 and the reason, and change nothing that is stored.
TEST_F(PlanCommandTest, BadArgumentsSayWhyAndChangeNothing) {
    ASSERT_EQ(run("plan", {"set", "cellular", "--cycle-day", "5", "--limit", "1GB"}).status, 0);
    auto stored = DataPlanStore::plan("cellular");
    struct Case {
        std::string command;
        std::vector<std::string> arguments;
        std::string message;
    };
    const std::vector<Case> cases = {
        {"plan", {"set", "cellular", "--cycle-day", "0"}, "cycle day 0 is not a day of the month"},
        {"plan",
         {"set", "cellular", "--cycle-day", "5", "--warning", "2GB"},
         "the warning is above the limit"},
        {"plan",
         {"set", "cellular", "--cycle-day", "5", "--limit", "12XB"},
         "--limit 12XB: \"12XB\" is not a size"},
        {"plan", {"set", "cellular", "--cycle-day", "5", "--used", "-3GB"}, "--used"},
        {"plan", {"set", "mobile", "--cycle-day", "5"}, "\"mobile\" is not a network kind"},
        {"plan", {"clear", "mobile"}, "\"mobile\" is not a network kind"},
        {"plan", {"set", "cellular", "--limit", "2GB"}, "a plan needs its cycle"},
        {"plan", {"set", "cellular", "--start", "2026-12-01"}, "--days"},
        {"plan",
         {"set", "cellular", "--cycle-day", "5", "--start", "2026-12-01", "--days", "3"},
         "excludes"},
        {"plan", {"set", "cellular", "--start", "2026-02-30", "--days", "3"}, "is not a day"},
        {"plan", {"set", "cellular", "--start", "2026-12-01", "--days", "0"}, "a pack of 0 days"},
        {"report", {"--period", "cycle", "--networks", "both"}, "give --networks cellular or wifi"},
        {"report", {"--period", "cycle", "--networks", "wifi"}, "there is no wifi data plan"},
        {"plan", {"resume", "wifi"}, "only the cellular plan's limit pauses mobile data"},
        {"plan", {"resume", "mobile"}, "\"mobile\" is not a network kind"},
        {"restrict", {""}, "cannot be empty"},
        {"restrict", {"org.bytarn.OtherUsers"}, "cannot be kept off mobile data"},
        {"allow", {"--always", "org.bytarn.SharedConnection"}, "cannot be kept off"},
        {"restrict", {"--only-when-paused", "../x"}, "holds a '/'"},
        {"allow", {"a\x1b[2J"}, "control character"},
        {"restrict", {}, "APP is required"},
    };
    for (const auto& c : cases) {
        std::string joined = c.command;
        for (const auto& a : c.arguments) joined += " " + a;
        SCOPED_TRACE(joined);
        auto result = run(c.command, c.arguments);
        EXPECT_EQ(result.status, 2);
        EXPECT_EQ(result.out, "");
        EXPECT_EQ(result.err.rfind("bytarn: ", 0), 0u) << result.err;
        EXPECT_NE(result.err.find(c.message), std::string::npos) << result.err;
        EXPECT_EQ(DataPlanStore::plan("cellular"), stored);
        EXPECT_EQ(result.err.find('\x1b'), std::string::npos) << "no raw bytes";
    }
    EXPECT_EQ(RestrictionStore::read(), RestrictionStore::Restrictions{});
    EXPECT_EQ(DataPlanStore::plan("wifi"), std::nullopt);
}

// The restriction commands write the store, and `restrictions` and `plan resume` read and end
// the pause the collector keeps in the database.
TEST_F(PlanCommandTest, RestrictionsAreStoredListedAndThePauseResumed) {
    ASSERT_EQ(run("restrict", {"org.example.Video"}).status, 0);
    ASSERT_EQ(run("restrict", {"org.example.Chat"}).status, 0);
    ASSERT_EQ(run("allow", {"org.example.Chat"}).status, 0);
    ASSERT_EQ(run("allow", {"--always", "org.example.Maps"}).status, 0);
    ASSERT_EQ(run("allow", {"--always", "org.example.Mail"}).status, 0);
    ASSERT_EQ(run("restrict", {"--only-when-paused", "org.example.Mail"}).status, 0);
    EXPECT_EQ(RestrictionStore::read(),
              (RestrictionStore::Restrictions{{"org.example.Video"}, {"org.example.Maps"}}));

    auto resumed = run("plan", {"resume", "cellular"});
    EXPECT_EQ(resumed.status, 0);
    EXPECT_EQ(resumed.out, "Mobile data is not paused; nothing to resume\n");

    // The collector paused this cycle at 10:00; it ends with the cycle.
    {
        UsageDatabase database(UsageDatabase::defaultPath());
        ASSERT_TRUE(PlanPause::begin(database.handle(), {"cellular",
                                                         "2026-12-01",
                                                         localInstant("2026-12-06T10:00:00"),
                                                         localInstant("2027-01-01T00:00:00"),
                                                         {}}));
    }
    auto table = run("restrictions", {});
    EXPECT_EQ(table.status, 0) << table.err;
    EXPECT_EQ(table.out,
              "Mobile data off:\n  org.example.Video\nAlways allowed:\n  org.example.Maps\n"
              "Mobile data paused at the cellular limit since 2026-12-06 10:00, until the cycle "
              "ends at 2027-01-01 00:00 (bytarn plan resume cellular)\n");
    auto json = nlohmann::json::parse(run("restrictions", {"--format", "json"}).out);
    EXPECT_EQ(json["paused"], true);
    EXPECT_EQ(json["pause"]["until"], localInstant("2027-01-01T00:00:00"));
    EXPECT_EQ(json["restricted"], nlohmann::json::parse(R"(["org.example.Video"])"));

    resumed = run("plan", {"resume", "cellular"});
    EXPECT_EQ(resumed.status, 0);
    EXPECT_EQ(resumed.out, "Mobile data resumed; the limit does not pause it again this cycle\n");
    json = nlohmann::json::parse(run("restrictions", {"--format", "json"}).out);
    EXPECT_EQ(json["paused"], false);
    EXPECT_EQ(json["pause"], nullptr);
}

}  // namespace
