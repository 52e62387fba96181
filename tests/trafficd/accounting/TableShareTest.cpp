// Each user's share of the kernel's tables, against the real kernel in a world the test builds:
// one user floods the counters and the program names from many scopes, another user's new scope
// is still counted exactly, the flood itself is counted whole under a coarse key, and the names
// go back once nothing uses them.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "support/TrafficWorld.h"
#include "trafficd/accounting/TrafficAccounting.h"

using namespace bytarn::trafficd;

namespace {

const std::string attackerApps = "user.slice/user-1001.slice/user@1001.service/app.slice/";
const std::string victimScope =
    "user.slice/user-1002.slice/user@1002.service/app.slice/app-gnome-org.example.Victim-1.scope";
constexpr int floodScopes = 40, namesPerScope = 3;
// A datagram of TrafficWorld::kDatagram bytes leaves as an IP packet 28 bytes longer.
constexpr uint64_t packetBytes = TrafficWorld::kDatagram + 28;

uint64_t total(const UsageBytes& bytes) {
    uint64_t sum = 0;
    for (const auto& [key, count] : bytes) sum += count;
    return sum;
}

}  // namespace

TEST(TrafficdTableShares, AFloodingUserKeepsToItsShareAndAnotherUsersNewScopeIsCountedExactly) {
    if (auto missing = trafficWorldUnavailable()) GTEST_SKIP() << *missing;
    TrafficWorld world("trafficd-shares");
    for (int i = 0; i < floodScopes; ++i)
        world.addScope(attackerApps + "flood-" + std::to_string(i) + ".scope");
    world.addScope(victimScope);
    auto peer = world.addLink("bts", 213);
    ASSERT_TRUE(world.ok()) << "could not build the test's namespaces, links and cgroups";
    InNamespace helperNamespace(world.nsHelper);
    ASSERT_TRUE(helperNamespace.ok());

    auto mount = *findCgroup2Mount();
    CgroupDirectory cgroups(mount, world.cgroupRoot);
    TableShares shares;  // buckets: <root>/user.slice/user-<UID>.slice
    shares.bucketLevel = 2;
    for (const auto& component : world.cgroupRoot.lexically_relative(mount))
        if (component != ".") ++shares.bucketLevel;
    shares.keys = 16;
    shares.names = 8;
    // 64 slots: without shares the flood's 120 keys would take every one.
    KernelCounters counters(
        world.cgroupRoot, [&](uint64_t id, std::string path) { cgroups.learn(id, path); }, 64,
        shares);
    counters.programPassEvery = 1;
    InterfaceKinds interfaces({{"bts*", InterfaceKind::cellular, "a rule of the test"}},
                              "/nonexistent");
    TrafficAccounting accounting;

    // The flood: one datagram from each of 3 new program names in each of 40 new scopes.
    pid_t flood = world.spawn([&] {
        world.joinHelperNamespace();
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(9);
        inet_pton(AF_INET, peer.c_str(), &to.sin_addr);
        std::string datagram(TrafficWorld::kDatagram, 'x');
        for (int scope = 0; scope < floodScopes; ++scope) {
            std::ofstream(world.cgroupRoot /
                          (attackerApps + "flood-" + std::to_string(scope) + ".scope") /
                          "cgroup.procs")
                << getpid() << std::flush;
            for (int name = 0; name < namesPerScope; ++name) {
                prctl(PR_SET_NAME, ("f" + std::to_string(scope * namesPerScope + name)).c_str());
                int fd = socket(AF_INET, SOCK_DGRAM, 0);
                if (sendto(fd, datagram.data(), datagram.size(), 0,
                           reinterpret_cast<sockaddr*>(&to), sizeof to) != TrafficWorld::kDatagram)
                    _exit(1);
                close(fd);
            }
        }
    });
    ASSERT_TRUE(world.reap(flood));
    ASSERT_TRUE(world.sendFrom(victimScope, {{peer, 7}}, "victim"));

    auto round = accounting.account(counters.read(), cgroups, interfaces);
    EXPECT_EQ(round.users[1002],
              (UsageBytes{{{"org.example.Victim", "cellular"}, 7 * packetBytes}}));
    EXPECT_EQ(total(round.users[1001]), floodScopes * namesPerScope * packetBytes)
        << "the flood past its share is counted, not lost";
    EXPECT_GT((round.users[1001][{TrafficAccounting::otherPrograms, "cellular"}]), 0u);
    EXPECT_LE(round.users[1001].size(), 16u + 1) << "its share, and its one coarse key";
    EXPECT_LE(counters.programsHeld(), 8u + 1) << "its share of names, and the victim's";

    // The flood's scopes go: their counters are deleted, then their names, a pass later their
    // numbers, and the user's share is whole again.
    for (int i = 0; i < floodScopes; ++i)
        rmdir(
            (world.cgroupRoot / (attackerApps + "flood-" + std::to_string(i) + ".scope")).c_str());
    for (int pass = 0; pass < 3; ++pass) {
        auto gone = accounting.account(counters.read(), cgroups, interfaces);
        for (const auto& key : gone.idleAndGone) counters.remove(key);
    }
    EXPECT_EQ(counters.programsHeld(), 1u) << "only the victim's, which its counter still uses";
    world.addScope(attackerApps + "later.scope");
    ASSERT_TRUE(world.sendFrom(attackerApps + "later.scope", {{peer, 2}}, "later"));
    round = accounting.account(counters.read(), cgroups, interfaces);
    EXPECT_EQ(round.users[1001], (UsageBytes{{{"later", "cellular"}, 2 * packetBytes}}));
}
