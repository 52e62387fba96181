// Keeping applications off mobile data, in one world: the collector's parts as the daemon wires
// them (usage counters, the kernel source against a stand-in traffic helper, the plan monitor
// with its limit pause, the user's restrictions), a stand-in notification service on a private
// bus, and a pinned clock. It checks the restriction lines sent on connecting and on a change,
// the pause at the cellular limit (the always-allowed application stays exempt), the
// notification's Resume, no second pause in a resumed cycle, the pause and the resume kept
// across collector restarts, the pause ended by the next cycle, and `bytarn plan resume`'s end
// of it through the database.
#include <gtest/gtest.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "collector/CollectorTestSupport.h"
#include "collector/MobileDataRestrictions.h"
#include "collector/UsageCollector.h"
#include "collector/UsageDatabase.h"
#include "collector/alerts/PlanMonitor.h"
#include "collector/sources/HelperRestrictions.h"
#include "collector/sources/KernelTrafficSource.h"
#include "host/foundation/Clock.h"
#include "host/foundation/RunLoop.h"
#include "host/netpolicy/DataPlanStore.h"
#include "host/netpolicy/PlanPause.h"
#include "host/netpolicy/RestrictionStore.h"
#include "support/ChildProcesses.h"
#include "support/QuietMainLoopTest.h"
#include "support/StandInNotificationService.h"
#include "support/StandInTrafficHelper.h"
#include "support/TestEnvironment.h"

namespace {

using Lines = std::vector<std::string>;
const char* const kEpoch = "9f1c0b7e5a3d2e11";

TEST(HelperRestrictions, LinesTakeTheHelperFromWhatItHasToWhatIsWanted) {
    HelperRestrictions had{{"org.example.A", "org.example.B"}, {"org.example.M"}, true};
    HelperRestrictions wanted{{"org.example.B", "org.example.C"}, {"org.example.N"}, false};
    EXPECT_EQ(restrictionLines(had, wanted),
              "resume\nallow org.example.A\nunexempt org.example.M\nexempt org.example.N\n"
              "restrict org.example.C\n");
    EXPECT_EQ(restrictionLines(wanted, had),
              "allow org.example.C\nunexempt org.example.N\nexempt org.example.M\n"
              "restrict org.example.A\npause\n");
    EXPECT_EQ(restrictionLines(had, had), "");
    EXPECT_EQ(restrictionLinesOnConnecting({}), "clear\n");
    EXPECT_EQ(restrictionLinesOnConnecting(had),
              "clear\nexempt org.example.M\nrestrict org.example.A\nrestrict org.example.B\n"
              "pause\n");
}

class MobileDataWorld : public QuietMainLoopTest {
  protected:
    // The collector's parts, made and checked as bytarn-collector run does.
    struct Collector {
        Collector(MobileDataWorld& world)
            : usage(UsageDatabase::defaultPath(), 50),
              source(usage, world.socket, 0.05),
              plans(PlanAlerts::Options{UsageDatabase::defaultPath(),
                                        world.bus.address(),
                                        [](std::uint64_t n) { return std::to_string(n) + "B"; },
                                        {},
                                        {}}),
              restrictions([this](const HelperRestrictions& set) { source.setRestrictions(set); }) {
            EXPECT_TRUE(source.start());
            check(false);
        }
        // One turn of the daemon's loop after a save.
        void check(bool saved) {
            plans.check(saved);
            plans.followPause();
            restrictions.check(plans.mobileDataPaused());
        }
        void save() {
            ASSERT_TRUE(usage.save());
            check(true);
        }

        UsageCollector usage;
        KernelTrafficSource source;
        PlanMonitor plans;
        MobileDataRestrictions restrictions;
    };

    void SetUp() override {
        QuietMainLoopTest::SetUp();
        Clock::setVirtual(localInstant("2026-12-06T12:00:00"));
    }

    std::string hello() {
        return R"({"hello":"bytarn-trafficd","version":3,"uid":)" + std::to_string(geteuid()) +
               R"(,"epoch":")" + kEpoch + "\"}\n";
    }
    // Cellular traffic of the restricted application, counted now.
    void traffic(Collector& collector, std::uint64_t bytes) {
        const auto counted = collector.source.countedDeltas();
        helper.send(R"({"epoch":")" + std::string(kEpoch) + R"(","seq":)" + std::to_string(++seq) +
                    R"(,"time":)" + std::to_string(static_cast<long long>(Clock::now())) +
                    R"(,"usage":[{"app":"org.example.Video","kind":"cellular","bytes":)" +
                    std::to_string(bytes) + "}]}\n");
        ASSERT_TRUE(eventually([&] { return collector.source.countedDeltas() == counted + 1; }));
        collector.save();
    }
    std::unique_ptr<Collector> start() {
        auto collector = std::make_unique<Collector>(*this);
        EXPECT_TRUE(helper.accept());
        helper.send(hello());
        return collector;
    }
    std::size_t logged(const std::string& text) {
        std::size_t count = 0;
        for (const auto& line : SystemLog::takeCaptured())
            count += line.find(text) != std::string::npos;
        return count;
    }

    ScratchHome home;
    PrivateBus bus{home.path()};
    TransportsGuard transports{std::make_shared<InProcessMessagingTransport>(), nullptr};
    std::string socket = home.path() + "/traffic.sock";
    StandInTrafficHelper helper{socket};
    int seq = 0;
};

