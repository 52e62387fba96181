#pragma once

#include "host/preferences/PSListItemsController.h"

// A choice list that closes itself: a pick is recorded the usual way, then the page pops, so one
// tap takes the user back to the page that rebuilds with the new setting.
class BytarnAutoPopPSListItemsController : public PSListItemsController {
  public:
    void listItemSelected(const std::shared_ptr<PSSpecifier>& item) override;
};
