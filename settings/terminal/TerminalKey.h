#pragma once

// One input event of the terminal front end, as the ncurses layer reads it and the controller
// handles it: a key, a resize, a click or a turn of the wheel.
struct TerminalKey {
    enum Kind {
        Character,
        Up,
        Down,
        Left,
        Right,
        PageUp,
        PageDown,
        Home,
        End,
        Enter,
        Backspace,
        Escape,
        Delete,
        Resize,
        Click,
        WheelUp,
        WheelDown,
    };

    Kind kind = Character;
    char32_t character = 0;  // for Character
    int column = 0;          // for Click: the cell clicked
    int row = 0;

    static TerminalKey of(Kind kind) { return {kind, 0, 0, 0}; }
    static TerminalKey typed(char32_t character) { return {Character, character, 0, 0}; }
    static TerminalKey click(int column, int row) { return {Click, 0, column, row}; }
};
