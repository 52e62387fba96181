#include "settings/gui/GuiWindow.h"

#include <adwaita.h>
#include <gio/gdesktopappinfo.h>
#include <gtk/gtk.h>

#include <algorithm>
#include <utility>

#include "host/activator/LAActivator.h"
#include "host/preferences/PSListController.h"
#include "host/preferences/PSTableCell.h"
#include "host/preferences/PSViewController.h"
#include "host/ui/UIImage.h"
#include "host/ui/UIKit.h"

namespace {

constexpr int kIconPixels = 32;
constexpr unsigned kFadeMilliseconds = 250;
// A leftward swipe faster than this (pixels a second) deletes the row on a touch screen.
constexpr double kSwipeVelocity = 600;

void setAccessibleLabel(GtkWidget* widget, const std::string& label) {
    gtk_accessible_update_property(GTK_ACCESSIBLE(widget), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                   label.c_str(), -1);
}

// An application's icon: the PNG the title and icon service found for it; else its desktop
// entry's icon from the icon theme (a name the service finds no PNG for, an SVG say); else the
// row's own image (the bundle's, as for the totals).
void setIcon(GtkWidget* image, const std::string& path, const std::string& identifier) {
    gtk_image_set_pixel_size(GTK_IMAGE(image), kIconPixels);
    if (!identifier.empty() &&
        !LAActivator::sharedInstance().smallIconForListenerName(identifier)) {
        GDesktopAppInfo* info = g_desktop_app_info_new((identifier + ".desktop").c_str());
        GIcon* icon = info ? g_app_info_get_icon(G_APP_INFO(info)) : nullptr;
        GtkIconTheme* theme = gtk_icon_theme_get_for_display(gtk_widget_get_display(image));
        bool themed = icon && gtk_icon_theme_has_gicon(theme, icon);
        if (themed) gtk_image_set_from_gicon(GTK_IMAGE(image), icon);
        if (info) g_object_unref(info);
        if (themed) return;
    }
    if (!path.empty())
        gtk_image_set_from_file(GTK_IMAGE(image), path.c_str());
    else
        gtk_image_set_from_icon_name(GTK_IMAGE(image), "application-x-executable");
}

std::string buttonName(const UIBarButtonItem& item) {
    if (item.title()) return *item.title();
    return item.image() ? item.image()->resourceName() : "button";
}

GtkWidget* findNamed(GtkWidget* widget, const std::string& name) {
    if (!widget) return nullptr;
    if (name == gtk_widget_get_name(widget)) return widget;
    for (GtkWidget* child = gtk_widget_get_first_child(widget); child;
         child = gtk_widget_get_next_sibling(child))
        if (GtkWidget* found = findNamed(child, name)) return found;
    return nullptr;
}

// Calls back into the window only while it lives.
template <typename Function>
struct Callback {
    std::weak_ptr<GuiWindow*> window;
    Function function;
    static void destroy(gpointer data, GClosure*) { delete static_cast<Callback*>(data); }
};

template <typename Function>
gpointer callback(const std::shared_ptr<GuiWindow*>& alive, Function function) {
    return new Callback<Function>{alive, std::move(function)};
}

template <typename Function>
bool call(gpointer data) {
    auto* self = static_cast<Callback<Function>*>(data);
    auto window = self->window.lock();
    if (!window || !*window) return false;
    self->function(**window);
    return true;
}

}  // namespace

