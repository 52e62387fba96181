#include "settings/gui/GuiWindow.h"

#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <set>
#include <thread>

#include "GuiFixture.h"
#include "host/foundation/Clock.h"
#include "host/messaging/CFNotificationCenter.h"
#include "host/netpolicy/DataPlanStore.h"
#include "host/netpolicy/DataSize.h"
#include "host/netpolicy/RestrictionStore.h"
#include "host/preferences/PSViewController.h"
#include "settings/gui/GuiRunLoopSource.h"
#include "settings/gui/GuiSession.h"

namespace {

std::string focusedRow(GuiDriver& driver) {
    auto row = driver.window().rowOf(gtk_root_get_focus(GTK_ROOT(driver.window().window())));
    return row ? row->name() : "(none)";
}

std::string pageTitle(GuiDriver& driver) {
    return adw_window_title_get_title(ADW_WINDOW_TITLE(driver.widget("title")));
}

GtkAdjustment* scrolling(GuiDriver& driver) {
    GtkWidget* scroller =
        gtk_widget_get_ancestor(driver.widget("row:Total"), GTK_TYPE_SCROLLED_WINDOW);
    return gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(scroller));
}

// Keys on the bundle's page: from a focused row, a key, and where the user is then.
struct KeyCase {
    const char* what;
    const char* focus;
    unsigned key;
    bool alt;
    const char* title;
    const char* focused;
    bool asks = false;
};

const KeyCase kKeyCases[] = {
    {"Escape goes back", "Video", GDK_KEY_Escape, false, "Settings", "Bytarn"},
    {"Alt+Left goes back", "Video", GDK_KEY_Left, true, "Settings", "Bytarn"},
    {"Left alone does not", "Video", GDK_KEY_Left, false, "Bytarn", "Video"},
    {"Down crosses into the next group", "Wi-Fi", GDK_KEY_Down, false, "Bytarn",
     FrontEndWorld::kLongName},
    {"Up crosses back", FrontEndWorld::kLongName, GDK_KEY_Up, false, "Bytarn", "Wi-Fi"},
    {"Delete asks first", "Mail", GDK_KEY_Delete, false, "Bytarn", "Mail", true},
    {"totals cannot be deleted", "Total", GDK_KEY_Delete, false, "Bytarn", "Total"},
};

TEST_F(GuiTest, SharedSteps) {
    for (const FrontEndStep& step : frontEndSteps()) {
        SCOPED_TRACE(std::string(step.what) + ": " + step.actions);
        driver.reset();
        app = world.start();
        driver = std::make_unique<GuiDriver>(*app);
        performSteps(*driver, step.actions);
        expectShown(step, driver->shown());
    }
}

}  // namespace

TEST_F(GuiTest, Keys) {
    for (const KeyCase& c : kKeyCases) {
        SCOPED_TRACE(c.what);
        driver.reset();
        app = world.start();
        driver = std::make_unique<GuiDriver>(*app);
        driver->tap("Bytarn");
        EXPECT_EQ(focusedRow(*driver), "Total");  // a new page starts on its first row
        gtk_widget_grab_focus(driver->widget(std::string("row:") + c.focus));
        driver->window().handleKey(c.key, c.alt);
        driver->settle();
        EXPECT_EQ(pageTitle(*driver), c.title);
        EXPECT_EQ(focusedRow(*driver), c.focused);
        EXPECT_EQ(driver->window().openDialog() != nullptr, c.asks);
        if (GtkWidget* dialog = driver->window().openDialog()) {
            // Cancel keeps the row.
            adw_message_dialog_response(ADW_MESSAGE_DIALOG(dialog), "cancel");
            driver->settle();
            EXPECT_TRUE(driver->widget("row:Mail"));
        }
    }
}

TEST_F(GuiTest, CalendarStartsOnTheStoredDayAndConfirmStoresThePick) {
    performSteps(*driver, "tap Bytarn; press right; tap Start date");
    GtkWidget* calendar = driver->widget("calendar");
    ASSERT_TRUE(calendar);
    GDateTime* shown = gtk_calendar_get_date(GTK_CALENDAR(calendar));
    EXPECT_EQ(g_date_time_get_year(shown) * 10000 + g_date_time_get_month(shown) * 100 +
                  g_date_time_get_day_of_month(shown),
              20261206);
    g_date_time_unref(shown);
    GDateTime* picked = g_date_time_new_utc(2026, 11, 9, 12, 0, 0);
    gtk_calendar_select_day(GTK_CALENDAR(calendar), picked);
    g_signal_emit_by_name(calendar, "day-selected");
    g_date_time_unref(picked);
    driver->press(true);
    ShownPage page = driver->shown();
    EXPECT_EQ(page.header, "< Settings | Bytarn | settings (pressed)");
    EXPECT_NE(std::find(page.rows.begin(), page.rows.end(), "Start date = 2026-11-09"),
              page.rows.end());
}

