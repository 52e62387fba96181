// The kernel traffic source against a stand-in traffic helper (tests/support): a Unix socket
// server in the test's scratch home that speaks the helper's protocol (docs/TRAFFIC.md) line by
// line.
#include <gtest/gtest.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "collector/CollectorTestSupport.h"
#include "collector/UsageCollector.h"
#include "collector/UsageDatabase.h"
#include "collector/sources/KernelTrafficSource.h"
#include "collector/sources/TrafficHelperLine.h"
#include "host/foundation/Clock.h"
#include "support/ChildProcesses.h"
#include "support/QuietMainLoopTest.h"
#include "support/StandInTrafficHelper.h"
#include "support/TestEnvironment.h"

namespace {

using Rows = std::vector<std::vector<std::string>>;
const char* const kEpoch = "9f1c0b7e5a3d2e11";
const char* const kOtherEpoch = "00000000000000ff";

// The hello, and the interfaces that follow it (the collector has no use for them).
std::string hello(const std::string& epoch = kEpoch) {
    return R"({"hello":"bytarn-trafficd","version":3,"uid":)" + std::to_string(geteuid()) +
           R"(,"epoch":")" + epoch + "\"}\n" +
           R"({"interfaces":[{"name":"wlan0","index":3,"kind":"cellular","reason":"metered"}]})" +
           "\n";
}

std::string delta(int seq, const std::string& time, std::uint64_t wifi,
                  const std::string& epoch = kEpoch) {
    return R"({"epoch":")" + epoch + R"(","seq":)" + std::to_string(seq) + R"(,"time":)" +
           std::to_string(static_cast<long long>(localInstant(time))) +
           R"(,"usage":[{"app":"org.example.A","kind":"wifi","bytes":)" + std::to_string(wifi) +
           R"(},{"app":"curl","kind":"cellular","bytes":1}]})" + "\n";
}

std::string ack(int seq, const std::string& epoch = kEpoch) {
    return "ack " + epoch + " " + std::to_string(seq);
}