GuiWindow::GuiWindow(SettingsApplication& settings, GtkApplication* application)
    : settings_(settings), navigator_(settings), alive_(std::make_shared<GuiWindow*>(this)) {
    window_ = application ? adw_application_window_new(application) : adw_window_new();
    g_object_ref_sink(window_);
    gtk_window_set_title(GTK_WINDOW(window_), "Bytarn");
    gtk_window_set_icon_name(GTK_WINDOW(window_), "org.bytarn.Bytarn");
    gtk_window_set_default_size(GTK_WINDOW(window_), 480, 720);

    GtkWidget* content = gtk_box_new(GTK_ORIENTATION_VERTICAL, 0);
    header_ = adw_header_bar_new();
    adw_header_bar_set_show_start_title_buttons(ADW_HEADER_BAR(header_), FALSE);
    title_ = adw_window_title_new("", nullptr);
    gtk_widget_set_name(title_, "title");
    adw_header_bar_set_title_widget(ADW_HEADER_BAR(header_), title_);

    // Header bar buttons are flat, as in GNOME's own applications; libadwaita 1.2 makes only
    // icon buttons flat by itself, and this one has a label beside its icon.
    back_ = gtk_button_new();
    gtk_widget_set_name(back_, "back");
    gtk_widget_add_css_class(back_, "flat");
    GtkWidget* backContent = gtk_box_new(GTK_ORIENTATION_HORIZONTAL, 4);
    gtk_box_append(GTK_BOX(backContent), gtk_image_new_from_icon_name("go-previous-symbolic"));
    backLabel_ = gtk_label_new("");
    gtk_widget_set_name(backLabel_, "back-title");
    gtk_label_set_ellipsize(GTK_LABEL(backLabel_), PANGO_ELLIPSIZE_END);
    gtk_label_set_max_width_chars(GTK_LABEL(backLabel_), 14);
    gtk_box_append(GTK_BOX(backContent), backLabel_);
    gtk_button_set_child(GTK_BUTTON(back_), backContent);
    g_signal_connect_data(back_, "clicked", G_CALLBACK(+[](GtkButton*, gpointer data) {
                              call<void (*)(GuiWindow&)>(data);
                          }),
                          callback(
                              alive_,
                              +[](GuiWindow& self) {
                                  self.navigator_.goBack();
                                  self.refresh();
                              }),
                          &Callback<void (*)(GuiWindow&)>::destroy, GConnectFlags(0));
    adw_header_bar_pack_start(ADW_HEADER_BAR(header_), back_);
    gtk_box_append(GTK_BOX(content), header_);

    scroller_ = gtk_scrolled_window_new();
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scroller_), GTK_POLICY_NEVER,
                                   GTK_POLICY_AUTOMATIC);
    gtk_widget_set_vexpand(scroller_, TRUE);
    // A rebuilt page goes back to where it was scrolled once its rows give it the height.
    GtkAdjustment* adjustment = gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(scroller_));
    g_signal_connect_data(
        adjustment, "changed", G_CALLBACK(+[](GtkAdjustment* adjustment, gpointer data) {
            auto window = static_cast<std::weak_ptr<GuiWindow*>*>(data)->lock();
            if (!window || !*window || (*window)->pendingScroll_ < 0) return;
            double wanted = (*window)->pendingScroll_;
            double most =
                gtk_adjustment_get_upper(adjustment) - gtk_adjustment_get_page_size(adjustment);
            gtk_adjustment_set_value(adjustment, std::min(wanted, most));
            if (most >= wanted) (*window)->pendingScroll_ = -1;
        }),
        new std::weak_ptr<GuiWindow*>(alive_),
        +[](gpointer data, GClosure*) { delete static_cast<std::weak_ptr<GuiWindow*>*>(data); },
        GConnectFlags(0));
    toasts_ = adw_toast_overlay_new();
    adw_toast_overlay_set_child(ADW_TOAST_OVERLAY(toasts_), scroller_);
    gtk_box_append(GTK_BOX(content), toasts_);

    if (application)
        adw_application_window_set_content(ADW_APPLICATION_WINDOW(window_), content);
    else
        adw_window_set_content(ADW_WINDOW(window_), content);

    // The bundle's bar images are drawn for a light bar: on a dark one they are inverted.
    static GtkCssProvider* css = [] {
        GtkCssProvider* provider = gtk_css_provider_new();
        gtk_css_provider_load_from_data(provider,
                                        ".bytarn-dark image.bar-image { filter: invert(1); }", -1);
        gtk_style_context_add_provider_for_display(gdk_display_get_default(),
                                                   GTK_STYLE_PROVIDER(provider),
                                                   GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
        return provider;
    }();
    (void)css;
    AdwStyleManager* style = adw_style_manager_get_default();
    auto followDark = +[](AdwStyleManager* style, GParamSpec*, gpointer window) {
        if (adw_style_manager_get_dark(style))
            gtk_widget_add_css_class(GTK_WIDGET(window), "bytarn-dark");
        else
            gtk_widget_remove_css_class(GTK_WIDGET(window), "bytarn-dark");
    };
    followDark(style, nullptr, window_);
    g_signal_connect_object(style, "notify::dark", G_CALLBACK(followDark), window_,
                            GConnectFlags(0));

    // Keys the whole window answers before any widget: going back, deleting, and arrows that
    // cross from one group's list into the next.
    GtkEventController* keys = gtk_event_controller_key_new();
    gtk_event_controller_set_propagation_phase(keys, GTK_PHASE_CAPTURE);
    g_signal_connect(keys, "key-pressed", G_CALLBACK(onKey), this);
    gtk_widget_add_controller(window_, keys);

    refresh();
}

GuiWindow::~GuiWindow() {
    *alive_ = nullptr;
    dropPopover();
    if (dialog_) gtk_window_destroy(GTK_WINDOW(dialog_));
    gtk_window_destroy(GTK_WINDOW(window_));
    g_object_unref(window_);
}

GtkWidget* GuiWindow::findWidget(const std::string& name) const {
    if (dialog_)
        if (GtkWidget* found = findNamed(dialog_, name)) return found;
    return findNamed(window_, name);
}

GuiWindow::PageState& GuiWindow::stateOf(const std::shared_ptr<PSViewController>& page) {
    std::erase_if(states_, [](const PageState& state) { return state.page.expired(); });
    for (auto& state : states_)
        if (state.page.lock() == page) return state;
    states_.push_back({page, 0, ""});
    return states_.back();
}

GuiWindow::RowView* GuiWindow::rowOfWidget(GtkWidget* widget) {
    for (; widget; widget = gtk_widget_get_parent(widget))
        for (auto& view : rows_)
            if (view.widget == widget) return &view;
    return nullptr;
}

