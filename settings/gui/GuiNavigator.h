#pragma once

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/preferences/PSSpecifier.h"

class PSListController;
class PSViewController;
class SettingsApplication;
class UIBarButtonItem;
class UIDatePicker;

// What the desktop window does to the application's pages, with no toolkit in it: taps, the bar
// buttons, going back, deleting a row, picking a day, and what the window must show (the top
// page, the back title, checks, which rows can be deleted, whether the list was rebuilt or lost
// rows with animation). Each action runs the work the pages queued on the main run loop before it
// returns; a failure becomes the message.
class GuiNavigator {
  public:
    // What became of the top page's list since the window last looked.
    struct Changes {
        bool newPage = false;  // another page is on top
        bool rebuilt = false;  // the table recorded anything at all
        std::vector<std::shared_ptr<PSSpecifier>> removedAnimated;  // rows that left animated
    };

    explicit GuiNavigator(SettingsApplication& application);

    std::shared_ptr<PSViewController> topPage() const;
    std::shared_ptr<PSListController> topListPage() const;
    std::optional<std::string> backTitle() const;
    std::shared_ptr<UIDatePicker> datePicker() const;
    bool isChecked(const PSSpecifier& row) const;
    bool canDelete(const std::shared_ptr<PSSpecifier>& row) const;

    void tap(const std::shared_ptr<PSSpecifier>& row);
    // The page's left button when it has one, else a pop to the page below.
    void goBack();
    void pressLeft();
    void pressRight();
    void deleteRow(const std::shared_ptr<PSSpecifier>& row);
    // Puts the picker on this local calendar day (month 1-12), keeping its time of day.
    void pickDay(int year, int month, int day);
    // The picker's local calendar day as year, month (1-12) and day.
    std::optional<std::array<int, 3>> pickedDay() const;

    // Runs queued work (a timer, a notification) and reports what changed since the last look.
    Changes takeChanges();

    const std::string& message() const { return message_; }

  private:
    void act(const std::function<void()>& action);
    void press(const std::shared_ptr<UIBarButtonItem>& button, const char* which);

    SettingsApplication& application_;
    std::weak_ptr<PSViewController> shownPage_;
    PSSpecifierList shownRows_;
    std::string message_;
};
