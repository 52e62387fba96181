#include "collector/UsageCollector.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

#include "collector/CollectorTestSupport.h"
#include "collector/UsageDatabase.h"
#include "host/foundation/Clock.h"
#include "host/foundation/RunLoop.h"
#include "host/foundation/SystemLog.h"
#include "support/QuietMainLoopTest.h"
#include "support/TestEnvironment.h"

void PrintTo(const UsageRow& row, std::ostream* out);  // SyntheticTrafficTest.cpp

namespace {

using Rows = std::vector<std::vector<std::string>>;
using UserInfo = CPDistributedMessagingCenter::UserInfo;

const char* const kChanged = "org.bytarn/Changed";
constexpr std::uint64_t kLimit = UsageCollector::kCounterLimit;

class Collector : public QuietMainLoopTest {
  protected:
    Rows stored(const std::string& path = UsageDatabase::defaultPath()) {
        return queryRows(path,
                         "SELECT app, date, usage_wifi, usage_cellular, usage_unknown FROM usage"
                         " ORDER BY app, date, rowid");
    }

    void execute(const std::string& sql) {
        UsageDatabase database;
        std::string error;
        ASSERT_TRUE(database.execute(sql, &error)) << error;
    }

    ScratchHome home;
    TransportsGuard transports{std::make_shared<InProcessMessagingTransport>(), nullptr};
    NotificationCounter changed{kChanged};
};

TEST_F(Collector, CountsGoToTheirKindAndToTheLocalDayOfTheRecord) {
    UsageCollector collector(UsageDatabase::defaultPath());
    Clock::setVirtual(localInstant("2026-12-06T23:59:59"));
    collector.record("org.example.A", NetworkKind::Wifi, 100);
    collector.record("org.example.A", NetworkKind::Wifi, 20);
    collector.record("org.example.A", NetworkKind::Cellular, 3);
    collector.record("org.example.B", NetworkKind::Unknown, 4);
    collector.record("org.example.B", NetworkKind::Wifi, 0);
    Clock::advance(2);  // past local midnight
    collector.record("org.example.A", NetworkKind::Wifi, 5);

    std::vector<UsageRow> expected{
        {"org.example.A", "2026-12-06", 120, 3, 0},
        {"org.example.A", "2026-12-07", 5, 0, 0},
        {"org.example.B", "2026-12-06", 0, 0, 4},
    };
    EXPECT_EQ(collector.unsavedUsage(), expected);

    ASSERT_TRUE(collector.save());
    EXPECT_TRUE(collector.unsavedUsage().empty());
    EXPECT_EQ(stored(), (Rows{{"org.example.A", "2026-12-06", "120", "3", "0"},
                              {"org.example.A", "2026-12-07", "5", "0", "0"},
                              {"org.example.B", "2026-12-06", "0", "0", "4"}}));
    EXPECT_EQ(changed.settledCount(), 1);
}

TEST_F(Collector, SaveAddsToTheFirstRowOfTheDaySaturatesAndNeverGoesBackwards) {
    // Rows from other writers: two for A today, a saturated one for B, and one for yesterday.
    execute(
        "INSERT INTO usage VALUES ('org.example.A', '2026-12-06', 10, 20, 30);"
        "INSERT INTO usage VALUES ('org.example.A', '2026-12-06', 1, 1, 1);"
        "INSERT INTO usage VALUES ('org.example.A', '2026-12-05', 7, 7, 7);"
        "INSERT INTO usage VALUES ('org.example.B', '2026-12-06', 9223372036854775800, -1, 2.5);");
    UsageCollector collector(UsageDatabase::defaultPath());
    collector.record("org.example.A", NetworkKind::Wifi, 5);
    collector.record("org.example.A", NetworkKind::Unknown, 1);
    collector.record("org.example.B", NetworkKind::Wifi, 100);
    collector.record("org.example.B", NetworkKind::Cellular, 100);
    collector.record("org.example.B", NetworkKind::Unknown, 1);
    collector.record("org.example.C", NetworkKind::Cellular, kLimit);
    collector.record("org.example.C", NetworkKind::Cellular, kLimit);
    ASSERT_TRUE(collector.save());

    std::string max = std::to_string(kLimit);
    EXPECT_EQ(stored(), (Rows{
                            {"org.example.A", "2026-12-05", "7", "7", "7"},
                            {"org.example.A", "2026-12-06", "15", "20", "31"},
                            {"org.example.A", "2026-12-06", "1", "1", "1"},
                            // Stops at the limit; a count beyond it (-1 is all bits set) stays.
                            {"org.example.B", "2026-12-06", max, "-1", "3"},
                            {"org.example.C", "2026-12-06", "0", max, "0"},
                        }));

    // More of the same: the first row again, never past the limit.
    collector.record("org.example.A", NetworkKind::Wifi, 5);
    collector.record("org.example.C", NetworkKind::Cellular, 1);
    ASSERT_TRUE(collector.save());
    auto rows = stored();
    EXPECT_EQ(rows[1], (std::vector<std::string>{"org.example.A", "2026-12-06", "20", "20", "31"}));
    EXPECT_EQ(rows[4], (std::vector<std::string>{"org.example.C", "2026-12-06", "0", max, "0"}));
    EXPECT_EQ(rows.size(), 5u);
}

TEST_F(Collector, FailedSaveKeepsTheCountsForTheNextSave) {
    // The database's directory cannot be made: its parent is a regular file.
    std::string blocker = home.file("blocked");
    home.write("blocked", "not a directory");
    std::string path = blocker + "/bytarn/usage.sqlite3";
    UsageCollector collector(path);
    collector.record("org.example.A", NetworkKind::Wifi, 100);
    EXPECT_FALSE(collector.save());
    collector.record("org.example.A", NetworkKind::Wifi, 1);
    EXPECT_FALSE(collector.save());
    EXPECT_EQ(collector.unsavedUsage(),
              (std::vector<UsageRow>{{"org.example.A", "2026-12-06", 101, 0, 0}}));
    auto log = SystemLog::takeCaptured();
    ASSERT_EQ(log.size(), 2u) << "one line per failed save";
    EXPECT_NE(log[0].find("Unable to save usage to " + path), std::string::npos) << log[0];
    EXPECT_EQ(changed.settledCount(), 0);

    std::filesystem::remove(blocker);
    ASSERT_TRUE(collector.save());
    EXPECT_EQ(stored(path), (Rows{{"org.example.A", "2026-12-06", "101", "0", "0"}}));
    EXPECT_EQ(changed.settledCount(), 1);
}

TEST_F(Collector, SaveBlockedByAnotherWriterRollsBackAndTriesAgainLater) {
    UsageCollector collector(UsageDatabase::defaultPath(), 50);
    collector.record("org.example.A", NetworkKind::Wifi, 10);
    ASSERT_TRUE(collector.save());

    {
        UsageDatabase other;
        std::string error;
        ASSERT_TRUE(other.execute("BEGIN EXCLUSIVE;", &error)) << error;
        collector.record("org.example.A", NetworkKind::Wifi, 5);
        collector.record("org.example.B", NetworkKind::Cellular, 6);
        EXPECT_FALSE(collector.save());
        auto log = SystemLog::takeCaptured();
        ASSERT_EQ(log.size(), 1u);
        EXPECT_NE(log[0].find("locked"), std::string::npos) << log[0];
        other.execute("ROLLBACK;", nullptr);
    }
    EXPECT_EQ(stored(), (Rows{{"org.example.A", "2026-12-06", "10", "0", "0"}}))
        << "the saved rows are untouched";
    collector.record("org.example.A", NetworkKind::Wifi, 1);
    ASSERT_TRUE(collector.save());
    EXPECT_EQ(stored(), (Rows{{"org.example.A", "2026-12-06", "16", "0", "0"},
                              {"org.example.B", "2026-12-06", "0", "6", "0"}}));
}

TEST_F(Collector, MessagesThroughTheCentreSaveDeleteAndAreKept) {
    UsageCollector collector(UsageDatabase::defaultPath());
    ASSERT_TRUE(collector.serve());
    UsageCollector rival(UsageDatabase::defaultPath());
    EXPECT_FALSE(rival.serve()) << "one server per centre";

    auto center = CPDistributedMessagingCenter::centerNamed("org.bytarn.collector");
    collector.record("org.example.A", NetworkKind::Wifi, 100);
    collector.record("org.example.B", NetworkKind::Cellular, 50);
    ASSERT_TRUE(center->sendMessageName("save", std::nullopt));
    EXPECT_FALSE(std::filesystem::exists(UsageDatabase::defaultPath()))
        << "handled on the main run loop, not during the send";
    RunLoop::main().runUntilIdle();
    EXPECT_EQ(stored(), (Rows{{"org.example.A", "2026-12-06", "100", "0", "0"},
                              {"org.example.B", "2026-12-06", "0", "50", "0"}}));
    EXPECT_EQ(changed.settledCount(), 1);

    // Messages it does not understand are logged and change nothing.
    SystemLog::takeCaptured();
    center->sendMessageName("flush", std::nullopt);
    center->sendMessageName("deleteApplication", std::nullopt);
    center->sendMessageName("deleteApplication", UserInfo{{"bundleIdentifier", ""}});
    center->sendMessageName("deleteApplication", UserInfo{{"identifier", "org.example.A"}});
    RunLoop::main().runUntilIdle();
    EXPECT_EQ(SystemLog::takeCaptured().size(), 4u);
    EXPECT_EQ(stored().size(), 2u);
    EXPECT_EQ(changed.settledCount(), 1);

    // Deleting takes every row of the application, whoever wrote it, and its unsaved counts.
    execute(
        "INSERT INTO usage VALUES ('org.example.A', '2026-12-06', 4, 5, 6);"
        "INSERT INTO usage VALUES ('org.example.A', '2026-11-01', 7, 8, 9);"
        "INSERT INTO usage VALUES ('org.example.AB', '2026-12-06', 1, 1, 1);");
    collector.record("org.example.A", NetworkKind::Wifi, 100);
    center->sendMessageName("deleteApplication", UserInfo{{"bundleIdentifier", "org.example.A"}});
    RunLoop::main().runUntilIdle();
    EXPECT_TRUE(collector.unsavedUsage().empty());
    EXPECT_EQ(stored(), (Rows{{"org.example.AB", "2026-12-06", "1", "1", "1"},
                              {"org.example.B", "2026-12-06", "0", "50", "0"}}));
    EXPECT_EQ(changed.settledCount(), 2);

    std::vector<ReceivedMessage> expected{
        {"save", std::nullopt},
        {"flush", std::nullopt},
        {"deleteApplication", std::nullopt},
        {"deleteApplication", UserInfo{{"bundleIdentifier", ""}}},
        {"deleteApplication", UserInfo{{"identifier", "org.example.A"}}},
        {"deleteApplication", UserInfo{{"bundleIdentifier", "org.example.A"}}},
    };
    EXPECT_EQ(collector.takeMessages(), expected);
    EXPECT_TRUE(collector.takeMessages().empty()) << "taking clears them";

    // A stopped server receives nothing, even what was queued before it stopped.
    center->sendMessageName("save", std::nullopt);
    collector.stopServing();
    EXPECT_FALSE(center->sendMessageName("save", std::nullopt));
    RunLoop::main().runUntilIdle();
    EXPECT_TRUE(collector.takeMessages().empty());
}

TEST_F(Collector, RecordsFromSeveralThreadsAllCount) {
    UsageCollector collector(UsageDatabase::defaultPath());
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&collector, t] {
            for (int i = 0; i < 2000; ++i)
                collector.record(t % 2 ? "org.example.A" : "org.example.B",
                                 i % 2 ? NetworkKind::Wifi : NetworkKind::Cellular, 3);
        });
    // Saves run while the records come in; whatever they miss stays for the last one.
    for (int i = 0; i < 20; ++i) collector.save();
    for (auto& thread : threads) thread.join();
    ASSERT_TRUE(collector.save());
    EXPECT_EQ(stored(), (Rows{{"org.example.A", "2026-12-06", "6000", "6000", "0"},
                              {"org.example.B", "2026-12-06", "6000", "6000", "0"}}));
}

}  // namespace