TEST_F(MobileDataWorld, RestrictionsAndTheLimitsPauseReachTheHelperAndSurviveRestarts) {
    if (!programInstalled("dbus-daemon")) GTEST_SKIP() << "dbus-daemon is not installed";
    ASSERT_TRUE(bus.running());
    StandInNotificationService notifications(bus.address());
    notifications.start();
    std::string error;
    ASSERT_TRUE(RestrictionStore::setMobileData("org.example.Video", false, &error)) << error;
    ASSERT_TRUE(RestrictionStore::setMobileData("org.example.Chat", false, &error)) << error;
    ASSERT_TRUE(RestrictionStore::setAlwaysAllowed("org.example.Maps", true, &error)) << error;
    DataPlan cellular;
    cellular.cycleDay = 1;
    cellular.limit = 1000;
    ASSERT_TRUE(DataPlanStore::store(cellular, &error)) << error;

    // On connecting: clear, then the whole set; then each change alone.
    auto collector = start();
    EXPECT_EQ(helper.takeRestrictionLines(4),
              (Lines{"clear", "exempt org.example.Maps", "restrict org.example.Chat",
                     "restrict org.example.Video"}));
    ASSERT_TRUE(RestrictionStore::setMobileData("org.example.Chat", true, &error)) << error;
    collector->check(false);
    EXPECT_EQ(helper.takeRestrictionLines(1), (Lines{"allow org.example.Chat"}));

    // December's limit is reached: paused, with Maps exempt; the notification resumes it, and
    // the cycle is not paused again.
    traffic(*collector, 600);
    EXPECT_EQ(helper.takeRestrictionLines(0), Lines{});
    traffic(*collector, 600);
    EXPECT_EQ(helper.takeRestrictionLines(1), (Lines{"pause"}));
    EXPECT_EQ(logged("LimitPause: mobile data paused at the cellular plan's limit"), 1u);
    // Rapid use came first, at 600 bytes on the sixth day.
    ASSERT_TRUE(eventually([&] { return notifications.received().size() == 2; }));
    const auto limit = notifications.received()[1];
    EXPECT_EQ(limit.summary, "Mobile data: limit reached");
    EXPECT_EQ(limit.actions, (std::vector<std::string>{"default", "Open Data plan", "open",
                                                       "Open Data plan", "resume", "Resume"}));
    notifications.invokeAction(limit.id, "resume");
    ASSERT_TRUE(eventually([&] {
        RunLoop::main().runUntilIdle();
        return !collector->plans.mobileDataPaused();
    }));
    collector->check(false);
    EXPECT_EQ(helper.takeRestrictionLines(1), (Lines{"resume"}));
    EXPECT_EQ(logged("LimitPause: mobile data resumed: the user resumed"), 1u);
    traffic(*collector, 600);
    EXPECT_EQ(helper.takeRestrictionLines(0), Lines{}) << "resumed for the rest of the cycle";

    // A restart within the cycle keeps the resume.
    collector.reset();
    collector = start();
    EXPECT_EQ(helper.takeRestrictionLines(3),
              (Lines{"clear", "exempt org.example.Maps", "restrict org.example.Video"}));

    // January's limit pauses again, and a restart keeps that pause.
    Clock::setVirtual(localInstant("2027-01-01T09:00:00"));
    traffic(*collector, 1000);
    EXPECT_EQ(helper.takeRestrictionLines(1), (Lines{"pause"}));
    collector.reset();
    collector = start();
    EXPECT_EQ(helper.takeRestrictionLines(4),
              (Lines{"clear", "exempt org.example.Maps", "restrict org.example.Video", "pause"}));

    // February's cycle ends it by itself, with no traffic to wake a check.
    Clock::setVirtual(localInstant("2027-02-01T00:00:01"));
    collector->check(false);
    EXPECT_EQ(helper.takeRestrictionLines(1), (Lines{"resume"}));
    EXPECT_EQ(logged("mobile data resumed: the cellular plan's cycle from 2027-01-01 ended"), 1u);

    // February's limit, ended by `bytarn plan resume cellular` (which writes the database).
    traffic(*collector, 1500);
    EXPECT_EQ(helper.takeRestrictionLines(1), (Lines{"pause"}));
    EXPECT_EQ(PlanPause::resume(UsageDatabase::defaultPath(), "cellular", Clock::now(), &error),
              PlanPause::ResumeResult::Resumed);
    collector->check(false);
    EXPECT_EQ(helper.takeRestrictionLines(1), (Lines{"resume"}));
    EXPECT_EQ(PlanPause::resume(UsageDatabase::defaultPath(), "cellular", Clock::now(), &error),
              PlanPause::ResumeResult::NotPaused);
    traffic(*collector, 10);
    EXPECT_EQ(helper.takeRestrictionLines(0), Lines{});

    // One row per paused cycle, each resumed or ended.
    EXPECT_EQ(queryRows(UsageDatabase::defaultPath(),
                        "SELECT cycle, resumed IS NOT NULL FROM plan_pauses ORDER BY cycle"),
              (std::vector<Lines>{{"2026-12-01", "1"}, {"2027-01-01", "0"}, {"2027-02-01", "1"}}));
}

}  // namespace
