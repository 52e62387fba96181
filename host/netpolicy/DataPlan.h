#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

// A data plan per network kind, its billing cycles and its status (docs/DATAPLAN.md). Pure
// model and arithmetic: the usage is passed in by the caller, which owns the database; days are
// local calendar days, and instants come from the process's default time zone (Locale.h).

// A local calendar day. Day arithmetic is the proleptic Gregorian calendar of <chrono>; only
// turning a day into instants needs a time zone, and ICU does that.
using LocalDay = std::chrono::year_month_day;

// "yyyy-MM-dd", as the usage rows store their days.
std::string dayString(LocalDay day);
// Exactly "yyyy-MM-dd" of a day that exists; nothing otherwise.
std::optional<LocalDay> parseDay(std::string_view text);

// The local day of an instant (seconds since 1970) in the default time zone.
LocalDay localDayOf(double instant);
// The local day of the clock's now (Clock.h): the day a command or the collector works on.
LocalDay localToday();
// The first instant of a local day in the default time zone: its midnight, or, when a
// daylight-saving change skips midnight, the first wall time the day has.
double startOfDay(LocalDay day);

// The network kinds a plan may be for, as the usage rows name them.
inline constexpr std::string_view kCellularKind = "cellular";
inline constexpr std::string_view kWifiKind = "wifi";
bool isPlanKind(std::string_view kind);

// The warning level: a byte count, or a percentage of the limit.
struct PlanWarning {
    std::optional<std::uint64_t> bytes;
    std::optional<double> percent;  // 0 < percent <= 100
    bool operator==(const PlanWarning&) const = default;
};

// The user's correction to the carrier's figure, for one cycle only: the difference between the
// carrier's figure and what was counted, kept with the first day of the cycle it was made in.
struct PlanCorrection {
    LocalDay cycleStart;
    std::int64_t bytes = 0;
    bool operator==(const PlanCorrection&) const = default;
};

struct DataPlan {
    enum class Period { Monthly, OneOff };

    std::string kind = std::string(kCellularKind);
    Period period = Period::Monthly;
    int cycleDay = 1;  // Monthly: 1..31
    LocalDay start{};  // OneOff: the pack's first day
    int days = 0;      // OneOff: how many days the pack lasts, from `start`
    std::optional<std::uint64_t> limit;
    std::optional<PlanWarning> warning;
    std::optional<PlanCorrection> correction;

    bool operator==(const DataPlan&) const = default;
};

// What is wrong with a plan, as one sentence a command prints after "bytarn: "; nothing when
// the plan is sound.
std::optional<std::string> validatePlan(const DataPlan& plan);

// The longest one-off pack, in days (ten years).
inline constexpr int kMaxPackDays = 3660;

// One cycle: its first and last local day, both included.
struct PlanCycle {
    LocalDay first;
    LocalDay last;
    bool operator==(const PlanCycle&) const = default;
};

// The cycle that holds `today`. A monthly cycle starts on the plan's cycle day, or on the
// month's last day when the month is shorter, and ends the day before the next one starts. A
// one-off plan has one cycle, the pack's days, whether `today` is before, inside or after it.
PlanCycle cycleFor(const DataPlan& plan, LocalDay today);

// The cycle's first instant (the start of its first day) and its end (the start of the day after
// its last day, the first instant that is no longer in it), in the default time zone.
double cycleStartInstant(const PlanCycle& cycle);
double cycleEndInstant(const PlanCycle& cycle);

// Days of the cycle from `today` to its last day, both included: 1 on the last day, the whole
// cycle before it starts, 0 after it ends.
int daysLeft(const PlanCycle& cycle, LocalDay today);

// The warning level in bytes: the bytes given, or the percentage of the limit (rounded down);
// nothing without a warning, or for a percentage without a limit.
std::optional<std::uint64_t> warningBytes(const DataPlan& plan);

// The correction that makes the cycle's `used` equal `carrierFigure` now, given the bytes counted
// in the cycle so far.
PlanCorrection correctionForFigure(const PlanCycle& cycle, std::uint64_t counted,
                                   std::uint64_t carrierFigure);

// An application's bytes of the plan's kind in the cycle.
struct ApplicationBytes {
    std::string identifier;
    std::uint64_t bytes = 0;
    bool operator==(const ApplicationBytes&) const = default;
};

// How many days back the recent rate looks, today included.
inline constexpr int kRecentRateDays = 4;
// How many applications a status names.
inline constexpr std::size_t kTopApplications = 5;

struct PlanStatus {
    PlanCycle cycle;
    int daysLeft = 0;
    std::uint64_t counted = 0;  // the bytes of the cycle's days
    std::uint64_t used = 0;     // counted with the cycle's correction, never below 0
    std::optional<std::uint64_t> warning;
    std::optional<std::uint64_t> limit;
    std::uint64_t projected = 0;  // used, plus the recent rate until the cycle's end
    bool warningReached = false;  // used >= warning
    bool limitReached = false;    // used >= limit
    bool rapidUse = false;        // projected > limit * 1.5
    // The applications that used most in the cycle, most first (name order on ties).
    std::vector<ApplicationBytes> top;
    // The application that used most, when it used more than half of what was counted.
    std::optional<std::string> dominantApplication;
};

// The status of a plan at instant `now` (the default time zone gives its day). `bytesByDay`
// holds the plan kind's bytes per local day ("yyyy-MM-dd"; days outside the cycle are ignored),
// `applications` every application's bytes of that kind in the cycle.
PlanStatus planStatus(const DataPlan& plan, double now,
                      const std::map<std::string, std::uint64_t>& bytesByDay,
                      std::vector<ApplicationBytes> applications);
