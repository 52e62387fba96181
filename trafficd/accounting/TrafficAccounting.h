// Turns the kernel's running totals into one round of growth: each user's own applications, the
// system services, forwarded traffic; names the cgroup, classifies the interface, and picks out
// counters of vanished cgroups that may be deleted. What each user receives of a round is
// UserViews' to say.
#pragma once

#include "trafficd/accounting/TunnelAccounting.h"
#include "trafficd/cgroups/CgroupDirectory.h"
#include "trafficd/counting/KernelCounters.h"
#include "trafficd/networks/InterfaceKinds.h"

#include <sys/types.h>
#include <map>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace bytarn::trafficd {

using UsageBytes = std::map<std::pair<std::string, std::string>, uint64_t>;  // (app, kind) -> bytes

class TrafficAccounting {
  public:
    // The name of a bucket's traffic past its share of the kernel's tables.
    static constexpr const char* otherPrograms = "Other programs";
    // The identifiers of the rows every user's view holds beside its own applications: all other
    // users' traffic together, and traffic this machine forwards. A user's own program or unit
    // of the same name is renamed (UserViews), so nothing merges into them.
    static constexpr const char* otherUsers = "org.bytarn.OtherUsers";
    static constexpr const char* sharedConnection = "org.bytarn.SharedConnection";

    struct Round {
        std::map<uid_t, UsageBytes> users;          // each user slice's own applications
        UsageBytes system;                          // cgroups outside every user slice, by unit
        std::map<std::string, uint64_t> forwarded;  // kind name ("wifi", ...) -> bytes
        std::vector<traffic_key> idleAndGone;       // delete these: nothing of theirs is untaken
    };

    Round account(const std::vector<CounterReading>& readings, CgroupDirectory& cgroups,
                  InterfaceKinds& interfaces);

  private:
    std::unordered_map<std::string, uint64_t> lastTotals_;  // by the key's bytes
    std::unordered_set<uint64_t> bucketsOverShare_;         // logged once each
    TunnelAccounting tunnels_;
};

}  // namespace bytarn::trafficd
