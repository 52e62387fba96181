#include "root/BytarnController.h"

#include <algorithm>

#include "data/ApplicationTitle.h"
#include "data/BytarnEntry.h"
#include "host/activator/LAActivator.h"
#include "host/foundation/NSBundle.h"
#include "host/foundation/NSDateFormatter.h"
#include "host/foundation/RunLoop.h"
#include "host/foundation/UsageString.h"
#include "host/preferences/ClassRegistry.h"
#include "host/ui/UIImage.h"

REGISTER_PAGE_CLASS(BytarnController);

namespace {
const char* const kEntryControllerClass = "BytarnEntryController";
const char* const kEntryCellClass = "BytarnEntryCell";
// The row's LinkedRecord.
const char* const kLinkedRecordKey = "Bytarn_linked";
}  // namespace

BytarnController::BytarnController() = default;

BytarnController::~BytarnController() {
    // No "save" and no reload reach a page that is going.
    endCollectorLink();
}

std::shared_ptr<BytarnController> BytarnController::self() {
    return std::static_pointer_cast<BytarnController>(shared_from_this());
}

std::shared_ptr<UIImage> BytarnController::bundleImage(const std::string& name) const {
    auto path = bundle() ? bundle()->pathForResource(name, "png") : std::nullopt;
    return path ? UIImage::imageWithContentsOfFile(*path) : nullptr;
}

const PSSpecifierList& BytarnController::specifiers() {
    if (_specifiers) return *_specifiers;
    if (!settingsSpecifiers_) {
        // The first request: the settings rows, the stored preferences and the icons, once.
        loadSettings();
        cellularImage_ = bundleImage("Cellular");
        wifiImage_ = bundleImage("Wi-Fi");
    }
    setupSpecifiers();
    return *_specifiers;
}

void BytarnController::loadSettings() {
    settingsSpecifiers_ = loadSpecifiersFromPlistName(BYTARN_SETTINGS_PLIST, self());
    setComparator(readPreferenceValueForKey("comparator").stringValue());
    setDevices(readPreferenceValueForKey("devices").stringValue());
    setPeriod(readPreferenceValueForKey("period").stringValue());
    auto start = readPreferenceValueForKey("startDate").stringValue();
    if (!start) start = periodDateFormatter()->stringFromDate(NSDate::date());
    setStartDate(start);
    auto end = readPreferenceValueForKey("endDate").stringValue();
    setEndDate(end ? end : startDate_);
}

void BytarnController::setupSpecifiers() {
    UIApplication::sharedApplication().setNetworkActivityIndicatorVisible(false);

    if (!flushTimer_) startCollectorLink();
    if (!navigationItem().rightBarButtonItem()) createSettingsButton();

    reloadApps();

    PSSpecifierList rows;
    std::uint64_t total = 0, wifi = 0, cellular = 0;
    if (apps_) {
        rows.reserve(apps_->size());
        for (const auto& [identifier, record] : *apps_) {
            std::uint64_t relevant = record->relevantUsage(devices_);
            if (relevant == 0) continue;
            auto row = link(identifier, record);
            row->setProperty(LinkedRecord{appsQuery_, record.get()}, kLinkedRecordKey);
            rows.push_back(std::move(row));
            wifi += record->usage_wifi();
            cellular += record->usage_cellular();
            total += relevant;
        }
    }
    setTotalStr(usageString(total));
    setWifiStr(usageString(wifi));
    setCellularStr(usageString(cellular));

    auto page = self();
    auto totalsRow = [&](const std::string& name,
                         std::optional<std::string> BytarnController::*field,
                         std::shared_ptr<UIImage> icon) {
        auto row = PSSpecifier::preferenceSpecifierNamed(
            name, page, nullptr,
            [field](PSListController& target, PSSpecifier&) -> Value {
                auto& owner = static_cast<BytarnController&>(target);
                auto text = owner.*field;
                return text ? Value(*text) : Value();
            },
            {}, PSTitleValueCell);
        row->setProperty(std::move(icon), "iconImage");
        return row;
    };
    // Which totals rows show depends on the filter and on which kinds of traffic there were:
    // a Total only when it would add something beside the one kind shown.
    bool all = devices_ == "CW ";
    bool showTotal = all && ((wifi == 0) == (cellular == 0));
    bool showWifi = devices_ == " W " || (all && wifi != 0);
    bool showCellular = devices_ == "C  " || (all && cellular != 0);

    // Rows of equal standing keep no particular order; the sort is stable anyway.
    RowComparison compare = comparisonNamed(comparator_);
    if (!compare) compare = compareName;  // a comparator naming no comparison sorts by name
    sortRows(rows, compare);

    PSSpecifierList list;
    if (settingsVisible_) {
        list.push_back(PSSpecifier::emptyGroupSpecifier());
        auto section = settingsSection();
        list.insert(list.end(), section.begin(), section.end());
    }
    list.push_back(
        PSSpecifier::groupSpecifierWithName(settingsSummaryPrefix() + settingsSummarySuffix()));
    if (showTotal)
        list.push_back(totalsRow("Total", &BytarnController::totalStr_, iconForDevices()));
    if (showCellular)
        list.push_back(totalsRow("Cellular", &BytarnController::cellularStr_, cellularImage_));
    if (showWifi) list.push_back(totalsRow("Wi-Fi", &BytarnController::wifiStr_, wifiImage_));
    list.push_back(PSSpecifier::emptyGroupSpecifier());
    list.insert(list.end(), rows.begin(), rows.end());
    _specifiers = std::move(list);
}

