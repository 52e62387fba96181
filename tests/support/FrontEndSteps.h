#pragma once

// One table of what a user does and what any interactive front end must then show, run by the
// terminal front end's tests and by the desktop window's: a behaviour is written down once.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "collector/UsageDatabase.h"
#include "host/activator/LAActivator.h"
#include "host/foundation/RunLoop.h"
#include "host/foundation/SystemLog.h"
#include "settings/core/SettingsApplication.h"
#include "settings/core/SettingsSession.h"
#include "support/TestEnvironment.h"

// What a front end shows, read off its screen or widgets, in words both can say:
//   header: "<left> | <title> | <right>", where left is "< Back title" for a back button, a bar
//   button is its title or its image's name, and a done button adds " (pressed)" to an image
//   and " (suggested)" to a title;
//   rows: "Title = value", "Title" without a value, with " ✓" on a checked item.
struct ShownPage {
    std::string header;
    std::vector<std::string> rows;
};

// A front end driven as a user would: by the rows' titles and the header bar's buttons.
class FrontEndDriver {
  public:
    virtual ~FrontEndDriver() = default;
    virtual void tap(const std::string& row) = 0;
    virtual void back() = 0;  // the back button, or the left button standing in its place
    virtual void press(bool right) = 0;
    virtual void deleteRow(const std::string& row) = 0;  // and confirms
    virtual ShownPage shown() = 0;
};

struct FrontEndStep {
    const char* what;
    const char* actions;  // "tap NAME", "back", "press left|right", "delete NAME", by ";"
    const char* header;
    std::vector<const char*> rows;  // rows that show, in this order (others may show between)
    std::vector<const char*> absent = {};  // titles of rows that do not show
};

// The Settings application starts on its Settings page. The bundle's page by usage: Total,
// Cellular, Wi-Fi, then the long-named application, Video, Mail, Weather.
inline const std::vector<FrontEndStep>& frontEndSteps() {
    static const std::vector<FrontEndStep> steps = {
        {"the Settings page", "", " | Settings | ", {"Bytarn"}},
        {"the bundle's page, sorted by usage",
         "tap Bytarn",
         "< Settings | Bytarn | settings",
         {"Total = 1.73GB", "Cellular = 48.45MB", "Wi-Fi = 1.68GB", "Video = 333.79MB",
          "Mail = 1.91MB", "Weather = 244.14KB"},
         {"Sort by"}},
        {"the settings button shows the settings and is pressed",
         "tap Bytarn; press right",
         "< Settings | Bytarn | settings (pressed)",
         {"Sort by = Usage", "Networks = Cellular and Wi-Fi", "Period = Today", "Total = 1.73GB"}},
        {"pressed again it hides them",
         "tap Bytarn; press right; press right",
         "< Settings | Bytarn | settings",
         {"Total = 1.73GB"},
         {"Sort by", "Period"}},
        {"a choice list checks the stored value",
         "tap Bytarn; press right; tap Sort by",
         "< Bytarn | Sort by | ",
         {"Name", "Usage ✓"}},
        {"a pick comes back to the page rebuilt in the new order",
         "tap Bytarn; press right; tap Sort by; tap Name",
         "< Settings | Bytarn | settings (pressed)",
         {"Sort by = Name", "Mail = 1.91MB", "Video = 333.79MB", "Weather = 244.14KB"}},
        {"an application's page",
         "tap Bytarn; tap Video",
         "< Bytarn | Video | settings",
         {"Video = 333.79MB", "Cellular = 47.68MB", "Wi-Fi = 286.10MB"}},
        {"back returns to the page below",
         "tap Bytarn; tap Video; back",
         "< Settings | Bytarn | settings",
         {"Video = 333.79MB"}},
        {"the date page has Cancel and a suggested Confirm",
         "tap Bytarn; press right; tap Period; tap Custom; tap Start date",
         "Cancel | Start date | Confirm (suggested)",
         {}},
        {"Cancel goes back",
         "tap Bytarn; press right; tap Period; tap Custom; tap Start date; back",
         "< Settings | Bytarn | settings (pressed)",
         {"Period = Custom"}},
        {"a deleted application leaves the page",
         "tap Bytarn; delete Weather",
         "< Settings | Bytarn | settings",
         {"Mail = 1.91MB"},
         {"Weather"}},
    };
    return steps;
}

// The world the steps run in: a scratch home whose clock stands at 2026-12-06T12:00 in Berlin,
// with four applications that moved bytes that day, and no collector.
class FrontEndWorld {
  public:
    static constexpr const char* kLongName =
        "A Remarkably Long Application Name That Goes On And On And On Forever";

    FrontEndWorld() {
        RunLoop::main().reset();
        SystemLog::setEchoToStandardError(false);
        SystemLog::takeCaptured();
        LAActivator::sharedInstance().clearCache();
        application("org.example.Video", "Video", 300'000'000, 50'000'000);
        application("org.example.Mail", "Mail", 1'200'000, 800'000);
        application("org.example.Weather", "Weather", 250'000, 0);
        application("org.example.Long", kLongName, 1'500'000'000, 0);
    }
    ~FrontEndWorld() {
        RunLoop::main().reset();
        LAActivator::sharedInstance().clearCache();
        SystemLog::setEchoToStandardError(true);
    }

    void application(const std::string& id, const std::string& name, std::uint64_t wifi,
                     std::uint64_t cellular) {
        home.write(".local/share/applications/" + id + ".desktop",
                   "[Desktop Entry]\nType=Application\nName=" + name + "\n");
        UsageDatabase(UsageDatabase::defaultPath()).addUsage(id, "2026-12-06", wifi, cellular, 0);
    }

    // The Settings application as `bytarn` starts it, on its Settings page.
    std::unique_ptr<SettingsApplication> start() {
        SessionOptions options;
        options.now = "2026-12-06T12:00:00";
        options.bundlesDirectory = BYTARN_BUILD_BUNDLES_DIR;
        options.noCollector = true;
        std::ostringstream err;
        auto app = startSettingsApplication(options, err);
        EXPECT_TRUE(app) << err.str();
        return app;
    }

    ScratchHome home;
};

// Runs `actions` on a front end.
inline void performSteps(FrontEndDriver& driver, const std::string& actions) {
    std::istringstream parts(actions);
    for (std::string part; std::getline(parts, part, ';');) {
        std::istringstream words(part);
        std::string verb, argument;
        words >> verb;
        std::getline(words >> std::ws, argument);
        if (verb == "tap")
            driver.tap(argument);
        else if (verb == "back")
            driver.back();
        else if (verb == "press")
            driver.press(argument == "right");
        else if (verb == "delete")
            driver.deleteRow(argument);
        else if (!verb.empty())
            ADD_FAILURE() << "unknown step " << part;
    }
}

// Checks what the front end shows against a step's expectations.
inline void expectShown(const FrontEndStep& step, const ShownPage& shown) {
    EXPECT_EQ(shown.header, step.header);
    std::string all;
    for (const auto& row : shown.rows) all += "\n  " + row;
    size_t next = 0;
    for (const char* wanted : step.rows) {
        size_t at = next;
        while (at < shown.rows.size() && shown.rows[at] != wanted) ++at;
        EXPECT_LT(at, shown.rows.size()) << "missing or out of order: " << wanted << all;
        if (at < shown.rows.size()) next = at + 1;
    }
    for (const char* title : step.absent)
        for (const auto& row : shown.rows) EXPECT_NE(row.substr(0, row.find(" = ")), title) << all;
}
