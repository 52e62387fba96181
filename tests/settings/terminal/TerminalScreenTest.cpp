#include "settings/terminal/TerminalScreen.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using A = TerminalScreen::Attribute;

TEST(TerminalScreen, WritesTextByDisplayColumns) {
    struct Case {
        const char* what;
        int column;
        std::string text;
        int maxColumns;
        int written;
        std::string line;
    };
    const Case cases[] = {
        {"plain text", 2, "abc", -1, 3, "  abc"},
        {"cut at the limit", 0, "abcdef", 3, 3, "abc"},
        {"cut at the edge", 6, "abcdef", -1, 4, "      abcd"},
        {"wide characters take two columns", 0, "日本", -1, 4, "日本"},
        {"a wide character that does not fit whole is left out", 7, "a日本", -1, 3, "       a日"},
        {"combining marks join the character before them", 0, "e\xCC\x81x", -1, 2, "e\xCC\x81x"},
        {"control characters show as spaces", 0, "a\tb\nc", -1, 5, "a b c"},
        {"malformed bytes show as replacement characters", 0,
         "a\xFF"
         "b",
         -1, 3,
         "a\xEF\xBF\xBD"
         "b"},
        {"a line ends in no blanks", 0, "ab   ", -1, 5, "ab"},
        {"nothing past the right edge", 10, "abc", -1, 0, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TerminalScreen screen(10, 2);
        EXPECT_EQ(screen.write(0, c.column, c.text, A::Plain, c.maxColumns), c.written);
        EXPECT_EQ(screen.line(0), c.line);
        EXPECT_EQ(screen.line(1), "");
    }
}

TEST(TerminalScreen, OverwritingHalfAWideCharacterBlanksTheOtherHalf) {
    TerminalScreen screen(6, 1);
    screen.write(0, 0, "日本語", A::Plain);
    EXPECT_TRUE(screen.cell(0, 1).continuation);
    screen.write(0, 1, "x", A::Plain);
    EXPECT_EQ(screen.line(0), " x本語");
    screen.write(0, 2, "y", A::Plain);
    EXPECT_EQ(screen.line(0), " xy 語");
    EXPECT_FALSE(screen.cell(0, 3).continuation);
}

TEST(TerminalScreen, FittedTextEndsInTheEllipsis) {
    struct Case {
        std::string text;
        int columns;
        const char* ellipsis;
        std::string fitted;
    };
    const Case cases[] = {
        {"Hello", 5, "…", "Hello"},
        {"Hello world", 6, "…", "Hello…"},
        {"日本語", 4, "…", "日…"},
        {"日本語", 5, "…", "日本…"},
        {"abcdef", 4, "...", "a..."},
        {"abcdef", 2, "...", ""},
        {"", 0, "…", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(TerminalScreen::fitted(c.text, c.columns, c.ellipsis), c.fitted)
            << c.text << " in " << c.columns;
        EXPECT_LE(TerminalScreen::width(c.fitted), c.columns);
    }
}

}  // namespace
