#include "host/preferences/PSTableCell.h"

#include <algorithm>

#include "host/preferences/ClassRegistry.h"
#include "host/preferences/PSSpecifier.h"
#include "host/ui/UIImage.h"

namespace {

bool showsValue(PSCellType type) {
    return type == PSLinkCell || type == PSLinkListCell || type == PSTitleValueCell ||
           type == PSEditTextCell;
}

}  // namespace

PSTableCell::PSTableCell(std::shared_ptr<PSSpecifier> row)
    : row_(std::move(row)), textLabel_(std::make_shared<UILabel>()) {
    if (row_ && showsValue(row_->cellType())) detailTextLabel_ = std::make_shared<UILabel>();
    if (row_) {
        disclosure_ = !row_->detailControllerClass().empty() &&
                      (row_->cellType() == PSLinkCell || row_->cellType() == PSLinkListCell);
        auto icon = row_->property<std::shared_ptr<UIImage>>("iconImage");
        icon_ = icon && *icon;
    }
}

std::shared_ptr<PSTableCell> PSTableCell::cellForSpecifier(const std::shared_ptr<PSSpecifier>& row,
                                                           CGFloat width, bool editing) {
    std::shared_ptr<PSTableCell> cell;
    if (row) {
        if (auto cellClass = row->stringProperty("cellClass"))
            cell = ClassRegistry::shared().createCell(*cellClass, row);
    }
    if (!cell) cell = std::make_shared<PSTableCell>(row);
    // The labels live in the cell's view tree, as the layout code expects.
    cell->addSubview(cell->textLabel_);
    if (cell->detailTextLabel_) cell->addSubview(cell->detailTextLabel_);
    cell->refreshFromSpecifier();
    cell->setEditing(editing);
    cell->setFrame(CGRectMake(0, 0, width, kRowHeight));
    cell->layoutSubviews();
    return cell;
}

void PSTableCell::refreshFromSpecifier() {
    if (!row_) return;
    textLabel_->setText(row_->name());
    if (detailTextLabel_) detailTextLabel_->setText(row_->valueText());
}

void PSTableCell::layoutSubviews() {
    const CGFloat width = frame().size.width;
    CGFloat left = kMargin + (editing_ ? kEditingInset : 0) + (icon_ ? kIconSize + kMargin : 0);
    CGFloat right = width - kMargin - (disclosure_ ? kDisclosureWidth : 0);
    CGFloat available = std::max(0.0f, right - left);

    auto place = [&](UILabel& label, CGFloat x, CGFloat w) {
        CGFloat h = TextMetrics::lineHeight(label.fontSize());
        label.setFrame(CGRectMake(x, (kRowHeight - h) / 2, w, h));
    };
    const auto& title = textLabel_->text();
    CGFloat titleWidth =
        std::min(title ? TextMetrics::widthOfText(*title, textLabel_->fontSize()) : 0, available);
    place(*textLabel_, left, titleWidth);
    if (detailTextLabel_) {
        const auto& value = detailTextLabel_->text();
        CGFloat needed = value ? TextMetrics::widthOfText(*value, detailTextLabel_->fontSize()) : 0;
        CGFloat valueWidth =
            std::min(needed, std::max(0.0f, available - titleWidth - kTitleValueGap));
        place(*detailTextLabel_, right - valueWidth, valueWidth);
    }
}
