// Damaged bundle resources, on a copy of the built bundle: a damaged settings plist or image
// costs the page that part and a log line; a damaged Info.plist costs the bundle its place in
// the list with a message saying why. Nothing crashes.
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>

#include "bundle/BundleFixture.h"
#include "host/foundation/PropertyList.h"
#include "hostile/Catalogue.h"
#include "settings/core/SettingsApplication.h"
#include "settings/core/SettingsBundle.h"
#include "support/QuietMainLoopTest.h"

namespace fs = std::filesystem;

namespace {

using Rows = std::vector<std::string>;
const std::string kBuiltBundle = std::string(BYTARN_BUILD_BUNDLES_DIR) + "/Bytarn.bundle";

// Copies the built bundle's resources into `directory`; the library is linked, not copied, so
// that loading it finds the library already in the process.
void copyBuiltBundle(const fs::path& directory) {
    fs::create_directories(directory);
    for (const auto& entry : fs::directory_iterator(kBuiltBundle)) {
        fs::path target = directory / entry.path().filename();
        if (entry.path().extension() == ".so")
            fs::create_symlink(entry.path(), target);
        else
            fs::copy_file(entry.path(), target);
    }
}

void writeBytes(const fs::path& path, const std::string& bytes) {
    fs::remove_all(path);
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

// Rewrites a plist of the copy through a change to its top-level dictionary.
void editPlist(const fs::path& path, const std::function<void(Value::Dictionary&)>& edit) {
    auto plist = PropertyList::readFile(path.string());
    ASSERT_TRUE(plist && plist->dictionary()) << path;
    Value::Dictionary top = *plist->dictionary();
    edit(top);
    std::string error;
    ASSERT_TRUE(PropertyList::writeFileAtomically(path.string(), Value(top), &error)) << error;
}

// Changes the settings plist's rows.
void editItems(const fs::path& bundle, const std::function<void(Value::Array&)>& edit) {
    editPlist(bundle / "BytarnSettings.plist", [&](Value::Dictionary& top) {
        Value::Array items = *top.at("items").array();
        edit(items);
        top["items"] = items;
    });
}

// Replaces one key of the settings row that carries a preference key.
void editRow(const fs::path& bundle, const std::string& key, const std::string& field,
             const Value& value) {
    editItems(bundle, [&](Value::Array& items) {
        for (Value& item : items) {
            if (!item.find("key") || item.find("key")->stringValue() != key) continue;
            Value::Dictionary row = *item.dictionary();
            row[field] = value;
            item = row;
        }
    });
}

// A PNG signature and header chunk claiming an image 2^31 - 1 pixels wide.
std::string absurdPng() {
    std::string png("\x89PNG\r\n\x1a\n", 8);
    png += std::string("\x00\x00\x00\x0dIHDR", 8);
    png += std::string("\x7f\xff\xff\xff\x00\x00\x00\x01\x08\x00\x00\x00\x00", 13);
    png += std::string("\x00\x00\x00\x00", 4);  // a CRC that does not match
    return png;
}

const Rows kFullPage{"[Usage for today]", "Total=3.00KB", "Cellular=2.00KB", "Wi-Fi=1.00KB", "[]",
                     "b.app=2.00KB",      "a.app=1.00KB"};
// Without the settings rows nothing supplies the device filter's default, so no kind of
// traffic is selected.
const Rows kNoSettings{"[Usage for today]", "[]"};

class DamagedResources : public BundleTest {
  protected:
    void pressSettings(PSViewController& on) {
        auto button = on.navigationItem().rightBarButtonItem();
        ASSERT_TRUE(button);
        ASSERT_TRUE(button->press());
    }
};

TEST_F(DamagedResources, ThePageBuildsWithoutThePart) {
    struct Case {
        const char* what;
        std::function<void(const fs::path&)> damage;
        Rows rows;
        std::vector<std::string> log;
        // Icons the page ends up with ("(none)" when missing).
        const char* cellularIcon = "Cellular";
        const char* wifiIcon = "Wi-Fi";
    };
    const std::string settingsPath = "/BytarnSettings.plist";
    const Case cases[] = {
        {"the settings plist is missing",
         [](const fs::path& b) { fs::remove(b / "BytarnSettings.plist"); },
         kNoSettings,
         {"Settings: no plist named BytarnSettings in the page's bundle"}},
        {"the settings plist is a directory",
         [](const fs::path& b) {
             fs::remove(b / "BytarnSettings.plist");
             fs::create_directory(b / "BytarnSettings.plist");
         },
         kNoSettings,
         {"Settings: no plist named BytarnSettings"}},
        {"the settings plist is garbage",
         [](const fs::path& b) { writeBytes(b / "BytarnSettings.plist", "\x01\x02<<<>>>"); },
         kNoSettings,
         {"Settings: unreadable plist "}},
        {"the settings plist is cut in half",
         [](const fs::path& b) {
             std::string whole = readFile((b / "BytarnSettings.plist").string());
             writeBytes(b / "BytarnSettings.plist", whole.substr(0, whole.size() / 2));
         },
         kNoSettings,
         {"Settings: unreadable plist "}},
        {"the settings plist has no items array",
         [](const fs::path& b) {
             editPlist(b / "BytarnSettings.plist",
                       [](Value::Dictionary& top) { top["items"] = "not an array"; });
         },
         kNoSettings,
         {
             "Settings: unreadable plist ",
         }},
        {"the settings rows are numbers and strings",
         [](const fs::path& b) {
             editItems(b, [](Value::Array& items) {
                 for (Value& item : items) item = Value(7);
                 items.push_back("row");
             });
         },
         kNoSettings,
         {}},
        {"the settings plist has a single row",
         [](const fs::path& b) { editItems(b, [](Value::Array& items) { items.resize(1); }); },
         kNoSettings,
         {}},
        {"the settings plist has three rows",
         [](const fs::path& b) { editItems(b, [](Value::Array& items) { items.resize(3); }); },
         kNoSettings,
         {}},
        {"the device filter's default is a number",
         [](const fs::path& b) { editRow(b, "devices", "default", 7); },
         kNoSettings,
         {}},
        {"the comparator row's key is a number",
         [](const fs::path& b) { editRow(b, "comparator", "key", 12); },
         {"[Usage for today]", "Total=3.00KB", "Cellular=2.00KB", "Wi-Fi=1.00KB", "[]",
          "a.app=1.00KB", "b.app=2.00KB"},
         {}},
        {"a row opens a page class that does not exist",
         [](const fs::path& b) { editRow(b, "period", "detail", "NoSuchController"); },
         kFullPage,
         {}},
        {"a row has a cell type that does not exist",
         [](const fs::path& b) { editRow(b, "devices", "cell", "PSNoSuchCell"); },
         kFullPage,
         {}},
        {"the Cellular image is missing",
         [](const fs::path& b) { fs::remove(b / "Cellular.png"); },
         kFullPage,
         {},
         "(none)"},
        {"the Cellular image is text",
         [](const fs::path& b) { writeBytes(b / "Cellular.png", "not a picture"); },
         kFullPage,
         {"UIImage: cannot read "},
         "(none)"},
        {"the Wi-Fi image is cut short",
         [](const fs::path& b) {
             std::string whole = readFile((b / "Wi-Fi.png").string());
             writeBytes(b / "Wi-Fi.png", whole.substr(0, 20));
         },
         kFullPage,
         {"UIImage: cannot read "},
         "Cellular",
         "(none)"},
        {"the Wi-Fi image claims to be 2^31 pixels wide",
         [](const fs::path& b) { writeBytes(b / "Wi-Fi.png", absurdPng()); },
         kFullPage,
         {"UIImage: cannot read "},
         "Cellular",
         "(none)"},
        {"the Wi-Fi image is a directory",
         [](const fs::path& b) {
             fs::remove(b / "Wi-Fi.png");
             fs::create_directory(b / "Wi-Fi.png");
         },
         kFullPage,
         {},
         "Cellular",
         "(none)"},
        {"the Wi-Fi image is a FIFO",
         [](const fs::path& b) {
             fs::remove(b / "Wi-Fi.png");
             EXPECT_EQ(mkfifo((b / "Wi-Fi.png").c_str(), 0644), 0);
         },
         kFullPage,
         {},
         "Cellular",
         "(none)"},
        {"the Cellular image links to /dev/zero",
         [](const fs::path& b) {
             fs::remove(b / "Cellular.png");
             fs::create_symlink("/dev/zero", b / "Cellular.png");
         },
         kFullPage,
         {},
         "(none)"},
        {"the settings button's image is missing",
         [](const fs::path& b) { fs::remove(b / "settings.png"); },
         kFullPage,
         {}},
    };

    RecordProperty("inputs", static_cast<int>(std::size(cases)));
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::path copy = home.path() + "/damaged" + std::to_string(n++) + "/Bytarn.bundle";
        copyBuiltBundle(copy);
        c.damage(copy);
        fs::remove_all(home.path() + "/.local/share/bytarn");
        addUsage("a.app", "2026-12-06", 1024, 0);
        addUsage("b.app", "2026-12-06", 0, 2048);
        bundle = NSBundle::bundleWithPath(copy.string());
        ASSERT_TRUE(bundle);

        SystemLog::takeCaptured();
        openPage();
        EXPECT_EQ(rows(), c.rows);
        catalogue::expectLog(c.log);
        auto iconName = [](const std::shared_ptr<UIImage>& image) {
            return image ? image->resourceName() : std::string("(none)");
        };
        EXPECT_EQ(iconName(page->cellularImage()), c.cellularIcon);
        EXPECT_EQ(iconName(page->wifiImage()), c.wifiIcon);

        // The settings button shows and hides whatever settings there are, and the list comes
        // back as it was.
        const Rows before = rows();
        pressSettings(*page);
        pressSettings(*page);
        EXPECT_EQ(rows(), before);

        // Every settings row opens its page or says why it cannot; none brings the host down.
        if (page->settingsSpecifiers()) {
            for (const auto& row : *page->settingsSpecifiers()) {
                if (row->detailControllerClass().empty()) continue;
                std::string error;
                if (page->didSelectSpecifier(row, &error)) {
                    navigation->topViewController()->viewWillAppear(false);
                    navigation->popViewControllerAnimated(false);
                } else {
                    EXPECT_NE(error.find("no page class named"), std::string::npos) << error;
                }
            }
        }
        // An application's page opens with the settings shown, and the button there works.
        pressSettings(*page);
        std::shared_ptr<PSSpecifier> app;
        for (const auto& row : page->specifiers())
            if (!app && row->detailControllerClass() == "BytarnEntryController") app = row;
        if (app) {
            std::string error;
            ASSERT_TRUE(page->didSelectSpecifier(app, &error)) << error;
            auto detail =
                std::dynamic_pointer_cast<PSListController>(navigation->topViewController());
            ASSERT_TRUE(detail);
            const Rows shown = rowsOf(*detail);
            pressSettings(*detail);
            pressSettings(*detail);
            EXPECT_EQ(rowsOf(*detail), shown);
            navigation->popViewControllerAnimated(false);
        }
        pressSettings(*page);
        EXPECT_EQ(rows(), before);
        SystemLog::takeCaptured();
    }
}

class DamagedInfoPlist : public QuietMainLoopTest {
  protected:
    ScratchHome home;
};

TEST_F(DamagedInfoPlist, TheBundleIsSkippedWithAReasonOrLoadsWithoutItsIcon) {
    struct Case {
        const char* what;
        std::function<void(const fs::path&)> damage;
        bool listed;          // whether the bundle still makes it into the list
        const char* message;  // part of what is reported
    };
    auto setInfo = [](const std::string& key, const Value& value) {
        return [key, value](const fs::path& b) {
            editPlist(b / "Info.plist", [&](Value::Dictionary& top) {
                if (value.isNull())
                    top.erase(key);
                else
                    top[key] = value;
            });
        };
    };
    const Case cases[] = {
        {"Info.plist is missing", [](const fs::path& b) { fs::remove(b / "Info.plist"); }, false,
         "Info.plist is missing, unreadable or names no CFBundleExecutable"},
        {"Info.plist is garbage",
         [](const fs::path& b) { writeBytes(b / "Info.plist", "<plist><dict><key>"); }, false,
         "Info.plist is missing, unreadable or names no CFBundleExecutable"},
        {"Info.plist is empty", [](const fs::path& b) { writeBytes(b / "Info.plist", ""); }, false,
         "Info.plist is missing"},
        {"Info.plist is an array",
         [](const fs::path& b) {
             writeBytes(b / "Info.plist", PropertyList::toXml(Value::Array{"Bytarn.so"}));
         },
         false, "Info.plist is missing"},
        {"Info.plist is a directory",
         [](const fs::path& b) {
             fs::remove(b / "Info.plist");
             fs::create_directory(b / "Info.plist");
         },
         false, "Info.plist is missing"},
        {"Info.plist is a FIFO",
         [](const fs::path& b) {
             fs::remove(b / "Info.plist");
             EXPECT_EQ(mkfifo((b / "Info.plist").c_str(), 0644), 0);
         },
         false, "Info.plist is missing"},
        {"the executable is a number", setInfo("CFBundleExecutable", 5), false,
         "names no executable"},
        {"the executable leaves the bundle",
         setInfo("CFBundleExecutable", "../../Bytarn.bundle/Bytarn.so"), false,
         "names no executable"},
        {"the executable is empty", setInfo("CFBundleExecutable", ""), false,
         "names no executable"},
        {"the executable is a picture", setInfo("CFBundleExecutable", "icon.png"), false,
         "cannot load"},
        {"the executable is a directory",
         [&](const fs::path& b) {
             fs::create_directory(b / "lib.so");
             setInfo("CFBundleExecutable", "lib.so")(b);
         },
         false, "cannot load"},
        {"no principal class", setInfo("NSPrincipalClass", Value()), false,
         "Info.plist names no NSPrincipalClass"},
        {"a principal class the library lacks", setInfo("NSPrincipalClass", "PSListController"),
         false, "its library defines no page class PSListController"},
        {"the icon file is missing", [](const fs::path& b) { fs::remove(b / "icon.png"); }, true,
         "no readable icon icon.png"},
        {"the icon file leaves the bundle", setInfo("CFBundleIconFile", "../../../etc/passwd"),
         true, "no readable icon"},
        {"the icon file is text",
         [](const fs::path& b) { writeBytes(b / "icon.png", std::string(100, '\0')); }, true,
         "no readable icon icon.png"},
        {"the display name is a dictionary",
         setInfo("CFBundleDisplayName", Value::Dictionary{{"a", 1}}), true, ""},
    };
    RecordProperty("inputs", static_cast<int>(std::size(cases)));
    int n = 0;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        fs::path directory = home.path() + "/bundles" + std::to_string(n++);
        copyBuiltBundle(directory / "Bytarn.bundle");
        c.damage(directory / "Bytarn.bundle");
        std::ostringstream problems;
        auto bundles = loadBundles(directory.string(), problems);
        EXPECT_EQ(bundles.size(), c.listed ? 1u : 0u) << problems.str();
        EXPECT_NE(problems.str().find(c.message), std::string::npos) << problems.str();
        if (!c.listed) {
            EXPECT_NE(problems.str().find("skipping bundle"), std::string::npos) << problems.str();
            continue;
        }
        // A listed bundle opens as usual.
        SettingsApplication application(bundles);
        std::string error;
        ASSERT_TRUE(application.openFirstBundle(&error)) << error;
        EXPECT_EQ(application.topPage()->className(), "BytarnController");
        EXPECT_FALSE(std::dynamic_pointer_cast<PSListController>(application.topPage())
                         ->specifiers()
                         .empty());
        SystemLog::takeCaptured();
    }
    RunLoop::main().reset();
}

}  // namespace
