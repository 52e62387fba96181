// Applications kept off mobile data, as root, in one world: bytarn-trafficd in a network
// namespace with a link the rules call cellular and one they call Wi-Fi, a TCP server behind each
// in a peer namespace, and two users' application scopes. Each user's restriction lines go over
// the helper's socket with that user's credentials; connections are tried from the scopes.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>
#include <thread>

#include "support/ChildProcesses.h"
#include "support/HelperClient.h"
#include "support/TestEnvironment.h"
#include "support/TrafficLoads.h"
#include "support/TrafficWorld.h"
#include "support/UserCollector.h"

namespace {

constexpr uid_t kUser = 65534, kOtherUser = 65533;
constexpr int kPort = 7007;
const std::string mailScope =
    "user.slice/user-65534.slice/user@65534.service/app.slice/app-gnome-org.example.Mail-7.scope";
const std::string mapsScope =
    "user.slice/user-65534.slice/user@65534.service/app.slice/app-gnome-org.example.Maps-8.scope";
const std::string otherMailScope =
    "user.slice/user-65533.slice/user@65533.service/app.slice/app-gnome-org.example.Mail-9.scope";

// What a connect from a scope came to.
enum class Reached { yes, refused, timedOut, failed };

const char* said(Reached reached) {
    switch (reached) {
        case Reached::yes:
            return "connected";
        case Reached::refused:
            return "refused with EPERM";
        case Reached::timedOut:
            return "no answer within 2 s";
        default:
            return "failed otherwise";
    }
}

void PrintTo(Reached reached, std::ostream* out) {
    *out << said(reached);
}

// A connection from a process in scope (in the helper's namespace) to address, given 2 s.
Reached connectFrom(TrafficWorld& world, const std::string& scope, const std::string& address) {
    pid_t child = world.spawnIn(scope, world.nsHelper, "connector", [&] {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        auto to = traffic_loads::socketAddress(address, kPort);
        if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0) _exit(0);
        if (errno == EPERM) _exit(1);
        if (errno != EINPROGRESS) _exit(3);
        pollfd entry{fd, POLLOUT, 0};
        if (poll(&entry, 1, 2000) != 1) _exit(2);
        int error = 0;
        socklen_t length = sizeof error;
        getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length);
        _exit(error == 0 ? 0 : error == EPERM ? 1 : 3);
    });
    int status = world.waitFor(child);
    int code = WIFEXITED(status) ? WEXITSTATUS(status) : 3;
    return code == 0   ? Reached::yes
           : code == 1 ? Reached::refused
           : code == 2 ? Reached::timedOut
                       : Reached::failed;
}

// A connection to the helper with uid's credentials (SO_PEERCRED takes the effective uid at
// connect), read up to its hello.
int connectAs(const TrafficWorld& world, uid_t uid) {
    if (seteuid(uid) != 0) return -1;
    int fd = connectToHelper(world.socketPath());
    if (seteuid(0) != 0) std::abort();
    if (fd < 0) return -1;
    auto lines = readHelperLines(fd, 2, [](const auto& got) { return !got.empty(); });
    if (lines.empty() || lines[0]["version"] != 3) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends lines, then waits until the helper's log tells the last change (the helper answers
// nothing to an accepted line).
bool tell(const TrafficWorld& world, int fd, const std::string& lines, const std::string& logged) {
    if (send(fd, lines.data(), lines.size(), MSG_NOSIGNAL) != ssize_t(lines.size())) return false;
    return eventually(
        [&] { return readFile(world.helperLog()).find(logged) != std::string::npos; });
}

// The world both tests share: the links, the peer's server and the helper, ready for connects.
class MobileDataRestriction : public ::testing::Test {
  protected:
    void SetUp() override {
        if (auto missing = trafficWorldUnavailable()) GTEST_SKIP() << *missing;
        built = std::make_unique<TrafficWorld>("restrict");
        for (const auto& scope : {mailScope, mapsScope, otherMailScope}) built->addScope(scope);
        cellularPeer = built->addLink("btc", 231);
        wifiPeer = built->addLink("btw", 232);
        ASSERT_TRUE(built->ok()) << "could not build the test's namespaces, links and cgroups";
        built->spawnIn("", built->nsPeer, "server",
                       [] { traffic_loads::serveTcp("0.0.0.0", kPort); });
        ASSERT_TRUE(built->startHelper(
            "btc* cellular\nbtw* wifi\n", {},
            {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + (built->scratch / "no-bus").string()}))
            << readFile(built->helperLog());
        ASSERT_TRUE(eventually([&] {
            return connectFrom(*built, mailScope, cellularPeer) == Reached::yes;
        })) << "the peer's server never answered over the cellular link";
    }

    std::unique_ptr<TrafficWorld> built;
    std::string cellularPeer, wifiPeer;
};

}  // namespace

