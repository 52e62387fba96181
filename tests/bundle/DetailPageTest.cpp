// The application detail page: its rows, its reloads and its copy of the settings section.
#include "BundleFixture.h"
#include "data/BytarnEntry.h"
#include "pages/BytarnEntryController.h"

namespace {

using Rows = std::vector<std::string>;

class DetailPage : public BundleTest {
  protected:
    // Opens the root page, then the detail page of the application row with that name.
    std::shared_ptr<BytarnEntryController> openDetail(const std::string& name) {
        openPage();
        return tapDetail(name);
    }
    std::shared_ptr<BytarnEntryController> tapDetail(const std::string& name) {
        tap(*page, name);
        detail = std::dynamic_pointer_cast<BytarnEntryController>(navigation->topViewController());
        return detail;
    }
    Rows detailRows() { return rowsOf(*detail); }
    std::shared_ptr<BytarnEntryController> detail;
};

TEST_F(DetailPage, BreakdownShowsTheKindsWithTraffic) {
    struct Case {
        std::uint64_t wifi, cellular, unknown;
        Rows rows;
    };
    const Case cases[] = {
        {2048, 0, 0, {"[Usage for today]", "app=2.00KB", "[Breakdown]", "Wi-Fi=2.00KB"}},
        {0, 2048, 0, {"[Usage for today]", "app=2.00KB", "[Breakdown]", "Cellular=2.00KB"}},
        {24,
         1000,
         5000,
         {"[Usage for today]", "app=1.00KB", "[Breakdown]", "Cellular=1000.00B", "Wi-Fi=24.00B"}},
    };
    for (const auto& c : cases) {
        sql("DELETE FROM usage;");
        addUsage("app", "2026-12-06", c.wifi, c.cellular, c.unknown);
        openDetail("app");
        ASSERT_TRUE(detail);
        EXPECT_EQ(detailRows(), c.rows);
        EXPECT_EQ(detail->title(), "app");
    }
    const auto& list = detail->specifiers();
    EXPECT_EQ(list[1]->stringProperty("cellClass"), "BytarnEntryCell");
    EXPECT_EQ(iconOf("app"), "icon");
    auto cellularIcon = list[3]->property<std::shared_ptr<UIImage>>("iconImage");
    ASSERT_TRUE(cellularIcon && *cellularIcon);
    EXPECT_EQ((*cellularIcon)->resourceName(), "Cellular");
}

TEST_F(DetailPage, IgnoresTheDeviceFilter) {
    addUsage("app", "2026-12-06", 2048, 1024);
    store("devices", "C  ");
    openDetail("app");
    EXPECT_EQ(page->specifiers().back()->valueText(), "1.00KB");  // the root page filters
    EXPECT_EQ(detailRows(), (Rows{"[Usage for today]", "app=3.00KB", "[Breakdown]",
                                  "Cellular=1.00KB", "Wi-Fi=2.00KB"}));
}

TEST_F(DetailPage, ReloadsHandItTheFreshRecordOrNothing) {
    addUsage("app", "2026-12-06", 1024, 0);
    addUsage("app", "2026-11-20", 0, 4096);
    openDetail("app");
    EXPECT_EQ(detailRows(),
              (Rows{"[Usage for today]", "app=1.00KB", "[Breakdown]", "Wi-Fi=1.00KB"}));

    page->setPreferenceValue(Value("This month"), page->specifierForKey("period"));
    EXPECT_EQ(detailRows(), (Rows{"[Usage for this month]", "app=5.00KB", "[Breakdown]",
                                  "Cellular=4.00KB", "Wi-Fi=1.00KB"}));
    EXPECT_EQ(detail->title(), "app");

    sql("DELETE FROM usage;");
    page->reloadSpecifiers();
    EXPECT_EQ(detailRows(), (Rows{"[Usage for this month]", "app=0.00B"}));
    EXPECT_EQ(entry(*detail->originalSpecifier()), nullptr);

    BytarnEntry unknownOnly(BytarnEntry::Dictionary{{"usage_unknown", 5000}});
    detail->reloadWithEntry(std::make_shared<BytarnEntry>(unknownOnly));
    EXPECT_EQ(detailRows(), (Rows{"[Usage for this month]", "app=0.00B"}));
}

TEST_F(DetailPage, SettingsButtonShowsTheSectionOnBothPages) {
    addUsage("app", "2026-12-06", 1024, 0);
    openDetail("app");
    auto button = detail->navigationItem().rightBarButtonItem();
    ASSERT_TRUE(button);
    EXPECT_EQ(button->target(), page);  // the root page handles it
    EXPECT_EQ(button->image()->resourceName(), "settings");
    detail->table().takeUpdates();

    ASSERT_TRUE(button->press());
    EXPECT_TRUE(page->settingsVisible());
    EXPECT_EQ(page->navigationItem().rightBarButtonItem()->style(), UIBarButtonItemStyleDone);
    EXPECT_EQ(button->style(), UIBarButtonItemStyleDone);
    EXPECT_EQ(detailRows(), (Rows{"[]", "[Display]", "Sort by=Usage", "Networks=Cellular and Wi-Fi",
                                  "[Reporting period]", "Period=Today", "[Usage for today]",
                                  "app=1.00KB", "[Breakdown]", "Wi-Fi=1.00KB"}));
    // The very rows of the root page's section, less the two dates.
    const auto& shared = *page->settingsSpecifiers();
    EXPECT_EQ(detail->specifiers()[2], shared[3]);
    auto updates = detail->table().takeUpdates();
    ASSERT_EQ(updates.size(), 2u);
    EXPECT_EQ(updates[0], (UITableView::Update{UITableView::Update::Insert, {0}, false, {}}));
    EXPECT_EQ(updates[1],
              (UITableView::Update{UITableView::Update::Insert, {1, 2, 3, 4, 5}, true, {}}));

    ASSERT_TRUE(button->press());
    EXPECT_FALSE(page->settingsVisible());
    EXPECT_EQ(button->style(), UIBarButtonItemStylePlain);
    EXPECT_EQ(page->navigationItem().rightBarButtonItem()->style(), UIBarButtonItemStylePlain);
    EXPECT_EQ(detailRows(),
              (Rows{"[Usage for today]", "app=1.00KB", "[Breakdown]", "Wi-Fi=1.00KB"}));
    EXPECT_EQ(page->specifiers()[0]->name(), "Usage for today");
}

TEST_F(DetailPage, OpensAndRebuildsWithTheSettingsShown) {
    addUsage("app", "2026-12-06", 1024, 0);
    openPage();
    page->navigationItem().rightBarButtonItem()->press();
    tapDetail("app");
    ASSERT_TRUE(detail);
    EXPECT_EQ(detail->navigationItem().rightBarButtonItem()->style(), UIBarButtonItemStyleDone);
    Rows shown = detailRows();
    ASSERT_EQ(shown.size(), 10u);
    EXPECT_EQ(shown[0], "[]");
    EXPECT_EQ(shown[6], "[Usage for today]");
    page->reloadSpecifiers();
    EXPECT_EQ(detailRows(), shown);
    detail->navigationItem().rightBarButtonItem()->press();
    EXPECT_EQ(detailRows()[0], "[Usage for today]");
}

TEST_F(DetailPage, ChoiceMadeOnTheDetailPageReachesBothPages) {
    addUsage("a.app", "2026-12-06", 1024, 0);
    addUsage("a.app", "2026-11-30", 1024, 0);
    openDetail("a.app");
    detail->navigationItem().rightBarButtonItem()->press();
    tap(*detail, "Period");
    auto list = std::dynamic_pointer_cast<PSListController>(navigation->topViewController());
    ASSERT_TRUE(list);
    EXPECT_EQ(list->title(), "Period");
    tap(*list, "This week");
    RunLoop::main().runUntilIdle();
    EXPECT_EQ(navigation->topViewController(), detail);
    EXPECT_EQ(page->period(), "This week");
    EXPECT_EQ(detailRows()[6], "[Usage for this week]");
    EXPECT_EQ(detailRows()[7], "a.app=2.00KB");
}

TEST_F(DetailPage, PoppedPageIsReleased) {
    addUsage("app", "2026-12-06", 1024, 0);
    openDetail("app");
    std::weak_ptr<BytarnEntryController> weak = detail;
    detail.reset();
    navigation->popViewControllerAnimated(true);
    RunLoop::main().runUntilIdle();
    EXPECT_TRUE(weak.expired());
    page->reloadSpecifiers();  // nothing left to forward to
    page->navigationItem().rightBarButtonItem()->press();
    EXPECT_TRUE(page->settingsVisible());
}

}  // namespace
