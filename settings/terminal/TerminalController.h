#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "host/preferences/PSSpecifier.h"
#include "settings/core/PageNavigator.h"
#include "settings/terminal/TerminalKey.h"

class PSListController;
class PSViewController;
class SettingsApplication;

// The state of the terminal front end and what its keys do. It keeps, for each page on the
// navigation stack, the selected row and how far the table is scrolled; it turns keys into taps,
// button presses, pops and deletes on the application's pages; and it follows the top page's
// table, so that rows inserted or removed with animation show briefly highlighted (removed ones
// in their old place) and a reload keeps the selection on the row it was on. It knows nothing of
// ncurses or of how the screen is drawn: TerminalView draws it. What it does to the pages is the
// page driving all front ends share (PageNavigator); the message is cleared by the next key.
class TerminalController : public PageNavigator {
  public:
    // One line of the top page's table, as the view draws it.
    struct Line {
        enum Kind { Group, Row, Removed };
        Kind kind = Row;
        std::shared_ptr<PSSpecifier> row;
        bool changed = false;  // inserted or removed a moment ago
        int index = -1;        // in the page's list; -1 for a removed row
    };

    // What a click landed on, as TerminalView finds it.
    struct Hit {
        enum Kind { Nothing, LeftButton, RightButton, TableLine, DateField };
        Kind kind = Nothing;
        int index = 0;  // the line, or the date field
    };

    // The one-line editor of a text entry row (PSEditTextCell), open at the bottom of the screen:
    // the row, what is typed so far and the cursor, a position in `text`.
    struct Editor {
        std::shared_ptr<PSSpecifier> row;
        std::u32string text;
        size_t cursor = 0;
        // The text as UTF-8, or `length` characters of it from `from`.
        std::string utf8(size_t from = 0, size_t length = std::u32string::npos) const;
    };

    // The part of the picked day that the up and down keys turn.
    using DateField = DatePart;

    // How long inserted and removed rows stay highlighted.
    static constexpr double kHighlightSeconds = 0.6;
    // Lines the mouse wheel scrolls at a time.
    static constexpr int kWheelLines = 3;
    // The navigation bar above the table and the status line below it.
    static constexpr int kTableTop = 1;
    static constexpr int kChromeRows = 2;

    // Seconds on a clock that only moves forward; the highlights are timed on it.
    using MonotonicClock = std::function<double()>;
    static double steadySeconds();

    explicit TerminalController(SettingsApplication& application,
                                MonotonicClock clock = &TerminalController::steadySeconds);
    ~TerminalController() override;
    TerminalController(const TerminalController&) = delete;
    TerminalController& operator=(const TerminalController&) = delete;

    void resize(int columns, int rows);
    int columns() const { return columns_; }
    int rows() const { return rows_; }
    int tableHeight() const;

    // A key or a click. Whatever the pages queued on the main run loop runs before they return,
    // and the screen state follows what happened.
    void handleKey(const TerminalKey& key);
    void handleHit(const Hit& hit);
    // Follows work the run loop did on its own (a timer, a change notification) and ends
    // highlights whose time is up.
    void refresh();
    // When the highlight showing now ends; nothing when none shows.
    std::optional<double> highlightDeadline() const;
    bool quitRequested() const { return quit_; }

    // What the view draws, besides the top page, its back title, date picker and checked rows.
    const std::vector<Line>& lines() const { return lines_; }
    // The selected line, or -1.
    int selectedLine() const { return selectedLine_; }
    int scrollTop() const;
    DateField dateField() const;
    bool isHelpShown() const { return help_; }
    // A question waiting for y or n.
    const std::optional<std::string>& prompt() const { return prompt_; }
    // The editor of a text entry row, while one is open.
    const std::optional<Editor>& editor() const { return editor_; }

  protected:
    // Follows the changes after the action and the queued work ran.
    void act(const std::function<void()>& action) override;

  private:
    struct PageState;

    PageState& stateOf(const std::shared_ptr<PSViewController>& page);
    PageState* currentState();
    const PageState* currentState() const;

    // Keys, by what the top page is.
    void handleListKey(const TerminalKey& key);
    void handleDateKey(const TerminalKey& key);
    void answerPrompt(const TerminalKey& key);
    void handleEditorKey(const TerminalKey& key);

    void moveSelection(int direction);
    void moveSelectionBy(int lines);
    void selectEdge(bool last);
    void selectLine(int line);
    void scrollBy(int lines);
    void tapSelected();
    void askToDelete();
    void changeDate(int amount);

    // Reads the top page's table updates and builds the lines again.
    void follow();
    // Starts the highlight of what the table recorded since the list was last shown, and returns
    // the list index the page asked to scroll to, if it did.
    std::optional<int> noteUpdates(PSListController& list, const PageState& state,
                                   const PSSpecifierList& current);
    void buildLines(const PSSpecifierList& current);
    void restoreSelection(PageState& state, const PSSpecifierList& previous,
                          const PSSpecifierList& current);
    void keepSelectionVisible(PageState& state);
    int lineOfListIndex(int index) const;
    bool isSelectable(int line) const;

    MonotonicClock clock_;
    int columns_ = 80;
    int rows_ = 24;
    std::vector<std::unique_ptr<PageState>> states_;
    std::weak_ptr<PSViewController> followedPage_;

    // The highlight of the last animated change of the top page.
    PSSpecifierList highlightBase_;  // the list before the change, removed rows included
    std::set<const PSSpecifier*> inserted_;
    std::set<const PSSpecifier*> removed_;
    double highlightUntil_ = 0;

    std::vector<Line> lines_;
    int selectedLine_ = -1;
    bool help_ = false;
    bool quit_ = false;
    std::optional<std::string> prompt_;
    std::optional<Editor> editor_;
    std::weak_ptr<PSSpecifier> pendingDelete_;
};
