#include "host/foundation/NSString.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <ostream>
#include <string>
#include <vector>

#include "host/foundation/Locale.h"
#include "support/TestEnvironment.h"

namespace {

using namespace std::string_literals;

struct CompareCase {
    const char* locale;
    std::string a;
    std::string b;
    NSComparisonResult expected;
};

std::ostream& operator<<(std::ostream& out, const CompareCase& c) {
    return out << c.locale << ": \"" << c.a << "\" vs \"" << c.b << '"';
}

class LocalizedCompare : public testing::TestWithParam<CompareCase> {};

TEST_P(LocalizedCompare, OrdersAsTheLocaleSortsNames) {
    const CompareCase& c = GetParam();
    ScratchHome home("Europe/Berlin", c.locale);
    EXPECT_EQ(NSString::localizedCaseInsensitiveCompare(c.a, c.b), c.expected)
        << c.locale << ": " << c.a << " vs " << c.b;
    // The reverse question must give the reverse answer, or sorting breaks.
    EXPECT_EQ(NSString::localizedCaseInsensitiveCompare(c.b, c.a),
              static_cast<NSComparisonResult>(-c.expected));
}

INSTANTIATE_TEST_SUITE_P(
    Names, LocalizedCompare,
    testing::Values(CompareCase{"en_US", "apple", "Banana", NSOrderedAscending},
                    CompareCase{"en_US", "Apple", "apple", NSOrderedSame},
                    CompareCase{"en_US", "MAPS", "maps", NSOrderedSame},
                    CompareCase{"en_US", "Zoo", "apple", NSOrderedDescending},
                    // Accents still count.
                    CompareCase{"en_US", "resume", "résumé", NSOrderedAscending},
                    // Swedish sorts "ö" after "z", German with "o".
                    CompareCase{"de_DE", "Öl", "Zebra", NSOrderedAscending},
                    CompareCase{"sv_SE", "Öl", "Zebra", NSOrderedDescending},
                    CompareCase{"en_US", "", "a", NSOrderedAscending},
                    CompareCase{"en_US", "", "", NSOrderedSame}));

TEST(LocalizedCompare, FollowsALocaleChangeWithinOneProcess) {
    ScratchHome home("Europe/Berlin", "de_DE");
    EXPECT_EQ(NSString::localizedCaseInsensitiveCompare("Öl", "Zebra"), NSOrderedAscending);
    ASSERT_TRUE(Locale::setDefaultLocale("sv_SE"));
    EXPECT_EQ(NSString::localizedCaseInsensitiveCompare("Öl", "Zebra"), NSOrderedDescending);
    ASSERT_TRUE(Locale::setDefaultLocale("de_DE"));
    EXPECT_EQ(NSString::localizedCaseInsensitiveCompare("Öl", "Zebra"), NSOrderedAscending);
}

TEST(LocalizedCompare, IllFormedTextStillSortsConsistently) {
    ScratchHome home;
    std::vector<std::string> names = {"Zebra",  "caf\xe9",     "apple", "\xff\xfe",
                                      "Banana", "caf\xc3\xa9", "\xc3",  ""};
    auto less = [](const std::string& a, const std::string& b) {
        return NSString::localizedCaseInsensitiveCompare(a, b) == NSOrderedAscending;
    };
    // A strict weak order: irreflexive, antisymmetric, transitive over every triple.
    for (const auto& a : names) {
        EXPECT_FALSE(less(a, a));
        for (const auto& b : names) {
            EXPECT_FALSE(less(a, b) && less(b, a)) << a << " / " << b;
            for (const auto& c : names) {
                if (less(a, b) && less(b, c)) {
                    EXPECT_TRUE(less(a, c)) << a << " < " << b << " < " << c;
                }
            }
        }
    }
    std::sort(names.begin(), names.end(), less);
    auto apple = std::find(names.begin(), names.end(), "apple");
    auto banana = std::find(names.begin(), names.end(), "Banana");
    EXPECT_LT(apple, banana);
}

struct UTF8Case {
    std::string bytes;
    bool valid;
};

std::ostream& operator<<(std::ostream& out, const UTF8Case& c) {
    out << std::hex;
    for (unsigned char byte : c.bytes) out << int(byte) << ' ';
    return out << std::dec;
}

class UTF8Validity : public testing::TestWithParam<UTF8Case> {};

TEST_P(UTF8Validity, MatchesTheUnicodeDefinition) {
    EXPECT_EQ(NSString::isValidUTF8(GetParam().bytes), GetParam().valid);
}

INSTANTIATE_TEST_SUITE_P(Bytes, UTF8Validity,
                         testing::Values(UTF8Case{"", true}, UTF8Case{"Wi-Fi", true},
                                         UTF8Case{"caf\xc3\xa9", true},
                                         UTF8Case{"\xe2\x82\xac", true},       // euro sign
                                         UTF8Case{"\xf0\x9f\x93\xb6", true},   // 4 bytes
                                         UTF8Case{"a\0b"s, true},              // NUL is a character
                                         UTF8Case{"caf\xe9", false},           // Latin-1
                                         UTF8Case{"\xc3", false},              // cut short
                                         UTF8Case{"\xc0\xaf", false},          // overlong "/"
                                         UTF8Case{"\xed\xa0\x80", false},      // surrogate
                                         UTF8Case{"\xf4\x90\x80\x80", false},  // past U+10FFFF
                                         UTF8Case{"\x80", false},              // lone trail byte
                                         UTF8Case{"\xff", false}));

struct NumberCase {
    const char* text;
    long long value;
};

std::ostream& operator<<(std::ostream& out, const NumberCase& c) {
    return out << '"' << c.text << '"';
}

class LongLongValue : public testing::TestWithParam<NumberCase> {};

TEST_P(LongLongValue, ReadsTheLeadingDecimalNumber) {
    EXPECT_EQ(NSString::longLongValue(GetParam().text), GetParam().value)
        << '"' << GetParam().text << '"';
}

INSTANTIATE_TEST_SUITE_P(Texts, LongLongValue,
                         testing::Values(NumberCase{"42", 42}, NumberCase{" 42", 42},
                                         NumberCase{"\t\n 42", 42}, NumberCase{"-1", -1},
                                         NumberCase{"+7", 7}, NumberCase{"12abc", 12},
                                         NumberCase{"007", 7}, NumberCase{"abc", 0},
                                         NumberCase{"", 0}, NumberCase{"-", 0},
                                         NumberCase{"+-3", 0}, NumberCase{"- 3", 0},
                                         NumberCase{"1.0e+19", 1}, NumberCase{"0x1F", 0},
                                         NumberCase{"9223372036854775807", LLONG_MAX},
                                         NumberCase{"9223372036854775808", LLONG_MAX},
                                         NumberCase{"99999999999999999999999", LLONG_MAX},
                                         NumberCase{"-9223372036854775808", LLONG_MIN},
                                         NumberCase{"-9223372036854775809", LLONG_MIN},
                                         NumberCase{"-99999999999999999999999", LLONG_MIN}));

}  // namespace
