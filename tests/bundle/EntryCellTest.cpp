// The usage cell: the value is never cut short, the name gives way.
#include <gtest/gtest.h>

#include "host/preferences/PSSpecifier.h"
#include "host/preferences/PSTableCell.h"
#include "host/ui/UIImage.h"
#include "root/BytarnController.h"

namespace {

// An application row as the root page makes it: icon, disclosure, the usage cell class, and a
// fixed value.
std::shared_ptr<PSSpecifier> applicationRow(const std::string& name, const std::string& value,
                                            PSCellType type = PSLinkListCell) {
    static auto page = std::make_shared<BytarnController>();
    auto row = PSSpecifier::preferenceSpecifierNamed(
        name, page, nullptr, [value](PSListController&, PSSpecifier&) { return Value(value); },
        "BytarnEntryController", type);
    row->setProperty(std::string("BytarnEntryCell"), "cellClass");
    row->setProperty(std::make_shared<UIImage>("/icons/app.png", 29, 29), "iconImage");
    return row;
}

std::shared_ptr<PSTableCell> baseCell(const std::shared_ptr<PSSpecifier>& row, CGFloat width,
                                      bool editing = false) {
    auto plain = std::make_shared<PSSpecifier>(*row);
    plain->removePropertyForKey("cellClass");
    return PSTableCell::cellForSpecifier(plain, width, editing);
}

TEST(EntryCell, ValueThatFitsMovesNothing) {
    auto row = applicationRow("Mail", "1.50KB");
    auto cell = PSTableCell::cellForSpecifier(row, 320);
    auto base = baseCell(row, 320);
    EXPECT_EQ(cell->detailTextLabel()->frame(), base->detailTextLabel()->frame());
    EXPECT_EQ(cell->textLabel()->frame(), base->textLabel()->frame());
    EXPECT_TRUE(cell->textLabel()->adjustsFontSizeToFitWidth());
    EXPECT_FALSE(cell->detailTextLabel()->isTruncated());
}

TEST(EntryCell, ValueCutShortTakesItsWidthFromTheName) {
    // At 17 points every character is 8.5 points wide. In a 328-point cell with an icon and a
    // disclosure mark there are 234 points for both labels; a 20-character name takes 170, the
    // gap 8, and the base layout leaves 56 of the 68 points "117.74MB" needs.
    auto row = applicationRow("A long program title", "117.74MB");
    auto base = baseCell(row, 328);
    ASSERT_FLOAT_EQ(base->detailTextLabel()->frame().size.width, 56);
    ASSERT_TRUE(base->detailTextLabel()->isTruncated());

    auto cell = PSTableCell::cellForSpecifier(row, 328);
    const CGRect value = cell->detailTextLabel()->frame();
    const CGRect title = cell->textLabel()->frame();
    EXPECT_FLOAT_EQ(value.size.width, 68);
    EXPECT_FLOAT_EQ(value.origin.x, base->detailTextLabel()->frame().origin.x - 12);
    EXPECT_FLOAT_EQ(value.maxX(), base->detailTextLabel()->frame().maxX());
    EXPECT_FALSE(cell->detailTextLabel()->isTruncated());
    EXPECT_EQ(title.origin, base->textLabel()->frame().origin);
    EXPECT_FLOAT_EQ(title.size.width, 170 - 12);
    EXPECT_EQ(title.size.height, base->textLabel()->frame().size.height);
    EXPECT_LT(cell->textLabel()->effectiveFontSize(), 17);
    EXPECT_FALSE(cell->textLabel()->isTruncated());
}

TEST(EntryCell, EditingKeepsTheBaseLayout) {
    auto row = applicationRow("A long program title", "117.74MB");
    auto cell = PSTableCell::cellForSpecifier(row, 328, true);
    auto base = baseCell(row, 328, true);
    EXPECT_EQ(cell->detailTextLabel()->frame(), base->detailTextLabel()->frame());
    EXPECT_EQ(cell->textLabel()->frame(), base->textLabel()->frame());
    EXPECT_TRUE(cell->textLabel()->adjustsFontSizeToFitWidth());
    EXPECT_FALSE(base->textLabel()->adjustsFontSizeToFitWidth());
}

TEST(EntryCell, CellWithoutValueLabelMovesNothing) {
    auto row = applicationRow("Just a name", "ignored", PSStaticTextCell);
    auto cell = PSTableCell::cellForSpecifier(row, 200);
    ASSERT_EQ(cell->detailTextLabel(), nullptr);
    EXPECT_EQ(cell->textLabel()->frame(), baseCell(row, 200)->textLabel()->frame());
    EXPECT_TRUE(cell->textLabel()->adjustsFontSizeToFitWidth());
}

TEST(EntryCell, NameNarrowerThanTheShortfallEndsAtNoWidth) {
    // So narrow a cell that the base gives the name everything and the value nothing.
    auto row = applicationRow("Mail", "1024.00GB");
    auto cell = PSTableCell::cellForSpecifier(row, 130);
    EXPECT_FLOAT_EQ(cell->textLabel()->frame().size.width, 0);
    EXPECT_FLOAT_EQ(cell->detailTextLabel()->frame().size.width, 76.5f);
}

}  // namespace
