#include "trafficd/accounting/UserViews.h"

namespace bytarn::trafficd {

std::string unreservedName(const std::string& app) {
    if (app == TrafficAccounting::otherUsers || app == TrafficAccounting::sharedConnection)
        return "_" + app;
    return app;
}

std::map<uid_t, UsageBytes> userViews(const TrafficAccounting::Round& round,
                                      const std::set<uid_t>& present) {
    std::set<uid_t> viewers = present;
    viewers.insert(0);
    for (const auto& [uid, bytes] : round.users) viewers.insert(uid);

    // Every user's traffic by kind: a view's other users are this less its own.
    std::map<std::string, uint64_t> allUsers;
    for (const auto& [uid, bytes] : round.users)
        for (const auto& [key, count] : bytes) allUsers[key.second] += count;
    UsageBytes shared;
    for (const auto& [key, count] : round.system)
        shared[{unreservedName(key.first), key.second}] += count;
    for (const auto& [kind, count] : round.forwarded)
        if (count > 0) shared[{TrafficAccounting::sharedConnection, kind}] += count;

    std::map<uid_t, UsageBytes> views;
    for (uid_t uid : viewers) {
        UsageBytes view = shared;
        auto others = allUsers;
        if (auto own = round.users.find(uid); own != round.users.end())
            for (const auto& [key, count] : own->second) {
                view[{unreservedName(key.first), key.second}] += count;
                others[key.second] -= count;
            }
        for (const auto& [kind, count] : others)
            if (count > 0) view[{TrafficAccounting::otherUsers, kind}] += count;
        if (!view.empty()) views.emplace(uid, std::move(view));
    }
    return views;
}

}  // namespace bytarn::trafficd