// The first group heading or boxed list on screen, depth first.
GtkWidget* firstShownGroup(GtkWidget* widget) {
    if (!gtk_widget_get_mapped(widget)) return nullptr;
    if (GTK_IS_LABEL(widget) || GTK_IS_LIST_BOX(widget)) return widget;
    for (GtkWidget* child = gtk_widget_get_first_child(widget); child;
         child = gtk_widget_get_next_sibling(child))
        if (GtkWidget* found = firstShownGroup(child)) return found;
    return nullptr;
}

// The first group starts at the page's top margin, as in GNOME Settings, whether or not the
// settings section (which opens with a group of no title and no rows) is shown.
TEST_F(GuiTest, TheFirstGroupStartsAtTheTop) {
    for (const char* actions : {"tap Bytarn", "tap Bytarn; press right", "tap Bytarn; tap Video"}) {
        SCOPED_TRACE(actions);
        driver.reset();
        app = world.start();
        driver = std::make_unique<GuiDriver>(*app);
        performSteps(*driver, actions);
        GtkWidget* scroller = gtk_widget_get_ancestor(
            driver->widget("row:Total") ? driver->widget("row:Total") : driver->widget("row:Video"),
            GTK_TYPE_SCROLLED_WINDOW);
        ASSERT_TRUE(scroller);
        GtkWidget* first = firstShownGroup(scroller);
        ASSERT_TRUE(first);
        graphene_rect_t bounds;
        ASSERT_TRUE(gtk_widget_compute_bounds(first, scroller, &bounds));
        EXPECT_GE(bounds.origin.y, 12);
        EXPECT_LE(bounds.origin.y, 24);
    }
}

// Ctrl+Q quits and Ctrl+W closes the window, as in GNOME's applications: each key's action, run
// in the session `bytarn gui` runs, ends it.
TEST_F(GuiTest, ControlQQuitsAndControlWClosesTheWindow) {
    driver.reset();
    app.reset();
    for (const char* keys : {"<Control>q", "<Control>w"}) {
        SCOPED_TRACE(keys);
        struct Press {
            const char* keys;
            std::string action;
            bool pressed = false;
            bool timedOut = false;
        } press{keys, "", false, false};
        guint pressing = g_timeout_add(
            100,
            [](gpointer data) -> gboolean {
                auto* press = static_cast<Press*>(data);
                auto* application = GTK_APPLICATION(g_application_get_default());
                GtkWindow* window =
                    application ? gtk_application_get_active_window(application) : nullptr;
                if (!window) return G_SOURCE_CONTINUE;
                char** actions = gtk_application_get_actions_for_accel(application, press->keys);
                if (actions && actions[0]) {
                    press->action = actions[0];
                    gtk_widget_activate_action(GTK_WIDGET(window), actions[0], nullptr);
                }
                g_strfreev(actions);
                press->pressed = true;
                return G_SOURCE_REMOVE;
            },
            &press);
        // Ends the session when the key did not.
        guint stopping = g_timeout_add_seconds(
            10,
            [](gpointer data) -> gboolean {
                static_cast<Press*>(data)->timedOut = true;
                if (GApplication* application = g_application_get_default())
                    g_application_quit(application);
                return G_SOURCE_REMOVE;
            },
            &press);
        SessionOptions options;
        options.now = "2026-12-06T12:00:00";
        options.bundlesDirectory = BYTARN_BUILD_BUNDLES_DIR;
        options.noCollector = true;
        std::istringstream steps;
        std::ostringstream err;
        int status = runGuiSession(options, std::nullopt, steps, err);
        EXPECT_EQ(status, 0) << err.str();
        EXPECT_FALSE(press.timedOut) << "the session was still running";
        EXPECT_NE(press.action, "");
        if (!press.pressed) g_source_remove(pressing);
        if (!press.timedOut) g_source_remove(stopping);
    }
}

