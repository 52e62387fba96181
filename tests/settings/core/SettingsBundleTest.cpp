#include "settings/core/SettingsBundle.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <sstream>

#include "host/foundation/NSBundle.h"
#include "host/foundation/RunLoop.h"
#include "host/preferences/PSSpecifier.h"
#include "host/ui/UIImage.h"
#include "host/ui/UIKit.h"
#include "settings/core/SettingsApplication.h"
#include "settings/core/SettingsRootController.h"
#include "support/TestEnvironment.h"

namespace fs = std::filesystem;

namespace {

const std::string kBuiltBundle = std::string(BYTARN_BUILD_BUNDLES_DIR) + "/Bytarn.bundle";

std::string infoPlist(const std::vector<std::pair<std::string, std::string>>& keys) {
    std::string text =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>\n";
    for (const auto& [key, value] : keys)
        text += "<key>" + key + "</key><string>" + value + "</string>\n";
    return text + "</dict></plist>\n";
}

TEST(BundlesDirectory, CandidatesComeInSearchOrder) {
    auto all = bundlesDirectoryCandidates(std::string("/opt/b"), "/env/b", "/x/bin");
    ASSERT_GE(all.size(), 5u);
    EXPECT_EQ(all[0].path, "/opt/b");
    EXPECT_TRUE(all[0].required);
    EXPECT_EQ(all[1].path, "/env/b");
    EXPECT_TRUE(all[1].required);
    EXPECT_EQ(all[2].path, "/x/bundles");
    EXPECT_FALSE(all[2].required);
    bool installed = false;
    for (size_t i = 3; i + 1 < all.size(); ++i)
        installed = installed || all[i].path == "/x/lib/bytarn/bundles";
    EXPECT_TRUE(installed);
    EXPECT_EQ(all.back().path, BYTARN_BUILD_BUNDLES_DIR);
    EXPECT_FALSE(all.back().required);

    // Unset and empty settings are no candidates; without an executable directory only the
    // build directory is left.
    auto bare = bundlesDirectoryCandidates(std::nullopt, "", "");
    ASSERT_EQ(bare.size(), 1u);
    EXPECT_EQ(bare[0].path, BYTARN_BUILD_BUNDLES_DIR);
    EXPECT_EQ(bundlesDirectoryCandidates(std::nullopt, nullptr, "/x/bin")[0].path, "/x/bundles");
}

TEST(BundlesDirectory, TheFirstExistingDirectoryWinsUnlessANamedOneIsMissing) {
    ScratchHome home;
    std::string present = fs::path(home.file("present/x")).parent_path().string();
    std::string absent = home.path() + "/absent";
    struct {
        const char* what;
        std::vector<BundlesDirectoryCandidate> candidates;
        std::optional<std::string> chosen;
        const char* error;
    } cases[] = {
        {"optional absent skipped", {{absent, "a"}, {present, "b"}}, present, nullptr},
        {"required present", {{present, "a", true}, {absent, "b"}}, present, nullptr},
        {"required absent", {{absent, "--bundles", true}, {present, "b"}}, {}, "--bundles"},
        {"nothing found", {{absent, "a"}}, {}, "--bundles"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::string error;
        EXPECT_EQ(chooseBundlesDirectory(c.candidates, &error), c.chosen);
        if (c.error) {
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
        }
    }
}

TEST(LoadBundles, UsableBundlesLoadInNameOrderAndTheRestAreReported) {
    ScratchHome home;
    fs::path dir = home.path() + "/bundles";
    fs::create_directories(dir);
    fs::create_directory_symlink(kBuiltBundle, dir / "Bytarn.bundle");
    // A second bundle on the same library, without display name or icon file.
    home.write("bundles/Aaa.bundle/Info.plist", infoPlist({{"CFBundleExecutable", "Bytarn.so"},
                                                           {"NSPrincipalClass", "BytarnController"},
                                                           {"CFBundleIconFile", "missing"}}));
    fs::create_symlink(kBuiltBundle + "/Bytarn.so", dir / "Aaa.bundle/Bytarn.so");
    home.write("bundles/Broken.bundle/readme", "no Info.plist here");
    home.write("bundles/NoLibrary.bundle/Info.plist",
               infoPlist({{"CFBundleExecutable", "Missing.so"},
                          {"NSPrincipalClass", "BytarnController"}}));
    home.write(
        "bundles/Stranger.bundle/Info.plist",
        infoPlist({{"CFBundleExecutable", "Bytarn.so"}, {"NSPrincipalClass", "NoSuchController"}}));
    fs::create_symlink(kBuiltBundle + "/Bytarn.so", dir / "Stranger.bundle/Bytarn.so");
    home.write("bundles/NoPrincipal.bundle/Info.plist",
               infoPlist({{"CFBundleExecutable", "Bytarn.so"}}));
    home.write("bundles/Plain/Info.plist", infoPlist({{"CFBundleExecutable", "Bytarn.so"}}));
    home.write("bundles/File.bundle", "not a directory");

    std::ostringstream problems;
    auto bundles = loadBundles(dir.string(), problems);

    ASSERT_EQ(bundles.size(), 2u) << problems.str();
    EXPECT_EQ(bundles[0].label, "Aaa") << "a bundle without display name is named by directory";
    EXPECT_EQ(bundles[0].identifier, "");
    EXPECT_EQ(bundles[0].icon, nullptr);
    EXPECT_EQ(bundles[1].label, "Bytarn");
    EXPECT_EQ(bundles[1].principalClass, "BytarnController");
    EXPECT_EQ(bundles[1].identifier, "org.bytarn");
    ASSERT_NE(bundles[1].icon, nullptr);
    EXPECT_EQ(bundles[1].icon->resourceName(), "icon");
    EXPECT_TRUE(bundles[1].bundle->isLoaded());

    std::string report = problems.str();
    for (const char* expected :
         {"Aaa.bundle: no readable icon missing.png", "Broken.bundle: Info.plist",
          "NoLibrary.bundle: cannot load", "Stranger.bundle: its library defines no page class",
          "NoPrincipal.bundle: Info.plist names no NSPrincipalClass"})
        EXPECT_NE(report.find(expected), std::string::npos) << expected << "\n" << report;
    EXPECT_EQ(report.find("Plain"), std::string::npos) << report;
    EXPECT_EQ(report.find("File.bundle"), std::string::npos) << report;
}

TEST(SettingsApplication, OpeningAnEntryHandsThePageItsBundleAndEntry) {
    ScratchHome home;
    RunLoop::main().reset();
    std::ostringstream problems;
    auto bundles = loadBundles(BYTARN_BUILD_BUNDLES_DIR, problems);
    ASSERT_FALSE(bundles.empty()) << problems.str();
    {
        SettingsApplication application(bundles);
        auto nav = UIApplication::sharedApplication().rootController();
        ASSERT_EQ(nav, application.navigationController());
        EXPECT_EQ(application.topPage(), application.rootPage());
        EXPECT_EQ(application.preferenceDomain(), "org.bytarn");

        std::string error;
        ASSERT_TRUE(application.openFirstBundle(&error)) << error;
        ASSERT_EQ(nav->childViewControllers().size(), 2u);
        auto page = application.topPage();
        auto entry = application.rootPage()->specifiers().at(1);
        EXPECT_EQ(page->className(), "BytarnController");
        EXPECT_EQ(page->title(), "Bytarn");
        EXPECT_EQ(page->bundle(), bundles[0].bundle);
        EXPECT_EQ(page->specifier(), entry);
        EXPECT_EQ(page->parentController(), application.rootPage());
        auto icon = page->specifier()->property<std::shared_ptr<UIImage>>("iconImage");
        ASSERT_NE(icon, nullptr);
        EXPECT_EQ((*icon)->resourceName(), "icon");
        EXPECT_EQ(application.rootPage()->openedBundle(), &application.rootPage()->bundles()[0]);
    }
    EXPECT_EQ(UIApplication::sharedApplication().rootController(), nullptr)
        << "an ended application leaves no stack behind";
    RunLoop::main().reset();
}

}  // namespace
