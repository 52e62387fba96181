#pragma once

#include "host/preferences/PSTableCell.h"

// The cell of an application's usage. The usage string is never cut short: when name and value
// do not both fit, the name gives up exactly the width the value needs and shrinks its font.
class BytarnEntryCell : public PSTableCell {
  public:
    using PSTableCell::PSTableCell;
    void layoutSubviews() override;
};