// A change notification reloads the page through the run loop inside GLib's main loop: the rows
// are updated in place, and the scroll position and the focused row stay.
TEST_F(GuiTest, LiveReloadKeepsScrollAndFocus) {
    driver.reset();
    app.reset();
    for (int i = 0; i < 20; ++i)
        world.application("org.example.Extra" + std::to_string(i),
                          "Extra " + std::to_string(10 + i), 1000, 0);
    app = world.start();
    driver = std::make_unique<GuiDriver>(*app);
    GuiRunLoopSource source(g_main_context_default(), [this] { driver->window().refresh(); });
    driver->tap("Bytarn");
    GtkWidget* mail = driver->widget("row:Mail");
    gtk_widget_grab_focus(mail);
    driver->settle();
    GtkAdjustment* adjustment = scrolling(*driver);
    ASSERT_GT(gtk_adjustment_get_upper(adjustment) - gtk_adjustment_get_page_size(adjustment), 300);
    gtk_adjustment_set_value(adjustment, 250);

    UsageDatabase(UsageDatabase::defaultPath())
        .addUsage("org.example.Mail", "2026-12-06", 90'000, 0, 0);
    CFNotificationCenterPostNotification(CFNotificationCenterGetDarwinNotifyCenter(),
                                         "org.bytarn/Changed", nullptr, nullptr, true);
    auto value = [&] { return driver->shown().rows; };
    auto before = value();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (value() == before && std::chrono::steady_clock::now() < deadline)
        g_main_context_iteration(nullptr, TRUE);
    EXPECT_NE(std::find(value().begin(), value().end(), "Mail = 1.99MB"), value().end());
    EXPECT_EQ(driver->widget("row:Mail"), mail);  // the very same row widget
    EXPECT_EQ(focusedRow(*driver), "Mail");
    EXPECT_EQ(gtk_adjustment_get_value(adjustment), 250);

    // A page built again (back from an application's page) comes back where it was.
    driver->tap("Extra 25");
    EXPECT_EQ(pageTitle(*driver), "Extra 25");
    driver->back();
    driver->settle();
    EXPECT_EQ(focusedRow(*driver), "Extra 25");
    EXPECT_NE(driver->widget("row:Mail"), mail);
    EXPECT_GT(gtk_adjustment_get_value(scrolling(*driver)), 0);
}

// The run loop's timers and its work from other threads wake GLib's main loop; nothing polls.
TEST(GuiRunLoop, TimersAndCrossThreadWorkWakeGLib) {
    RunLoop::main().reset();
    Clock::useRealTime();
    int dispatched = 0;
    GuiRunLoopSource source(g_main_context_default(), [&] { ++dispatched; });
    while (g_main_context_iteration(nullptr, FALSE)) {
    }
    int idle = dispatched;

    bool fired = false;
    auto start = std::chrono::steady_clock::now();
    auto timer = NSTimer::scheduledTimerWithTimeInterval(
        0.05, [&](NSTimer&) { fired = true; }, false);
    while (!fired) g_main_context_iteration(nullptr, TRUE);
    EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(45));

    bool ran = false;
    std::thread other([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        RunLoop::main().perform([&] { ran = true; });
    });
    while (!ran) g_main_context_iteration(nullptr, TRUE);
    other.join();
    // Woken twice (the timer, the task) and a few times more at most: no busy waiting.
    EXPECT_LE(dispatched - idle, 4);
    RunLoop::main().reset();
}

TEST(GuiCommand, WithoutADisplaySaysSoInOneLineAndFails) {
    std::string command = "env -u DISPLAY -u WAYLAND_DISPLAY " BYTARN_BINARY_DIR
                          "/bin/bytarn gui --no-collector 2>&1";
    FILE* output = popen(command.c_str(), "r");
    ASSERT_TRUE(output);
    std::string text;
    char buffer[256];
    while (size_t count = fread(buffer, 1, sizeof buffer, output)) text.append(buffer, count);
    int status = pclose(output);
    EXPECT_EQ(WEXITSTATUS(status), 1);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 1) << text;
    EXPECT_NE(text.find("no graphical display"), std::string::npos) << text;
}

