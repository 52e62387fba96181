// The settings section: showing and hiding it, changing settings, and reaching a detail page.
#include "BundleFixture.h"
#include "data/BytarnEntry.h"
#include "host/foundation/Clock.h"
#include "host/preferences/PSListItemsController.h"
#include "root/AppEntryPage.h"

namespace {

using Update = UITableView::Update;

class SettingsSection : public BundleTest {
  protected:
    void press() {
        auto button = page->navigationItem().rightBarButtonItem();
        ASSERT_TRUE(button);
        ASSERT_TRUE(button->press());
    }
    int reloads() {
        int count = 0;
        for (const auto& u : page->table().takeUpdates()) count += u.kind == Update::Reload;
        return count;
    }
    // The rows the section shows: the settings rows less the first two, the same objects.
    PSSpecifierList section() {
        const auto& all = *page->settingsSpecifiers();
        return PSSpecifierList(all.begin() + 2, all.end());
    }
    PSSpecifierList firstRows(size_t n) {
        const auto& list = page->specifiers();
        return PSSpecifierList(list.begin(), list.begin() + static_cast<long>(n));
    }
    void change(const std::string& key, const Value& value) {
        auto row = page->specifierForKey(key);
        ASSERT_TRUE(row) << key;
        // The way the host hands a changed value over: the row's setter on its target.
        ASSERT_TRUE(row->setter());
        row->setter()(*row->target(), value, row);
    }
    Value stored(const std::string& key) { return PreferenceStore::valueForKey("org.bytarn", key); }
};

TEST_F(SettingsSection, ShowChangeAndHide) {
    addUsage("wifi.app", "2026-12-06", 4096, 0);
    addUsage("cell.app", "2026-12-06", 0, 1024);
    openPage();
    const PSSpecifierList before = page->specifiers();
    page->table().takeUpdates();

    press();
    EXPECT_TRUE(page->settingsVisible());
    EXPECT_EQ(page->navigationItem().rightBarButtonItem()->style(), UIBarButtonItemStyleDone);
    const auto shown = section();
    ASSERT_EQ(shown.size(), 7u);
    EXPECT_EQ(page->specifiers()[0]->cellType(), PSGroupCell);
    EXPECT_EQ(page->specifiers()[0]->name(), "");
    EXPECT_EQ(PSSpecifierList(page->specifiers().begin() + 1, page->specifiers().begin() + 8),
              shown);
    EXPECT_EQ(PSSpecifierList(page->specifiers().begin() + 8, page->specifiers().end()), before);
    auto updates = page->table().takeUpdates();
    ASSERT_EQ(updates.size(), 3u);
    EXPECT_EQ(updates[0].kind, Update::Scroll);
    EXPECT_EQ(updates[0].indexPath, (NSIndexPath{0, 0}));
    EXPECT_EQ(updates[1], (Update{Update::Insert, {0}, true, {}}));
    EXPECT_EQ(updates[2], (Update{Update::Insert, {1, 2, 3, 4, 5, 6, 7}, true, {}}));

    change("devices", " W ");
    EXPECT_EQ(stored("devices"), Value(" W "));
    EXPECT_EQ(page->devices(), " W ");
    EXPECT_EQ(page->period(), "Today");
    EXPECT_EQ(reloads(), 1);
    // The rebuilt page has the same arrangement, with the very same section rows.
    EXPECT_EQ(firstRows(8)[0]->cellType(), PSGroupCell);
    EXPECT_EQ(PSSpecifierList(page->specifiers().begin() + 1, page->specifiers().begin() + 8),
              shown);
    EXPECT_EQ(page->specifiers()[8]->name(), "Wi-Fi usage for today");
    EXPECT_EQ(page->specifiers().back()->name(), "wifi.app");

    press();
    EXPECT_FALSE(page->settingsVisible());
    EXPECT_EQ(page->navigationItem().rightBarButtonItem()->style(), UIBarButtonItemStylePlain);
    EXPECT_EQ(page->specifiers()[0]->name(), "Wi-Fi usage for today");
    EXPECT_EQ(page->specifiers().size(), 4u);
    updates = page->table().takeUpdates();
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_EQ(updates[0], (Update{Update::Remove, {1, 2, 3, 4, 5, 6, 7}, true, {}}));
    EXPECT_EQ(updates[1], (Update{Update::Remove, {0}, true, {}}));
}

TEST_F(SettingsSection, PressingTwiceRestoresTheList) {
    openPage();
    const PSSpecifierList before = page->specifiers();
    for (int i = 0; i < 3; ++i) {
        press();
        EXPECT_EQ(page->navigationItem().rightBarButtonItem()->style(), UIBarButtonItemStyleDone);
        page->reloadSpecifiers();  // the style survives rebuilds
        EXPECT_EQ(page->navigationItem().rightBarButtonItem()->style(), UIBarButtonItemStyleDone);
        press();
        EXPECT_EQ(page->navigationItem().rightBarButtonItem()->style(), UIBarButtonItemStylePlain);
    }
    ASSERT_EQ(page->specifiers().size(), before.size());
    for (size_t i = 0; i < before.size(); ++i)
        EXPECT_EQ(page->specifiers()[i]->name(), before[i]->name());
}

TEST_F(SettingsSection, DateEditMakesThePeriodCustomWithOneRebuild) {
    addUsage("app", "2026-11-09", 1024, 0);
    addUsage("app", "2026-11-20", 2048, 0);
    store("period", "This month");
    openPage();
    page->table().takeUpdates();
    change("startDate", "2026-11-09");
    EXPECT_EQ(stored("startDate"), Value("2026-11-09"));
    EXPECT_EQ(stored("period"), Value("Custom"));
    EXPECT_EQ(page->startDate(), "2026-11-09");
    EXPECT_EQ(page->period(), "Custom");
    EXPECT_EQ(reloads(), 1);
    // The query now runs over the stored dates: only the first day (the end is still today's
    // default, 2026-12-06, but the start came from the edit).
    EXPECT_EQ(page->startDateStr(), "2026-11-09");
    EXPECT_EQ(page->specifiers().back()->valueText(), "3.00KB");

    change("endDate", "2026-11-09");  // the same date again still makes it "Custom"
    EXPECT_EQ(page->specifiers().back()->valueText(), "1.00KB");
    EXPECT_EQ(page->specifiers()[0]->name(), "Usage between Nov 9, 2026 and Nov 9, 2026");
    EXPECT_EQ(reloads(), 1);
}

// One date set while the other is not stored: the other is stored as the page showed it, so the
// page opened again the next day shows the same period. A stored other date is left alone.
TEST_F(SettingsSection, DateEditKeepsTheShownPeriodAfterARestart) {
    struct Case {
        const char* key;
        const char* day;
        const char* storedOther;  // nothing stored when null
        const char* otherKey;
        const char* other;
        const char* summary;
    };
    const Case cases[] = {
        {"startDate", "2026-12-01", nullptr, "endDate", "2026-12-06",
         "Usage between Dec 1, 2026 and Dec 6, 2026"},
        {"endDate", "2026-12-20", nullptr, "startDate", "2026-12-06",
         "Usage between Dec 6, 2026 and Dec 20, 2026"},
        {"startDate", "2026-12-01", "2026-12-03", "endDate", "2026-12-03",
         "Usage between Dec 1, 2026 and Dec 3, 2026"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.key) + (c.storedOther ? " with the other stored" : ""));
        for (const char* key : {"period", "startDate", "endDate"}) store(key, Value());
        if (c.storedOther) store(c.otherKey, c.storedOther);
        Clock::setVirtual(localInstant("2026-12-06T12:00:00"));
        openPage();
        page->table().takeUpdates();
        change(c.key, c.day);
        EXPECT_EQ(reloads(), 1);
        EXPECT_EQ(stored(c.key).stringValue(), c.day);
        EXPECT_EQ(stored(c.otherKey).stringValue(), c.other);
        EXPECT_EQ(stored("period"), Value("Custom"));
        EXPECT_EQ(page->specifiers()[0]->name(), c.summary);
        std::pair shown{page->startDateStr(), page->endDateStr()};

        Clock::advance(86400);  // the next start, a day later
        page.reset();
        openPage();
        EXPECT_EQ(page->specifiers()[0]->name(), c.summary);
        EXPECT_EQ(std::pair(page->startDateStr(), page->endDateStr()), shown);
        EXPECT_EQ(stored(c.otherKey).stringValue(), c.other);
    }
}

