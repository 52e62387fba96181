// Forwarded traffic against the real kernel, as root, in a world the test builds: the helper's
// namespace routes between a peer namespace and a far one (ip_forward there only), over links of
// different kinds, and bridges two more links (br_netfilter shows bridged frames to the routed
// hook as well). Each path's bytes land once, under the right kind; an ignored link ranks
// nothing, so the other side's kind counts; the tables are the helper's and go with it.
#include <gtest/gtest.h>

#include <nftables/libnftables.h>
#include <sstream>

#include "support/TrafficWorld.h"
#include "trafficd/Log.h"
#include "trafficd/accounting/ForwardAccounting.h"

using namespace bytarn::trafficd;

namespace {

// A datagram of TrafficWorld::kDatagram bytes is an IP packet 28 bytes longer.
constexpr uint64_t packetBytes = TrafficWorld::kDatagram + 28;

// Runs an nft command in this thread's network namespace; its output, nullopt on failure. Plain
// text: libnftables 1.0.6 reads freed memory printing an owned table's flags as JSON.
std::optional<std::string> nft(const std::string& command) {
    nft_ctx* context = nft_ctx_new(NFT_CTX_DEFAULT);
    nft_ctx_buffer_output(context);
    nft_ctx_buffer_error(context);
    std::optional<std::string> output;
    if (nft_run_cmd_from_buffer(context, command.c_str()) == 0)
        output = nft_ctx_get_output_buffer(context);
    nft_ctx_free(context);
    return output;
}

// The tables of this thread's network namespace, as "family name" ("table inet x" lines).
std::vector<std::string> tables() {
    std::vector<std::string> names;
    std::istringstream lines(nft("list tables").value_or(""));
    for (std::string line; std::getline(lines, line);)
        if (line.starts_with("table ")) names.push_back(line.substr(6));
    return names;
}

bool hasTable(const std::string& table) {
    auto names = tables();
    return std::find(names.begin(), names.end(), table) != names.end();
}

// A namespace beyond the helper's, removed by the destructor (its links with it).
struct FarNamespace {
    std::string name;
    explicit FarNamespace(std::string tag) : name("btdf" + std::move(tag)) {
        TrafficWorld::run("ip netns add " + name);
    }
    ~FarNamespace() { TrafficWorld::run("ip netns del " + name); }
};

}  // namespace

