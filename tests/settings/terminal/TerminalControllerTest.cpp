#include "settings/terminal/TerminalController.h"

#include <cstdio>
#include <string>
#include <vector>

#include "TerminalFixture.h"
#include "collector/UsageDatabase.h"
#include "host/preferences/PSListController.h"
#include "host/ui/UIDatePicker.h"

namespace {

using Line = TerminalController::Line;
using TerminalControllerTest = TerminalTest;

// Key sequences from the Settings page, and where they leave the user. The bundle page's rows by
// usage: Total, Cellular, Wi-Fi, then the long-named application, Video, Mail, Weather.
struct KeyCase {
    const char* what;
    const char* keys;
    const char* title;          // of the top page
    const char* selected;       // the selected row's name
    const char* key = nullptr;  // a preference and the value it must hold
    const char* value = nullptr;
    const char* message = "";
    bool quits = false;
};

const KeyCase kKeyCases[] = {
    {"Enter opens the bundle on its first row", "Enter", "Bytarn", "Total"},
    {"Right taps as Enter does", "Right", "Bytarn", "Total"},
    {"Down skips group rows", "Enter Down Down Down", "Bytarn", TerminalTest::kLongName},
    {"Up stops at the first row", "Enter Down Up Up", "Bytarn", "Total"},
    {"End and Home", "Enter End", "Bytarn", "Weather"},
    {"Home after End", "Enter End Home", "Bytarn", "Total"},
    {"Page Down stops at the last row", "Enter PgDn", "Bytarn", "Weather"},
    {"Page Up stops at the first row", "Enter End PgUp", "Bytarn", "Total"},
    {"a row that opens nothing stays put", "Enter Enter", "Bytarn", "Total"},
    {"an application opens its detail page", "Enter Down Down Down Down Enter", "Video", "Video"},
    {"Left goes back to the row it came from", "Enter Down Down Down Down Right Left", "Bytarn",
     "Video"},
    {"Backspace goes back", "Enter End Enter BS", "Bytarn", "Weather"},
    {"Esc goes back", "Enter Esc", "Settings", "Bytarn"},
    {"nothing is behind the Settings page", "Esc Left BS", "Settings", "Bytarn"},
    {"s shows the settings and the selection stays", "Enter s", "Bytarn", "Total"},
    {"the settings come first", "Enter s Home", "Bytarn", "Sort by"},
    {"s again hides them", "Enter s s Home", "Bytarn", "Total"},
    {"hiding the section moves off its rows", "Enter s Home Down s", "Bytarn", "Total"},
    {"a choice list opens on the checked item", "Enter s Home Enter", "Sort by", "Usage"},
    {"picking stores the choice and comes back to the row", "Enter s Home Enter Up Enter", "Bytarn",
     "Sort by", "comparator", "compareName:"},
    {"Right picks too", "Enter s Home Down Enter End Right", "Bytarn", "Networks", "devices",
     " W "},
    {"Esc leaves the choice as it was", "Enter s Home Enter Up Esc", "Bytarn", "Sort by",
     "comparator", "(unset)"},
    {"the rows follow the new order", "Enter s Home Enter Up Enter End Up", "Bytarn", "Video",
     "comparator", "compareName:"},
    {"delete asks first and n keeps the row", "Enter End d n", "Bytarn", "Weather"},
    {"yes deletes; the row above takes the selection", "Enter End d y", "Bytarn", "Mail"},
    {"Delete works as d; the next row takes the selection", "Enter Down Down Down Down Del y",
     "Bytarn", "Mail"},
    {"totals cannot be deleted", "Enter d", "Bytarn", "Total", nullptr, nullptr,
     "Total cannot be deleted"},
    {"s where there is no right button", "Enter s Home Enter s", "Sort by", "Usage", nullptr,
     nullptr, "This page has no right button"},
    {"q quits", "Enter q", "Bytarn", "Total", nullptr, nullptr, "", true},
    {"q closes the help before anything else", "Enter ? q", "Bytarn", "Total"},
    {"keys go to the help first", "Enter ? Down", "Bytarn", "Total"},
};

TEST_F(TerminalControllerTest, KeySequences) {
    for (const KeyCase& c : kKeyCases) {
        SCOPED_TRACE(std::string(c.what) + ": " + c.keys);
        start();
        press(c.keys);
        EXPECT_EQ(topTitle(), c.title);
        EXPECT_EQ(selectedName(), c.selected);
        if (c.key) {
            EXPECT_EQ(preference(c.key), c.value);
        }
        EXPECT_EQ(controller->message(), c.message);
        EXPECT_EQ(controller->quitRequested(), c.quits);
        EXPECT_FALSE(controller->isHelpShown());
        EXPECT_FALSE(controller->prompt());
        // Every case starts afresh: page, selection and stored choices.
        controller.reset();
        app.reset();
        RunLoop::main().reset();
        std::remove(PreferenceStore::pathForDomain("org.bytarn").c_str());
    }
}

// The date page turns the picked day by calendar fields in the local zone, starting from the
// stored 2026-01-31; Enter (or s) confirms and Esc cancels.
TEST_F(TerminalControllerTest, DateKeysTurnDayMonthAndYear) {
    struct Case {
        const char* keys;
        const char* stored;
    };
    const Case cases[] = {
        {"Up Enter", "2026-02-01"},
        {"Down Down Enter", "2026-01-29"},
        {"Right Up Enter", "2026-02-28"},  // no February 31st: the month's last day
        {"Right Down Enter", "2025-12-31"},
        {"Right Right Down Enter", "2025-01-31"},
        {"Right Right Right Up Enter", "2027-01-31"},  // Right stops at the year
        {"Right Right Left Left Left Up Enter", "2026-02-01"},
        {"WheelUp s", "2026-02-01"},
        {"Up Esc", "2026-01-31"},
        {"Up BS", "2026-01-31"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.keys);
        ASSERT_TRUE(PreferenceStore::setValueForKey("org.bytarn", "startDate",
                                                    Value(std::string("2026-01-31"))));
        start();
        press("Enter s Home Down Down Down Enter");
        ASSERT_TRUE(controller->datePicker());
        EXPECT_EQ(controller->dateField(), TerminalController::DateField::Day);
        press(c.keys);
        EXPECT_EQ(topTitle(), "Bytarn") << "both buttons close the date page";
        EXPECT_EQ(selectedName(), "Start date");
        EXPECT_EQ(preference("startDate"), c.stored);
        controller.reset();
        app.reset();
        RunLoop::main().reset();
    }
}

TEST_F(TerminalControllerTest, DateChangesKeepTheTimeOfDayAcrossDaylightSaving) {
    ASSERT_TRUE(PreferenceStore::setValueForKey("org.bytarn", "startDate",
                                                Value(std::string("2026-03-29"))));
    start();
    press("Enter s Home Down Down Down Enter");
    auto picker = controller->datePicker();
    ASSERT_TRUE(picker);
    double before = picker->date().timeIntervalSince1970;
    press("Up");
    // Berlin moves its clocks forward during 2026-03-29: that day has 23 hours.
    EXPECT_DOUBLE_EQ(picker->date().timeIntervalSince1970 - before, 23 * 3600.0);
}

std::vector<std::string> changedRows(const TerminalController& controller, Line::Kind kind) {
    std::vector<std::string> names;
    for (const Line& line : controller.lines())
        if (line.changed && line.kind == kind) names.push_back(line.row->name());
    return names;
}

TEST_F(TerminalControllerTest, InsertedAndRemovedRowsShowBrieflyHighlighted) {
    start();
    press("Enter");
    EXPECT_FALSE(controller->highlightDeadline());

    press("s");
    const std::vector<std::string> section{"",           "Display",          "Sort by",
                                           "Networks",   "Reporting period", "Period",
                                           "Start date", "End date"};
    EXPECT_EQ(
        changedRows(*controller, Line::Group).size() + changedRows(*controller, Line::Row).size(),
        section.size());
    EXPECT_EQ(
        changedRows(*controller, Line::Row),
        (std::vector<std::string>{"Sort by", "Networks", "Period", "Start date", "End date"}));
    ASSERT_TRUE(controller->highlightDeadline());
    EXPECT_DOUBLE_EQ(*controller->highlightDeadline(),
                     monotonic + TerminalController::kHighlightSeconds);

    monotonic += TerminalController::kHighlightSeconds / 2;
    controller->refresh();
    EXPECT_EQ(changedRows(*controller, Line::Row).size(), 5u) << "still within the highlight";
    monotonic += TerminalController::kHighlightSeconds;
    controller->refresh();
    EXPECT_TRUE(changedRows(*controller, Line::Row).empty());
    EXPECT_FALSE(controller->highlightDeadline());

    // Hidden again: the rows stay in their places, marked as removed, until the highlight ends.
    press("s");
    std::vector<std::string> shown;
    for (const Line& line : controller->lines()) shown.push_back(line.row->name());
    EXPECT_EQ(shown, (std::vector<std::string>{
                         "", "Display", "Sort by", "Networks", "Reporting period", "Period",
                         "Start date", "End date", "Usage for today", "Total", "Cellular", "Wi-Fi",
                         "", kLongName, "Video", "Mail", "Weather"}));
    EXPECT_EQ(changedRows(*controller, Line::Removed).size(), 8u);
    EXPECT_EQ(selectedName(), "Total");
    press("Up");
    EXPECT_EQ(selectedName(), "Total") << "removed rows cannot be selected";
    monotonic += TerminalController::kHighlightSeconds;
    controller->refresh();
    EXPECT_EQ(controller->lines().size(), 9u);
    EXPECT_EQ(selectedName(), "Total");
}

// A reload (a changed setting, the collector's change notification) builds every row anew; the
// selection stays on the row of the same name, wherever the new order puts it.
TEST_F(TerminalControllerTest, ReloadKeepsTheSelectionOnItsRow) {
    start();
    press("Enter End");
    ASSERT_EQ(selectedName(), "Weather");
    UsageDatabase(UsageDatabase::defaultPath())
        .addUsage("org.example.Weather", "2026-12-06", 9'000'000'000, 0, 0);
    auto page = std::dynamic_pointer_cast<PSListController>(controller->topPage());
    ASSERT_TRUE(page);
    RunLoop::main().perform([page] { page->reloadSpecifiers(); });
    controller->refresh();
    EXPECT_EQ(selectedName(), "Weather");
    EXPECT_EQ(controller->lines()[static_cast<size_t>(controller->selectedLine())].index, 5)
        << "Weather now comes first of the applications";
    EXPECT_FALSE(controller->highlightDeadline()) << "a reload is no animated change";
}

TEST_F(TerminalControllerTest, SelectionScrollsIntoViewOnASmallScreen) {
    start(80, 6);  // four table lines
    press("Enter");
    EXPECT_EQ(controller->scrollTop(), 0);
    struct Step {
        const char* keys;
        const char* selected;
        int scrollTop;
    };
    const Step steps[] = {
        {"Down Down", "Wi-Fi", 0},
        {"Down", kLongName, 2},  // the blank group line comes into view with it
        {"End", "Weather", 5},
        {"Up Up Up", kLongName, 5},
        {"Up", "Wi-Fi", 3},
        {"Home", "Total", 0},  // the header above the first row shows again
        {"PgDn", kLongName, 2},
        {"PgUp", "Cellular", 2},
        {"WheelUp", "Cellular", 0},
        {"WheelDown", "Wi-Fi", 3},  // the selection moves onto the screen
        {"WheelDown WheelDown", kLongName, 5},
    };
    for (const Step& step : steps) {
        SCOPED_TRACE(step.keys);
        press(step.keys);
        EXPECT_EQ(selectedName(), step.selected);
        EXPECT_EQ(controller->scrollTop(), step.scrollTop);
        int line = controller->selectedLine();
        EXPECT_GE(line, controller->scrollTop());
        EXPECT_LT(line, controller->scrollTop() + controller->tableHeight());
    }
    controller->resize(80, 4);  // two lines: the selection stays on screen
    EXPECT_GE(controller->selectedLine(), controller->scrollTop());
    EXPECT_LT(controller->selectedLine(), controller->scrollTop() + 2);
}

}  // namespace