TEST(TrafficHelperLine, MessagesAreReadExactlyAndAnythingElseSaysWhy) {
    auto parsed = parseTrafficHelperLine(
        R"({"epoch":"9f1c0b7e5a3d2e11","seq":42,"time":1765180800,"future":[1],"usage":[)"
        R"({"app":"org.gnome.Epiphany","kind":"wifi","bytes":51234},)"
        R"({"app":"curl","kind":"cellular","bytes":9223372036854775807}]})",
        nullptr);
    ASSERT_TRUE(parsed && std::holds_alternative<TrafficDelta>(*parsed));
    auto& read = std::get<TrafficDelta>(*parsed);
    EXPECT_EQ(read.epoch, kEpoch);
    EXPECT_EQ(read.seq, 42);
    EXPECT_EQ(read.time, 1765180800);
    ASSERT_EQ(read.usage.size(), 2u);
    EXPECT_EQ(read.usage[1].app, "curl");
    EXPECT_EQ(read.usage[1].kind, NetworkKind::Cellular);
    EXPECT_EQ(read.usage[1].bytes, 9223372036854775807ULL);
    auto greeting = parseTrafficHelperLine(hello().substr(0, hello().find('\n')), nullptr);
    ASSERT_TRUE(greeting && std::holds_alternative<TrafficHelperHello>(*greeting));
    EXPECT_EQ(std::get<TrafficHelperHello>(*greeting).uid, geteuid());
    auto listed = parseTrafficHelperLine(
        R"({"interfaces":[{"name":"eth0","index":2,"kind":"unknown","reason":"other\n"}]})",
        nullptr);
    ASSERT_TRUE(listed && std::holds_alternative<TrafficHelperInterfaces>(*listed));
    const auto& interfaces = std::get<TrafficHelperInterfaces>(*listed).interfaces;
    ASSERT_EQ(interfaces.size(), 1u);
    EXPECT_EQ(interfaces[0].name, "eth0");
    EXPECT_EQ(interfaces[0].index, 2);
    EXPECT_EQ(interfaces[0].reason, "other\\x0a");
    auto refusal = parseTrafficHelperLine(R"({"error":"busy\u001b[2J"})", nullptr);
    ASSERT_TRUE(refusal && std::holds_alternative<TrafficHelperRefusal>(*refusal));
    EXPECT_EQ(std::get<TrafficHelperRefusal>(*refusal).reason, "busy\\x1b[2J");

    const std::string head = R"({"epoch":"9f1c0b7e5a3d2e11","seq":1,"time":5,"usage":)";
    struct {
        std::string line;
        const char* error;
    } bad[] = {
        {"{\"epoch\":", "not JSON"},
        {"[1,2]", "not a JSON object"},
        {R"({"epoch":3e522205})", "number out of range"},
        {R"({"hello":"other","version":1,"uid":0,"epoch":"9f1c0b7e5a3d2e11"})", "other than"},
        {R"({"hello":"bytarn-trafficd","version":1,"uid":-1,"epoch":"9f1c0b7e5a3d2e11"})",
         "\"uid\" is out of range"},
        {R"({"epoch":"9F1C0B7E5A3D2E11","seq":1,"time":5,"usage":[]})", "hex digits"},
        {R"({"epoch":"9f1c0b7e5a3d2e11","seq":0,"time":5,"usage":[]})", "\"seq\" 0 is out"},
        {R"({"epoch":"9f1c0b7e5a3d2e11","seq":1.5,"time":5,"usage":[]})", "not an integer"},
        {R"({"epoch":"9f1c0b7e5a3d2e11","seq":1,"time":253402300800,"usage":[]})",
         "\"time\" 253402300800 is out"},
        {head + "[]}", "not a non-empty list"},
        {head + R"([{"app":"a","kind":"wifi","bytes":1,"x":[[1]]}]})", "nested deeper"},
        {std::string(100000, '[') + std::string(100000, ']'), "nested deeper"},
        {R"({"seq":1})", "neither"},
        {R"({"interfaces":{}})", "not a list"},
        {R"({"interfaces":[{"name":"wlan0/x","index":3,"kind":"wifi","reason":""}]})",
         "not an interface name"},
        {R"({"interfaces":[{"name":"0123456789abcdef","index":3,"kind":"wifi","reason":""}]})",
         "not an interface name"},
        {R"({"interfaces":[{"name":"wlan0","index":0,"kind":"wifi","reason":""}]})",
         "\"index\" 0 is out"},
        {R"({"interfaces":[{"name":"wlan0","index":3,"kind":"wired","reason":""}]})", "\"kind\""},
        {R"({"interfaces":[{"name":"wlan0","index":3,"kind":"wifi"}]})", "\"reason\""},
    };
    for (const auto& c : bad) {
        SCOPED_TRACE(c.line.substr(0, 120));
        std::string error;
        EXPECT_FALSE(parseTrafficHelperLine(c.line, &error));
        EXPECT_NE(error.find(c.error), std::string::npos) << error;
    }

    // A bad usage entry is left out alone: each one below sits between two good entries.
    struct {
        std::string entry, app, reason;
    } skipped[] = {
        {R"({"app":"","kind":"wifi","bytes":1})", "", "\"app\" is missing, empty"},
        {R"({"app":"a\u001b[31mevil","kind":"wifi","bytes":1})", "a\x1b[31mevil",
         "control character"},
        {R"({"app":")" + std::string(256, 'x') + R"(","kind":"wifi","bytes":1})",
         std::string(256, 'x'), "longer than 255 bytes"},
        {R"({"app":"../../../etc/passwd","kind":"wifi","bytes":1})", "../../../etc/passwd",
         "contains '/'"},
        {R"({"app":"..","kind":"wifi","bytes":1})", "..", "starts with '.'"},
        {R"({"app":"a","kind":"ignore","bytes":1})", "a", "\"kind\""},
        {R"({"app":"a","kind":"wifi","bytes":0})", "a", "\"bytes\" 0 is out"},
        {R"({"app":"a","kind":"wifi","bytes":9223372036854775808})", "a", "\"bytes\""},
        {R"({"app":"a","kind":"wifi","bytes":-3})", "a", "\"bytes\" is out of range"},
        {"[1]", "", "not an object"},
    };
    for (const auto& c : skipped) {
        SCOPED_TRACE(c.entry.substr(0, 120));
        auto message = parseTrafficHelperLine(
            head + R"([{"app":"before","kind":"wifi","bytes":5},)" + c.entry +
                R"(,{"app":"after","kind":"cellular","bytes":7}]})",
            nullptr);
        ASSERT_TRUE(message && std::holds_alternative<TrafficDelta>(*message));
        const auto& read = std::get<TrafficDelta>(*message);
        ASSERT_EQ(read.usage.size(), 2u);
        EXPECT_EQ(read.usage[0].app, "before");
        EXPECT_EQ(read.usage[1].bytes, 7u);
        ASSERT_EQ(read.skipped.size(), 1u);
        EXPECT_EQ(read.skipped[0].app, c.app);
        EXPECT_TRUE(read.skipped[0].reason.starts_with("usage entry 2: "))
            << read.skipped[0].reason;
        EXPECT_NE(read.skipped[0].reason.find(c.reason), std::string::npos)
            << read.skipped[0].reason;
    }
}

class KernelSource : public QuietMainLoopTest {
  protected:
    void SetUp() override {
        QuietMainLoopTest::SetUp();
        Clock::setVirtual(localInstant("2026-12-06T12:00:00"));
    }

    // Each application's total over every day, and the rows by day.
    Rows stored() {
        return queryRows(UsageDatabase::defaultPath(),
                         "SELECT app, date, usage_wifi, usage_cellular FROM usage"
                         " ORDER BY app, date");
    }
    Rows progress() {
        return queryRows(UsageDatabase::defaultPath(),
                         "SELECT source, epoch, seq FROM usage_sources");
    }
    std::unique_ptr<UsageCollector> newCollector() {
        return std::make_unique<UsageCollector>(UsageDatabase::defaultPath(), 50);
    }
    std::unique_ptr<KernelTrafficSource> newSource(UsageCollector& collector) {
        auto source = std::make_unique<KernelTrafficSource>(collector, socket, 0.05);
        EXPECT_TRUE(source->start());
        return source;
    }
    // Lines logged so far that contain the text.
    std::size_t logged(const std::string& text) {
        for (auto& line : SystemLog::takeCaptured()) log.push_back(line);
        return std::count_if(log.begin(), log.end(), [&](const std::string& line) {
            return line.find(text) != std::string::npos;
        });
    }

    ScratchHome home;
    TransportsGuard transports{std::make_shared<InProcessMessagingTransport>(), nullptr};
    std::string socket = home.path() + "/traffic.sock";
    std::vector<std::string> log;
};

TEST_F(KernelSource, DeltasAreBookedOnTheirLocalDayAndAcknowledgedOnlyAfterTheirCommit) {
    StandInTrafficHelper helper(socket);
    ASSERT_TRUE(helper.listening());
    auto collector = newCollector();
    auto source = newSource(*collector);
    ASSERT_TRUE(helper.accept());
    helper.send(hello() + delta(1, "2026-12-05T23:30:00", 100) +
                delta(2, "2026-12-06T00:30:00", 20));
    ASSERT_TRUE(eventually([&] { return source->countedDeltas() == 2; }));
    EXPECT_EQ(collector->unsavedUsage(), (std::vector<UsageRow>{
                                             {"curl", "2026-12-05", 0, 1, 0},
                                             {"curl", "2026-12-06", 0, 1, 0},
                                             {"org.example.A", "2026-12-05", 100, 0, 0},
                                             {"org.example.A", "2026-12-06", 20, 0, 0},
                                         }));
    EXPECT_FALSE(helper.line(0.2)) << "nothing is acknowledged before a save";

    {
        // Another writer holds the database past the collector's busy timeout: the save fails.
        UsageDatabase other;
        std::string error;
        ASSERT_TRUE(other.execute("BEGIN IMMEDIATE;", &error)) << error;
        EXPECT_FALSE(collector->save());
        EXPECT_FALSE(helper.line(0.2)) << "a failed save acknowledges nothing";
        ASSERT_TRUE(other.execute("ROLLBACK;", &error)) << error;
    }
    ASSERT_TRUE(collector->save());
    EXPECT_EQ(helper.line(), ack(2));
    EXPECT_EQ(stored(), (Rows{{"curl", "2026-12-05", "0", "1"},
                              {"curl", "2026-12-06", "0", "1"},
                              {"org.example.A", "2026-12-05", "100", "0"},
                              {"org.example.A", "2026-12-06", "20", "0"}}));
    EXPECT_EQ(progress(), (Rows{{"kernel", kEpoch, "2"}}));
}

TEST_F(KernelSource, ResentDeltasCountOnceBeforeAndAfterTheSaveAndANewEpochCountsAfresh) {
    StandInTrafficHelper helper(socket);
    auto collector = newCollector();
    auto source = newSource(*collector);
    ASSERT_TRUE(helper.accept());
    helper.send(hello() + delta(1, "2026-12-06T10:00:00", 1) + delta(2, "2026-12-06T10:00:00", 2));
    ASSERT_TRUE(eventually([&] { return source->countedDeltas() == 2; }));

    // The connection breaks before any save: everything unacknowledged comes again, and more.
    ASSERT_TRUE(helper.accept());
    helper.send(hello() + delta(1, "2026-12-06T10:00:00", 1) + delta(2, "2026-12-06T10:00:00", 2) +
                delta(3, "2026-12-06T10:00:00", 4));
    ASSERT_TRUE(eventually([&] { return source->countedDeltas() == 3; }));
    EXPECT_EQ(source->resentDeltas(), 2u);
    ASSERT_TRUE(collector->save());
    EXPECT_TRUE(helper.acknowledged(ack(3)));

    // Broken again after the save, before the helper took the acknowledgement in: the resend
    // is acknowledged at once and not counted. Then the helper restarts with a new epoch.
    ASSERT_TRUE(helper.accept());
    helper.send(hello() + delta(1, "2026-12-06T10:00:00", 1) + delta(3, "2026-12-06T10:00:00", 4));
    EXPECT_EQ(helper.line(), ack(1));
    EXPECT_EQ(helper.line(), ack(3));
    ASSERT_TRUE(helper.accept());
    helper.send(hello(kOtherEpoch) + delta(1, "2026-12-06T11:00:00", 8, kOtherEpoch));
    ASSERT_TRUE(eventually([&] { return source->countedDeltas() == 4; }));
    ASSERT_TRUE(collector->save());
    EXPECT_EQ(helper.line(), ack(1, kOtherEpoch));
    EXPECT_EQ(stored(),
              (Rows{{"curl", "2026-12-06", "0", "4"}, {"org.example.A", "2026-12-06", "15", "0"}}));
    EXPECT_EQ(source->resentDeltas(), 4u);
}

TEST_F(KernelSource, ACollectorGoneBeforeItsSaveLeavesTheResendToBeCountedOnceInFull) {
    StandInTrafficHelper helper(socket);
    {
        auto collector = newCollector();
        auto source = newSource(*collector);
        ASSERT_TRUE(helper.accept());
        helper.send(hello() + delta(1, "2026-12-06T10:00:00", 100));
        ASSERT_TRUE(eventually([&] { return source->countedDeltas() == 1; }));
        ASSERT_TRUE(collector->save());
        EXPECT_EQ(helper.line(), ack(1)) << "the helper is killed before it takes this in";
        helper.send(delta(2, "2026-12-06T10:00:00", 20));
        ASSERT_TRUE(eventually([&] { return source->countedDeltas() == 2; }));
    }  // gone without saving delta 2

    auto collector = newCollector();
    auto source = newSource(*collector);
    ASSERT_TRUE(helper.accept());
    helper.send(hello() + delta(1, "2026-12-06T10:00:00", 100) +
                delta(2, "2026-12-06T10:00:00", 20));
    EXPECT_EQ(helper.line(), ack(1)) << "saved before, so acknowledged at once";
    ASSERT_TRUE(eventually([&] { return source->countedDeltas() == 1; }));
    EXPECT_EQ(source->resentDeltas(), 1u);
    ASSERT_TRUE(collector->save());
    EXPECT_EQ(helper.line(), ack(2));
    EXPECT_EQ(stored(), (Rows{{"curl", "2026-12-06", "0", "2"},
                              {"org.example.A", "2026-12-06", "120", "0"}}));
}

TEST_F(KernelSource, BadLinesAreLoggedAndSkipped) {
    StandInTrafficHelper helper(socket);
    auto collector = newCollector();
    auto source = newSource(*collector);
    ASSERT_TRUE(helper.accept());
    struct {
        std::string line;
        const char* logged;
    } bad[] = {
        {"nonsense\n", "not JSON"},
        {std::string(KernelTrafficSource::kMaxLineLength + 1, ' ') + "{}\n", "a line longer than"},
        {delta(3, "2026-12-06T10:00:00", 1, kOtherEpoch), "differs from the hello"},
        {hello(), "a second hello"},
    };
    helper.send(hello() + delta(1, "2026-12-06T10:00:00", 1));
    for (const auto& c : bad) helper.send(c.line);
    // A delta with bad entries among good ones: only the bad ones are left out, and each bad
    // name is logged once however often it comes.
    auto mixed = [&](int seq) {
        return R"({"epoch":"9f1c0b7e5a3d2e11","seq":)" + std::to_string(seq) + R"(,"time":)" +
               std::to_string(static_cast<long long>(localInstant("2026-12-06T10:00:00"))) +
               R"(,"usage":[{"app":"org.example.A","kind":"wifi","bytes":10},)"
               R"({"app":"\u001b[2J","kind":"wifi","bytes":1},)"
               R"({"app":")" +
               std::string(300, 'x') +
               R"(","kind":"wifi","bytes":1},)"
               R"({"app":"..","kind":"wifi","bytes":1},)"
               R"({"app":"curl","kind":"cellular","bytes":3}]})" +
               "\n";
    };
    helper.send(delta(2, "2026-12-06T10:00:00", 2) + mixed(3) + mixed(4));
    ASSERT_TRUE(eventually([&] { return source->countedDeltas() == 4; }));
    EXPECT_EQ(source->rejectedLines(), std::size(bad));
    EXPECT_EQ(source->skippedEntries(), 6u);
    for (const auto& c : bad) EXPECT_EQ(logged(c.logged), 1u) << c.logged;
    EXPECT_EQ(logged("cannot be counted"), 3u) << "once per name";
    EXPECT_EQ(logged("control character"), 1u);
    EXPECT_EQ(logged("\x1b"), 0u) << "control characters never reach the log";
    ASSERT_TRUE(collector->save());
    EXPECT_EQ(helper.line(), ack(4));
    EXPECT_EQ(stored(),
              (Rows{{"curl", "2026-12-06", "0", "8"}, {"org.example.A", "2026-12-06", "23", "0"}}));
}

