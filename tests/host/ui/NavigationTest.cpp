#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "host/foundation/RunLoop.h"
#include "host/preferences/PSListController.h"
#include "host/ui/UIKit.h"

namespace {

// A list page that builds two rows the first time it is asked for them.
class BuildingPage : public PSListController {
  public:
    const PSSpecifierList& specifiers() override {
        if (!_specifiers) {
            ++builds;
            _specifiers = PSSpecifierList{PSSpecifier::groupSpecifierWithName("Usage"),
                                          PSSpecifier::preferenceSpecifierNamed(
                                              "Period", nullptr, nullptr, nullptr, {}, PSLinkCell)};
        }
        return *_specifiers;
    }
    int builds = 0;
};

class NavigationTest : public ::testing::Test {
  protected:
    NavigationTest() {
        RunLoop::main().reset();
        UIApplication::sharedApplication().setRootController(navigation);
        navigation->pushViewController(root, false);
    }
    ~NavigationTest() override {
        UIApplication::sharedApplication().setRootController(nullptr);
        RunLoop::main().reset();
    }

    std::shared_ptr<UINavigationController> navigation = std::make_shared<UINavigationController>();
    std::shared_ptr<BuildingPage> root = std::make_shared<BuildingPage>();
};

TEST_F(NavigationTest, PushShowsThePageAndPopStopsAtTheRoot) {
    EXPECT_EQ(root->navigationController(), navigation);
    EXPECT_EQ(root->builds, 1) << "a pushed list page has its rows";
    EXPECT_EQ(root->specifierAtIndex(1)->name(), "Period");
    EXPECT_EQ(navigation->popViewControllerAnimated(true), nullptr);
    EXPECT_EQ(navigation->topViewController(), root);

    auto detail = std::make_shared<BuildingPage>();
    navigation->pushViewController(detail, true);
    EXPECT_EQ(detail->navigationController(), navigation);
    EXPECT_EQ(detail->builds, 1);
    EXPECT_EQ(navigation->childViewControllers(),
              (std::vector<std::shared_ptr<PSViewController>>{root, detail}));
    EXPECT_EQ(navigation->popViewControllerAnimated(true), detail);
    EXPECT_EQ(navigation->topViewController(), root);
    EXPECT_EQ(root->builds, 1) << "showing the page below again does not rebuild it";
}

TEST_F(NavigationTest, PoppedPageLivesUntilTheMainQueueMovesOn) {
    for (bool keptElsewhere : {false, true}) {
        auto detail = std::make_shared<BuildingPage>();
        std::weak_ptr<BuildingPage> weak = detail;
        navigation->pushViewController(detail, true);
        std::string seenAfterPop;
        // The page pops itself from its own button and is still whole when the action returns.
        detail->navigationItem().setRightBarButtonItem(UIBarButtonItem::withTitle(
            "Done", UIBarButtonItemStyleDone, detail, "done",
            [&](PSViewController& page, UIBarButtonItem&) {
                page.navigationController()->popViewControllerAnimated(true);
                auto& list = static_cast<BuildingPage&>(page);
                seenAfterPop = list.title() + "/" + list.specifiers().at(1)->name();
            }));
        detail->setTitle("Detail");
        auto button = detail->navigationItem().rightBarButtonItem();
        auto holder = keptElsewhere ? detail : nullptr;
        detail.reset();

        ASSERT_TRUE(button->press());
        EXPECT_EQ(seenAfterPop, "Detail/Period");
        EXPECT_EQ(navigation->topViewController(), root);
        EXPECT_FALSE(weak.expired());
        RunLoop::main().runUntilIdle();
        EXPECT_EQ(weak.expired(), !keptElsewhere);
        holder.reset();
        EXPECT_TRUE(weak.expired());
        EXPECT_FALSE(button->press()) << "a button whose page has gone does nothing";
    }
}

}  // namespace
