#include "settings/gui/GuiNavigator.h"

#include "host/preferences/PSListController.h"
#include "host/preferences/PSViewController.h"

GuiNavigator::GuiNavigator(SettingsApplication& application) : PageNavigator(application) {}

void GuiNavigator::act(const std::function<void()>& action) {
    // The window shows what this action had to say, not what an earlier one did.
    clearMessage();
    PageNavigator::act(action);
}

std::string GuiNavigator::takeMessage() {
    std::string text = message();
    clearMessage();
    return text;
}

GuiNavigator::Changes GuiNavigator::takeChanges() {
    // Not this class's act: what the last action had to say stays until the window shows it.
    PageNavigator::act([] {});
    Changes changes;
    auto page = topPage();
    auto list = std::dynamic_pointer_cast<PSListController>(page);
    dropUpdatesBelowTop();
    if (shownPage_.lock() != page) {
        shownPage_ = page;
        changes.newPage = true;
        if (list) list->table().takeUpdates();
    } else if (list) {
        auto updates = list->table().takeUpdates();
        changes.rebuilt = !updates.empty();
        changes.removedAnimated = removedAnimated(shownRows_, updates);
    }
    shownRows_ = list && !datePicker() ? list->specifiers() : PSSpecifierList{};
    return changes;
}
