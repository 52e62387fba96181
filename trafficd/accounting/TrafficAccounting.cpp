#include "trafficd/accounting/TrafficAccounting.h"

#include "trafficd/Log.h"
#include "trafficd/cgroups/CgroupIdentity.h"

#include <unordered_set>

namespace bytarn::trafficd {

TrafficAccounting::Round TrafficAccounting::account(const std::vector<CounterReading>& readings,
                                                    CgroupDirectory& cgroups,
                                                    InterfaceKinds& interfaces) {
    Round round;
    cgroups.startRound();
    tunnels_.startRound(readings, cgroups, interfaces);  // tunnels take their carriers' kinds
    std::unordered_map<unsigned, InterfaceKind> kinds;
    std::unordered_map<std::string, uint64_t> totals;
    totals.reserve(readings.size());
    for (const auto& reading : readings) {
        std::string keyBytes(reinterpret_cast<const char*>(&reading.key), sizeof reading.key);
        auto last = lastTotals_.find(keyBytes);
        uint64_t previous = last == lastTotals_.end() ? 0 : last->second;
        // A total below the last one belongs to an entry deleted and made again: all of it is new.
        uint64_t growth = reading.bytes >= previous ? reading.bytes - previous : reading.bytes;
        if (growth == 0) {
            if (!cgroups.exists(reading.key.cgroup_id)) {
                round.idleAndGone.push_back(reading.key);
                continue;
            }
            totals.emplace(std::move(keyBytes), reading.bytes);
            continue;
        }
        totals.emplace(std::move(keyBytes), reading.bytes);
        // One name lookup per interface and reading, however many counters use it.
        auto cached = kinds.find(reading.key.ifindex);
        if (cached == kinds.end())
            cached =
                kinds
                    .emplace(
                        reading.key.ifindex,
                        interfaces.kindOf(reading.key.ifindex).value_or(InterfaceKind::unknown))
                    .first;
        auto kind = cached->second;
        if (kind == InterfaceKind::ignore) continue;
        auto path = cgroups.pathOf(reading.key.cgroup_id);
        bool overShare = reading.key.program == BYTARN_PROGRAM_OVER_SHARE;
        auto identity = identifyCgroup(path.value_or(""), overShare ? "" : reading.program,
                                       cgroups.countedRoot());
        if (overShare) {
            // A bucket over its share of the kernel's tables: its new traffic, counted whole
            // under one coarse key.
            identity.app = otherPrograms;
            if (bucketsOverShare_.size() < 1000 &&
                bucketsOverShare_.insert(reading.key.cgroup_id).second)
                logLine("the cgroup " + printable(path.value_or("?"), 200) +
                        " holds its share of the kernel's tables; its new traffic is counted "
                        "as \"" +
                        otherPrograms + "\"");
        }
        auto& total = (identity.owner ? round.users[*identity.owner]
                                      : round.system)[{identity.app, std::string(kindName(kind))}];
        total += growth;
        tunnels_.observe(reading.key, growth, total);
    }
    tunnels_.settle();  // a VPN program keeps only its tunnel's overhead
    lastTotals_ = std::move(totals);
    if (readings.size() > BYTARN_TRAFFIC_MAX_ENTRIES * 9 / 10)
        logLine("the kernel's traffic table is " + std::to_string(readings.size()) + " of " +
                std::to_string(BYTARN_TRAFFIC_MAX_ENTRIES) +
                " entries full; new sockets' traffic may go uncounted");
    std::unordered_set<uint64_t> counted;
    for (const auto& reading : readings) counted.insert(reading.key.cgroup_id);
    cgroups.prune(counted);
    return round;
}

}  // namespace bytarn::trafficd