void GuiWindow::saveState() {
    auto page = shownPage_.lock();
    if (!page) return;
    PageState& state = stateOf(page);
    GtkAdjustment* adjustment = gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(scroller_));
    state.scroll = pendingScroll_ >= 0 ? pendingScroll_ : gtk_adjustment_get_value(adjustment);
    if (RowView* focused = rowOfWidget(gtk_root_get_focus(GTK_ROOT(window_))))
        state.focused = focused->row->name();
}

// Following the pages.

void GuiWindow::refresh() {
    // The page follows once the leaving rows have faded.
    if (animations_ > 0) return;
    GuiNavigator::Changes changes = navigator_.takeChanges();
    showMessage();
    if (!changes.newPage && !changes.rebuilt) {
        updateHeader();  // a bar button may have changed its style alone
        return;
    }
    if (!changes.removedAnimated.empty() && gtk_widget_get_mapped(window_)) {
        fadeOut(changes.removedAnimated);
        if (animations_ > 0) return;
    }
    saveState();
    buildPage();
}

void GuiWindow::fadeOut(const std::vector<std::shared_ptr<PSSpecifier>>& rows) {
    for (const auto& row : rows) {
        auto view = std::find_if(rows_.begin(), rows_.end(),
                                 [&](const RowView& shown) { return shown.row == row; });
        if (view == rows_.end()) continue;
        AdwAnimationTarget* target =
            adw_property_animation_target_new(G_OBJECT(view->widget), "opacity");
        AdwAnimation* animation =
            adw_timed_animation_new(view->widget, 1.0, 0.0, kFadeMilliseconds, target);
        ++animations_;
        g_signal_connect_data(animation, "done",
                              G_CALLBACK(+[](AdwAnimation* animation, gpointer data) {
                                  call<void (*)(GuiWindow&)>(data);
                                  g_object_unref(animation);
                              }),
                              callback(
                                  alive_,
                                  +[](GuiWindow& self) {
                                      if (--self.animations_ > 0) return;
                                      self.saveState();
                                      self.buildPage();
                                      self.refresh();
                                  }),
                              &Callback<void (*)(GuiWindow&)>::destroy, GConnectFlags(0));
        adw_animation_play(animation);
    }
}

void GuiWindow::showMessage() {
    std::string text = navigator_.takeMessage();
    if (text.empty()) return;
    lastMessage_ = text;
    adw_toast_overlay_add_toast(ADW_TOAST_OVERLAY(toasts_), adw_toast_new(text.c_str()));
}

void GuiWindow::updateHeader() {
    auto page = navigator_.topPage();
    adw_window_title_set_title(ADW_WINDOW_TITLE(title_), page ? page->title().c_str() : "");
    auto back = navigator_.backTitle();
    bool ownLeft = page && page->navigationItem().leftBarButtonItem();
    gtk_widget_set_visible(back_, back && !ownLeft);
    gtk_label_set_text(GTK_LABEL(backLabel_), back ? back->c_str() : "");
    setAccessibleLabel(back_, "Back to " + back.value_or(""));
    updateBarButton(left_, shownLeft_, page ? page->navigationItem().leftBarButtonItem() : nullptr,
                    "left", true);
    updateBarButton(right_, shownRight_,
                    page ? page->navigationItem().rightBarButtonItem() : nullptr, "right", false);
}

// A bar button: its title as text, or its image; an image button's style shows as pressed.
void GuiWindow::updateBarButton(GtkWidget*& widget, std::shared_ptr<UIBarButtonItem>& shown,
                                const std::shared_ptr<UIBarButtonItem>& item, const char* name,
                                bool start) {
    bool done = item && item->style() == UIBarButtonItemStyleDone;
    if (item && item == shown) {
        if (GTK_IS_TOGGLE_BUTTON(widget) &&
            gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(widget)) != done) {
            // Shown as the item says, without pressing it again.
            g_signal_handlers_block_matched(widget, G_SIGNAL_MATCH_ID,
                                            g_signal_lookup("clicked", GTK_TYPE_BUTTON), 0, nullptr,
                                            nullptr, nullptr);
            gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(widget), done);
            g_signal_handlers_unblock_matched(widget, G_SIGNAL_MATCH_ID,
                                              g_signal_lookup("clicked", GTK_TYPE_BUTTON), 0,
                                              nullptr, nullptr, nullptr);
        }
        return;
    }
    if (widget) adw_header_bar_remove(ADW_HEADER_BAR(header_), widget);
    widget = nullptr;
    shown = item;
    if (!item) return;
    if (item->title()) {
        widget = gtk_button_new_with_label(item->title()->c_str());
        // Flat like every header bar button, but for the done button, which is the suggested one.
        gtk_widget_add_css_class(widget, done ? "suggested-action" : "flat");
    } else {
        // Flat; its checked state still shows it pressed.
        widget = gtk_toggle_button_new();
        gtk_widget_add_css_class(widget, "flat");
        GtkWidget* image = item->image() ? gtk_image_new_from_file(item->image()->path().c_str())
                                         : gtk_image_new_from_icon_name("emblem-system-symbolic");
        gtk_image_set_pixel_size(GTK_IMAGE(image), 20);
        gtk_widget_add_css_class(image, "bar-image");
        gtk_button_set_child(GTK_BUTTON(widget), image);
        gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(widget), done);
    }
    gtk_widget_set_name(widget, name);
    setAccessibleLabel(widget, buttonName(*item));
    gtk_widget_set_tooltip_text(widget, buttonName(*item).c_str());
    bool left = start;
    g_signal_connect_data(widget, "clicked", G_CALLBACK(+[](GtkButton*, gpointer data) {
                              call<std::function<void(GuiWindow&)>>(data);
                          }),
                          callback(alive_, std::function<void(GuiWindow&)>([left](GuiWindow& self) {
                                       if (left)
                                           self.navigator_.pressLeft();
                                       else
                                           self.navigator_.pressRight();
                                       self.refresh();
                                   })),
                          &Callback<std::function<void(GuiWindow&)>>::destroy, GConnectFlags(0));
    if (start)
        adw_header_bar_pack_start(ADW_HEADER_BAR(header_), widget);
    else
        adw_header_bar_pack_end(ADW_HEADER_BAR(header_), widget);
}

