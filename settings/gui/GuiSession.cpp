#include "settings/gui/GuiSession.h"

#include <adwaita.h>
#include <glib-unix.h>
#include <gtk/gtk.h>

#include <csignal>

#include <cstdlib>
#include <memory>
#include <ostream>

#include "host/foundation/Clock.h"
#include "host/foundation/RunLoop.h"
#include "settings/core/SettingsApplication.h"
#include "settings/core/SettingsSession.h"
#include "settings/gui/GuiRunLoopSource.h"
#include "settings/gui/GuiScreenshots.h"
#include "settings/gui/GuiWindow.h"

namespace {

bool isSet(const char* name) {
    const char* value = std::getenv(name);
    return value && *value;
}

struct GuiRun {
    SettingsApplication* settings = nullptr;
    std::unique_ptr<GuiWindow> window;
    std::unique_ptr<GuiRunLoopSource> source;
    const std::optional<std::string>* screenshots = nullptr;
    std::istream* steps = nullptr;
    std::ostream* err = nullptr;
    int status = 0;
};

// The keys of a GNOME application: Ctrl+Q quits (app.quit), Ctrl+W closes the window (GTK's own
// window.close, as the close button does). Quitting ends g_application_run, after which the
// session tears down as it does when the window closes.
void addShortcuts(GtkApplication* application) {
    GSimpleAction* quit = g_simple_action_new("quit", nullptr);
    g_signal_connect_swapped(quit, "activate", G_CALLBACK(g_application_quit), application);
    g_action_map_add_action(G_ACTION_MAP(application), G_ACTION(quit));
    g_object_unref(quit);
    const char* const quitKeys[] = {"<Control>q", nullptr};
    const char* const closeKeys[] = {"<Control>w", nullptr};
    gtk_application_set_accels_for_action(application, "app.quit", quitKeys);
    gtk_application_set_accels_for_action(application, "window.close", closeKeys);
}

void activate(GtkApplication* application, gpointer data) {
    auto* run = static_cast<GuiRun*>(data);
    if (!run->window) {
        run->window = std::make_unique<GuiWindow>(*run->settings, application);
        GuiWindow* window = run->window.get();
        run->source = std::make_unique<GuiRunLoopSource>(g_main_context_default(),
                                                         [window] { window->refresh(); });
    }
    gtk_window_present(GTK_WINDOW(run->window->window()));
    if (*run->screenshots) {
        run->status = takeScreenshots(*run->window, *run->steps, **run->screenshots, *run->err);
        g_application_quit(G_APPLICATION(application));
    }
}

}  // namespace

int runGuiSession(const SessionOptions& options, const std::optional<std::string>& screenshots,
                  std::istream& steps, std::ostream& err) {
    if (!isSet("DISPLAY") && !isSet("WAYLAND_DISPLAY")) {
        err << "bytarn: no graphical display (neither DISPLAY nor WAYLAND_DISPLAY is set); try "
               "bytarn ui\n";
        return 1;
    }
    // The window's class is the application's identifier, which names its desktop entry.
    g_set_prgname("org.bytarn.Bytarn");
    if (!gtk_init_check()) {
        err << "bytarn: cannot open the graphical display; try bytarn ui\n";
        return 1;
    }
    auto settings = startSettingsApplication(options, err);
    if (!settings) return 1;
    // The session starts at --now (or now) and from there runs in real time.
    Clock::useRealTimeFrom(Clock::now());
    std::string error;
    // The window opens on the page asked for, else on the one bundle's page, else on the
    // Settings list, which shows every bundle; whatever opened, the list stays behind it.
    if (!settings->openStartPage(options.page, &error)) err << "bytarn: " << error << "\n";
    RunLoop::main().runUntilIdle();

    // Set once a process: GLib warns when it is set again (the window tests run sessions).
    if (g_strcmp0(g_get_application_name(), "Bytarn") != 0) g_set_application_name("Bytarn");
    AdwApplication* application =
        adw_application_new("org.bytarn.Bytarn", G_APPLICATION_NON_UNIQUE);
    addShortcuts(GTK_APPLICATION(application));
    GuiRun run;
    run.settings = settings.get();
    run.screenshots = &screenshots;
    run.steps = &steps;
    run.err = &err;
    g_signal_connect(application, "activate", G_CALLBACK(activate), &run);
    // SIGINT and SIGTERM close the window as the close button does: the pages, the run loop and
    // the embedded collector are torn down in order. The status then says which signal it was.
    struct Stop {
        AdwApplication* application;
        int signal;
        int* stopped;
    };
    int stopped = 0;
    Stop stops[] = {{application, SIGINT, &stopped}, {application, SIGTERM, &stopped}};
    auto quit = +[](gpointer data) -> gboolean {
        auto* stop = static_cast<Stop*>(data);
        *stop->stopped = stop->signal;
        g_application_quit(G_APPLICATION(stop->application));
        return G_SOURCE_CONTINUE;
    };
    guint signals[] = {g_unix_signal_add(SIGINT, quit, &stops[0]),
                       g_unix_signal_add(SIGTERM, quit, &stops[1])};
    int status = g_application_run(G_APPLICATION(application), 0, nullptr);
    for (guint source : signals) g_source_remove(source);
    run.source.reset();
    run.window.reset();
    g_object_unref(application);
    if (stopped) return 128 + stopped;
    return status != 0 ? status : run.status;
}
