#include "trafficd/networks/InterfaceKinds.h"

#include "trafficd/Log.h"

#include <fnmatch.h>
#include <net/if.h>
#include <algorithm>
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
    try {
        type = std::stol(readSmallFile(device / "type"));
    } catch (const std::exception&) {
    }
    if (name == "lo" || type == loopbackType) return {InterfaceKind::ignore, "loopback"};
    for (const auto& rule : rules)
        if (fnmatch(rule.pattern.c_str(), name.c_str(), 0) == 0)
            return {rule.kind, "rule " + rule.origin};
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
                               ListInterfaces listInterfaces)
    : rules_(std::move(rules)),
      sysfsRoot_(std::move(sysfsRoot)),
      nameOf_(std::move(nameOf)),
      listInterfaces_(std::move(listInterfaces)) {
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
    auto classed = explainInterface(name, rules_, sysfsRoot_, &networkManager_);
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

std::vector<InterfaceKinds::Listed> InterfaceKinds::list() const {
    std::vector<Listed> listed;
    for (const auto& [ifindex, known] : known_)
        if (known.present) listed.push_back({ifindex, known.name, known.classed});
    std::sort(listed.begin(), listed.end(),
              [](const Listed& a, const Listed& b) { return a.ifindex < b.ifindex; });
    return listed;
}

}  // namespace bytarn::trafficd
