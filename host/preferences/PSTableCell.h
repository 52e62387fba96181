#pragma once

#include <memory>

#include "host/ui/UIView.h"

class PSSpecifier;

// The cell a row shows in: its icon, its name in the title label and, for rows that show a
// value, the value in the value label.
//
// The base layout, in points: a 15-point margin on both sides, the icon (29 points and a margin)
// at the left, a 20-point disclosure mark at the right of rows that open a page, a 38-point
// delete control in front of everything while editing. The title gets the width its text needs
// first; the value gets what is left beside it, right-aligned, and is cut short when that is
// less than its text needs.
class PSTableCell : public UIView {
  public:
    static constexpr CGFloat kRowHeight = 44;
    static constexpr CGFloat kMargin = 15;
    static constexpr CGFloat kIconSize = 29;
    static constexpr CGFloat kDisclosureWidth = 20;
    static constexpr CGFloat kEditingInset = 38;
    static constexpr CGFloat kTitleValueGap = 8;

    explicit PSTableCell(std::shared_ptr<PSSpecifier> row);

    // The cell a row shows in: the class its "cellClass" names when that is a registered cell
    // class, else the base. Texts, editing state and width are set and the cell is laid out.
    static std::shared_ptr<PSTableCell> cellForSpecifier(const std::shared_ptr<PSSpecifier>& row,
                                                         CGFloat width, bool editing = false);

    const std::shared_ptr<PSSpecifier>& specifier() const { return row_; }
    const std::shared_ptr<UILabel>& textLabel() const { return textLabel_; }
    // Nothing for rows that show no value.
    const std::shared_ptr<UILabel>& detailTextLabel() const { return detailTextLabel_; }
    // Whether the row opens a page when tapped.
    bool hasDisclosure() const { return disclosure_; }
    bool hasIcon() const { return icon_; }

    bool isEditing() const { return editing_; }
    void setEditing(bool editing) { editing_ = editing; }

    // Fills the labels from the row: its name, and the text of its value.
    void refreshFromSpecifier();

    void layoutSubviews() override;

  private:
    std::shared_ptr<PSSpecifier> row_;
    std::shared_ptr<UILabel> textLabel_;
    std::shared_ptr<UILabel> detailTextLabel_;
    bool disclosure_ = false;
    bool icon_ = false;
    bool editing_ = false;
};
