#include "settings/core/SessionOptions.h"

#include <gtest/gtest.h>

#include "host/foundation/Clock.h"
#include "host/foundation/Locale.h"
#include "support/TestEnvironment.h"

namespace {

TEST(SessionOptions, LocalTimesAreReadStrictlyInTheDefaultZone) {
    ScratchHome home("Europe/Berlin");
    struct {
        const char* text;
        std::optional<double> seconds;
    } cases[] = {
        {"2026-12-06T12:00:00", 1796554800.0},
        {"2024-02-29T23:59:59", 1709247599.0},
        // Inside the spring-forward gap: the later side, 03:30 summer time.
        {"2026-03-29T02:30:00", 1774747800.0},
        {"2026-02-29T00:00:00", {}},
        {"2026-13-01T00:00:00", {}},
        {"2026-04-31T00:00:00", {}},
        {"2026-12-06T24:00:00", {}},
        {"2026-12-06T12:60:00", {}},
        {"2026-12-06 12:00:00", {}},
        {"2026-12-06T12:00:00Z", {}},
        {"2026-12-06", {}},
        {"", {}},
    };
    for (const auto& c : cases) {
        std::string error;
        EXPECT_EQ(parseLocalInstant(c.text, &error), c.seconds) << c.text;
        EXPECT_EQ(error.empty(), c.seconds.has_value()) << c.text << ": " << error;
    }
}

TEST(SessionOptions, EnvironmentAppliesZoneBeforeReadingTheStartTime) {
    ScratchHome home("Europe/Berlin", "en_US");
    SessionOptions options;
    options.timeZone = "America/New_York";
    options.locale = "de_DE";
    options.now = "2026-12-06T12:00:00";
    std::string error;
    ASSERT_TRUE(applySessionEnvironment(options, &error)) << error;
    EXPECT_EQ(Locale::defaultTimeZone(), "America/New_York");
    EXPECT_EQ(Locale::defaultLocale(), "de_DE");
    EXPECT_DOUBLE_EQ(Clock::now(), 1796554800.0 + 6 * 3600);  // noon in New York, not Berlin
    EXPECT_TRUE(Clock::isVirtual());

    // Without --now the clock is pinned at the real time and stands still.
    ASSERT_TRUE(applySessionEnvironment(SessionOptions{}, &error)) << error;
    double pinned = Clock::now();
    EXPECT_GT(pinned, 1796554800.0 - 10 * 365 * 86400.0);
    EXPECT_EQ(Clock::now(), pinned);
}

}  // namespace

// `bytarn --now T --collector none view --tz Z`: the options before the subcommand fill in what
// it was not given; the collector choice (--collector, --no-collector) travels as one.
TEST(SessionOptions, OptionsGivenBeforeASubcommandFillInWhatItWasNotGiven) {
    SessionOptions before;
    before.now = "2026-12-06T12:00:00";
    before.timeZone = "Asia/Tokyo";
    before.noCollector = true;
    before.bundlesDirectory = "/before";

    SessionOptions own;
    own.timeZone = "Europe/Berlin";
    own.collector = CollectorMode::Bus;
    takeOptionsGivenBefore(own, before);
    EXPECT_EQ(own.now, before.now);
    EXPECT_EQ(own.timeZone, "Europe/Berlin");
    EXPECT_EQ(own.locale, std::nullopt);
    EXPECT_EQ(own.bundlesDirectory, "/before");
    EXPECT_EQ(requestedCollectorMode(own), CollectorMode::Bus);

    SessionOptions bare;
    takeOptionsGivenBefore(bare, before);
    EXPECT_EQ(bare.timeZone, "Asia/Tokyo");
    EXPECT_EQ(requestedCollectorMode(bare), CollectorMode::None);
}
