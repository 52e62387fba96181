// Tunnels: which interfaces are tunnels, which link carries each, and how much of its holders'
// traffic on that link the tunnel's own bytes take away. The kernel side of user-space tunnels is
// tried for real in TunnelEndToEndTest; in-kernel tunnels (WireGuard, ipip, gre) are not in the
// test machines' kernels, so their parts are tried here only.
#include "trafficd/accounting/TunnelAccounting.h"
#include "trafficd/networks/Tunnels.h"

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <map>

using namespace bytarn::trafficd;
namespace fs = std::filesystem;

TEST(TrafficdTunnels, TunnelsAreFoundAndEachTakesTheRightCarrier) {
    // sysfs and rtnetlink facts to tunnel or not.
    fs::path root = fs::temp_directory_path() / ("trafficd-tunnels-" + std::to_string(getpid()));
    struct Device {
        const char *name, *file, *content, *kind;
        std::optional<TunnelType> type;
    };
    const Device devices[] = {
        {"tun0", "tun_flags", "0x1001\n", "", TunnelType::userSpace},
        {"tap-vm", "tun_flags", "0x1002\n", "", std::nullopt},  // has a master: a bridge port
        {"wg0", "uevent", "DEVTYPE=wireguard\nINTERFACE=wg0\n", "", TunnelType::inKernel},
        {"ipip0", "type", "768\n", "", TunnelType::inKernel},
        {"gre1", "type", "778\n", "", TunnelType::inKernel},
        {"gretap1", "type", "1\n", "gretap", TunnelType::inKernel},  // Ethernet-typed
        {"eth0", "type", "1\n", "veth", std::nullopt},
        {"wwan0", "type", "519\n", "", std::nullopt},
    };
    for (const auto& device : devices) {
        fs::create_directories(root / device.name);
        std::ofstream(root / device.name / device.file) << device.content;
    }
    fs::create_directory_symlink("../br0", root / "tap-vm" / "master");
    for (const auto& device : devices)
        EXPECT_EQ(tunnelTypeOf(root / device.name, device.kind), device.type) << device.name;
    fs::remove_all(root);

    // /proc/PID/cgroup: the v2 line to the end (a cgroup name may hold a newline).
    EXPECT_EQ(cgroupOfProcText("0::/system.slice/vpn.service\n"), "/system.slice/vpn.service");
    EXPECT_EQ(cgroupOfProcText("12:cpu:/x\n0::/user.slice/a\nb\n"), "/user.slice/a\nb");
    EXPECT_EQ(cgroupOfProcText("12:cpu:/x\n"), std::nullopt);

    // Tunnel 9; links 2 (Wi-Fi), 3 (cellular), 7 (another tunnel).
    auto tunnelLinks = [](unsigned link) { return link == 7 || link == 9; };
    struct Case {
        const char* what;
        CarrierFacts facts;
        std::optional<unsigned> carrier;
        std::string_view how;
    };
    const Case cases[] = {
        {"a VPN program: where its holders send most",
         {TunnelType::userSpace, 3, {}, {}, {2}},
         3,
         "holder"},
        {"a VPN program that sent nothing yet: the default route",
         {TunnelType::userSpace, {}, {}, {}, {2, 3}},
         2,
         "default route"},
        {"a VPN program whose holders send only into the tunnel",
         {TunnelType::userSpace, 9, {}, {}, {3}},
         3,
         "default route"},
        {"bound to a link", {TunnelType::inKernel, 2, 3, {2}, {2}}, 3, "bound"},
        {"the first peer with a route",
         {TunnelType::inKernel, {}, {}, {std::nullopt, 3, 2}, {2}},
         3,
         "peer route"},
        {"a peer reached through another tunnel",
         {TunnelType::inKernel, {}, {}, {7}, {2}},
         7,
         "peer route"},
        {"no peer: the default route past the tunnels' own",
         {TunnelType::inKernel, {}, {}, {}, {9, 7, 3}},
         3,
         "default route"},
        {"nothing at all", {TunnelType::inKernel, {}, {}, {9}, {7}}, std::nullopt, "none"},
    };
    for (const auto& test : cases) {
        auto carrier = chooseCarrier(9, test.facts, tunnelLinks);
        EXPECT_EQ(carrier.ifindex, test.carrier) << test.what;
        EXPECT_EQ(carrier.how, test.how) << test.what;
    }
}

