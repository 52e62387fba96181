#include "host/preferences/PSListItemsController.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

// A choice row whose value lives in `current` on an owning page, and which records every store.
struct Choice {
    Choice(Value::Array titles, Value::Array values) {
        row = PSSpecifier::preferenceSpecifierNamed(
            "Period", owner,
            [this](PSListController& target, const Value& value,
                   const std::shared_ptr<PSSpecifier>& stored) {
                EXPECT_EQ(&target, owner.get());
                EXPECT_EQ(stored, row);
                current = value;
                stores.push_back(value);
            },
            [this](PSListController&, PSSpecifier&) { return current; }, "PSListItemsController",
            PSLinkListCell);
        row->setProperty(Value(std::move(titles)), "validTitles");
        row->setProperty(Value(std::move(values)), "validValues");
        items->setSpecifier(row);
    }
    std::vector<std::string> itemNames() {
        std::vector<std::string> names;
        for (const auto& item : items->specifiers()) names.push_back(item->name());
        return names;
    }

    std::shared_ptr<PSListController> owner = std::make_shared<PSListController>();
    std::shared_ptr<PSListItemsController> items = std::make_shared<PSListItemsController>();
    std::shared_ptr<PSSpecifier> row;
    Value current;
    std::vector<Value> stores;
};

TEST(ListItemsController, ItemsPairTitlesWithValuesUpToTheShorterList) {
    const std::tuple<Value::Array, Value::Array, std::vector<std::string>> cases[] = {
        {{"Day", "Week", "Month"}, {"day", "week", "month"}, {"", "Day", "Week", "Month"}},
        {{"Day", "Week", "Month"}, {"day", "week"}, {"", "Day", "Week"}},
        {{"Day"}, {"day", "week"}, {"", "Day"}},
        {{}, {"day"}, {""}},
    };
    for (const auto& [titles, values, names] : cases) {
        Choice choice(titles, values);
        EXPECT_EQ(choice.itemNames(), names);
        const auto& list = choice.items->specifiers();
        EXPECT_EQ(list[0]->cellType(), PSGroupCell);
        for (size_t i = 1; i < list.size(); ++i) EXPECT_EQ(list[i]->cellType(), PSListItemCell);
    }
}

TEST(ListItemsController, CheckMarkFollowsTheValueAndSelectionStoresThroughTheSetter) {
    Choice choice({"Day", "Week", "Month"}, {"day", "week", 30});
    choice.current = "week";
    const auto list = choice.items->specifiers();
    auto checked = [&] {
        std::vector<bool> marks;
        for (const auto& item : list) marks.push_back(choice.items->isItemChecked(*item));
        return marks;
    };
    EXPECT_EQ(checked(), (std::vector<bool>{false, false, true, false}));

    std::string error;
    ASSERT_TRUE(choice.items->didSelectSpecifier(list[3], &error)) << error;
    EXPECT_EQ(choice.stores, (std::vector<Value>{30}));
    EXPECT_EQ(checked(), (std::vector<bool>{false, false, false, true}));
    EXPECT_EQ(choice.items->table().takeUpdates().size(), 1u) << "the items are redrawn";

    choice.current = "none of them";
    EXPECT_EQ(checked(), (std::vector<bool>(4, false)));

    // The group row and foreign rows are no items; they store nothing.
    auto foreign =
        PSSpecifier::preferenceSpecifierNamed("Day", nullptr, nullptr, nullptr, {}, PSListItemCell);
    for (const auto& notAnItem : {list[0], foreign, std::shared_ptr<PSSpecifier>()}) {
        error.clear();
        EXPECT_FALSE(choice.items->didSelectSpecifier(notAnItem, &error));
        EXPECT_FALSE(error.empty());
    }
    EXPECT_EQ(choice.stores.size(), 1u);

    // Once the owning page has gone there is nothing to store to, and nothing is checked.
    choice.current = "day";
    choice.owner.reset();
    choice.items->didSelectSpecifier(list[1], &error);
    EXPECT_EQ(choice.stores.size(), 1u);
    EXPECT_FALSE(choice.items->isItemChecked(*list[1]));
}

}  // namespace
