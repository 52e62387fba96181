#include "host/preferences/PSListItemsController.h"

namespace {
const char* const kItemValueKey = "value";
}

const PSSpecifierList& PSListItemsController::specifiers() {
    if (_specifiers) return *_specifiers;
    PSSpecifierList items;
    items.push_back(PSSpecifier::emptyGroupSpecifier());
    const auto& choice = specifier();
    if (choice) {
        Value titles = choice->valueProperty("validTitles");
        Value values = choice->valueProperty("validValues");
        if (titles.array() && values.array()) {
            const auto& ts = *titles.array();
            const auto& vs = *values.array();
            for (size_t i = 0; i < ts.size() && i < vs.size(); ++i) {
                auto item =
                    PSSpecifier::preferenceSpecifierNamed(ts[i].stringValue().value_or(""), nullptr,
                                                          nullptr, nullptr, {}, PSListItemCell);
                item->setProperty(vs[i], kItemValueKey);
                items.push_back(std::move(item));
            }
        }
    }
    _specifiers = std::move(items);
    return *_specifiers;
}

std::optional<Value> PSListItemsController::currentValue() const {
    const auto& choice = specifier();
    if (!choice) return std::nullopt;
    auto owner = choice->target();
    if (!owner || !choice->getter()) return std::nullopt;
    return choice->getter()(*owner, *choice);
}

bool PSListItemsController::isItemChecked(const PSSpecifier& item) const {
    auto value = item.property<Value>(kItemValueKey);
    auto current = currentValue();
    return value && current && *value == *current;
}

void PSListItemsController::listItemSelected(const std::shared_ptr<PSSpecifier>& item) {
    const auto& choice = specifier();
    auto value = item ? item->property<Value>(kItemValueKey) : nullptr;
    if (!choice || !value) return;
    auto owner = choice->target();
    if (owner && choice->setter()) choice->setter()(*owner, *value, choice);
    // The check mark moves with the stored value; the table redraws the items.
    table().reloadData();
}

bool PSListItemsController::didSelectSpecifier(const std::shared_ptr<PSSpecifier>& row,
                                               std::string* error) {
    if (!row || !row->property<Value>(kItemValueKey)) {
        if (error) *error = "not an item of this list";
        return false;
    }
    listItemSelected(row);
    return true;
}
