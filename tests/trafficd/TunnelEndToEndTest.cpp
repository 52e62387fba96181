// A user-space VPN against the real kernel, as root, in a world the test builds and removes: a
// tiny VPN program in a scope of its own holds a tun device and carries its packets over UDP,
// across a veth link the rules name cellular, to a peer namespace that answers each packet; an
// application sends through the tunnel and reads the answers. Its bytes land under cellular, the
// VPN program keeps only its 28 bytes a packet each way, and the tunnel is never a kind.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <fstream>
#include <thread>

#include "support/HelperClient.h"
#include "support/TestEnvironment.h"
#include "support/TrafficWorld.h"

using nlohmann::json;

namespace {

const std::string appScope =
    "user.slice/user-0.slice/user@0.service/app.slice/app-gnome-org.example.Browser-42.scope";
const std::string vpnScope = "system.slice/testvpn.service";
constexpr int kPackets = 40;
constexpr uint16_t kVpnPort = 5555;

void joinNamespace(const std::string& name) {
    int fd = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) _exit(120);
    close(fd);
}

sockaddr_in addressOf(const std::string& text, uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    inet_pton(AF_INET, text.c_str(), &address.sin_addr);
    return address;
}

}  // namespace

TEST(TrafficdTunnelEndToEnd, AVpnsApplicationsCountUnderItsCarrierAndTheVpnKeepsOnlyTheOverhead) {
    if (auto missing = trafficWorldUnavailable()) GTEST_SKIP() << *missing;
    if (access("/dev/net/tun", R_OK | W_OK) != 0) GTEST_SKIP() << "no /dev/net/tun";
    TrafficWorld world("trafficd-tunnel");
    world.addScope(appScope);
    world.addScope(vpnScope);
    auto peer = world.addLink("btc", 221);
    const std::string tunnel = "btt" + world.tag, carrier = "btc" + world.tag;
    ASSERT_TRUE(world.ok()) << "could not build the test's namespaces, links and cgroups";
    ASSERT_TRUE(world.startHelper("btc* cellular\n")) << readFile(world.helperLog());

    // The VPN's far end: answers each packet it is handed with the same packet turned round
    // (addresses and ports swapped, which leaves both checksums as they were).
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    world.spawn([&] {
        joinNamespace(world.nsPeer);
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        auto self = addressOf(peer, kVpnPort);
        if (bind(fd, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0) _exit(1);
        (void)!write(ready[1], "p", 1);
        for (char packet[2048];;) {
            sockaddr_in from{};
            socklen_t length = sizeof from;
            ssize_t size =
                recvfrom(fd, packet, sizeof packet, 0, reinterpret_cast<sockaddr*>(&from), &length);
            if (size < 28) continue;
            size_t header = (packet[0] & 0x0f) * 4;
            char swap[4];
            std::memcpy(swap, packet + 12, 4);
            std::memcpy(packet + 12, packet + 16, 4);
            std::memcpy(packet + 16, swap, 4);
            std::memcpy(swap, packet + header, 2);
            std::memcpy(packet + header, packet + header + 2, 2);
            std::memcpy(packet + header + 2, swap, 2);
            sendto(fd, packet, size, 0, reinterpret_cast<sockaddr*>(&from), length);
        }
    });
    // The VPN program: holds the tun device, carries IPv4 packets over UDP to the far end.
    world.spawn([&] {
        prctl(PR_SET_NAME, "testvpn");  // the name its carrier traffic is counted under
        std::ofstream(world.cgroupRoot / vpnScope / "cgroup.procs") << getpid() << std::flush;
        world.joinHelperNamespace();
        int device = open("/dev/net/tun", O_RDWR | O_CLOEXEC);
        ifreq request{};
        request.ifr_flags = IFF_TUN | IFF_NO_PI;
        std::strncpy(request.ifr_name, tunnel.c_str(), IFNAMSIZ - 1);
        if (device < 0 || ioctl(device, TUNSETIFF, &request) != 0) _exit(2);
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        auto far = addressOf(peer, kVpnPort);
        (void)!write(ready[1], "v", 1);
        pollfd both[2] = {{device, POLLIN, 0}, {fd, POLLIN, 0}};
        for (char packet[2048];;) {
            if (poll(both, 2, -1) <= 0) continue;
            if (both[0].revents) {
                ssize_t size = read(device, packet, sizeof packet);
                if (size > 0 && (packet[0] >> 4) == 4)  // not the IPv6 the link may start
                    sendto(fd, packet, size, 0, reinterpret_cast<sockaddr*>(&far), sizeof far);
            }
            if (both[1].revents) {
                ssize_t size = recv(fd, packet, sizeof packet, 0);
                if (size > 0) (void)!write(device, packet, size);
            }
        }
    });
    char started[2];
    ASSERT_EQ(read(ready[0], started, 1) + read(ready[0], started + 1, 1), 2);
    ASSERT_EQ(
        TrafficWorld::run("ip -n " + world.nsHelper + " addr add 10.231.0.1/24 dev " + tunnel +
                          " && ip -n " + world.nsHelper + " link set " + tunnel + " up"),
        0);

    // The application: kPackets datagrams through the tunnel, and their answers back.
    pid_t app = world.spawn([&] {
        std::ofstream(world.cgroupRoot / appScope / "cgroup.procs") << getpid() << std::flush;
        world.joinHelperNamespace();
        int fd = socket(AF_INET, SOCK_DGRAM, 0);
        timeval wait{3, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
        auto to = addressOf("10.231.0.2", 9);
        std::string datagram(TrafficWorld::kDatagram, 'x');
        char answer[2048];
        for (int i = 0; i < kPackets; ++i)
            if (sendto(fd, datagram.data(), datagram.size(), 0, reinterpret_cast<sockaddr*>(&to),
                       sizeof to) != TrafficWorld::kDatagram ||
                recv(fd, answer, sizeof answer, 0) != TrafficWorld::kDatagram)
                _exit(1);
    });
    ASSERT_TRUE(world.reap(app)) << "the application's datagrams did not come back through the VPN";

    const uint64_t inner = 2 * kPackets * (TrafficWorld::kDatagram + 28);  // both ways
    const uint64_t overhead = 2 * kPackets * 28;  // the VPN's own IP and UDP headers
    int client = connectToHelper(world.socketPath());
    ASSERT_GE(client, 0);
    auto lines = readHelperLines(client, 6, [&](const std::vector<json>& got) {
        auto sums = usageTotals(got);
        return sums["org.example.Browser/cellular"] >= inner && sums["testvpn/cellular"] > 0;
    });
    // One more reading, for anything counted late.
    auto more = readHelperLines(client, 1.5, [](const auto&) { return false; });
    lines.insert(lines.end(), more.begin(), more.end());
    close(client);
    auto sums = usageTotals(lines);
    auto shown = json(sums).dump() + "\n" + readFile(world.helperLog());

    // Every byte under cellular: the application's as it sent and received them, the VPN
    // program's carrier traffic less what it carried.
    ASSERT_EQ(sums.size(), 2u) << shown;
    EXPECT_EQ(sums["org.example.Browser/cellular"], inner) << shown;
    EXPECT_GE(sums["testvpn/cellular"], overhead) << shown;
    EXPECT_LE(sums["testvpn/cellular"], overhead + 2 * 1056) << shown;

    // The tunnel is reported with its carrier's kind and why, in the latest interfaces message.
    json interfaces;
    for (const auto& line : lines)
        if (line.contains("interfaces")) interfaces = line["interfaces"];
    auto found = std::find_if(interfaces.begin(), interfaces.end(),
                              [&](const json& entry) { return entry["name"] == tunnel; });
    ASSERT_NE(found, interfaces.end()) << interfaces.dump();
    EXPECT_EQ((*found)["kind"], "cellular");
    EXPECT_EQ((*found)["reason"], "tunnel over " + carrier);
}
