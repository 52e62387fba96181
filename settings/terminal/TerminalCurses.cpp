#define NCURSES_WIDECHAR 1
#include "settings/terminal/TerminalCurses.h"

#include <curses.h>
#include <langinfo.h>
#include <unicode/utf8.h>

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "settings/terminal/TerminalScreen.h"

namespace {

// Colour pairs.
enum : short { kBarPair = 1, kSelectedPair = 2, kChangedPair = 3 };

// How long a lone Escape waits for the rest of a key's sequence, in milliseconds.
constexpr int kEscapeDelay = 25;

bool noColorRequested() {
    const char* value = std::getenv("NO_COLOR");
    return value && *value;
}

std::wstring wide(const std::string& text) {
    std::wstring out;
    const auto* bytes = reinterpret_cast<const uint8_t*>(text.data());
    const auto length = static_cast<int32_t>(text.size());
    for (int32_t i = 0; i < length;) {
        UChar32 c;
        U8_NEXT(bytes, i, length, c);
        out.push_back(static_cast<wchar_t>(c < 0 ? 0xFFFD : c));
    }
    return out;
}

TerminalKey fromFunctionKey(wint_t code) {
    switch (code) {
        case KEY_UP:
            return TerminalKey::of(TerminalKey::Up);
        case KEY_DOWN:
            return TerminalKey::of(TerminalKey::Down);
        case KEY_LEFT:
            return TerminalKey::of(TerminalKey::Left);
        case KEY_RIGHT:
            return TerminalKey::of(TerminalKey::Right);
        case KEY_PPAGE:
            return TerminalKey::of(TerminalKey::PageUp);
        case KEY_NPAGE:
            return TerminalKey::of(TerminalKey::PageDown);
        case KEY_HOME:
            return TerminalKey::of(TerminalKey::Home);
        case KEY_END:
            return TerminalKey::of(TerminalKey::End);
        case KEY_ENTER:
            return TerminalKey::of(TerminalKey::Enter);
        case KEY_BACKSPACE:
            return TerminalKey::of(TerminalKey::Backspace);
        case KEY_DC:
            return TerminalKey::of(TerminalKey::Delete);
        case KEY_RESIZE:
            return TerminalKey::of(TerminalKey::Resize);
        default:
            return TerminalKey::typed(0);
    }
}

TerminalKey fromCharacter(wint_t code) {
    switch (code) {
        case L'\n':
        case L'\r':
            return TerminalKey::of(TerminalKey::Enter);
        case 8:
        case 127:
            return TerminalKey::of(TerminalKey::Backspace);
        case 27:
            return TerminalKey::of(TerminalKey::Escape);
        default:
            return TerminalKey::typed(static_cast<char32_t>(code));
    }
}

}  // namespace

TerminalCurses::TerminalCurses() {
    // The character type only: numbers and dates keep their own formatting.
    std::setlocale(LC_CTYPE, "");
    unicode_ = std::strcmp(nl_langinfo(CODESET), "UTF-8") == 0;
    set_escdelay(kEscapeDelay);
    if (!newterm(nullptr, stdout, stdin)) throw std::runtime_error("cannot use this terminal");
    cbreak();
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    nodelay(stdscr, TRUE);
    curs_set(0);
    mouseinterval(0);
    mousemask(BUTTON1_PRESSED | BUTTON1_CLICKED | BUTTON4_PRESSED | BUTTON5_PRESSED, nullptr);
    if (has_colors() && !noColorRequested()) {
        colours_ = true;
        start_color();
        use_default_colors();
        init_pair(kBarPair, COLOR_WHITE, COLOR_BLUE);
        init_pair(kSelectedPair, COLOR_BLACK, COLOR_CYAN);
        init_pair(kChangedPair, COLOR_BLACK, COLOR_YELLOW);
    }
}

TerminalCurses::~TerminalCurses() {
    end();
}

void TerminalCurses::end() {
    if (ended_) return;
    ended_ = true;
    endwin();
}

int TerminalCurses::columns() const {
    return COLS;
}

int TerminalCurses::rows() const {
    return LINES;
}

std::vector<TerminalKey> TerminalCurses::readKeys() {
    std::vector<TerminalKey> keys;
    wint_t code;
    for (int kind; (kind = wget_wch(stdscr, &code)) != ERR;) {
        if (kind != KEY_CODE_YES) {
            keys.push_back(fromCharacter(code));
            continue;
        }
        if (code != KEY_MOUSE) {
            TerminalKey key = fromFunctionKey(code);
            if (key.kind != TerminalKey::Character) keys.push_back(key);
            continue;
        }
        MEVENT event;
        if (getmouse(&event) != OK) continue;
        if (event.bstate & (BUTTON1_PRESSED | BUTTON1_CLICKED))
            keys.push_back(TerminalKey::click(event.x, event.y));
        else if (event.bstate & BUTTON4_PRESSED)
            keys.push_back(TerminalKey::of(TerminalKey::WheelUp));
        else if (event.bstate & BUTTON5_PRESSED)
            keys.push_back(TerminalKey::of(TerminalKey::WheelDown));
    }
    return keys;
}

void TerminalCurses::draw(const TerminalScreen& screen) {
    using A = TerminalScreen::Attribute;
    const int rows = std::min(screen.rows(), LINES), columns = std::min(screen.columns(), COLS);
    for (int y = 0; y < rows; ++y) {
        for (int x = 0; x < columns; ++x) {
            const TerminalScreen::Cell& cell = screen.cell(y, x);
            if (cell.continuation) continue;
            unsigned flags = cell.attributes;
            attr_t attributes = A_NORMAL;
            short pair = 0;
            if (colours_) {
                if (flags & A::Selected)
                    pair = kSelectedPair;
                else if (flags & A::Changed)
                    pair = kChangedPair;
                else if (flags & A::Bar)
                    pair = kBarPair;
            } else {
                // Selected on the bar (the editor's cursor) stands out of the reversed bar.
                if ((flags & A::Selected) && (flags & A::Bar))
                    attributes |= A_UNDERLINE;
                else if (flags & (A::Selected | A::Bar))
                    attributes |= A_REVERSE;
                if (flags & A::Changed) attributes |= A_BOLD | A_UNDERLINE;
            }
            if (flags & A::Bold) attributes |= A_BOLD;
            if ((flags & A::Dim) && !(flags & A::Selected)) attributes |= A_DIM;
            std::wstring text = wide(cell.text);
            if (text.size() >= CCHARW_MAX) text.resize(CCHARW_MAX - 1);
            cchar_t shown;
            setcchar(&shown, text.c_str(), attributes, pair, nullptr);
            // The last cell of the screen is inserted: writing it would scroll the screen.
            if (y == LINES - 1 && x == COLS - 1)
                mvwins_wch(stdscr, y, x, &shown);
            else
                mvwadd_wch(stdscr, y, x, &shown);
        }
    }
    wnoutrefresh(stdscr);
    doupdate();
}
