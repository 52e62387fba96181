// The lines the helper writes to its clients (docs/TRAFFIC.md): UTF-8 JSON, one object a line.
#pragma once

#include "trafficd/serving/DeltaLedger.h"

#include <nlohmann/json.hpp>
#include <string>

namespace bytarn::trafficd {

// value as one line, '\n' included. Bytes that are not UTF-8 become U+FFFD rather than fail (the
// names reaching here are clean already; this is the last guard).
std::string jsonLine(const nlohmann::ordered_json& value);

// {"epoch":E,"seq":N,"time":T,"usage":[{"app":A,"kind":K,"bytes":B},...]}
std::string deltaLine(const std::string& epoch, const Delta& delta);

}  // namespace bytarn::trafficd
