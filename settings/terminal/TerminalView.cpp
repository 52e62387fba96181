#include "settings/terminal/TerminalView.h"

#include <algorithm>
#include <cmath>

#include "host/foundation/NSDateFormatter.h"
#include "host/preferences/PSListController.h"
#include "host/preferences/PSSpecifier.h"
#include "host/preferences/PSTableCell.h"
#include "host/preferences/PSViewController.h"
#include "host/ui/UIDatePicker.h"
#include "host/ui/UIImage.h"
#include "host/ui/UIKit.h"
#include "settings/terminal/TerminalScreen.h"

namespace {

using Line = TerminalController::Line;
using A = TerminalScreen::Attribute;

// The widest text bar a row's level gets, its brackets included.
constexpr int kLevelBarColumns = 22;

// One terminal column is one character advance of the row font.
constexpr CGFloat kFontSize = UILabel::kDefaultFontSize;

CGFloat pointsPerColumn() {
    return TextMetrics::advance(kFontSize);
}

// The column at which something placed at `x` points starts.
int columnAt(CGFloat x) {
    return static_cast<int>(std::lround(x / pointsPerColumn()));
}

// How many whole columns `width` points hold.
int columnsIn(CGFloat width) {
    return static_cast<int>(std::floor(width / pointsPerColumn() + 0.001f));
}

std::string formatted(NSDate date, const std::string& pattern) {
    NSDateFormatter formatter;
    formatter.setDateFormat(pattern);
    return formatter.stringFromDate(date).value_or("");
}

const char* const kHelp[][2] = {
    {"Up Down PgUp PgDn Home End", "move the selection"},
    {"Enter  Right", "open the row, pick the item, flip a switch"},
    {"Left  Backspace  Esc", "go back"},
    {"s", "press the right button"},
    {"d  Delete", "delete the row"},
    {"Space", "turn a switch on or off"},
    {"", ""},
    {"On a row that takes text:", ""},
    {"Enter", "type a new value"},
    {"Enter  Esc", "set it, cancel"},
    {"", ""},
    {"On a date page:", ""},
    {"Left  Right", "choose day, month or year"},
    {"Up  Down", "change it"},
    {"Enter  Esc", "confirm, cancel"},
    {"", ""},
    {"Mouse", "click to open, wheel to scroll"},
    {"q", "quit"},
};

}  // namespace

std::string TerminalView::iconGlyph(const std::string& resourceName) const {
    if (resourceName == "Cellular") return glyph("▮", "#");
    if (resourceName == "Wi-Fi") return glyph("≋", "~");
    return glyph("•", "*");
}

std::string TerminalView::buttonText(const UIBarButtonItem& button) const {
    if (button.title()) return *button.title();
    if (!button.image()) return "?";
    std::string name = button.image()->resourceName();
    if (name == "settings" && unicode_) return "⚙";
    return "[" + name + "]";
}

// Layout.

TerminalView::BarLayout TerminalView::barLayout(const TerminalController& controller) const {
    BarLayout bar;
    const int width = controller.columns();
    auto page = controller.topPage();
    if (!page) return bar;
    const UINavigationItem& item = page->navigationItem();
    // A third of the bar at most for each button; the title takes what is left between them.
    const int buttonRoom = std::max(1, width / 3);
    if (auto left = item.leftBarButtonItem()) {
        bar.left.text = TerminalScreen::fitted(buttonText(*left), buttonRoom, ellipsis());
        bar.leftDone = left->style() == UIBarButtonItemStyleDone;
    } else if (auto back = controller.backTitle()) {
        bar.left.text = TerminalScreen::fitted("< " + *back, buttonRoom, ellipsis());
    }
    bar.left.start = 1;
    bar.left.width = TerminalScreen::width(bar.left.text);
    if (auto right = item.rightBarButtonItem()) {
        bar.right.text = TerminalScreen::fitted(buttonText(*right), buttonRoom, ellipsis());
        bar.rightDone = right->style() == UIBarButtonItemStyleDone;
    }
    bar.right.width = TerminalScreen::width(bar.right.text);
    bar.right.start = width - 1 - bar.right.width;

    int from = bar.left.start + bar.left.width + 1;
    int to = bar.right.width > 0 ? bar.right.start - 1 : width - 1;
    bar.title.text = TerminalScreen::fitted(page->title(), std::max(0, to - from), ellipsis());
    bar.title.width = TerminalScreen::width(bar.title.text);
    bar.title.start =
        std::clamp((width - bar.title.width) / 2, from, std::max(from, to - bar.title.width));
    return bar;
}