void GuiWindow::buildPage() {
    auto page = navigator_.topPage();
    bool samePage = shownPage_.lock() == page;
    shownPage_ = page;
    updateHeader();
    auto list = navigator_.topListPage();
    if (navigator_.datePicker()) {
        rows_.clear();
        shape_.clear();
        return buildDatePage();
    }
    calendar_ = nullptr;
    PSSpecifierList rows = list ? list->specifiers() : PSSpecifierList{};
    if (samePage && updateRowsInPlace(rows)) return;
    // The same page built again takes the focus back only from its own rows.
    GtkWidget* focus = gtk_root_get_focus(GTK_ROOT(window_));
    bool takeFocus = !samePage || !focus || rowOfWidget(focus);
    buildList(rows);
    PageState& state = stateOf(page);
    pendingScroll_ = state.scroll;
    GtkAdjustment* adjustment = gtk_scrolled_window_get_vadjustment(GTK_SCROLLED_WINDOW(scroller_));
    g_signal_emit_by_name(adjustment, "changed");
    if (takeFocus) restoreFocus(state);
}

namespace {

// What a row's widget is made of besides its texts: its kind, and whether it has a level bar.
int rowShape(const PSSpecifier& row) {
    return row.cellType() * 2 + (row.level() ? 1 : 0);
}

}  // namespace

bool GuiWindow::updateRowsInPlace(const PSSpecifierList& rows) {
    std::vector<std::pair<int, std::string>> shape;
    for (const auto& row : rows) shape.emplace_back(rowShape(*row), row->name());
    if (shape != shape_) return false;
    size_t next = 0;
    for (const auto& row : rows) {
        if (row->cellType() == PSGroupCell) continue;
        rows_[next].row = row;
        fillRow(rows_[next++]);
    }
    return true;
}

void GuiWindow::buildList(const PSSpecifierList& rows) {
    dropPopover();
    rows_.clear();
    shape_.clear();
    GtkWidget* column = gtk_box_new(GTK_ORIENTATION_VERTICAL, 24);
    gtk_widget_set_margin_top(column, 18);
    gtk_widget_set_margin_bottom(column, 18);
    gtk_widget_set_margin_start(column, 12);
    gtk_widget_set_margin_end(column, 12);
    GtkWidget* group = nullptr;
    auto newGroup = [&](const std::string& title) {
        GtkWidget* box = gtk_box_new(GTK_ORIENTATION_VERTICAL, 6);
        if (!title.empty()) {
            GtkWidget* heading = gtk_label_new(title.c_str());
            gtk_widget_add_css_class(heading, "heading");
            gtk_label_set_xalign(GTK_LABEL(heading), 0);
            gtk_label_set_wrap(GTK_LABEL(heading), TRUE);
            gtk_widget_set_name(heading, ("group:" + title).c_str());
            gtk_box_append(GTK_BOX(box), heading);
        }
        group = gtk_list_box_new();
        gtk_list_box_set_selection_mode(GTK_LIST_BOX(group), GTK_SELECTION_NONE);
        gtk_widget_add_css_class(group, "boxed-list");
        gtk_box_append(GTK_BOX(box), group);
        gtk_box_append(GTK_BOX(column), box);
    };
    for (const auto& row : rows) {
        shape_.emplace_back(rowShape(*row), row->name());
        if (row->cellType() == PSGroupCell) {
            newGroup(row->name());
            continue;
        }
        if (!group) newGroup("");
        gtk_list_box_append(GTK_LIST_BOX(group), makeRow(row));
    }
    // Groups with no rows (a heading alone) show no empty box; a group with neither heading nor
    // rows (the settings section's opening group) shows nothing at all, not even the spacing
    // before the next group, so the first group starts at the page's top margin.
    for (GtkWidget* box = gtk_widget_get_first_child(column); box;
         box = gtk_widget_get_next_sibling(box)) {
        GtkWidget* list = gtk_widget_get_last_child(box);
        bool hasRows = gtk_widget_get_first_child(list) != nullptr;
        gtk_widget_set_visible(list, hasRows);
        if (!hasRows && gtk_widget_get_first_child(box) == list) gtk_widget_set_visible(box, FALSE);
    }
    GtkWidget* clamp = adw_clamp_new();
    adw_clamp_set_maximum_size(ADW_CLAMP(clamp), 720);
    adw_clamp_set_child(ADW_CLAMP(clamp), column);
    gtk_scrolled_window_set_child(GTK_SCROLLED_WINDOW(scroller_), clamp);
}

