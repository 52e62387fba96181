#pragma once

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "collector/UsageDatabase.h"
#include "host/activator/LAActivator.h"
#include "host/foundation/NSBundle.h"
#include "host/foundation/PreferenceStore.h"
#include "host/foundation/RunLoop.h"
#include "host/foundation/SystemLog.h"
#include "host/preferences/PSSpecifier.h"
#include "host/ui/UIImage.h"
#include "host/ui/UIKit.h"
#include "root/BytarnController.h"
#include "support/TestEnvironment.h"

// A root page opened the way the Settings application opens it: from an entry row with its icon,
// on a navigation stack, with the built bundle's resources, in a scratch home whose clock stands
// at 2026-12-06T12:00 in Berlin.
class BundleTest : public ::testing::Test {
  protected:
    BundleTest() {
        RunLoop::main().reset();
        SystemLog::setEchoToStandardError(false);
        SystemLog::takeCaptured();
        LAActivator::sharedInstance().clearCache();
        bundle = NSBundle::bundleWithPath(BYTARN_BUILD_BUNDLES_DIR "/Bytarn.bundle");
    }
    ~BundleTest() override {
        page.reset();
        navigation.reset();
        UIApplication::sharedApplication().setRootController(nullptr);
        RunLoop::main().reset();
        LAActivator::sharedInstance().clearCache();
    }

    // Creates the page and pushes it, which builds it, as the host does.
    std::shared_ptr<BytarnController> makePage() {
        page = std::make_shared<BytarnController>();
        page->setBundle(bundle);
        auto entry = PSSpecifier::preferenceSpecifierNamed("Bytarn", nullptr, nullptr, nullptr,
                                                           "BytarnController", PSLinkCell);
        entry->setProperty(UIImage::imageWithContentsOfFile(bundle->bundlePath() + "/icon.png"),
                           "iconImage");
        page->setSpecifier(entry);
        page->setTitle("Bytarn");
        navigation = std::make_shared<UINavigationController>();
        navigation->pushViewController(page, false);
        UIApplication::sharedApplication().setRootController(navigation);
        return page;
    }

    // Creates the page and makes sure it has its rows.
    std::shared_ptr<BytarnController> openPage() {
        makePage();
        page->specifiers();
        return page;
    }

    void addUsage(const std::string& app, const std::string& date, std::uint64_t wifi,
                  std::uint64_t cellular, std::uint64_t unknown = 0) {
        UsageDatabase(UsageDatabase::defaultPath()).addUsage(app, date, wifi, cellular, unknown);
    }
    void sql(const std::string& statement) {
        std::string error;
        ASSERT_TRUE(UsageDatabase(UsageDatabase::defaultPath()).execute(statement, &error))
            << error;
    }
    void store(const std::string& key, const Value& value) {
        ASSERT_TRUE(PreferenceStore::setValueForKey("org.bytarn", key, value));
    }
    void desktopEntry(const std::string& id, const std::string& name) {
        home.write(".local/share/applications/" + id + ".desktop",
                   "[Desktop Entry]\nType=Application\nName=" + name + "\n");
    }

    // Each row of a page as "name=value" ("name" alone when it shows no value); groups as
    // "[name]".
    static std::vector<std::string> rowsOf(PSListController& list) {
        std::vector<std::string> out;
        for (const auto& row : list.specifiers()) {
            if (row->cellType() == PSGroupCell) {
                out.push_back("[" + row->name() + "]");
                continue;
            }
            auto value = row->valueText();
            out.push_back(value ? row->name() + "=" + *value : row->name());
        }
        return out;
    }
    std::vector<std::string> rows() { return rowsOf(*page); }
    // Taps the first row of a page with that name; the page it opens is then on top.
    void tap(PSListController& list, const std::string& name) {
        std::shared_ptr<PSSpecifier> row;
        for (const auto& r : list.specifiers())
            if (!row && r->name() == name) row = r;
        ASSERT_TRUE(row) << "no row " << name;
        std::string error;
        ASSERT_TRUE(list.didSelectSpecifier(row, &error)) << error;
    }
    std::string iconOf(const std::string& rowName) {
        for (const auto& row : page->specifiers()) {
            if (row->name() != rowName) continue;
            auto icon = row->property<std::shared_ptr<UIImage>>("iconImage");
            return icon && *icon ? (*icon)->resourceName() : "(none)";
        }
        return "(no row)";
    }

    ScratchHome home;
    std::shared_ptr<NSBundle> bundle;
    std::shared_ptr<UINavigationController> navigation;
    std::shared_ptr<BytarnController> page;
};
