#pragma once

#include <string>

class PSViewController;

// A page as plain text for a terminal: the title, then each group's header (an untitled group
// as a blank line), then each row as "  <name>" with its value right-aligned to column 60 and
// " >" after rows that open a page. Text that is not UTF-8 is shown with replacement characters.
namespace TextView {

constexpr int kWidth = 60;

std::string renderPage(PSViewController& page);

// How many terminal columns the text takes: wide East Asian characters count two, combining
// marks none.
int displayWidth(const std::string& text);

// The row line without the trailing marker, at most kWidth columns when the value fits at all.
std::string rowLine(const std::string& name, const std::string& value);

}  // namespace TextView
