#include "host/netpolicy/DataPlan.h"

#include <unicode/gregocal.h>
#include <unicode/timezone.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>
#include <memory>
#include <stdexcept>

#include "host/foundation/Clock.h"

using namespace std::chrono;

namespace {

// A Gregorian calendar in the default time zone. A wall time that a daylight-saving change skips
// moves on to the first valid one, and a repeated one means its first occurrence, so a day's
// midnight is always the day's first instant.
std::unique_ptr<icu::GregorianCalendar> defaultZoneCalendar() {
    UErrorCode status = U_ZERO_ERROR;
    auto calendar =
        std::make_unique<icu::GregorianCalendar>(icu::TimeZone::createDefault(), status);
    if (U_FAILURE(status)) throw std::runtime_error("cannot make a calendar");
    calendar->setSkippedWallTimeOption(UCAL_WALLTIME_NEXT_VALID);
    calendar->setRepeatedWallTimeOption(UCAL_WALLTIME_FIRST);
    // Dates before the Julian to Gregorian switch stay Gregorian, as the days are.
    calendar->setGregorianChange(std::numeric_limits<double>::lowest(), status);
    return calendar;
}

LocalDay monthlyStart(year_month month, int cycleDay) {
    unsigned monthLength = static_cast<unsigned>((month / std::chrono::last).day());
    return month / day(std::min(static_cast<unsigned>(cycleDay), monthLength));
}

LocalDay addDays(LocalDay day, int count) {
    return year_month_day(sys_days(day) + days(count));
}

}  // namespace

std::string dayString(LocalDay day) {
    char text[16];
    std::snprintf(text, sizeof text, "%04d-%02u-%02u", static_cast<int>(day.year()),
                  static_cast<unsigned>(day.month()), static_cast<unsigned>(day.day()));
    return text;
}

std::optional<LocalDay> parseDay(std::string_view text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return std::nullopt;
    auto number = [&](std::size_t from, std::size_t length) -> std::optional<int> {
        int value = 0;
        for (std::size_t i = from; i < from + length; ++i) {
            if (text[i] < '0' || text[i] > '9') return std::nullopt;
            value = value * 10 + (text[i] - '0');
        }
        return value;
    };
    auto y = number(0, 4), m = number(5, 2), d = number(8, 2);
    if (!y || !m || !d) return std::nullopt;
    LocalDay result{year(*y), month(static_cast<unsigned>(*m)), day(static_cast<unsigned>(*d))};
    if (!result.ok() || *y == 0) return std::nullopt;
    return result;
}

LocalDay localDayOf(double instant) {
    auto calendar = defaultZoneCalendar();
    UErrorCode status = U_ZERO_ERROR;
    calendar->setTime(instant * 1000.0, status);
    int y = calendar->get(UCAL_EXTENDED_YEAR, status);
    int m = calendar->get(UCAL_MONTH, status) + 1;
    int d = calendar->get(UCAL_DATE, status);
    if (U_FAILURE(status)) throw std::runtime_error("cannot read the calendar's day");
    return year(y) / month(static_cast<unsigned>(m)) / day(static_cast<unsigned>(d));
}

LocalDay localToday() {
    return localDayOf(Clock::now());
}

double startOfDay(LocalDay day) {
    auto calendar = defaultZoneCalendar();
    calendar->clear();
    calendar->set(UCAL_EXTENDED_YEAR, static_cast<int>(day.year()));
    calendar->set(UCAL_MONTH, static_cast<int>(static_cast<unsigned>(day.month())) - 1);
    calendar->set(UCAL_DATE, static_cast<int>(static_cast<unsigned>(day.day())));
    calendar->set(UCAL_HOUR_OF_DAY, 0);
    UErrorCode status = U_ZERO_ERROR;
    UDate instant = calendar->getTime(status);
    if (U_FAILURE(status)) throw std::runtime_error("cannot find the start of a day");
    return instant / 1000.0;
}

bool isPlanKind(std::string_view kind) {
    return kind == kCellularKind || kind == kWifiKind;
}

std::optional<std::string> validatePlan(const DataPlan& plan) {
    if (!isPlanKind(plan.kind))
        return "\"" + plan.kind +
               "\" is not a network kind a plan can be for: give cellular or wifi";
    if (plan.period == DataPlan::Period::Monthly) {
        if (plan.cycleDay < 1 || plan.cycleDay > 31)
            return "cycle day " + std::to_string(plan.cycleDay) +
                   " is not a day of the month: give 1 to 31";
    } else {
        if (!plan.start.ok()) return "the pack's start is not a day";
        if (plan.days < 1 || plan.days > kMaxPackDays)
            return "a pack of " + std::to_string(plan.days) + " days is not possible: give 1 to " +
                   std::to_string(kMaxPackDays) + " days";
    }
    constexpr auto kLargest = static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (plan.limit && *plan.limit == 0) return "a limit of 0 bytes is no limit: give more";
    if (plan.limit && *plan.limit > kLargest) return "the limit is too large";
    if (plan.warning) {
        const PlanWarning& warning = *plan.warning;
        if (warning.bytes.has_value() == warning.percent.has_value())
            return "a warning is either a size or a percentage of the limit";
        if (warning.percent) {
            double percent = *warning.percent;
            if (!std::isfinite(percent) || percent <= 0 || percent > 100) {
                char shown[32];
                std::snprintf(shown, sizeof shown, "%g", percent);
                return std::string("a warning of ") + shown +
                       "% is not possible: give more than 0% and at most 100%";
            }
            if (!plan.limit) return "a warning in percent needs a limit";
        } else {
            if (*warning.bytes > kLargest) return "the warning is too large";
            if (plan.limit && *warning.bytes > *plan.limit)
                return "the warning is above the limit: a warning comes before the limit";
        }
    }
    return std::nullopt;
}

