#include "trafficd/networks/Routes.h"

#include <libmnl/libmnl.h>
#include <linux/fib_rules.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <unistd.h>
#include <cstring>
#include <ctime>
#include <memory>

namespace bytarn::trafficd {

namespace {

// Dumps one request's answers into callback; false when the kernel could not be asked.
bool dump(mnl_socket* socket, uint16_t type, uint8_t family, mnl_cb_t callback, void* data) {
    char request[MNL_SOCKET_BUFFER_SIZE];
    nlmsghdr* message = mnl_nlmsg_put_header(request);
    message->nlmsg_type = type;
    message->nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message->nlmsg_seq = static_cast<unsigned>(std::time(nullptr));
    auto* header = static_cast<rtmsg*>(mnl_nlmsg_put_extra_header(message, sizeof(rtmsg)));
    header->rtm_family = family;
    if (mnl_socket_sendto(socket, message, message->nlmsg_len) < 0) return false;
    unsigned port = mnl_socket_get_portid(socket);
    std::vector<char> buffer(32768);
    for (;;) {
        auto length = mnl_socket_recvfrom(socket, buffer.data(), buffer.size());
        if (length <= 0) return false;
        int result = mnl_cb_run(buffer.data(), static_cast<size_t>(length), message->nlmsg_seq,
                                port, callback, data);
        if (result == MNL_CB_STOP) return true;
        if (result == MNL_CB_ERROR) return false;
    }
}

struct Collected {
    std::vector<const nlattr*> byType;
    explicit Collected(unsigned max) : byType(max + 1, nullptr) {}
    static int collect(const nlattr* attribute, void* data) {
        auto* self = static_cast<Collected*>(data);
        auto type = mnl_attr_get_type(attribute);
        if (type < self->byType.size()) self->byType[type] = attribute;
        return MNL_CB_OK;
    }
    const nlattr* operator[](unsigned type) const { return byType[type]; }
};

int readRoute(const nlmsghdr* message, void* data) {
    auto* tables = static_cast<RoutingTables*>(data);
    const auto* header = static_cast<const rtmsg*>(mnl_nlmsg_get_payload(message));
    Collected attributes(RTA_MAX);
    mnl_attr_parse(message, sizeof(rtmsg), Collected::collect, &attributes);
    uint32_t table =
        attributes[RTA_TABLE] ? mnl_attr_get_u32(attributes[RTA_TABLE]) : header->rtm_table;
    if (table != RT_TABLE_MAIN && table != RT_TABLE_LOCAL) return MNL_CB_OK;
    if (header->rtm_src_len != 0) {
        tables->policyRouting = true;  // a route chosen by source too
        return MNL_CB_OK;
    }
    Route route;
    route.family = header->rtm_family;
    route.length = header->rtm_dst_len;
    route.table = table;
    route.type = header->rtm_type;
    size_t width = route.family == AF_INET ? 4 : 16;
    if (attributes[RTA_DST]) {
        if (mnl_attr_get_payload_len(attributes[RTA_DST]) != width) return MNL_CB_OK;
        std::memcpy(route.prefix.data(), mnl_attr_get_payload(attributes[RTA_DST]), width);
    }
    if (attributes[RTA_PRIORITY]) route.metric = mnl_attr_get_u32(attributes[RTA_PRIORITY]);
    if (attributes[RTA_OIF]) route.interfaces.push_back(mnl_attr_get_u32(attributes[RTA_OIF]));
    if (const nlattr* multipath = attributes[RTA_MULTIPATH]) {
        const auto* next = static_cast<const rtnexthop*>(mnl_attr_get_payload(multipath));
        int left = mnl_attr_get_payload_len(multipath);
        while (left >= static_cast<int>(sizeof(rtnexthop)) && next->rtnh_len >= sizeof(rtnexthop) &&
               next->rtnh_len <= left) {
            route.interfaces.push_back(static_cast<unsigned>(next->rtnh_ifindex));
            left -= RTNH_ALIGN(next->rtnh_len);
            next = RTNH_NEXT(next);
        }
    }
    tables->routes.push_back(std::move(route));
    return MNL_CB_OK;
}

int readRule(const nlmsghdr* message, void* data) {
    auto* tables = static_cast<RoutingTables*>(data);
    const auto* header = static_cast<const fib_rule_hdr*>(mnl_nlmsg_get_payload(message));
    Collected attributes(FRA_MAX);
    mnl_attr_parse(message, sizeof(fib_rule_hdr), Collected::collect, &attributes);
    uint32_t table =
        attributes[FRA_TABLE] ? mnl_attr_get_u32(attributes[FRA_TABLE]) : header->table;
    uint32_t priority = attributes[FRA_PRIORITY] ? mnl_attr_get_u32(attributes[FRA_PRIORITY]) : 0;
    // The kernel's own three: local at 0, main at 32766, default at 32767, selecting nothing.
    bool standard = header->action == FR_ACT_TO_TBL && header->src_len == 0 &&
                    header->dst_len == 0 && !attributes[FRA_FWMARK] && !attributes[FRA_IFNAME] &&
                    ((priority == 0 && table == RT_TABLE_LOCAL) ||
                     (priority == 32766 && table == RT_TABLE_MAIN) ||
                     (priority == 32767 && table == RT_TABLE_DEFAULT));
    if (!standard) tables->policyRouting = true;
    return MNL_CB_OK;
}

}  // namespace

RoutingTables readRoutingTables() {
    RoutingTables tables;
    std::unique_ptr<mnl_socket, int (*)(mnl_socket*)> socket(mnl_socket_open(NETLINK_ROUTE),
                                                             mnl_socket_close);
    if (!socket || mnl_socket_bind(socket.get(), 0, MNL_SOCKET_AUTOPID) != 0) return tables;
    tables.read = dump(socket.get(), RTM_GETROUTE, AF_INET, readRoute, &tables) &&
                  dump(socket.get(), RTM_GETRULE, AF_INET, readRule, &tables);
    // A kernel without IPv6 answers its dumps with an error: it has no IPv6 routes then.
    if (tables.read && dump(socket.get(), RTM_GETROUTE, AF_INET6, readRoute, &tables))
        dump(socket.get(), RTM_GETRULE, AF_INET6, readRule, &tables);
    return tables;
}

}  // namespace bytarn::trafficd
