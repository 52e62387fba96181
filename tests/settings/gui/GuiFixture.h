#pragma once

#include <adwaita.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>

#include <memory>
#include <string>

#include "settings/gui/GuiWindow.h"
#include "support/FrontEndSteps.h"

// An X server of the test program's own (Debian's Xvfb on a free display number), started
// before the first test and killed after the last; GTK and libadwaita are set up on it.
class XvfbDisplay : public ::testing::Environment {
  public:
    void SetUp() override;
    void TearDown() override;
    // Why the window cannot be tested here; empty when it can.
    static const std::string& unavailable();
};

// The desktop window over the Settings application, driven through its widgets: rows are found
// by their accessible labels, the header bar's buttons by their widget names, and activated as a
// click or Enter would.
class GuiDriver : public FrontEndDriver {
  public:
    explicit GuiDriver(SettingsApplication& application);
    ~GuiDriver() override;

    void tap(const std::string& row) override;
    void back() override;
    void press(bool right) override;
    void deleteRow(const std::string& row) override;
    ShownPage shown() override;

    GuiWindow& window() { return *window_; }
    GtkWidget* widget(const std::string& name);
    void activate(const std::string& name);
    // Runs GLib's main loop until the window has caught up.
    void settle();

  private:
    std::unique_ptr<GuiWindow> window_;
};

class GuiTest : public ::testing::Test {
  protected:
    void SetUp() override {
        if (!XvfbDisplay::unavailable().empty()) GTEST_SKIP() << XvfbDisplay::unavailable();
        app = world.start();
        ASSERT_TRUE(app);
        driver = std::make_unique<GuiDriver>(*app);
    }
    void TearDown() override {
        driver.reset();
        app.reset();
    }

    FrontEndWorld world;
    std::unique_ptr<SettingsApplication> app;
    std::unique_ptr<GuiDriver> driver;
};