TEST(TrafficdForwardCounters, RoutedAndBridgedBytesCountOnceUnderTheRankedKind) {
    if (auto missing = trafficWorldUnavailable()) GTEST_SKIP() << *missing;
    TrafficWorld world("trafficd-forward");
    FarNamespace far(world.tag);
    const auto& tag = world.tag;
    auto in = [&](const std::string& ns, const std::string& command) {
        return "ip netns exec " + ns + " " + command;
    };
    // A veth link from the helper's namespace to peerNs: its end here gets an address, or
    // "master BRIDGE" for a port of the bridge here.
    auto link = [&](const std::string& name, const std::string& peerNs, const std::string& here,
                    const std::string& there) {
        std::string ours = name + tag, theirs = "btq" + name.substr(3) + tag;
        std::string setHere = here.starts_with("master ") ? "link set " + ours + " " + here
                                                          : "addr add " + here + " dev " + ours;
        return "ip link add " + ours + " netns " + world.nsHelper + " type veth peer name " +
               theirs + " netns " + peerNs + " && ip -n " + world.nsHelper + " " + setHere +
               " && ip -n " + peerNs + " addr add " + there + " dev " + theirs + " && ip -n " +
               world.nsHelper + " link set " + ours + " up && ip -n " + peerNs + " link set " +
               theirs + " up";
    };
    std::string noIpv6 =
        "sysctl -qw net.ipv6.conf.all.disable_ipv6=1 net.ipv6.conf.default.disable_ipv6=1";
    // No IPv6: its multicast (router solicitations, MLD) would cross the bridge uninvited.
    // Routed: peer -> btfw (Wi-Fi) -> helper -> btfc (cellular) or btfi (ignored) -> far.
    // Bridged: the peer's 10.218.0.2 and the far 10.218.0.3 behind ports btfx (other) and btfy
    // (Wi-Fi) of the helper's bridge btfb.
    bool ok =
        world.ok() &&
        TrafficWorld::run(
            in(world.nsHelper, noIpv6) + " && " + in(world.nsPeer, noIpv6) + " && " +
            in(far.name, noIpv6) + " && " +
            link("btfw", world.nsPeer, "10.215.0.1/24", "10.215.0.2/24") + " && " +
            link("btfc", far.name, "10.216.0.1/24", "10.216.0.2/24") + " && " +
            link("btfi", far.name, "10.217.0.1/24", "10.217.0.2/24") + " && " +
            in(world.nsHelper, "sysctl -qw net.ipv4.ip_forward=1") + " && ip -n " + world.nsPeer +
            " route add 10.216.0.0/15 via 10.215.0.1 && ip -n " + far.name +
            " route add 10.215.0.0/24 via 10.216.0.1 && ip -n " + world.nsHelper +
            " link add btfb" + tag + " type bridge && ip -n " + world.nsHelper + " link set btfb" +
            tag + " up && " + link("btfx", world.nsPeer, "master btfb" + tag, "10.218.0.2/24") +
            " && " + link("btfy", far.name, "master btfb" + tag, "10.218.0.3/24")) == 0;
    // Where br_netfilter is there, bridged frames pass the routed forward hook too.
    bool bridgeNetfilter =
        TrafficWorld::run(in(world.nsHelper, "sysctl -qw net.bridge.bridge-nf-call-iptables=1")) ==
        0;
    ASSERT_TRUE(ok) << "could not build the test's namespaces, links, routes and bridge";

    // A receiver in the far namespace, so that no ICMP error comes back.
    int ready[2];
    ASSERT_EQ(pipe(ready), 0);
    world.spawn([&] {
        int fd = open(("/run/netns/" + far.name).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) _exit(120);
        int sock = socket(AF_INET, SOCK_DGRAM, 0);
        int size = 1 << 22;
        setsockopt(sock, SOL_SOCKET, SO_RCVBUFFORCE, &size, sizeof size);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_port = htons(9);
        if (bind(sock, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0) _exit(121);
        (void)!write(ready[1], "r", 1);
        pause();
    });
    char byte;
    ASSERT_EQ(read(ready[0], &byte, 1), 1);
    close(ready[0]);
    close(ready[1]);

    InNamespace helperNamespace(world.nsHelper);
    ASSERT_TRUE(helperNamespace.ok());
    // A stale table of the same name (made by hand, or by a helper without owned tables) gives
    // way: an owned table cannot be made over it.
    ASSERT_TRUE(nft("add table inet bytarn_trafficd { comment \"stale\"; }"));
    setLogCapture(true);
    auto counters = std::make_unique<ForwardCounters>();
    auto startLog = takeCapturedLog();
    if (!counters->countsRouted()) GTEST_SKIP() << "no nf_tables here: " << startLog.at(0);
    EXPECT_TRUE(counters->countsBridged());
    EXPECT_TRUE(startLog.empty()) << startLog.at(0);

    InterfaceKinds interfaces({{"btfw*", InterfaceKind::wifi, "rule 1"},
                               {"btfc*", InterfaceKind::cellular, "rule 2"},
                               {"btfi*", InterfaceKind::ignore, "rule 3"},
                               {"btfy*", InterfaceKind::wifi, "rule 4"}},
                              "/nonexistent");
    ForwardAccounting accounting;
    accounting.account(counters->read(), interfaces);  // whatever crossed while it was built

    constexpr int toCellular = 30, toIgnored = 20, bridged = 40;
    pid_t sender = world.spawn([&] {
        int fd = open(("/run/netns/" + world.nsPeer).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) _exit(120);
        int sock = socket(AF_INET, SOCK_DGRAM, 0);
        std::string datagram(TrafficWorld::kDatagram, 'x');
        for (const auto& [address, count] :
             {std::pair{"10.216.0.2", toCellular}, std::pair{"10.217.0.2", toIgnored},
              std::pair{"10.218.0.3", bridged}}) {
            sockaddr_in to{};
            to.sin_family = AF_INET;
            to.sin_port = htons(9);
            inet_pton(AF_INET, address, &to.sin_addr);
            for (int i = 0; i < count; ++i)
                if (sendto(sock, datagram.data(), datagram.size(), 0,
                           reinterpret_cast<sockaddr*>(&to), sizeof to) != TrafficWorld::kDatagram)
                    _exit(1);
        }
    });
    ASSERT_TRUE(world.reap(sender));
    std::this_thread::sleep_for(std::chrono::milliseconds(200));  // the last ones through

    auto round = accounting.account(counters->read(), interfaces);
    // Wi-Fi to cellular: cellular. Wi-Fi to the ignored link: Wi-Fi, ranked by the side that
    // has a kind. Bridged from an "other" port to a Wi-Fi one: Wi-Fi, once, even where
    // br_netfilter shows it to the routed hook.
    EXPECT_EQ(round.bytesByKind,
              (std::map<std::string, uint64_t>{{"cellular", toCellular * packetBytes},
                                               {"wifi", (toIgnored + bridged) * packetBytes}}))
        << (bridgeNetfilter ? "with" : "without") << " br_netfilter";
    EXPECT_TRUE(round.gone.empty());

    // The cellular link goes: its elements come back as gone once, with nothing new, and are
    // deleted, so the set keeps only elements of interfaces that exist.
    ASSERT_EQ(TrafficWorld::run("ip -n " + world.nsHelper + " link del btfc" + tag), 0);
    round = accounting.account(counters->read(), interfaces);
    EXPECT_TRUE(round.bytesByKind.empty());
    ASSERT_FALSE(round.gone.empty());
    for (const auto& element : round.gone) counters->remove(element);
    for (const auto& element : counters->read()) EXPECT_FALSE(element.interfaceGone);

    // The tables are the helper's: there while it runs, gone when it stops.
    EXPECT_TRUE(hasTable("inet bytarn_trafficd"));
    EXPECT_TRUE(hasTable("bridge bytarn_trafficd"));
    counters.reset();
    EXPECT_TRUE(tables().empty());

    // A killed helper leaves no table behind (the kernel deletes a table its owner's socket
    // took with it), and one without the right to change nftables runs on, saying why.
    int made[2];
    ASSERT_EQ(pipe(made), 0);
    pid_t killed = world.spawn([&] {
        ForwardCounters owned;
        if (owned.countsRouted() && hasTable("inet bytarn_trafficd")) (void)!write(made[1], "m", 1);
        kill(getpid(), SIGKILL);
    });
    world.reap(killed);
    close(made[1]);
    EXPECT_EQ(read(made[0], &byte, 1), 1) << "the killed helper never had its tables";
    close(made[0]);
    EXPECT_TRUE(tables().empty());
    pid_t unprivileged = world.spawn([&] {
        if (setgid(65534) != 0 || setuid(65534) != 0) _exit(121);
        takeCapturedLog();
        ForwardCounters refused;
        auto log = takeCapturedLog();
        _exit(!refused.countsRouted() && !refused.countsBridged() && log.size() == 1 &&
                      log[0].find("forwarded traffic (routed and bridged) is not counted") !=
                          std::string::npos
                  ? 0
                  : 1);
    });
    EXPECT_TRUE(world.reap(unprivileged));
    setLogCapture(false);
}