TEST_F(MobileDataRestriction, KeptOffCellularOnlyForItsUserUntilAllowedResumedOrTheHelperDies) {
    TrafficWorld& world = *built;
    auto log = [&] { return readFile(world.helperLog()); };

    // Another user's restriction of the same identifier reaches only that user's scope.
    int other = connectAs(world, kOtherUser);
    ASSERT_GE(other, 0) << log();
    ASSERT_TRUE(tell(world, other, "clear\nrestrict org.example.Mail\n",
                     "uid 65533 restricted \"org.example.Mail\""))
        << log();
    EXPECT_EQ(connectFrom(world, otherMailScope, cellularPeer), Reached::refused) << log();
    EXPECT_EQ(connectFrom(world, mailScope, cellularPeer), Reached::yes);

    // A connection already open: its datagrams stop going out (the send fails) within 2 s.
    int started[2];
    ASSERT_EQ(pipe(started), 0);
    pid_t open = world.spawnIn(mailScope, world.nsHelper, "streamer", [&] {
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        auto to = traffic_loads::socketAddress(cellularPeer, kPort);
        if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) _exit(3);
        for (int i = 0; i < 100; ++i, std::this_thread::sleep_for(std::chrono::milliseconds(50))) {
            // Nothing listens for datagrams there: the peer's ICMP answers fail some sends.
            if (send(fd, "x", 1, 0) != 1 && errno != ECONNREFUSED) _exit(errno == EPERM ? 1 : 3);
            if (i == 0 && write(started[1], "x", 1) != 1) _exit(3);
        }
        _exit(2);
    });
    char byte;
    ASSERT_EQ(read(started[0], &byte, 1), 1) << "the open connection never sent";
    close(started[0]);
    close(started[1]);

    // The user's own: refused at connect, at once, over cellular; Wi-Fi untouched.
    int user = connectAs(world, kUser);
    ASSERT_GE(user, 0) << log();
    ASSERT_TRUE(tell(world, user, "clear\nrestrict org.example.Mail\n",
                     "uid 65534 restricted \"org.example.Mail\""))
        << log();
    auto start = std::chrono::steady_clock::now();
    int openStatus = world.waitFor(open);
    EXPECT_TRUE(WIFEXITED(openStatus) && WEXITSTATUS(openStatus) == 1)
        << "the open connection's sends did not fail with EPERM (wait status " << openStatus << ")";
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    start = std::chrono::steady_clock::now();
    auto reached = connectFrom(world, mailScope, cellularPeer);
    EXPECT_EQ(reached, Reached::refused) << said(reached) << "\n" << log();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ(connectFrom(world, mailScope, wifiPeer), Reached::yes);
    EXPECT_EQ(connectFrom(world, mapsScope, cellularPeer), Reached::yes);

    ASSERT_TRUE(
        tell(world, user, "allow org.example.Mail\n", "uid 65534 allowed \"org.example.Mail\""))
        << log();
    EXPECT_EQ(connectFrom(world, mailScope, cellularPeer), Reached::yes);

    // The plan's pause: everything of the user's but the exempt application, until resumed.
    ASSERT_TRUE(
        tell(world, user, "exempt org.example.Maps\npause\n", "uid 65534 paused mobile data"))
        << log();
    EXPECT_EQ(connectFrom(world, mailScope, cellularPeer), Reached::refused);
    EXPECT_EQ(connectFrom(world, mapsScope, cellularPeer), Reached::yes);
    EXPECT_EQ(connectFrom(world, mailScope, wifiPeer), Reached::yes);
    ASSERT_TRUE(tell(world, user, "resume\n", "uid 65534 resumed mobile data")) << log();
    EXPECT_EQ(connectFrom(world, mailScope, cellularPeer), Reached::yes);

    // A line out of the grammar is refused, said and logged, and the connection closed; the
    // set stays.
    ASSERT_TRUE(tell(world, user, "restrict org.example.Mail\n",
                     "uid 65534 restricted \"org.example.Mail\""))
        << log();
    std::string bad = "restrict .hidden\x1b[2J\n";
    ASSERT_EQ(send(user, bad.data(), bad.size(), MSG_NOSIGNAL), ssize_t(bad.size()));
    auto answer = readHelperLines(user, 2, [](const auto& got) { return !got.empty(); });
    ASSERT_FALSE(answer.empty());
    EXPECT_TRUE(answer.back().contains("error")) << answer.back().dump();
    EXPECT_TRUE(eventually([&] {
        return log().find("restrict .hidden\\x1b[2J") != std::string::npos;
    })) << log();
    EXPECT_EQ(log().find('\x1b'), std::string::npos);
    close(user);
    EXPECT_EQ(connectFrom(world, mailScope, cellularPeer), Reached::refused);

    // Fail open: once the helper is killed, nothing of it stays in the kernel.
    ASSERT_EQ(world.killHelper(), true);
    EXPECT_TRUE(eventually([&] {
        return connectFrom(world, mailScope, cellularPeer) == Reached::yes;
    })) << "still blocked after the helper died";
    EXPECT_EQ(connectFrom(world, otherMailScope, cellularPeer), Reached::yes);
    close(other);
}

