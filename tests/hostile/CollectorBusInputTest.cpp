// Messages of the wrong shape to the collector's centre on a private bus: each is refused with
// an error the sender can read, or handled and logged, and the collector keeps serving with its
// counters whole. First against a collector in this process (so that its log and counters can be
// read directly), then against the `bytarn-collector run` daemon.
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <thread>

#include "collector/CollectorTestSupport.h"
#include "collector/UsageCollector.h"
#include "collector/UsageDatabase.h"
#include "host/foundation/RunLoop.h"
#include "host/messaging/DBusTransport.h"
#include "hostile/Catalogue.h"
#include "support/ChildProcesses.h"
#include "support/QuietMainLoopTest.h"
#include "support/TestEnvironment.h"

namespace fs = std::filesystem;

namespace {

using Rows = std::vector<std::vector<std::string>>;
const char* const kService = "org.bytarn.collector";
const char* const kPath = "/org/bytarn/collector";
const char* const kMethod = "org.bytarn.collector.Message";

// Single-quotes a word for the shell.
std::string shellWord(const std::string& word) {
    std::string out = "'";
    for (char c : word) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return out + "'";
}

// Calls a method on the bus with dbus-send, waiting for the answer; returns what dbus-send printed.
std::string callWithDBusSend(const PrivateBus& bus, const std::string& path,
                             const std::string& method, const std::string& arguments) {
    std::string command =
        "dbus-send --bus=" + shellWord(bus.address()) +
        " --print-reply --reply-timeout=5000 --type=method_call --dest=" + kService + " " + path +
        " " + method + " " + arguments + " 2>&1";
    std::string output;
    if (FILE* pipe = popen(command.c_str(), "r")) {
        char buffer[4096];
        std::size_t n;
        while ((n = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, n);
        pclose(pipe);
    }
    return output;
}

struct Message {
    const char* what;
    std::string path;
    std::string method;
    std::string arguments;         // dbus-send's notation, already quoted for the shell
    const char* answer;            // part of the answer the sender gets
    std::vector<std::string> log;  // what the collector logs (in this process)
};

// The catalogue. "method return" is an accepted call; anything else is refused by the bus
// library before it reaches the collector, with an error the sender can read.
std::vector<Message> hostileMessages() {
    const std::string invalid = "org.freedesktop.DBus.Error.InvalidArgs";
    const std::string drop =
        shellWord("dict:string:string:bundleIdentifier,'); DROP TABLE usage;--");
    return {
        {"no arguments", kPath, kMethod, "", "InvalidArgs", {}},
        {"a number for the message", kPath, kMethod, "int32:5", "InvalidArgs", {}},
        {"only the message name", kPath, kMethod, "string:save", "InvalidArgs", {}},
        {"no user-info flag",
         kPath,
         kMethod,
         "string:save dict:string:string:a,b",
         "InvalidArgs",
         {}},
        {"numbers in the user info",
         kPath,
         kMethod,
         "string:deleteApplication dict:string:int32:bundleIdentifier,1 boolean:true",
         "InvalidArgs",
         {}},
        {"an array for the user info",
         kPath,
         kMethod,
         "string:deleteApplication array:string:bundleIdentifier boolean:true",
         "InvalidArgs",
         {}},
        {"a string for the flag",
         kPath,
         kMethod,
         "string:save dict:string:string:a,b string:true",
         "InvalidArgs",
         {}},
        {"an argument too many",
         kPath,
         kMethod,
         "string:save dict:string:string:a,b boolean:true string:extra",
         "InvalidArgs",
         {}},
        {"another method",
         kPath,
         "org.bytarn.collector.Delete",
         "string:deleteApplication",
         "UnknownMethod",
         {}},
        {"another interface",
         kPath,
         "org.example.Other.Message",
         "string:save dict:string:string:a,b boolean:false",
         "Unknown",
         {}},
        {"another object",
         "/org/bytarn/other",
         kMethod,
         "string:save dict:string:string:a,b boolean:false",
         "Unknown",
         {}},
        // Well-formed calls with contents the collector does not accept.
        {"deleteApplication without user info",
         kPath,
         kMethod,
         "string:deleteApplication dict:string:string:bundleIdentifier,org.example.A "
         "boolean:false",
         "method return",
         {"deleteApplication without a bundleIdentifier; nothing deleted"}},
        {"deleteApplication without a bundleIdentifier",
         kPath,
         kMethod,
         "string:deleteApplication dict:string:string:bundleidentifier,org.example.A "
         "boolean:true",
         "method return",
         {"deleteApplication without a bundleIdentifier; nothing deleted"}},
        {"an unknown message",
         kPath,
         kMethod,
         "string:format dict:string:string:a,b boolean:false",
         "method return",
         {"ignoring the unknown message \"format\""}},
        {"a message name with conversions",
         kPath,
         kMethod,
         "string:%s%n%x%s%s dict:string:string:a,b boolean:false",
         "method return",
         {"ignoring the unknown message \"%s%n%x%s%s\""}},
        {"a message name of 100000 bytes",
         kPath,
         kMethod,
         "string:" + std::string(100000, 'm') + " dict:string:string:a,b boolean:false",
         "method return",
         {"ignoring the unknown message \"mmmm"}},
        {"save in capitals",
         kPath,
         kMethod,
         "string:SAVE dict:string:string:a,b boolean:false",
         "method return",
         {"ignoring the unknown message \"SAVE\""}},
        // A delete of an application nobody recorded deletes nothing else, whatever its name.
        {"SQL as the bundleIdentifier",
         kPath,
         kMethod,
         "string:deleteApplication " + drop + " boolean:true",
         "method return",
         {}},
        {"a wildcard as the bundleIdentifier",
         kPath,
         kMethod,
         "string:deleteApplication dict:string:string:bundleIdentifier,% boolean:true",
         "method return",
         {}},
    };
}

class HostileMessages : public QuietMainLoopTest {
  protected:
    // The collector's counts: what the database holds and what is not saved yet.
    struct State {
        Rows stored;
        std::vector<UsageRow> unsaved;
        bool operator==(const State&) const = default;
    };
    Rows stored() {
        std::string path = UsageDatabase::defaultPath();
        if (!fs::exists(path)) return {};
        return queryRows(path,
                         "SELECT app, date, usage_wifi, usage_cellular, usage_unknown FROM usage "
                         "ORDER BY app");
    }
    ScratchHome home;
};

TEST_F(HostileMessages, RefusedOrLoggedAndTheCountersStay) {
    if (!programInstalled("dbus-daemon") || !programInstalled("dbus-send"))
        GTEST_SKIP() << "dbus-daemon and dbus-send are needed";
    PrivateBus bus(home.path());
    ASSERT_TRUE(bus.running());
    auto messaging = std::make_shared<DBusMessagingTransport>(bus.address());
    auto notifications = std::make_shared<DBusNotificationTransport>(bus.address());
    TransportsGuard transports(messaging, notifications);
    UsageCollector collector(UsageDatabase::defaultPath());
    ASSERT_TRUE(collector.serve());
    ASSERT_TRUE(eventually([&] { return messaging->hasServer(kService); }));

    collector.record("org.example.A", NetworkKind::Wifi, 1000);
    collector.record("org.example.B", NetworkKind::Cellular, 24);
    ASSERT_TRUE(collector.save());
    collector.record("org.example.A", NetworkKind::Unknown, 7);
    const State before{stored(), collector.unsavedUsage()};
    ASSERT_EQ(before.stored.size(), 2u);

    const auto messages = hostileMessages();
    for (const auto& m : messages) {
        SCOPED_TRACE(m.what);
        SystemLog::takeCaptured();
        collector.takeMessages();
        std::string answer = callWithDBusSend(bus, m.path, m.method, m.arguments);
        EXPECT_NE(answer.find(m.answer), std::string::npos) << answer;
        bool accepted = answer.find("method return") != std::string::npos;
        if (accepted) {
            // It reaches the collector on the main run loop.
            EXPECT_TRUE(eventually([&] {
                RunLoop::main().runUntilIdle();
                return !collector.takeMessages().empty();
            }));
        } else {
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
            RunLoop::main().runUntilIdle();
            EXPECT_TRUE(collector.takeMessages().empty()) << "a refused call reaches nobody";
        }
        catalogue::expectLog(m.log);
        EXPECT_EQ((State{stored(), collector.unsavedUsage()}), before);
        EXPECT_TRUE(messaging->hasServer(kService));
    }

    // The collector still answers a good "save" and nothing was lost on the way.
    std::string answer =
        callWithDBusSend(bus, kPath, kMethod, "string:save dict:string:string: boolean:false");
    EXPECT_NE(answer.find("method return"), std::string::npos) << answer;
    EXPECT_TRUE(eventually([&] {
        RunLoop::main().runUntilIdle();
        return collector.unsavedUsage().empty();
    }));
    EXPECT_EQ(stored(), (Rows{{"org.example.A", "2026-12-06", "1000", "0", "7"},
                              {"org.example.B", "2026-12-06", "0", "24", "0"}}));
    collector.stopServing();
    RecordProperty("messages", static_cast<int>(messages.size()));
}

// The daemon takes the same catalogue and keeps running with its counts.
TEST_F(HostileMessages, TheDaemonKeepsRunning) {
    if (!programInstalled("dbus-daemon") || !programInstalled("dbus-send"))
        GTEST_SKIP() << "dbus-daemon and dbus-send are needed";
    PrivateBus bus(home.path());
    ASSERT_TRUE(bus.running());
    auto messaging = std::make_shared<DBusMessagingTransport>(bus.address());
    std::string log = home.path() + "/collector.log";

    CollectorProcess collector({"run", "--source", "stdin", "--save-interval", "3600"},
                               bus.address(), log);
    ASSERT_TRUE(collector.started());
    auto alive = [&] { return collector.alive(); };
    ASSERT_TRUE(eventually([&] { return messaging->hasServer(kService); })) << readFile(log);

    const std::string records =
        "record org.example.A wifi 1000\nrecord org.example.B cellular 24\n";
    ASSERT_TRUE(collector.send(records));
    const auto messages = hostileMessages();
    for (const auto& m : messages) {
        SCOPED_TRACE(m.what);
        std::string answer = callWithDBusSend(bus, m.path, m.method, m.arguments);
        EXPECT_NE(answer.find(m.answer), std::string::npos) << answer;
        EXPECT_TRUE(alive()) << readFile(log);
    }
    // A good save still writes every count that came in.
    Rows expected{{"org.example.A", "2026-12-06", "1000", "0", "0"},
                  {"org.example.B", "2026-12-06", "0", "24", "0"}};
    EXPECT_TRUE(eventually([&] {
        callWithDBusSend(bus, kPath, kMethod, "string:save dict:string:string: boolean:false");
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        std::string path = UsageDatabase::defaultPath();
        if (!fs::exists(path)) return false;
        Rows rows = queryRows(path,
                              "SELECT app, date, usage_wifi, usage_cellular, usage_unknown "
                              "FROM usage ORDER BY app");
        // The daemon counts on the real clock's day, whatever it is.
        for (auto& row : rows) row[1] = "2026-12-06";
        return rows == expected;
    })) << readFile(log);
    EXPECT_TRUE(alive());
    EXPECT_TRUE(messaging->hasServer(kService));

    collector.closeInput();
    EXPECT_EQ(collector.stop(SIGTERM), 0) << readFile(log);
    std::string output = readFile(log);
    EXPECT_NE(output.find("ignoring the unknown message \"format\""), std::string::npos) << output;
}

}  // namespace