TerminalView::DateLayout TerminalView::dateLayout(const TerminalController& controller) const {
    DateLayout layout;
    auto picker = controller.datePicker();
    if (!picker) return layout;
    NSDate date = picker->date();
    const std::string texts[3] = {formatted(date, "d"), formatted(date, "LLLL"),
                                  formatted(date, "y")};
    constexpr int kGap = 2;
    int total = 0;
    for (int i = 0; i < 3; ++i) {
        // Each field in a box one column wider than its text on both sides.
        layout.fields[i].text = " " + texts[i] + " ";
        layout.fields[i].width = TerminalScreen::width(layout.fields[i].text);
        total += layout.fields[i].width + (i > 0 ? kGap : 0);
    }
    int x = std::max(0, (controller.columns() - total) / 2);
    for (auto& field : layout.fields) {
        field.start = x;
        x += field.width + kGap;
    }
    int height = controller.tableHeight();
    layout.row = TerminalController::kTableTop + std::max(1, height / 2 - 1);
    NSDateFormatter full;
    full.setDateStyle(NSDateFormatterFullStyle);
    full.setTimeStyle(NSDateFormatterNoStyle);
    layout.fullDate = full.stringFromDate(date).value_or("");
    return layout;
}

TerminalController::Hit TerminalView::hitTest(const TerminalController& controller, int column,
                                              int row) const {
    using Hit = TerminalController::Hit;
    if (controller.isHelpShown()) return {};
    if (row == 0) {
        BarLayout bar = barLayout(controller);
        if (bar.left.width > 0 && bar.left.contains(column)) return {Hit::LeftButton, 0};
        if (bar.right.width > 0 && bar.right.contains(column)) return {Hit::RightButton, 0};
        return {};
    }
    if (controller.datePicker()) {
        DateLayout layout = dateLayout(controller);
        for (int i = 0; i < 3; ++i)
            if (row == layout.row && layout.fields[i].contains(column)) return {Hit::DateField, i};
        return {};
    }
    int offset = row - TerminalController::kTableTop;
    if (offset < 0 || offset >= controller.tableHeight()) return {};
    int line = controller.scrollTop() + offset;
    if (line >= static_cast<int>(controller.lines().size())) return {};
    return {Hit::TableLine, line};
}

// Drawing.

void TerminalView::render(const TerminalController& controller, TerminalScreen& screen) const {
    if (screen.columns() != controller.columns() || screen.rows() != controller.rows())
        screen.resize(controller.columns(), controller.rows());
    screen.clear();
    drawBar(controller, screen);
    if (controller.datePicker())
        drawDatePage(controller, screen);
    else
        drawTable(controller, screen);
    drawStatus(controller, screen);
    if (controller.isHelpShown()) drawHelp(screen);
}

void TerminalView::drawBar(const TerminalController& controller, TerminalScreen& screen) const {
    screen.addAttributes(0, 0, screen.columns(), A::Bar);
    BarLayout bar = barLayout(controller);
    screen.write(0, bar.left.start, bar.left.text,
                 A::Bar | (bar.leftDone ? unsigned{A::Bold} : 0u));
    screen.write(0, bar.title.start, bar.title.text, A::Bar | A::Bold);
    screen.write(0, bar.right.start, bar.right.text,
                 A::Bar | (bar.rightDone ? unsigned{A::Bold} : 0u));
}

