// The reporting period: query range, effective period and summary title, on a pinned clock.
#include "BundleFixture.h"
#include "host/foundation/Clock.h"
#include "host/foundation/Locale.h"

namespace {

class ReportingPeriod : public BundleTest {
  protected:
    void SetUp() override { makePage(); }
    void at(const std::string& localTime) { Clock::setVirtual(localInstant(localTime)); }
    std::pair<std::string, std::string> range() {
        return {page->startDateStr().value_or("nil"), page->endDateStr().value_or("nil")};
    }
    void custom(const std::string& start, const std::string& end) {
        page->setPeriod("Custom");
        page->setStartDate(start);
        page->setEndDate(end);
    }
};

TEST_F(ReportingPeriod, RangesOfTheNamedPeriods) {
    page->setStartDate("2026-01-01");
    page->setEndDate("2026-02-01");
    struct Case {
        std::optional<std::string> period;
        const char* first;
        const char* last;
    };
    const Case cases[] = {
        {"Today", "2026-12-06", "2026-12-06"},
        {"This week", "2026-11-30", "2026-12-06"},
        {"This month", "2026-11-09", "2026-12-06"},
        {"Eternity", "0000-00-00", "2026-12-06"},
        {"Custom", "2026-01-01", "2026-02-01"},
        {std::nullopt, "2026-01-01", "2026-12-06"},  // no stored period: from the stored start
        {"today", "2026-01-01", "2026-12-06"},       // periods compare exactly
    };
    for (const auto& c : cases) {
        page->setPeriod(c.period);
        EXPECT_EQ(range(), std::make_pair(std::string(c.first), std::string(c.last)))
            << c.period.value_or("nil");
    }
}

TEST_F(ReportingPeriod, TodayFollowsTheLocalCalendarDay) {
    page->setPeriod("Today");
    at("2026-12-06T23:59:59");
    EXPECT_EQ(range().first, "2026-12-06");
    at("2026-12-07T00:00:00");
    EXPECT_EQ(range().first, "2026-12-07");
    Locale::setDefaultTimeZone("America/New_York");  // the same instant is still the 6th there
    EXPECT_EQ(range().first, "2026-12-06");
}

TEST_F(ReportingPeriod, ClockChangesShiftTheRollingStartNearMidnight) {
    // Berlin: the clocks went forward on 2026-03-29 and back on 2026-10-25.
    struct Case {
        const char* now;
        const char* period;
        const char* first;
    };
    const Case cases[] = {
        {"2026-03-30T00:30:00", "This week", "2026-03-23"},   // 8 days covered
        {"2026-03-30T01:30:00", "This week", "2026-03-24"},   // after the first hour: 7
        {"2026-04-20T00:30:00", "This month", "2026-03-23"},  // 29 days covered
        {"2026-10-26T23:30:00", "This week", "2026-10-21"},   // 6 days covered
        {"2026-10-26T22:30:00", "This week", "2026-10-20"},   // before the last hour: 7
        {"2026-11-15T23:30:00", "This month", "2026-10-20"},  // 27 days covered
    };
    for (const auto& c : cases) {
        at(c.now);
        page->setPeriod(std::string(c.period));
        EXPECT_EQ(range().first, c.first) << c.now << " " << c.period;
    }
}

TEST_F(ReportingPeriod, EffectivePeriodOfCustomRanges) {
    struct Case {
        const char* start;
        const char* end;
        std::optional<std::string> effective;
    };
    const Case cases[] = {
        {"2026-12-06", "2026-12-06", "Today"},      {"2026-11-30", "2026-12-06", "This week"},
        {"2026-11-09", "2026-12-06", "This month"}, {"2026-11-09", "2026-12-05", "Custom"},
        {"0000-00-00", "2026-12-06", "Custom"},  // eternity is never recognised in a range
    };
    for (const auto& c : cases) {
        custom(c.start, c.end);
        EXPECT_EQ(page->periodStr(), c.effective) << c.start << ".." << c.end;
        EXPECT_EQ(page->period(), "Custom");  // the field is never left changed
    }
}

TEST_F(ReportingPeriod, NamedPeriodsIgnoreTheStoredDates) {
    page->setStartDate("2026-11-30");
    page->setEndDate("2026-12-06");
    page->setPeriod("Today");
    EXPECT_EQ(page->periodStr(), "Today");
    page->setPeriod("Eternity");
    EXPECT_EQ(page->periodStr(), "Eternity");
    page->setPeriod(std::nullopt);  // from the stored start to today: the week's range
    EXPECT_EQ(page->periodStr(), "This week");
    page->setStartDate("2026-01-01");
    EXPECT_EQ(page->periodStr(), std::nullopt);
    EXPECT_EQ(page->settingsSummarySuffix(), " for eternity");
}

TEST_F(ReportingPeriod, SummaryTitles) {
    struct Case {
        std::optional<std::string> devices;
        std::optional<std::string> period;
        const char* title;
    };
    const Case cases[] = {
        {"CW ", "Today", "Usage for today"},
        {"CW ", "Eternity", "Usage for eternity"},
        {"C  ", "This week", "Cellular usage for this week"},
        {" W ", "Today", "Wi-Fi usage for today"},
        {" W ", "This month", "Wi-Fi usage for this month"},
        {std::nullopt, "Bogus", "Usage for eternity"},
        {"CWU", "Today", "Usage for today"},
    };
    page->setStartDate("2026-01-01");  // an unknown period runs from the stored start
    for (const auto& c : cases) {
        page->setDevices(c.devices);
        page->setPeriod(c.period);
        EXPECT_EQ(page->settingsSummaryPrefix() + page->settingsSummarySuffix(), c.title);
    }
}

TEST_F(ReportingPeriod, CustomSuffixInTheUsersDateStyle) {
    custom("2026-11-09", "2026-12-05");
    EXPECT_EQ(page->settingsSummarySuffix(), " between Nov 9, 2026 and Dec 5, 2026");
    Locale::setDefaultLocale("de_DE");
    EXPECT_EQ(page->settingsSummarySuffix(), " between 09.11.2026 and 05.12.2026");
}

TEST_F(ReportingPeriod, UnparsableCustomDatesShowAsNone) {
    struct Case {
        const char* start;
        const char* end;
        const char* suffix;
    };
    const Case cases[] = {
        {"0000-00-00", "2026-12-05", " between None and Dec 5, 2026"},
        {"2026-11-09", "2026-02-30", " between Nov 9, 2026 and None"},
        {"yesterday", "soon", " between None and None"},
        {"2026-11-09x", "2026-12-05", " between None and Dec 5, 2026"},
    };
    for (const auto& c : cases) {
        custom(c.start, c.end);
        EXPECT_EQ(page->settingsSummarySuffix(), c.suffix) << c.start << " " << c.end;
        EXPECT_EQ(page->startDateStr(), c.start);  // the query still gets the stored text
    }
    custom("yesterday", "2026-02-30");
    EXPECT_EQ(page->localizedEndDateStr(), std::nullopt);
    EXPECT_EQ(page->localizedStartDateStr(), "None");
}

TEST_F(ReportingPeriod, CombinedStringsJoinStartAndEnd) {
    page->setPeriod("Eternity");
    EXPECT_EQ(page->combinedDateStrForPeriod(std::string("This week")), "2026-11-302026-12-06");
    EXPECT_EQ(page->combinedDateStrForPeriod(std::string("Eternity")), "0000-00-002026-12-06");
    EXPECT_EQ(page->period(), "Eternity");
}

}  // namespace
