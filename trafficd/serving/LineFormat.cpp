#include "trafficd/serving/LineFormat.h"

namespace bytarn::trafficd {

std::string jsonLine(const nlohmann::ordered_json& value) {
    return value.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::string deltaLine(const std::string& epoch, const Delta& delta) {
    nlohmann::ordered_json usage = nlohmann::ordered_json::array();
    for (const auto& [key, bytes] : delta.bytes)
        usage.push_back({{"app", key.first}, {"kind", key.second}, {"bytes", bytes}});
    return jsonLine({{"epoch", epoch}, {"seq", delta.seq}, {"time", delta.time}, {"usage", usage}});
}

}  // namespace bytarn::trafficd