GtkWidget* GuiWindow::makeRow(const std::shared_ptr<PSSpecifier>& row) {
    if (row->cellType() == PSEditTextCell) return makeEntryRow(row);
    RowView view;
    view.row = row;
    GtkWidget* widget = adw_action_row_new();
    view.widget = widget;
    adw_preferences_row_set_use_markup(ADW_PREFERENCES_ROW(widget), FALSE);
    // The title gives way to the value: it ellipsizes, the value never does.
    adw_action_row_set_title_lines(ADW_ACTION_ROW(widget), 1);
    gtk_widget_set_name(widget, ("row:" + row->name()).c_str());

    auto cell = PSTableCell::cellForSpecifier(row, 1000, false);
    if (cell->hasIcon()) {
        view.icon = gtk_image_new();
        gtk_widget_set_name(view.icon, "icon");
        adw_action_row_add_prefix(ADW_ACTION_ROW(widget), view.icon);
    }
    if (row->level()) {
        // Used of a limit: fuller is not better, so the bar keeps one colour throughout instead
        // of GTK's low, high and full shades.
        view.level = gtk_level_bar_new_for_interval(0, 1);
        for (const char* offset :
             {GTK_LEVEL_BAR_OFFSET_LOW, GTK_LEVEL_BAR_OFFSET_HIGH, GTK_LEVEL_BAR_OFFSET_FULL})
            gtk_level_bar_remove_offset_value(GTK_LEVEL_BAR(view.level), offset);
        gtk_widget_set_name(view.level, "level");
        // Narrow enough that "Used" and a reached limit's figures fit beside it.
        gtk_widget_set_size_request(view.level, 96, -1);
        gtk_widget_set_valign(view.level, GTK_ALIGN_CENTER);
        adw_action_row_add_suffix(ADW_ACTION_ROW(widget), view.level);
    }
    view.value = gtk_label_new("");
    gtk_widget_set_name(view.value, "value");
    gtk_label_set_ellipsize(GTK_LABEL(view.value), PANGO_ELLIPSIZE_NONE);
    gtk_widget_add_css_class(view.value, "dim-label");
    adw_action_row_add_suffix(ADW_ACTION_ROW(widget), view.value);
    bool opens = cell->hasDisclosure();
    if (opens) {
        GtkWidget* chevron = gtk_image_new_from_icon_name("go-next-symbolic");
        gtk_widget_set_name(chevron, "chevron");
        adw_action_row_add_suffix(ADW_ACTION_ROW(widget), chevron);
    }
    if (row->cellType() == PSSwitchCell) {
        // The row activates its switch: a click anywhere on it, Enter or Space flips it.
        view.toggle = gtk_switch_new();
        gtk_widget_set_name(view.toggle, "switch");
        gtk_widget_set_valign(view.toggle, GTK_ALIGN_CENTER);
        adw_action_row_add_suffix(ADW_ACTION_ROW(widget), view.toggle);
        adw_action_row_set_activatable_widget(ADW_ACTION_ROW(widget), view.toggle);
        g_signal_connect(view.toggle, "state-set", G_CALLBACK(onSwitchSet), this);
    }
    if (row->cellType() == PSListItemCell) {
        view.check = gtk_image_new_from_icon_name("object-select-symbolic");
        gtk_widget_set_name(view.check, "check");
        adw_action_row_add_suffix(ADW_ACTION_ROW(widget), view.check);
    }
    // A button row reads as one: its title in the accent colour, the row activatable.
    if (row->cellType() == PSButtonCell) gtk_widget_add_css_class(widget, "accent");
    bool activatable = opens || row->cellType() == PSListItemCell ||
                       row->cellType() == PSSwitchCell || row->cellType() == PSButtonCell ||
                       !row->detailControllerClass().empty();
    gtk_list_box_row_set_activatable(GTK_LIST_BOX_ROW(widget), activatable);
    g_signal_connect(widget, "activated", G_CALLBACK(onRowActivated), this);

    if (navigator_.canDelete(row)) {
        // A right click offers Delete; a swipe to the left on a touch screen deletes at once.
        GtkGesture* click = gtk_gesture_click_new();
        gtk_gesture_single_set_button(GTK_GESTURE_SINGLE(click), GDK_BUTTON_SECONDARY);
        g_signal_connect(click, "pressed", G_CALLBACK(onContextClick), this);
        gtk_widget_add_controller(widget, GTK_EVENT_CONTROLLER(click));
        GtkGesture* swipe = gtk_gesture_swipe_new();
        gtk_gesture_single_set_touch_only(GTK_GESTURE_SINGLE(swipe), TRUE);
        g_signal_connect(swipe, "swipe", G_CALLBACK(onSwipe), this);
        gtk_widget_add_controller(widget, GTK_EVENT_CONTROLLER(swipe));
    }
    rows_.push_back(view);
    fillRow(rows_.back());
    return widget;
}

