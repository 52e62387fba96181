#include "trafficd/networks/InterfaceKinds.h"

#include "trafficd/Log.h"

#include <fnmatch.h>
#include <net/if.h>
#include <fstream>
#include <sstream>

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
        rules.push_back({pattern, *parsed});
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

InterfaceKind classifyInterface(const std::string& name, const std::vector<InterfaceRule>& rules,
                                const fs::path& sysfsRoot, NetworkManagerModems* modems) {
    auto device = sysfsRoot / name;
    long type = -1;
    try {
        type = std::stol(readSmallFile(device / "type"));
    } catch (const std::exception&) {
    }
    if (name == "lo" || type == loopbackType) return InterfaceKind::ignore;
    for (const auto& rule : rules)
        if (fnmatch(rule.pattern.c_str(), name.c_str(), 0) == 0) return rule.kind;
    if (modems && modems->namesModemInterface(name)) return InterfaceKind::cellular;
    std::error_code error;
    if (fs::exists(device / "wireless", error) || fs::exists(device / "phy80211", error))
        return InterfaceKind::wifi;
    std::istringstream uevent(readSmallFile(device / "uevent"));
    for (std::string line; std::getline(uevent, line);) {
        if (line == "DEVTYPE=wlan") return InterfaceKind::wifi;
        if (line == "DEVTYPE=wwan") return InterfaceKind::cellular;
    }
    // Modems hand out PPP links or raw-IP links (qmi_wwan, MHI); their drivers name them too.
    if (type == pppType || type == rawIpType) return InterfaceKind::cellular;
    auto driver = fs::read_symlink(device / "device" / "driver", error).filename().string();
    for (std::string_view modemDriver : {"qmi_wwan", "cdc_mbim", "mhi_net", "ipa", "rmnet"})
        if (driver == modemDriver) return InterfaceKind::cellular;
    return InterfaceKind::unknown;
}

InterfaceKinds::InterfaceKinds(std::vector<InterfaceRule> rules, fs::path sysfsRoot, NameOf nameOf,
                               std::unique_ptr<NetworkManagerModems> modems)
    : rules_(std::move(rules)),
      sysfsRoot_(std::move(sysfsRoot)),
      nameOf_(std::move(nameOf)),
      modems_(std::move(modems)) {
    if (!nameOf_)
        nameOf_ = [](unsigned ifindex) -> std::optional<std::string> {
            char name[IF_NAMESIZE] = {};
            if (!if_indextoname(ifindex, name)) return std::nullopt;
            return std::string(name);
        };
}

std::optional<InterfaceKind> InterfaceKinds::kindOf(unsigned ifindex) {
    auto name = nameOf_(ifindex);
    auto known = known_.find(ifindex);
    if (!name)  // gone: keep its last kind, if any, for its last bytes
        return known == known_.end() ? std::nullopt : std::optional(known->second.kind);
    if (known != known_.end() && known->second.name == *name) return known->second.kind;
    auto kind = classifyInterface(*name, rules_, sysfsRoot_, modems_.get());
    logLine("interface " + *name + " (" + std::to_string(ifindex) +
            "): " + std::string(kindName(kind)));
    known_[ifindex] = {*name, kind};
    return kind;
}

}  // namespace bytarn::trafficd
