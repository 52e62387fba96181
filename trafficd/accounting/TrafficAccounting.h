// Turns the kernel's running totals into per-user growth: names the cgroup, classifies the
// interface, and picks out counters of vanished cgroups that may be deleted.
#pragma once

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

    struct Round {
        std::map<uid_t, UsageBytes> growth;  // uid 0 also holds traffic outside every user slice
        // Forwarded traffic: kind name ("wifi", "cellular", "unknown") -> bytes.
        std::map<std::string, uint64_t> forwarded;
        std::vector<traffic_key> idleAndGone;  // delete these: nothing of theirs is untaken
    };

    Round account(const std::vector<CounterReading>& readings, CgroupDirectory& cgroups,
                  InterfaceKinds& interfaces);

  private:
    std::unordered_map<std::string, uint64_t> lastTotals_;  // by the key's bytes
    std::unordered_set<uint64_t> bucketsOverShare_;         // logged once each
};

}  // namespace bytarn::trafficd
