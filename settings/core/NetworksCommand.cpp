#include "settings/core/NetworksCommand.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <ostream>

#include "collector/sources/HelperInterfacesQuery.h"
#include "collector/sources/KernelTrafficSource.h"

namespace {

// How long the helper may take to answer; it answers at once unless it is hung.
constexpr double kTimeoutSeconds = 5;

// The kinds as the reports name them: the helper's "unknown" is what they call other networks.
std::string kindLabel(const std::string& kind) {
    if (kind == "unknown") return "other";
    if (kind == "ignore") return "ignored";
    return kind;
}

}  // namespace

const char* defaultTrafficSocketPath() {
    return KernelTrafficSource::kDefaultSocketPath;
}

int runNetworksCommand(const std::string& socketPath, bool json, std::ostream& out,
                       std::ostream& err) {
    std::string error;
    auto listed = queryHelperInterfaces(socketPath, kTimeoutSeconds, &error);
    if (!listed) {
        err << "bytarn: " << error << "\n";
        return 1;
    }
    std::string text;
    if (json) {
        auto interfaces = nlohmann::ordered_json::array();
        for (const auto& interface : listed->interfaces)
            interfaces.push_back({{"name", interface.name},
                                  {"index", interface.index},
                                  {"kind", kindLabel(interface.kind)},
                                  {"reason", interface.reason}});
        text = nlohmann::ordered_json{{"interfaces", interfaces}}.dump(2) + "\n";
    } else {
        // Names and kinds are ASCII (the helper's names are checked), so bytes are columns.
        std::size_t nameWidth = 9, kindWidth = 4;
        for (const auto& interface : listed->interfaces) {
            nameWidth = std::max(nameWidth, interface.name.size());
            kindWidth = std::max(kindWidth, kindLabel(interface.kind).size());
        }
        auto row = [&](const std::string& name, const std::string& kind, const std::string& why) {
            std::string line = name + std::string(nameWidth - name.size() + 2, ' ') + kind +
                               std::string(kindWidth - kind.size() + 2, ' ') + why;
            line.erase(line.find_last_not_of(' ') + 1);
            return line + "\n";
        };
        text = row("Interface", "Kind", "Why");
        for (const auto& interface : listed->interfaces)
            text += row(interface.name, kindLabel(interface.kind), interface.reason);
    }
    out << text;
    out.flush();
    if (!out) {
        err << "bytarn: writing the networks failed\n";
        return 1;
    }
    return 0;
}
