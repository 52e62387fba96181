#include "settings/gui/GuiScreenshots.h"

#include <adwaita.h>
#include <gtk/gtk.h>

#include <chrono>
#include <istream>
#include <ostream>
#include <sstream>

#include "host/preferences/PSListController.h"
#include "settings/gui/GuiWindow.h"

void settleWindow(GuiWindow& window, double seconds) {
    using Clock = std::chrono::steady_clock;
    auto until = Clock::now() + std::chrono::duration<double>(seconds);
    // A few frames at least, so that a new page is laid out and drawn; longer while rows fade.
    while (Clock::now() < until || window.isAnimating()) {
        while (g_main_context_iteration(nullptr, FALSE)) {
        }
        g_usleep(5000);
        if (window.isAnimating() && Clock::now() > until + std::chrono::seconds(5)) break;
    }
}

bool saveWindowPng(GtkWidget* window, const std::string& path, std::string* error) {
    int width = gtk_widget_get_width(window), height = gtk_widget_get_height(window);
    GskRenderer* renderer = gtk_native_get_renderer(GTK_NATIVE(window));
    if (width <= 0 || height <= 0 || !renderer) {
        *error = "the window is not shown";
        return false;
    }
    GdkPaintable* paintable = gtk_widget_paintable_new(window);
    GtkSnapshot* snapshot = gtk_snapshot_new();
    gdk_paintable_snapshot(paintable, snapshot, width, height);
    GskRenderNode* node = gtk_snapshot_free_to_node(snapshot);
    g_object_unref(paintable);
    if (!node) {
        *error = "the window drew nothing";
        return false;
    }
    graphene_rect_t area =
        GRAPHENE_RECT_INIT(0, 0, static_cast<float>(width), static_cast<float>(height));
    GdkTexture* texture = gsk_renderer_render_texture(renderer, node, &area);
    gsk_render_node_unref(node);
    bool saved = texture && gdk_texture_save_to_png(texture, path.c_str());
    if (texture) g_object_unref(texture);
    if (!saved) *error = "cannot write " + path;
    return saved;
}

int takeScreenshots(GuiWindow& window, std::istream& steps, const std::string& directory,
                    std::ostream& err) {
    GuiNavigator& navigator = window.navigator();
    AdwStyleManager* style = adw_style_manager_get_default();
    settleWindow(window);
    int number = 0;
    for (std::string line; std::getline(steps, line);) {
        ++number;
        std::istringstream words(line);
        std::string command, argument;
        words >> command;
        std::getline(words >> std::ws, argument);
        if (command.empty() || command[0] == '#') continue;
        std::string error;
        // A name that several rows have (a kind's Limit, say) is the first of them, as in a
        // script.
        if (command == "tap") {
            auto list = navigator.topListPage();
            std::shared_ptr<PSSpecifier> found;
            if (list)
                for (const auto& row : list->specifiers())
                    if (!found && row->name() == argument && row->cellType() != PSGroupCell)
                        found = row;
            if (found)
                navigator.tap(found);
            else
                error = "no row named " + argument;
        } else if (command == "type") {
            // "type NAME = TEXT", as the script types into a text entry row.
            size_t at = argument.find(" = ");
            std::string name = argument.substr(0, at);
            auto list = navigator.topListPage();
            std::shared_ptr<PSSpecifier> found;
            if (list && at != std::string::npos)
                for (const auto& row : list->specifiers())
                    if (!found && row->name() == name && row->cellType() == PSEditTextCell)
                        found = row;
            if (found)
                window.applyText(found, argument.substr(at + 3));
            else
                error = "no text row named " + name;
        } else if (command == "back") {
            navigator.goBack();
        } else if (command == "press" && (argument == "left" || argument == "right")) {
            argument == "left" ? navigator.pressLeft() : navigator.pressRight();
        } else if (command == "light" || command == "dark") {
            adw_style_manager_set_color_scheme(style, command == "dark"
                                                          ? ADW_COLOR_SCHEME_FORCE_DARK
                                                          : ADW_COLOR_SCHEME_FORCE_LIGHT);
        } else if (command == "shot" && !argument.empty()) {
            settleWindow(window);
            saveWindowPng(window.window(), directory + "/" + argument + ".png", &error);
        } else {
            error = "unknown step";
        }
        if (error.empty() && !navigator.message().empty()) error = navigator.message();
        if (!error.empty()) {
            err << "bytarn: screenshots, line " << number << " (" << line << "): " << error << "\n";
            return 1;
        }
        window.refresh();
        settleWindow(window, 0.1);
    }
    return 0;
}
