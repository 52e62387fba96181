#include "host/preferences/PSListController.h"

#include <gtest/gtest.h>

#include <algorithm>

#include "host/foundation/NSBundle.h"
#include "host/foundation/PreferenceStore.h"
#include "host/foundation/PropertyList.h"
#include "host/foundation/RunLoop.h"
#include "host/foundation/SystemLog.h"
#include "host/preferences/ClassRegistry.h"
#include "host/preferences/PSSpecifier.h"
#include "support/TestEnvironment.h"

namespace {

using Update = UITableView::Update;

std::shared_ptr<PSSpecifier> row(const std::string& name, PSCellType type = PSTitleValueCell) {
    return PSSpecifier::preferenceSpecifierNamed(name, nullptr, nullptr, nullptr, {}, type);
}

// A page the tests open from a row; it remembers being shown.
class ListTestDetailPage : public PSListController {
  public:
    void viewWillAppear(bool animated) override {
        ++appearances;
        PSListController::viewWillAppear(animated);
    }
    int appearances = 0;
};
REGISTER_PAGE_CLASS(ListTestDetailPage);

class ListControllerTest : public ::testing::Test {
  protected:
    ListControllerTest() {
        RunLoop::main().reset();
        SystemLog::setEchoToStandardError(false);
        SystemLog::takeCaptured();
    }
    ~ListControllerTest() override {
        SystemLog::setEchoToStandardError(true);
        RunLoop::main().reset();
    }

    // A bundle directory in the scratch home holding <name>.plist with the given contents.
    std::shared_ptr<NSBundle> bundleWith(const std::string& name, const Value& plist) {
        home.write("Test.bundle/" + name + ".plist", PropertyList::toXml(plist));
        return NSBundle::bundleWithPath(home.path() + "/Test.bundle");
    }

