#include "trafficd/networks/Tunnels.h"

#include <arpa/inet.h>
#include <libmnl/libmnl.h>
#include <linux/genetlink.h>
#include <linux/if_link.h>
#include <linux/if_tunnel.h>
#include <linux/rtnetlink.h>
#include <linux/wireguard.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <charconv>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>

namespace bytarn::trafficd {

namespace fs = std::filesystem;

namespace {

// ARPHRD_* values from linux/if_arp.h: the link types of the ip tunnels.
constexpr long tunnelTypes[] = {768 /* TUNNEL */, 769 /* TUNNEL6 */, 776 /* SIT */, 778 /* IPGRE */,
                                823 /* IP6GRE */};

// rtnetlink kinds of in-kernel tunnels whose link type does not tell (Ethernet-typed ones) or
// that the link type names too.
constexpr std::string_view inKernelKinds[] = {"wireguard", "ipip",      "gre",    "gretap",
                                              "sit",       "ip6tnl",    "ip6gre", "ip6gretap",
                                              "erspan",    "ip6erspan", "vti",    "vti6"};

// At most this much of a small /proc or sysfs file: enough for every line read here.
std::string readSmall(const fs::path& file, size_t limit = 4096) {
    std::ifstream in(file, std::ios::binary);
    std::string text(limit, '\0');
    in.read(text.data(), static_cast<std::streamsize>(limit));
    text.resize(static_cast<size_t>(in.gcount()));
    return text;
}

std::optional<ino_t> inodeOf(const fs::path& path) {
    struct stat status {};
    if (::stat(path.c_str(), &status) != 0) return std::nullopt;
    return status.st_ino;
}

// One request and its answers over a netlink socket of its own, closed afterwards.
class NetlinkRequest {
  public:
    explicit NetlinkRequest(int bus) : socket_(mnl_socket_open(bus), mnl_socket_close) {
        if (socket_ && mnl_socket_bind(socket_.get(), 0, MNL_SOCKET_AUTOPID) != 0) socket_.reset();
    }
    // Sends the message and hands each answer to callback (libmnl's convention: MNL_CB_OK to go
    // on). False when the kernel answered with an error or could not be reached.
    bool run(nlmsghdr* message, mnl_cb_t callback, void* data) {
        if (!socket_) return false;
        message->nlmsg_seq = ++sequence_;
        if (mnl_socket_sendto(socket_.get(), message, message->nlmsg_len) < 0) return false;
        unsigned port = mnl_socket_get_portid(socket_.get());
        // Room for the largest message the kernel sends a dump (libmnl's advice for dumps).
        std::vector<char> buffer(32768);
        for (;;) {
            auto length = mnl_socket_recvfrom(socket_.get(), buffer.data(), buffer.size());
            if (length <= 0) return false;
            int result = mnl_cb_run(buffer.data(), static_cast<size_t>(length), sequence_, port,
                                    callback, data);
            if (result == MNL_CB_STOP) return true;
            if (result == MNL_CB_ERROR) return false;
            if (!(message->nlmsg_flags & NLM_F_DUMP)) return true;
        }
    }