// A row that takes typed text: the value is the entry's text, committed with the apply button
// libadwaita shows once something is typed, or with Enter. The placeholder shows while the
// field is focused and empty.
GtkWidget* GuiWindow::makeEntryRow(const std::shared_ptr<PSSpecifier>& row) {
    RowView view;
    view.row = row;
    view.entry = true;
    GtkWidget* widget = adw_entry_row_new();
    view.widget = widget;
    adw_preferences_row_set_use_markup(ADW_PREFERENCES_ROW(widget), FALSE);
    gtk_widget_set_name(widget, ("row:" + row->name()).c_str());
    adw_entry_row_set_show_apply_button(ADW_ENTRY_ROW(widget), TRUE);
    GtkEditable* text = gtk_editable_get_delegate(GTK_EDITABLE(widget));
    if (text && GTK_IS_TEXT(text) && !row->placeholder().empty())
        gtk_text_set_placeholder_text(GTK_TEXT(text), row->placeholder().c_str());
    g_signal_connect(widget, "apply", G_CALLBACK(onEntryApplied), this);
    rows_.push_back(view);
    fillRow(rows_.back(), true);
    return widget;
}

void GuiWindow::fillRow(RowView& view, bool force) {
    auto cell = PSTableCell::cellForSpecifier(view.row, 1000, false);
    std::string title = cell->textLabel()->text().value_or(view.row->name());
    std::string value;
    if (const auto& detail = cell->detailTextLabel(); detail && detail->text())
        value = *detail->text();
    adw_preferences_row_set_title(ADW_PREFERENCES_ROW(view.widget), title.c_str());
    if (view.entry) {
        GtkEditable* entry = GTK_EDITABLE(view.widget);
        bool typedInto = view.entryText != gtk_editable_get_text(entry);
        if (force || !typedInto) {
            // Given without the apply button, which is for what the user types.
            adw_entry_row_set_show_apply_button(ADW_ENTRY_ROW(view.widget), FALSE);
            gtk_editable_set_text(entry, value.c_str());
            adw_entry_row_set_show_apply_button(ADW_ENTRY_ROW(view.widget), TRUE);
            view.entryText = value;
        }
        setAccessibleLabel(view.widget, title);
        gtk_accessible_update_property(GTK_ACCESSIBLE(view.widget),
                                       GTK_ACCESSIBLE_PROPERTY_DESCRIPTION, value.c_str(), -1);
        return;
    }
    gtk_label_set_text(GTK_LABEL(view.value), value.c_str());
    gtk_widget_set_visible(view.value, !value.empty());
    bool checked = navigator_.isChecked(*view.row);
    if (view.check) gtk_widget_set_opacity(view.check, checked ? 1.0 : 0.0);
    if (view.level)
        gtk_level_bar_set_value(GTK_LEVEL_BAR(view.level), view.row->level().value_or(0));
    if (view.toggle) {
        // The page's state, not the click's: a refused change shows the switch as it was.
        const bool on = switchIsOn(*view.row);
        updatingSwitch_ = true;
        gtk_switch_set_active(GTK_SWITCH(view.toggle), on);
        gtk_switch_set_state(GTK_SWITCH(view.toggle), on);
        updatingSwitch_ = false;
        value = on ? "on" : "off";
    }
    if (view.icon) {
        auto image = view.row->property<std::shared_ptr<UIImage>>("iconImage");
        std::string path = image && *image ? (*image)->path() : "";
        if (path != view.iconPath || path.empty()) {
            view.iconPath = path;
            const std::string* identifier = view.row->identifierIfString();
            setIcon(view.icon, path, identifier ? *identifier : "");
        }
    }
    // A screen reader says the title, then the value and whether the item is the chosen one.
    setAccessibleLabel(view.widget, title);
    std::string description = value;
    if (checked) description += description.empty() ? "chosen" : ", chosen";
    gtk_accessible_update_property(GTK_ACCESSIBLE(view.widget), GTK_ACCESSIBLE_PROPERTY_DESCRIPTION,
                                   description.c_str(), -1);
}

void GuiWindow::restoreFocus(const PageState& state) {
    GtkWidget* chosen = nullptr;
    for (const auto& view : rows_)
        if (!state.focused.empty() && view.row->name() == state.focused) chosen = view.widget;
    // The first look at a page: a choice list starts on its checked item, any other page on its
    // first row.
    for (const auto& view : rows_)
        if (!chosen && navigator_.isChecked(*view.row)) chosen = view.widget;
    if (!chosen && !rows_.empty()) chosen = rows_.front().widget;
    if (chosen) gtk_widget_grab_focus(chosen);
}

