#pragma once

#include <cstdint>
#include <random>
#include <string>
#include <vector>

#include "collector/NetworkKind.h"

class UsageDatabase;

// One application the synthetic traffic is made for.
struct SyntheticApplication {
    std::string identifier;   // reverse-DNS, as the usage database keys it
    std::string displayName;  // what its desktop entry calls it
};

// One row of the usage table.
struct UsageRow {
    std::string app;
    std::string date;  // local calendar day, "yyyy-MM-dd"
    std::uint64_t wifi = 0;
    std::uint64_t cellular = 0;
    std::uint64_t unknown = 0;

    bool operator==(const UsageRow&) const = default;
};

// Plausible usage for a dozen made-up applications, for demos, benchmarks and manual testing
// without a real traffic source. The mix is deterministic for a given seed and day range: video
// and music move the most, weather the least; photo backup, podcasts and the updater stay on
// Wi-Fi; maps and chat lean on cellular; a few rows carry bytes from unknown networks. Days
// follow the clock (Clock::now()) and the default time zone.
namespace SyntheticTraffic {

// The applications, in a fixed order.
const std::vector<SyntheticApplication>& applications();

// The last `days` local calendar days ending today, oldest first, as "yyyy-MM-dd". Empty when
// `days` is not positive.
std::vector<std::string> lastDays(int days);

// Rows for the last `days` days, at most one per application and day (an application is not
// used every day). Today's rows only cover the part of the day that has passed.
std::vector<UsageRow> generate(int days, std::uint64_t seed);

// Adds the rows to the database in one transaction: all of them or, on error, none (the error
// is rethrown).
void writeTo(UsageDatabase& database, const std::vector<UsageRow>& rows);

// Writes a freedesktop desktop entry <identifier>.desktop for every application into
// `directory` (created when missing), so that titles resolve like those of installed
// applications. Returns the paths written. Throws std::runtime_error when a file cannot be
// written.
std::vector<std::string> writeDesktopEntries(const std::string& directory);

}  // namespace SyntheticTraffic

// Bytes that one application moved over one kind of network.
struct TrafficIncrement {
    std::string app;
    NetworkKind kind = NetworkKind::Unknown;
    std::uint64_t bytes = 0;

    bool operator==(const TrafficIncrement&) const = default;
};

// Live traffic with the same mix, for a running collector: each step gives what the
// applications moved in the last few seconds. Over a day the steps add up to about each
// application's daily volume; the sequence is the same for the same seed and step lengths.
class SyntheticTrafficStream {
  public:
    explicit SyntheticTrafficStream(std::uint64_t seed);

    // What moved in the next `seconds`; nothing for a step that is not positive.
    std::vector<TrafficIncrement> next(double seconds);

  private:
    std::mt19937_64 engine_;
};
