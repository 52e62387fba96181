#include "trafficd/restrictions/CellularBlocking.h"

#include "trafficd/Log.h"
#include "trafficd/accounting/UserViews.h"
#include "trafficd/cgroups/ApplicationName.h"
#include "trafficd/cgroups/CgroupDirectory.h"
#include "trafficd/cgroups/CgroupIdentity.h"
#include "trafficd/counting/traffic.h"
#include "trafficd/networks/InterfaceKinds.h"
#include "trafficd/networks/Routes.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <linux/rtnetlink.h>
#include <sys/socket.h>
#include <cerrno>
#include <cstring>
#include <unordered_map>

namespace bytarn::trafficd {

BlockedSockets blockedSockets(const RestrictionPolicy& policy,
                              const std::vector<std::pair<uint64_t, std::string>>& cgroups,
                              const std::vector<std::pair<uint16_t, std::string>>& programs,
                              std::string_view countedRoot, CgroupNamesCache* cache) {
    BlockedSockets blocked;
    if (!policy.restrictsAnything()) return blocked;
    // Names as the views send them, so that a line names exactly what the user sees.
    std::unordered_map<std::string, std::vector<uint16_t>> programsByName;
    for (const auto& [number, comm] : programs)
        programsByName[unreservedName(cleanApplicationName(comm))].push_back(number);
    CgroupNamesCache local;
    if (!cache) cache = &local;
    CgroupNamesCache seen;
    for (const auto& [id, path] : cgroups) {
        auto known = cache->find(id);
        if (known == cache->end() || known->second.path != path) {
            // Any program's name shows whether the cgroup goes by its programs' names; with
            // none, its name for sockets of no known program.
            auto probe = identifyCgroup(path, "p", countedRoot);
            auto unnamed = identifyCgroup(path, "", countedRoot);
            known = cache
                        ->insert_or_assign(id, CgroupNames{path, probe.owner, probe.byProgram,
                                                           unreservedName(unnamed.app)})
                        .first;
        }
        const auto& names = seen.emplace(id, known->second).first->second;
        auto set = policy.sets().find(names.owner.value_or(0));
        if (set == policy.sets().end()) continue;
        const auto& [restricted, exempt, paused] = set->second;
        if (!names.byProgram) {
            if (policy.keepsOffCellular(names.owner, names.app))
                blocked.cgroups[id] = BYTARN_BLOCK_ALL;
            continue;
        }
        auto list = [&](const std::string& name) {
            if (auto numbers = programsByName.find(name); numbers != programsByName.end())
                for (auto number : numbers->second) blocked.programs.emplace(id, number);
        };
        if (paused) {
            // Every program but the exempt ones (an exempt name that is also restricted stays
            // restricted).
            blocked.cgroups[id] = BYTARN_BLOCK_UNLISTED;
            for (const auto& name : exempt)
                if (!restricted.contains(name)) list(name);
            if (!policy.keepsOffCellular(names.owner, names.app)) blocked.programs.emplace(id, 0);
            continue;
        }
        size_t before = blocked.programs.size();
        for (const auto& name : restricted) list(name);
        if (restricted.contains(names.app)) blocked.programs.emplace(id, 0);
        if (blocked.programs.size() > before) blocked.cgroups[id] = BYTARN_BLOCK_LISTED;
    }
    // Cgroups no longer known leave the cache.
    if (cache != &local) *cache = std::move(seen);
    return blocked;
}

std::map<RouteEntry, bool> cellularRoutes(const RoutingTables& tables,
                                          const std::set<unsigned>& cellularInterfaces) {
    std::map<RouteEntry, bool> entries;
    std::map<RouteEntry, uint32_t> metrics;
    // Main first, then local over it: the kernel looks in the local table first.
    for (uint32_t table : {RT_TABLE_MAIN, RT_TABLE_LOCAL})
        for (const auto& route : tables.routes) {
            if (route.table != table) continue;
            size_t width = route.family == AF_INET ? 4 : 16;
            if (route.length > width * 8) continue;
            RouteEntry entry{
                route.family,
                std::vector<uint8_t>(route.prefix.begin(), route.prefix.begin() + width),
                route.length};
            // Only a unicast route whose every interface is cellular refuses early; the rest
            // (this machine's addresses, unreachable, a multipath route with another kind)
            // pass, and their packets meet the hooks.
            bool cellular = route.type == RTN_UNICAST && !route.interfaces.empty();
            for (unsigned ifindex : route.interfaces)
                cellular = cellular && cellularInterfaces.contains(ifindex);
            if (table == RT_TABLE_MAIN) {
                auto [known, fresh] = metrics.try_emplace(entry, route.metric);
                if (!fresh && known->second <= route.metric) continue;
                known->second = route.metric;
            }
            entries[entry] = cellular;
        }
    return entries;
}

CellularBlocking::CellularBlocking(RestrictionHooks hooks) : hooks_(std::move(hooks)) {
    for (auto* program : hooks_.addressPrograms) {
        bpf_link* link = bpf_program__attach_cgroup(program, hooks_.cgroupFd);
        if (!link) {
            logLine(std::string("cannot attach ") + bpf_program__name(program) + " (" +
                    std::strerror(errno) +
                    "): restricted applications' connections over cellular links are dropped "
                    "rather than refused at once");
            continue;
        }
        links_.push_back(link);
    }
}

CellularBlocking::~CellularBlocking() {
    switchOff();
    for (auto* link : links_) bpf_link__destroy(link);
}

void CellularBlocking::switchOff() {
    *hooks_.restrictionsOn = 0;
    on_ = false;
}

void CellularBlocking::update(const RestrictionPolicy& policy, CgroupDirectory& cgroups,
                              const std::vector<std::pair<uint16_t, std::string>>& programs,
                              InterfaceKinds& interfaces, const RoutingTables* routes) {
    if (!policy.restrictsAnything()) {
        if (!on_ && sockets_.cgroups.empty()) return;
        switchOff();  // first: no packet looks at the maps while they are emptied
        writeSockets({});
        writeLinks({});
        writeRoutes({});
        *hooks_.routesKnown = 0;
        return;
    }
    std::set<unsigned> cellular;
    for (const auto& listed : interfaces.list())
        if (listed.classed.kind == InterfaceKind::cellular) cellular.insert(listed.ifindex);
    writeLinks(cellular);
    if (routes) {
        bool usable = routes->read && !routes->policyRouting;
        auto wanted = usable ? cellularRoutes(*routes, cellular) : std::map<RouteEntry, bool>{};
        if (wanted.size() > BYTARN_CELLULAR_ROUTES_MAX) {
            usable = false;
            wanted.clear();
        }
        if (!usable) *hooks_.routesKnown = 0;
        writeRoutes(wanted);
        if (usable) *hooks_.routesKnown = 1;
    }
    writeSockets(blockedSockets(policy, cgroups.known(), programs, cgroups.countedRoot(), &names_));
    // A socket's storage starts with decided 0: never the generation of a decision.
    if (*hooks_.generation == 0) *hooks_.generation = 1;
    *hooks_.restrictionsOn = 1;
    on_ = true;
}

void CellularBlocking::writeSockets(const BlockedSockets& wanted) {
    if (wanted == sockets_) return;
    bool full = false;
    // Listed programs before their cgroups' modes, and gone ones after: a packet in between
    // sees the old or the new decision, never a mode without its list.
    for (const auto& [id, number] : wanted.programs)
        if (!sockets_.programs.contains({id, number})) {
            listed_program key{id, number, 0};
            uint8_t yes = 1;
            full |= bpf_map_update_elem(hooks_.listedPrograms, &key, &yes, BPF_ANY) != 0;
        }
    for (const auto& [id, mode] : wanted.cgroups) {
        auto known = sockets_.cgroups.find(id);
        if (known != sockets_.cgroups.end() && known->second == mode) continue;
        full |= bpf_map_update_elem(hooks_.blockedCgroups, &id, &mode, BPF_ANY) != 0;
    }
    for (const auto& [id, mode] : sockets_.cgroups)
        if (!wanted.cgroups.contains(id)) bpf_map_delete_elem(hooks_.blockedCgroups, &id);
    for (const auto& [id, number] : sockets_.programs)
        if (!wanted.programs.contains({id, number})) {
            listed_program key{id, number, 0};
            bpf_map_delete_elem(hooks_.listedPrograms, &key);
        }
    // Sockets decided before look again on their next packet.
    *hooks_.generation = *hooks_.generation + 1 == 0 ? 1 : *hooks_.generation + 1;
    if (full && !std::exchange(fullLogged_, true))
        logLine(std::string("the kernel's table of restricted cgroups is full (") +
                std::strerror(errno) + "); some restricted applications reach cellular links");
    sockets_ = wanted;
}

void CellularBlocking::writeLinks(const std::set<unsigned>& wanted) {
    auto set = [&](unsigned ifindex, bool cellular) {
        uint32_t key = ifindex;
        uint8_t value = cellular;
        if (ifindex < BYTARN_LINK_ARRAY)
            bpf_map_update_elem(hooks_.cellularLinks, &key, &value, BPF_ANY);
        else if (cellular)
            bpf_map_update_elem(hooks_.cellularLinksHigh, &key, &value, BPF_ANY);
        else
            bpf_map_delete_elem(hooks_.cellularLinksHigh, &key);
    };
    for (unsigned ifindex : wanted)
        if (!cellular_.contains(ifindex)) set(ifindex, true);
    for (unsigned ifindex : cellular_)
        if (!wanted.contains(ifindex)) set(ifindex, false);
    cellular_ = wanted;
}

void CellularBlocking::writeRoutes(const std::map<RouteEntry, bool>& wanted) {
    auto keyOf = [](const RouteEntry& entry, route_key6* key) {
        *key = {};
        key->prefixlen = entry.length;
        std::memcpy(key->address, entry.prefix.data(), entry.prefix.size());
    };
    for (const auto& [entry, cellular] : wanted) {
        auto known = routes_.find(entry);
        if (known != routes_.end() && known->second == cellular) continue;
        route_key6 key;
        keyOf(entry, &key);
        uint8_t value = cellular;
        bpf_map_update_elem(entry.family == AF_INET ? hooks_.routes4 : hooks_.routes6, &key, &value,
                            BPF_ANY);
    }
    for (const auto& [entry, cellular] : routes_)
        if (!wanted.contains(entry)) {
            route_key6 key;
            keyOf(entry, &key);
            bpf_map_delete_elem(entry.family == AF_INET ? hooks_.routes4 : hooks_.routes6, &key);
        }
    routes_ = wanted;
}

}  // namespace bytarn::trafficd
