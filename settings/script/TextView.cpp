#include "settings/script/TextView.h"

#include <unicode/uchar.h>
#include <unicode/unistr.h>

#include "host/preferences/PSListController.h"
#include "host/preferences/PSSpecifier.h"
#include "host/preferences/PSViewController.h"

namespace TextView {

namespace {

// Well-formed UTF-8: each invalid sequence becomes U+FFFD.
icu::UnicodeString decode(const std::string& text) {
    return icu::UnicodeString::fromUTF8(text);
}

std::string encode(const icu::UnicodeString& text) {
    std::string out;
    text.toUTF8String(out);
    return out;
}

int columnsOf(UChar32 c) {
    if (u_getCombiningClass(c) != 0 || u_charType(c) == U_NON_SPACING_MARK ||
        u_charType(c) == U_ENCLOSING_MARK || u_charType(c) == U_FORMAT_CHAR)
        return 0;
    if (u_iscntrl(c)) return 0;
    int width = u_getIntPropertyValue(c, UCHAR_EAST_ASIAN_WIDTH);
    return width == U_EA_WIDE || width == U_EA_FULLWIDTH ? 2 : 1;
}

int widthOf(const icu::UnicodeString& text) {
    int width = 0;
    for (int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1))
        width += columnsOf(text.char32At(i));
    return width;
}

// Control characters would move the cursor or end the line; a page's text shows them as spaces.
icu::UnicodeString printable(const std::string& text) {
    icu::UnicodeString out = decode(text);
    for (int32_t i = 0; i < out.length(); ++i)
        if (u_iscntrl(out.charAt(i))) out.setCharAt(i, u' ');
    return out;
}

// The longest leading part of the text that fits in `columns`, with "…" when shortened.
icu::UnicodeString fitted(const icu::UnicodeString& text, int columns) {
    if (widthOf(text) <= columns) return text;
    if (columns <= 0) return {};
    icu::UnicodeString out;
    int used = 0;
    for (int32_t i = 0; i < text.length(); i = text.moveIndex32(i, 1)) {
        UChar32 c = text.char32At(i);
        if (used + columnsOf(c) > columns - 1) break;
        used += columnsOf(c);
        out.append(c);
    }
    return out.append(UChar32(0x2026));
}

}  // namespace

int displayWidth(const std::string& text) {
    return widthOf(decode(text));
}

std::string rowLine(const std::string& name, const std::string& value) {
    icu::UnicodeString shownName = printable(name);
    icu::UnicodeString shownValue = printable(value);
    icu::UnicodeString line("  ");
    if (shownValue.isEmpty()) return encode(line.append(shownName));
    // The value is what the row is read for: the name gives way, keeping one space before it.
    int valueWidth = widthOf(shownValue);
    int room = kWidth - 2 - 1 - valueWidth;
    line.append(fitted(shownName, std::max(room, 1)));
    int padding = std::max(kWidth - widthOf(line) - valueWidth, 1);
    for (int i = 0; i < padding; ++i) line.append(u' ');
    return encode(line.append(shownValue));
}

std::string renderPage(PSViewController& page) {
    std::string out = encode(printable(page.title())) + "\n";
    auto* list = dynamic_cast<PSListController*>(&page);
    if (!list) return out;
    PSSpecifierList rows = list->specifiers();
    for (const auto& row : rows) {
        if (row->cellType() == PSGroupCell) {
            out += encode(printable(row->name())) + "\n";
            continue;
        }
        out += rowLine(row->name(), row->valueText().value_or(""));
        if (!row->detailControllerClass().empty()) out += " >";
        out += "\n";
    }
    return out;
}

}  // namespace TextView
