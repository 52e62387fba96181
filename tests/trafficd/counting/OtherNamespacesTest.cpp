// Sockets of other network namespaces against the real kernel, in a world of three namespaces the
// test builds and removes itself: the counters' own (the host's), a peer joined to it by a veth
// link, and a third one joined only to the peer. A socket of another namespace never counts,
// whether it created its connection, accepted it, or existed before the counters were loaded;
// traffic between the host and the peer counts once, on the host's socket.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <map>
#include <set>

#include "support/TrafficWorld.h"
#include "trafficd/counting/KernelCounters.h"

using bytarn::trafficd::CounterReading;
using bytarn::trafficd::KernelCounters;

namespace {

constexpr uint16_t kPort = 7023;
constexpr size_t kMiB = 1 << 20;

uint64_t cgroupId(const std::filesystem::path& directory) {
    struct stat status {};
    return stat(directory.c_str(), &status) == 0 ? status.st_ino : 0;
}

// The calling (forked) process moves into scope and namespace, named program.
void enter(const TrafficWorld& world, const std::string& scope, const std::string& netns,
           const std::string& program) {
    prctl(PR_SET_NAME, program.c_str());
    std::ofstream(world.cgroupRoot / scope / "cgroup.procs") << getpid() << std::flush;
    int fd = open(("/run/netns/" + netns).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) _exit(120);
    close(fd);
}

sockaddr_in addressOf(const std::string& address, uint16_t port) {
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    inet_pton(AF_INET, address.c_str(), &to.sin_addr);
    return to;
}

// A child that says one byte on `told` at each step and waits for one on `orders` where asked.
struct Child {
    int orders = -1, told = -1;
    pid_t pid = -1;

    Child(TrafficWorld& world, const std::function<void(int orders, int told)>& body) {
        int toChild[2], fromChild[2];
        if (pipe2(toChild, O_CLOEXEC) != 0 || pipe2(fromChild, O_CLOEXEC) != 0) return;
        pid = world.spawn([&] { body(toChild[0], fromChild[1]); });
        close(toChild[0]);
        close(fromChild[1]);
        orders = toChild[1];
        told = fromChild[0];
    }
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    ~Child() {
        if (orders >= 0) close(orders);
        if (told >= 0) close(told);
    }
    bool heard() const {
        char byte;
        return read(told, &byte, 1) == 1;
    }
    bool order() const { return write(orders, "g", 1) == 1; }
};

// A TCP server named program: listens, says so, serves `connections` connections one after
// another (each read to its end), says so, and keeps listening until its orders close.
Child server(TrafficWorld& world, const std::string& scope, const std::string& netns,
             const std::string& program, const std::string& address, int connections) {
    return Child(world, [&](int orders, int told) {
        enter(world, scope, netns, program);
        int listener = socket(AF_INET, SOCK_STREAM, 0);
        auto at = addressOf(address, kPort);
        if (bind(listener, reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
            listen(listener, 4) != 0 || write(told, "l", 1) != 1)
            _exit(1);
        std::vector<char> buffer(64 * 1024);
        for (int i = 0; i < connections; ++i) {
            int connection = accept(listener, nullptr, nullptr);
            while (connection >= 0 && read(connection, buffer.data(), buffer.size()) > 0) {
            }
            close(connection);
        }
        char byte;
        if (write(told, "d", 1) != 1 || read(orders, &byte, 1) != 0) _exit(1);
    });
}

// A TCP client named program sends `bytes` to address and waits for the server to close.
bool sendOverTcp(TrafficWorld& world, const std::string& scope, const std::string& netns,
                 const std::string& program, const std::string& address, size_t bytes) {
    return world.reap(world.spawn([&] {
        enter(world, scope, netns, program);
        int fd = socket(AF_INET, SOCK_STREAM, 0);
        auto to = addressOf(address, kPort);
        if (connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) _exit(1);
        std::vector<char> chunk(64 * 1024, 'x');
        for (size_t sent = 0; sent < bytes;) {
            ssize_t count = write(fd, chunk.data(), std::min(chunk.size(), bytes - sent));
            if (count <= 0) _exit(1);
            sent += size_t(count);
        }
        shutdown(fd, SHUT_WR);
        while (read(fd, chunk.data(), chunk.size()) > 0) {
        }
    }));
}

// A UDP socket made now, which sends `datagrams` datagrams to address when ordered.
Child udpSocketMadeNow(TrafficWorld& world, const std::string& scope, const std::string& netns,
                       const std::string& address, int datagrams) {
    return Child(world, [&](int orders, int told) {
        enter(world, scope, netns, "bt-early");
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        char byte;
        if (write(told, "m", 1) != 1 || read(orders, &byte, 1) != 1) _exit(1);
        auto to = addressOf(address, 9);
        std::string datagram(TrafficWorld::kDatagram, 'x');
        for (int i = 0; i < datagrams; ++i)
            if (sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to),
                       sizeof to) != TrafficWorld::kDatagram)
                _exit(1);
        if (write(told, "s", 1) != 1) _exit(1);
    });
}

// The third namespace and its link to the peer's, removed even when a check failed.
struct ThirdNamespace {
    std::string name;
    explicit ThirdNamespace(const std::string& tag) : name("btdq" + tag) {}
    ~ThirdNamespace() { TrafficWorld::run("ip netns del " + name); }
    bool linkTo(const std::string& peer, const std::string& tag) {
        std::string near = "btq" + tag, far = "btr" + tag;
        return TrafficWorld::run("ip netns add " + name) == 0 &&
               TrafficWorld::run("ip link add " + near + " netns " + peer +
                                 " type veth peer name " + far + " netns " + name) == 0 &&
               TrafficWorld::run("ip -n " + peer + " addr add 10.217.0.1/24 dev " + near) == 0 &&
               TrafficWorld::run("ip -n " + name + " addr add 10.217.0.2/24 dev " + far) == 0 &&
               TrafficWorld::run("ip -n " + peer + " link set " + near + " up") == 0 &&
               TrafficWorld::run("ip -n " + name + " link set " + far + " up") == 0;
    }
};

