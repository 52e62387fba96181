#pragma once

#include <optional>
#include <string_view>

// The kinds of network the collector counts, one usage column each.
enum class NetworkKind { Wifi, Cellular, Unknown };

// "wifi", "cellular", "unknown": the names traffic sources use.
inline const char* networkKindName(NetworkKind kind) {
    switch (kind) {
        case NetworkKind::Wifi:
            return "wifi";
        case NetworkKind::Cellular:
            return "cellular";
        case NetworkKind::Unknown:
            break;
    }
    return "unknown";
}

inline std::optional<NetworkKind> networkKindNamed(std::string_view name) {
    for (NetworkKind kind : {NetworkKind::Wifi, NetworkKind::Cellular, NetworkKind::Unknown})
        if (name == networkKindName(kind)) return kind;
    return std::nullopt;
}
