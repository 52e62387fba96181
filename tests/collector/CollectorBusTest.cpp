// The collector daemon end to end: a private bus, the real `bytarn-collector run` process, and
// this test process as the page would be, sending messages and observing the notification.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "collector/CollectorTestSupport.h"
#include "collector/UsageDatabase.h"
#include "host/foundation/SystemLog.h"
#include "host/messaging/DBusTransport.h"
#include "support/ChildProcesses.h"
#include "support/TestEnvironment.h"

namespace {

namespace fs = std::filesystem;
using Rows = std::vector<std::vector<std::string>>;

const char* const kService = "org.bytarn.collector";

TEST(CollectorOnTheBus, SavesDeletesAndNotifiesAcrossProcesses) {
    if (!programInstalled("dbus-daemon")) GTEST_SKIP() << "dbus-daemon is not installed";
    ScratchHome home;
    PrivateBus bus(home.path());
    ASSERT_TRUE(bus.running());
    const char* previousAddress = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    std::string savedAddress = previousAddress ? previousAddress : "";
    setenv("DBUS_SESSION_BUS_ADDRESS", bus.address().c_str(), 1);
    SystemLog::setEchoToStandardError(false);

    std::string log = home.path() + "/collector.log";
    {
        // This process plays the page: it sends over the bus and observes the notification.
        auto messaging = std::make_shared<DBusMessagingTransport>();
        auto notifications = std::make_shared<DBusNotificationTransport>();
        TransportsGuard transports(messaging, notifications);
        NotificationCounter changed("org.bytarn/Changed");
        NotificationCounter own("org.bytarn/Test");
        auto center = CPDistributedMessagingCenter::centerNamed(kService);
        EXPECT_FALSE(center->sendMessageName("save", std::nullopt)) << "no collector yet";

        CollectorProcess collector({"run", "--source", "stdin", "--save-interval", "3600"},
                                   bus.address(), log);
        ASSERT_TRUE(eventually([&] { return messaging->hasServer(kService); })) << readFile(log);
        std::string path = UsageDatabase::defaultPath();
        auto stored = [&] {
            if (!fs::exists(path)) return Rows{};
            return queryRows(path,
                             "SELECT app, usage_wifi, usage_cellular, usage_unknown FROM usage "
                             "ORDER BY app, rowid");
        };

        // Counts come in on the collector's standard input and reach the database on "save";
        // the lines may still be on their way when a save arrives, so it is asked again.
        ASSERT_TRUE(
            collector.send("record org.example.A wifi 1000\nrecord org.example.A cellular 24\n"
                           "record org.example.B unknown 7\nnonsense\n"));
        Rows expected{{"org.example.A", "1000", "24", "0"}, {"org.example.B", "0", "0", "7"}};
        EXPECT_TRUE(eventually([&] {
            center->sendMessageName("save", std::nullopt);
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            return stored() == expected;
        })) << readFile(log);
        EXPECT_TRUE(eventually([&] { return changed.count() >= 1; }))
            << "the change notification crosses to this process";

        // A call or a notification of the wrong shape is refused and everyone goes on.
        if (programInstalled("dbus-send")) {
            SystemLog::takeCaptured();
            std::string call = std::string("dbus-send --session --type=method_call --dest=") +
                               kService +
                               " /org/bytarn/collector org.bytarn.collector.Message int32:5";
            std::string signal =
                "dbus-send --session --type=signal /org/bytarn/notifications "
                "org.bytarn.Notifications.Notify";
            EXPECT_EQ(std::system(call.c_str()), 0);
            EXPECT_EQ(std::system((signal + " int32:5").c_str()), 0);
            EXPECT_EQ(std::system(signal.c_str()), 0);
            std::vector<std::string> ignored;
            EXPECT_TRUE(eventually([&] {
                for (auto& line : SystemLog::takeCaptured())
                    if (line.find("ignoring a notification") != std::string::npos)
                        ignored.push_back(line);
                return ignored.size() == 2;
            }));
        }

        // This process's own post reaches its own observer once, though the bus echoes it.
        CFNotificationCenterPostNotification(CFNotificationCenterGetDarwinNotifyCenter(),
                                             "org.bytarn/Test", nullptr, nullptr, true);
        EXPECT_EQ(own.settledCount(), 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(300));

        int before = changed.count();
        center->sendMessageName("deleteApplication", CPDistributedMessagingCenter::UserInfo{
                                                         {"bundleIdentifier", "org.example.A"}});
        EXPECT_TRUE(eventually([&] {
            return stored() == Rows{{"org.example.B", "0", "0", "7"}};
        })) << readFile(log);
        EXPECT_TRUE(eventually([&] { return changed.count() > before; }));
        EXPECT_EQ(own.settledCount(), 1);
        EXPECT_TRUE(messaging->hasServer(kService)) << readFile(log);

        EXPECT_EQ(collector.stop(SIGTERM), 0) << readFile(log);
        EXPECT_FALSE(messaging->hasServer(kService)) << "the name goes with the process";
    }
    std::string output = readFile(log);
    EXPECT_NE(output.find("standard input line 4: unknown command \"nonsense\""), std::string::npos)
        << output;

    SystemLog::setEchoToStandardError(true);
    if (previousAddress)
        setenv("DBUS_SESSION_BUS_ADDRESS", savedAddress.c_str(), 1);
    else
        unsetenv("DBUS_SESSION_BUS_ADDRESS");
}

}  // namespace
