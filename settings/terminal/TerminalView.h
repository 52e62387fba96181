#pragma once

#include <string>
#include <vector>

#include "settings/terminal/TerminalController.h"

class TerminalScreen;
class UIBarButtonItem;

// Draws the terminal front end's state into an off-screen screen:
//
// - the navigation bar on the first line: the back button ("< " and the title of the page below)
//   or the page's left button at the left, the title in the middle, the right button at the
//   right; a done button is bold, a button with only an image shows a glyph for it;
// - the top page's table, one line per row: group headers (an untitled group as a blank line),
//   then each row with its icon, its name and its value where the page's own cell class places
//   them at the screen's width in points (one column is one character advance of the row font),
//   "›" on rows that open a page and "✓" on the checked item of a choice list; a date page shows
//   its picker's day, month and year instead, the selected field highlighted;
// - a status line with the keys that work, a prompt or a message; while a text entry row is
//   edited, the editor in its place: the row's name, the text with its cursor (the placeholder
//   while empty) and the keys that end it;
// - the help, over everything, when it is asked for.
//
// Without Unicode (a terminal that is not UTF-8) every glyph has a plain ASCII stand-in.
class TerminalView {
  public:
    explicit TerminalView(bool unicode = true) : unicode_(unicode) {}

    // Clears the screen and draws the controller's state on it, at the screen's size.
    void render(const TerminalController& controller, TerminalScreen& screen) const;

    // What is drawn at a cell of a screen of the controller's size.
    TerminalController::Hit hitTest(const TerminalController& controller, int column,
                                    int row) const;

    // The glyph of a row icon by its image's resource name.
    std::string iconGlyph(const std::string& resourceName) const;
    // What a bar button shows: its title, else a glyph for its image, else the image's name.
    std::string buttonText(const UIBarButtonItem& button) const;

    // Where the navigation bar's pieces are drawn, and which buttons are drawn as done (bold).
    struct Span {
        std::string text;
        int start = 0;
        int width = 0;
        bool contains(int column) const { return column >= start && column < start + width; }
    };
    struct BarLayout {
        Span left, title, right;
        bool leftDone = false, rightDone = false;
    };
    BarLayout barLayout(const TerminalController& controller) const;

  private:
    struct DateLayout {
        int row = 0;
        Span fields[3];  // day, month, year, each padded in its box
        std::string fullDate;
    };

    DateLayout dateLayout(const TerminalController& controller) const;

    void drawBar(const TerminalController& controller, TerminalScreen& screen) const;
    void drawTable(const TerminalController& controller, TerminalScreen& screen) const;
    void drawLine(const TerminalController& controller, const TerminalController::Line& line,
                  bool selected, int y, TerminalScreen& screen) const;
    void drawDatePage(const TerminalController& controller, TerminalScreen& screen) const;
    void drawStatus(const TerminalController& controller, TerminalScreen& screen) const;
    void drawEditor(const TerminalController::Editor& editor, int y, TerminalScreen& screen) const;
    void drawHelp(TerminalScreen& screen) const;

    std::vector<std::string> hints(const TerminalController& controller) const;
    const char* glyph(const char* unicode, const char* ascii) const {
        return unicode_ ? unicode : ascii;
    }
    std::string ellipsis() const { return glyph("…", "..."); }

    bool unicode_;
};