void TerminalView::drawTable(const TerminalController& controller, TerminalScreen& screen) const {
    const auto& lines = controller.lines();
    const int height = controller.tableHeight();
    const int top = controller.scrollTop();
    for (int i = 0; i < height; ++i) {
        int index = top + i;
        if (index >= static_cast<int>(lines.size())) break;
        drawLine(controller, lines[static_cast<size_t>(index)], index == controller.selectedLine(),
                 TerminalController::kTableTop + i, screen);
    }
    // Marks at the right edge where the table goes on beyond the screen.
    const int edge = screen.columns() - 1;
    if (top > 0) screen.write(TerminalController::kTableTop, edge, glyph("▲", "^"), A::Dim);
    if (top + height < static_cast<int>(lines.size()))
        screen.write(TerminalController::kTableTop + height - 1, edge, glyph("▼", "v"), A::Dim);
}

void TerminalView::drawLine(const TerminalController& controller, const Line& line, bool selected,
                            int y, TerminalScreen& screen) const {
    const int width = screen.columns();
    unsigned attributes = selected ? A::Selected : line.changed ? A::Changed : A::Plain;
    if (line.kind == Line::Removed) attributes |= A::Dim;
    screen.addAttributes(y, 0, width, attributes);
    const auto& row = line.row;
    if (row->cellType() == PSGroupCell) {
        int x = columnAt(PSTableCell::kMargin);
        screen.write(y, x, TerminalScreen::fitted(row->name(), width - 2 * x, ellipsis()),
                     attributes | A::Dim);
        return;
    }

    // The row's own cell class lays it out at the screen's width in points.
    const CGFloat points = static_cast<CGFloat>(width) * pointsPerColumn();
    auto cell = PSTableCell::cellForSpecifier(row, points, false);

    if (cell->hasIcon()) {
        auto image = row->property<std::shared_ptr<UIImage>>("iconImage");
        std::string name = image && *image ? (*image)->resourceName() : "";
        int x = columnsIn(PSTableCell::kMargin + PSTableCell::kIconSize / 2);
        screen.write(y, x, iconGlyph(name), attributes);
    }

    int valueStart = width;
    // A switch is a text switch where a value would be, its state in words.
    if (row->cellType() == PSSwitchCell) {
        const bool on = switchIsOn(*row);
        std::string shown = on ? "[ on]" : "[off]";
        int end = columnAt(points - PSTableCell::kMargin);
        valueStart = end - TerminalScreen::width(shown);
        screen.write(y, valueStart, shown, attributes | (on ? A::Bold : A::Dim));
    }
    const auto& value = cell->detailTextLabel();
    if (value && value->text() && !value->text()->empty()) {
        const CGRect& frame = value->frame();
        std::string text =
            TerminalScreen::fitted(*value->text(), columnsIn(frame.size.width), ellipsis());
        int end = columnAt(frame.maxX());
        valueStart = end - TerminalScreen::width(text);
        screen.write(y, valueStart, text, attributes);
    }

    const auto& title = cell->textLabel();
    int nameStart = columnAt(title->frame().minX());
    // A row's level is a text bar just before its value, where the title leaves room for one.
    if (auto level = row->level()) {
        int titleEnd = nameStart + TerminalScreen::width(title->text().value_or(""));
        int barWidth = std::min(kLevelBarColumns, valueStart - 2 - (titleEnd + 2));
        if (barWidth >= kLevelBarColumns / 2) {
            int inside = barWidth - 2;
            int filled = static_cast<int>(std::lround(*level * inside));
            std::string bar = "[";
            for (int i = 0; i < inside; ++i) bar += i < filled ? glyph("█", "#") : glyph("░", "-");
            bar += "]";
            valueStart -= barWidth + 1;
            screen.write(y, valueStart, bar, attributes);
        }
    }
    int nameRoom = std::min(columnsIn(title->frame().size.width), valueStart - 1 - nameStart);
    screen.write(
        y, nameStart,
        TerminalScreen::fitted(title->text().value_or(""), std::max(0, nameRoom), ellipsis()),
        attributes);

    int accessory = columnsIn(points - PSTableCell::kMargin - PSTableCell::kDisclosureWidth / 2);
    if (cell->hasDisclosure())
        screen.write(y, accessory, glyph("›", ">"), attributes);
    else if (controller.isChecked(*row))
        screen.write(y, accessory, glyph("✓", "*"), attributes | A::Bold);
}

