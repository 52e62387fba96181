#pragma once

#include <memory>
#include <optional>
#include <string>

#include "host/preferences/PSListController.h"

// The page a choice row opens: one item per title of the row's "validTitles", the item of the
// row's current value checked. Picking an item stores its value through the row's setter on the
// row's target, the same path as any other changed row.
class PSListItemsController : public PSListController {
  public:
    const PSSpecifierList& specifiers() override;

    // Records the choice of an item (one of this page's rows) and checks it.
    virtual void listItemSelected(const std::shared_ptr<PSSpecifier>& item);

    // Whether an item stands for the choice row's current value.
    bool isItemChecked(const PSSpecifier& item) const;

    // A tap on an item selects it.
    bool didSelectSpecifier(const std::shared_ptr<PSSpecifier>& row, std::string* error) override;

  private:
    std::optional<Value> currentValue() const;
};
