#include "pages/BytarnEntryCell.h"

#include <algorithm>

#include "host/preferences/ClassRegistry.h"

REGISTER_CELL_CLASS(BytarnEntryCell);

void BytarnEntryCell::layoutSubviews() {
    PSTableCell::layoutSubviews();
    textLabel()->setAdjustsFontSizeToFitWidth(true);
    // While the delete button shows, the base layout stands.
    if (isEditing()) return;

    const auto& value = detailTextLabel();
    CGFloat before = value ? value->frame().size.width : 0;
    if (value) value->sizeToFit();
    CGFloat after = value ? value->frame().size.width : 0;
    if (after <= before) return;

    // The value shows whole and ends where the base layout ended it; the name loses the width
    // the value gained. A name narrower than that ends at no width rather than a negative one.
    CGFloat shortfall = after - before;
    CGRect valueFrame = value->frame();
    valueFrame.origin.x -= shortfall;
    CGRect titleFrame = textLabel()->frame();
    titleFrame.size.width = std::max(0.0f, titleFrame.size.width - shortfall);
    value->setFrame(valueFrame);
    textLabel()->setFrame(titleFrame);
}
