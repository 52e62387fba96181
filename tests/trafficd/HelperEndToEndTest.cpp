// bytarn-trafficd against the real kernel, in a world the test builds and removes itself: two
// network namespaces joined by a veth pair (one end named Wi-Fi by the rules), a cgroup subtree
// shaped like a desktop's for root and for nobody, and processes in it that send known bytes.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <thread>

#include "support/HelperClient.h"
#include "support/TestEnvironment.h"
#include "support/TrafficWorld.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

const std::string browserScope =
    "user.slice/user-0.slice/user@0.service/app.slice/app-gnome-org.example.Browser-42.scope";
const std::string mailScope =
    "user.slice/user-65534.slice/user@65534.service/app.slice/app-gnome-org.example.Mail-7.scope";
// Made after the helper started and gone before its first reading: only the kernel's
// cgroup_mkdir event can name it.
const std::string shortScope =
    "user.slice/user-0.slice/user@0.service/app.slice/app-org.example.Short@x1.service";
// A login session's scope names no application: its sockets are named by their program.
const std::string sessionScope = "user.slice/user-0.slice/session-3.scope";
// A system service: every user sees it, named by its unit.
const std::string serviceCgroup = "system.slice/packagekit.service";
constexpr int browserPayload = 20 * 1000, mailPayload = 7 * 1000, shortPayload = 3 * 1000;
constexpr int curlPayload = 4 * 1000, wgetPayload = 5 * 1000, servicePayload = 6 * 1000;
// What root's applications sent: nobody sees it as one row of the other users.
constexpr int rootPayload = browserPayload + shortPayload + curlPayload + wgetPayload;

uint64_t bytesOf(const std::map<std::string, uint64_t>& sums, const std::string& key) {
    auto found = sums.find(key);
    return found == sums.end() ? 0 : found->second;
}

std::function<bool(const std::vector<json>&)> atLeast(const std::string& key, uint64_t bytes) {
    return
        [=](const std::vector<json>& lines) { return bytesOf(usageTotals(lines), key) >= bytes; };
}

}  // namespace

