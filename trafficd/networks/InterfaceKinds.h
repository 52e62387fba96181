// Which kind of network an interface is: Wi-Fi, cellular or unknown from NetworkManager's modems
// and sysfs, overridden by the rules file; loopback and ignored interfaces are never counted.
#pragma once

#include "trafficd/networks/NetworkManagerModems.h"

#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace bytarn::trafficd {

enum class InterfaceKind { wifi, cellular, unknown, ignore };

// The protocol's spelling; "ignore" for ignore.
std::string_view kindName(InterfaceKind kind);
std::optional<InterfaceKind> parseKind(std::string_view name);

struct InterfaceRule {
    std::string pattern;  // fnmatch glob on the interface name
    InterfaceKind kind;
};

// Parses a rules file's text: "PATTERN KIND" per line, '#' starts a comment. Malformed lines are
// logged as "FILE:LINE: ..." and skipped.
std::vector<InterfaceRule> parseInterfaceRules(std::string_view text, const std::string& fileName);

// Reads a rules file; a missing file is no rules (logged unless missingIsFine), an unreadable one
// is logged.
std::vector<InterfaceRule> loadInterfaceRules(const std::filesystem::path& file,
                                              bool missingIsFine);

// Kind by the rules (first match wins), else cellular when NetworkManager names it as a modem's
// (when `modems` is given), else by sysfs (<sysfsRoot>/<name>/...); loopback is always ignore.
InterfaceKind classifyInterface(const std::string& name, const std::vector<InterfaceRule>& rules,
                                const std::filesystem::path& sysfsRoot,
                                NetworkManagerModems* modems = nullptr);

// Interface numbers of the helper's network namespace, classified when first seen and again
// whenever the name behind a number changes (udev renames new interfaces).
class InterfaceKinds {
  public:
    using NameOf = std::function<std::optional<std::string>(unsigned ifindex)>;

    // Without `modems`, NetworkManager is not asked.
    InterfaceKinds(std::vector<InterfaceRule> rules, std::filesystem::path sysfsRoot,
                   NameOf nameOf = {}, std::unique_ptr<NetworkManagerModems> modems = nullptr);

    // nullopt: the interface is gone and was never seen (its bytes cannot be placed).
    std::optional<InterfaceKind> kindOf(unsigned ifindex);

  private:
    struct Known {
        std::string name;
        InterfaceKind kind;
    };
    std::vector<InterfaceRule> rules_;
    std::filesystem::path sysfsRoot_;
    NameOf nameOf_;
    std::unique_ptr<NetworkManagerModems> modems_;
    std::unordered_map<unsigned, Known> known_;
};

}  // namespace bytarn::trafficd
