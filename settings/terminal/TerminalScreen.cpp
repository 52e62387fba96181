#include "settings/terminal/TerminalScreen.h"

#include <unicode/uchar.h>
#include <unicode/utf8.h>

#include <algorithm>
#include <cstdint>

#include "host/ui/UIView.h"

namespace {

struct CodePoint {
    std::string text;  // its UTF-8, or what stands in for it
    int columns = 1;
};

// The code point at `offset`, moving past it.
CodePoint nextCodePoint(const std::string& text, int32_t& offset) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    int32_t start = offset;
    UChar32 c;
    U8_NEXT(bytes, offset, length, c);
    if (c < 0) return {"\xEF\xBF\xBD", 1};
    if (u_iscntrl(c)) return {" ", 1};
    std::string encoded =
        text.substr(static_cast<size_t>(start), static_cast<size_t>(offset - start));
    return {encoded, TextMetrics::cells(encoded)};
}

const TerminalScreen::Cell kBlank;

}  // namespace

TerminalScreen::TerminalScreen(int columns, int rows) {
    resize(columns, rows);
}

void TerminalScreen::clear() {
    std::fill(cells_.begin(), cells_.end(), Cell{});
}

void TerminalScreen::resize(int columns, int rows) {
    columns_ = std::max(0, columns);
    rows_ = std::max(0, rows);
    cells_.assign(static_cast<size_t>(columns_ * rows_), Cell{});
}

void TerminalScreen::unsplit(int row, int column) {
    if (column < 0 || column >= columns_) return;
    if (at(row, column).continuation && column > 0) at(row, column - 1) = Cell{};
    if (column + 1 < columns_ && at(row, column + 1).continuation) at(row, column + 1) = Cell{};
}

int TerminalScreen::write(int row, int column, const std::string& text, unsigned attributes,
                          int maxColumns) {
    if (row < 0 || row >= rows_ || column >= columns_) return 0;
    int end = maxColumns < 0 ? columns_ : std::min(columns_, column + maxColumns);
    int x = column;
    for (int32_t offset = 0; offset < static_cast<int32_t>(text.size());) {
        CodePoint next = nextCodePoint(text, offset);
        if (next.columns == 0) {
            // A combining mark belongs to the character before it, when that was written here.
            if (x > column && x - 1 >= 0) {
                int base = at(row, x - 1).continuation ? x - 2 : x - 1;
                if (base >= 0) at(row, base).text += next.text;
            }
            continue;
        }
        if (x + next.columns > end) break;
        if (x >= 0) {
            unsplit(row, x);
            at(row, x) = Cell{next.text, attributes, false};
            if (next.columns == 2) {
                unsplit(row, x + 1);
                at(row, x + 1) = Cell{"", attributes, true};
            }
        }
        x += next.columns;
    }
    return x - column;
}

void TerminalScreen::addAttributes(int row, int column, int count, unsigned attributes) {
    if (row < 0 || row >= rows_) return;
    int from = std::max(0, column), to = std::min(columns_, column + count);
    for (int x = from; x < to; ++x) at(row, x).attributes |= attributes;
}

const TerminalScreen::Cell& TerminalScreen::cell(int row, int column) const {
    if (row < 0 || row >= rows_ || column < 0 || column >= columns_) return kBlank;
    return cells_[static_cast<size_t>(row * columns_ + column)];
}

std::string TerminalScreen::line(int row) const {
    std::string out;
    for (int x = 0; x < columns_; ++x) {
        const Cell& c = cell(row, x);
        if (!c.continuation) out += c.text;
    }
    out.erase(out.find_last_not_of(' ') + 1);
    return out;
}

std::string TerminalScreen::text() const {
    std::string out;
    for (int y = 0; y < rows_; ++y) out += line(y) + "\n";
    return out;
}

int TerminalScreen::width(const std::string& text) {
    return TextMetrics::cells(text);
}

std::string TerminalScreen::fitted(const std::string& text, int columns,
                                   const std::string& ellipsis) {
    if (width(text) <= columns) return text;
    int room = columns - width(ellipsis);
    if (room < 0) return {};
    std::string out;
    int used = 0;
    for (int32_t offset = 0; offset < static_cast<int32_t>(text.size());) {
        CodePoint next = nextCodePoint(text, offset);
        if (used + next.columns > room) break;
        used += next.columns;
        out += next.text;
    }
    return out + ellipsis;
}