void GuiWindow::buildDatePage() {
    dropPopover();
    calendar_ = gtk_calendar_new();
    gtk_widget_set_name(calendar_, "calendar");
    setAccessibleLabel(calendar_, navigator_.topPage()->title());
    if (auto day = navigator_.pickedDay()) {
        GDateTime* date = g_date_time_new_utc((*day)[0], (*day)[1], (*day)[2], 12, 0, 0);
        gtk_calendar_select_day(GTK_CALENDAR(calendar_), date);
        g_date_time_unref(date);
    }
    g_signal_connect(
        calendar_, "day-selected", G_CALLBACK(+[](GtkCalendar* calendar, gpointer self) {
            GDateTime* date = gtk_calendar_get_date(calendar);
            static_cast<GuiWindow*>(self)->navigator_.pickDay(g_date_time_get_year(date),
                                                              g_date_time_get_month(date),
                                                              g_date_time_get_day_of_month(date));
            g_date_time_unref(date);
        }),
        this);
    GtkWidget* clamp = adw_clamp_new();
    adw_clamp_set_maximum_size(ADW_CLAMP(clamp), 420);
    gtk_widget_set_valign(clamp, GTK_ALIGN_START);
    gtk_widget_set_margin_top(clamp, 24);
    gtk_widget_set_margin_start(clamp, 12);
    gtk_widget_set_margin_end(clamp, 12);
    adw_clamp_set_child(ADW_CLAMP(clamp), calendar_);
    gtk_scrolled_window_set_child(GTK_SCROLLED_WINDOW(scroller_), clamp);
    gtk_widget_grab_focus(calendar_);
}

// Input.

std::shared_ptr<PSSpecifier> GuiWindow::rowOf(GtkWidget* widget) {
    RowView* view = rowOfWidget(widget);
    return view ? view->row : nullptr;
}

void GuiWindow::onContextClick(GtkGestureClick* click, int, double x, double y, gpointer data) {
    auto* self = static_cast<GuiWindow*>(data);
    GtkWidget* row = gtk_event_controller_get_widget(GTK_EVENT_CONTROLLER(click));
    GtkWidget* popover = gtk_popover_new();
    GtkWidget* remove = gtk_button_new_with_label("Delete");
    gtk_widget_add_css_class(remove, "flat");
    gtk_widget_set_name(remove, "context-delete");
    gtk_popover_set_child(GTK_POPOVER(popover), remove);
    self->dropPopover();
    self->popover_ = popover;
    gtk_widget_set_parent(popover, row);
    GdkRectangle at{static_cast<int>(x), static_cast<int>(y), 1, 1};
    gtk_popover_set_pointing_to(GTK_POPOVER(popover), &at);
    g_object_set_data(G_OBJECT(remove), "row", row);
    g_signal_connect(remove, "clicked", G_CALLBACK(onContextDelete), self);
    g_signal_connect(popover, "closed", G_CALLBACK(onPopoverClosed), self);
    gtk_popover_popup(GTK_POPOVER(popover));
}

void GuiWindow::onContextDelete(GtkButton* button, gpointer data) {
    auto* self = static_cast<GuiWindow*>(data);
    auto* row = static_cast<GtkWidget*>(g_object_get_data(G_OBJECT(button), "row"));
    gtk_popover_popdown(GTK_POPOVER(gtk_widget_get_ancestor(GTK_WIDGET(button), GTK_TYPE_POPOVER)));
    if (auto specifier = self->rowOf(row)) self->confirmDelete(specifier);
}

void GuiWindow::onPopoverClosed(GtkPopover*, gpointer data) {
    // Dropped once the popover's own signal is over, if nothing dropped it before.
    auto* alive = new std::weak_ptr<GuiWindow*>(static_cast<GuiWindow*>(data)->alive_);
    g_idle_add_once(
        [](gpointer data) {
            std::unique_ptr<std::weak_ptr<GuiWindow*>> alive(
                static_cast<std::weak_ptr<GuiWindow*>*>(data));
            if (auto window = alive->lock(); window && *window) (*window)->dropPopover();
        },
        alive);
}

void GuiWindow::dropPopover() {
    // A row's context menu goes with the row: before the page is built again, and once closed.
    if (!popover_) return;
    GtkWidget* popover = std::exchange(popover_, nullptr);
    gtk_widget_unparent(popover);
}

void GuiWindow::onSwipe(GtkGestureSwipe* swipe, double vx, double vy, gpointer data) {
    if (vx > -kSwipeVelocity || std::abs(vy) > std::abs(vx)) return;
    auto* self = static_cast<GuiWindow*>(data);
    if (auto row = self->rowOf(gtk_event_controller_get_widget(GTK_EVENT_CONTROLLER(swipe)))) {
        self->navigator_.deleteRow(row);
        self->refresh();
    }
}

void GuiWindow::onRowActivated(GtkWidget* widget, gpointer data) {
    auto* self = static_cast<GuiWindow*>(data);
    RowView* view = self->rowOfWidget(widget);
    if (!view) return;
    // A switch row's switch took the activation (onSwitchSet).
    if (view->toggle) return;
    auto row = view->row;
    self->navigator_.tap(row);
    self->refresh();
}

gboolean GuiWindow::onSwitchSet(GtkSwitch* toggle, gboolean on, gpointer data) {
    auto* self = static_cast<GuiWindow*>(data);
    if (self->updatingSwitch_) return FALSE;
    RowView* view = nullptr;
    for (auto& candidate : self->rows_)
        if (candidate.toggle == GTK_WIDGET(toggle)) view = &candidate;
    if (!view) return TRUE;
    self->flipSwitch(view->row, on);
    // Handled: the refresh gave the switch the state the page has now.
    return TRUE;
}

