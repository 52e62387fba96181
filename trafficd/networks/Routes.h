// The routes of the helper's network namespace, as the kernel answers a dump: enough to tell,
// for an address, which interface the main routing decision sends it out of. Facts only; what
// they mean for restrictions is restrictions/' to say.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace bytarn::trafficd {

struct Route {
    int family = 0;  // AF_INET or AF_INET6
    std::array<uint8_t, 16> prefix{};
    uint8_t length = 0;                // prefix length in bits
    uint32_t table = 0;                // RT_TABLE_MAIN or RT_TABLE_LOCAL
    uint8_t type = 0;                  // RTN_UNICAST, RTN_LOCAL, ...
    uint32_t metric = 0;               // RTA_PRIORITY
    std::vector<unsigned> interfaces;  // output interfaces (several for a multipath route)
};

struct RoutingTables {
    bool read = false;  // false: the kernel could not be asked
    // Rules beyond the default three (local, main, default), or routes by source: the main
    // table alone does not tell where a packet goes.
    bool policyRouting = false;
    std::vector<Route> routes;  // of the main and local tables, both families
};

RoutingTables readRoutingTables();

}  // namespace bytarn::trafficd
