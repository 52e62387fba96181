// The usage record and the row comparisons.
#include <gtest/gtest.h>

#include <limits>

#include "data/BytarnComparisons.h"
#include "data/BytarnEntry.h"
#include "data/UsageQuery.h"
#include "host/foundation/Locale.h"
#include "host/preferences/PSSpecifier.h"

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(BytarnEntry, BuildsAndAddsFromDictionaries) {
    BytarnEntry empty(BytarnEntry::Dictionary{});
    EXPECT_EQ(empty.usage(), 0u);
    for (const char* filter : {"CW ", "C  ", " W ", "CWU"})
        EXPECT_EQ(empty.relevantUsage(filter), 0u);

    BytarnEntry::Dictionary partial{{"usage_wifi", 7}, {"usage_unknown", 11}};
    BytarnEntry entry(partial);
    entry.updateFromDictionary(partial);
    EXPECT_EQ(entry.usage_wifi(), 14u);
    EXPECT_EQ(entry.usage_cellular(), 0u);  // a key that is absent adds nothing
    EXPECT_EQ(entry.usage_unknown(), 22u);
}

TEST(BytarnEntry, UsageLeavesUnknownOutAndWraps) {
    BytarnEntry unknownOnly(BytarnEntry::Dictionary{{"usage_unknown", 99}});
    EXPECT_EQ(unknownOnly.usage(), 0u);

    BytarnEntry wrapping(BytarnEntry::Dictionary{{"usage_cellular", kMax}, {"usage_wifi", 1}});
    EXPECT_EQ(wrapping.usage(), 0u);
    wrapping.updateFromDictionary({{"usage_wifi", kMax}});
    EXPECT_EQ(wrapping.usage_wifi(), 0u);
}

TEST(BytarnEntry, RelevantUsageReadsTheFilterPlaceByPlace) {
    BytarnEntry e(
        BytarnEntry::Dictionary{{"usage_cellular", 5}, {"usage_wifi", 7}, {"usage_unknown", 11}});
    const std::pair<std::optional<std::string>, std::uint64_t> cases[] = {
        {"C  ", 5}, {" W ", 7},   {"CW ", 12},         {"CWU", 23}, {"  U", 11},
        {"cw ", 0}, {"W C", 0},   {std::nullopt, 0},   {"", 0},     {"C", 5},
        {"CW", 12}, {"CWUX", 23}, {"\xff\xfe\xfd", 0},
    };
    for (const auto& [filter, expected] : cases)
        EXPECT_EQ(e.relevantUsage(filter), expected) << (filter ? "'" + *filter + "'" : "nil");
}

TEST(CountFromText, ReadsSumsLikeADecimalParser) {
    const std::pair<const char*, std::uint64_t> cases[] = {
        {"0", 0},
        {"12345", 12345},
        {"  42", 42},
        {"+7", 7},
        {"-1", kMax},
        {"12abc", 12},
        {"abc", 0},
        {"", 0},
        {"9223372036854775807", 9223372036854775807ULL},
        {"9223372036854775808", 9223372036854775807ULL},
        {"99999999999999999999999", 9223372036854775807ULL},
        {"1.0e+19", 1},
    };
    for (const auto& [text, expected] : cases) EXPECT_EQ(countFromText(text), expected) << text;
}

class RowComparisons : public ::testing::Test {
  protected:
    static std::shared_ptr<PSSpecifier> row(const std::string& name, std::uint64_t wifi,
                                            std::uint64_t cellular) {
        auto r = PSSpecifier::preferenceSpecifierNamed(name, nullptr, nullptr, nullptr, {},
                                                       PSLinkListCell);
        setEntry(*r, std::make_shared<BytarnEntry>(BytarnEntry::Dictionary{
                         {"usage_wifi", wifi}, {"usage_cellular", cellular}}));
        return r;
    }
    void SetUp() override {
        saved = Locale::defaultLocale();
        Locale::setDefaultLocale("en_US");
    }
    void TearDown() override { Locale::setDefaultLocale(saved); }
    std::string saved;
};

TEST_F(RowComparisons, NamesCompareCaseInsensitively) {
    auto apple = row("apple", 0, 0);
    auto banana = row("Banana", 0, 0);
    EXPECT_EQ(compareName(*apple, *banana), NSOrderedAscending);
    EXPECT_EQ(compareName(*banana, *apple), NSOrderedDescending);
    EXPECT_EQ(compareName(*row("Mail", 0, 0), *row("mail", 0, 0)), NSOrderedSame);
}

TEST_F(RowComparisons, UsageComesLargestFirstThenByName) {
    // Without a page behind the rows there is no device filter: every count is 0 and the
    // titles decide.
    EXPECT_EQ(compareUsage(*row("beta", 400, 0), *row("Alpha", 400, 0)), NSOrderedDescending);
    EXPECT_EQ(compareUsage(*row("b", 0, 0), *row("a", 0, 500)), NSOrderedDescending);
}

TEST_F(RowComparisons, EntryPropertyCanBeRemoved) {
    auto r = row("x", 1, 2);
    ASSERT_NE(entry(*r), nullptr);
    setEntry(*r, nullptr);
    EXPECT_EQ(entry(*r), nullptr);
    EXPECT_EQ(r->propertyForKey("Bytarn_entry"), nullptr);
}

TEST(ComparisonNamed, KnowsOnlyTheTwoComparisons) {
    EXPECT_EQ(comparisonNamed("compareName:"), &compareName);
    EXPECT_EQ(comparisonNamed("compareUsage:"), &compareUsage);
    for (const char* other : {"compareUsage", "compareName", "", "dealloc", "release:"})
        EXPECT_EQ(comparisonNamed(std::string(other)), nullptr) << other;
    EXPECT_EQ(comparisonNamed(std::nullopt), nullptr);
}

}  // namespace
