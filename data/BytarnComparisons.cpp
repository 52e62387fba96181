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

NSComparisonResult compareName(const PSSpecifier& row, const PSSpecifier& other) {
    return NSString::localizedCaseInsensitiveCompare(row.name(), other.name());
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
    std::uint64_t mine = usageOf(row);
    std::uint64_t theirs = usageOf(other);
    if (theirs < mine) return NSOrderedAscending;
    if (theirs > mine) return NSOrderedDescending;
    return compareName(row, other);
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
        if (a.usage != b.usage) return a.usage > b.usage;
        return compareName(*a.row, *b.row) == NSOrderedAscending;
    });
    for (size_t i = 0; i < rows.size(); ++i) rows[i] = std::move(keyed[i].row);
}

RowComparison comparisonNamed(const std::optional<std::string>& selectorName) {
    if (selectorName == "compareName:") return compareName;
    if (selectorName == "compareUsage:") return compareUsage;
    return nullptr;
}
