#include "host/activator/LAActivator.h"

#include <gtest/gtest.h>
#include <png.h>

#include <algorithm>
#include <filesystem>
#include <vector>

#include "host/foundation/Locale.h"
#include "host/foundation/SystemLog.h"
#include "host/ui/UIImage.h"
#include "support/TestEnvironment.h"

namespace {

constexpr const char* kUserApps = ".local/share/applications/";
constexpr const char* kSystemApps = "usr/share/applications/";

// A ScratchHome whose desktop entries the shared activator has not seen yet.
class LAActivatorTest : public testing::Test {
  protected:
    LAActivatorTest() : home_("Europe/Berlin", "en_US") { activator().clearCache(); }
    ~LAActivatorTest() override { activator().clearCache(); }

    static LAActivator& activator() { return LAActivator::sharedInstance(); }

    void writeEntry(const std::string& directory, const std::string& identifier,
                    const std::string& body) const {
        home_.write(directory + identifier + ".desktop",
                    "[Desktop Entry]\nType=Application\n" + body);
    }

    // A width x height grey PNG at root/relative; returns its absolute path.
    std::string writePNG(const std::string& relative, int width, int height) const {
        std::string path = home_.file(relative);
        png_image image{};
        image.version = PNG_IMAGE_VERSION;
        image.width = width;
        image.height = height;
        image.format = PNG_FORMAT_GRAY;
        std::vector<png_byte> pixels(width * height, 0x80);
        EXPECT_TRUE(png_image_write_to_file(&image, path.c_str(), 0, pixels.data(), 0, nullptr))
            << path;
        return path;
    }