TEST_F(SettingsSection, ChoosingCustomKeepsTheDates) {
    store("startDate", "2026-11-01");
    store("endDate", "2026-11-05");
    openPage();
    change("period", "This week");
    change("period", "Custom");
    EXPECT_EQ(page->startDate(), "2026-11-01");
    EXPECT_EQ(page->endDate(), "2026-11-05");
    EXPECT_EQ(stored("startDate"), Value("2026-11-01"));
    EXPECT_EQ(stored("endDate"), Value("2026-11-05"));
    EXPECT_EQ(page->specifiers()[0]->name(), "Usage between Nov 1, 2026 and Nov 5, 2026");
}

TEST_F(SettingsSection, RowWithoutKeyChangesNothingAndDoesNotReload) {
    openPage();
    page->table().takeUpdates();
    auto unkeyed = (*page->settingsSpecifiers())[1];
    ASSERT_FALSE(unkeyed->stringProperty("key"));
    page->setPreferenceValue(Value("anything"), unkeyed);
    EXPECT_EQ(reloads(), 0);
    EXPECT_EQ(page->devices(), "CW ");
    EXPECT_EQ(page->comparator(), "compareUsage:");
    EXPECT_TRUE(PreferenceStore::allValues("org.bytarn").empty());
}

TEST_F(SettingsSection, KeysNoRowCarriesChangeNothing) {
    openPage();
    EXPECT_EQ(page->specifierForKey("bogus"), nullptr);
    EXPECT_TRUE(page->readPreferenceValueForKey("bogus").isNull());
    page->setPreferenceValue(Value("x"), std::string("bogus"));
    page->setValueForKey(Value("x"), "totalStr");  // only the five preference keys can be set
    EXPECT_EQ(page->totalStr(), "0.00B");
    EXPECT_TRUE(PreferenceStore::allValues("org.bytarn").empty());
    // A stored value of the wrong type leaves the property with no value.
    page->setValueForKey(Value(7), "devices");
    EXPECT_EQ(page->devices(), std::nullopt);
}

