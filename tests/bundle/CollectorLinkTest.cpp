// The root page's link with the usage collector: saves, change notifications, deletes, teardown.
#include "BundleFixture.h"
#include "data/BytarnEntry.h"
#include "host/messaging/CFNotificationCenter.h"
#include "host/messaging/CPDistributedMessagingCenter.h"

namespace {

using Rows = std::vector<std::string>;
const char* const kChanged = "org.bytarn/Changed";

class CollectorLink : public BundleTest {
  protected:
    CollectorLink() : center(CPDistributedMessagingCenter::centerNamed("org.bytarn.collector")) {
        center->runServer([this](const std::string& name, const auto& userInfo) {
            received.push_back(userInfo ? name + " " + userInfo->at("bundleIdentifier") : name);
        });
    }
    ~CollectorLink() override { center->stopServer(); }

    std::vector<std::string> takeReceived() {
        RunLoop::main().runUntilIdle();
        return std::exchange(received, {});
    }
    int reloads() {
        int count = 0;
        for (const auto& u : page->table().takeUpdates())
            count += u.kind == UITableView::Update::Reload;
        return count;
    }
    void postChange() {
        CFNotificationCenterPostNotification(CFNotificationCenterGetDarwinNotifyCenter(), kChanged,
                                             nullptr, nullptr, true);
        CFNotificationCenterWaitUntilDelivered();
        RunLoop::main().runUntilIdle();
    }
    // The table position of a row, as the table asks with it.
    NSIndexPath pathOf(const std::string& name) {
        const auto& list = page->specifiers();
        for (size_t i = 0; i < list.size(); ++i)
            if (list[i]->name() == name) return *page->indexPathForIndex(static_cast<int>(i));
        ADD_FAILURE() << "no row " << name;
        return {};
    }

