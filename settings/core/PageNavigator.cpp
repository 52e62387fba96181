#include "settings/core/PageNavigator.h"

#include <unicode/calendar.h>

#include <algorithm>
#include <exception>

#include "host/foundation/RunLoop.h"
#include "host/preferences/PSListController.h"
#include "host/preferences/PSListItemsController.h"
#include "host/preferences/PSViewController.h"
#include "host/ui/UIDatePicker.h"
#include "settings/core/SettingsApplication.h"

namespace {

// The picker's date on the local calendar, which the day, month and year are counted in.
std::unique_ptr<icu::Calendar> calendarAt(NSDate date) {
    UErrorCode status = U_ZERO_ERROR;
    std::unique_ptr<icu::Calendar> calendar(icu::Calendar::createInstance(status));
    if (U_FAILURE(status) || !calendar) return nullptr;
    calendar->setTime(date.timeIntervalSince1970 * 1000.0, status);
    return U_SUCCESS(status) ? std::move(calendar) : nullptr;
}

}  // namespace

PageNavigator::PageNavigator(SettingsApplication& application) : application_(application) {}

PageNavigator::~PageNavigator() = default;

std::shared_ptr<PSViewController> PageNavigator::topPage() const {
    return application_.topPage();
}

std::shared_ptr<PSListController> PageNavigator::topListPage() const {
    return std::dynamic_pointer_cast<PSListController>(topPage());
}

std::optional<std::string> PageNavigator::backTitle() const {
    const auto& stack = application_.navigationController()->childViewControllers();
    if (stack.size() < 2) return std::nullopt;
    return stack[stack.size() - 2]->title();
}

std::shared_ptr<UIDatePicker> PageNavigator::datePicker() const {
    auto page = topPage();
    if (!page || !page->view()) return nullptr;
    return page->view()->findSubview<UIDatePicker>();
}

bool PageNavigator::isChecked(const PSSpecifier& row) const {
    auto items = std::dynamic_pointer_cast<PSListItemsController>(topPage());
    return items && row.cellType() == PSListItemCell && items->isItemChecked(row);
}

bool PageNavigator::canDelete(const std::shared_ptr<PSSpecifier>& row) const {
    auto list = topListPage();
    if (!list || !row) return false;
    auto path = list->indexPathForIndex(list->indexOfSpecifier(row));
    return path && list->tableView(list->table(), *path) == UITableViewCellEditingStyleDelete;
}

void PageNavigator::act(const std::function<void()>& action) {
    try {
        action();
    } catch (const std::exception& failure) {
        message_ = failure.what();
    }
    try {
        RunLoop::main().runUntilIdle();
    } catch (const std::exception& failure) {
        message_ = failure.what();
    }
}

void PageNavigator::tap(const std::shared_ptr<PSSpecifier>& row) {
    auto list = topListPage();
    if (!list || !row) return;
    act([&] {
        std::string error;
        // A row that opens nothing is simply not tappable; anything else that fails says why.
        if (!list->didSelectSpecifier(row, &error) && !row->detailControllerClass().empty())
            message_ = error;
    });
}

void PageNavigator::goBack() {
    auto page = topPage();
    if (!page) return;
    // A page's own left button stands where the back button would.
    if (page->navigationItem().leftBarButtonItem()) return pressLeft();
    auto navigation = application_.navigationController();
    if (navigation->childViewControllers().size() < 2) return;
    act([&] { navigation->popViewControllerAnimated(true); });
}

void PageNavigator::press(const std::shared_ptr<UIBarButtonItem>& button, const char* which) {
    if (!button) {
        message_ = std::string("This page has no ") + which + " button";
        return;
    }
    act([&] {
        if (!button->press()) message_ = "The button did nothing";
    });
}

void PageNavigator::pressLeft() {
    if (auto page = topPage()) press(page->navigationItem().leftBarButtonItem(), "left");
}

void PageNavigator::pressRight() {
    if (auto page = topPage()) press(page->navigationItem().rightBarButtonItem(), "right");
}

void PageNavigator::deleteRow(const std::shared_ptr<PSSpecifier>& row) {
    auto list = topListPage();
    if (!list || !row) return;
    auto path = list->indexPathForIndex(list->indexOfSpecifier(row));
    if (!path) {
        message_ = row->name() + " is no longer there";
        return;
    }
    act([&] { list->tableView(list->table(), UITableViewCellEditingStyleDelete, *path); });
}

void PageNavigator::enterText(const std::shared_ptr<PSSpecifier>& row, const std::string& text) {
    if (!row) return;
    act([&] { commitEditText(row, text); });
}

void PageNavigator::setSwitch(const std::shared_ptr<PSSpecifier>& row, bool on) {
    if (!row) return;
    act([&] { commitSwitch(row, on); });
}

std::optional<std::array<int, 3>> PageNavigator::pickedDay() const {
    auto picker = datePicker();
    auto calendar = picker ? calendarAt(picker->date()) : nullptr;
    if (!calendar) return std::nullopt;
    UErrorCode status = U_ZERO_ERROR;
    std::array<int, 3> day{calendar->get(UCAL_YEAR, status), calendar->get(UCAL_MONTH, status) + 1,
                           calendar->get(UCAL_DATE, status)};
    if (U_FAILURE(status)) return std::nullopt;
    return day;
}

void PageNavigator::pickDay(int year, int month, int day) {
    auto picker = datePicker();
    auto calendar = picker ? calendarAt(picker->date()) : nullptr;
    if (!calendar) return;
    // The day changes in the picker's local calendar; the time of day it holds stays.
    UErrorCode status = U_ZERO_ERROR;
    calendar->set(UCAL_YEAR, year);
    calendar->set(UCAL_MONTH, month - 1);
    calendar->set(UCAL_DATE, day);
    UDate moved = calendar->getTime(status);
    if (U_SUCCESS(status)) picker->setDate(NSDate{moved / 1000.0});
}

void PageNavigator::turnDate(DatePart part, int amount) {
    static const UCalendarDateFields kFields[] = {UCAL_DATE, UCAL_MONTH, UCAL_YEAR};
    auto picker = datePicker();
    auto calendar = picker ? calendarAt(picker->date()) : nullptr;
    if (!calendar) return;
    UErrorCode status = U_ZERO_ERROR;
    calendar->add(kFields[static_cast<int>(part)], amount, status);
    UDate moved = calendar->getTime(status);
    if (U_SUCCESS(status)) picker->setDate(NSDate{moved / 1000.0});
}

void PageNavigator::dropUpdatesBelowTop() const {
    auto page = topPage();
    for (const auto& below : application_.navigationController()->childViewControllers())
        if (below != page)
            if (auto list = std::dynamic_pointer_cast<PSListController>(below))
                list->table().takeUpdates();
}

PSSpecifierList PageNavigator::removedAnimated(const PSSpecifierList& shown,
                                               const std::vector<UITableView::Update>& updates) {
    using Update = UITableView::Update;
    PSSpecifierList removed, before = shown;
    for (const auto& update : updates) {
        if (update.kind == Update::Scroll) continue;
        if (update.kind != Update::Remove) break;
        // From the highest index down, so that erasing one leaves the others in place.
        auto indices = update.indices;
        std::sort(indices.begin(), indices.end(), std::greater<>());
        for (int index : indices) {
            if (index < 0 || index >= static_cast<int>(before.size())) continue;
            if (update.animated) removed.push_back(before[static_cast<size_t>(index)]);
            before.erase(before.begin() + index);
        }
    }
    return removed;
}