    ScratchHome home;
    std::shared_ptr<PSListController> page = std::make_shared<PSListController>();
};

TEST_F(ListControllerTest, EditingRecordsTableUpdatesAndMatchesRowsByIdentity) {
    PSListController unbuilt;
    unbuilt.removeSpecifierAtIndex(0, false);
    unbuilt.removeContiguousSpecifiers({row("A")}, false);
    EXPECT_TRUE(unbuilt.table().takeUpdates().empty());

    auto a = row("A"), b = row("B"), c = row("C"), d = row("D");
    page->insertContiguousSpecifiers({a, b}, 0, false);
    page->insertSpecifier(c, 1, true);
    page->insertSpecifier(d, 3, false);
    EXPECT_EQ(page->specifiers(), (PSSpecifierList{a, c, b, d}));

    auto twinOfC = row("C");
    page->removeContiguousSpecifiers({twinOfC, d, b}, true);
    EXPECT_EQ(page->specifiers(), (PSSpecifierList{a, c}));
    page->removeContiguousSpecifiers({twinOfC}, true);
    page->removeSpecifierAtIndex(2, true);
    page->removeSpecifierAtIndex(-1, true);
    EXPECT_EQ(page->specifiers(), (PSSpecifierList{a, c}));
    EXPECT_EQ(page->indexOfSpecifier(twinOfC), -1);
    EXPECT_EQ(page->indexOfSpecifier(c), 1);
    page->removeSpecifierAtIndex(0, false);
    EXPECT_EQ(page->specifiers(), (PSSpecifierList{c}));
    EXPECT_EQ(page->specifierAtIndex(1), nullptr);

    EXPECT_EQ(page->table().takeUpdates(), (std::vector<Update>{
                                               {Update::Insert, {0, 1}, false, {}},
                                               {Update::Insert, {1}, true, {}},
                                               {Update::Insert, {3}, false, {}},
                                               {Update::Remove, {2, 3}, true, {}},
                                               {Update::Remove, {0}, false, {}},
                                           }));
}

TEST_F(ListControllerTest, GroupsAndIndexPathsRoundTrip) {
    // A stray row before the first group, a group of two, an empty group, a group of one.
    page->insertContiguousSpecifiers({row("stray"), row("G0", PSGroupCell), row("a"), row("b"),
                                      row("G1", PSGroupCell), row("G2", PSGroupCell), row("c")},
                                     0, false);
    EXPECT_EQ(page->numberOfGroups(), 3);
    const std::pair<int, int> groups[] = {{0, 1}, {1, 4}, {2, 5}, {3, -1}, {-1, -1}};
    for (auto [section, index] : groups) EXPECT_EQ(page->indexOfGroup(section), index) << section;

    const std::pair<int, std::optional<NSIndexPath>> paths[] = {
        {-1, {}},
        {0, {}},
        {1, {}},
        {2, NSIndexPath{0, 0}},
        {3, NSIndexPath{0, 1}},
        {4, {}},
        {5, {}},
        {6, NSIndexPath{2, 0}},
        {7, {}},
    };
    for (const auto& [index, expected] : paths) {
        auto path = page->indexPathForIndex(index);
        EXPECT_EQ(path, expected) << index;
        if (path) {
            EXPECT_EQ(page->indexOfGroup(path->section) + path->row + 1, index);
        }
    }
}

TEST_F(ListControllerTest, LoadsRowsFromBundlePlistAndReadsAndStoresTheirValues) {
    const Value::Array titles{"Day", "Week", "Month"}, values{"day", "week", "month"};
    page->setBundle(bundleWith(
        "Prefs", Value::Dictionary{
                     {"items", Value::Array{
                                   Value::Dictionary{{"cell", "PSGroupCell"}, {"label", "Usage"}},
                                   "not a row",
                                   Value::Dictionary{{"cell", "PSLinkListCell"},
                                                     {"label", "Period"},
                                                     {"key", "Period"},
                                                     {"defaults", "org.example.test"},
                                                     {"default", "week"},
                                                     {"validTitles", titles},
                                                     {"validValues", values},
                                                     {"detail", "PSListItemsController"}},
                                   Value::Dictionary{
                                       {"label", "Limit"}, {"key", "Limit"}, {"defaults", "other"}},
                                   Value::Dictionary{{"cell", "PSNoSuchCell"}, {"label", "About"}},
                               }}}));

    auto rows = page->loadSpecifiersFromPlistName("Prefs", page);
    ASSERT_EQ(rows.size(), 4u);
    const std::tuple<const char*, PSCellType, const char*, bool> expected[] = {
        {"Usage", PSGroupCell, "", false},
        {"Period", PSLinkListCell, "PSListItemsController", true},
        {"Limit", PSStaticTextCell, "", true},
        {"About", PSStaticTextCell, "", false},
    };
    for (size_t i = 0; i < rows.size(); ++i) {
        const auto& [name, type, detail, keyed] = expected[i];
        EXPECT_EQ(rows[i]->name(), name);
        EXPECT_EQ(rows[i]->cellType(), type) << name;
        EXPECT_EQ(rows[i]->detailControllerClass(), detail) << name;
        EXPECT_EQ(rows[i]->target(), page) << name;
        EXPECT_EQ(bool(rows[i]->getter()), keyed) << name;
        EXPECT_EQ(bool(rows[i]->setter()), keyed) << name;
    }
    auto& period = rows[1];
    EXPECT_EQ(period->stringProperty("key"), "Period");
    EXPECT_EQ(period->stringProperty("defaults"), "org.example.test");
    EXPECT_EQ(period->valueProperty("validTitles"), Value(titles));

    // Nothing stored: the row's default, shown by its title; no default at all: nil.
    EXPECT_EQ(page->readPreferenceValue(*period), Value("week"));
    EXPECT_EQ(period->valueText(), "Week");
    EXPECT_TRUE(page->readPreferenceValue(*rows[2]).isNull());
    EXPECT_EQ(rows[2]->valueText(), std::nullopt);

    // The setter stores in the row's own domain, and the stored value beats the default.
    period->setter()(*page, "month", period);
    EXPECT_EQ(PreferenceStore::allValues("org.example.test"),
              (Value::Dictionary{{"Period", "month"}}));
    EXPECT_EQ(page->readPreferenceValue(*period), Value("month"));
    EXPECT_EQ(period->valueText(), "Month");
    page->setPreferenceValue(12, rows[2]);
    EXPECT_EQ(PreferenceStore::valueForKey("other", "Limit"), Value(12));
    EXPECT_EQ(rows[2]->valueText(), "12");

    ASSERT_TRUE(PreferenceStore::setValueForKey("org.example.test", "Period", "year"));
    EXPECT_EQ(period->valueText(), std::nullopt) << "a value that is no choice has no title";

    // A row without a key or domain stores nothing and says so.
    SystemLog::takeCaptured();
    page->setPreferenceValue("x", rows[3]);
    EXPECT_EQ(SystemLog::takeCaptured().size(), 1u);
}

TEST_F(ListControllerTest, MissingOrMalformedPlistGivesNoRowsAndALogLine) {
    page->setBundle(bundleWith("NoItems", Value::Dictionary{{"title", "x"}}));
    home.write("Test.bundle/ItemsNotArray.plist",
               PropertyList::toXml(Value::Dictionary{{"items", "x"}}));
    home.write("Test.bundle/Broken.plist", "<plist><dict>");
    for (const char* name : {"NoItems", "ItemsNotArray", "Broken", "Missing"}) {
        SystemLog::takeCaptured();
        EXPECT_TRUE(page->loadSpecifiersFromPlistName(name, page).empty()) << name;
        EXPECT_EQ(SystemLog::takeCaptured().size(), 1u) << name;
    }
    auto bundleless = std::make_shared<PSListController>();
    EXPECT_TRUE(bundleless->loadSpecifiersFromPlistName("NoItems", bundleless).empty());
    EXPECT_EQ(SystemLog::takeCaptured().size(), 1u);
}

TEST_F(ListControllerTest, ValueTextOfGetterRowsNeedsALiveTarget) {
    Value current;
    auto getter = [&current](PSListController&, PSSpecifier&) { return current; };
    auto shown =
        PSSpecifier::preferenceSpecifierNamed("Shown", page, nullptr, getter, {}, PSTitleValueCell);
    const std::pair<Value, std::optional<std::string>> cases[] = {
        {Value("12 MB"), "12 MB"}, {Value(7), "7"}, {Value(true), "true"}, {Value(), {}}};
    for (const auto& [value, text] : cases) {
        current = value;
        EXPECT_EQ(shown->valueText(), text);
    }
    current = "12 MB";
    EXPECT_EQ(row("No getter")->valueText(), std::nullopt);
    page.reset();
    EXPECT_EQ(shown->valueText(), std::nullopt) << "the target has gone";
}

TEST_F(ListControllerTest, SelectingARowPushesItsDetailPage) {
    auto bundle = bundleWith("Empty", Value::Dictionary{});
    page->setBundle(bundle);
    auto navigation = std::make_shared<UINavigationController>();
    navigation->pushViewController(page, false);
    auto opens = PSSpecifier::preferenceSpecifierNamed("Period", page, nullptr, nullptr,
                                                       "ListTestDetailPage", PSLinkCell);

    std::string error;
    ASSERT_TRUE(page->didSelectSpecifier(opens, &error)) << error;
    ASSERT_EQ(navigation->childViewControllers().size(), 2u);
    auto detail = std::dynamic_pointer_cast<ListTestDetailPage>(navigation->topViewController());
    ASSERT_NE(detail, nullptr);
    EXPECT_EQ(detail->specifier(), opens);
    EXPECT_EQ(detail->parentController(), page);
    EXPECT_EQ(detail->bundle(), bundle);
    EXPECT_EQ(detail->title(), "Period");
    EXPECT_EQ(detail->navigationController(), navigation);
    EXPECT_EQ(detail->appearances, 1);

    auto unknown = PSSpecifier::preferenceSpecifierNamed("X", page, nullptr, nullptr,
                                                         "NoSuchPageClass", PSLinkCell);
    for (const auto& bad : {unknown, row("Plain", PSLinkCell), std::shared_ptr<PSSpecifier>()}) {
        error.clear();
        EXPECT_FALSE(page->didSelectSpecifier(bad, &error));
        EXPECT_FALSE(error.empty());
    }
    EXPECT_EQ(navigation->childViewControllers().size(), 2u);

    auto offStack = std::make_shared<PSListController>();
    error.clear();
    EXPECT_FALSE(offStack->didSelectSpecifier(opens, &error));
    EXPECT_FALSE(error.empty());
    EXPECT_EQ(navigation->childViewControllers().size(), 2u);
}

}  // namespace