// packetNetns false: as on a kernel whose cgroup_skb programs cannot tell a packet's namespace,
// where connections accepted from older listeners are placed by a sock_ops program instead.
void checkNamespaces(bool packetNetns) {
    TrafficWorld world("trafficd-netns");
    // Each socket's scope tells whose bytes a reading holds.
    const std::map<std::string, std::string> scopes{
        {"host client", "app.slice/app-org.example.Client-1.scope"},
        {"host server", "system.slice/host-server.service"},
        {"peer server", "system.slice/peer-server.service"},
        {"peer client", "system.slice/peer-client.service"},
        {"third server", "system.slice/third-server.service"},
        {"host early", "system.slice/host-early.service"},
        {"peer early", "system.slice/peer-early.service"},
    };
    for (const auto& [who, scope] : scopes) world.addScope(scope);
    const std::string peer = world.addLink("btn", 216), host = "10.216.0.1", third = "10.217.0.2";
    ThirdNamespace thirdNamespace(world.tag);
    ASSERT_TRUE(world.ok() && thirdNamespace.linkTo(world.nsPeer, world.tag))
        << "could not build the test's namespaces, links and cgroups";
    InNamespace helperNamespace(world.nsHelper);
    ASSERT_TRUE(helperNamespace.ok());

    // Sockets made before the counters have no recorded origin: two UDP sockets and the peer's
    // listener.
    Child hostEarly = udpSocketMadeNow(world, scopes.at("host early"), world.nsHelper, peer, 30);
    Child peerEarly = udpSocketMadeNow(world, scopes.at("peer early"), world.nsPeer, host, 30);
    Child peerServer = server(world, scopes.at("peer server"), world.nsPeer, "bt-peersrv", peer, 1);
    ASSERT_TRUE(hostEarly.heard() && peerEarly.heard() && peerServer.heard());
    KernelCounters counters(world.cgroupRoot, {}, BYTARN_TRAFFIC_MAX_ENTRIES, {}, packetNetns);

    // The host to a server in the peer; the peer to a server in the host, three times; the peer
    // to the third, never touching a host interface.
    Child hostServer =
        server(world, scopes.at("host server"), world.nsHelper, "bt-hostsrv", host, 3);
    Child thirdServer =
        server(world, scopes.at("third server"), thirdNamespace.name, "bt-thirdsrv", third, 1);
    ASSERT_TRUE(hostServer.heard() && thirdServer.heard());
    ASSERT_TRUE(
        sendOverTcp(world, scopes.at("host client"), world.nsHelper, "bt-client", peer, 10 * kMiB));
    for (int i = 0; i < 3; ++i)
        ASSERT_TRUE(
            sendOverTcp(world, scopes.at("peer client"), world.nsPeer, "bt-peercli", host, kMiB));
    ASSERT_TRUE(
        sendOverTcp(world, scopes.at("peer client"), world.nsPeer, "bt-peercli", third, 10 * kMiB));
    ASSERT_TRUE(peerServer.heard() && hostServer.heard() && thirdServer.heard());
    ASSERT_TRUE(hostEarly.order() && peerEarly.order() && hostEarly.heard() && peerEarly.heard());

    // Bytes and program names per scope, over both directions and every interface.
    std::map<std::string, uint64_t> bytes;
    std::map<std::string, std::set<std::string>> programs;
    for (const auto& reading : counters.read())
        for (const auto& [who, scope] : scopes)
            if (reading.key.cgroup_id == cgroupId(world.cgroupRoot / scope)) {
                bytes[who] += reading.bytes;
                programs[who].insert(reading.program);
            }
    // Each payload once: at least itself, at most 5% above it (headers, acknowledgements).
    const std::map<std::string, uint64_t> payloads{
        {"host client", 10 * kMiB}, {"host server", 3 * kMiB}, {"host early", 30'000}};
    for (const auto& [who, payload] : payloads) {
        EXPECT_GE(bytes[who], payload) << who;
        EXPECT_LE(bytes[who], payload * 105 / 100) << who;
    }
    for (const auto& who : {"peer client", "third server"})
        EXPECT_EQ(bytes[who], 0u) << who << " is a socket of another namespace";
    if (packetNetns) {
        EXPECT_EQ(bytes["peer server"], 0u) << "a listener older than the counters";
        EXPECT_EQ(bytes["peer early"], 0u) << "a socket older than the counters";
    } else {
        // The older listener's own handshake packets count there, never what it accepted.
        EXPECT_LE(bytes["peer server"], 1000u);
    }

    // Accepted sockets count under the program that listened, and only the listening socket
    // holds its program's number: closing the accepted ones leaves it one live socket.
    EXPECT_EQ(programs["host server"], std::set<std::string>{"bt-hostsrv"});
    EXPECT_EQ(counters.socketsOf("bt-hostsrv"), 1);
}

}  // namespace

TEST(TrafficdKernelCounters, SocketsOfOtherNamespacesNeverCountAndLocalLinksCountOnce) {
    if (auto missing = trafficWorldUnavailable()) GTEST_SKIP() << *missing;
    for (bool packetNetns : {true, false}) {
        SCOPED_TRACE(packetNetns ? "packets tell their namespace"
                                 : "as on a kernel whose packets do not tell their namespace");
        checkNamespaces(packetNetns);
    }
}
