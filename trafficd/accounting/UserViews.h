// What each user receives of a round: its own applications in full, every system service in
// full, all other users together as one row per kind (TrafficAccounting::otherUsers) and
// forwarded traffic (TrafficAccounting::sharedConnection). So in every view the rows of a kind
// add up to the same total, and no user ever sees another user's applications.
#pragma once

#include "trafficd/accounting/TrafficAccounting.h"

#include <sys/types.h>
#include <map>
#include <set>
#include <string>

namespace bytarn::trafficd {

// A user's own program or unit named like one of the reserved identifiers, renamed ("_" before
// it) so that it cannot pass for, or merge into, the other users' or the shared connection's row.
std::string unreservedName(const std::string& app);

// One view per uid of `present` (users with a slice now, users with a client connected), of
// every user with traffic in the round, and of uid 0. Views without bytes are left out.
std::map<uid_t, UsageBytes> userViews(const TrafficAccounting::Round& round,
                                      const std::set<uid_t>& present);

}  // namespace bytarn::trafficd
