// A user-space VPN's packets are counted twice: an application's on the tunnel, and the VPN
// program's, carrying them, on the link below. As Android's VPN accounting does, the applications
// keep their bytes, under the carrier's kind (the tunnel takes it, InterfaceKinds), and the VPN
// program keeps only the tunnel's overhead: its rows on the carrier lose the bytes the tunnel
// carried, direction by direction, never below 0.
//
// In-kernel tunnels need no such step: the kernel counts their outer packets for no socket. The
// ip tunnels hand them to ip_local_out without a socket, WireGuard with its own kernel socket
// while skb->sk is still the application's, and the cgroup egress hook runs only when the two
// are the same socket; arriving outer packets reach no socket's receive path (ip tunnels) or are
// taken by the UDP tunnel's encap_rcv before the socket filter (WireGuard).
#pragma once

#include "trafficd/cgroups/CgroupDirectory.h"
#include "trafficd/counting/KernelCounters.h"
#include "trafficd/networks/InterfaceKinds.h"

#include <cstdint>
#include <map>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace bytarn::trafficd {

// A user-space tunnel, its carrier link, the cgroups of the processes that hold it and the
// counters' numbers of their programs.
struct TunnelOverCarrier {
    unsigned tunnel;
    unsigned carrier;
    std::vector<uint64_t> holderCgroups;
    std::vector<uint16_t> holderPrograms;
};

// A counter's growth in this round and the usage total it was added to.
struct CountedRow {
    traffic_key key;
    uint64_t growth;
    uint64_t* total;
};

// By tunnel and direction: carried bytes that no carrier row took yet.
using CarriedOwed = std::map<std::pair<unsigned, uint16_t>, uint64_t>;

// For each tunnel and direction, the bytes its rows grew by come off the rows of its holders'
// cgroups on its carrier, in the same direction: the holders' own programs' rows (a VPN program
// started from a terminal shares its scope with whatever else runs there), then rows of unknown
// programs (every row of those cgroups when no holder's program is known). Each row gives at
// most its own growth, and no total goes below 0. A reading may fall between an
// application's packet on the tunnel and the holder's on the carrier, so what is left is owed to
// the next round, and only to that one (at most this round's carried bytes: a tunnel that carries
// more than its holders send never builds up a debt).
void takeCarriedBytes(const std::vector<TunnelOverCarrier>& tunnels, std::vector<CountedRow>& rows,
                      CarriedOwed& owed);

class TunnelAccounting {
  public:
    // Before the round's rows are counted: lets interfaces find new interfaces (a tunnel that
    // appeared takes its kind before its first bytes are counted), tells it, per user-space tunnel,
    // the link (not the tunnel, not loopback or ignored) its holders' cgroups sent most on in this
    // reading, and has it review every tunnel's carrier, so the round counts with the kinds decided
    // now.
    void startRound(const std::vector<CounterReading>& readings, const CgroupDirectory& cgroups,
                    InterfaceKinds& interfaces);
    // A row counted in this round and the usage total its growth went to.
    void observe(const traffic_key& key, uint64_t growth, uint64_t& total);
    // Takes the carried bytes off the holders' carrier rows (takeCarriedBytes).
    void settle();

  private:
    std::vector<TunnelOverCarrier> tunnels_;
    std::unordered_set<unsigned> links_;  // the tunnels' and carriers' interfaces
    std::vector<CountedRow> rows_;
    CarriedOwed owed_;
    std::unordered_map<std::string, uint64_t> lastHolderTotals_;  // holders' egress, by key bytes
};

}  // namespace bytarn::trafficd
