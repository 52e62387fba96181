#pragma once

#include <vector>

#include "settings/terminal/TerminalKey.h"

class TerminalScreen;

// The one piece of the terminal front end that talks to ncurses: it takes the terminal over,
// reads keys, clicks and resizes without ever waiting, and copies an off-screen screen to the
// terminal. Colours are used when the terminal has them and NO_COLOR is not set; otherwise
// reverse video, bold and underline carry the same distinctions.
class TerminalCurses {
  public:
    // Takes the terminal on standard input and output over. Throws std::runtime_error when the
    // terminal cannot be used (an unknown TERM, say).
    TerminalCurses();
    // Gives the terminal back as it was.
    ~TerminalCurses();
    TerminalCurses(const TerminalCurses&) = delete;
    TerminalCurses& operator=(const TerminalCurses&) = delete;

    int columns() const;
    int rows() const;
    // Whether the terminal's character set is UTF-8, so that glyphs beyond ASCII show.
    bool unicode() const { return unicode_; }

    // Every event waiting on the terminal; none when nothing is waiting.
    std::vector<TerminalKey> readKeys();
    // Shows the screen (of the terminal's size) and updates the terminal.
    void draw(const TerminalScreen& screen);

    // Gives the terminal back now; the destructor then does nothing. Safe to call twice.
    void end();

  private:
    bool unicode_ = false;
    bool colours_ = false;
    bool ended_ = false;
};
