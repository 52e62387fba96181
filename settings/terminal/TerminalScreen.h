#pragma once

#include <string>
#include <vector>

// An off-screen grid of character cells: what the terminal front end draws into, what the
// ncurses layer copies to the terminal and what tests compare as text. A wide character takes
// two cells, the second marked as its continuation; combining marks join the cell before them.
class TerminalScreen {
  public:
    // How a cell is drawn; flags, combined with |.
    enum Attribute : unsigned {
        Plain = 0,
        Bar = 1u << 0,       // the navigation bar and the status line
        Bold = 1u << 1,      // a done button, a prompt
        Selected = 1u << 2,  // the selected row, the selected date field
        Changed = 1u << 3,   // a row just inserted or removed
        Dim = 1u << 4,       // group headers, removed rows, secondary text
    };

    struct Cell {
        std::string text = " ";
        unsigned attributes = Plain;
        bool continuation = false;  // the right half of a wide character
    };

    TerminalScreen(int columns, int rows);

    int columns() const { return columns_; }
    int rows() const { return rows_; }

    // Blank cells everywhere; resize also changes the size.
    void clear();
    void resize(int columns, int rows);

    // Writes UTF-8 text from (row, column) on, in at most `maxColumns` columns (to the end of the
    // line when negative), and returns the columns it took. Control characters show as spaces and
    // malformed bytes as U+FFFD; a wide character that does not fit whole is left out.
    int write(int row, int column, const std::string& text, unsigned attributes,
              int maxColumns = -1);
    // Adds attributes to `count` cells from (row, column) on, clipped to the line.
    void addAttributes(int row, int column, int count, unsigned attributes);

    // A cell; out-of-range positions give a blank cell.
    const Cell& cell(int row, int column) const;
    // A line as text, without trailing blanks.
    std::string line(int row) const;
    // Every line, each ending in "\n".
    std::string text() const;

    // Display columns of UTF-8 text, as the host's text measure counts them.
    static int width(const std::string& text);
    // The text, or its longest leading part that fits `columns` together with the ellipsis.
    static std::string fitted(const std::string& text, int columns, const std::string& ellipsis);

  private:
    Cell& at(int row, int column) { return cells_[static_cast<size_t>(row * columns_ + column)]; }
    // Blanks the other half of a wide character that a write is about to split.
    void unsplit(int row, int column);

    int columns_ = 0;
    int rows_ = 0;
    std::vector<Cell> cells_;
};
