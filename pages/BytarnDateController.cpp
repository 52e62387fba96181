#include "pages/BytarnDateController.h"

#include "host/foundation/NSDateFormatter.h"
#include "host/preferences/ClassRegistry.h"
#include "pages/BytarnDatePicker.h"
#include "root/BytarnController.h"

REGISTER_PAGE_CLASS(BytarnDateController);

void BytarnDatePicker::layoutSubviews() {
    auto parent = superview();
    setCenter(parent ? parent->center() : CGPoint{0, 0});
    UIDatePicker::layoutSubviews();
}

const PSSpecifierList& BytarnDateController::specifiers() {
    if (!_specifiers) _specifiers.emplace();
    if (datePicker_) return *_specifiers;

    view()->setBackgroundColor(UIColor::lightGrayColor());
    datePicker_ = std::make_shared<BytarnDatePicker>(CGRectMake(0, 0, 320, 216));
    CALayer& layer = datePicker_->layer();
    layer.borderWidth = 1.0f;
    layer.borderColor = UIColor::blackColor();
    layer.shadowColor = UIColor::blackColor();
    layer.shadowOpacity = 1.0f;
    layer.shadowRadius = 7.0f;
    layer.shadowOffset = {0, 4};
    datePicker_->setDatePickerMode(UIDatePickerModeDate);

    // The stored day, or today when there is none or it is no valid day.
    std::optional<NSDate> initial;
    auto parent = std::dynamic_pointer_cast<PSListController>(parentController());
    if (parent && specifier()) {
        if (auto stored = parent->readPreferenceValue(*specifier()).stringValue())
            initial = periodDateFormatter()->dateFromString(*stored);
    }
    datePicker_->setDate(initial.value_or(NSDate::date()));

    table().removeFromSuperview();
    view()->addSubview(datePicker_);

    auto page = std::static_pointer_cast<BytarnDateController>(shared_from_this());
    auto confirm = UIBarButtonItem::withTitle(
        "Confirm", UIBarButtonItemStyleDone, page,
        "doneButtonClicked:", [](PSViewController& target, UIBarButtonItem& sender) {
            static_cast<BytarnDateController&>(target).doneButtonClicked(&sender);
        });
    auto cancel = UIBarButtonItem::withTitle(
        "Cancel", UIBarButtonItemStylePlain, page,
        "cancelButtonClicked:", [](PSViewController& target, UIBarButtonItem& sender) {
            static_cast<BytarnDateController&>(target).cancelButtonClicked(&sender);
        });
    navigationItem().setLeftBarButtonItem(std::move(cancel));
    navigationItem().setRightBarButtonItem(std::move(confirm));
    return *_specifiers;
}

void BytarnDateController::doneButtonClicked(UIBarButtonItem*) {
    std::optional<std::string> day;
    if (datePicker_) day = periodDateFormatter()->stringFromDate(datePicker_->date());
    if (auto navigation = navigationController()) navigation->popViewControllerAnimated(true);
    // Stored once the pop has begun: the root page rebuilds while the animation back runs.
    auto row = specifier();
    auto target = row ? row->target() : nullptr;
    if (!day || !target || !row->setter()) return;
    row->setter()(*target, Value(*day), row);
}

void BytarnDateController::cancelButtonClicked(UIBarButtonItem*) {
    if (auto navigation = navigationController()) navigation->popViewControllerAnimated(true);
}