// The whole chain at the cellular plan's limit: the user's own collector counts the user's
// traffic over cellular, reaches the limit `bytarn plan set` gave and pauses the user's mobile
// data through the helper, all but the application `bytarn allow --always` marked; `bytarn plan
// resume cellular` ends the pause, and the limit does not pause again in that cycle.
TEST_F(MobileDataRestriction, TheCellularLimitPausesAllButTheAlwaysAllowedUntilPlanResume) {
    if (!programInstalled("dbus-daemon") || !programInstalled("setpriv"))
        GTEST_SKIP() << "dbus-daemon or setpriv is not installed";
    TrafficWorld& world = *built;
    UserCollector user(world, "user", kUser);
    // No save in the test's time: the pause must come from the counts the collector holds.
    ASSERT_TRUE(user.start("600")) << user.logs();
    for (const char* command :
         {"plan set cellular --cycle-day 1 --limit 1MB", "allow --always org.example.Maps"}) {
        auto [said, status] = user.bytarn(command);
        ASSERT_EQ(status, 0) << command << ": " << said;
    }
    ASSERT_TRUE(eventually([&] {
        return readFile(world.helperLog()).find("uid 65534 exempted \"org.example.Maps\"") !=
               std::string::npos;
    })) << user.logs();
    EXPECT_EQ(connectFrom(world, mailScope, cellularPeer), Reached::yes) << "paused too early";

    // Beyond the limit (1 MB or 1 MiB alike) over cellular: paused as the counts arrive, long
    // before the collector saves them.
    auto sendOverCellular = [&](std::size_t bytes) {
        return world.reap(world.spawnIn(mailScope, world.nsHelper, "sender", [&] {
            _exit(traffic_loads::sendTcp(cellularPeer, kPort, bytes) ? 0 : 1);
        }));
    };
    ASSERT_TRUE(sendOverCellular(1200 * 1024));
    ASSERT_TRUE(eventually(
        [&] {
            return readFile(world.helperLog()).find("uid 65534 paused mobile data") !=
                   std::string::npos;
        },
        5))
        << user.logs();
    EXPECT_EQ(user.totals()["org.example.Mail"][1], 0) << "paused only after a save";
    auto reached = connectFrom(world, mailScope, cellularPeer);
    EXPECT_EQ(reached, Reached::refused) << said(reached) << "\n" << user.logs();
    EXPECT_EQ(connectFrom(world, mapsScope, cellularPeer), Reached::yes) << "always allowed";
    EXPECT_EQ(connectFrom(world, mailScope, wifiPeer), Reached::yes) << "Wi-Fi is not paused";
    const std::string paused = "LimitPause: mobile data paused at the cellular plan's limit";
    EXPECT_NE(readFile(user.log()).find(paused), std::string::npos) << user.logs();
    auto [restrictions, listed] = user.bytarn("restrictions --format json");
    ASSERT_EQ(listed, 0) << restrictions;
    auto shown = nlohmann::json::parse(restrictions, nullptr, false);
    EXPECT_EQ(shown["paused"], true) << restrictions;
    EXPECT_EQ(shown["alwaysAllowed"], nlohmann::json::array({"org.example.Maps"})) << restrictions;

    // The command ends it: the collector follows its database within a second.
    auto [resumed, status] = user.bytarn("plan resume cellular");
    ASSERT_EQ(status, 0) << resumed;
    EXPECT_NE(resumed.find("Mobile data resumed"), std::string::npos) << resumed;
    EXPECT_TRUE(
        eventually([&] { return connectFrom(world, mailScope, cellularPeer) == Reached::yes; }, 3))
        << user.logs();
    EXPECT_NE(readFile(user.log()).find("LimitPause: mobile data resumed: the user resumed"),
              std::string::npos)
        << user.logs();

    // Still past the limit after more traffic: no second pause in this cycle.
    ASSERT_TRUE(sendOverCellular(64 * 1024));
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));  // a reading, a check, a follow
    EXPECT_EQ(connectFrom(world, mailScope, cellularPeer), Reached::yes) << user.logs();
    const std::string log = readFile(world.helperLog());
    EXPECT_EQ(log.find("paused mobile data"), log.rfind("paused mobile data")) << log;
}
