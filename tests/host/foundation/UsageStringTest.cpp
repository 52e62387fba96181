// How every page, the command line and the collector's notifications print a byte count.
#include <gtest/gtest.h>

#include <limits>

#include "host/foundation/UsageString.h"

namespace {

constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();

TEST(UsageString, EveryUnitBoundary) {
    const std::pair<std::uint64_t, const char*> cases[] = {
        {0, "0.00B"},
        {512, "512.00B"},
        {1023, "1023.00B"},
        {1024, "1.00KB"},
        {1536, "1.50KB"},
        {1048575, "1024.00KB"},
        {1048576, "1.00MB"},
        {123456789, "117.74MB"},
        {1073741823, "1024.00MB"},
        {1073741824, "1.00GB"},
        {4294967296, "4.00GB"},
        {1ULL << 40, "1024.00GB"},
        {kMax, "17179869184.00GB"},
    };
    for (const auto& [bytes, text] : cases) EXPECT_EQ(usageString(bytes), text) << bytes;
}

}  // namespace
