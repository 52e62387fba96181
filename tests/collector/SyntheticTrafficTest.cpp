#include "collector/SyntheticTraffic.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <ostream>
#include <set>
#include <string>
#include <vector>

#include "host/foundation/Clock.h"
#include "support/TestEnvironment.h"

void PrintTo(const UsageRow& row, std::ostream* out) {
    *out << "{" << row.app << ", " << row.date << ", " << row.wifi << ", " << row.cellular << ", "
         << row.unknown << "}";
}

namespace {

std::uint64_t total(const UsageRow& row) {
    return row.wifi + row.cellular + row.unknown;
}

bool isDigit(char c) {
    return c >= '0' && c <= '9';
}
bool isLetter(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}

// "yyyy-MM-dd" with every field zero-padded.
bool isPaddedDay(const std::string& text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
    for (std::size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (!isDigit(text[i])) return false;
    return true;
}

// At least three dot-separated labels, each a letter followed by letters and digits.
bool isReverseDNS(const std::string& text) {
    int labels = 0;
    std::size_t start = 0;
    while (start <= text.size()) {
        std::size_t end = std::min(text.find('.', start), text.size());
        if (end == start || !isLetter(text[start])) return false;
        for (std::size_t i = start; i < end; ++i)
            if (!isLetter(text[i]) && !isDigit(text[i])) return false;
        ++labels;
        start = end + 1;
    }
    return labels >= 3;
}

TEST(SyntheticTraffic, SameSeedGivesSameRowsAndOtherSeedsDiffer) {
    ScratchHome home;
    auto first = SyntheticTraffic::generate(30, 7);
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(SyntheticTraffic::generate(30, 7), first);
    EXPECT_NE(SyntheticTraffic::generate(30, 8), first);
    EXPECT_NE(SyntheticTraffic::generate(30, 0xffffffffffffffffull), first);
}

TEST(SyntheticTraffic, NoDaysGiveNoRows) {
    ScratchHome home;
    EXPECT_TRUE(SyntheticTraffic::generate(0, 1).empty());
    EXPECT_TRUE(SyntheticTraffic::generate(-3, 1).empty());
    EXPECT_TRUE(SyntheticTraffic::lastDays(0).empty());
}

TEST(SyntheticTraffic, RowsFallOnZeroPaddedDaysOfTheRange) {
    ScratchHome home;  // 2026-12-06T12:00 in Berlin
    auto days = SyntheticTraffic::lastDays(60);
    ASSERT_EQ(days.size(), 60u);
    EXPECT_EQ(days.front(), "2026-10-08");
    EXPECT_EQ(days.back(), "2026-12-06");
    std::set<std::string> range(days.begin(), days.end());
    EXPECT_EQ(range.size(), days.size()) << "a day appears twice";

    std::set<std::string> appDays, daysWithRows;
    for (const UsageRow& row : SyntheticTraffic::generate(60, 3)) {
        EXPECT_TRUE(isPaddedDay(row.date)) << row.date;
        EXPECT_TRUE(range.count(row.date)) << row.date << " is outside the range";
        EXPECT_TRUE(appDays.insert(row.app + " " + row.date).second)
            << row.app << " has two rows on " << row.date;
        EXPECT_GT(total(row), 0u) << row.app << " on " << row.date;
        daysWithRows.insert(row.date);
    }
    // Over two months every day has some traffic (weather is used daily).
    for (const std::string& day : days) EXPECT_TRUE(daysWithRows.count(day)) << day;
}

struct DayRangeCase {
    const char* zone;
    const char* localNow;
    std::vector<std::string> expected;
};

std::ostream& operator<<(std::ostream& out, const DayRangeCase& c) {
    return out << c.zone << " at " << c.localNow;
}

class DayRange : public testing::TestWithParam<DayRangeCase> {};

// Days are local calendar days, counted in calendar steps: the zone decides which day "today"
// is, and days of 23 or 25 hours are neither skipped nor repeated.
TEST_P(DayRange, EndsTodayInTheLocalZone) {
    ScratchHome home(GetParam().zone);
    Clock::setVirtual(localInstant(GetParam().localNow));
    EXPECT_EQ(SyntheticTraffic::lastDays(static_cast<int>(GetParam().expected.size())),
              GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Zones, DayRange,
    testing::Values(
        DayRangeCase{
            "Europe/Berlin", "2026-12-06T12:00:00", {"2026-12-04", "2026-12-05", "2026-12-06"}},
        // Still the 5th in UTC.
        DayRangeCase{"Europe/Berlin", "2026-12-06T00:30:00", {"2026-12-05", "2026-12-06"}},
        // Already the 7th here while Berlin has the 6th.
        DayRangeCase{"Pacific/Kiritimati", "2026-12-07T00:30:00", {"2026-12-06", "2026-12-07"}},
        DayRangeCase{"America/Los_Angeles", "2026-12-05T23:30:00", {"2026-12-04", "2026-12-05"}},
        // Berlin's clocks went back an hour on 2026-10-25.
        DayRangeCase{"Europe/Berlin",
                     "2026-10-27T23:30:00",
                     {"2026-10-23", "2026-10-24", "2026-10-25", "2026-10-26", "2026-10-27"}},
        // New York's clocks go forward an hour on 2027-03-14.
        DayRangeCase{"America/New_York",
                     "2027-03-16T00:30:00",
                     {"2027-03-12", "2027-03-13", "2027-03-14", "2027-03-15", "2027-03-16"}},
        DayRangeCase{"Europe/Berlin",
                     "2028-03-01T08:00:00",
                     {"2028-02-27", "2028-02-28", "2028-02-29", "2028-03-01"}},
        DayRangeCase{"Europe/Berlin", "2027-01-01T08:00:00", {"2026-12-31", "2027-01-01"}}));

TEST(SyntheticTraffic, TodayOnlyCoversThePartOfTheDayThatHasPassed) {
    ScratchHome home;
    Clock::setVirtual(localInstant("2026-12-06T01:00:00"));
    auto early = SyntheticTraffic::generate(10, 5);
    Clock::setVirtual(localInstant("2026-12-06T23:00:00"));
    auto late = SyntheticTraffic::generate(10, 5);
    ASSERT_EQ(early.size(), late.size());
    int todayRows = 0;
    for (std::size_t i = 0; i < early.size(); ++i) {
        ASSERT_EQ(early[i].app, late[i].app);
        ASSERT_EQ(early[i].date, late[i].date);
        if (early[i].date == "2026-12-06") {
            ++todayRows;
            // 1/24 against 23/24 of the day: far apart whatever the rounding.
            EXPECT_GT(total(late[i]), 10 * total(early[i])) << early[i].app;
        } else {
            EXPECT_EQ(early[i], late[i]) << "past days must not depend on the time of day";
        }
    }
    EXPECT_GT(todayRows, 0);
}

TEST(SyntheticTraffic, ApplicationsHaveReverseDNSIdentifiersAndNames) {
    const auto& applications = SyntheticTraffic::applications();
    EXPECT_GE(applications.size(), 10u);
    std::set<std::string> identifiers;
    for (const SyntheticApplication& application : applications) {
        EXPECT_TRUE(isReverseDNS(application.identifier)) << application.identifier;
        EXPECT_FALSE(application.displayName.empty()) << application.identifier;
        EXPECT_TRUE(identifiers.insert(application.identifier).second) << application.identifier;
    }
}

// Sums over two months, by application.
struct Totals {
    std::uint64_t wifi = 0;
    std::uint64_t cellular = 0;
    std::uint64_t unknown = 0;
    int rows = 0;
    std::uint64_t all() const { return wifi + cellular + unknown; }
};

std::map<std::string, Totals> totalsByApplication(std::uint64_t seed) {
    std::map<std::string, Totals> totals;
    for (const UsageRow& row : SyntheticTraffic::generate(60, seed)) {
        Totals& t = totals[row.app];
        t.wifi += row.wifi;
        t.cellular += row.cellular;
        t.unknown += row.unknown;
        ++t.rows;
    }
    return totals;
}

// The mix the demo relies on to show something worth sorting and filtering, for a few seeds.
TEST(SyntheticTraffic, MixHasHeavyTinyWifiOnlyAndCellularHeavyApplications) {
    ScratchHome home;
    for (std::uint64_t seed : {1ull, 2ull, 42ull}) {
        SCOPED_TRACE(seed);
        auto totals = totalsByApplication(seed);
        for (const SyntheticApplication& application : SyntheticTraffic::applications())
            EXPECT_GT(totals[application.identifier].rows, 0) << application.identifier;
        EXPECT_EQ(totals.size(), SyntheticTraffic::applications().size());

        const Totals& video = totals["org.example.Video"];
        const Totals& weather = totals["org.example.Weather"];
        EXPECT_GT(video.all(), 100 * weather.all());
        EXPECT_GT(totals["org.example.Music"].all(), 10 * weather.all());
        EXPECT_EQ(weather.rows, 60) << "weather is used every day";

        for (const char* wifiOnly :
             {"org.example.Photos", "org.example.Podcasts", "org.example.Updater"}) {
            EXPECT_EQ(totals[wifiOnly].cellular, 0u) << wifiOnly;
            EXPECT_GT(totals[wifiOnly].wifi, 0u) << wifiOnly;
        }
        for (const char* cellularHeavy : {"org.example.Maps", "org.example.Chat"}) {
            EXPECT_GT(totals[cellularHeavy].cellular, totals[cellularHeavy].wifi) << cellularHeavy;
        }

        std::uint64_t unknown = 0, all = 0;
        for (const auto& [app, t] : totals) {
            unknown += t.unknown;
            all += t.all();
        }
        EXPECT_GT(unknown, 0u);
        EXPECT_LT(unknown, all / 50) << "unknown networks should stay a small share";
    }
}

}  // namespace
