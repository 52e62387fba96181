#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "collector/UsageCollector.h"

// The lines the traffic helper (bytarn-trafficd) sends, one JSON object each; docs/TRAFFIC.md
// has the protocol.

// The protocol version this collector and `bytarn networks` speak, and the only one they take
// from the helper's hello. 3 added the restriction lines (docs/TRAFFIC.md).
constexpr std::int64_t kTrafficHelperProtocolVersion = 3;

// {"hello":"bytarn-trafficd","version":3,"uid":1000,"epoch":"9f1c0b7e5a3d2e11"}
struct TrafficHelperHello {
    std::int64_t version = 0;
    std::int64_t uid = 0;
    std::string epoch;
};

// A usage entry that was left out of its delta, and why.
struct SkippedUsageEntry {
    std::string app;  // as sent, empty when it was not a string
    std::string reason;
};

// {"epoch":"...","seq":42,"time":1765180800,"usage":[{"app":"...","kind":"wifi","bytes":1}]}
struct TrafficDelta {
    std::string epoch;
    std::int64_t seq = 0;
    std::int64_t time = 0;  // Unix seconds
    std::vector<UsageCollector::Traffic> usage;
    // Entries that could not be read: only they are left out, never their neighbours.
    std::vector<SkippedUsageEntry> skipped;
};

// {"error":"..."}: the helper closes the connection after it.
struct TrafficHelperRefusal {
    std::string reason;  // control characters escaped, shortened to a log line's length
};

// {"interfaces":[{"name":"wlan0","index":3,"kind":"cellular","reason":"metered
// (NetworkManager)"}]}: the helper's interfaces, their kinds and why; on connecting and again on
// every change.
struct TrafficHelperInterface {
    std::string name;
    std::int64_t index = 0;
    std::string kind;    // wifi, cellular, unknown or ignore
    std::string reason;  // control characters escaped, shortened to a log line's length
};
struct TrafficHelperInterfaces {
    std::vector<TrafficHelperInterface> interfaces;
};

using TrafficHelperMessage =
    std::variant<TrafficHelperHello, TrafficDelta, TrafficHelperRefusal, TrafficHelperInterfaces>;

// The largest `time` taken: the end of year 9999.
constexpr std::int64_t kLatestDeltaTime = 253402300799;

// Reads one line. Nothing, with the reason in *error, for anything that is not exactly one of
// the messages: every field present with its type and range, an epoch of 16 lower-case hex
// digits, seq from 1, time from 0 to kLatestDeltaTime and a non-empty usage list; an interfaces
// list whose names are 1 to 15 bytes without control characters, "/" or spaces, indexes from 1
// below 2^32 and kinds wifi, cellular, unknown or ignore. A usage entry is read into `usage` when
// its application passes checkApplicationIdentifier and is not empty, its kind is wifi, cellular
// or unknown and its bytes are from 1 below 2^63; any other entry goes to `skipped` with its
// reason, and the rest of the delta still counts. Unknown fields are ignored. JSON nested deeper
// than the messages go is refused before it is built.
std::optional<TrafficHelperMessage> parseTrafficHelperLine(std::string_view line,
                                                           std::string* error);

// Text fit for a log line: control characters as \xNN, at most `limit` bytes of it.
std::string printableExcerpt(std::string_view text, std::size_t limit = 120);
