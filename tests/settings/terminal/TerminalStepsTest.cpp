// The terminal front end runs the table of steps that every interactive front end meets.
#include "host/preferences/PSViewController.h"
#include "host/ui/UIKit.h"
#include "settings/terminal/TerminalController.h"
#include "settings/terminal/TerminalScreen.h"
#include "settings/terminal/TerminalView.h"
#include "support/FrontEndSteps.h"

namespace {

// Drives the controller by rows and buttons as clicks would, and reads what the view drew.
class TerminalDriver : public FrontEndDriver {
  public:
    explicit TerminalDriver(SettingsApplication& application)
        : controller_(application, [] { return 0.0; }) {
        controller_.resize(100, 50);
    }

    void tap(const std::string& row) override {
        int line = lineOf(row);
        ASSERT_GE(line, 0) << "no row " << row;
        controller_.handleHit({TerminalController::Hit::TableLine, line});
    }
    void back() override { controller_.handleHit({TerminalController::Hit::LeftButton, 0}); }
    void press(bool right) override {
        using Hit = TerminalController::Hit;
        controller_.handleHit({right ? Hit::RightButton : Hit::LeftButton, 0});
    }
    void deleteRow(const std::string& row) override {
        int line = lineOf(row);
        ASSERT_GE(line, 0) << "no row " << row;
        while (controller_.selectedLine() != line && controller_.selectedLine() < line)
            controller_.handleKey(TerminalKey::of(TerminalKey::Down));
        controller_.handleKey(TerminalKey::typed(U'd'));
        controller_.handleKey(TerminalKey::typed(U'y'));
    }

    ShownPage shown() override {
        TerminalScreen screen(controller_.columns(), controller_.rows());
        TerminalView view;
        view.render(controller_, screen);
        ShownPage page;
        auto bar = view.barLayout(controller_);
        auto button = [&](const TerminalView::Span& span, bool done, bool image) {
            if (span.width == 0) return std::string();
            std::string text = span.text == "⚙" ? "settings" : span.text;
            EXPECT_NE(screen.line(0).find(span.text), std::string::npos) << span.text;
            // A done button is drawn bold.
            bool bold = screen.cell(0, span.start).attributes & TerminalScreen::Bold;
            EXPECT_EQ(bold, done);
            if (bold) text += image ? " (pressed)" : " (suggested)";
            return text;
        };
        const auto& item = controller_.topPage()->navigationItem();
        page.header = button(bar.left, bar.leftDone, false) + " | " + bar.title.text + " | " +
                      button(bar.right, bar.rightDone,
                             item.rightBarButtonItem() && !item.rightBarButtonItem()->title());
        const auto& lines = controller_.lines();
        for (size_t i = 0; i < lines.size(); ++i) {
            const auto& line = lines[i];
            if (line.kind != TerminalController::Line::Row) continue;
            std::string drawn = screen.line(TerminalController::kTableTop + static_cast<int>(i) -
                                            controller_.scrollTop());
            std::string text = drawn.find(line.row->name()) != std::string::npos
                                   ? line.row->name()
                                   : "(cut) " + line.row->name();
            auto value = line.row->valueText();
            if (value && !value->empty() && drawn.find(*value) != std::string::npos)
                text += " = " + *value;
            if (drawn.find("✓") != std::string::npos) text += " ✓";
            page.rows.push_back(text);
        }
        return page;
    }

  private:
    int lineOf(const std::string& name) const {
        const auto& lines = controller_.lines();
        for (size_t i = 0; i < lines.size(); ++i)
            if (lines[i].kind == TerminalController::Line::Row && lines[i].row->name() == name)
                return static_cast<int>(i);
        return -1;
    }

    TerminalController controller_;
};

TEST(TerminalSteps, SharedSteps) {
    for (const FrontEndStep& step : frontEndSteps()) {
        SCOPED_TRACE(std::string(step.what) + ": " + step.actions);
        FrontEndWorld world;
        auto app = world.start();
        ASSERT_TRUE(app);
        TerminalDriver driver(*app);
        performSteps(driver, step.actions);
        expectShown(step, driver.shown());
    }
}

}  // namespace
