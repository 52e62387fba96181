#pragma once

#include <iosfwd>
#include <string>

class GuiWindow;
typedef struct _GtkWidget GtkWidget;

// Runs GLib's main loop until the window has nothing left to lay out or animate (about `seconds`
// at most): what a screenshot or a test waits for after an action.
void settleWindow(GuiWindow& window, double seconds = 0.5);

// Renders the window as it stands into a PNG file. Returns false, with the reason, when it cannot.
bool saveWindowPng(GtkWidget* window, const std::string& path, std::string* error);

// `bytarn gui --screenshots DIR`: reads steps, one a line, and takes the pictures they ask for:
//   tap NAME | type NAME = TEXT | back | press left|right | light | dark | shot FILE
//   (FILE.png in DIR)
// Returns 0 when every step worked, else 1 after saying which failed on `err`.
int takeScreenshots(GuiWindow& window, std::istream& steps, const std::string& directory,
                    std::ostream& err);
