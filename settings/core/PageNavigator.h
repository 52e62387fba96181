#pragma once

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/preferences/PSSpecifier.h"
#include "host/ui/UIKit.h"

class PSListController;
class PSViewController;
class SettingsApplication;
class UIDatePicker;

// What every interactive front end does to the application's pages, with no toolkit and no screen
// in it: what is on top (the page, its list, the back title, the date picker, which rows are
// checked or can be deleted) and the actions on it (taps, the bar buttons, going back, deleting a
// row, changing the picked day). Each action runs the work the pages queued on the main run loop
// before it returns; a failure becomes the message. A front end keeps only what is its own (a
// selection, highlights, change tracking) and follows the pages after each action by overriding
// act().
class PageNavigator {
  public:
    // A part of the date picker's local calendar day.
    enum class DatePart { Day = 0, Month = 1, Year = 2 };

    explicit PageNavigator(SettingsApplication& application);
    virtual ~PageNavigator();
    PageNavigator(const PageNavigator&) = delete;
    PageNavigator& operator=(const PageNavigator&) = delete;

    std::shared_ptr<PSViewController> topPage() const;
    std::shared_ptr<PSListController> topListPage() const;
    // The title of the page below the top one, for the back button; nothing on the first page.
    std::optional<std::string> backTitle() const;
    // The date picker of the top page, when it is a date page.
    std::shared_ptr<UIDatePicker> datePicker() const;
    // Whether a row of the top page is the checked item of a choice list.
    bool isChecked(const PSSpecifier& row) const;
    bool canDelete(const std::shared_ptr<PSSpecifier>& row) const;

    void tap(const std::shared_ptr<PSSpecifier>& row);
    // The page's left button when it has one, else a pop to the page below.
    void goBack();
    void pressLeft();
    void pressRight();
    void deleteRow(const std::shared_ptr<PSSpecifier>& row);
    // Text typed into a text entry row (PSEditTextCell), to its page: empty text cancels, and a
    // refusal becomes the message while the row keeps its value (commitEditText).
    void enterText(const std::shared_ptr<PSSpecifier>& row, const std::string& text);
    // A switch row (PSSwitchCell) turned on or off, to its page: a refusal becomes the message
    // while the switch keeps its state (commitSwitch).
    void setSwitch(const std::shared_ptr<PSSpecifier>& row, bool on);
    // Puts the picker on this local calendar day (month 1-12), keeping its time of day.
    void pickDay(int year, int month, int day);
    // The picker's local calendar day as year, month (1-12) and day.
    std::optional<std::array<int, 3>> pickedDay() const;
    // Turns one part of the picker's local calendar day by `amount`; the time of day stays.
    void turnDate(DatePart part, int amount);

    // What the last action had to say.
    const std::string& message() const { return message_; }
    // Says something in the message until the front end clears it (a line of the log, say).
    void showMessage(std::string text) { message_ = std::move(text); }

  protected:
    // Runs an action on the pages, then the work they queued on the main run loop, even when the
    // action failed; a failure of either becomes the message.
    virtual void act(const std::function<void()>& action);
    void clearMessage() { message_.clear(); }
    SettingsApplication& application() const { return application_; }

    // What the pages below the top recorded is of no use: a page that comes back on top is shown
    // as it then is.
    void dropUpdatesBelowTop() const;
    // The rows of `shown` that the table's updates removed with animation, in the order removed.
    // The table records indices: replaying the removals on the list as it was shown, up to the
    // first change of another kind, finds the rows that left.
    static PSSpecifierList removedAnimated(const PSSpecifierList& shown,
                                           const std::vector<UITableView::Update>& updates);

  private:
    void press(const std::shared_ptr<UIBarButtonItem>& button, const char* which);

    SettingsApplication& application_;
    std::string message_;
};
