// Tunnel interfaces (a VPN program's tun, WireGuard, ip tunnels) are no network of their own:
// what crosses them also crosses the link that carries the tunnel. These are the facts the
// system gives about them: which interfaces are tunnels (sysfs, rtnetlink), who holds a
// user-space tunnel (/proc), where a tunnel's peers are and the routes to them (rtnetlink,
// WireGuard's generic netlink), and the choice of carrier made from them.
#pragma once

#include <sys/types.h>
#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace bytarn::trafficd {

enum class TunnelType {
    userSpace,  // tun or tap, held by a program that carries its packets over its own sockets
    inKernel,   // WireGuard and the ip tunnels (ipip, gre, sit, ip6tnl, ip6gre, vti, ...)
};

struct IpAddress {
    int family = 0;  // AF_INET or AF_INET6
    std::array<uint8_t, 16> bytes{};
};

// What rtnetlink tells of an interface: its name, its driver (IFLA_INFO_KIND) and, for the ip
// tunnels, the peer (IFLA_*_REMOTE) and the link the tunnel is bound to (IFLA_*_LINK).
struct LinkFacts {
    std::string name;
    std::string kind;
    std::optional<IpAddress> remote;
    std::optional<unsigned> boundLink;
};

// Whether an interface is a tunnel, from its sysfs directory and, when known, its rtnetlink
// kind: tun/tap (sysfs `tun_flags`) unless it is enslaved to a bridge or bond (`master`: a
// virtual machine's tap is a link, not a VPN); WireGuard (DEVTYPE=wireguard); the ip tunnels by
// link type (ARPHRD_TUNNEL, TUNNEL6, SIT, IPGRE, IP6GRE) or kind (gretap and the like are
// Ethernet-typed). nullopt: not a tunnel.
std::optional<TunnelType> tunnelTypeOf(const std::filesystem::path& device, std::string_view kind);

// A process that holds a tun/tap device of this network namespace, and its cgroup (relative to
// the cgroup2 mount, as /proc/PID/cgroup spells it).
struct TunHolder {
    pid_t pid;
    std::string interface;
    std::string cgroup;
    std::string program;  // its comm, as the counters name programs
};

// Every holder of a tun/tap device: the /proc/PID/fdinfo "iff:" lines of open /dev/net/tun
// descriptors, of processes in the helper's network namespace only (a tun of the same name in a
// container is another device). Needs ptrace access to the processes (root or CAP_SYS_PTRACE);
// the processes it cannot read are left out.
std::vector<TunHolder> findTunHolders(const std::filesystem::path& proc = "/proc");

// The cgroup v2 path in a /proc/PID/cgroup text (its "0::" line, to the end of the file: a
// cgroup's name may hold a newline); nullopt when there is none.
std::optional<std::string> cgroupOfProcText(std::string_view text);

// rtnetlink and WireGuard's generic netlink, a request at a time.
class RouteNetlink {
  public:
    // nullopt: no such interface, or netlink refused.
    static std::optional<LinkFacts> link(unsigned ifindex);
    // The link of the route the kernel would take to address (with firewall mark, when not 0).
    static std::optional<unsigned> routeTo(const IpAddress& address, uint32_t mark = 0);
    // The links of the main table's default routes (IPv4 and IPv6), best (lowest metric) first.
    static std::vector<unsigned> defaultRouteLinks();
    // A WireGuard interface's peers' endpoints and its firewall mark (its own packets carry it,
    // so that policy routing keeps them out of the tunnel).
    struct WireGuardPeers {
        std::vector<IpAddress> endpoints;
        uint32_t fwmark = 0;
    };
    static std::optional<WireGuardPeers> wireGuardPeers(unsigned ifindex);
};

// What a carrier is chosen from.
struct CarrierFacts {
    TunnelType type = TunnelType::userSpace;
    std::optional<unsigned> holdersSendMost;          // user space: where its holders sent most
    std::optional<unsigned> boundLink;                // in kernel: the link it is bound to
    std::vector<std::optional<unsigned>> peerRoutes;  // in kernel: each peer's route's link
    std::vector<unsigned> defaultRoutes;              // best first
};

struct Carrier {
    std::optional<unsigned> ifindex;  // nullopt: none found
    std::string_view how;             // "holder", "bound", "peer route", "default route"
};

// A user-space tunnel's carrier is the link its holders send most on; an in-kernel one's, the
// link it is bound to, else the first peer's route (which may be another tunnel: a VPN inside a
// VPN); failing those, the best default route that does not lead into a tunnel (isTunnelLink),
// as VPNs install. The tunnel itself is never its own carrier.
Carrier chooseCarrier(unsigned tunnel, const CarrierFacts& facts,
                      const std::function<bool(unsigned)>& isTunnelLink);

}  // namespace bytarn::trafficd
