// Forwarded traffic's growth by network kind: each (in-interface, out-interface) counter's bytes
// since the last reading, under the kind of whichever of its two interfaces ranks first.
#pragma once

#include "trafficd/counting/ForwardCounters.h"
#include "trafficd/networks/InterfaceKinds.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

namespace bytarn::trafficd {

// The kind a forwarded packet counts under: cellular if either interface is cellular, else Wi-Fi
// if either is Wi-Fi, else unknown ("other"); nullopt (not counted) when either is ignored
// (loopback, or a rule's "ignore").
std::optional<InterfaceKind> forwardedKind(InterfaceKind in, InterfaceKind out);

class ForwardAccounting {
  public:
    struct Round {
        std::map<std::string, uint64_t> bytesByKind;  // kind name -> bytes
        std::vector<ForwardReading> gone;  // delete these: an interface is gone, growth taken
    };

    Round account(const std::vector<ForwardReading>& readings, InterfaceKinds& interfaces);

  private:
    using Pair = std::tuple<bool, unsigned, unsigned>;  // bridged, in, out
    std::map<Pair, uint64_t> lastTotals_;
    bool fullLogged_ = false;
};

}  // namespace bytarn::trafficd
