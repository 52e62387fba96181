#pragma once

#include <memory>
#include <string>
#include <vector>

#include "host/preferences/PSSpecifier.h"
#include "settings/gui/GuiNavigator.h"

typedef struct _GtkApplication GtkApplication;
typedef struct _GtkWidget GtkWidget;
typedef struct _GtkButton GtkButton;
typedef struct _GtkGestureClick GtkGestureClick;
typedef struct _GtkGestureSwipe GtkGestureSwipe;
typedef struct _GtkPopover GtkPopover;
typedef struct _GtkSwitch GtkSwitch;
typedef void* gpointer;
typedef int gboolean;
class PSViewController;
class SettingsApplication;
class UIBarButtonItem;

// The desktop window over the application's pages (GTK 4 and libadwaita): a header bar with the
// back button, the page title and the page's bar buttons; groups of rows as boxed lists; a
// calendar on a date page. It follows the top page after every action and after work the run
// loop did on its own: a reload of the same rows updates them in place, anything else builds the
// page again, keeping each page's scroll position and focused row. Rows and buttons carry stable
// widget names ("row:<name>", "back", "left", "right", "title", "calendar") and accessible labels.
class GuiWindow {
  public:
    // A window of `application` when given (the running program), else a plain one (tests).
    GuiWindow(SettingsApplication& settings, GtkApplication* application);
    ~GuiWindow();
    GuiWindow(const GuiWindow&) = delete;
    GuiWindow& operator=(const GuiWindow&) = delete;

    GtkWidget* window() const { return window_; }
    GuiNavigator& navigator() { return navigator_; }

    // Shows what the pages did since the last look.
    void refresh();
    // Whether a row is still fading out; the page is rebuilt when it has.
    bool isAnimating() const { return animations_ > 0; }
    // The first widget of that name in the window, or null.
    GtkWidget* findWidget(const std::string& name) const;

    // Asks before deleting the row; a yes deletes it.
    void confirmDelete(const std::shared_ptr<PSSpecifier>& row);
    // The row a widget shows (the row itself or anything in it), or null.
    std::shared_ptr<PSSpecifier> rowOf(GtkWidget* widget);
    // A key pressed anywhere in the window; whether it did something.
    bool handleKey(unsigned keyval, bool alt);
    // The confirmation open now, or null.
    GtkWidget* openDialog() const { return dialog_; }
    // Commits the text of a text entry row, as its apply button or Enter does: a refusal is the
    // toast, and the row shows its value again.
    void applyText(const std::shared_ptr<PSSpecifier>& row, const std::string& text);
    // Turns a switch row on or off, as a click on it does: a refusal is the toast, and the
    // switch shows the page's state.
    void flipSwitch(const std::shared_ptr<PSSpecifier>& row, bool on);
    // The text of the last toast the window showed (a failed action, a log line).
    const std::string& lastMessage() const { return lastMessage_; }

  private:
    struct RowView {
        std::shared_ptr<PSSpecifier> row;
        GtkWidget* widget = nullptr;
        GtkWidget* icon = nullptr;
        GtkWidget* value = nullptr;
        GtkWidget* check = nullptr;
        GtkWidget* level = nullptr;
        GtkWidget* toggle = nullptr;  // a switch row's GtkSwitch
        std::string iconPath;
        // A text entry row (AdwEntryRow): the text it was last given, so that what the user
        // typed since is not overwritten by a reload.
        bool entry = false;
        std::string entryText;
    };
    struct PageState {
        std::weak_ptr<PSViewController> page;
        double scroll = 0;
        std::string focused;
    };

    PageState& stateOf(const std::shared_ptr<PSViewController>& page);
    void saveState();
    void updateHeader();
    void updateBarButton(GtkWidget*& widget, std::shared_ptr<UIBarButtonItem>& shown,
                         const std::shared_ptr<UIBarButtonItem>& item, const char* name,
                         bool start);
    void buildPage();
    void buildList(const PSSpecifierList& rows);
    void buildDatePage();
    bool updateRowsInPlace(const PSSpecifierList& rows);
    // Shows the row's texts; an entry the user has typed into keeps its text unless `force`.
    void fillRow(RowView& view, bool force = false);
    GtkWidget* makeRow(const std::shared_ptr<PSSpecifier>& row);
    GtkWidget* makeEntryRow(const std::shared_ptr<PSSpecifier>& row);
    void restoreFocus(const PageState& state);
    void fadeOut(const std::vector<std::shared_ptr<PSSpecifier>>& rows);
    void showMessage();
    RowView* rowOfWidget(GtkWidget* widget);
    void dropPopover();
    bool moveFocus(int direction);

    static void onRowActivated(GtkWidget* widget, gpointer self);
    static void onEntryApplied(GtkWidget* entry, gpointer self);
    static gboolean onSwitchSet(GtkSwitch* toggle, gboolean on, gpointer self);
    static void onContextClick(GtkGestureClick* click, int presses, double x, double y,
                               gpointer self);
    static void onContextDelete(GtkButton* button, gpointer self);
    static void onPopoverClosed(GtkPopover* popover, gpointer);
    static void onSwipe(GtkGestureSwipe* swipe, double vx, double vy, gpointer self);
    static gboolean onKey(void* controller, unsigned keyval, unsigned keycode, int state,
                          gpointer self);

    SettingsApplication& settings_;
    GuiNavigator navigator_;
    GtkWidget* window_ = nullptr;
    GtkWidget* toasts_ = nullptr;
    std::string lastMessage_;
    GtkWidget* title_ = nullptr;
    GtkWidget* header_ = nullptr;
    GtkWidget* back_ = nullptr;
    GtkWidget* backLabel_ = nullptr;
    GtkWidget* left_ = nullptr;
    GtkWidget* right_ = nullptr;
    std::shared_ptr<UIBarButtonItem> shownLeft_, shownRight_;
    GtkWidget* scroller_ = nullptr;
    GtkWidget* calendar_ = nullptr;
    GtkWidget* dialog_ = nullptr;
    GtkWidget* popover_ = nullptr;
    std::vector<RowView> rows_;
    std::vector<std::pair<int, std::string>> shape_;  // rowShape and name of each row shown
    std::vector<PageState> states_;
    std::weak_ptr<PSViewController> shownPage_;
    double pendingScroll_ = -1;
    int animations_ = 0;
    bool updatingCalendar_ = false;
    bool updatingSwitch_ = false;  // fillRow sets a switch: not the user's change
    // Cleared by the destructor, so that a late callback finds no window.
    std::shared_ptr<GuiWindow*> alive_;
};
