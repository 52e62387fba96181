#pragma once

#include <memory>

#include "host/preferences/PSListController.h"

class BytarnDatePicker;

// The page on which the user picks the start or end day of a custom period: a date picker instead
// of a table, "Cancel" and "Confirm" in the navigation bar. "Confirm" stores the picked local day
// as "yyyy-MM-dd" through the row's setter on its target; both buttons close the page.
class BytarnDateController : public PSListController {
  public:
    ~BytarnDateController() override = default;

    // The page's rows stay empty; the first call builds the page, later calls leave the picker.
    const PSSpecifierList& specifiers() override;
    void doneButtonClicked(UIBarButtonItem* sender);
    void cancelButtonClicked(UIBarButtonItem* sender);

    const std::shared_ptr<BytarnDatePicker>& datePicker() const { return datePicker_; }

  private:
    std::shared_ptr<BytarnDatePicker> datePicker_;
};
