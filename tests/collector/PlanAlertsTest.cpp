// The plan alerts: which alerts a plan's status reaches, and the alerts against a stand-in
// notification service on a private bus, in one world: each once per cycle and kind, also across
// a collector restart; none lost while there is no service; the page opened by the action; and
// the running collector sending its stored plans' alerts.
#include <gtest/gtest.h>
#include <signal.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

#include "collector/CollectorTestSupport.h"
#include "collector/UsageDatabase.h"
#include "collector/alerts/PlanAlerts.h"
#include "host/foundation/RunLoop.h"
#include "host/foundation/SystemLog.h"
#include "host/netpolicy/DataPlanStore.h"
#include "support/ChildProcesses.h"
#include "support/StandInNotificationService.h"
#include "support/TestEnvironment.h"

namespace {

constexpr std::uint64_t kGB = 1ULL << 30;

TEST(PlanAlertDecision, ReachesEachAlertAtItsThreshold) {
    using A = PlanAlert;
    struct Case {
        const char* what;
        std::uint64_t used, warning, limit, projected;
        std::vector<PlanAlert> reached;
    };
    const Case cases[] = {
        {"below everything", 2 * kGB, 3 * kGB, 4 * kGB, 5 * kGB, {}},
        {"at the warning", 3 * kGB, 3 * kGB, 4 * kGB, 4 * kGB, {A::Warning}},
        {"at the limit: no warning besides", 4 * kGB, 3 * kGB, 4 * kGB, 9 * kGB, {A::Limit}},
        {"projection exactly half over", kGB, 3 * kGB, 4 * kGB, 6 * kGB, {}},
        {"projection more than half over", kGB, 3 * kGB, 4 * kGB, 6 * kGB + 1, {A::RapidUse}},
        {"warning and rapid use", 3 * kGB, 3 * kGB, 4 * kGB, 7 * kGB, {A::Warning, A::RapidUse}},
        {"no limit, no warning", 9 * kGB, 0, 0, 99 * kGB, {}},
        {"a warning without a limit", 9 * kGB, kGB, 0, 99 * kGB, {A::Warning}},
        // Half of the limit again, where the limit times three would overflow.
        {"exactly half over near 2^64", 1, 0, 1ULL << 63, 3ULL << 62, {}},
        {"more than half over near 2^64", 1, 0, 1ULL << 63, ~0ULL, {A::RapidUse}},
    };
    for (const auto& c : cases) {
        PlanAlertStatus status{"cellular", "2026-12-01", c.used, c.warning,
                               c.limit,    c.projected,  "",     0};
        EXPECT_EQ(reachedPlanAlerts(status), c.reached) << c.what;
    }
}

std::string bytes(std::uint64_t count) {
    return std::to_string(count) + "B";
}

TEST(PlanAlerts, EachOncePerCycleAcrossRestartsAndNoneLostWithoutAService) {
    if (!programInstalled("dbus-daemon")) GTEST_SKIP() << "dbus-daemon is not installed";
    ScratchHome home;
    PrivateBus bus(home.path());
    ASSERT_TRUE(bus.running());
    SystemLog::setEchoToStandardError(false);
    SystemLog::takeCaptured();
    const std::string opened = home.file("opened");
    PlanAlerts::Options options{home.file("usage.sqlite3"),
                                bus.address(),
                                bytes,
                                {"/bin/sh", "-c", "echo opened >> \"$0\"", opened},
                                {}};
    const PlanAlertStatus warned{"cellular", "2026-12-01", 3 * kGB, 3 * kGB,
                                 4 * kGB,    4 * kGB,      "",      0};
    PlanAlertStatus limited = warned;
    limited.used = 4 * kGB;
    // Wi-Fi's plan runs fast, mostly for one application, whose name is text, not markup.
    const PlanAlertStatus rapid{"wifi",   "2026-11-20",           10 * kGB, 0, 20 * kGB,
                                31 * kGB, "org.example.<b>Video", 6 * kGB};

    StandInNotificationService service(bus.address());
    auto logged = [] {
        int lines = 0;
        for (const auto& line : SystemLog::takeCaptured())
            lines += line.find("no desktop notification service") != std::string::npos;
        return lines;
    };
    {
        PlanAlerts alerts(options);
        // No service owns the name yet: nothing is sent, said once, and nothing is kept.
        EXPECT_EQ(alerts.update(warned), 0);
        EXPECT_EQ(alerts.update(warned), 0);
        EXPECT_EQ(logged(), 1);
        EXPECT_TRUE(queryRows(options.databasePath, "SELECT * FROM plan_alerts").empty());

        service.start();
        EXPECT_EQ(alerts.update(warned), 1) << "the warning waited for the service";
        EXPECT_EQ(alerts.update(warned), 0);
        EXPECT_EQ(alerts.update(limited), 1);
        EXPECT_EQ(alerts.update(rapid), 1);
        EXPECT_EQ(alerts.update(limited), 0);
    }
    auto received = service.received();
    ASSERT_EQ(received.size(), 3u);
    EXPECT_EQ(received[0].appName, "Bytarn");
    EXPECT_EQ(received[0].icon, "org.bytarn.Bytarn");
    EXPECT_EQ(received[0].desktopEntry, "org.bytarn.Bytarn");
    EXPECT_EQ(received[0].actions,
              (std::vector<std::string>{"default", "Open Data plan", "open", "Open Data plan"}));
    EXPECT_EQ(received[0].summary, "Mobile data: warning reached");
    EXPECT_EQ(received[0].body,
              "3221225472B of 4294967296B used this cycle; the warning is at 3221225472B.");
    EXPECT_EQ(received[0].urgency, 1);
    EXPECT_EQ(received[1].summary, "Mobile data: limit reached");
    EXPECT_EQ(received[1].urgency, 2);
    EXPECT_EQ(received[2].summary, "Wi-Fi data is going fast");
    EXPECT_EQ(received[2].body,
              "At the last four days' rate, 33285996544B will be used by the cycle's end; the "
              "limit is 21474836480B. org.example.&lt;b&gt;Video used 6442450944B of the "
              "10737418240B.");

    // A collector started again within the cycles sends nothing again; a new cycle does.
    PlanAlerts restarted(options);
    for (const auto& status : {warned, limited, rapid}) EXPECT_EQ(restarted.update(status), 0);
    PlanAlertStatus nextCycle = warned;
    nextCycle.cycleStart = "2027-01-01";
    EXPECT_EQ(restarted.update(nextCycle), 1);
    EXPECT_EQ(restarted.update(nextCycle), 0);
    ASSERT_EQ(service.received().size(), 4u);
    EXPECT_EQ(logged(), 0);

    // Only this object's notification opens the page; another client's, or one the restarted
    // object never showed, does not.
    const std::uint32_t ours = service.received().back().id;
    service.invokeAction(received[0].id, "open");
    service.invokeAction(ours + 100, "open");
    service.invokeAction(ours, "open");
    EXPECT_TRUE(eventually([&] {
        RunLoop::main().runUntilIdle();
        return readFile(opened) == "opened\n";
    }));
    service.closeNotification(ours);
    service.invokeAction(ours, "default");
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    RunLoop::main().runUntilIdle();
    EXPECT_EQ(readFile(opened), "opened\n") << "a closed notification opens nothing";
}

// The running collector reads the stored plans, checks them after its saves, and follows a plan
// set while it runs, with sizes as the pages print them.
TEST(PlanAlerts, TheRunningCollectorAlertsOnItsPlansAndFollowsTheirChanges) {
    if (!programInstalled("dbus-daemon")) GTEST_SKIP() << "dbus-daemon is not installed";
    ScratchHome home;
    PrivateBus bus(home.path());
    ASSERT_TRUE(bus.running());
    StandInNotificationService service(bus.address());
    service.start();
    std::string error;
    DataPlan cellular;
    cellular.limit = 1000000;
    ASSERT_TRUE(DataPlanStore::store(cellular, &error)) << error;

    const std::string log = home.file("collector.log");
    CollectorProcess collector({"run", "--source", "stdin", "--save-interval", "0.2"},
                               bus.address(), log);
    ASSERT_TRUE(
        collector.send("record org.example.A cellular 600000\n"
                       "record org.example.B wifi 3000\n"
                       "record org.example.A cellular 600000\n"));
    ASSERT_TRUE(eventually([&] { return service.received().size() == 1; })) << readFile(log);
    EXPECT_EQ(service.received()[0].summary, "Mobile data: limit reached");
    EXPECT_EQ(service.received()[0].body,
              "1.14MB used this cycle; the limit is 976.56KB. Mobile data is paused for the "
              "applications that are not always allowed until the next cycle.");

    // A Wi-Fi plan set while it runs, whose limit the saved Wi-Fi traffic has passed.
    const std::string database = UsageDatabase::defaultPath();
    ASSERT_TRUE(eventually([&] {
        return queryRows(database, "SELECT SUM(usage_wifi) FROM usage") ==
               std::vector<std::vector<std::string>>{{"3000"}};
    })) << readFile(log);
    DataPlan wifi;
    wifi.kind = "wifi";
    wifi.limit = 2048;
    ASSERT_TRUE(DataPlanStore::store(wifi, &error)) << error;
    ASSERT_TRUE(eventually([&] { return service.received().size() == 2; })) << readFile(log);
    EXPECT_EQ(service.received()[1].summary, "Wi-Fi data: limit reached");

    EXPECT_EQ(collector.stop(SIGTERM), 0) << readFile(log);
}

}  // namespace
