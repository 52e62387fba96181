#include "pages/BytarnEntryController.h"

#include "data/BytarnComparisons.h"
#include "data/BytarnEntry.h"
#include "host/foundation/UsageString.h"
#include "host/preferences/ClassRegistry.h"
#include "host/ui/UIImage.h"
#include "root/BytarnController.h"

REGISTER_PAGE_CLASS(BytarnEntryController);

std::shared_ptr<BytarnController> BytarnEntryController::root() const {
    return std::dynamic_pointer_cast<BytarnController>(parentController());
}

std::shared_ptr<BytarnEntryController> BytarnEntryController::self() {
    return std::static_pointer_cast<BytarnEntryController>(shared_from_this());
}

std::shared_ptr<PSSpecifier> BytarnEntryController::usageSpecifier(const std::string& name) {
    auto row = PSSpecifier::preferenceSpecifierNamed(
        name, self(), nullptr,
        [](PSListController& target, PSSpecifier& r) -> Value {
            return static_cast<BytarnEntryController&>(target).usage(r);
        },
        {}, PSTitleValueCell);
    auto parent = root();
    std::shared_ptr<UIImage> icon;
    if (parent) icon = name == "Cellular" ? parent->cellularImage() : parent->wifiImage();
    row->setProperty(std::move(icon), "iconImage");
    return row;
}

PSSpecifierList BytarnEntryController::settingsSpecifiers() const {
    auto parent = root();
    if (!parent || !parent->settingsSpecifiers()) return {};
    const PSSpecifierList& all = *parent->settingsSpecifiers();
    // The first two rows belong to no page, and the last two (the custom dates) only to the
    // root page.
    if (all.size() <= 4) return {};
    return PSSpecifierList(all.begin() + 2, all.end() - 2);
}

const PSSpecifierList& BytarnEntryController::specifiers() {
    if (_specifiers) return *_specifiers;
    auto parent = root();
    if (!originalSpecifier_) {
        originalSpecifier_ = specifier();
        if (originalSpecifier_) setTitle(originalSpecifier_->name());
    }
    if (!navigationItem().rightBarButtonItem() && parent) {
        // The button runs the root page's handler, which updates the root page first and then
        // this one.
        auto rootButton = parent->navigationItem().rightBarButtonItem();
        auto button = UIBarButtonItem::withImage(
            rootButton ? rootButton->image() : nullptr,
            rootButton ? rootButton->style() : UIBarButtonItemStylePlain, parent,
            "settingsClicked:", [](PSViewController& target, UIBarButtonItem& sender) {
                static_cast<BytarnController&>(target).settingsClicked(&sender);
            });
        navigationItem().setRightBarButtonItem(std::move(button));
    }

    PSSpecifierList rows;
    rows.push_back(PSSpecifier::groupSpecifierWithName(
        "Usage" + (parent ? parent->settingsSummarySuffix() : std::string())));
    auto totalRow = PSSpecifier::preferenceSpecifierNamed(
        originalSpecifier_ ? originalSpecifier_->name() : std::string(), self(), nullptr,
        [](PSListController& target, PSSpecifier&) -> Value {
            return static_cast<BytarnEntryController&>(target).total();
        },
        {}, PSTitleValueCell);
    totalRow->setProperty(std::string("BytarnEntryCell"), "cellClass");
    if (originalSpecifier_) {
        if (auto icon = originalSpecifier_->property<std::shared_ptr<UIImage>>("iconImage"))
            totalRow->setProperty(*icon, "iconImage");
    }
    rows.push_back(std::move(totalRow));
    auto record = originalSpecifier_ ? entry(*originalSpecifier_) : nullptr;
    if (record && record->usage_cellular() != 0) rows.push_back(usageSpecifier("Cellular"));
    if (record && record->usage_wifi() != 0) rows.push_back(usageSpecifier("Wi-Fi"));
    if (rows.size() >= 3)
        rows.insert(rows.begin() + 2, PSSpecifier::groupSpecifierWithName("Breakdown"));

    PSSpecifierList list;
    if (parent && parent->settingsVisible()) {
        list.push_back(PSSpecifier::emptyGroupSpecifier());
        auto section = settingsSpecifiers();
        list.insert(list.end(), section.begin(), section.end());
    }
    list.insert(list.end(), rows.begin(), rows.end());
    _specifiers = std::move(list);
    return *_specifiers;
}

void BytarnEntryController::reloadWithEntry(std::shared_ptr<BytarnEntry> record) {
    if (specifier()) setEntry(*specifier(), record);
    if (originalSpecifier_) setEntry(*originalSpecifier_, record);
    reloadSpecifiers();
}

void BytarnEntryController::settingsClicked() {
    auto parent = root();
    auto button = navigationItem().rightBarButtonItem();
    if (parent && parent->settingsVisible()) {
        insertSpecifier(PSSpecifier::emptyGroupSpecifier(), 0, false);
        insertContiguousSpecifiers(settingsSpecifiers(), 1, true);
        if (button) button->setStyle(UIBarButtonItemStyleDone);
    } else {
        removeContiguousSpecifiers(settingsSpecifiers(), true);
        removeSpecifierAtIndex(0, true);
        if (button) button->setStyle(UIBarButtonItemStylePlain);
    }
}

std::string BytarnEntryController::usage(const PSSpecifier& row) const {
    auto record = originalSpecifier_ ? entry(*originalSpecifier_) : nullptr;
    std::uint64_t count = 0;
    if (record && row.name() == "Cellular") count = record->usage_cellular();
    if (record && row.name() == "Wi-Fi") count = record->usage_wifi();
    return usageString(count);
}

std::string BytarnEntryController::total() const {
    auto record = originalSpecifier_ ? entry(*originalSpecifier_) : nullptr;
    return usageString(record ? record->usage() : 0);
}
