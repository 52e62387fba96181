#include "host/netpolicy/DataSize.h"

#include <gtest/gtest.h>

namespace {

struct SizeCase {
    const char* text;
    std::optional<std::uint64_t> bytes;
    const char* error;
};

constexpr std::uint64_t KiB = 1024, MiB = KiB * 1024, GiB = MiB * 1024, TiB = GiB * 1024;

TEST(DataSize, ParsesWhatThePagesPrintAndTheBinaryUnits) {
    const SizeCase cases[] = {
        // As the pages print byte counts: two decimals, no space.
        {"512.00B", 512, ""},
        {"1.50KB", 1536, ""},
        {"117.74MB", 123459338, ""},  // 117.74 * 2^20 = 123459338.24, to the nearest byte
        {"3.2GB", 3435973837, ""},    // 3435973836.8
        {"2TB", 2 * TiB, ""},
        // The binary names, a space, any case.
        {"2GiB", 2 * GiB, ""},
        {"1 MiB", MiB, ""},
        {" 10 kib ", 10 * KiB, ""},
        {"0.5tib", TiB / 2, ""},
        {"0B", 0, ""},
        {"8388607TB", 8388607 * TiB, ""},
        {"1.0000000000000000000000001KB", 1024, ""},
        // Refused, with the reason.
        {"8388608TB", std::nullopt, "\"8388608TB\" is too large"},
        {"99999999999999999999B", std::nullopt, "\"99999999999999999999B\" is too large"},
        {"1024", std::nullopt,
         "\"1024\" has no unit: a size is a number followed by B, KB, MB, GB or TB (or KiB, MiB, "
         "GiB, TiB)"},
        {"GB", std::nullopt,
         "\"GB\" is not a size: a size is a number followed by B, KB, MB, GB or TB (or KiB, MiB, "
         "GiB, TiB)"},
        {"", std::nullopt,
         "\"\" is not a size: a size is a number followed by B, KB, MB, GB or TB (or KiB, MiB, "
         "GiB, TiB)"},
        {"1.5PB", std::nullopt, nullptr},
        {"-1GB", std::nullopt, nullptr},
        {"1,5GB", std::nullopt, nullptr},
        {"1.GB", std::nullopt, nullptr},
        {".5GB", std::nullopt, nullptr},
        {"1.2.3GB", std::nullopt, nullptr},
        {"1e3B", std::nullopt, nullptr},
        {"1 G B", std::nullopt, nullptr},
        {"\xff"
         "1GB",
         std::nullopt,
         "the size given is not a size: a size is a number followed by B, KB, MB, GB or TB (or "
         "KiB, MiB, GiB, TiB)"},
    };
    for (const SizeCase& c : cases) {
        SCOPED_TRACE(c.text);
        std::string error;
        EXPECT_EQ(parseDataSize(c.text, &error), c.bytes);
        if (c.bytes)
            EXPECT_EQ(error, "");
        else if (c.error)
            EXPECT_EQ(error, c.error);
        else
            EXPECT_NE(error, "");
    }
}

TEST(DataSize, WarningsAreSizesOrPercentages) {
    std::string error;
    EXPECT_EQ(parsePlanWarning("80%", &error), (PlanWarning{std::nullopt, 80.0}));
    EXPECT_EQ(parsePlanWarning("12.5 %", &error), (PlanWarning{std::nullopt, 12.5}));
    EXPECT_EQ(parsePlanWarning("100%", &error), (PlanWarning{std::nullopt, 100.0}));
    EXPECT_EQ(parsePlanWarning("1.5GB", &error), (PlanWarning{GiB * 3 / 2, std::nullopt}));
    EXPECT_EQ(error, "");
    const std::pair<const char*, const char*> refused[] = {
        {"101%", "a warning of \"101%\" is not possible: give more than 0% and at most 100%"},
        {"0%", "a warning of \"0%\" is not possible: give more than 0% and at most 100%"},
        {"%", "\"%\" is not a percentage such as 80%"},
        {"-5%", "\"-5%\" is not a percentage such as 80%"},
        {"80",
         "\"80\" has no unit: a size is a number followed by B, KB, MB, GB or TB (or KiB, "
         "MiB, GiB, TiB), or a percentage of the limit such as 80%"},
    };
    for (auto [text, message] : refused) {
        error.clear();
        EXPECT_EQ(parsePlanWarning(text, &error), std::nullopt) << text;
        EXPECT_EQ(error, message);
    }
}

}  // namespace
