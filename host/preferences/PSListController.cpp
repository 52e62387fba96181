#include "host/preferences/PSListController.h"

#include <algorithm>

#include "host/foundation/NSBundle.h"
#include "host/foundation/PreferenceStore.h"
#include "host/foundation/PropertyList.h"
#include "host/foundation/SystemLog.h"
#include "host/preferences/ClassRegistry.h"

PSListController::PSListController() : table_(std::make_shared<UITableView>()) {}

void PSListController::loadView() {
    table_->setFrame(CGRectMake(0, 0, kScreenWidth, kScreenHeight));
    view()->addSubview(table_);
}

const PSSpecifierList& PSListController::specifiers() {
    if (!_specifiers) _specifiers.emplace();
    return *_specifiers;
}

void PSListController::viewWillAppear(bool) {
    specifiers();
}

void PSListController::reloadSpecifiers() {
    _specifiers.reset();
    specifiers();
    table_->reloadData();
}

void PSListController::insertSpecifier(const std::shared_ptr<PSSpecifier>& row, int index,
                                       bool animated) {
    insertContiguousSpecifiers({row}, index, animated);
}

void PSListController::insertContiguousSpecifiers(const PSSpecifierList& rows, int index,
                                                  bool animated) {
    if (!_specifiers) _specifiers.emplace();
    auto& list = *_specifiers;
    index = std::clamp(index, 0, static_cast<int>(list.size()));
    list.insert(list.begin() + index, rows.begin(), rows.end());
    std::vector<int> indices;
    for (size_t i = 0; i < rows.size(); ++i) indices.push_back(index + static_cast<int>(i));
    table_->recordInsert(std::move(indices), animated);
}

void PSListController::removeSpecifierAtIndex(int index, bool animated) {
    if (!_specifiers || index < 0 || index >= static_cast<int>(_specifiers->size())) return;
    _specifiers->erase(_specifiers->begin() + index);
    table_->recordRemove({index}, animated);
}

void PSListController::removeContiguousSpecifiers(const PSSpecifierList& rows, bool animated) {
    if (!_specifiers) return;
    std::vector<int> removed;
    PSSpecifierList kept;
    for (size_t i = 0; i < _specifiers->size(); ++i) {
        const auto& row = (*_specifiers)[i];
        if (std::find(rows.begin(), rows.end(), row) != rows.end())
            removed.push_back(static_cast<int>(i));
        else
            kept.push_back(row);
    }
    if (removed.empty()) return;
    *_specifiers = std::move(kept);
    table_->recordRemove(std::move(removed), animated);
}

int PSListController::indexOfGroup(int section) const {
    if (!_specifiers || section < 0) return -1;
    int seen = 0;
    for (size_t i = 0; i < _specifiers->size(); ++i) {
        if ((*_specifiers)[i]->cellType() != PSGroupCell) continue;
        if (seen++ == section) return static_cast<int>(i);
    }
    return -1;
}

int PSListController::numberOfGroups() const {
    if (!_specifiers) return 0;
    return static_cast<int>(std::count_if(_specifiers->begin(), _specifiers->end(),
                                          [](auto& r) { return r->cellType() == PSGroupCell; }));
}

std::optional<NSIndexPath> PSListController::indexPathForIndex(int index) const {
    if (!_specifiers || index < 0 || index >= static_cast<int>(_specifiers->size())) return {};
    if ((*_specifiers)[index]->cellType() == PSGroupCell) return {};
    int section = -1;
    int groupIndex = -1;
    for (int i = 0; i < index; ++i) {
        if ((*_specifiers)[i]->cellType() == PSGroupCell) {
            ++section;
            groupIndex = i;
        }
    }
    if (section < 0) return {};  // rows before any group belong to no section
    return NSIndexPath{section, index - groupIndex - 1};
}

int PSListController::indexOfSpecifier(const std::shared_ptr<PSSpecifier>& row) const {
    if (!_specifiers) return -1;
    auto it = std::find(_specifiers->begin(), _specifiers->end(), row);
    return it == _specifiers->end() ? -1 : static_cast<int>(it - _specifiers->begin());
}

std::shared_ptr<PSSpecifier> PSListController::specifierAtIndex(int index) const {
    if (!_specifiers || index < 0 || index >= static_cast<int>(_specifiers->size())) return nullptr;
    return (*_specifiers)[index];
}

