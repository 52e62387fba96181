#include "trafficd/accounting/TunnelAccounting.h"

#include <sys/stat.h>
#include <algorithm>

namespace bytarn::trafficd {

namespace {

// A cgroup's id is its directory's inode number.
std::optional<uint64_t> cgroupIdOf(const std::filesystem::path& mount, const std::string& path) {
    struct stat status {};
    auto directory = mount / std::filesystem::path(path).relative_path();
    if (::stat(directory.c_str(), &status) != 0 || !S_ISDIR(status.st_mode)) return std::nullopt;
    return status.st_ino;
}

}  // namespace

void takeCarriedBytes(const std::vector<TunnelOverCarrier>& tunnels, std::vector<CountedRow>& rows,
                      CarriedOwed& owed) {
    CarriedOwed stillOwed;
    std::vector<uint64_t> left;  // what each row may still give
    left.reserve(rows.size());
    for (const auto& row : rows) left.push_back(row.growth);
    for (const auto& tunnel : tunnels)
        for (uint16_t direction : {BYTARN_DIRECTION_IN, BYTARN_DIRECTION_OUT}) {
            uint64_t carriedNow = 0;
            for (const auto& row : rows)
                if (row.key.ifindex == tunnel.tunnel && row.key.direction == direction)
                    carriedNow += row.growth;
            auto owedBefore = owed.find({tunnel.tunnel, direction});
            uint64_t carried = carriedNow + (owedBefore == owed.end() ? 0 : owedBefore->second);
            // First the holders' programs' rows; then, when their programs are not known, the
            // rows of unknown programs (sockets older than the helper, a bucket over its share),
            // or every row of their cgroups when no holder's program is known at all.
            auto holders = [&](const traffic_key& key) {
                return std::find(tunnel.holderPrograms.begin(), tunnel.holderPrograms.end(),
                                 key.program) != tunnel.holderPrograms.end();
            };
            auto unknown = [&](const traffic_key& key) {
                return tunnel.holderPrograms.empty() || key.program == 0 ||
                       key.program == BYTARN_PROGRAM_OVER_SHARE;
            };
            for (int pass = 0; pass < 2; ++pass)
                for (size_t i = 0; i < rows.size() && carried > 0; ++i) {
                    const auto& key = rows[i].key;
                    if (key.ifindex != tunnel.carrier || key.direction != direction ||
                        std::find(tunnel.holderCgroups.begin(), tunnel.holderCgroups.end(),
                                  key.cgroup_id) == tunnel.holderCgroups.end() ||
                        !(pass == 0 ? holders(key) : unknown(key)))
                        continue;
                    uint64_t taken = std::min({carried, left[i], *rows[i].total});
                    left[i] -= taken;
                    *rows[i].total -= taken;
                    carried -= taken;
                }
            if (auto left = std::min(carried, carriedNow))
                stillOwed[{tunnel.tunnel, direction}] = left;
        }
    owed = std::move(stillOwed);
}

void TunnelAccounting::startRound(const std::vector<CounterReading>& readings,
                                  const CgroupDirectory& cgroups, InterfaceKinds& interfaces) {
    interfaces.refresh();
    auto tunnels = interfaces.tunnels();
    std::map<unsigned, unsigned> sendMost;
    if (!tunnels.empty()) {
        std::unordered_set<unsigned> tunnelLinks;
        for (const auto& tunnel : tunnels) tunnelLinks.insert(tunnel.ifindex);
        // Each holder cgroup's egress growth per link in this reading.
        std::unordered_map<uint64_t, std::map<unsigned, uint64_t>> sent;
        std::unordered_map<uint64_t, std::vector<unsigned>> tunnelsOfHolder;
        for (const auto& tunnel : tunnels)
            if (tunnel.type == TunnelType::userSpace)
                for (const auto& path : tunnel.holderCgroups)
                    if (auto id = cgroupIdOf(cgroups.mount(), path))
                        tunnelsOfHolder[*id].push_back(tunnel.ifindex);
        std::unordered_map<std::string, uint64_t> totals;
        for (const auto& reading : readings) {
            if (reading.key.direction != BYTARN_DIRECTION_OUT ||
                !tunnelsOfHolder.contains(reading.key.cgroup_id) ||
                tunnelLinks.contains(reading.key.ifindex))
                continue;
            std::string keyBytes(reinterpret_cast<const char*>(&reading.key), sizeof reading.key);
            auto last = lastHolderTotals_.find(keyBytes);
            uint64_t previous = last == lastHolderTotals_.end() ? 0 : last->second;
            sent[reading.key.cgroup_id][reading.key.ifindex] +=
                reading.bytes >= previous ? reading.bytes - previous : reading.bytes;
            totals.emplace(std::move(keyBytes), reading.bytes);
        }
        lastHolderTotals_ = std::move(totals);
        std::map<unsigned, std::map<unsigned, uint64_t>> sentByTunnel;
        for (const auto& [cgroup, links] : sent)
            for (unsigned tunnel : tunnelsOfHolder[cgroup])
                for (const auto& [link, bytes] : links) sentByTunnel[tunnel][link] += bytes;
        for (const auto& [tunnel, links] : sentByTunnel) {
            unsigned best = 0;
            uint64_t most = 0;
            for (const auto& [link, bytes] : links)
                if (bytes > most && interfaces.kindOf(link).value_or(InterfaceKind::unknown) !=
                                        InterfaceKind::ignore)
                    best = link, most = bytes;
            if (best) sendMost[tunnel] = best;
        }
    } else {
        lastHolderTotals_.clear();
    }
    interfaces.reviewTunnels(sendMost);

    tunnels_.clear();
    links_.clear();
    rows_.clear();
    std::vector<std::vector<std::string>> programNames;  // each tunnel's holders' programs
    std::unordered_map<uint64_t, std::vector<size_t>> tunnelsOfCgroup;
    for (const auto& tunnel : interfaces.tunnels()) {
        if (tunnel.type != TunnelType::userSpace || !tunnel.carrier) continue;
        TunnelOverCarrier over{tunnel.ifindex, *tunnel.carrier, {}, {}};
        for (const auto& path : tunnel.holderCgroups)
            if (auto id = cgroupIdOf(cgroups.mount(), path)) {
                over.holderCgroups.push_back(*id);
                tunnelsOfCgroup[*id].push_back(tunnels_.size());
            }
        if (over.holderCgroups.empty()) continue;
        links_.insert(over.tunnel);
        links_.insert(over.carrier);
        tunnels_.push_back(std::move(over));
        programNames.push_back(tunnel.holderPrograms);
    }
    // The counters number programs; the holders' programs are known by name.
    if (!tunnels_.empty())
        for (const auto& reading : readings) {
            auto found = tunnelsOfCgroup.find(reading.key.cgroup_id);
            if (found == tunnelsOfCgroup.end() || reading.program.empty()) continue;
            for (size_t index : found->second) {
                auto& numbers = tunnels_[index].holderPrograms;
                const auto& names = programNames[index];
                if (std::find(names.begin(), names.end(), reading.program) != names.end() &&
                    std::find(numbers.begin(), numbers.end(), reading.key.program) == numbers.end())
                    numbers.push_back(reading.key.program);
            }
        }
}

void TunnelAccounting::observe(const traffic_key& key, uint64_t growth, uint64_t& total) {
    if (!links_.empty() && links_.contains(key.ifindex)) rows_.push_back({key, growth, &total});
}

void TunnelAccounting::settle() {
    takeCarriedBytes(tunnels_, rows_, owed_);
    rows_.clear();
}

}  // namespace bytarn::trafficd
