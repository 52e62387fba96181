#include "settings/terminal/TerminalView.h"

#include <set>
#include <string>
#include <vector>

#include "TerminalFixture.h"
#include "host/foundation/Value.h"
#include "host/netpolicy/DataPlanStore.h"
#include "host/netpolicy/DataSize.h"
#include "host/netpolicy/RestrictionStore.h"

namespace {

using A = TerminalScreen::Attribute;

// A whole screen: the given lines from the top, blank lines, and the status line at the bottom.
std::string screenOf(int rows, const std::vector<std::string>& top, const std::string& status) {
    std::string text;
    for (int y = 0; y < rows - 1; ++y)
        text += (y < static_cast<int>(top.size()) ? top[static_cast<size_t>(y)] : "") + "\n";
    return text + status + "\n";
}

// The screen line that shows a row, or -1.
int rowOf(const TerminalScreen& screen, const std::string& text) {
    for (int y = 0; y < screen.rows(); ++y)
        if (screen.line(y).find(text) != std::string::npos) return y;
    return -1;
}

using TerminalViewTest = TerminalTest;

TEST_F(TerminalViewTest, SettingsPageAndTheBundlePageAt80Columns) {
    start();
    EXPECT_EQ(
        render(),
        screenOf(24,
                 {"                                    Settings", "",
                  "   •   Bytarn                                                                ›",
                  "   •   Data plan                                                             ›"},
                 " ↑↓ Move  Enter Open  ? Help  q Quit"));

    press("Enter");
    EXPECT_EQ(
        render(),
        screenOf(
            24,
            {" < Settings                          Bytarn                                   ⚙",
             "  Usage for today",
             "   •   Total                                                            1.73GB",
             "   ▮   Cellular                                                        48.45MB",
             "   ≋   Wi-Fi                                                            1.68GB", "",
             "   •   A Remarkably Long Application Name That Goes On And On And On… 1.40GB ›",
             "   •   Video                                                        333.79MB ›",
             "   •   Mail                                                           1.91MB ›",
             "   •   Weather                                                      244.14KB ›"},
            " ↑↓ Move  Enter Open  ← Back  s ⚙  ? Help  q Quit"));

    TerminalScreen drawn = screen();
    // The bar, the selected row and the status line run the whole width; headers are dim.
    for (int x : {0, 40, 79}) {
        EXPECT_TRUE(drawn.cell(0, x).attributes & A::Bar) << x;
        EXPECT_TRUE(drawn.cell(2, x).attributes & A::Selected) << x;
        EXPECT_FALSE(drawn.cell(3, x).attributes & A::Selected) << x;
        EXPECT_TRUE(drawn.cell(23, x).attributes & A::Bar) << x;
    }
    EXPECT_TRUE(drawn.cell(1, 2).attributes & A::Dim);
    EXPECT_FALSE(drawn.cell(0, 78).attributes & A::Bold) << "the settings button is plain";
}

// The Data plan page, second on the Settings list: the used row's level is a text bar just
// before its value, filled to the share of the limit (48.45MB of 100MB: 10 of 20). Its text
// rows open the editor on the status line: a bad size is refused with its sentence and nothing
// changes, Esc cancels, a size is stored and shown; a pack's days are typed as well.
TEST_F(TerminalViewTest, DataPlanUsedRowShowsALevelBarAndFiguresAreTyped) {
    const std::uint64_t MB = 1024 * 1024;
    DataPlan plan;
    plan.cycleDay = 1;
    plan.limit = 100 * MB;
    std::string error;
    ASSERT_TRUE(DataPlanStore::store(plan, &error)) << error;
    start();
    press("Down Enter");
    TerminalScreen drawn = screen();
    int used = rowOf(drawn, "Used");
    ASSERT_GE(used, 0) << render();
    EXPECT_NE(drawn.line(used).find("[██████████░░░░░░░░░░] 48.45MB of 100.00MB"),
              std::string::npos)
        << drawn.line(used);
    EXPECT_EQ(rowOf(drawn, "Projected") - used, 1) << render();

    auto select = [&](const std::string& name) {
        press("Home");
        for (int i = 0; i < 40 && selectedName() != name; ++i) press("Down");
        ASSERT_EQ(selectedName(), name) << render();
    };
    auto storedLimit = [] { return DataPlanStore::plan(kCellularKind).value().limit.value(); };
    const int status = 23;
    select("Limit");
    EXPECT_NE(screen().line(status).find("Enter Edit"), std::string::npos);
    press("Enter");
    ASSERT_TRUE(controller->editor());
    EXPECT_EQ(screen().line(status),
              " Limit: 10GB or none                                      Enter Set  Esc Cancel");
    std::string badSize;
    parseDataSize("7.5XB", &badSize);
    press("7.5XB Enter");
    EXPECT_FALSE(controller->editor());
    EXPECT_EQ(controller->message(), badSize);
    EXPECT_EQ(screen().line(status).rfind(" \"7.5XB\" is not a size", 0), 0u) << "the message";
    EXPECT_EQ(storedLimit(), 100 * MB);
    press("Enter 9q Esc");
    EXPECT_FALSE(controller->quitRequested()) << "q is typed, not a quit";
    EXPECT_EQ(storedLimit(), 100 * MB);
    // The cursor moves: 75GB becomes 7.5GB.
    press("Enter 75GB Home Right . End");
    TerminalScreen editing = screen();
    EXPECT_EQ(editing.line(status).substr(0, 15), " Limit: 7.5GB  ");
    EXPECT_TRUE(editing.cell(status, 13).attributes & A::Selected) << "the cursor after the text";
    press("Enter");
    EXPECT_EQ(storedLimit(), static_cast<std::uint64_t>(7.5 * 1024 * MB));
    drawn = screen();
    EXPECT_NE(drawn.line(rowOf(drawn, "Limit")).find("7.50GB"), std::string::npos) << render();
    EXPECT_NE(drawn.line(rowOf(drawn, "Used")).find("48.45MB of 7.50GB"), std::string::npos);

    // A pack: picked under Plan, its days typed.
    select("Plan");
    press("Enter");
    select("One-off pack");
    press("Enter");
    select("Days");
    press("Enter 10 Enter");
    auto pack = DataPlanStore::plan(kCellularKind).value();
    EXPECT_EQ(pack.period, DataPlan::Period::OneOff);
    EXPECT_EQ(dayString(pack.start), "2026-12-06");
    EXPECT_EQ(pack.days, 10);
    EXPECT_EQ(pack.limit, static_cast<std::uint64_t>(7.5 * 1024 * MB));
}

// The applications' mobile data: a switch is a text switch that Space or Enter flips, and the
// store follows; "Always allowed" is its own list of switches.
TEST_F(TerminalViewTest, DataPlanApplicationsAreSwitchedOffMobileData) {
    start();
    press("Down Enter");
    auto select = [&](const std::string& name) {
        press("Home");
        for (int i = 0; i < 40 && selectedName() != name; ++i) press("Down");
        ASSERT_EQ(selectedName(), name) << render();
    };
    select("Applications on mobile data");
    press("Enter");
    select("Video");
    auto space = [&] { controller->handleKey(TerminalKey::typed(U' ')); };
    auto line = [&] {
        TerminalScreen drawn = screen();
        return drawn.line(rowOf(drawn, "Video"));
    };
    EXPECT_NE(line().find("[ on]"), std::string::npos) << line();
    EXPECT_NE(screen().line(23).find("Enter Switch"), std::string::npos);
    space();
    EXPECT_EQ(RestrictionStore::read().restricted, std::set<std::string>{"org.example.Video"});
    EXPECT_NE(line().find("[off]"), std::string::npos) << line();
    press("Enter");
    EXPECT_TRUE(RestrictionStore::read().restricted.empty()) << "Enter turns it on again";

    select("Always allowed");
    press("Enter");
    select("Mail");
    space();
    EXPECT_EQ(RestrictionStore::read().alwaysAllowed, std::set<std::string>{"org.example.Mail"});
    EXPECT_TRUE(RestrictionStore::read().restricted.empty());
}

TEST_F(TerminalViewTest, DetailPageOfAnApplication) {
    start();
    press("Enter Down Down Down Down Right");
    ASSERT_EQ(topTitle(), "Video");
    EXPECT_EQ(
        render(),
        screenOf(24,
                 {" < Bytarn                            Video                                    ⚙",
                  "  Usage for today",
                  "   •   Video                                                          333.79MB",
                  "  Breakdown",
                  "   ▮   Cellular                                                        47.68MB",
                  "   ≋   Wi-Fi                                                          286.10MB"},
                 " ↑↓ Move  Enter Open  ← Back  s ⚙  ? Help  q Quit"));
}

TEST_F(TerminalViewTest, ChoiceListChecksTheStoredChoice) {
    start();
    press("Enter s");
    TerminalScreen shown = screen();
    EXPECT_TRUE(shown.cell(0, 78).attributes & A::Bold) << "the settings button is done now";

    press("Home Enter");
    ASSERT_EQ(topTitle(), "Sort by");
    EXPECT_EQ(
        render(),
        screenOf(24,
                 {" < Bytarn                           Sort by", "", "  Name",
                  "  Usage                                                                      ✓"},
                 " ↑↓ Move  Enter Open  ← Back  ? Help  q Quit"));
    EXPECT_TRUE(screen().cell(3, 0).attributes & A::Selected) << "the list opens on its choice";
}

TEST_F(TerminalViewTest, DatePageShowsTheStoredDayAsThreeFields) {
    ASSERT_TRUE(PreferenceStore::setValueForKey("org.bytarn", "startDate",
                                                Value(std::string("2026-11-15"))));
    start();
    press("Enter s Home Down Down Down");
    ASSERT_EQ(selectedName(), "Start date");
    press("Enter Right");
    EXPECT_EQ(
        render(),
        screenOf(24,
                 {" Cancel                            Start date                           Confirm",
                  "", "", "", "", "", "", "", "", "", "                                       ▲",
                  "                             15    November    2026",
                  "                                       ▼", "",
                  "                           Sunday, November 15, 2026"},
                 " ←→ Field  ↑↓ Change  Enter Confirm  Esc Cancel  ? Help  q Quit"));

    TerminalScreen drawn = screen();
    const int y = rowOf(drawn, "November");
    // The month field, with its padding, is the one selected; day and year are not.
    int month = static_cast<int>(drawn.line(y).find("November")) - 1;
    EXPECT_TRUE(drawn.cell(y, month).attributes & A::Selected);
    EXPECT_TRUE(drawn.cell(y, month + 9).attributes & A::Selected);
    EXPECT_FALSE(drawn.cell(y, month + 10).attributes & A::Selected);
    EXPECT_FALSE(drawn.cell(y, 30).attributes & A::Selected);
    EXPECT_FALSE(drawn.cell(y, 47).attributes & A::Selected);
    EXPECT_TRUE(drawn.cell(0, 72).attributes & A::Bold) << "Confirm is the done button";
    EXPECT_FALSE(drawn.cell(0, 2).attributes & A::Bold);
}

// The usage cell's rule on screen, at any width: the value shows whole, flush with the other
// values, and the name gives way with an ellipsis.
TEST_F(TerminalViewTest, ValuesStayWholeAndLongNamesGiveWayAtEveryWidth) {
    struct Case {
        int columns;
        std::string longRow;  // the long-named application's line
    };
    const Case cases[] = {
        {80, "   •   A Remarkably Long Application Name That Goes On And On And On… 1.40GB ›"},
        {60, "   •   A Remarkably Long Application Name That G… 1.40GB ›"},
        {40, "   •   A Remarkably Long App… 1.40GB ›"},
        {100,
         "   •   A Remarkably Long Application Name That Goes On And On And On Forever"
         "              1.40GB ›"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.columns);
        start(c.columns, 24);
        press("Enter");
        TerminalScreen drawn = screen();
        EXPECT_EQ(drawn.line(rowOf(drawn, "A Remarkably")), c.longRow);
        // Every application's value ends in the same column, before the disclosure mark.
        int valueEnd = -1;
        for (const char* value : {"1.40GB", "333.79MB", "1.91MB", "244.14KB"}) {
            int y = rowOf(drawn, value);
            ASSERT_GE(y, 0) << value << " is cut";
            std::string line = drawn.line(y);
            int end = TerminalScreen::width(line.substr(0, line.find(value))) +
                      TerminalScreen::width(value);
            if (valueEnd < 0) valueEnd = end;
            EXPECT_EQ(end, valueEnd) << value;
            EXPECT_EQ(line.substr(line.size() - 4), " ›") << value;
        }
        controller.reset();
        app.reset();
    }
}

TEST_F(TerminalViewTest, PlainAsciiStandsInForEveryGlyph) {
    start();
    press("Enter");
    TerminalScreen drawn(80, 24);
    TerminalView(false).render(*controller, drawn);
    EXPECT_EQ(drawn.line(0),
              " < Settings                          Bytarn                          [settings]");
    EXPECT_EQ(drawn.line(3).substr(0, 15), "   #   Cellular");
    EXPECT_EQ(drawn.line(4).substr(0, 12), "   ~   Wi-Fi");
    EXPECT_EQ(drawn.line(6).substr(59), "On And ... 1.40GB >");
    EXPECT_EQ(drawn.line(23), " Up/Down Move  Enter Open  Left Back  s [settings]  ? Help  q Quit");
    const std::string text = drawn.text();
    for (char c : text) EXPECT_FALSE(static_cast<unsigned char>(c) & 0x80) << text;
}

TEST_F(TerminalViewTest, ScrollMarksShowWhereTheTableGoesOn) {
    start(80, 8);
    press("Enter");
    TerminalScreen top = screen();
    EXPECT_EQ(top.cell(1, 79).text, " ");
    EXPECT_EQ(top.cell(6, 79).text, "▼");
    press("End");
    TerminalScreen bottom = screen();
    EXPECT_EQ(bottom.cell(1, 79).text, "▲");
    EXPECT_EQ(bottom.cell(6, 79).text, " ");
    EXPECT_EQ(bottom.line(6).find("Weather"), 9u) << "the last row is at the bottom";
}

TEST_F(TerminalViewTest, HelpAndPromptTakeOverTheScreen) {
    start();
    press("Enter ?");
    std::string help = render();
    EXPECT_NE(help.find("│ Keys"), std::string::npos) << help;
    EXPECT_NE(help.find("Any key closes this help."), std::string::npos);

    press("x End d");
    TerminalScreen asked = screen();
    EXPECT_EQ(asked.line(23), " Delete Weather? y/n");
    EXPECT_TRUE(asked.cell(23, 1).attributes & A::Bold);
}

// Clicks find what is drawn where they land, and do what a tap there would.
TEST_F(TerminalViewTest, ClicksTapRowsButtonsAndDateFields) {
    using Hit = TerminalController::Hit;
    start();
    press("Enter");
    TerminalView view;
    struct Case {
        int column, row;
        Hit::Kind kind;
        int index;
    };
    const Case cases[] = {
        {1, 0, Hit::LeftButton, 0}, {10, 0, Hit::LeftButton, 0},  {11, 0, Hit::Nothing, 0},
        {40, 0, Hit::Nothing, 0},   {78, 0, Hit::RightButton, 0}, {0, 2, Hit::TableLine, 1},
        {79, 7, Hit::TableLine, 6}, {5, 12, Hit::Nothing, 0},     {5, 23, Hit::Nothing, 0},
    };
    for (const Case& c : cases) {
        Hit hit = view.hitTest(*controller, c.column, c.row);
        EXPECT_EQ(hit.kind, c.kind) << c.column << "," << c.row;
        if (c.kind == Hit::TableLine) {
            EXPECT_EQ(hit.index, c.index) << c.column << "," << c.row;
        }
    }
    auto click = [&](int column, int row) {
        controller->handleHit(view.hitTest(*controller, column, row));
    };
    ASSERT_EQ(rowOf(screen(), "Video"), 7);
    click(20, 7);
    EXPECT_EQ(topTitle(), "Video");
    click(3, 0);
    EXPECT_EQ(topTitle(), "Bytarn");
    EXPECT_EQ(selectedName(), "Video");
    click(20, 5);
    EXPECT_EQ(selectedName(), "Video") << "group lines take no clicks";
    click(78, 0);
    EXPECT_EQ(controller->lines()[1].row->name(), "Display") << "the settings button";

    press("Home Down Down Down Enter");
    ASSERT_TRUE(controller->datePicker());
    TerminalScreen date = screen();
    const int y = rowOf(date, "December");
    for (auto [word, field] : {std::pair{"6", 0}, {"December", 1}, {"2026", 2}}) {
        click(TerminalScreen::width(date.line(y).substr(0, date.line(y).find(word, 20))), y);
        EXPECT_EQ(static_cast<int>(controller->dateField()), field) << word;
    }
    click(3, 0);
    EXPECT_EQ(topTitle(), "Bytarn") << "Cancel";

    press("End d");
    ASSERT_TRUE(controller->prompt());
    click(20, 2);
    EXPECT_FALSE(controller->prompt()) << "a click answers no";
    EXPECT_EQ(selectedName(), "Weather");
}

}  // namespace