void BytarnController::createSettingsButton() {
    auto button = UIBarButtonItem::withImage(
        bundleImage("settings"),
        settingsVisible_ ? UIBarButtonItemStyleDone : UIBarButtonItemStylePlain, self(),
        "settingsClicked:", [](PSViewController& target, UIBarButtonItem& sender) {
            static_cast<BytarnController&>(target).settingsClicked(&sender);
        });
    navigationItem().setRightBarButtonItem(std::move(button));
}

std::shared_ptr<PSSpecifier> BytarnController::link(const std::string& bundleIdentifier,
                                                    const std::shared_ptr<BytarnEntry>& entry) {
    auto& activator = LAActivator::sharedInstance();
    auto row = PSSpecifier::preferenceSpecifierNamed(
        applicationTitle(bundleIdentifier), self(), nullptr,
        [](PSListController& target, PSSpecifier& r) -> Value {
            return static_cast<BytarnController&>(target).usage(r);
        },
        kEntryControllerClass, PSLinkListCell);
    // Four properties here and the page's note of the record it was made from.
    row->reserveProperties(5);
    row->setProperty(std::string(kEntryCellClass), "cellClass");
    row->setProperty(bundleIdentifier, "id");
    setEntry(*row, entry);
    std::shared_ptr<UIImage> icon = activator.smallIconForListenerName(bundleIdentifier);
    if (!icon) icon = iconForDevices();
    row->setProperty(std::move(icon), "iconImage");
    return row;
}

std::shared_ptr<UIImage> BytarnController::iconForDevices() const {
    if (devices_ == "C  ") return cellularImage_;
    if (devices_ == " W ") return wifiImage_;
    if (specifier()) {
        if (auto icon = specifier()->property<std::shared_ptr<UIImage>>("iconImage")) return *icon;
    }
    return nullptr;
}

void BytarnController::reloadSpecifiers() {
    PSListController::reloadSpecifiers();
    performSelectorInAppEntryController(AppEntrySelector::reloadWithEntry);
}

void BytarnController::reloadApps() {
    auto fresh = queryUsage(usageDatabasePath(), startDateStr(), endDateStr());
    if (!fresh) return;
    apps_ = std::move(*fresh);
    ++appsQuery_;
}

std::string BytarnController::usage(const PSSpecifier& row) const {
    std::uint64_t count = 0;
    // Every value read of every row comes here. A row of the current build already knows its
    // record; any other looks its identifier up, without copying it.
    auto linked = row.property<LinkedRecord>(kLinkedRecordKey);
    if (linked && linked->query == appsQuery_) {
        if (linked->record) count = linked->record->relevantUsage(devices_);
    } else if (apps_) {
        const std::string* id = row.identifierIfString();
        std::string copied;
        if (!id) id = &(copied = row.identifier());
        auto it = apps_->find(*id);
        if (it != apps_->end()) count = it->second->relevantUsage(devices_);
    }
    return usageString(count);
}