// Tunnel 9 over carrier 3, held by program 7 in cgroup 100, which also holds curl (program 5)
// and sockets older than the helper (program 0); cgroup 200 is an application, cgroup 300 another
// program on the carrier.
TEST(TrafficdTunnels, TheHoldersKeepOnlyTheOverheadNeverBelowZeroAndLateBytesComeNext) {
    constexpr uint16_t in = BYTARN_DIRECTION_IN, out = BYTARN_DIRECTION_OUT;
    const std::vector<TunnelOverCarrier> tunnels{{9, 3, {100}, {7}}};
    struct Row {
        uint64_t cgroup;
        uint16_t program;
        unsigned ifindex;
        uint16_t direction;
        uint64_t growth;
        uint64_t expected;  // its total after the round, alone in it
    };
    struct Round {
        const char* what;
        std::vector<Row> rows;
    };
    const Round rounds[] = {
        {"the app's bytes come off the VPN program's, direction by direction; nobody else's",
         {{200, 1, 9, out, 1000, 1000},
          {200, 1, 9, in, 5000, 5000},
          {100, 5, 3, out, 300, 300},
          {100, 7, 3, out, 1056, 56},
          {100, 7, 3, in, 5100, 100},
          {300, 7, 3, out, 700, 700},
          {100, 7, 2, out, 400, 400}}},
        {"over its rows and then unknown programs', never below 0, never curl's",
         {{200, 1, 9, out, 3000, 3000},
          {100, 7, 3, out, 1000, 0},
          {100, 5, 3, out, 900, 900},
          {100, 0, 3, out, 1500, 0}}},
        // The 500 bytes the last round could not place come first; 700 of this round's are left.
        {"a reading between the app's packet and the VPN's: taken in the next round",
         {{200, 1, 9, out, 1000, 1000}, {100, 7, 3, out, 800, 0}}},
        {"what the last round owed, and no more", {{100, 7, 3, out, 1500, 800}}},
        {"nothing owed any more", {{100, 7, 3, out, 900, 900}}},
    };
    CarriedOwed owed;
    for (const auto& round : rounds) {
        std::vector<uint64_t> totals;
        for (const auto& row : round.rows) totals.push_back(row.growth);
        std::vector<CountedRow> counted;
        for (size_t i = 0; i < round.rows.size(); ++i) {
            const auto& row = round.rows[i];
            counted.push_back(
                {{row.cgroup, row.ifindex, row.direction, row.program}, row.growth, &totals[i]});
        }
        takeCarriedBytes(tunnels, counted, owed);
        for (size_t i = 0; i < round.rows.size(); ++i)
            EXPECT_EQ(totals[i], round.rows[i].expected) << round.what << ", row " << i;
    }
}

// In-kernel tunnels as InterfaceKinds sees them, with rtnetlink and WireGuard's answers stood in
// (no such tunnels in the test machines' kernels): wg0's peer is routed, with its firewall mark,
// over wlan0; gre1 is bound to wwan0; ipip2's peer has no route, so the default route decides,
// past the route into wg0 that a VPN installs.
TEST(TrafficdTunnels, InKernelTunnelsTakeTheKindOfTheLinkToTheirPeer) {
    fs::path root = fs::temp_directory_path() / ("trafficd-kernel-" + std::to_string(getpid()));
    const std::map<unsigned, std::string> names{{2, "wlan0"}, {3, "wwan0"}, {4, "eth0"},
                                                {5, "wg0"},   {6, "gre1"},  {7, "ipip2"}};
    fs::create_directories(root / "wlan0" / "wireless");
    fs::create_directories(root / "wwan0");
    std::ofstream(root / "wwan0" / "uevent") << "DEVTYPE=wwan\n";
    fs::create_directories(root / "eth0");
    fs::create_directories(root / "wg0");
    std::ofstream(root / "wg0" / "uevent") << "DEVTYPE=wireguard\n";
    fs::create_directories(root / "gre1");
    std::ofstream(root / "gre1" / "type") << "778\n";
    fs::create_directories(root / "ipip2");
    std::ofstream(root / "ipip2" / "type") << "768\n";

    IpAddress wgPeer{AF_INET, {192, 0, 2, 7}}, ipipPeer{AF_INET, {198, 51, 100, 9}};
    std::vector<std::pair<std::array<uint8_t, 16>, uint32_t>> routesAsked;
    TunnelProbe probe;
    probe.link = [&](unsigned ifindex) -> std::optional<LinkFacts> {
        if (ifindex == 5) return LinkFacts{"wg0", "wireguard", {}, {}};
        if (ifindex == 6) return LinkFacts{"gre1", "gre", {}, 3};
        if (ifindex == 7) return LinkFacts{"ipip2", "ipip", ipipPeer, {}};
        return LinkFacts{names.at(ifindex), "", {}, {}};
    };
    probe.holders = [] { return std::vector<TunHolder>{}; };
    probe.wireGuard = [&](unsigned) { return RouteNetlink::WireGuardPeers{{wgPeer}, 51820}; };
    probe.routeTo = [&](const IpAddress& address, uint32_t mark) -> std::optional<unsigned> {
        routesAsked.emplace_back(address.bytes, mark);
        // Without the mark, the peer's route leads into the tunnel, as wg-quick sets it up.
        if (address.bytes == wgPeer.bytes) return mark == 51820 ? 2u : 5u;
        return std::nullopt;
    };
    probe.defaultRoutes = [] { return std::vector<unsigned>{5, 4}; };
    InterfaceKinds kinds(
        {}, root,
        [&](unsigned ifindex) -> std::optional<std::string> {
            auto found = names.find(ifindex);
            return found == names.end() ? std::nullopt : std::optional(found->second);
        },
        [&] { return std::vector<std::pair<unsigned, std::string>>(names.begin(), names.end()); },
        probe);
    kinds.refresh();
    std::map<std::string, InterfaceClass> classes;
    for (const auto& listed : kinds.list()) classes[listed.name] = listed.classed;
    EXPECT_EQ(classes["wg0"], (InterfaceClass{InterfaceKind::wifi, "tunnel over wlan0"}));
    EXPECT_EQ(classes["gre1"], (InterfaceClass{InterfaceKind::cellular, "tunnel over wwan0"}));
    EXPECT_EQ(classes["ipip2"], (InterfaceClass{InterfaceKind::unknown, "tunnel over eth0"}));
    EXPECT_EQ(classes["wlan0"].reason, "Wi-Fi (sysfs)");
    EXPECT_EQ(kinds.kindOf(5), InterfaceKind::wifi);
    EXPECT_NE(std::find(routesAsked.begin(), routesAsked.end(), std::pair(wgPeer.bytes, 51820u)),
              routesAsked.end());
    EXPECT_EQ(kinds.tunnels().size(), 3u);
    fs::remove_all(root);
}
