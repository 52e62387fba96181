// The root page build: rows, totals, order, icons, first-request reads.
#include <filesystem>

#include "BundleFixture.h"
#include "data/BytarnEntry.h"

namespace {

using Rows = std::vector<std::string>;

class RootPage : public BundleTest {};

TEST_F(RootPage, FirstRequestReadsDefaultsAndDates) {
    openPage();
    EXPECT_EQ(page->comparator(), "compareUsage:");
    EXPECT_EQ(page->devices(), "CW ");
    EXPECT_EQ(page->period(), "Today");
    EXPECT_EQ(page->startDate(), "2026-12-06");  // nothing stored: today
    EXPECT_EQ(page->endDate(), "2026-12-06");    // nothing stored: the start
    ASSERT_TRUE(page->settingsSpecifiers());
    EXPECT_EQ(page->settingsSpecifiers()->size(), 9u);
    ASSERT_TRUE(page->cellularImage());
    EXPECT_EQ(page->cellularImage()->resourceName(), "Cellular");
    ASSERT_TRUE(page->wifiImage());
    EXPECT_EQ(page->wifiImage()->resourceName(), "Wi-Fi");
}

TEST_F(RootPage, FirstRequestReadsStoredValues) {
    store("comparator", "compareName:");
    store("devices", " W ");
    store("period", "Custom");
    store("startDate", "2026-11-01");
    openPage();
    EXPECT_EQ(page->comparator(), "compareName:");
    EXPECT_EQ(page->devices(), " W ");
    EXPECT_EQ(page->period(), "Custom");
    EXPECT_EQ(page->startDate(), "2026-11-01");
    EXPECT_EQ(page->endDate(), "2026-11-01");
}

TEST_F(RootPage, LaterRequestsDoNotReadPreferencesAgain) {
    openPage();
    store("devices", "C  ");
    page->reloadSpecifiers();
    page->reloadSpecifiers();
    EXPECT_EQ(page->devices(), "CW ");
    ASSERT_TRUE(page->navigationItem().rightBarButtonItem());
}

TEST_F(RootPage, EmptyPageUnderEveryFilter) {
    struct Case {
        const char* devices;
        Rows rows;
        const char* totalsIcon;
    };
    const Case cases[] = {
        {"CW ", {"[Usage for today]", "Total=0.00B", "[]"}, "icon"},
        {"C  ", {"[Cellular usage for today]", "Cellular=0.00B", "[]"}, "Cellular"},
        {" W ", {"[Wi-Fi usage for today]", "Wi-Fi=0.00B", "[]"}, "Wi-Fi"},
        {"XYZ", {"[Usage for today]", "[]"}, nullptr},
    };
    for (const auto& c : cases) {
        store("devices", c.devices);
        openPage();
        EXPECT_EQ(rows(), c.rows) << c.devices;
        if (c.totalsIcon) {
            EXPECT_EQ(iconOf(c.rows[1].substr(0, c.rows[1].find('='))), c.totalsIcon);
        }
    }
}

TEST_F(RootPage, TotalsRowsFollowTheKindsOfTraffic) {
    struct Case {
        const char* devices;
        std::uint64_t wifi, cellular;
        Rows totals;
    };
    const Case cases[] = {
        {"CW ", 2048, 0, {"Wi-Fi=2.00KB"}},
        {"CW ", 0, 1024, {"Cellular=1.00KB"}},
        {"CW ", 2048, 1024, {"Total=3.00KB", "Cellular=1.00KB", "Wi-Fi=2.00KB"}},
        {"C  ", 2048, 1024, {"Cellular=1.00KB"}},
        {" W ", 0, 1024, {"Wi-Fi=0.00B"}},
        {" W ", 2048, 1024, {"Wi-Fi=2.00KB"}},
    };
    for (const auto& c : cases) {
        std::filesystem::remove_all(home.path() + "/.local/share/bytarn");
        if (c.wifi || c.cellular) addUsage("org.example.App", "2026-12-06", c.wifi, c.cellular);
        store("devices", c.devices);
        openPage();
        Rows all = rows();
        Rows totals(all.begin() + 1, all.begin() + 1 + static_cast<long>(c.totals.size()));
        EXPECT_EQ(totals, c.totals) << c.devices << " " << c.wifi << "/" << c.cellular;
        EXPECT_EQ(all[1 + c.totals.size()], "[]");
    }
}

TEST_F(RootPage, ApplicationsOutsideTheFilterAreLeftOut) {
    addUsage("wifi.only", "2026-12-06", 4096, 0);
    addUsage("cell.only", "2026-12-06", 0, 2048);
    addUsage("unknown.only", "2026-12-06", 0, 0, 999999);
    const std::pair<const char*, Rows> cases[] = {
        {"CW ",
         {"[Usage for today]", "Total=6.00KB", "Cellular=2.00KB", "Wi-Fi=4.00KB", "[]",
          "wifi.only=4.00KB", "cell.only=2.00KB"}},
        {"C  ", {"[Cellular usage for today]", "Cellular=2.00KB", "[]", "cell.only=2.00KB"}},
        {" W ", {"[Wi-Fi usage for today]", "Wi-Fi=4.00KB", "[]", "wifi.only=4.00KB"}},
    };
    for (const auto& [devices, expected] : cases) {
        store("devices", devices);
        openPage();
        EXPECT_EQ(rows(), expected) << devices;
    }
}

TEST_F(RootPage, ApplicationRows) {
    addUsage("org.example.Mail", "2026-12-06", 1536, 0);
    addUsage("org.example.Quiet", "2026-12-06", 100, 0);
    desktopEntry("org.example.Mail", "Mail");
    desktopEntry("org.example.Quiet", "");  // an empty title: the identifier stands in
    home.write("icons/mail.png", readFile(bundle->bundlePath() + "/settings.png"));
    home.write(
        ".local/share/applications/org.example.Mail.desktop",
        "[Desktop Entry]\nType=Application\nName=Mail\nIcon=" + home.path() + "/icons/mail.png\n");
    openPage();
    EXPECT_EQ(rows(), (Rows{"[Usage for today]", "Wi-Fi=1.60KB", "[]", "Mail=1.50KB",
                            "org.example.Quiet=100.00B"}));
    auto mail = page->specifiers()[3];
    EXPECT_EQ(mail->identifier(), "org.example.Mail");
    EXPECT_EQ(mail->cellType(), PSLinkListCell);
    EXPECT_EQ(mail->detailControllerClass(), "BytarnEntryController");
    EXPECT_EQ(mail->stringProperty("cellClass"), "BytarnEntryCell");
    ASSERT_TRUE(entry(*mail));
    EXPECT_EQ(entry(*mail)->usage_wifi(), 1536u);
    EXPECT_EQ(mail->target(), page);
    EXPECT_EQ(iconOf("Mail"), "mail");
    EXPECT_EQ(iconOf("org.example.Quiet"), "icon");  // no icon of its own: the filter's
}

TEST_F(RootPage, RowsSortUnderEitherComparison) {
    addUsage("a.small", "2026-12-06", 300, 0);
    addUsage("b.big", "2026-12-06", 500, 0);
    addUsage("c.tie", "2026-12-06", 400, 0);
    addUsage("d.tie", "2026-12-06", 400, 0);
    desktopEntry("a.small", "zeta");
    desktopEntry("b.big", "Mu");
    desktopEntry("c.tie", "beta");
    desktopEntry("d.tie", "Alpha");
    const std::pair<const char*, Rows> cases[] = {
        {"compareUsage:", {"Mu", "Alpha", "beta", "zeta"}},
        {"compareName:", {"Alpha", "beta", "Mu", "zeta"}},
        {"compareEverything:", {"Alpha", "beta", "Mu", "zeta"}},  // unknown: by name
    };
    for (const auto& [comparator, expected] : cases) {
        store("comparator", comparator);
        openPage();
        Rows names;
        const auto& list = page->specifiers();
        for (size_t i = 3; i < list.size(); ++i) names.push_back(list[i]->name());
        EXPECT_EQ(names, expected) << comparator;
        // The summary group, the totals and the empty group stay ahead, in their order.
        EXPECT_EQ(list[0]->name(), "Usage for today");
        EXPECT_EQ(list[1]->name(), "Wi-Fi");
        EXPECT_EQ(list[2]->cellType(), PSGroupCell);
    }
}

TEST_F(RootPage, FilterDecidesUsageOrderAndValues) {
    addUsage("mostly.cell", "2026-12-06", 10, 5000);
    addUsage("mostly.wifi", "2026-12-06", 3000, 10);
    store("devices", " W ");
    openPage();
    EXPECT_EQ(rows(), (Rows{"[Wi-Fi usage for today]", "Wi-Fi=2.94KB", "[]", "mostly.wifi=2.93KB",
                            "mostly.cell=10.00B"}));
}

TEST_F(RootPage, ValuesComeFromTheLatestQuery) {
    addUsage("app", "2026-12-06", 2048, 0);
    openPage();
    auto row = page->specifiers().back();
    EXPECT_EQ(row->valueText(), "2.00KB");
    // A failed query keeps the records, and the value.
    const std::string database = usageDatabasePath();
    std::filesystem::rename(database, database + ".away");
    page->reloadApps();
    EXPECT_EQ(row->valueText(), "2.00KB");
    std::filesystem::rename(database + ".away", database);
    // The same row, without a new build, shows the new record.
    addUsage("app", "2026-12-06", 1024, 0);
    page->reloadApps();
    EXPECT_EQ(row->valueText(), "3.00KB");
    // A row of an earlier build, still held, shows the latest record too.
    page->reloadSpecifiers();
    ASSERT_NE(page->specifiers().back(), row);
    addUsage("app", "2026-12-06", 1024, 0);
    page->reloadSpecifiers();
    EXPECT_EQ(row->valueText(), "4.00KB");
    sql("DELETE FROM usage;");
    page->reloadApps();
    EXPECT_EQ(page->usage(*row), "0.00B");  // vanished from the records
}

TEST_F(RootPage, PeriodDecidesWhatIsCounted) {
    addUsage("app", "2026-12-06", 1024, 0);
    addUsage("app", "2026-12-01", 2048, 0);
    addUsage("app", "2026-10-01", 4096, 0);
    const std::pair<const char*, const char*> cases[] = {{"Today", "1.00KB"},
                                                         {"This week", "3.00KB"},
                                                         {"This month", "3.00KB"},
                                                         {"Eternity", "7.00KB"}};
    for (const auto& [period, value] : cases) {
        store("period", period);
        openPage();
        EXPECT_EQ(page->specifiers().back()->valueText(), value) << period;
    }
}

TEST_F(RootPage, SettingsButtonIsMadeOnce) {
    openPage();
    auto button = page->navigationItem().rightBarButtonItem();
    ASSERT_TRUE(button);
    EXPECT_EQ(button->style(), UIBarButtonItemStylePlain);
    ASSERT_TRUE(button->image());
    EXPECT_EQ(button->image()->resourceName(), "settings");
    EXPECT_EQ(button->target(), page);
    page->reloadSpecifiers();
    EXPECT_EQ(page->navigationItem().rightBarButtonItem(), button);
}

TEST_F(RootPage, BuildHidesTheNetworkActivityIndicator) {
    UIApplication::sharedApplication().setNetworkActivityIndicatorVisible(true);
    openPage();
    EXPECT_FALSE(UIApplication::sharedApplication().isNetworkActivityIndicatorVisible());
}

TEST_F(RootPage, DestroyedPageLeavesNothingBehind) {
    openPage();
    std::weak_ptr<BytarnController> weak = page;
    UIApplication::sharedApplication().setRootController(nullptr);
    navigation.reset();
    page.reset();
    RunLoop::main().runUntilIdle();
    EXPECT_TRUE(weak.expired());  // rows, buttons and timers hold the page only weakly
}

}  // namespace