void TerminalView::drawDatePage(const TerminalController& controller,
                                TerminalScreen& screen) const {
    DateLayout layout = dateLayout(controller);
    int selected = static_cast<int>(controller.dateField());
    for (int i = 0; i < 3; ++i) {
        const Span& field = layout.fields[i];
        screen.write(layout.row, field.start, field.text, i == selected ? A::Selected : A::Plain);
    }
    const Span& chosen = layout.fields[selected];
    int middle = chosen.start + chosen.width / 2;
    screen.write(layout.row - 1, middle, glyph("▲", "^"), A::Dim);
    screen.write(layout.row + 1, middle, glyph("▼", "v"), A::Dim);
    int fullWidth = TerminalScreen::width(layout.fullDate);
    screen.write(layout.row + 3, std::max(0, (screen.columns() - fullWidth) / 2), layout.fullDate,
                 A::Dim);
}

std::vector<std::string> TerminalView::hints(const TerminalController& controller) const {
    std::vector<std::string> out;
    auto page = controller.topPage();
    if (!page) return out;
    const UINavigationItem& item = page->navigationItem();
    if (controller.datePicker()) {
        out.push_back(glyph("←→ Field", "Left/Right Field"));
        out.push_back(glyph("↑↓ Change", "Up/Down Change"));
        if (auto right = item.rightBarButtonItem()) out.push_back("Enter " + buttonText(*right));
        if (auto left = item.leftBarButtonItem()) out.push_back("Esc " + buttonText(*left));
    } else {
        out.push_back(glyph("↑↓ Move", "Up/Down Move"));
        int selected = controller.selectedLine();
        PSCellType cellType =
            selected >= 0 ? controller.lines()[static_cast<size_t>(selected)].row->cellType()
                          : PSStaticTextCell;
        out.push_back(cellType == PSEditTextCell ? "Enter Edit"
                      : cellType == PSSwitchCell ? "Enter Switch"
                                                 : "Enter Open");
        if (item.leftBarButtonItem() || controller.backTitle())
            out.push_back(glyph("← Back", "Left Back"));
        if (auto right = item.rightBarButtonItem()) out.push_back("s " + buttonText(*right));
        // Delete is offered only on a row the page lets go of.
        auto list = std::dynamic_pointer_cast<PSListController>(page);
        if (list && selected >= 0) {
            auto path =
                list->indexPathForIndex(controller.lines()[static_cast<size_t>(selected)].index);
            if (path && list->tableView(list->table(), *path) == UITableViewCellEditingStyleDelete)
                out.push_back("d Delete");
        }
    }
    out.push_back("? Help");
    out.push_back("q Quit");
    return out;
}

void TerminalView::drawStatus(const TerminalController& controller, TerminalScreen& screen) const {
    const int y = screen.rows() - 1;
    if (y <= 0) return;
    const int width = screen.columns();
    screen.addAttributes(y, 0, width, A::Bar);
    if (const auto& editor = controller.editor()) return drawEditor(*editor, y, screen);
    if (controller.prompt()) {
        screen.write(y, 1, TerminalScreen::fitted(*controller.prompt(), width - 2, ellipsis()),
                     A::Bar | A::Bold);
        return;
    }
    if (!controller.message().empty()) {
        screen.write(y, 1, TerminalScreen::fitted(controller.message(), width - 2, ellipsis()),
                     A::Bar);
        return;
    }
    // The first hints give way when the line is too narrow for all of them.
    std::vector<std::string> all = hints(controller);
    auto joined = [&](size_t from) {
        std::string text;
        for (size_t i = from; i < all.size(); ++i) text += (i > from ? "  " : "") + all[i];
        return text;
    };
    size_t from = 0;
    while (from + 1 < all.size() && TerminalScreen::width(joined(from)) > width - 2) ++from;
    screen.write(y, 1, TerminalScreen::fitted(joined(from), width - 2, ellipsis()), A::Bar);
}

