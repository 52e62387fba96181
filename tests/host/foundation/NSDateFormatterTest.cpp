#include "host/foundation/NSDateFormatter.h"

#include <gtest/gtest.h>

#include <memory>
#include <ostream>

#include "host/foundation/Clock.h"
#include "host/foundation/Locale.h"
#include "support/TestEnvironment.h"

namespace {

// The formatter the stored period dates go through: fixed pattern, POSIX locale.
std::unique_ptr<NSDateFormatter> dayFormatter() {
    auto formatter = std::make_unique<NSDateFormatter>();
    formatter->setLocale("en_US_POSIX");
    formatter->setDateFormat("yyyy-MM-dd");
    return formatter;
}

struct StrictParseCase {
    const char* text;
    bool valid;
};

std::ostream& operator<<(std::ostream& out, const StrictParseCase& c) {
    return out << '"' << c.text << '"';
}

class StrictParse : public testing::TestWithParam<StrictParseCase> {};

TEST_P(StrictParse, AcceptsOnlyWholeValidDates) {
    ScratchHome home;
    auto formatter = dayFormatter();
    std::optional<NSDate> parsed = formatter->dateFromString(GetParam().text);
    EXPECT_EQ(parsed.has_value(), GetParam().valid) << '"' << GetParam().text << '"';
    if (parsed) {
        EXPECT_EQ(formatter->stringFromDate(parsed), GetParam().text);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Texts, StrictParse,
    testing::Values(StrictParseCase{"2026-12-06", true}, StrictParseCase{"2028-02-29", true},
                    StrictParseCase{"1970-01-01", true}, StrictParseCase{"2027-02-29", false},
                    StrictParseCase{"2026-02-30", false}, StrictParseCase{"2026-13-01", false},
                    StrictParseCase{"0000-00-00", false}, StrictParseCase{"2026-2-3", false},
                    StrictParseCase{"26-12-06", false}, StrictParseCase{"2026-12-06x", false},
                    StrictParseCase{" 2026-12-06", false}, StrictParseCase{"2026-12-06 ", false},
                    StrictParseCase{"2026/12/06", false}, StrictParseCase{"", false},
                    StrictParseCase{"\xff\xfe", false}));

struct MidnightCase {
    const char* zone;
    const char* day;
    const char* expectedLocalStart;
};

std::ostream& operator<<(std::ostream& out, const MidnightCase& c) {
    return out << c.day << " in " << c.zone;
}

class LocalMidnight : public testing::TestWithParam<MidnightCase> {};

TEST_P(LocalMidnight, ParsingGivesTheStartOfTheLocalDay) {
    ScratchHome home(GetParam().zone);
    std::optional<NSDate> parsed = dayFormatter()->dateFromString(GetParam().day);
    ASSERT_TRUE(parsed.has_value());
    EXPECT_EQ(parsed->timeIntervalSince1970, localInstant(GetParam().expectedLocalStart));
}

INSTANTIATE_TEST_SUITE_P(
    Zones, LocalMidnight,
    testing::Values(MidnightCase{"Europe/Berlin", "2026-12-06", "2026-12-06T00:00:00"},
                    MidnightCase{"America/New_York", "2026-12-06", "2026-12-06T00:00:00"},
                    // Clocks go forward at 02:00 that day; midnight itself exists.
                    MidnightCase{"Europe/Berlin", "2026-03-29", "2026-03-29T00:00:00"},
                    // Clocks go forward at midnight: the day starts at 01:00.
                    MidnightCase{"America/Santiago", "2026-09-06", "2026-09-06T01:00:00"}));

TEST(NSDateFormatter, ParsedDaysFollowTheZoneAtTheMomentOfUse) {
    ScratchHome home("Europe/Berlin");
    auto formatter = dayFormatter();
    std::optional<NSDate> berlin = formatter->dateFromString("2026-12-06");
    ASSERT_TRUE(Locale::setDefaultTimeZone("America/New_York"));
    std::optional<NSDate> newYork = formatter->dateFromString("2026-12-06");
    ASSERT_TRUE(berlin && newYork);
    EXPECT_EQ(newYork->timeIntervalSince1970 - berlin->timeIntervalSince1970, 6 * 3600);
}

TEST(NSDateFormatter, FormattingAnInstantNearMidnightDependsOnTheZone) {
    ScratchHome home;
    const NSDate instant{1796598000};  // 2026-12-06T23:00:00Z
    auto formatter = dayFormatter();
    struct {
        const char* zone;
        const char* day;
    } cases[] = {{"UTC", "2026-12-06"},
                 {"Europe/Berlin", "2026-12-07"},
                 {"America/New_York", "2026-12-06"},
                 {"Asia/Tokyo", "2026-12-07"}};
    for (const auto& c : cases) {
        ASSERT_TRUE(Locale::setDefaultTimeZone(c.zone));
        EXPECT_EQ(formatter->stringFromDate(instant), c.day) << c.zone;
    }
}

TEST(NSDateFormatter, MediumDateStyleFollowsTheDefaultLocale) {
    struct {
        const char* locale;
        const char* text;
    } cases[] = {{"en_US", "Dec 6, 2026"}, {"de_DE", "06.12.2026"}};
    for (const auto& c : cases) {
        ScratchHome home("Europe/Berlin", c.locale);
        NSDateFormatter formatter;
        formatter.setDateStyle(NSDateFormatterMediumStyle);
        formatter.setTimeStyle(NSDateFormatterNoStyle);
        std::optional<NSDate> day = dayFormatter()->dateFromString("2026-12-06");
        ASSERT_TRUE(day.has_value());
        EXPECT_EQ(formatter.stringFromDate(day), c.text) << c.locale;
        EXPECT_EQ(formatter.dateFromString(c.text), day) << c.locale;
    }
}

TEST(NSDateFormatter, ALocaleChangeReachesAFormatterAlreadyUsed) {
    ScratchHome home("Europe/Berlin", "en_US");
    NSDateFormatter formatter;
    formatter.setDateStyle(NSDateFormatterMediumStyle);
    const NSDate day{localInstant("2026-12-06T12:00:00")};
    EXPECT_EQ(formatter.stringFromDate(day), "Dec 6, 2026");
    ASSERT_TRUE(Locale::setDefaultLocale("de_DE"));
    EXPECT_EQ(formatter.stringFromDate(day), "06.12.2026");
}

TEST(NSDateFormatter, NothingInGivesNothingOut) {
    ScratchHome home;
    auto formatter = dayFormatter();
    EXPECT_EQ(formatter->stringFromDate(std::nullopt), std::nullopt);

    // Neither a pattern nor a style: an empty text, and nothing parses.
    NSDateFormatter plain;
    EXPECT_EQ(plain.stringFromDate(NSDate{0}), "");
    EXPECT_EQ(plain.dateFromString("2026-12-06"), std::nullopt);
}

TEST(NSDateFormatter, DateReadsTheProcessClock) {
    ScratchHome home;
    Clock::setVirtual(1796598000);
    EXPECT_EQ(NSDate::date().timeIntervalSince1970, 1796598000);
    Clock::advance(90);
    EXPECT_EQ(NSDate::date(), NSDate{1796598090});
}

}  // namespace
