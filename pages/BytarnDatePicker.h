#pragma once

#include "host/ui/UIDatePicker.h"

// The date page's picker: 320 by 216 points, put back at the centre of its superview at each of
// its own layout passes.
class BytarnDatePicker : public UIDatePicker {
  public:
    using UIDatePicker::UIDatePicker;
    // Takes the superview's own centre (in the superview's parent's coordinates, which match
    // its own while it sits at its parent's origin), or (0, 0) without a superview.
    void layoutSubviews() override;
};
