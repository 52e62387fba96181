// The socket server without the kernel: what a client is sent, and which lines end its connection.
#include "trafficd/Log.h"
#include "trafficd/serving/DeltaLedger.h"
#include "trafficd/serving/TrafficServer.h"

#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>
#include <filesystem>
#include <fstream>

using namespace bytarn::trafficd;
namespace fs = std::filesystem;

namespace {

struct ServerFixture {
    fs::path socketPath =
        fs::temp_directory_path() / ("trafficd-server-" + std::to_string(getpid()) + ".sock");
    DeltaLedger ledger{"00000000000000aa"};
    TrafficServer server{TrafficServer::listeningSocket(socketPath), ledger};

    ~ServerFixture() { fs::remove(socketPath); }

    void pump() {
        for (int i = 0; i < 3; ++i) {
            auto set = server.pollSet();
            if (poll(set.data(), set.size(), 10) > 0) server.handle(set);
        }
    }

    // Connects and says `first` (if any) before the server accepts.
    int connectClient(const std::string& first = "") {
        int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::strcpy(address.sun_path, socketPath.c_str());
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        EXPECT_EQ(send(fd, first.data(), first.size(), MSG_NOSIGNAL), ssize_t(first.size()));
        pump();
        return fd;
    }

    // Everything the server has sent and will send now; "" plus closed=true at end of stream.
    std::string drain(int fd, bool* closed = nullptr) {
        pump();
        std::string text;
        char chunk[4096];
        for (ssize_t count; (count = recv(fd, chunk, sizeof chunk, MSG_DONTWAIT)) > 0;)
            text.append(chunk, count);
        if (closed) *closed = recv(fd, chunk, 1, MSG_DONTWAIT | MSG_PEEK) == 0;
        return text;
    }
};

}  // namespace

TEST(TrafficdServer, ClientGetsHelloAndDeltasAndOnlyAcknowledgementsKeepItConnected) {
    ServerFixture fixture;
    EXPECT_EQ(fs::status(fixture.socketPath).permissions() & fs::perms::all, fs::perms(0666));
    fixture.ledger.add(getuid(), 1765180800, {{{"curl", "wifi"}, 42}});
    fixture.ledger.add(getuid() + 1, 1765180800, {{{"other", "wifi"}, 7}});  // someone else's
    int client = fixture.connectClient();
    std::istringstream lines(fixture.drain(client));
    std::string hello, delta, extra;
    std::getline(lines, hello);
    std::getline(lines, delta);
    EXPECT_FALSE(std::getline(lines, extra)) << extra;
    EXPECT_EQ(nlohmann::json::parse(hello)["uid"], getuid());
    EXPECT_EQ(nlohmann::json::parse(delta),
              nlohmann::json::parse(R"({"epoch":"00000000000000aa","seq":1,"time":1765180800,)"
                                    R"("usage":[{"app":"curl","kind":"wifi","bytes":42}]})"));

    struct Line {
        std::string text;
        bool closes;
    };
    const Line lines_[] = {
        {"ack 00000000000000bb 1\n", false},  // other epoch: ignored
        {"ack 00000000000000aa 2\n", false},  // not sent yet: ignored
        {"ack 00000000000000aa 1\n", false}, {"ack 00000000000000aa 1x\n", true}, {"hello\n", true},
        {std::string(65, 'a'), true},  // no newline, and already too long
    };
    for (const auto& line : lines_) {
        int fd = client >= 0 ? client : fixture.connectClient();
        client = -1;
        fixture.drain(fd);
        ASSERT_EQ(send(fd, line.text.data(), line.text.size(), MSG_NOSIGNAL),
                  ssize_t(line.text.size()));
        bool closed = false;
        fixture.drain(fd, &closed);
        EXPECT_EQ(closed, line.closes) << line.text;
        if (closed)
            close(fd);
        else
            client = fd;
    }
    EXPECT_EQ(fixture.ledger.pendingCount(getuid()), 0u);  // the good acknowledgement took effect
    EXPECT_EQ(fixture.ledger.pendingCount(getuid() + 1), 1u);
    if (client >= 0) close(client);
}

// Connections that watch the interfaces: each gets the list on connecting and on every change,
// no deltas, and holds no place of its uid; a uid may hold only a few of them.
TEST(TrafficdServer, WatchersGetTheInterfacesOnlyAndAreBounded) {
    ServerFixture fixture;
    fixture.server.offerInterfaces({{"wlan0", 3, "wifi", "Wi-Fi (sysfs)"}});
    fixture.ledger.add(getuid(), 1765180800, {{{"curl", "wifi"}, 42}});
    std::vector<int> watchers;
    for (size_t i = 0; i <= TrafficServer::watchersPerUid; ++i)
        watchers.push_back(fixture.connectClient("interfaces\n"));
    fixture.server.offerInterfaces({{"wlan0", 3, "cellular", "metered (NetworkManager)"}});
    for (size_t i = 0; i < watchers.size(); ++i) {
        bool closed = false;
        std::string text = fixture.drain(watchers[i], &closed);
        SCOPED_TRACE(text);
        EXPECT_EQ(text.find("\"usage\""), std::string::npos);
        EXPECT_EQ(closed, i == TrafficServer::watchersPerUid);
        if (!closed) {
            EXPECT_NE(text.find("Wi-Fi (sysfs)"), std::string::npos);
            EXPECT_NE(text.find("metered (NetworkManager)"), std::string::npos);
        }
    }
    // The uid's place is free: a collector is served its delta, and only it makes the uid one
    // that gets a view of the traffic.
    EXPECT_TRUE(fixture.server.clientUids().empty());
    int collector = fixture.connectClient();
    EXPECT_NE(fixture.drain(collector).find("\"usage\""), std::string::npos);
    EXPECT_EQ(fixture.server.clientUids(), std::set<uid_t>{getuid()});
    close(collector);
    for (int fd : watchers) close(fd);
}