PSSpecifierList BytarnController::settingsSection() const {
    if (!settingsSpecifiers_ || settingsSpecifiers_->size() <= 2) return {};
    return PSSpecifierList(settingsSpecifiers_->begin() + 2, settingsSpecifiers_->end());
}

std::shared_ptr<PSSpecifier> BytarnController::specifierForKey(const std::string& key) const {
    if (!settingsSpecifiers_) return nullptr;
    for (const auto& row : *settingsSpecifiers_)
        if (row->stringProperty("key") == key) return row;
    return nullptr;
}

Value BytarnController::readPreferenceValueForKey(const std::string& key) {
    auto row = specifierForKey(key);
    return row ? readPreferenceValue(*row) : Value();
}

void BytarnController::setPreferenceValue(const Value& value, const std::string& key) {
    auto row = specifierForKey(key);
    if (!row) return;
    PSListController::setPreferenceValue(value, row);
    setValueForKey(value, key);
}

void BytarnController::setPreferenceValue(const Value& value,
                                          const std::shared_ptr<PSSpecifier>& row) {
    PSListController::setPreferenceValue(value, row);
    auto key = row ? row->stringProperty("key") : std::nullopt;
    if (!key) return;
    setValueForKey(value, *key);
    if (*key == "startDate" || *key == "endDate") {
        // The other day, when none is stored, is one the first request filled in (the start from
        // today, the end from the start), and the next start would fill it in again, perhaps
        // differently. It is stored as the page shows it now, so that the period the user set
        // is the one kept.
        const bool start = *key == "startDate";
        const std::string other = start ? "endDate" : "startDate";
        const std::optional<std::string>& shown = start ? endDate_ : startDate_;
        if (shown && !readPreferenceValueForKey(other).stringValue())
            setPreferenceValue(Value(*shown), other);
        setPreferenceValue(Value("Custom"), "period");
    }
    reloadSpecifiers();
}

void BytarnController::setValueForKey(const Value& value, const std::string& key) {
    // Only the five preference properties can be set by key; a value that is not a string
    // leaves the property with no value.
    std::optional<std::string> text = value.stringValue();
    if (key == "comparator")
        setComparator(text);
    else if (key == "devices")
        setDevices(text);
    else if (key == "period")
        setPeriod(text);
    else if (key == "startDate")
        setStartDate(text);
    else if (key == "endDate")
        setEndDate(text);
}

void BytarnController::settingsClicked(UIBarButtonItem*) {
    settingsVisible_ = !settingsVisible_;
    PSSpecifierList section = settingsSection();
    auto button = navigationItem().rightBarButtonItem();
    if (settingsVisible_) {
        if (specifiers().size() >= 2)
            table().scrollToRowAtIndexPath({0, 0}, UITableViewScrollPositionTop, true);
        insertSpecifier(PSSpecifier::emptyGroupSpecifier(), 0, true);
        insertContiguousSpecifiers(section, 1, true);
        if (button) button->setStyle(UIBarButtonItemStyleDone);
    } else {
        removeContiguousSpecifiers(section, true);
        removeSpecifierAtIndex(0, true);
        if (button) button->setStyle(UIBarButtonItemStylePlain);
    }
    performSelectorInAppEntryController(AppEntrySelector::settingsClicked);
}

void BytarnController::performSelectorInAppEntryController(AppEntrySelector selector) {
    auto root = UIApplication::sharedApplication().rootController();
    if (!root) return;
    // A copy: the page may change the stack while it handles the message.
    auto pages = root->childViewControllers();
    for (const auto& page : pages) {
        auto* detail = dynamic_cast<AppEntryPage*>(page.get());
        if (!detail) continue;
        std::shared_ptr<BytarnEntry> record;
        if (apps_ && detail->originalSpecifier()) {
            auto it = apps_->find(detail->originalSpecifier()->identifier());
            if (it != apps_->end()) record = it->second;
        }
        if (selector == AppEntrySelector::reloadWithEntry)
            detail->reloadWithEntry(std::move(record));
        else
            detail->settingsClicked();
        return;
    }
}