TEST_F(SettingsSection, RowsAreFoundWhetherOrNotShown) {
    openPage();
    auto row = page->specifierForKey("period");
    ASSERT_TRUE(row);
    EXPECT_EQ(row->name(), "Period");
    EXPECT_EQ(row->target(), page);
    press();
    EXPECT_EQ(page->specifierForKey("period"), row);
    EXPECT_EQ(page->readPreferenceValueForKey("comparator"), Value("compareUsage:"));
}

// A stand-in detail page that records what the root page forwards to it.
class RecordingDetailPage : public PSListController, public AppEntryPage {
  public:
    explicit RecordingDetailPage(std::shared_ptr<PSSpecifier> row) : row_(std::move(row)) {}
    const std::shared_ptr<PSSpecifier>& originalSpecifier() const override { return row_; }
    void reloadWithEntry(std::shared_ptr<BytarnEntry> entry) override {
        entries.push_back(std::move(entry));
    }
    void settingsClicked() override { ++clicks; }
    std::vector<std::shared_ptr<BytarnEntry>> entries;
    int clicks = 0;

  private:
    std::shared_ptr<PSSpecifier> row_;
};

TEST_F(SettingsSection, ForwardsToTheFirstDetailPageOnTheStack) {
    addUsage("app", "2026-12-06", 1024, 0);
    addUsage("app", "2026-11-01", 2048, 0);
    openPage();
    auto first = std::make_shared<RecordingDetailPage>(page->specifiers().back());
    auto second = std::make_shared<RecordingDetailPage>(page->specifiers().back());
    navigation->pushViewController(first, false);
    navigation->pushViewController(second, false);

    page->reloadSpecifiers();
    ASSERT_EQ(first->entries.size(), 1u);
    ASSERT_TRUE(first->entries[0]);
    EXPECT_EQ(first->entries[0], page->apps()->at("app"));  // the record of the fresh query
    EXPECT_TRUE(second->entries.empty());

    change("period", "Eternity");
    ASSERT_EQ(first->entries.size(), 2u);
    EXPECT_EQ(first->entries[1]->usage_wifi(), 3072u);

    sql("DELETE FROM usage;");
    page->reloadSpecifiers();  // no traffic in the period: the page gets nothing
    ASSERT_EQ(first->entries.size(), 3u);
    EXPECT_EQ(first->entries[2], nullptr);

    press();
    press();
    EXPECT_EQ(first->clicks, 2);
    EXPECT_EQ(second->clicks, 0);
}

TEST_F(SettingsSection, ChoiceListStoresOnOneTapAndCloses) {
    addUsage("a.app", "2026-12-06", 300, 0);
    addUsage("b.app", "2026-12-06", 500, 0);
    desktopEntry("a.app", "Alpha");
    desktopEntry("b.app", "Beta");
    openPage();
    press();
    std::string error;
    ASSERT_TRUE(page->didSelectSpecifier(page->specifierForKey("comparator"), &error)) << error;
    auto list = std::dynamic_pointer_cast<PSListItemsController>(navigation->topViewController());
    ASSERT_TRUE(list);
    EXPECT_EQ(list->className(), "BytarnAutoPopPSListItemsController");
    EXPECT_EQ(list->title(), "Sort by");
    const auto& items = list->specifiers();
    ASSERT_EQ(items.size(), 3u);
    EXPECT_EQ(items[1]->name(), "Name");
    EXPECT_FALSE(list->isItemChecked(*items[1]));
    EXPECT_TRUE(list->isItemChecked(*items[2]));

    page->table().takeUpdates();
    std::weak_ptr<PSListItemsController> weakList = list;
    ASSERT_TRUE(list->didSelectSpecifier(items[1], &error)) << error;
    EXPECT_EQ(stored("comparator"), Value("compareName:"));
    EXPECT_EQ(page->comparator(), "compareName:");
    EXPECT_EQ(reloads(), 1);
    EXPECT_EQ(navigation->topViewController(), page);  // the list closed itself
    list.reset();
    RunLoop::main().runUntilIdle();
    EXPECT_TRUE(weakList.expired());
    EXPECT_EQ(page->specifiers().back()->name(), "Beta");  // sorted by name now
}

}  // namespace
