#include "host/netpolicy/DataPlanStore.h"

#include <gtest/gtest.h>

#include "host/foundation/PreferenceStore.h"
#include "support/TestEnvironment.h"

namespace {

// Plans written whole in their own domain, read back as they were, followed by a watcher; a
// stored plan that another hand damaged reads as none, with the reason, and harms no other.
TEST(DataPlanStore, StoresReadsAndFollowsPlans) {
    ScratchHome home;
    DataPlanStore::Watcher watcher;
    EXPECT_FALSE(watcher.changed());
    EXPECT_TRUE(DataPlanStore::plans().empty());

    DataPlan cellular;
    cellular.cycleDay = 31;
    cellular.limit = 20LL << 30;
    cellular.warning = PlanWarning{std::nullopt, 80.0};
    cellular.correction = PlanCorrection{*parseDay("2026-11-30"), -123456789};
    DataPlan wifi;
    wifi.kind = "wifi";
    wifi.period = DataPlan::Period::OneOff;
    wifi.start = *parseDay("2026-12-24");
    wifi.days = 7;
    wifi.warning = PlanWarning{1 << 30, std::nullopt};
    std::string error;
    ASSERT_TRUE(DataPlanStore::store(wifi, &error)) << error;
    ASSERT_TRUE(DataPlanStore::store(cellular, &error)) << error;
    EXPECT_TRUE(watcher.changed());
    EXPECT_FALSE(watcher.changed());
    EXPECT_EQ(DataPlanStore::plans(), (std::vector<DataPlan>{cellular, wifi}));

    // The stored form is plain plist values under documented keys.
    Value stored = PreferenceStore::valueForKey(DataPlanStore::kDomain, "cellular");
    EXPECT_EQ(stored, Value(Value::Dictionary{{"period", "monthly"},
                                              {"cycleDay", 31},
                                              {"limit", std::int64_t{20} << 30},
                                              {"warningPercent", 80.0},
                                              {"correctionCycle", "2026-11-30"},
                                              {"correction", -123456789}}));

    // An unsound plan is refused and changes nothing.
    DataPlan unsound = cellular;
    unsound.cycleDay = 0;
    EXPECT_FALSE(DataPlanStore::store(unsound, &error));
    EXPECT_EQ(error, "cycle day 0 is not a day of the month: give 1 to 31");
    EXPECT_FALSE(watcher.changed());
    EXPECT_EQ(DataPlanStore::plan("cellular"), cellular);

    // Damaged by another hand: a string for the cycle day, a warning above the limit.
    const std::pair<Value, std::string> damaged[] = {
        {Value::Dictionary{{"period", "monthly"}, {"cycleDay", "31"}},
         "the stored cellular plan has no cycle day of 1 to 31"},
        {Value::Dictionary{{"period", "monthly"}, {"cycleDay", 1}, {"limit", 5}, {"warning", 6}},
         "the stored cellular plan is not sound: the warning is above the limit: a warning "
         "comes before the limit"},
        {Value::Dictionary{{"period", "weekly"}},
         "the stored cellular plan is neither monthly nor once"},
        {Value("monthly"), "the stored cellular plan is not a dictionary"},
    };
    for (const auto& [value, reason] : damaged) {
        ASSERT_TRUE(PreferenceStore::setValueForKey(DataPlanStore::kDomain, "cellular", value));
        EXPECT_TRUE(watcher.changed());
        std::string problem;
        EXPECT_EQ(DataPlanStore::plan("cellular", &problem), std::nullopt);
        EXPECT_EQ(problem, reason);
        EXPECT_EQ(DataPlanStore::plans(), std::vector<DataPlan>{wifi});
    }

    EXPECT_TRUE(DataPlanStore::clear("cellular"));
    EXPECT_TRUE(DataPlanStore::clear("cellular"));
    EXPECT_EQ(DataPlanStore::plan("cellular"), std::nullopt);
    EXPECT_EQ(DataPlanStore::plan("wifi"), wifi);
}

}  // namespace
