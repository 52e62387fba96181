#pragma once

#include "host/foundation/NSDateFormatter.h"
#include "host/ui/UIView.h"

enum UIDatePickerMode {
    UIDatePickerModeTime = 0,
    UIDatePickerModeDate = 1,
    UIDatePickerModeDateAndTime = 2,
};

// A picker of an instant. In date mode the user turns day, month and year of the instant's local
// calendar day; the time of day it holds is whatever it was given.
class UIDatePicker : public UIView {
  public:
    using UIView::UIView;

    UIDatePickerMode datePickerMode() const { return mode_; }
    void setDatePickerMode(UIDatePickerMode mode) { mode_ = mode; }

    NSDate date() const { return date_; }
    void setDate(NSDate date) { date_ = date; }

  private:
    UIDatePickerMode mode_ = UIDatePickerModeDateAndTime;
    NSDate date_ = NSDate::date();
};