// Against other local users: a socket made with its mode whatever the umask, never one taken from
// a live helper or through a symlink, and client text in the log only as printable text.
TEST(TrafficdServer, TheSocketIsNeitherTakenFromALiveHelperNorMadeThroughASymlink) {
    fs::path dir = fs::temp_directory_path() / ("trafficd-socket-" + std::to_string(getpid()));
    fs::create_directories(dir);
    fs::path path = dir / "traffic.sock";
    mode_t oldMask = umask(077);
    int first = TrafficServer::listeningSocket(path);
    umask(oldMask);
    EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, fs::perms(0666));
    try {
        TrafficServer::listeningSocket(path);
        ADD_FAILURE() << "a second helper took the socket of a live one";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find("another bytarn-trafficd is serving on"),
                  std::string::npos)
            << error.what();
    }
    close(first);  // its socket file stays behind, stale: the next helper replaces it
    close(TrafficServer::listeningSocket(path));

    fs::remove(path);
    std::ofstream(dir / "target") << "keep";
    fs::create_symlink(dir / "target", path);
    EXPECT_THROW(TrafficServer::listeningSocket(path), std::runtime_error);
    EXPECT_EQ(fs::status(dir / "target").permissions() & fs::perms::all,
              fs::perms(0666) & ~fs::perms(oldMask));
    fs::remove_all(dir);
}

TEST(TrafficdServer, ClientTextReachesTheLogOnlyAsPrintableText) {
    setLogCapture(true);
    {
        ServerFixture fixture;
        int client = fixture.connectClient();
        std::string attack = "ack \x1b[2J\x1b[31mFAKE\rbytarn-trafficd:\x1b[0m 1\n";
        send(client, attack.data(), attack.size(), MSG_NOSIGNAL);
        fixture.drain(client);
        close(client);
        logLine(std::string("a\0b\tc\x7f", 6));
    }
    auto log = takeCapturedLog();
    setLogCapture(false);
    bool sawAttack = false;
    for (const auto& line : log) {
        for (unsigned char c : line) EXPECT_FALSE(c < 0x20 || c == 0x7f) << line;
        sawAttack = sawAttack ||
                    line.find("acknowledged \\x1b[2J\\x1b[31mFAKE\\x0dbytarn") != std::string::npos;
    }
    EXPECT_TRUE(sawAttack);
    EXPECT_EQ(log.back(), "a\\x00b\\x09c\\x7f");
    EXPECT_EQ(printable("abc\x01", 3), "abc...");
}

// Restriction lines: applied with the client's own uid on a connection that takes deltas, in
// order; anything the grammar or the policy refuses is answered with an error and closes the
// connection; a watcher, or a second client refused its uid's place, changes nothing.
TEST(TrafficdServer, RestrictionLinesReachThePolicyWithThePeersUidOrAreRefused) {
    ServerFixture fixture;
    std::vector<std::string> applied;
    fixture.server.onRestriction([&](uid_t uid, const RestrictionLine& line) {
        if (line.app == "refused") return TrafficServer::RestrictionAnswer{"not that one", {}};
        applied.push_back(std::to_string(uid) + " " + std::string(restrictionKeyword(line.verb)) +
                          (line.app.empty() ? "" : " " + line.app));
        return TrafficServer::RestrictionAnswer{{}, "changed"};
    });
    // Said right after connecting, before the server accepted: applied once it is admitted.
    int client = fixture.connectClient("clear\nrestrict org.example.Mail\n");
    std::string hello = fixture.drain(client);
    EXPECT_NE(hello.find("\"version\":3"), std::string::npos) << hello;
    // A second client of the uid is refused its place; its lines change nothing.
    int second = fixture.connectClient("restrict org.example.Second\n");
    bool closed = false;
    fixture.drain(second, &closed);
    EXPECT_TRUE(closed);
    close(second);
    int watcher = fixture.connectClient("interfaces\nrestrict org.example.Watcher\n");
    EXPECT_NE(fixture.drain(watcher, &closed).find("\"error\""), std::string::npos);
    EXPECT_TRUE(closed);
    close(watcher);
    const std::string uid = std::to_string(getuid());
    EXPECT_EQ(applied,
              (std::vector<std::string>{uid + " clear", uid + " restrict org.example.Mail"}));

    struct Line {
        std::string text;
        bool refused;
    };
    const Line lines[] = {
        {"pause\nexempt org.example.Maps\n", false},
        {"allow " + std::string(300, 'a') + "\n", false},  // long, within the bound
        {"pause now\n", true},
        {"restrict  org.example.Mail\n", false},  // the name " org..." is the policy's to refuse
        {"restrict\n", true},
        {"restrict \n", true},
        {"restrict refused\n", true},
        {"RESTRICT org.example.Mail\n", true},
        {"restrict " + std::string(312, 'a') + "\n", true},  // 321 bytes
        {"restrict " + std::string(400, 'a'), true},         // no end yet, already too long
    };
    for (const auto& line : lines) {
        int fd = client >= 0 ? client : fixture.connectClient();
        client = -1;
        fixture.drain(fd);
        ASSERT_EQ(send(fd, line.text.data(), line.text.size(), MSG_NOSIGNAL),
                  ssize_t(line.text.size()));
        std::string answer = fixture.drain(fd, &closed);
        EXPECT_EQ(closed, line.refused) << line.text;
        EXPECT_EQ(answer.find("\"error\"") != std::string::npos, line.refused)
            << line.text << answer;
        if (closed)
            close(fd);
        else
            client = fd;
    }
    EXPECT_EQ(applied.size(), 6u);
    if (client >= 0) close(client);
}
