// The kernel's counters against the real kernel, with a table of a single slot, in a world the
// test builds and removes itself. A key's slot goes back to the table only after it was taken
// from the key, and a socket that still remembers the slot never counts into the slot's next key.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/TrafficWorld.h"
#include "trafficd/counting/KernelCounters.h"

using bytarn::trafficd::CounterReading;
using bytarn::trafficd::KernelCounters;

namespace {

const std::string firstScope = "app.slice/app-org.example.First-1.scope";
const std::string secondScope = "app.slice/app-org.example.Second-2.scope";

uint64_t cgroupId(const std::filesystem::path& directory) {
    struct stat status {};
    return stat(directory.c_str(), &status) == 0 ? status.st_ino : 0;
}

// The readings of one cgroup; at most one is expected (one link, one direction).
std::vector<CounterReading> readingsOf(const std::vector<CounterReading>& readings, uint64_t id) {
    std::vector<CounterReading> found;
    for (const auto& reading : readings)
        if (reading.key.cgroup_id == id) found.push_back(reading);
    return found;
}

// A process in a scope that keeps one UDP socket and, for each byte n written to `orders`, sends
// n datagrams through it to `peer`, then answers with a byte on `sent`.
struct LingeringSender {
    int orders = -1, sent = -1;
    pid_t pid = -1;

    LingeringSender(TrafficWorld& world, const std::string& scope, const std::string& peer) {
        int toChild[2], fromChild[2];
        if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) return;
        pid = world.spawn([&] {
            std::ofstream(world.cgroupRoot / scope / "cgroup.procs") << getpid() << std::flush;
            int fd = socket(AF_INET, SOCK_DGRAM, 0);
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(9);
            inet_pton(AF_INET, peer.c_str(), &to.sin_addr);
            std::string datagram(TrafficWorld::kDatagram, 'x');
            unsigned char count = 0;
            while (read(toChild[0], &count, 1) == 1) {
                for (int i = 0; i < count; ++i)
                    if (sendto(fd, datagram.data(), datagram.size(), 0,
                               reinterpret_cast<sockaddr*>(&to),
                               sizeof to) != TrafficWorld::kDatagram)
                        _exit(1);
                if (write(fromChild[1], "s", 1) != 1) _exit(1);
            }
        });
        close(toChild[0]);
        close(fromChild[1]);
        orders = toChild[1];
        sent = fromChild[0];
    }
    ~LingeringSender() {
        if (orders >= 0) close(orders);
        if (sent >= 0) close(sent);
    }

    bool send(unsigned char datagrams) const {
        char answer;
        return write(orders, &datagrams, 1) == 1 && read(sent, &answer, 1) == 1;
    }
};

// At least the payload, at most 3% above it (UDP and IP headers).
void expectPayload(const std::vector<CounterReading>& readings, uint64_t payload) {
    ASSERT_EQ(readings.size(), 1u);
    EXPECT_GE(readings[0].bytes, payload);
    EXPECT_LE(readings[0].bytes, payload * 103 / 100);
}

}  // namespace

TEST(TrafficdKernelCounters, ASlotTakenFromItsKeyIsFreedOnceAndNeverCountsForItsNextKey) {
    if (auto missing = trafficWorldUnavailable()) GTEST_SKIP() << *missing;
    TrafficWorld world("trafficd-slots");
    for (const auto& scope : {firstScope, secondScope}) world.addScope(scope);
    auto peer = world.addLink("bts", 212);
    ASSERT_TRUE(world.ok()) << "could not build the test's namespaces, links and cgroups";
    InNamespace helperNamespace(world.nsHelper);
    ASSERT_TRUE(helperNamespace.ok());
    const uint64_t first = cgroupId(world.cgroupRoot / firstScope);
    const uint64_t second = cgroupId(world.cgroupRoot / secondScope);
    const uint64_t datagram = TrafficWorld::kDatagram;

    KernelCounters counters(world.cgroupRoot, {}, 1);
    LingeringSender lingering(world, firstScope, peer);
    ASSERT_TRUE(lingering.send(5));
    auto readings = counters.read();
    expectPayload(readingsOf(readings, first), 5 * datagram);

    // Taken from its key: the key is gone at once, the slot free from the next reading on.
    counters.remove(readingsOf(readings, first).at(0).key);
    EXPECT_TRUE(counters.read().empty());
    ASSERT_TRUE(world.sendFrom(secondScope, {{peer, 3}}));
    readings = counters.read();
    EXPECT_TRUE(readingsOf(readings, first).empty());
    expectPayload(readingsOf(readings, second), 3 * datagram);
    const uint64_t secondBytes = readingsOf(readings, second).at(0).bytes;

    // The first socket still remembers the slot; with no slot free its bytes go uncounted, and
    // never into the second key's count.
    ASSERT_TRUE(lingering.send(4));
    readings = counters.read();
    EXPECT_TRUE(readingsOf(readings, first).empty());
    ASSERT_EQ(readingsOf(readings, second).size(), 1u);
    EXPECT_EQ(readingsOf(readings, second)[0].bytes, secondBytes);

    // Once the second key lets the slot go, the first key starts again from zero in it.
    counters.remove(readingsOf(readings, second).at(0).key);
    counters.read();
    ASSERT_TRUE(lingering.send(2));
    readings = counters.read();
    EXPECT_TRUE(readingsOf(readings, second).empty());
    expectPayload(readingsOf(readings, first), 2 * datagram);
}