  private:
    std::unique_ptr<mnl_socket, int (*)(mnl_socket*)> socket_;
    unsigned sequence_ = static_cast<unsigned>(::getpid());
};

std::optional<IpAddress> addressOf(const nlattr* attribute) {
    auto length = mnl_attr_get_payload_len(attribute);
    if (length != 4 && length != 16) return std::nullopt;
    IpAddress address;
    address.family = length == 4 ? AF_INET : AF_INET6;
    std::memcpy(address.bytes.data(), mnl_attr_get_payload(attribute), length);
    // 0.0.0.0 or :: : a tunnel without a fixed peer.
    if (std::all_of(address.bytes.begin(), address.bytes.end(), [](uint8_t b) { return !b; }))
        return std::nullopt;
    return address;
}

std::optional<IpAddress> addressOfSockaddr(const nlattr* attribute) {
    auto length = mnl_attr_get_payload_len(attribute);
    const auto* payload = static_cast<const char*>(mnl_attr_get_payload(attribute));
    IpAddress address;
    if (length >= sizeof(sockaddr_in) &&
        reinterpret_cast<const sockaddr*>(payload)->sa_family == AF_INET) {
        sockaddr_in in{};
        std::memcpy(&in, payload, sizeof in);
        address.family = AF_INET;
        std::memcpy(address.bytes.data(), &in.sin_addr, 4);
        return address;
    }
    if (length >= sizeof(sockaddr_in6) &&
        reinterpret_cast<const sockaddr*>(payload)->sa_family == AF_INET6) {
        sockaddr_in6 in6{};
        std::memcpy(&in6, payload, sizeof in6);
        address.family = AF_INET6;
        std::memcpy(address.bytes.data(), &in6.sin6_addr, 16);
        return address;
    }
    return std::nullopt;
}

// The attributes of one nesting level by type, up to max.
struct Attributes {
    std::vector<const nlattr*> byType;
    explicit Attributes(unsigned max) : byType(max + 1, nullptr) {}
    static int collect(const nlattr* attribute, void* data) {
        auto* self = static_cast<Attributes*>(data);
        auto type = mnl_attr_get_type(attribute);
        if (type < self->byType.size()) self->byType[type] = attribute;
        return MNL_CB_OK;
    }
    const nlattr* operator[](unsigned type) const {
        return type < byType.size() ? byType[type] : nullptr;
    }
};

int readLink(const nlmsghdr* message, void* data) {
    auto* facts = static_cast<LinkFacts*>(data);
    Attributes top(IFLA_MAX);
    mnl_attr_parse(message, sizeof(ifinfomsg), Attributes::collect, &top);
    if (top[IFLA_IFNAME]) facts->name = mnl_attr_get_str(top[IFLA_IFNAME]);
    if (!top[IFLA_LINKINFO]) return MNL_CB_OK;
    Attributes info(IFLA_INFO_MAX);
    mnl_attr_parse_nested(top[IFLA_LINKINFO], Attributes::collect, &info);
    if (info[IFLA_INFO_KIND]) facts->kind = mnl_attr_get_str(info[IFLA_INFO_KIND]);
    if (!info[IFLA_INFO_DATA]) return MNL_CB_OK;
    // Each family of tunnels numbers its peer and bound link attributes its own way.
    unsigned linkType = 0, remoteType = 0, max = 0;
    const std::string& kind = facts->kind;
    if (kind == "ipip" || kind == "sit" || kind == "ip6tnl")
        linkType = IFLA_IPTUN_LINK, remoteType = IFLA_IPTUN_REMOTE, max = IFLA_IPTUN_MAX;
    else if (kind.find("gre") != std::string::npos || kind.find("erspan") != std::string::npos)
        linkType = IFLA_GRE_LINK, remoteType = IFLA_GRE_REMOTE, max = IFLA_GRE_MAX;
    else if (kind == "vti" || kind == "vti6")
        linkType = IFLA_VTI_LINK, remoteType = IFLA_VTI_REMOTE, max = IFLA_VTI_MAX;
    else
        return MNL_CB_OK;
    Attributes tunnel(max);
    mnl_attr_parse_nested(info[IFLA_INFO_DATA], Attributes::collect, &tunnel);
    if (tunnel[remoteType]) facts->remote = addressOf(tunnel[remoteType]);
    if (tunnel[linkType] && mnl_attr_get_payload_len(tunnel[linkType]) == 4)
        if (auto bound = mnl_attr_get_u32(tunnel[linkType])) facts->boundLink = bound;
    return MNL_CB_OK;
}

struct DefaultRoute {
    uint32_t metric;
    int family;
    unsigned link;
};

int readDefaultRoute(const nlmsghdr* message, void* data) {
    auto* routes = static_cast<std::vector<DefaultRoute>*>(data);
    const auto* route = static_cast<const rtmsg*>(mnl_nlmsg_get_payload(message));
    if (route->rtm_dst_len != 0 || route->rtm_type != RTN_UNICAST) return MNL_CB_OK;
    Attributes attributes(RTA_MAX);
    mnl_attr_parse(message, sizeof(rtmsg), Attributes::collect, &attributes);
    uint32_t table =
        attributes[RTA_TABLE] ? mnl_attr_get_u32(attributes[RTA_TABLE]) : route->rtm_table;
    if (table != RT_TABLE_MAIN) return MNL_CB_OK;
    unsigned link = 0;
    if (attributes[RTA_OIF]) {
        link = mnl_attr_get_u32(attributes[RTA_OIF]);
    } else if (attributes[RTA_MULTIPATH] &&
               mnl_attr_get_payload_len(attributes[RTA_MULTIPATH]) >= sizeof(rtnexthop)) {
        // Several next hops: the first one's link.
        link = static_cast<const rtnexthop*>(mnl_attr_get_payload(attributes[RTA_MULTIPATH]))
                   ->rtnh_ifindex;
    }
    if (!link) return MNL_CB_OK;
    uint32_t metric = attributes[RTA_PRIORITY] ? mnl_attr_get_u32(attributes[RTA_PRIORITY]) : 0;
    routes->push_back({metric, route->rtm_family, link});
    return MNL_CB_OK;
}

int readRouteLink(const nlmsghdr* message, void* data) {
    Attributes attributes(RTA_MAX);
    mnl_attr_parse(message, sizeof(rtmsg), Attributes::collect, &attributes);
    if (attributes[RTA_OIF])
        *static_cast<std::optional<unsigned>*>(data) = mnl_attr_get_u32(attributes[RTA_OIF]);
    return MNL_CB_OK;
}

int readFamilyId(const nlmsghdr* message, void* data) {
    Attributes attributes(CTRL_ATTR_MAX);
    mnl_attr_parse(message, sizeof(genlmsghdr), Attributes::collect, &attributes);
    if (attributes[CTRL_ATTR_FAMILY_ID])
        *static_cast<uint16_t*>(data) = mnl_attr_get_u16(attributes[CTRL_ATTR_FAMILY_ID]);
    return MNL_CB_OK;
}

int readWireGuardDevice(const nlmsghdr* message, void* data) {
    auto* peers = static_cast<RouteNetlink::WireGuardPeers*>(data);  // the answer
    Attributes device(WGDEVICE_A_MAX);
    mnl_attr_parse(message, sizeof(genlmsghdr), Attributes::collect, &device);
    if (device[WGDEVICE_A_FWMARK]) peers->fwmark = mnl_attr_get_u32(device[WGDEVICE_A_FWMARK]);
    if (!device[WGDEVICE_A_PEERS]) return MNL_CB_OK;
    // Each peer is a nested attribute of its own (libmnl's for_each_nested is C, not C++).
    auto* list = device[WGDEVICE_A_PEERS];
    const auto* end =
        reinterpret_cast<const char*>(mnl_attr_get_payload(list)) + mnl_attr_get_payload_len(list);
    for (auto* peer = static_cast<const nlattr*>(mnl_attr_get_payload(list));
         mnl_attr_ok(peer, static_cast<int>(end - reinterpret_cast<const char*>(peer)));
         peer = mnl_attr_next(peer)) {
        Attributes fields(WGPEER_A_MAX);
        mnl_attr_parse_nested(peer, Attributes::collect, &fields);
        if (fields[WGPEER_A_ENDPOINT])
            if (auto endpoint = addressOfSockaddr(fields[WGPEER_A_ENDPOINT]))
                peers->endpoints.push_back(*endpoint);
    }
    return MNL_CB_OK;
}

}  // namespace

std::optional<TunnelType> tunnelTypeOf(const fs::path& device, std::string_view kind) {
    std::error_code error;
    if (fs::exists(device / "tun_flags", error) || kind == "tun") {
        if (fs::exists(fs::symlink_status(device / "master", error)))
            return std::nullopt;  // a bridge's or bond's port
        return TunnelType::userSpace;
    }
    if (std::find(std::begin(inKernelKinds), std::end(inKernelKinds), kind) !=
        std::end(inKernelKinds))
        return TunnelType::inKernel;
    std::istringstream uevent(readSmall(device / "uevent"));
    for (std::string line; std::getline(uevent, line);)
        if (line == "DEVTYPE=wireguard") return TunnelType::inKernel;
    long type = -1;
    auto text = readSmall(device / "type", 32);
    std::from_chars(text.data(), text.data() + text.size(), type);
    if (std::find(std::begin(tunnelTypes), std::end(tunnelTypes), type) != std::end(tunnelTypes))
        return TunnelType::inKernel;
    return std::nullopt;
}

std::optional<std::string> cgroupOfProcText(std::string_view text) {
    size_t at = text.starts_with("0::") ? 0 : text.find("\n0::");
    if (at == std::string_view::npos) return std::nullopt;
    if (at != 0) ++at;
    auto path = text.substr(at + 3);
    if (path.ends_with('\n')) path.remove_suffix(1);
    if (!path.starts_with('/')) return std::nullopt;
    return std::string(path);
}

std::vector<TunHolder> findTunHolders(const fs::path& proc) {
    std::vector<TunHolder> holders;
    auto ownNamespace = inodeOf(proc / "self" / "ns" / "net");
    std::error_code error;
    for (fs::directory_iterator process(proc, error), end; !error && process != end;
         process.increment(error)) {
        auto name = process->path().filename().string();
        pid_t pid = 0;
        auto [last, parsed] = std::from_chars(name.data(), name.data() + name.size(), pid);
        if (parsed != std::errc() || last != name.data() + name.size() || pid <= 0) continue;
        // Only tun devices of this namespace: the same name in a container is another device.
        if (!ownNamespace || inodeOf(process->path() / "ns" / "net") != ownNamespace) continue;
        std::vector<std::string> interfaces;
        std::error_code fdError;
        for (fs::directory_iterator fd(process->path() / "fd", fdError), fdEnd;
             !fdError && fd != fdEnd; fd.increment(fdError)) {
            std::error_code linkError;
            if (fs::read_symlink(fd->path(), linkError) != "/dev/net/tun") continue;
            std::istringstream info(readSmall(process->path() / "fdinfo" / fd->path().filename()));
            for (std::string line; std::getline(info, line);)
                if (line.starts_with("iff:")) {
                    auto interface = line.substr(line.find_first_not_of(" \t", 4));
                    if (!interface.empty() && interface.size() < 16 &&
                        std::find(interfaces.begin(), interfaces.end(), interface) ==
                            interfaces.end())
                        interfaces.push_back(interface);
                }
        }
        if (interfaces.empty()) continue;
        auto cgroup = cgroupOfProcText(readSmall(process->path() / "cgroup", 8192));
        if (!cgroup) continue;
        auto program = readSmall(process->path() / "comm", 64);
        if (program.ends_with('\n')) program.pop_back();
        for (auto& interface : interfaces) holders.push_back({pid, interface, *cgroup, program});
    }
    return holders;
}

std::optional<LinkFacts> RouteNetlink::link(unsigned ifindex) {
    NetlinkRequest request(NETLINK_ROUTE);
    std::vector<char> buffer(MNL_SOCKET_BUFFER_SIZE);
    auto* message = mnl_nlmsg_put_header(buffer.data());
    message->nlmsg_type = RTM_GETLINK;
    message->nlmsg_flags = NLM_F_REQUEST;
    auto* header = static_cast<ifinfomsg*>(mnl_nlmsg_put_extra_header(message, sizeof(ifinfomsg)));
    header->ifi_family = AF_UNSPEC;
    header->ifi_index = static_cast<int>(ifindex);
    mnl_attr_put_u32(message, IFLA_EXT_MASK, RTEXT_FILTER_SKIP_STATS);
    LinkFacts facts;
    if (!request.run(message, readLink, &facts) || facts.name.empty()) return std::nullopt;
    return facts;
}

std::optional<unsigned> RouteNetlink::routeTo(const IpAddress& address, uint32_t mark) {
    NetlinkRequest request(NETLINK_ROUTE);
    std::vector<char> buffer(MNL_SOCKET_BUFFER_SIZE);
    auto* message = mnl_nlmsg_put_header(buffer.data());
    message->nlmsg_type = RTM_GETROUTE;
    message->nlmsg_flags = NLM_F_REQUEST;
    auto* route = static_cast<rtmsg*>(mnl_nlmsg_put_extra_header(message, sizeof(rtmsg)));
    route->rtm_family = static_cast<unsigned char>(address.family);
    route->rtm_dst_len = address.family == AF_INET ? 32 : 128;
    mnl_attr_put(message, RTA_DST, address.family == AF_INET ? 4 : 16, address.bytes.data());
    if (mark) mnl_attr_put_u32(message, RTA_MARK, mark);
    std::optional<unsigned> link;
    if (!request.run(message, readRouteLink, &link)) return std::nullopt;
    return link;
}

std::vector<unsigned> RouteNetlink::defaultRouteLinks() {
    std::vector<DefaultRoute> routes;
    for (int family : {AF_INET, AF_INET6}) {
        NetlinkRequest request(NETLINK_ROUTE);
        std::vector<char> buffer(MNL_SOCKET_BUFFER_SIZE);
        auto* message = mnl_nlmsg_put_header(buffer.data());
        message->nlmsg_type = RTM_GETROUTE;
        message->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
        auto* route = static_cast<rtmsg*>(mnl_nlmsg_put_extra_header(message, sizeof(rtmsg)));
        route->rtm_family = static_cast<unsigned char>(family);
        request.run(message, readDefaultRoute, &routes);
    }
    // Lowest metric first; IPv4 before IPv6 at equal metrics (dumped in that order).
    std::stable_sort(
        routes.begin(), routes.end(),
        [](const DefaultRoute& a, const DefaultRoute& b) { return a.metric < b.metric; });
    std::vector<unsigned> links;
    for (const auto& route : routes) links.push_back(route.link);
    return links;
}

std::optional<RouteNetlink::WireGuardPeers> RouteNetlink::wireGuardPeers(unsigned ifindex) {
    NetlinkRequest request(NETLINK_GENERIC);
    std::vector<char> buffer(MNL_SOCKET_BUFFER_SIZE);
    // The family's number first (the kernel assigns it when the module loads).
    auto* message = mnl_nlmsg_put_header(buffer.data());
    message->nlmsg_type = GENL_ID_CTRL;
    message->nlmsg_flags = NLM_F_REQUEST;
    auto* generic =
        static_cast<genlmsghdr*>(mnl_nlmsg_put_extra_header(message, sizeof(genlmsghdr)));
    generic->cmd = CTRL_CMD_GETFAMILY;
    generic->version = 1;
    mnl_attr_put_strz(message, CTRL_ATTR_FAMILY_NAME, WG_GENL_NAME);
    uint16_t family = 0;
    if (!request.run(message, readFamilyId, &family) || !family) return std::nullopt;

    std::fill(buffer.begin(), buffer.end(), 0);
    message = mnl_nlmsg_put_header(buffer.data());
    message->nlmsg_type = family;
    message->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;  // the device command is a dump only
    generic = static_cast<genlmsghdr*>(mnl_nlmsg_put_extra_header(message, sizeof(genlmsghdr)));
    generic->cmd = WG_CMD_GET_DEVICE;
    generic->version = WG_GENL_VERSION;
    mnl_attr_put_u32(message, WGDEVICE_A_IFINDEX, ifindex);
    WireGuardPeers peers;
    if (!request.run(message, readWireGuardDevice, &peers)) return std::nullopt;
    return peers;
}

Carrier chooseCarrier(unsigned tunnel, const CarrierFacts& facts,
                      const std::function<bool(unsigned)>& isTunnelLink) {
    auto usable = [&](std::optional<unsigned> link) { return link && *link && *link != tunnel; };
    if (facts.type == TunnelType::userSpace) {
        if (usable(facts.holdersSendMost)) return {facts.holdersSendMost, "holder"};
    } else {
        if (usable(facts.boundLink)) return {facts.boundLink, "bound"};
        for (const auto& route : facts.peerRoutes)
            if (usable(route)) return {route, "peer route"};
    }
    for (unsigned link : facts.defaultRoutes)
        if (usable(link) && !isTunnelLink(link)) return {link, "default route"};
    return {std::nullopt, "none"};
}

}  // namespace bytarn::trafficd
