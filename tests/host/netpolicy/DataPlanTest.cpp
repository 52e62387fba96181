#include "host/netpolicy/DataPlan.h"

#include <gtest/gtest.h>

#include <ctime>

#include "host/foundation/Locale.h"
#include "support/TestEnvironment.h"

namespace {

// "yyyy-MM-ddTHH:mm:ssZ" as seconds since 1970.
double utc(const char* text) {
    std::tm fields{};
    EXPECT_NE(strptime(text, "%Y-%m-%dT%H:%M:%SZ", &fields), nullptr) << text;
    return static_cast<double>(timegm(&fields));
}

LocalDay day(const char* text) {
    auto parsed = parseDay(text);
    EXPECT_TRUE(parsed) << text;
    return parsed.value_or(LocalDay{});
}

DataPlan monthly(int cycleDay) {
    DataPlan plan;
    plan.cycleDay = cycleDay;
    return plan;
}

DataPlan pack(const char* start, int days) {
    DataPlan plan;
    plan.period = DataPlan::Period::OneOff;
    plan.start = day(start);
    plan.days = days;
    return plan;
}

// One row: a plan in a zone at an instant, the cycle that holds the instant's local day, the
// days left and the cycle's first and end instants.
struct CycleCase {
    const char* why;
    const char* zone;
    DataPlan plan;
    const char* now;
    const char* first;
    const char* last;
    int daysLeft;
    const char* startsAt;
    const char* endsAt;
};

TEST(DataPlanCycle, Table) {
    const CycleCase cases[] = {
        // Cycle day 31: the month's last day in shorter months.
        {"31 before Feb's start", "UTC", monthly(31), "2026-02-27T12:00:00Z", "2026-01-31",
         "2026-02-27", 1, "2026-01-31T00:00:00Z", "2026-02-28T00:00:00Z"},
        {"31 from Feb 28", "UTC", monthly(31), "2026-02-28T00:00:00Z", "2026-02-28", "2026-03-30",
         31, "2026-02-28T00:00:00Z", "2026-03-31T00:00:00Z"},
        {"31 from Mar 31", "UTC", monthly(31), "2026-04-29T23:59:59Z", "2026-03-31", "2026-04-29",
         1, "2026-03-31T00:00:00Z", "2026-04-30T00:00:00Z"},
        {"31 in a leap February", "UTC", monthly(31), "2028-02-29T08:00:00Z", "2028-02-29",
         "2028-03-30", 31, "2028-02-29T00:00:00Z", "2028-03-31T00:00:00Z"},
        // Cycle days 29 and 30 around February, leap and not.
        {"30 before a leap Feb 29", "UTC", monthly(30), "2028-02-28T08:00:00Z", "2028-01-30",
         "2028-02-28", 1, "2028-01-30T00:00:00Z", "2028-02-29T00:00:00Z"},
        {"30 from a leap Feb 29", "UTC", monthly(30), "2028-03-01T08:00:00Z", "2028-02-29",
         "2028-03-29", 29, "2028-02-29T00:00:00Z", "2028-03-30T00:00:00Z"},
        {"29 in a common year", "UTC", monthly(29), "2027-02-28T08:00:00Z", "2027-02-28",
         "2027-03-28", 29, "2027-02-28T00:00:00Z", "2027-03-29T00:00:00Z"},
        {"29 in a leap year", "UTC", monthly(29), "2028-02-28T08:00:00Z", "2028-01-29",
         "2028-02-28", 1, "2028-01-29T00:00:00Z", "2028-02-29T00:00:00Z"},
        {"29 on a leap Feb 29", "UTC", monthly(29), "2028-02-29T08:00:00Z", "2028-02-29",
         "2028-03-28", 29, "2028-02-29T00:00:00Z", "2028-03-29T00:00:00Z"},
        {"1 across the year", "UTC", monthly(1), "2026-12-31T08:00:00Z", "2026-12-01", "2026-12-31",
         1, "2026-12-01T00:00:00Z", "2027-01-01T00:00:00Z"},
        {"15 across the year", "UTC", monthly(15), "2027-01-03T08:00:00Z", "2026-12-15",
         "2027-01-14", 12, "2026-12-15T00:00:00Z", "2027-01-15T00:00:00Z"},
        // A prepaid pack of 30 days: before, inside and after it.
        {"pack before", "UTC", pack("2026-12-10", 30), "2026-12-05T08:00:00Z", "2026-12-10",
         "2027-01-08", 30, "2026-12-10T00:00:00Z", "2027-01-09T00:00:00Z"},
        {"pack inside", "UTC", pack("2026-12-10", 30), "2026-12-20T08:00:00Z", "2026-12-10",
         "2027-01-08", 20, "2026-12-10T00:00:00Z", "2027-01-09T00:00:00Z"},
        {"pack after", "UTC", pack("2026-12-10", 30), "2027-01-09T00:00:00Z", "2026-12-10",
         "2027-01-08", 0, "2026-12-10T00:00:00Z", "2027-01-09T00:00:00Z"},
        // The zone decides the day: the same instant is still December in UTC, January in Tokyo.
        {"UTC's day", "UTC", monthly(1), "2026-12-31T20:00:00Z", "2026-12-01", "2026-12-31", 1,
         "2026-12-01T00:00:00Z", "2027-01-01T00:00:00Z"},
        {"Tokyo's day", "Asia/Tokyo", monthly(1), "2026-12-31T20:00:00Z", "2027-01-01",
         "2027-01-31", 31, "2026-12-31T15:00:00Z", "2027-01-31T15:00:00Z"},
        // Berlin: a cycle starting on the day clocks go forward; one whose last day has 23
        // hours; one whose last day has 25.
        {"starts on a spring-forward day", "Europe/Berlin", monthly(29), "2026-03-29T12:00:00Z",
         "2026-03-29", "2026-04-28", 31, "2026-03-28T23:00:00Z", "2026-04-28T22:00:00Z"},
        {"last day of 23 hours", "Europe/Berlin", monthly(30), "2026-03-29T21:30:00Z", "2026-02-28",
         "2026-03-29", 1, "2026-02-27T23:00:00Z", "2026-03-29T22:00:00Z"},
        {"last day of 25 hours", "Europe/Berlin", monthly(26), "2026-10-25T22:30:00Z", "2026-09-26",
         "2026-10-25", 1, "2026-09-25T22:00:00Z", "2026-10-25T23:00:00Z"},
        // São Paulo once changed clocks at midnight: in 2018 Nov 4 began at 01:00, and in 2019
        // Feb 16 ran 25 hours, to a midnight that came once, an hour after the first.
        {"midnight skipped", "America/Sao_Paulo", monthly(4), "2018-11-04T04:00:00Z", "2018-11-04",
         "2018-12-03", 30, "2018-11-04T03:00:00Z", "2018-12-04T02:00:00Z"},
        {"cycle ends at a skipped midnight", "America/Sao_Paulo", monthly(4),
         "2018-11-04T02:59:59Z", "2018-10-04", "2018-11-03", 1, "2018-10-04T03:00:00Z",
         "2018-11-04T03:00:00Z"},
        {"last day of 25 hours at midnight", "America/Sao_Paulo", monthly(17),
         "2019-02-17T02:30:00Z", "2019-01-17", "2019-02-16", 1, "2019-01-17T02:00:00Z",
         "2019-02-17T03:00:00Z"},
        // Havana turns clocks back from 01:00 to midnight: the day starts at the first of its
        // two midnights.
        {"midnight repeated", "America/Havana", monthly(1), "2026-11-01T12:00:00Z", "2026-11-01",
         "2026-11-30", 30, "2026-11-01T04:00:00Z", "2026-12-01T05:00:00Z"},
        // Samoa skipped 2011-12-30 when it moved across the date line: a cycle that should
        // start on it starts with the next day's first instant, and the one before ends there.
        {"a day the zone skipped", "Pacific/Apia", monthly(30), "2011-12-29T12:00:00Z",
         "2011-11-30", "2011-12-29", 1, "2011-11-30T10:00:00Z", "2011-12-30T10:00:00Z"},
    };
    for (const CycleCase& c : cases) {
        SCOPED_TRACE(c.why);
        ScratchHome home(c.zone);
        ASSERT_EQ(Locale::defaultTimeZone(), c.zone);
        LocalDay today = localDayOf(utc(c.now));
        PlanCycle cycle = cycleFor(c.plan, today);
        EXPECT_EQ(dayString(cycle.first), c.first);
        EXPECT_EQ(dayString(cycle.last), c.last);
        EXPECT_EQ(daysLeft(cycle, today), c.daysLeft);
        EXPECT_EQ(cycleStartInstant(cycle), utc(c.startsAt));
        EXPECT_EQ(cycleEndInstant(cycle), utc(c.endsAt));
    }
}

TEST(DataPlanCycle, DaysAreStrictYearMonthDay) {
    ScratchHome home("Asia/Tokyo");  // the clock at 2026-12-06 12:00 there
    EXPECT_EQ(dayString(localToday()), "2026-12-06");
    for (const char* text : {"2026-12-06", "2028-02-29", "0001-01-01"})
        EXPECT_EQ(dayString(parseDay(text).value_or(LocalDay{})), text);
    for (const char* text : {"2027-02-29", "2026-13-01", "0000-01-01", "2026-1-01", "2026-01-01 ",
                             "2026/01/01", "+026-01-01", ""})
        EXPECT_FALSE(parseDay(text)) << text;
}

struct InvalidCase {
    DataPlan plan;
    const char* message;
};

TEST(DataPlanValidation, SaysWhatIsWrong) {
    DataPlan limited = monthly(1);
    limited.limit = 10;
    auto withWarning = [&](PlanWarning warning, std::optional<std::uint64_t> limit = 10) {
        DataPlan plan = limited;
        plan.limit = limit;
        plan.warning = warning;
        return plan;
    };
    DataPlan wifi = monthly(1);
    wifi.kind = "ethernet";
    DataPlan noLimit = limited;
    noLimit.limit = 0;
    const InvalidCase cases[] = {
        {monthly(0), "cycle day 0 is not a day of the month: give 1 to 31"},
        {monthly(32), "cycle day 32 is not a day of the month: give 1 to 31"},
        {pack("2026-12-01", 0), "a pack of 0 days is not possible: give 1 to 3660 days"},
        {pack("2026-12-01", 3661), "a pack of 3661 days is not possible: give 1 to 3660 days"},
        {withWarning({11, std::nullopt}),
         "the warning is above the limit: a warning comes before the limit"},
        {withWarning({std::nullopt, 100.5}),
         "a warning of 100.5% is not possible: give more than 0% and at most 100%"},
        {withWarning({std::nullopt, 0.0}),
         "a warning of 0% is not possible: give more than 0% and at most 100%"},
        {withWarning({std::nullopt, 80.0}, std::nullopt), "a warning in percent needs a limit"},
        {withWarning({}), "a warning is either a size or a percentage of the limit"},
        {wifi, "\"ethernet\" is not a network kind a plan can be for: give cellular or wifi"},
        {noLimit, "a limit of 0 bytes is no limit: give more"},
    };
    for (const InvalidCase& c : cases) EXPECT_EQ(validatePlan(c.plan), c.message);

    // The edges that are allowed.
    for (DataPlan sound :
         {monthly(1), monthly(31), pack("2028-02-29", 1), withWarning({10, std::nullopt}),
          withWarning({std::nullopt, 100.0}), withWarning({5, std::nullopt}, std::nullopt)})
        EXPECT_EQ(validatePlan(sound), std::nullopt);
}

// One month of traffic in Berlin: 1 GiB a day for ten days, then 3 GiB a day for the last four
// (the recent rate), on a 20 GiB plan with the warning at 80%.
TEST(DataPlanStatus, UsedProjectionAlertsAndApplications) {
    ScratchHome home("Europe/Berlin");
    constexpr std::uint64_t GiB = 1ULL << 30;
    DataPlan plan = monthly(1);
    plan.limit = 20 * GiB;
    plan.warning = PlanWarning{std::nullopt, 80.0};
    std::map<std::string, std::uint64_t> days;
    days["2026-11-30"] = 99 * GiB;  // the cycle before: ignored
    for (int d = 1; d <= 14; ++d) {
        char name[16];
        std::snprintf(name, sizeof name, "2026-12-%02d", d);
        days[name] = d <= 10 ? GiB : 3 * GiB;
    }
    // Noon on day 14: the window is Dec 11 to now, three and a half days; 17 and a half days
    // remain until Jan 1, 00:00 CET.
    double now = localInstant("2026-12-14T12:00:00");
    std::vector<ApplicationBytes> apps{{"b", 3 * GiB}, {"a", 3 * GiB}, {"c", 14 * GiB},
                                       {"d", 1},       {"e", 2},       {"f", 0}};

    PlanStatus status = planStatus(plan, now, days, apps);
    EXPECT_EQ(dayString(status.cycle.first), "2026-12-01");
    EXPECT_EQ(dayString(status.cycle.last), "2026-12-31");
    EXPECT_EQ(status.daysLeft, 18);
    EXPECT_EQ(status.counted, 22 * GiB);
    EXPECT_EQ(status.used, 22 * GiB);
    EXPECT_EQ(status.warning, 16 * GiB);
    EXPECT_EQ(status.limit, 20 * GiB);
    EXPECT_EQ(status.projected, 82 * GiB);  // 22 + 12 / 3.5 * 17.5
    EXPECT_TRUE(status.warningReached);
    EXPECT_TRUE(status.limitReached);
    EXPECT_TRUE(status.rapidUse);
    ASSERT_EQ(status.top.size(), kTopApplications);
    EXPECT_EQ(status.top[0].identifier, "c");
    EXPECT_EQ(status.top[1].identifier, "a");  // ties in name order
    EXPECT_EQ(status.top[2].identifier, "b");
    EXPECT_EQ(status.top[4].identifier, "d");
    EXPECT_EQ(status.dominantApplication, "c");  // 14 of 22 GiB

    // The carrier says 10 GiB: used is that at once and grows with the traffic after it; the
    // alerts follow used, and a correction of another cycle counts for nothing.
    plan.correction = correctionForFigure(status.cycle, status.counted, 10 * GiB);
    EXPECT_EQ(planStatus(plan, now, days, apps).used, 10 * GiB);
    days["2026-12-14"] += GiB;
    PlanStatus corrected = planStatus(plan, now, days, apps);
    EXPECT_EQ(corrected.used, 11 * GiB);
    EXPECT_FALSE(corrected.warningReached);
    EXPECT_FALSE(corrected.limitReached);
    EXPECT_EQ(corrected.projected, 76 * GiB);  // 11 + 13 / 3.5 * 17.5
    EXPECT_TRUE(corrected.rapidUse);           // 76 GiB > 30 GiB
    plan.correction = correctionForFigure(status.cycle, status.counted, 30 * GiB);
    days["2027-01-01"] = GiB / 2;
    PlanStatus january = planStatus(plan, localInstant("2027-01-01T12:00:00"), days, apps);
    EXPECT_EQ(january.used, GiB / 2);
    EXPECT_FALSE(january.rapidUse);
    plan.correction = PlanCorrection{day("2026-12-01"), -40 * static_cast<std::int64_t>(GiB)};
    EXPECT_EQ(planStatus(plan, now, days, apps).used, 0u);  // never below nothing

    // A slow month: no alert, no application above half.
    std::map<std::string, std::uint64_t> quiet{{"2026-12-01", GiB}, {"2026-12-14", GiB}};
    PlanStatus calm = planStatus(monthly(1), now, quiet, {{"a", GiB}, {"b", GiB}});
    EXPECT_EQ(calm.used, 2 * GiB);
    EXPECT_FALSE(calm.warningReached || calm.limitReached || calm.rapidUse);
    EXPECT_EQ(calm.dominantApplication, std::nullopt);
}

// The first minutes of a cycle project with at least a day's length, not a few bytes into an
// alarm; a pack not yet started projects nothing.
TEST(DataPlanStatus, EarlyAndFutureCycles) {
    ScratchHome home("UTC");
    DataPlan plan = monthly(1);
    plan.limit = 1000;
    double now = utc("2026-12-01T00:01:00Z");
    PlanStatus early = planStatus(plan, now, {{"2026-12-01", 10}}, {});
    EXPECT_EQ(early.projected, 10u + 310u);  // 10 bytes a day for 31 days less a minute
    EXPECT_FALSE(early.rapidUse);

    DataPlan future = pack("2027-01-01", 7);
    future.limit = 1000;
    PlanStatus waiting = planStatus(future, now, {{"2026-12-01", 5000}}, {});
    EXPECT_EQ(waiting.used, 0u);
    EXPECT_EQ(waiting.projected, 0u);
    EXPECT_EQ(waiting.daysLeft, 7);
}

}  // namespace