TEST(TrafficdEndToEnd, EachUserGetsItsOwnAppsTheSystemAndOthersAsATotalAndUnackedDeltasReturn) {
    if (auto missing = trafficWorldUnavailable()) GTEST_SKIP() << *missing;
    TrafficWorld world("trafficd-e2e");
    for (const auto& scope : {browserScope, mailScope, sessionScope, serviceCgroup})
        world.addScope(scope);
    auto peerAddress = world.addLink("btw", 213);
    ASSERT_TRUE(world.ok()) << "could not build the test's namespaces, links and cgroups";
    auto socketPath = world.socketPath();
    auto logText = [&] { return readFile(world.helperLog()); };
    // No system bus: kinds without NetworkManager, and the log says so once.
    ASSERT_TRUE(world.startHelper(
        "# the test's link\nbtw* wifi\n", {},
        {"DBUS_SYSTEM_BUS_ADDRESS=unix:path=" + (world.scratch / "no-bus").string()}))
        << "the helper did not start:\n"
        << logText();

    // All within the second before the first reading.
    fs::create_directories(world.cgroupRoot / shortScope);
    ASSERT_TRUE(world.sendFrom(
        shortScope, {{peerAddress, shortPayload / 1000}, {"127.0.0.1", shortPayload / 1000}}));
    ASSERT_EQ(rmdir((world.cgroupRoot / shortScope).c_str()), 0);
    ASSERT_TRUE(world.sendFrom(browserScope, {{peerAddress, browserPayload / 1000},
                                              {"127.0.0.1", browserPayload / 1000}}));
    ASSERT_TRUE(world.sendFrom(
        mailScope, {{peerAddress, mailPayload / 1000}, {"127.0.0.1", mailPayload / 1000}}));
    ASSERT_TRUE(world.sendFrom(sessionScope, {{peerAddress, curlPayload / 1000}}, "curl"));
    ASSERT_TRUE(world.sendFrom(sessionScope, {{peerAddress, wgetPayload / 1000}}, "wget"));
    ASSERT_TRUE(
        world.sendFrom(serviceCgroup, {{peerAddress, servicePayload / 1000}}, "packagekitd"));

    // Root: its own slice's Browser, over Wi-Fi, at least the payload and at most 3% above (UDP
    // and IP headers); no loopback; the system service by its unit; nobody's Mail only as the
    // other users' total.
    int root = connectToHelper(socketPath);
    ASSERT_GE(root, 0);
    auto lines = readHelperLines(root, 5, [](const std::vector<json>& got) {
        return atLeast("org.example.Browser/wifi", browserPayload)(got) &&
               atLeast("org.example.Short/wifi", shortPayload)(got) &&
               atLeast("curl/wifi", curlPayload)(got) && atLeast("wget/wifi", wgetPayload)(got) &&
               atLeast("packagekit/wifi", servicePayload)(got) &&
               atLeast("org.bytarn.OtherUsers/wifi", mailPayload)(got);
    });
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines[0]["hello"], "bytarn-trafficd");
    EXPECT_EQ(lines[0]["uid"], 0);
    // Then the interfaces, the test's link among them with its kind and why.
    ASSERT_TRUE(lines.size() > 1 && lines[1].contains("interfaces")) << json(lines).dump();
    auto link = std::find_if(
        lines[1]["interfaces"].begin(), lines[1]["interfaces"].end(),
        [](const json& entry) { return entry["name"] == "btw" + std::to_string(getpid()); });
    ASSERT_NE(link, lines[1]["interfaces"].end()) << lines[1].dump();
    EXPECT_EQ((*link)["kind"], "wifi");
    EXPECT_EQ((*link)["reason"], "rule line 2 of " + (world.scratch / "interfaces").string());
    uint64_t lastSeq = 0;
    auto seen = usageTotals(lines, &lastSeq);
    ASSERT_EQ(seen.size(), 6u) << json(lines).dump() << "\n" << logText();
    EXPECT_LE(bytesOf(seen, "curl/wifi"), uint64_t(curlPayload * 1.03));
    EXPECT_LE(bytesOf(seen, "wget/wifi"), uint64_t(wgetPayload * 1.03));
    EXPECT_GE(bytesOf(seen, "org.example.Short/wifi"), uint64_t(shortPayload));
    EXPECT_GE(bytesOf(seen, "org.example.Browser/wifi"), uint64_t(browserPayload));
    EXPECT_LE(bytesOf(seen, "org.example.Browser/wifi"), uint64_t(browserPayload * 1.03));
    EXPECT_LE(bytesOf(seen, "packagekit/wifi"), uint64_t(servicePayload * 1.03));
    EXPECT_LE(bytesOf(seen, "org.bytarn.OtherUsers/wifi"), uint64_t(mailPayload * 1.03));

    auto helperLog = logText();
    auto absence = helperLog.find(
        "metered networks (a phone's hotspot, USB tethering) are not "
        "detected");
    EXPECT_NE(absence, std::string::npos) << helperLog;
    EXPECT_EQ(helperLog.find("metered networks", absence + 1), std::string::npos) << helperLog;
    EXPECT_NE(helperLog.find("name them cellular in " + (world.scratch / "interfaces").string()),
              std::string::npos)
        << helperLog;

    // A second client of the same uid is refused while the first is connected, but told the
    // interfaces first; one that watches the interfaces only gets no deltas either way.
    int second = connectToHelper(socketPath);
    auto refusal = readHelperLines(second, 2, [](const auto& got) { return got.size() >= 3; });
    close(second);
    ASSERT_EQ(refusal.size(), 3u);
    EXPECT_TRUE(refusal[1].contains("interfaces"));
    EXPECT_TRUE(refusal[2].contains("error"));
    int watcher = connectToHelper(socketPath);
    // Refused (it may be accepted before its line arrives), the helper may already have closed.
    (void)!send(watcher, "interfaces\n", 11, MSG_NOSIGNAL);
    auto watched = readHelperLines(watcher, 1, [](const auto&) { return false; });
    close(watcher);
    ASSERT_GE(watched.size(), 2u);
    EXPECT_TRUE(watched[1].contains("interfaces"));
    EXPECT_TRUE(usageTotals(watched).empty()) << json(watched).dump();

    // Nothing acknowledged: reconnecting hands over the same deltas again, same epoch and seqs.
    close(root);
    root = connectToHelper(socketPath);
    uint64_t resentSeq = 0;
    auto resent = readHelperLines(root, 3, [&](const auto& got) {
        uint64_t seq = 0;
        usageTotals(got, &seq);
        return seq >= lastSeq;
    });
    ASSERT_FALSE(resent.empty());
    EXPECT_EQ(usageTotals(resent, &resentSeq), seen);
    EXPECT_EQ(resentSeq, lastSeq);
    EXPECT_EQ(resent[0]["epoch"], lines[0]["epoch"]);
    // Acknowledged: not sent again.
    std::string ack =
        "ack " + lines[0]["epoch"].get<std::string>() + " " + std::to_string(lastSeq) + "\n";
    ASSERT_EQ(send(root, ack.data(), ack.size(), MSG_NOSIGNAL), ssize_t(ack.size()));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    close(root);
    root = connectToHelper(socketPath);
    auto afterAck = readHelperLines(root, 0.5, [](const auto&) { return false; });
    close(root);
    EXPECT_TRUE(usageTotals(afterAck).empty()) << json(afterAck).dump();

    // nobody: its own Mail, the system service, and root's applications as one total.
    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    pid_t nobody = world.spawn([&] {
        close(pipeFds[0]);
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(121);
        int fd = connectToHelper(socketPath);
        if (fd < 0) _exit(122);
        std::string text;
        auto enough = [](const std::vector<json>& got) {
            return atLeast("org.example.Mail/wifi", mailPayload)(got) &&
                   atLeast("packagekit/wifi", servicePayload)(got) &&
                   atLeast("org.bytarn.OtherUsers/wifi", rootPayload)(got);
        };
        for (const auto& line : readHelperLines(fd, 5, enough)) text += line.dump() + "\n";
        (void)!write(pipeFds[1], text.data(), text.size());
    });
    close(pipeFds[1]);
    std::string received;
    char chunk[4096];
    for (ssize_t count; (count = read(pipeFds[0], chunk, sizeof chunk)) > 0;)
        received.append(chunk, count);
    close(pipeFds[0]);
    ASSERT_TRUE(world.reap(nobody)) << "nobody's client failed";
    std::vector<json> nobodyLines;
    std::istringstream in(received);
    for (std::string line; std::getline(in, line);) nobodyLines.push_back(json::parse(line));
    ASSERT_FALSE(nobodyLines.empty());
    EXPECT_EQ(nobodyLines[0]["uid"], 65534);
    auto nobodySeen = usageTotals(nobodyLines);
    ASSERT_EQ(nobodySeen.size(), 3u) << received;
    EXPECT_GE(bytesOf(nobodySeen, "org.example.Mail/wifi"), uint64_t(mailPayload));
    EXPECT_LE(bytesOf(nobodySeen, "org.example.Mail/wifi"), uint64_t(mailPayload * 1.03));
    EXPECT_EQ(bytesOf(nobodySeen, "packagekit/wifi"), bytesOf(seen, "packagekit/wifi"));
    // Root's four applications, summed: every byte root saw of its own, and no name of them.
    EXPECT_EQ(bytesOf(nobodySeen, "org.bytarn.OtherUsers/wifi"),
              bytesOf(seen, "curl/wifi") + bytesOf(seen, "wget/wifi") +
                  bytesOf(seen, "org.example.Short/wifi") +
                  bytesOf(seen, "org.example.Browser/wifi"));
}