    std::shared_ptr<CPDistributedMessagingCenter> center;
    std::vector<std::string> received;
};

TEST_F(CollectorLink, SavesOnceAtStartThenEveryFifteenSecondsHoweverOftenItReloads) {
    openPage();
    EXPECT_EQ(takeReceived(), std::vector<std::string>{"save"});
    for (int i = 0; i < 5; ++i) page->reloadSpecifiers();
    EXPECT_EQ(
        CFNotificationCenterObserverCount(CFNotificationCenterGetDarwinNotifyCenter(), kChanged),
        1u);
    EXPECT_EQ(RunLoop::main().validTimerCount(), 1u);
    EXPECT_TRUE(takeReceived().empty());

    RunLoop::main().advance(14.9);
    EXPECT_TRUE(takeReceived().empty());
    RunLoop::main().advance(0.1);
    EXPECT_EQ(takeReceived(), std::vector<std::string>{"save"});
    RunLoop::main().advance(45);
    EXPECT_EQ(takeReceived().size(), 3u);
    ASSERT_TRUE(page->flushTimer());
    EXPECT_DOUBLE_EQ(page->flushTimer()->timeInterval(), 15.0);
}

TEST_F(CollectorLink, ChangeNotificationReloadsOnTheMainThread) {
    addUsage("app", "2026-12-06", 1024, 0);
    openPage();
    page->table().takeUpdates();
    addUsage("app", "2026-12-06", 1024, 0);
    CFNotificationCenterPostNotification(CFNotificationCenterGetDarwinNotifyCenter(), kChanged,
                                         nullptr, nullptr, true);
    CFNotificationCenterWaitUntilDelivered();
    EXPECT_EQ(reloads(), 0);                                      // only queued so far
    EXPECT_EQ(page->specifiers().back()->valueText(), "1.00KB");  // the old build still shows
    RunLoop::main().runUntilIdle();
    EXPECT_EQ(reloads(), 1);
    EXPECT_EQ(page->specifiers().back()->valueText(), "2.00KB");
    EXPECT_EQ(page->apps()->at("app")->usage_wifi(), 2048u);

    // Other names are not this page's business.
    CFNotificationCenterPostNotification(CFNotificationCenterGetDarwinNotifyCenter(),
                                         "org.other/Changed", nullptr, nullptr, true);
    CFNotificationCenterWaitUntilDelivered();
    RunLoop::main().runUntilIdle();
    EXPECT_EQ(reloads(), 0);
}

TEST_F(CollectorLink, DestroyedPageGetsNoSaveAndNoReload) {
    openPage();
    takeReceived();
    // A notification whose reload is already queued when the page goes.
    CFNotificationCenterPostNotification(CFNotificationCenterGetDarwinNotifyCenter(), kChanged,
                                         nullptr, nullptr, true);
    CFNotificationCenterWaitUntilDelivered();
    std::weak_ptr<BytarnController> weak = page;
    UIApplication::sharedApplication().setRootController(nullptr);
    navigation.reset();
    page.reset();
    EXPECT_TRUE(weak.expired());
    EXPECT_EQ(
        CFNotificationCenterObserverCount(CFNotificationCenterGetDarwinNotifyCenter(), kChanged),
        0u);
    EXPECT_EQ(RunLoop::main().validTimerCount(), 0u);
    RunLoop::main().runUntilIdle();  // the queued reload finds no page
    RunLoop::main().advance(60);
    postChange();
    EXPECT_TRUE(takeReceived().empty());
}

TEST_F(CollectorLink, OnlyApplicationRowsOfferDelete) {
    addUsage("org.example.App", "2026-12-06", 2048, 1024);
    openPage();
    auto button = page->navigationItem().rightBarButtonItem();
    button->press();  // the settings section is shown too
    struct Case {
        const char* row;
        UITableViewCellEditingStyle style;
    };
    const Case cases[] = {
        {"Total", UITableViewCellEditingStyleNone},
        {"Cellular", UITableViewCellEditingStyleNone},
        {"Wi-Fi", UITableViewCellEditingStyleNone},
        {"Sort by", UITableViewCellEditingStyleNone},
        {"End date", UITableViewCellEditingStyleNone},
        {"org.example.App", UITableViewCellEditingStyleDelete},
    };
    for (const auto& c : cases)
        EXPECT_EQ(page->tableView(page->table(), pathOf(c.row)), c.style) << c.row;
    EXPECT_EQ(page->tableView(page->table(), NSIndexPath{40, 0}), UITableViewCellEditingStyleNone);
}

TEST_F(CollectorLink, DeleteWithTheSettingsShownRemovesTheRightApplication) {
    addUsage("a.first", "2026-12-06", 3000, 0);
    addUsage("b.second", "2026-12-06", 2000, 0);
    addUsage("c.third", "2026-12-06", 1000, 0);
    openPage();
    page->navigationItem().rightBarButtonItem()->press();
    takeReceived();
    const std::string total = *page->wifiStr();
    const size_t rowsBefore = page->specifiers().size();

    NSIndexPath second = pathOf("b.second");
    auto deleted = page->specifierAtIndex(page->indexOfGroup(second.section) + second.row + 1);
    ASSERT_EQ(deleted->name(), "b.second");
    page->tableView(page->table(), UITableViewCellEditingStyleInsert, second);  // not a delete
    EXPECT_EQ(page->specifiers().size(), rowsBefore);

    page->table().takeUpdates();
    page->tableView(page->table(), UITableViewCellEditingStyleDelete, second);
    ASSERT_EQ(page->specifiers().size(), rowsBefore - 1);
    EXPECT_EQ(page->apps()->count("b.second"), 0u);
    EXPECT_EQ(page->apps()->count("a.first"), 1u);
    EXPECT_EQ(deleted->valueText(), "0.00B");  // its record is gone
    Rows names;
    for (const auto& row : page->specifiers())
        if (entry(*row)) names.push_back(row->name());
    EXPECT_EQ(names, (Rows{"a.first", "c.third"}));
    auto updates = page->table().takeUpdates();
    ASSERT_EQ(updates.size(), 1u);
    EXPECT_EQ(updates[0].kind, UITableView::Update::Remove);
    EXPECT_TRUE(updates[0].animated);
    EXPECT_EQ(takeReceived(), std::vector<std::string>{"deleteApplication b.second"});
    // The totals still count it until the next build.
    EXPECT_EQ(page->wifiStr(), total);
    EXPECT_EQ(
        page->specifiers()[pathOf("Wi-Fi").row + page->indexOfGroup(pathOf("Wi-Fi").section) + 1]
            ->valueText(),
        total);
}

TEST_F(CollectorLink, DeleteOnARowWithoutRecordDoesNothing) {
    openPage();
    takeReceived();
    const size_t rows = page->specifiers().size();
    page->tableView(page->table(), UITableViewCellEditingStyleDelete, pathOf("Total"));
    EXPECT_EQ(page->specifiers().size(), rows);
    EXPECT_TRUE(takeReceived().empty());
}

TEST_F(CollectorLink, WithoutACollectorThePageWorksFromTheDatabase) {
    center->stopServer();
    addUsage("app", "2026-12-06", 1536, 0);
    openPage();
    RunLoop::main().advance(30);
    EXPECT_EQ(page->specifiers().back()->valueText(), "1.50KB");
    EXPECT_TRUE(takeReceived().empty());
    EXPECT_EQ(RunLoop::main().validTimerCount(), 1u);  // it goes on asking
}

}  // namespace
