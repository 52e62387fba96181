// Which kind of network an interface is, and why: the rules file, else NetworkManager (metered
// devices and modems are cellular), else sysfs; loopback and ignored interfaces are never counted.
#pragma once

#include "trafficd/networks/NetworkManagerDevices.h"
#include "trafficd/networks/Tunnels.h"

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace bytarn::trafficd {

enum class InterfaceKind { wifi, cellular, unknown, ignore };

// The protocol's spelling; "ignore" for ignore.
std::string_view kindName(InterfaceKind kind);
std::optional<InterfaceKind> parseKind(std::string_view name);

struct InterfaceRule {
    std::string pattern;  // fnmatch glob on the interface name
    InterfaceKind kind;
    std::string origin;  // "line 3 of /etc/bytarn/interfaces"
};

// A kind and what decided it, in words for the user: "metered (NetworkManager)", "rule line 3 of
// /etc/bytarn/interfaces", "modem (NetworkManager)", "Wi-Fi (sysfs)", "cellular (sysfs)",
// "loopback" or "other".
struct InterfaceClass {
    InterfaceKind kind;
    std::string reason;
    bool operator==(const InterfaceClass&) const = default;
};

// Parses a rules file's text: "PATTERN KIND" per line, '#' starts a comment. Malformed lines are
// logged as "FILE:LINE: ..." and skipped.
std::vector<InterfaceRule> parseInterfaceRules(std::string_view text, const std::string& fileName);

// Reads a rules file; a missing file is no rules (logged unless missingIsFine), an unreadable one
// is logged.
std::vector<InterfaceRule> loadInterfaceRules(const std::filesystem::path& file,
                                              bool missingIsFine);

// The decision, in this order: loopback is ignore; the rules (first match wins); cellular when
// NetworkManager's device of that interface is metered (YES or GUESS_YES); cellular when it is a
// modem; sysfs (<sysfsRoot>/<name>/...); else unknown ("other").
InterfaceClass explainInterface(const std::string& name, const std::vector<InterfaceRule>& rules,
                                const std::filesystem::path& sysfsRoot,
                                const NetworkManagerView* networkManager = nullptr);
inline InterfaceKind classifyInterface(const std::string& name,
                                       const std::vector<InterfaceRule>& rules,
                                       const std::filesystem::path& sysfsRoot,
                                       const NetworkManagerView* networkManager = nullptr) {
    return explainInterface(name, rules, sysfsRoot, networkManager).kind;
}

// Where InterfaceKinds learns about tunnels; the defaults ask the kernel (Tunnels.h).
struct TunnelProbe {
    std::function<std::optional<LinkFacts>(unsigned ifindex)> link = RouteNetlink::link;
    std::function<std::vector<TunHolder>()> holders = [] { return findTunHolders(); };
    std::function<std::optional<unsigned>(const IpAddress&, uint32_t mark)> routeTo =
        RouteNetlink::routeTo;
    std::function<std::vector<unsigned>()> defaultRoutes = RouteNetlink::defaultRouteLinks;
    std::function<std::optional<RouteNetlink::WireGuardPeers>(unsigned ifindex)> wireGuard =
        RouteNetlink::wireGuardPeers;
};

// Interface numbers of the helper's network namespace, classified when first seen, again
// whenever the name behind a number changes (udev renames new interfaces), and all of them again
// when NetworkManager's view changes. A tunnel that no rule names is no kind of its own: it takes
// its carrier's kind, with the reason "tunnel over CARRIER" (Tunnels.h), decided again on every
// review.
class InterfaceKinds {
  public:
    using NameOf = std::function<std::optional<std::string>(unsigned ifindex)>;
    using ListInterfaces = std::function<std::vector<std::pair<unsigned, std::string>>()>;

    struct Tunnel {
        unsigned ifindex;
        TunnelType type = TunnelType::userSpace;
        std::vector<std::string> holderCgroups;   // user space: its holders' cgroups
        std::vector<std::string> holderPrograms;  // and their programs
        std::optional<unsigned> carrier;
    };

    struct Listed {
        unsigned ifindex;
        std::string name;
        InterfaceClass classed;
    };

    // The defaults ask the kernel (if_indextoname, if_nameindex).
    InterfaceKinds(std::vector<InterfaceRule> rules, std::filesystem::path sysfsRoot,
                   NameOf nameOf = {}, ListInterfaces listInterfaces = {},
                   TunnelProbe tunnelProbe = {});

    // nullopt: the interface is gone and was never seen (its bytes cannot be placed).
    std::optional<InterfaceKind> kindOf(unsigned ifindex);

    // Takes NetworkManager's new view and classifies every current interface again.
    void follow(const NetworkManagerView& networkManager);
    // Classifies interfaces that appeared since; forgets, in the list, those that are gone.
    void refresh();

    // The current interfaces by number; whether it changed since the last call of takeChanged.
    std::vector<Listed> list() const;
    bool takeChanged() { return std::exchange(changed_, false); }

    // The tunnels among the current interfaces, and those gone since the last review.
    std::vector<Tunnel> tunnels() const;
    // Decides each current tunnel's carrier again and classifies again those whose carrier
    // changed; holdersSendMost: by tunnel, the link its holders sent most on lately (from the
    // counters). Holders are looked for again when one is gone, when none was found (every 10th
    // review) and every 60th review. Meant for every reading: a few netlink requests per tunnel.
    void reviewTunnels(const std::map<unsigned, unsigned>& holdersSendMost);

  private:
    struct Known {
        std::string name;
        InterfaceClass classed;
        bool present = true;  // in the last listing (a vanished one keeps its kind for its bytes)
    };
    struct TunnelState {
        std::string name;
        TunnelType type = TunnelType::userSpace;
        std::optional<LinkFacts> facts;
        std::vector<TunHolder> holders;
        std::optional<unsigned> holdersSendMost;
        std::optional<unsigned> carrier;
        bool gone = false;  // seen gone by a review
    };
    const Known& classify(unsigned ifindex, const std::string& name);
    const Known& remember(unsigned ifindex, const std::string& name, InterfaceClass classed);
    void scan(bool again);  // again: every listed interface, not only new and renamed ones
    // The class of a tunnel: its carrier's kind, "tunnel over CARRIER".
    InterfaceClass tunnelClass(unsigned ifindex, int depth = 0);
    bool isTunnelLink(unsigned ifindex);
    void findHolders(TunnelState& tunnel, const std::vector<TunHolder>& all) const;

    std::vector<InterfaceRule> rules_;
    std::filesystem::path sysfsRoot_;
    NameOf nameOf_;
    ListInterfaces listInterfaces_;
    TunnelProbe tunnelProbe_;
    NetworkManagerView networkManager_;
    std::unordered_map<unsigned, Known> known_;
    std::unordered_map<unsigned, TunnelState> tunnels_;
    unsigned reviews_ = 0;
    bool changed_ = false;
};

}  // namespace bytarn::trafficd