void TerminalView::drawEditor(const TerminalController::Editor& editor, int y,
                              TerminalScreen& screen) const {
    const int width = screen.columns();
    int x = 1, right = width - 1;
    const std::string keys = "Enter Set  Esc Cancel";
    const int keysWidth = TerminalScreen::width(keys);
    // The keys at the right when they leave the text a reasonable room.
    if (width - 2 - keysWidth - 2 >= 24) {
        screen.write(y, right - keysWidth, keys, A::Bar | A::Dim);
        right -= keysWidth + 2;
    }
    std::string label =
        TerminalScreen::fitted(editor.row->name() + ": ", std::max(0, (right - x) / 2), ellipsis());
    x += screen.write(y, x, label, A::Bar | A::Bold);
    const int room = right - x;
    if (room <= 0) return;
    if (editor.text.empty()) {
        screen.write(y, x, TerminalScreen::fitted(editor.row->placeholder(), room, ellipsis()),
                     A::Bar | A::Dim);
        screen.addAttributes(y, x, 1, A::Selected);
        return;
    }
    // The text scrolls so that the cursor, one column after what comes before it, stays shown.
    size_t from = 0;
    while (from < editor.cursor &&
           TerminalScreen::width(editor.utf8(from, editor.cursor - from)) > room - 1)
        ++from;
    int cursor = x + TerminalScreen::width(editor.utf8(from, editor.cursor - from));
    screen.write(y, x, editor.utf8(from), A::Bar, room);
    screen.addAttributes(y, cursor, 1, A::Selected);
}

void TerminalView::drawHelp(TerminalScreen& screen) const {
    constexpr int kKeyColumn = 28;
    std::vector<std::string> text{"Keys", ""};
    for (const auto& [keys, what] : kHelp) {
        std::string line = keys;
        if (*what)
            line += std::string(
                        static_cast<size_t>(std::max(1, kKeyColumn - TerminalScreen::width(keys))),
                        ' ') +
                    what;
        text.push_back(line);
    }
    text.push_back("");
    text.push_back("Any key closes this help.");

    int inner = 0;
    for (const auto& line : text) inner = std::max(inner, TerminalScreen::width(line));
    int boxWidth = std::min(inner + 4, screen.columns());
    int boxHeight = std::min(static_cast<int>(text.size()) + 2, screen.rows());
    int left = (screen.columns() - boxWidth) / 2;
    int top = (screen.rows() - boxHeight) / 2;

    const std::string horizontal = glyph("─", "-"), vertical = glyph("│", "|");
    for (int y = top; y < top + boxHeight; ++y) {
        bool edge = y == top || y == top + boxHeight - 1;
        std::string middle;
        for (int x = 0; x < boxWidth - 2; ++x) middle += edge ? horizontal : " ";
        std::string start = y == top                   ? glyph("┌", "+")
                            : y == top + boxHeight - 1 ? glyph("└", "+")
                                                       : vertical;
        std::string end = y == top                   ? glyph("┐", "+")
                          : y == top + boxHeight - 1 ? glyph("┘", "+")
                                                     : vertical;
        screen.write(y, left, start + middle + end, A::Plain);
    }
    for (int i = 0; i < static_cast<int>(text.size()) && i < boxHeight - 2; ++i)
        screen.write(top + 1 + i, left + 2,
                     TerminalScreen::fitted(text[static_cast<size_t>(i)], boxWidth - 4, ellipsis()),
                     i == 0 ? A::Bold : A::Plain);
}