TEST_F(KernelSource, AnUnreachableHelperIsLoggedOncePerReasonUntilItAppears) {
    auto collector = newCollector();
    auto source = newSource(*collector);
    const std::string unreachable = "traffic helper at " + socket + " unreachable: ";
    ASSERT_TRUE(eventually([&] { return logged(unreachable + "No such file or directory") == 1; }));

    // A socket nobody listens on: a new reason, logged once however often it is tried.
    {
        int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strncpy(address.sun_path, socket.c_str(), sizeof address.sun_path - 1);
        ASSERT_EQ(bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        close(stale);
    }
    ASSERT_TRUE(eventually([&] { return logged(unreachable + "Connection refused") == 1; }));
    usleep(300'000);  // six retries
    EXPECT_EQ(logged(unreachable), 2u);

    // The helper appears, refuses twice (one line), then serves.
    StandInTrafficHelper helper(socket);
    for (int refusal = 0; refusal < 2; ++refusal) {
        ASSERT_TRUE(helper.accept());
        helper.send(hello() + R"({"error":"another client of this uid is connected"})" + "\n");
        helper.drop();
    }
    ASSERT_TRUE(helper.accept());
    helper.send(hello());
    ASSERT_TRUE(eventually([&] { return source->isConnected(); }));
    EXPECT_EQ(logged(unreachable + "refused: another client of this uid is connected"), 1u);
    EXPECT_EQ(logged("connected to the traffic helper at " + socket), 1u);
    EXPECT_EQ(logged(unreachable), 3u);
}

// The daemon with --source kernel: the SIGTERM save acknowledges what it wrote.
TEST_F(KernelSource, TheDaemonAcknowledgesItsLastSaveOnSigterm) {
    if (!programInstalled("dbus-daemon")) GTEST_SKIP() << "dbus-daemon is not installed";
    PrivateBus bus(home.path());
    ASSERT_TRUE(bus.running());
    StandInTrafficHelper helper(socket);
    std::string logPath = home.path() + "/collector.log";
    CollectorProcess daemon(
        {"run", "--source", "kernel", "--traffic-socket", socket, "--save-interval", "3600"},
        bus.address(), logPath);
    ASSERT_TRUE(helper.accept(10)) << readFile(logPath);
    helper.send(hello() + delta(1, "2026-12-06T10:00:00", 7));
    ASSERT_TRUE(eventually([&] {
        return readFile(logPath).find("connected to") != std::string::npos;
    })) << readFile(logPath);
    EXPECT_FALSE(helper.line(0.2));
    EXPECT_EQ(daemon.stop(SIGTERM), 0) << readFile(logPath);
    EXPECT_EQ(helper.line(), ack(1)) << readFile(logPath);
    EXPECT_EQ(stored(),
              (Rows{{"curl", "2026-12-06", "0", "1"}, {"org.example.A", "2026-12-06", "7", "0"}}));
}

}  // namespace
