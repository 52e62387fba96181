#include "settings/script/PageDump.h"

#include <gtest/gtest.h>

#include "host/preferences/PSListController.h"
#include "host/ui/UIImage.h"
#include "settings/script/TextView.h"

namespace {

// A list page whose rows and buttons a test sets by hand.
class FixturePage : public PSListController {
  public:
    void setRows(PSSpecifierList rows) { _specifiers = std::move(rows); }
};

// A page that is no list.
class BlankPage : public PSViewController {};

PSSpecifier::Getter returning(Value value) {
    return [value](PSListController&, PSSpecifier&) { return value; };
}

std::shared_ptr<PSSpecifier> valueRow(const std::shared_ptr<FixturePage>& page,
                                      const std::string& name, Value value,
                                      const std::string& detail = {}) {
    return PSSpecifier::preferenceSpecifierNamed(
        name, page, nullptr, returning(std::move(value)), detail,
        detail.empty() ? PSTitleValueCell : PSLinkListCell);
}

TEST(PageDump, RowsAndButtonsInTheirFixedShape) {
    auto page = std::make_shared<FixturePage>();
    page->setTitle("Fixture");
    page->navigationItem().setLeftBarButtonItem(
        UIBarButtonItem::withTitle("Done", UIBarButtonItemStyleDone, page, "done:", nullptr));
    page->navigationItem().setRightBarButtonItem(
        UIBarButtonItem::withImage(std::make_shared<UIImage>("/somewhere/settings.png", 1, 1),
                                   UIBarButtonItemStylePlain, page, "settings:", nullptr));

    auto app = valueRow(page, "Mail", Value("1.50KB"), "Detail");
    app->setProperty(std::string("com.example.mail"), "id");
    app->setProperty(std::string("EntryCell"), "cellClass");
    app->setProperty(std::make_shared<UIImage>("/icons/Wi-Fi.png", 1, 1), "iconImage");
    auto nullIcon = valueRow(page, "Count", Value(42));
    nullIcon->setProperty(std::shared_ptr<UIImage>(), "iconImage");
    auto noValue = valueRow(page, "Nothing", Value());
    page->setRows({PSSpecifier::groupSpecifierWithName("Group"), app, nullIcon, noValue});

    EXPECT_EQ(
        PageDump::line(PageDump::pageJSON(*page)),
        R"({"class":"(anonymous namespace)::FixturePage","title":"Fixture",)"
        R"("left":{"title":"Done","image":null,"style":2},)"
        R"("right":{"title":null,"image":"settings","style":0},"rows":[)"
        R"({"cell":0,"name":"Group","value":null,"icon":null,"id":null,"cellClass":null},)"
        R"({"cell":2,"name":"Mail","value":"1.50KB","icon":"Wi-Fi","id":"com.example.mail",)"
        R"("cellClass":"EntryCell"},)"
        R"({"cell":4,"name":"Count","value":"42","icon":null,"id":null,"cellClass":null},)"
        R"({"cell":4,"name":"Nothing","value":null,"icon":null,"id":null,"cellClass":null}]})");
}

TEST(PageDump, TextThatIsNotUTF8IsReplacedNotRefused) {
    auto page = std::make_shared<FixturePage>();
    page->setTitle("bad \xff title");
    page->setRows({valueRow(page, "caf\xc3", Value(std::string("\xe2\x82")))});
    std::string line;
    ASSERT_NO_THROW(line = PageDump::line(PageDump::pageJSON(*page)));
    auto parsed = nlohmann::json::parse(line);
    EXPECT_EQ(parsed["title"], "bad \xef\xbf\xbd title");
    EXPECT_EQ(parsed["rows"][0]["name"], "caf\xef\xbf\xbd");
}

TEST(PageDump, PagesWithoutRows) {
    BlankPage blank;
    EXPECT_EQ(PageDump::line(PageDump::pageJSON(blank)),
              R"({"class":"(anonymous namespace)::BlankPage","title":"","left":null,)"
              R"("right":null,"rows":[]})");
}

TEST(TextView, RowsAlignTheirValuesToColumnSixty) {
    struct {
        const char* name;
        const char* value;
        const char* shownName;
        int padding;  // spaces between name and value
    } cases[] = {
        {"Total", "0.00B", "Total", 60 - 2 - 5 - 5},
        {"A name far too long to fit beside its value in sixty columns", "117.74MB",
         "A name far too long to fit beside its value in s\u2026", 1},
        // Two wide characters take four columns.
        {"\xe6\x97\xa5\xe6\x9c\xac", "1.00KB", "\xe6\x97\xa5\xe6\x9c\xac", 60 - 2 - 4 - 6},
        {"e\xcc\x81t\xc3\xa9", "1B", "e\xcc\x81t\xc3\xa9", 60 - 2 - 3 - 2},  // a combining accent
        {"tab\there", "1B", "tab here", 60 - 2 - 8 - 2},
        {"bad\xff", "1B", "bad\xef\xbf\xbd", 60 - 2 - 4 - 2},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string line = TextView::rowLine(c.name, c.value);
        EXPECT_EQ(line, "  " + std::string(c.shownName) + std::string(c.padding, ' ') + c.value);
        EXPECT_EQ(TextView::displayWidth(line), TextView::kWidth);
    }
    EXPECT_EQ(TextView::rowLine("Nothing", ""), "  Nothing") << "rows without value are not padded";
}

TEST(TextView, PagesPrintTitleGroupsAndLinkMarkers) {
    auto page = std::make_shared<FixturePage>();
    page->setTitle("Usage");
    page->setRows({PSSpecifier::groupSpecifierWithName("Today"),
                   valueRow(page, "Total", Value("2B")), PSSpecifier::emptyGroupSpecifier(),
                   valueRow(page, "Mail", Value("1B"), "Detail")});
    std::string row = "  Total" + std::string(51, ' ') + "2B\n";
    std::string link = "  Mail" + std::string(52, ' ') + "1B >\n";
    EXPECT_EQ(TextView::renderPage(*page), "Usage\nToday\n" + row + "\n" + link);
}

}  // namespace