// A right click on an application's row offers Delete, which asks before it deletes.
TEST_F(GuiTest, ContextMenuDeletesAfterAsking) {
    driver->tap("Bytarn");
    GtkWidget* row = driver->widget("row:Mail");
    ASSERT_TRUE(row);
    GListModel* controllers = gtk_widget_observe_controllers(row);
    GtkGesture* click = nullptr;
    for (guint i = 0; i < g_list_model_get_n_items(controllers); ++i) {
        auto* controller = static_cast<GtkEventController*>(g_list_model_get_item(controllers, i));
        if (GTK_IS_GESTURE_CLICK(controller) &&
            gtk_gesture_single_get_button(GTK_GESTURE_SINGLE(controller)) == GDK_BUTTON_SECONDARY)
            click = GTK_GESTURE(controller);
        g_object_unref(controller);
    }
    g_object_unref(controllers);
    ASSERT_TRUE(click) << "no context menu on the row";
    g_signal_emit_by_name(click, "pressed", 1, 10.0, 10.0);
    driver->activate("context-delete");
    GtkWidget* dialog = driver->window().openDialog();
    ASSERT_TRUE(dialog);
    adw_message_dialog_response(ADW_MESSAGE_DIALOG(dialog), "delete");
    driver->settle();
    EXPECT_FALSE(driver->widget("row:Mail"));
    EXPECT_FALSE(driver->widget("context-delete"));  // the menu went with the row
}

// What a failed action has to say reaches the screen as a toast, as the window shows it after
// every action.
TEST_F(GuiTest, AFailedActionIsShownAsAToast) {
    // The Settings list, where the window opens, has no right button.
    ASSERT_FALSE(driver->window().navigator().topPage()->navigationItem().rightBarButtonItem());
    driver->window().navigator().pressRight();
    driver->window().refresh();
    EXPECT_EQ(driver->window().lastMessage(), "This page has no right button");
}

// A text row is an entry row whose apply commits: a refused size is the toast and the entry
// shows the stored value again; a size is stored and shown as the page prints it.
TEST_F(GuiTest, TextRowsCommitOnApplyAndARefusalPutsTheValueBack) {
    const std::uint64_t MB = 1024 * 1024;
    DataPlan plan;
    plan.limit = 100 * MB;
    std::string error;
    ASSERT_TRUE(DataPlanStore::store(plan, &error)) << error;
    driver->tap("Data plan");
    auto entry = [&] { return driver->widget("row:Limit"); };
    ASSERT_TRUE(entry() && ADW_IS_ENTRY_ROW(entry()));
    EXPECT_STREQ(gtk_editable_get_text(GTK_EDITABLE(entry())), "100.00MB");

    auto apply = [&](const char* text) {
        gtk_editable_set_text(GTK_EDITABLE(entry()), text);
        g_signal_emit_by_name(entry(), "apply");
        driver->settle();
    };
    apply("7.5XB");
    std::string badSize;
    parseDataSize("7.5XB", &badSize);
    EXPECT_EQ(driver->window().lastMessage(), badSize);
    EXPECT_STREQ(gtk_editable_get_text(GTK_EDITABLE(entry())), "100.00MB");
    EXPECT_EQ(DataPlanStore::plan(kCellularKind).value().limit, 100 * MB);

    apply("7.5GB");
    EXPECT_EQ(DataPlanStore::plan(kCellularKind).value().limit, 7680 * MB);
    EXPECT_STREQ(gtk_editable_get_text(GTK_EDITABLE(entry())), "7.50GB");
}

// A switch row is an action row that activates its GtkSwitch: activating the row turns the
// application's mobile data off in the store, and the switch shows the page's state.
TEST_F(GuiTest, SwitchRowsFlipThroughTheirPage) {
    driver->tap("Data plan");
    driver->tap("Applications on mobile data");
    auto toggle = [&] {
        GtkWidget* row = driver->widget("row:Video");
        return row ? adw_action_row_get_activatable_widget(ADW_ACTION_ROW(row)) : nullptr;
    };
    ASSERT_TRUE(toggle() && GTK_IS_SWITCH(toggle()));
    EXPECT_TRUE(gtk_switch_get_active(GTK_SWITCH(toggle())));
    gtk_widget_activate(driver->widget("row:Video"));
    // The switch slides before it says its new state.
    for (int i = 0; i < 100 && RestrictionStore::read().restricted.empty(); ++i) driver->settle();
    EXPECT_EQ(RestrictionStore::read().restricted, std::set<std::string>{"org.example.Video"});
    EXPECT_FALSE(gtk_switch_get_active(GTK_SWITCH(toggle())));
    EXPECT_FALSE(gtk_switch_get_state(GTK_SWITCH(toggle())));
}
