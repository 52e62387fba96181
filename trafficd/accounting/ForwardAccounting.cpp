#include "trafficd/accounting/ForwardAccounting.h"

#include "trafficd/Log.h"

namespace bytarn::trafficd {

std::optional<InterfaceKind> forwardedKind(InterfaceKind in, InterfaceKind out) {
    // An ignored side (loopback, a rule's `ignore`) gives the packet no kind, and the other side
    // ranks it: a container behind an ignored bridge still spends the Wi-Fi it goes out through.
    for (auto kind : {InterfaceKind::cellular, InterfaceKind::wifi, InterfaceKind::unknown})
        if (in == kind || out == kind) return kind;
    return std::nullopt;
}

ForwardAccounting::Round ForwardAccounting::account(const std::vector<ForwardReading>& readings,
                                                    InterfaceKinds& interfaces) {
    Round round;
    std::map<Pair, uint64_t> totals;
    size_t routed = 0, bridged = 0;
    for (const auto& reading : readings) {
        ++(reading.bridged ? bridged : routed);
        Pair pair{reading.bridged, reading.inIndex, reading.outIndex};
        auto last = lastTotals_.find(pair);
        uint64_t previous = last == lastTotals_.end() ? 0 : last->second;
        // A total below the last one belongs to an element deleted and made again: all new.
        uint64_t growth = reading.bytes >= previous ? reading.bytes - previous : reading.bytes;
        // A gone interface's element is deleted now; a new one of that pair starts from 0.
        if (reading.interfaceGone)
            round.gone.push_back(reading);
        else
            totals[pair] = reading.bytes;
        // With br_netfilter, a bridged IPv4 or IPv6 frame passes the routed forward hook too,
        // in and out both the bridge: the bridge table has counted it already.
        if (growth == 0 || (!reading.bridged && reading.inIndex == reading.outIndex)) continue;
        auto in = interfaces.kindOf(reading.inIndex).value_or(InterfaceKind::unknown);
        auto out = interfaces.kindOf(reading.outIndex).value_or(InterfaceKind::unknown);
        if (auto kind = forwardedKind(in, out))
            round.bytesByKind[std::string(kindName(*kind))] += growth;
    }
    lastTotals_ = std::move(totals);
    bool full = std::max(routed, bridged) > ForwardCounters::maxPairs * 9 / 10;
    if (full && !fullLogged_)
        logLine("the forwarded traffic's counters hold " +
                std::to_string(std::max(routed, bridged)) + " of " +
                std::to_string(ForwardCounters::maxPairs) +
                " pairs of interfaces; forwarding between new pairs may go uncounted");
    fullLogged_ = full;
    return round;
}

}  // namespace bytarn::trafficd
