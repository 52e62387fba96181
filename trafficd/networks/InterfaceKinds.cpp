#include "trafficd/networks/InterfaceKinds.h"

#include "trafficd/Log.h"

#include <fnmatch.h>
#include <net/if.h>
#include <signal.h>
#include <algorithm>
#include <cerrno>
#include <fstream>
#include <sstream>
#include <unordered_set>

namespace bytarn::trafficd {

namespace fs = std::filesystem;

namespace {

// ARPHRD_* values from linux/if_arp.h.
constexpr long loopbackType = 772, pppType = 512, rawIpType = 519;

std::string readSmallFile(const fs::path& file) {
    std::ifstream in(file);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::string trim(std::string_view text) {
    auto begin = text.find_first_not_of(" \t\r\n");
    if (begin == std::string_view::npos) return {};
    auto end = text.find_last_not_of(" \t\r\n");
    return std::string(text.substr(begin, end - begin + 1));
}

// What comes before everything else: loopback, then the rules (first match wins).
std::optional<InterfaceClass> loopbackOrRule(const std::string& name,
                                             const std::vector<InterfaceRule>& rules,
                                             const fs::path& sysfsRoot, long* typeOut = nullptr) {
    long type = -1;
    try {
        type = std::stol(readSmallFile(sysfsRoot / name / "type"));
    } catch (const std::exception&) {
    }
    if (typeOut) *typeOut = type;
    if (name == "lo" || type == loopbackType)
        return InterfaceClass{InterfaceKind::ignore, "loopback"};
    for (const auto& rule : rules)
        if (fnmatch(rule.pattern.c_str(), name.c_str(), 0) == 0)
            return InterfaceClass{rule.kind, "rule " + rule.origin};
    return std::nullopt;
}

// Tunnels inside tunnels, at most this deep.
constexpr int maxTunnelDepth = 4;

}  // namespace

std::string_view kindName(InterfaceKind kind) {
    switch (kind) {
        case InterfaceKind::wifi:
            return "wifi";
        case InterfaceKind::cellular:
            return "cellular";
        case InterfaceKind::unknown:
            return "unknown";
        case InterfaceKind::ignore:
            break;
    }
    return "ignore";
}

std::optional<InterfaceKind> parseKind(std::string_view name) {
    for (auto kind : {InterfaceKind::wifi, InterfaceKind::cellular, InterfaceKind::unknown,
                      InterfaceKind::ignore})
        if (kindName(kind) == name) return kind;
    return std::nullopt;
}

std::vector<InterfaceRule> parseInterfaceRules(std::string_view text, const std::string& fileName) {
    std::vector<InterfaceRule> rules;
    std::istringstream lines{std::string(text)};
    std::string line;
    for (int number = 1; std::getline(lines, line); ++number) {
        if (auto hash = line.find('#'); hash != std::string::npos) line.resize(hash);
        std::istringstream fields(line);
        std::string pattern, kind, extra;
        fields >> pattern >> kind >> extra;
        if (pattern.empty()) continue;
        auto where = fileName + ":" + std::to_string(number) + ": ";
        if (kind.empty() || !extra.empty()) {
            logLine(where + "expected \"PATTERN KIND\", skipping \"" + trim(line) + "\"");
            continue;
        }
        auto parsed = parseKind(kind);
        if (!parsed) {
            logLine(where + "unknown kind \"" + kind +
                    "\" (wifi, cellular, unknown or ignore), skipping the line");
            continue;
        }
        rules.push_back({pattern, *parsed, "line " + std::to_string(number) + " of " + fileName});
    }
    return rules;
}

std::vector<InterfaceRule> loadInterfaceRules(const fs::path& file, bool missingIsFine) {
    std::error_code error;
    if (!fs::exists(file, error)) {
        if (!missingIsFine)
            logLine("interface rules " + file.string() + " not found; classifying by sysfs only");
        return {};
    }
    std::ifstream in(file);
    if (!in) {
        logLine("cannot read interface rules " + file.string() + "; classifying by sysfs only");
        return {};
    }
    std::ostringstream text;
    text << in.rdbuf();
    return parseInterfaceRules(text.str(), file.string());
}

InterfaceClass explainInterface(const std::string& name, const std::vector<InterfaceRule>& rules,
                                const fs::path& sysfsRoot,
                                const NetworkManagerView* networkManager) {
    auto device = sysfsRoot / name;
    long type = -1;
    if (auto decided = loopbackOrRule(name, rules, sysfsRoot, &type)) return *decided;
    if (networkManager) {
        auto found = networkManager->interfaces.find(name);
        if (found != networkManager->interfaces.end()) {
            // A phone's hotspot (its DHCP option), USB tethering and mobile broadband are
            // GUESS_YES or YES; a connection the user marked metered is YES.
            if (found->second.metered == meteredYes || found->second.metered == meteredGuessYes)
                return {InterfaceKind::cellular, "metered (NetworkManager)"};
            if (found->second.type == modemDeviceType)
                return {InterfaceKind::cellular, "modem (NetworkManager)"};
        }
    }
    const InterfaceClass wifi{InterfaceKind::wifi, "Wi-Fi (sysfs)"},
        cellular{InterfaceKind::cellular, "cellular (sysfs)"};
    std::error_code error;
    if (fs::exists(device / "wireless", error) || fs::exists(device / "phy80211", error))
        return wifi;
    std::istringstream uevent(readSmallFile(device / "uevent"));
    for (std::string line; std::getline(uevent, line);) {
        if (line == "DEVTYPE=wlan") return wifi;
        if (line == "DEVTYPE=wwan") return cellular;
    }
    // Modems hand out PPP links or raw-IP links (qmi_wwan, MHI); their drivers name them too.
    if (type == pppType || type == rawIpType) return cellular;
    auto driver = fs::read_symlink(device / "device" / "driver", error).filename().string();
    for (std::string_view modemDriver : {"qmi_wwan", "cdc_mbim", "mhi_net", "ipa", "rmnet"})
        if (driver == modemDriver) return cellular;
    return {InterfaceKind::unknown, "other"};
}

InterfaceKinds::InterfaceKinds(std::vector<InterfaceRule> rules, fs::path sysfsRoot, NameOf nameOf,
                               ListInterfaces listInterfaces, TunnelProbe tunnelProbe)
    : rules_(std::move(rules)),
      sysfsRoot_(std::move(sysfsRoot)),
      nameOf_(std::move(nameOf)),
      listInterfaces_(std::move(listInterfaces)),
      tunnelProbe_(std::move(tunnelProbe)) {
    if (!nameOf_)
        nameOf_ = [](unsigned ifindex) -> std::optional<std::string> {
            char name[IF_NAMESIZE] = {};
            if (!if_indextoname(ifindex, name)) return std::nullopt;
            return std::string(name);
        };
    if (!listInterfaces_)
        listInterfaces_ = [] {
            std::vector<std::pair<unsigned, std::string>> listed;
            if (auto* names = if_nameindex()) {
                for (auto* entry = names; entry->if_index != 0; ++entry)
                    listed.emplace_back(entry->if_index, entry->if_name);
                if_freenameindex(names);
            }
            return listed;
        };
}

const InterfaceKinds::Known& InterfaceKinds::classify(unsigned ifindex, const std::string& name) {
    auto classed = loopbackOrRule(name, rules_, sysfsRoot_);
    if (!classed) {
        // The kind from rtnetlink only when the number still names this interface.
        auto facts = tunnelProbe_.link(ifindex);
        if (facts && facts->name != name) facts.reset();
        if (auto type = tunnelTypeOf(sysfsRoot_ / name, facts ? facts->kind : "")) {
            auto& tunnel = tunnels_[ifindex];
            // Classified again (NetworkManager changed): its holders and where they send stay.
            bool again = tunnel.name == name && tunnel.type == *type;
            tunnel.name = name;
            tunnel.type = *type;
            tunnel.facts = std::move(facts);
            tunnel.gone = false;
            if (!again) {
                tunnel.holdersSendMost.reset();
                if (*type == TunnelType::userSpace) findHolders(tunnel, tunnelProbe_.holders());
            }
            classed = tunnelClass(ifindex);
        } else {
            tunnels_.erase(ifindex);
        }
    } else {
        tunnels_.erase(ifindex);
    }
    if (!classed) classed = explainInterface(name, rules_, sysfsRoot_, &networkManager_);
    return remember(ifindex, name, std::move(*classed));
}

const InterfaceKinds::Known& InterfaceKinds::remember(unsigned ifindex, const std::string& name,
                                                      InterfaceClass classed) {
    auto& known = known_[ifindex];
    if (known.name != name || known.classed != classed || !known.present) {
        logLine("interface " + name + " (" + std::to_string(ifindex) +
                "): " + std::string(kindName(classed.kind)) + ", " + classed.reason);
        changed_ = true;
    }
    known = {name, std::move(classed), true};
    return known;
}

std::optional<InterfaceKind> InterfaceKinds::kindOf(unsigned ifindex) {
    auto name = nameOf_(ifindex);
    auto known = known_.find(ifindex);
    if (!name)  // gone: keep its last kind, if any, for its last bytes
        return known == known_.end() ? std::nullopt : std::optional(known->second.classed.kind);
    if (known != known_.end() && known->second.name == *name) return known->second.classed.kind;
    return classify(ifindex, *name).classed.kind;
}

void InterfaceKinds::follow(const NetworkManagerView& networkManager) {
    networkManager_ = networkManager;
    scan(true);
}

void InterfaceKinds::refresh() {
    scan(false);
}

void InterfaceKinds::scan(bool again) {
    std::unordered_set<unsigned> seen;
    for (const auto& [ifindex, name] : listInterfaces_()) {
        seen.insert(ifindex);
        auto known = known_.find(ifindex);
        if (again || known == known_.end() || known->second.name != name || !known->second.present)
            classify(ifindex, name);
    }
    for (auto& [ifindex, known] : known_)
        if (known.present && !seen.contains(ifindex)) {
            known.present = false;
            changed_ = true;
        }
}

void InterfaceKinds::findHolders(TunnelState& tunnel, const std::vector<TunHolder>& all) const {
    tunnel.holders.clear();
    for (const auto& holder : all)
        if (holder.interface == tunnel.name) tunnel.holders.push_back(holder);
}

bool InterfaceKinds::isTunnelLink(unsigned ifindex) {
    if (tunnels_.contains(ifindex)) return true;
    auto name = nameOf_(ifindex);
    return name && tunnelTypeOf(sysfsRoot_ / *name, "").has_value();
}

InterfaceClass InterfaceKinds::tunnelClass(unsigned ifindex, int depth) {
    auto& tunnel = tunnels_.at(ifindex);
    CarrierFacts facts;
    facts.type = tunnel.type;
    facts.holdersSendMost = tunnel.holdersSendMost;
    if (tunnel.type == TunnelType::inKernel) {
        if (tunnel.facts) {
            facts.boundLink = tunnel.facts->boundLink;
            if (tunnel.facts->remote)
                facts.peerRoutes.push_back(tunnelProbe_.routeTo(*tunnel.facts->remote, 0));
        }
        // WireGuard's peers, asked of every in-kernel tunnel rtnetlink did not describe (sysfs
        // found it); for another one WireGuard just answers no.
        if (!tunnel.facts || tunnel.facts->kind == "wireguard")
            if (auto peers = tunnelProbe_.wireGuard(ifindex))
                for (const auto& endpoint : peers->endpoints)
                    facts.peerRoutes.push_back(tunnelProbe_.routeTo(endpoint, peers->fwmark));
    }
    facts.defaultRoutes = tunnelProbe_.defaultRoutes();
    auto carrier =
        chooseCarrier(ifindex, facts, [this](unsigned link) { return isTunnelLink(link); });
    tunnel.carrier = carrier.ifindex;
    if (!carrier.ifindex) return {InterfaceKind::unknown, "tunnel, no carrier found"};
    auto carrierName = nameOf_(*carrier.ifindex);
    if (!carrierName) return {InterfaceKind::unknown, "tunnel, its carrier is gone"};
    InterfaceClass under;
    if (auto decided = loopbackOrRule(*carrierName, rules_, sysfsRoot_))
        under = *decided;
    else if (tunnels_.contains(*carrier.ifindex) && depth < maxTunnelDepth)
        under = tunnelClass(*carrier.ifindex, depth + 1);  // a VPN inside a VPN
    else
        under = explainInterface(*carrierName, rules_, sysfsRoot_, &networkManager_);
    return {under.kind, "tunnel over " + *carrierName};
}

std::vector<InterfaceKinds::Tunnel> InterfaceKinds::tunnels() const {
    std::vector<Tunnel> listed;
    for (const auto& [ifindex, state] : tunnels_) {
        Tunnel tunnel{ifindex, state.type, {}, {}, state.carrier};
        auto addOnce = [](std::vector<std::string>& list, const std::string& item) {
            if (std::find(list.begin(), list.end(), item) == list.end()) list.push_back(item);
        };
        for (const auto& holder : state.holders) {
            addOnce(tunnel.holderCgroups, holder.cgroup);
            addOnce(tunnel.holderPrograms, holder.program);
        }
        listed.push_back(std::move(tunnel));
    }
    return listed;
}

void InterfaceKinds::reviewTunnels(const std::map<unsigned, unsigned>& holdersSendMost) {
    ++reviews_;
    std::optional<std::vector<TunHolder>> allHolders;  // one look through /proc per review
    for (auto entry = tunnels_.begin(); entry != tunnels_.end();) {
        auto& [ifindex, tunnel] = *entry;
        auto known = known_.find(ifindex);
        if (known == known_.end() || !known->second.present) {
            // Gone: listed for one more round (its last bytes), forgotten at the next review.
            if (tunnel.gone) {
                entry = tunnels_.erase(entry);
            } else {
                tunnel.gone = true;
                ++entry;
            }
            continue;
        }
        if (tunnel.type == TunnelType::userSpace) {
            if (auto most = holdersSendMost.find(ifindex); most != holdersSendMost.end())
                tunnel.holdersSendMost = most->second;
            bool holderGone = std::any_of(tunnel.holders.begin(), tunnel.holders.end(),
                                          [](const TunHolder& holder) {
                                              return ::kill(holder.pid, 0) != 0 && errno == ESRCH;
                                          });
            if (holderGone || (tunnel.holders.empty() && reviews_ % 10 == 0) ||
                reviews_ % 60 == 0) {
                if (!allHolders) allHolders = tunnelProbe_.holders();
                findHolders(tunnel, *allHolders);
                if (holderGone) tunnel.holdersSendMost.reset();
            }
        }
        std::string name = known->second.name;
        remember(ifindex, name, tunnelClass(ifindex));
        ++entry;
    }
}

std::vector<InterfaceKinds::Listed> InterfaceKinds::list() const {
    std::vector<Listed> listed;
    for (const auto& [ifindex, known] : known_)
        if (known.present) listed.push_back({ifindex, known.name, known.classed});
    std::sort(listed.begin(), listed.end(),
              [](const Listed& a, const Listed& b) { return a.ifindex < b.ifindex; });
    return listed;
}

}  // namespace bytarn::trafficd
