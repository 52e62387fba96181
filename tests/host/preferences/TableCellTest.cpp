#include "host/preferences/PSTableCell.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "host/preferences/PSListController.h"
#include "host/preferences/PSSpecifier.h"
#include "host/ui/UIImage.h"
#include "host/ui/UIView.h"

namespace {

TEST(TextMetrics, CountsDisplayCells) {
    const std::pair<const char*, int> cases[] = {
        {"", 0},
        {"Wi-Fi", 5},
        {"\xC3\xA9t\xC3\xA9", 3},                     // precomposed accents
        {"e\xCC\x81", 1},                             // e + combining acute
        {"\xE6\x97\xA5\xE6\x9C\xAC\xE8\xAA\x9E", 6},  // three CJK ideographs
        {"\xEF\xBC\xA1", 2},                          // fullwidth A
        {"\xF0\x9F\x98\x80", 2},                      // emoji
        {"a\xFF-", 3},                                // invalid byte
        {"a\x80-", 3},                                // stray continuation byte
    };
    for (auto [text, cells] : cases) {
        EXPECT_EQ(TextMetrics::cells(text), cells) << text;
        EXPECT_FLOAT_EQ(TextMetrics::widthOfText(text, 17), cells * 8.5f) << text;
    }
    EXPECT_EQ(TextMetrics::lineHeight(17), 21);
}

TEST(UILabel, SizesToItsTextAndShrinksItsFontOnlyWhenAllowed) {
    UILabel label;
    label.setFrame(CGRectMake(10, 5, 200, 40));
    label.setText("ABCDEFGHIJ");  // 85 points at 17
    label.sizeToFit();
    EXPECT_EQ(label.frame(), CGRectMake(10, 5, 85, 21));
    label.setText(std::nullopt);
    label.sizeToFit();
    EXPECT_EQ(label.frame(), CGRectMake(10, 5, 0, 21));

    label.setText("ABCDEFGHIJ");
    const std::tuple<bool, CGFloat, CGFloat, bool> cases[] = {
        // adjusts, width, effective font size, truncated
        {false, 100, 17, false},
        {false, 60, 17, true},
        {true, 100, 17, false},
        {true, 85, 17, false},
        {true, 63.75f, 12.75f, false},  // three quarters of the width,
                                        // three quarters the size
        {true, 30, 8.5f, true},         // never below half
    };
    for (auto [adjusts, width, size, truncated] : cases) {
        label.setAdjustsFontSizeToFitWidth(adjusts);
        label.setFrame(CGRectMake(0, 0, width, 21));
        EXPECT_FLOAT_EQ(label.effectiveFontSize(), size) << adjusts << " " << width;
        EXPECT_EQ(label.isTruncated(), truncated) << adjusts << " " << width;
    }
}

TEST(UIView, SubviewsAndSuperviewStayConsistent) {
    auto first = std::make_shared<UIView>(), second = std::make_shared<UIView>();
    auto child = std::make_shared<UIView>();
    using Views = std::vector<std::shared_ptr<UIView>>;

    first->addSubview(child);
    first->addSubview(child);
    first->addSubview(nullptr);
    first->addSubview(first);
    EXPECT_EQ(first->subviews(), Views{child});
    EXPECT_EQ(child->superview(), first);

    second->addSubview(child);
    EXPECT_TRUE(first->subviews().empty()) << "a view has one superview";
    EXPECT_EQ(second->subviews(), Views{child});
    EXPECT_EQ(child->superview(), second);

    child->removeFromSuperview();
    child->removeFromSuperview();
    EXPECT_TRUE(second->subviews().empty());
    EXPECT_EQ(child->superview(), nullptr);

    second->addSubview(child);
    second.reset();
    EXPECT_EQ(child->superview(), nullptr) << "a subview does not keep its superview alive";
    child->removeFromSuperview();
}

class TableCellTest : public ::testing::Test {
  protected:
    struct Row {
        PSCellType type;
        std::string title;
        std::optional<std::string> value;
        bool opensPage = false;
        bool icon = false;
    };

    std::shared_ptr<PSSpecifier> make(const Row& r) {
        std::optional<std::string> value = r.value;
        PSSpecifier::Getter getter;
        if (value) getter = [value](PSListController&, PSSpecifier&) { return Value(*value); };
        auto row = PSSpecifier::preferenceSpecifierNamed(r.title, owner, nullptr, getter,
                                                         r.opensPage ? "SomePage" : "", r.type);
        if (r.icon) row->setProperty(std::make_shared<UIImage>("icon.png", 29, 29), "iconImage");
        return row;
    }

    std::shared_ptr<PSListController> owner = std::make_shared<PSListController>();
};

TEST_F(TableCellTest, BaseLayoutPlacesTitleFirstAndValueRightAligned) {
    const std::string longTitle(40, 'T');
    struct Case {
        const char* what;
        Row row;
        bool editing;
        CGFloat titleX, titleWidth;
        std::optional<std::pair<CGFloat, CGFloat>> value;  // x and width
        bool valueCut;
    };
    const Case cases[] = {
        {"fits", {PSTitleValueCell, "Period", "This month"}, false, 15, 51, {{220, 85}}, false},
        {"value cut",
         {PSTitleValueCell, "Reporting period", "Since the last reset on Monday"},
         false,
         15,
         136,
         {{159, 146}},
         true},
        {"group", {PSGroupCell, "Usage", std::nullopt}, false, 15, 42.5f, std::nullopt, false},
        {"icon and disclosure",
         {PSLinkListCell, "Period", "Week", true, true},
         false,
         59,
         51,
         {{251, 34}},
         false},
        {"link without a page",
         {PSLinkCell, "About", "1.0"},
         false,
         15,
         42.5f,
         {{279.5f, 25.5f}},
         false},
        {"editing", {PSTitleValueCell, "Period", "This month"}, true, 53, 51, {{220, 85}}, false},
        {"title wider than the row",
         {PSTitleValueCell, longTitle, "x"},
         false,
         15,
         290,
         {{305, 0}},
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        auto cell = PSTableCell::cellForSpecifier(make(c.row), 320, c.editing);
        EXPECT_EQ(cell->frame(), CGRectMake(0, 0, 320, PSTableCell::kRowHeight));
        EXPECT_EQ(cell->hasIcon(), c.row.icon);
        EXPECT_EQ(cell->hasDisclosure(), c.row.opensPage);
        EXPECT_EQ(cell->textLabel()->text(), c.row.title);
        EXPECT_EQ(cell->textLabel()->frame(), CGRectMake(c.titleX, 11.5f, c.titleWidth, 21));
        EXPECT_EQ(cell->textLabel()->superview(), cell);
        ASSERT_EQ(cell->detailTextLabel() != nullptr, c.value.has_value());
        if (!c.value) continue;
        const auto& value = *cell->detailTextLabel();
        EXPECT_EQ(value.text(), c.row.value);
        EXPECT_EQ(value.frame(), CGRectMake(c.value->first, 11.5f, c.value->second, 21));
        EXPECT_EQ(value.isTruncated(), c.valueCut);
        EXPECT_EQ(value.superview(), cell);
    }
}

}  // namespace
