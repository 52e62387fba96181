#pragma once

#include "host/preferences/PSListItemsController.h"

// The Data plan page's choice list: a pick is stored through the row's setter, then the list
// closes, so one tap takes the user back to the page rebuilt with the new plan. A pick the plan
// refuses (a warning above the limit) leaves the list open with the reason as the message.
class DataPlanChoiceController : public PSListItemsController {
  public:
    void listItemSelected(const std::shared_ptr<PSSpecifier>& item) override;
};