void GuiWindow::flipSwitch(const std::shared_ptr<PSSpecifier>& row, bool on) {
    navigator_.setSwitch(row, on);
    refresh();
    for (auto& view : rows_)
        if (view.row == row && view.toggle) fillRow(view);
}

void GuiWindow::onEntryApplied(GtkWidget* entry, gpointer data) {
    auto* self = static_cast<GuiWindow*>(data);
    RowView* view = self->rowOfWidget(entry);
    if (!view) return;
    auto row = view->row;
    self->applyText(row, gtk_editable_get_text(GTK_EDITABLE(entry)));
}

void GuiWindow::applyText(const std::shared_ptr<PSSpecifier>& row, const std::string& text) {
    std::string name = row->name();
    navigator_.enterText(row, text);
    refresh();
    // Stored, refused or cancelled: the row shows the value the page has now.
    for (auto& view : rows_)
        if (view.entry && view.row->name() == name) fillRow(view, true);
}

bool GuiWindow::moveFocus(int direction) {
    RowView* focused = rowOfWidget(gtk_root_get_focus(GTK_ROOT(window_)));
    if (!focused) return false;
    auto at = static_cast<long>(focused - rows_.data());
    long next = at + direction;
    if (next < 0 || next >= static_cast<long>(rows_.size())) return true;
    gtk_widget_grab_focus(rows_[static_cast<size_t>(next)].widget);
    return true;
}

gboolean GuiWindow::onKey(void*, unsigned keyval, unsigned, int state, gpointer data) {
    return static_cast<GuiWindow*>(data)->handleKey(keyval, (state & GDK_ALT_MASK) != 0);
}

bool GuiWindow::handleKey(unsigned keyval, bool alt) {
    if (dialog_) return false;
    if (RowView* focused = rowOfWidget(gtk_root_get_focus(GTK_ROOT(window_)));
        focused && focused->entry) {
        // In a text field Esc drops what was typed before it goes back, and Delete is the
        // field's own.
        GtkEditable* entry = GTK_EDITABLE(focused->widget);
        if (keyval == GDK_KEY_Escape && focused->entryText != gtk_editable_get_text(entry)) {
            fillRow(*focused, true);
            return true;
        }
        if (keyval == GDK_KEY_Delete || keyval == GDK_KEY_KP_Delete) return false;
    }
    if (keyval == GDK_KEY_Escape || (alt && keyval == GDK_KEY_Left)) {
        navigator_.goBack();
        refresh();
        return true;
    }
    if (calendar_) return false;
    if (keyval == GDK_KEY_Up || keyval == GDK_KEY_Down)
        return moveFocus(keyval == GDK_KEY_Up ? -1 : 1);
    if (keyval == GDK_KEY_Delete || keyval == GDK_KEY_KP_Delete) {
        auto focused = rowOf(gtk_root_get_focus(GTK_ROOT(window_)));
        if (!focused) return false;
        confirmDelete(focused);
        return true;
    }
    return false;
}

void GuiWindow::confirmDelete(const std::shared_ptr<PSSpecifier>& row) {
    if (dialog_ || !navigator_.canDelete(row)) return;
    dialog_ = adw_message_dialog_new(GTK_WINDOW(window_), ("Delete " + row->name() + "?").c_str(),
                                     "Its usage records are removed.");
    gtk_widget_set_name(dialog_, "confirm-delete");
    adw_message_dialog_add_responses(ADW_MESSAGE_DIALOG(dialog_), "cancel", "Cancel", "delete",
                                     "Delete", nullptr);
    adw_message_dialog_set_response_appearance(ADW_MESSAGE_DIALOG(dialog_), "delete",
                                               ADW_RESPONSE_DESTRUCTIVE);
    adw_message_dialog_set_default_response(ADW_MESSAGE_DIALOG(dialog_), "cancel");
    adw_message_dialog_set_close_response(ADW_MESSAGE_DIALOG(dialog_), "cancel");
    // By name: a reload while the question is open makes new rows.
    g_signal_connect_data(
        dialog_, "response",
        G_CALLBACK(+[](AdwMessageDialog*, const char* response, gpointer data) {
            auto* self = static_cast<Callback<std::string>*>(data);
            auto window = self->window.lock();
            if (!window || !*window) return;
            GuiWindow& gui = **window;
            gui.dialog_ = nullptr;
            if (std::string(response) != "delete") return;
            auto list = gui.navigator_.topListPage();
            std::shared_ptr<PSSpecifier> current;
            if (list)
                for (const auto& candidate : list->specifiers())
                    if (candidate->name() == self->function && gui.navigator_.canDelete(candidate))
                        current = candidate;
            if (current) gui.navigator_.deleteRow(current);
            gui.refresh();
        }),
        new Callback<std::string>{alive_, row->name()}, &Callback<std::string>::destroy,
        GConnectFlags(0));
    gtk_window_present(GTK_WINDOW(dialog_));
}