    ScratchHome home_;
};

TEST_F(LAActivatorTest, TitleIsTheNameLocalizedForTheDefaultLocale) {
    writeEntry(kUserApps, "org.example.files",
               "Name=Files\nName[de]=Dateien\nName[de_AT]=Dateien (AT)\nName[sv]=Filer\n");
    writeEntry(kUserApps, "org.example.plain", "Name=Plain\n");
    struct {
        const char* locale;
        const char* identifier;
        const char* title;
    } cases[] = {{"en_US", "org.example.files", "Files"},
                 {"de_DE", "org.example.files", "Dateien"},
                 {"de_AT", "org.example.files", "Dateien (AT)"},
                 {"sv_SE.UTF-8", "org.example.files", "Filer"},
                 {"fr_FR", "org.example.files", "Files"},
                 {"de_DE", "org.example.plain", "Plain"}};
    for (const auto& c : cases) {
        ASSERT_TRUE(Locale::setDefaultLocale(c.locale));
        activator().clearCache();
        EXPECT_EQ(activator().localizedTitleForListenerName(c.identifier), c.title) << c.locale;
    }
}

TEST_F(LAActivatorTest, TheUsersEntryWinsOverTheSystemOne) {
    writeEntry(kUserApps, "org.example.both", "Name=Mine\n");
    writeEntry(kSystemApps, "org.example.both", "Name=System\n");
    writeEntry(kSystemApps, "org.example.system", "Name=Only System\n");
    EXPECT_EQ(activator().localizedTitleForListenerName("org.example.both"), "Mine");
    EXPECT_EQ(activator().localizedTitleForListenerName("org.example.system"), "Only System");
}

TEST_F(LAActivatorTest, MissingOrUnusableEntriesGiveNothing) {
    writeEntry(kUserApps, "org.example.nameless", "Icon=nothing-here\n");
    writeEntry(kUserApps, "org.example.empty", "Name=\n");
    home_.write(std::string(kUserApps) + "org.example.wrong-group.desktop", "[Other]\nName=X\n");
    // Only reachable by leaving applications/ or by a hidden name.
    home_.write(".local/share/x.desktop", "[Desktop Entry]\nName=Escaped\n");
    writeEntry(kUserApps, ".hidden", "Name=Hidden\n");

    EXPECT_EQ(activator().localizedTitleForListenerName("org.example.nameless"), std::nullopt);
    EXPECT_EQ(activator().smallIconForListenerName("org.example.nameless"), nullptr);
    EXPECT_EQ(activator().localizedTitleForListenerName("org.example.empty"), "");
    for (const std::string& identifier : std::initializer_list<std::string>{
             "org.example.unknown", "org.example.wrong-group", "../x", "a/../../x", ".hidden", "",
             "..", "../../../../../../../../etc/passwd", "/etc/passwd",
             std::string("x\0/../../x", 10)}) {
        EXPECT_EQ(activator().localizedTitleForListenerName(identifier), std::nullopt)
            << identifier;
        EXPECT_EQ(activator().smallIconForListenerName(identifier), nullptr) << identifier;
    }
}

TEST_F(LAActivatorTest, AMalformedEntryIsLoggedAndPassedOver) {
    SystemLog::takeCaptured();
    home_.write(std::string(kUserApps) + "org.example.broken.desktop",
                "[Desktop Entry\nName=Broken\n\xff\xfe garbage\n");
    writeEntry(kSystemApps, "org.example.broken", "Name=Fallback\n");
    EXPECT_EQ(activator().localizedTitleForListenerName("org.example.broken"), "Fallback");
    std::vector<std::string> lines = SystemLog::takeCaptured();
    EXPECT_TRUE(std::any_of(lines.begin(), lines.end(), [](const std::string& line) {
        return line.find("org.example.broken.desktop") != std::string::npos;
    }));
}

TEST_F(LAActivatorTest, IconByAbsolutePath) {
    std::string png = writePNG("pictures/meter.png", 20, 10);
    writeEntry(kUserApps, "org.example.meter", "Name=Meter\nIcon=" + png + "\n");
    writeEntry(kUserApps, "org.example.gone", "Name=Gone\nIcon=" + home_.path() + "/no.png\n");
    std::shared_ptr<UIImage> icon = activator().smallIconForListenerName("org.example.meter");
    ASSERT_NE(icon, nullptr);
    EXPECT_EQ(icon->path(), png);
    EXPECT_EQ(icon->width(), 20);
    EXPECT_EQ(activator().smallIconForListenerName("org.example.gone"), nullptr);
}

TEST_F(LAActivatorTest, IconByThemeNameTakesTheSmallestSize) {
    writePNG(".local/share/icons/hicolor/48x48/apps/org.example.meter.png", 48, 48);
    std::string smallest =
        writePNG("usr/share/icons/hicolor/16x16/apps/org.example.meter.png", 16, 16);
    writePNG("usr/share/icons/hicolor/32x32/apps/org.example.meter.png", 32, 32);
    writeEntry(kUserApps, "org.example.meter", "Name=Meter\nIcon=org.example.meter\n");
    // Some entries name the icon with its extension.
    writeEntry(kUserApps, "org.example.suffixed", "Name=Meter\nIcon=org.example.meter.png\n");
    // A relative path is not a theme name.
    writeEntry(kUserApps, "org.example.relative", "Name=Meter\nIcon=apps/org.example.meter\n");

    for (const char* identifier : {"org.example.meter", "org.example.suffixed"}) {
        std::shared_ptr<UIImage> icon = activator().smallIconForListenerName(identifier);
        ASSERT_NE(icon, nullptr) << identifier;
        EXPECT_EQ(icon->path(), smallest) << identifier;
    }
    EXPECT_EQ(activator().smallIconForListenerName("org.example.relative"), nullptr);
}

// The rows that are no application ship desktop entries and icons of their own, installed as
// cmake/ and icons/ lay them out: the page titles them and shows their icons as any other.
TEST_F(LAActivatorTest, TheRowsOfOtherUsersAndTheSharedConnectionAreTitledByTheirShippedEntries) {
    const std::pair<const char*, const char*> rows[] = {
        {"org.bytarn.OtherUsers", "Other users"},
        {"org.bytarn.SharedConnection", "Shared connection"},
    };
    for (const auto& [identifier, title] : rows) {
        std::string name = identifier;
        home_.write(std::string(kSystemApps) + name + ".desktop",
                    readFile(BYTARN_SOURCE_DIR "/cmake/" + name + ".desktop"));
        std::string icon = "icons/hicolor/16x16/apps/" + name + ".png";
        std::filesystem::copy_file(BYTARN_SOURCE_DIR "/" + icon, home_.file("usr/share/" + icon));
        EXPECT_EQ(activator().localizedTitleForListenerName(identifier), title);
        std::shared_ptr<UIImage> image = activator().smallIconForListenerName(identifier);
        ASSERT_NE(image, nullptr) << identifier;
        EXPECT_EQ(image->path(), home_.file("usr/share/" + icon));
        EXPECT_EQ(image->width(), 16);
    }
}

TEST_F(LAActivatorTest, EveryAnswerIsCachedUntilCleared) {
    writeEntry(kUserApps, "org.example.cached", "Name=First\n");
    unsigned before = activator().fileLookups();
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(activator().localizedTitleForListenerName("org.example.cached"), "First");
        EXPECT_EQ(activator().smallIconForListenerName("org.example.cached"), nullptr);
        EXPECT_EQ(activator().localizedTitleForListenerName("org.example.missing"), std::nullopt);
    }
    EXPECT_EQ(activator().fileLookups(), before + 2);

    // A changed file is not noticed until the cache is cleared.
    writeEntry(kUserApps, "org.example.cached", "Name=Second\n");
    EXPECT_EQ(activator().localizedTitleForListenerName("org.example.cached"), "First");
    activator().clearCache();
    EXPECT_EQ(activator().localizedTitleForListenerName("org.example.cached"), "Second");
    EXPECT_EQ(activator().fileLookups(), before + 3);
}

}  // namespace
