#include "GuiFixture.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "settings/gui/GuiScreenshots.h"
#include "support/ChildProcesses.h"

namespace {

pid_t xvfb = -1;
std::string whyUnavailable = "the X server was not started";

// Starts Xvfb, which picks a free display number and writes it to the pipe.
std::string startXvfb() {
    if (!programInstalled("Xvfb")) return "Xvfb is not installed (Debian package xvfb)";
    int fds[2];
    if (pipe(fds) != 0) return "cannot make a pipe";
    xvfb = fork();
    if (xvfb == 0) {
        close(fds[0]);
        std::string fd = std::to_string(fds[1]);
        execlp("Xvfb", "Xvfb", "-displayfd", fd.c_str(), "-screen", "0", "1024x768x24", "-nolisten",
               "tcp", "-noreset", static_cast<char*>(nullptr));
        _exit(127);
    }
    close(fds[1]);
    std::string number;
    pollfd wait{fds[0], POLLIN, 0};
    char c;
    while (poll(&wait, 1, 10'000) > 0 && read(fds[0], &c, 1) == 1 && c != '\n') number += c;
    close(fds[0]);
    if (number.empty()) return "Xvfb did not start";
    setenv("DISPLAY", (":" + number).c_str(), 1);
    unsetenv("WAYLAND_DISPLAY");
    setenv("GDK_BACKEND", "x11", 1);
    setenv("GSK_RENDERER", "cairo", 1);
    setenv("GTK_A11Y", "test", 1);  // accessible properties kept, no bus
    setenv("GSETTINGS_BACKEND", "memory", 1);
    if (!gtk_init_check()) return "GTK cannot open the display of Xvfb";
    adw_init();
    return "";
}

const bool registered = [] {
    ::testing::AddGlobalTestEnvironment(new XvfbDisplay);
    return true;
}();

}  // namespace

void XvfbDisplay::SetUp() {
    whyUnavailable = startXvfb();
}

void XvfbDisplay::TearDown() {
    if (GdkDisplay* display = gdk_display_get_default()) gdk_display_close(display);
    if (xvfb > 0) {
        kill(xvfb, SIGTERM);
        waitpid(xvfb, nullptr, 0);
        xvfb = -1;
    }
}

const std::string& XvfbDisplay::unavailable() {
    return whyUnavailable;
}

GuiDriver::GuiDriver(SettingsApplication& application)
    : window_(std::make_unique<GuiWindow>(application, nullptr)) {
    gtk_window_present(GTK_WINDOW(window_->window()));
    settle();
}

GuiDriver::~GuiDriver() {
    window_.reset();
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
}

void GuiDriver::settle() {
    settleWindow(*window_, 0.02);
}

GtkWidget* GuiDriver::widget(const std::string& name) {
    return window_->findWidget(name);
}

void GuiDriver::activate(const std::string& name) {
    GtkWidget* found = widget(name);
    if (!found) {
        ADD_FAILURE() << "no widget named " << name;
        return;
    }
    EXPECT_TRUE(gtk_widget_is_sensitive(found) && gtk_widget_get_visible(found)) << name;
    // A button's own activation waits a moment to show itself pressed; a click is at once.
    if (GTK_IS_BUTTON(found))
        g_signal_emit_by_name(found, "clicked");
    else
        gtk_widget_activate(found);
    settle();
}

namespace {

// The first list row whose accessible label is `label`, as assistive technology finds it.
GtkWidget* rowLabelled(GtkWidget* widget, const std::string& label) {
    if (GTK_IS_LIST_BOX_ROW(widget)) {
        char* mismatch = gtk_test_accessible_check_property(
            GTK_ACCESSIBLE(widget), GTK_ACCESSIBLE_PROPERTY_LABEL, label.c_str());
        g_free(mismatch);
        return mismatch ? nullptr : widget;
    }
    for (GtkWidget* child = gtk_widget_get_first_child(widget); child;
         child = gtk_widget_get_next_sibling(child))
        if (GtkWidget* found = rowLabelled(child, label)) return found;
    return nullptr;
}

}  // namespace

void GuiDriver::tap(const std::string& row) {
    GtkWidget* found = rowLabelled(window_->window(), row);
    ASSERT_TRUE(found) << "no row labelled " << row;
    gtk_widget_activate(found);
    settle();
}

void GuiDriver::back() {
    GtkWidget* button = widget("back");
    activate(button && gtk_widget_get_visible(button) ? "back" : "left");
}

void GuiDriver::press(bool right) {
    activate(right ? "right" : "left");
}

void GuiDriver::deleteRow(const std::string& row) {
    GtkWidget* found = widget("row:" + row);
    ASSERT_TRUE(found) << row;
    gtk_widget_grab_focus(found);
    EXPECT_TRUE(window_->handleKey(GDK_KEY_Delete, false));
    GtkWidget* dialog = window_->openDialog();
    ASSERT_TRUE(dialog) << "no confirmation";
    adw_message_dialog_response(ADW_MESSAGE_DIALOG(dialog), "delete");
    settle();
}

namespace {

std::string buttonText(GtkWidget* button) {
    if (!button || !gtk_widget_get_visible(button)) return "";
    const char* label = gtk_button_get_label(GTK_BUTTON(button));
    std::string text = label ? label : gtk_widget_get_tooltip_text(button);
    if (GTK_IS_TOGGLE_BUTTON(button) && gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(button)))
        text += " (pressed)";
    if (gtk_widget_has_css_class(button, "suggested-action")) text += " (suggested)";
    return text;
}

GtkWidget* childNamed(GtkWidget* widget, const char* name) {
    for (GtkWidget* child = gtk_widget_get_first_child(widget); child;
         child = gtk_widget_get_next_sibling(child)) {
        if (std::string(gtk_widget_get_name(child)) == name) return child;
        if (GtkWidget* found = childNamed(child, name)) return found;
    }
    return nullptr;
}

void collectRows(GtkWidget* widget, std::vector<std::string>& rows) {
    if (std::string(gtk_widget_get_name(widget)).rfind("row:", 0) == 0) {
        if (!gtk_widget_get_mapped(widget)) return;
        std::string text = adw_preferences_row_get_title(ADW_PREFERENCES_ROW(widget));
        GtkWidget* value = childNamed(widget, "value");
        if (value && gtk_widget_get_visible(value))
            text += std::string(" = ") + gtk_label_get_text(GTK_LABEL(value));
        GtkWidget* check = childNamed(widget, "check");
        if (check && gtk_widget_get_opacity(check) > 0) text += " ✓";
        rows.push_back(text);
        return;
    }
    for (GtkWidget* child = gtk_widget_get_first_child(widget); child;
         child = gtk_widget_get_next_sibling(child))
        collectRows(child, rows);
}

}  // namespace

ShownPage GuiDriver::shown() {
    ShownPage page;
    GtkWidget* back = widget("back");
    std::string left = back && gtk_widget_get_visible(back)
                           ? "< " + std::string(gtk_label_get_text(GTK_LABEL(widget("back-title"))))
                           : buttonText(widget("left"));
    page.header = left + " | " + adw_window_title_get_title(ADW_WINDOW_TITLE(widget("title"))) +
                  " | " + buttonText(widget("right"));
    collectRows(window_->window(), page.rows);
    return page;
}

// Under LeakSanitizer (make check-asan): GTK, GLib, fontconfig and the X libraries keep caches
// for the life of the process by design; what is allocated through them is not the window's
// leak. Leaks of the window's own objects still count. The graphics libraries are built without
// frame pointers, so only the slow unwinder sees which library an allocation came from.
extern "C" const char* __asan_default_options() {
    return "fast_unwind_on_malloc=0";
}

extern "C" const char* __lsan_default_suppressions() {
    return "leak:libgtk-4.so\nleak:libadwaita-1.so\nleak:libglib-2.0.so\nleak:libgobject-2.0.so\n"
           "leak:libgio-2.0.so\nleak:libfontconfig.so\nleak:libpango\nleak:libcairo.so\n"
           "leak:libX11.so\nleak:libEGL\nleak:libGLX\nleak:libharfbuzz.so\nleak:libgdk_pixbuf\n";
}