PlanCycle cycleFor(const DataPlan& plan, LocalDay today) {
    if (plan.period == DataPlan::Period::OneOff)
        return {plan.start, addDays(plan.start, std::max(plan.days, 1) - 1)};
    year_month thisMonth = today.year() / today.month();
    LocalDay first = monthlyStart(thisMonth, plan.cycleDay);
    if (sys_days(today) < sys_days(first))
        first = monthlyStart(thisMonth - months(1), plan.cycleDay);
    LocalDay next = monthlyStart(first.year() / first.month() + months(1), plan.cycleDay);
    return {first, addDays(next, -1)};
}

double cycleStartInstant(const PlanCycle& cycle) {
    return startOfDay(cycle.first);
}

double cycleEndInstant(const PlanCycle& cycle) {
    return startOfDay(addDays(cycle.last, 1));
}

int daysLeft(const PlanCycle& cycle, LocalDay today) {
    sys_days from = std::max(sys_days(today), sys_days(cycle.first));
    return std::max(0, static_cast<int>((sys_days(cycle.last) - from).count()) + 1);
}

std::optional<std::uint64_t> warningBytes(const DataPlan& plan) {
    if (!plan.warning) return std::nullopt;
    if (plan.warning->bytes) return plan.warning->bytes;
    if (!plan.warning->percent || !plan.limit) return std::nullopt;
    // Exact for every limit a plist holds: the product is taken in long double.
    return static_cast<std::uint64_t>(
        std::floor(static_cast<long double>(*plan.limit) * *plan.warning->percent / 100.0L));
}

PlanCorrection correctionForFigure(const PlanCycle& cycle, std::uint64_t counted,
                                   std::uint64_t carrierFigure) {
    return {cycle.first,
            static_cast<std::int64_t>(carrierFigure) - static_cast<std::int64_t>(counted)};
}

PlanStatus planStatus(const DataPlan& plan, double now,
                      const std::map<std::string, std::uint64_t>& bytesByDay,
                      std::vector<ApplicationBytes> applications) {
    PlanStatus status;
    LocalDay today = localDayOf(now);
    status.cycle = cycleFor(plan, today);
    status.daysLeft = daysLeft(status.cycle, today);
    status.limit = plan.limit;
    status.warning = warningBytes(plan);

    // The recent window: the last kRecentRateDays days up to now, within the cycle.
    LocalDay windowFirst = addDays(today, -(kRecentRateDays - 1));
    if (sys_days(windowFirst) < sys_days(status.cycle.first)) windowFirst = status.cycle.first;
    std::uint64_t recent = 0;
    const std::string first = dayString(status.cycle.first), last = dayString(status.cycle.last);
    const std::string recentFirst = dayString(windowFirst), todayText = dayString(today);
    for (auto it = bytesByDay.lower_bound(first); it != bytesByDay.end() && it->first <= last;
         ++it) {
        status.counted += it->second;
        if (it->first >= recentFirst && it->first <= todayText) recent += it->second;
    }

    std::int64_t correction = 0;
    if (plan.correction && plan.correction->cycleStart == status.cycle.first)
        correction = plan.correction->bytes;
    if (correction < 0 && static_cast<std::uint64_t>(-correction) >= status.counted)
        status.used = 0;
    else
        status.used = status.counted + correction;

    status.projected = status.used;
    double cycleStart = cycleStartInstant(status.cycle), cycleEnd = cycleEndInstant(status.cycle);
    if (now >= cycleStart && now < cycleEnd) {
        // At least a day's length as the divisor, so that the first minutes of a cycle do not
        // project a few bytes into an alarm.
        double elapsed = std::max(now - startOfDay(windowFirst), 86400.0);
        long double rest = static_cast<long double>(recent) / elapsed * (cycleEnd - now);
        status.projected += static_cast<std::uint64_t>(
            std::round(std::min<long double>(rest, std::numeric_limits<std::int64_t>::max())));
    }

    status.warningReached = status.warning && status.used >= *status.warning;
    status.limitReached = status.limit && status.used >= *status.limit;
    status.rapidUse =
        status.limit && static_cast<long double>(status.projected) > *status.limit * 1.5L;

    std::sort(applications.begin(), applications.end(), [](const auto& a, const auto& b) {
        return a.bytes != b.bytes ? a.bytes > b.bytes : a.identifier < b.identifier;
    });
    if (!applications.empty() && applications.front().bytes > status.counted / 2)
        status.dominantApplication = applications.front().identifier;
    if (applications.size() > kTopApplications) applications.resize(kTopApplications);
    status.top = std::move(applications);
    return status;
}
