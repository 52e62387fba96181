#include "data/BytarnComparisons.h"

#include <algorithm>
#include <cstdint>

#include "data/BytarnEntry.h"
#include "host/preferences/PSListController.h"
#include "host/preferences/PSSpecifier.h"

namespace {
const char* const kEntryKey = "Bytarn_entry";
}

std::shared_ptr<BytarnEntry> entry(const PSSpecifier& row) {
    auto held = row.property<std::shared_ptr<BytarnEntry>>(kEntryKey);
    return held ? *held : nullptr;
}

void setEntry(PSSpecifier& row, std::shared_ptr<BytarnEntry> entry) {
    if (entry)
        row.setProperty(std::move(entry), kEntryKey);
    else
        row.removePropertyForKey(kEntryKey);
}

NSComparisonResult compareTitles(const std::string& title, const std::string& other) {
    return NSString::localizedCaseInsensitiveCompare(title, other);
}

NSComparisonResult compareUsages(std::uint64_t usage, const std::string& title,
                                 std::uint64_t otherUsage, const std::string& otherTitle) {
    if (otherUsage < usage) return NSOrderedAscending;
    if (otherUsage > usage) return NSOrderedDescending;
    return compareTitles(title, otherTitle);
}

NSComparisonResult compareName(const PSSpecifier& row, const PSSpecifier& other) {
    return compareTitles(row.name(), other.name());
}

NSComparisonResult compareUsage(const PSSpecifier& row, const PSSpecifier& other) {
    std::optional<std::string> devices;
    if (auto page = row.target()) {
        if (auto owner = dynamic_cast<const DeviceFilterOwner*>(page.get()))
            devices = owner->devices();
    }
    auto usageOf = [&](const PSSpecifier& r) -> std::uint64_t {
        auto e = entry(r);
        return e ? e->relevantUsage(devices) : 0;
    };
    return compareUsages(usageOf(row), row.name(), usageOf(other), other.name());
}

void sortRows(std::vector<std::shared_ptr<PSSpecifier>>& rows, RowComparison compare) {
    auto ascending = [compare](const auto& a, const auto& b) {
        return compare(*a, *b) == NSOrderedAscending;
    };
    std::shared_ptr<PSListController> page = rows.empty() ? nullptr : rows.front()->target();
    bool onePage = std::all_of(rows.begin(), rows.end(),
                               [&](const auto& row) { return row->target() == page; });
    if (compare != compareUsage || !onePage) {
        std::stable_sort(rows.begin(), rows.end(), ascending);
        return;
    }
    // compareUsage takes the filter from the first row's page and looks up both records at every
    // comparison; with one page for all rows, each row's usage is the same at every comparison.
    std::optional<std::string> devices;
    if (auto owner = dynamic_cast<const DeviceFilterOwner*>(page.get())) devices = owner->devices();
    struct Keyed {
        std::uint64_t usage;
        std::shared_ptr<PSSpecifier> row;
    };
    std::vector<Keyed> keyed;
    keyed.reserve(rows.size());
    for (auto& row : rows) {
        auto record = entry(*row);
        keyed.push_back({record ? record->relevantUsage(devices) : 0, std::move(row)});
    }
    std::stable_sort(keyed.begin(), keyed.end(), [](const Keyed& a, const Keyed& b) {
        return compareUsages(a.usage, a.row->name(), b.usage, b.row->name()) == NSOrderedAscending;
    });
    for (size_t i = 0; i < rows.size(); ++i) rows[i] = std::move(keyed[i].row);
}

RowComparison comparisonNamed(const std::optional<std::string>& selectorName) {
    if (selectorName == "compareName:") return compareName;
    if (selectorName == "compareUsage:") return compareUsage;
    return nullptr;
}
