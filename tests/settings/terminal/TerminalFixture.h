#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "collector/UsageDatabase.h"
#include "host/activator/LAActivator.h"
#include "host/foundation/PreferenceStore.h"
#include "host/foundation/RunLoop.h"
#include "host/foundation/SystemLog.h"
#include "host/preferences/PSViewController.h"
#include "settings/core/SettingsApplication.h"
#include "settings/core/SettingsSession.h"
#include "settings/terminal/TerminalController.h"
#include "settings/terminal/TerminalKey.h"
#include "settings/terminal/TerminalScreen.h"
#include "settings/terminal/TerminalView.h"
#include "support/FrontEndSteps.h"
#include "support/TestEnvironment.h"

// The terminal front end over the built bundle, in the front ends' shared world (a scratch home
// whose clock stands at 2026-12-06T12:00 in Berlin, with four applications that moved bytes that
// day). The highlights run on a clock of the test's own.
class TerminalTest : public ::testing::Test {
  public:
    static constexpr const char* kStart = "2026-12-06T12:00:00";
    static constexpr const char* kLongName = FrontEndWorld::kLongName;

  protected:
    ~TerminalTest() override {
        controller.reset();
        app.reset();
    }

    void application(const std::string& id, const std::string& name, std::uint64_t wifi,
                     std::uint64_t cellular) {
        world.application(id, name, wifi, cellular);
    }

    // Starts the Settings application as `bytarn` does, on its Settings page.
    void start(int columns = 80, int rows = 24) {
        app = world.start();
        ASSERT_TRUE(app);
        controller = std::make_unique<TerminalController>(*app, [this] { return monotonic; });
        controller->resize(columns, rows);
    }

    // Keys by name, separated by spaces: Up Down Left Right PgUp PgDn Home End Enter BS Esc Del
    // WheelUp WheelDown; anything else is typed character by character.
    static std::vector<TerminalKey> keysNamed(const std::string& names) {
        static const std::pair<const char*, TerminalKey::Kind> kNamed[] = {
            {"Up", TerminalKey::Up},           {"Down", TerminalKey::Down},
            {"Left", TerminalKey::Left},       {"Right", TerminalKey::Right},
            {"PgUp", TerminalKey::PageUp},     {"PgDn", TerminalKey::PageDown},
            {"Home", TerminalKey::Home},       {"End", TerminalKey::End},
            {"Enter", TerminalKey::Enter},     {"BS", TerminalKey::Backspace},
            {"Esc", TerminalKey::Escape},      {"Del", TerminalKey::Delete},
            {"WheelUp", TerminalKey::WheelUp}, {"WheelDown", TerminalKey::WheelDown},
        };
        std::vector<TerminalKey> keys;
        std::istringstream words(names);
        for (std::string word; words >> word;) {
            bool named = false;
            for (const auto& [name, kind] : kNamed)
                if (word == name) {
                    keys.push_back(TerminalKey::of(kind));
                    named = true;
                }
            if (!named)
                for (char c : word) keys.push_back(TerminalKey::typed(static_cast<char32_t>(c)));
        }
        return keys;
    }
    void press(const std::string& names) {
        for (const TerminalKey& key : keysNamed(names)) controller->handleKey(key);
    }

    std::string render(bool unicode = true) {
        TerminalScreen screen(controller->columns(), controller->rows());
        TerminalView(unicode).render(*controller, screen);
        return screen.text();
    }
    TerminalScreen screen() {
        TerminalScreen screen(controller->columns(), controller->rows());
        TerminalView().render(*controller, screen);
        return screen;
    }

    std::string topTitle() const { return controller->topPage()->title(); }
    std::string selectedName() const {
        int line = controller->selectedLine();
        if (line < 0) return "(none)";
        return controller->lines()[static_cast<size_t>(line)].row->name();
    }
    std::string preference(const std::string& key) const {
        return PreferenceStore::valueForKey("org.bytarn", key).stringValue().value_or("(unset)");
    }

    // The world outlives the application and the controller made in it.
    FrontEndWorld world;
    ScratchHome& home = world.home;
    double monotonic = 1000;
    std::unique_ptr<SettingsApplication> app;
    std::unique_ptr<TerminalController> controller;
};