namespace {

PSCellType cellTypeNamed(const std::string& name) {
    static const std::pair<const char*, PSCellType> kTypes[] = {
        {"PSGroupCell", PSGroupCell},           {"PSLinkCell", PSLinkCell},
        {"PSLinkListCell", PSLinkListCell},     {"PSListItemCell", PSListItemCell},
        {"PSTitleValueCell", PSTitleValueCell}, {"PSStaticTextCell", PSStaticTextCell},
        {"PSButtonCell", PSButtonCell},         {"PSEditTextCell", PSEditTextCell},
        {"PSSwitchCell", PSSwitchCell},
    };
    for (const auto& [n, type] : kTypes)
        if (name == n) return type;
    return PSStaticTextCell;
}

// Properties that rows hold as plain strings; everything else keeps its plist value.
bool isStringProperty(const std::string& key) {
    return key == "key" || key == "id" || key == "defaults" || key == "cellClass" ||
           key == "placeholder";
}

}  // namespace

PSSpecifierList PSListController::loadSpecifiersFromPlistName(
    const std::string& name, const std::shared_ptr<PSListController>& target) {
    PSSpecifierList rows;
    auto path = bundle() ? bundle()->pathForResource(name, "plist") : std::nullopt;
    if (!path) {
        SystemLog::write("Settings: no plist named " + name + " in the page's bundle");
        return rows;
    }
    std::string error;
    auto plist = PropertyList::readFile(*path, &error);
    const Value* items = plist ? plist->find("items") : nullptr;
    if (!items || !items->array()) {
        SystemLog::write("Settings: unreadable plist " + *path + ": " +
                         (plist ? "no \"items\" array" : error));
        return rows;
    }
    for (const Value& item : *items->array()) {
        const auto* dict = item.dictionary();
        if (!dict) continue;
        auto row = std::make_shared<PSSpecifier>();
        row->setTarget(target);
        for (const auto& [key, value] : *dict) {
            if (key == "label")
                row->setName(value.stringValue().value_or(""));
            else if (key == "cell")
                row->setCellType(cellTypeNamed(value.stringValue().value_or("")));
            else if (key == "detail")
                row->setDetailControllerClass(value.stringValue().value_or(""));
            else if (isStringProperty(key) && value.string())
                row->setProperty(*value.string(), key);
            else
                row->setProperty(value, key);
        }
        if (!dict->count("cell")) row->setCellType(PSStaticTextCell);
        if (row->stringProperty("key")) {
            row->setGetter(
                [](PSListController& page, PSSpecifier& r) { return page.readPreferenceValue(r); });
            row->setSetter(
                [](PSListController& page, const Value& v, const std::shared_ptr<PSSpecifier>& r) {
                    page.setPreferenceValue(v, r);
                });
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

Value PSListController::readPreferenceValue(const PSSpecifier& row) {
    auto key = row.stringProperty("key");
    auto domain = row.stringProperty("defaults");
    if (key && domain) {
        Value stored = PreferenceStore::valueForKey(*domain, *key);
        if (!stored.isNull()) return stored;
    }
    return row.valueProperty("default");
}

void PSListController::setPreferenceValue(const Value& value,
                                          const std::shared_ptr<PSSpecifier>& row) {
    if (!row) return;
    auto key = row->stringProperty("key");
    auto domain = row->stringProperty("defaults");
    if (!key || !domain) {
        SystemLog::write("Settings: row \"" + row->name() +
                         "\" has no key or preference domain; value not stored");
        return;
    }
    PreferenceStore::setValueForKey(*domain, *key, value);
}

UITableViewCellEditingStyle PSListController::tableView(UITableView&, NSIndexPath) {
    return UITableViewCellEditingStyleNone;
}

void PSListController::tableView(UITableView&, UITableViewCellEditingStyle, NSIndexPath) {}

bool PSListController::didSelectSpecifier(const std::shared_ptr<PSSpecifier>& row,
                                          std::string* error) {
    auto fail = [&](std::string why) {
        if (error) *error = std::move(why);
        return false;
    };
    if (!row) return fail("no such row");
    const std::string& className = row->detailControllerClass();
    if (className.empty()) return fail("row \"" + row->name() + "\" opens no page");
    auto page = ClassRegistry::shared().createPage(className);
    if (!page) return fail("no page class named " + className);
    auto nav = navigationController();
    if (!nav) return fail("the page is not on a navigation stack");
    page->setBundle(bundle());
    page->setSpecifier(row);
    page->setParentController(shared_from_this());
    page->setTitle(row->name());
    nav->pushViewController(page, true);
    return true;
}
