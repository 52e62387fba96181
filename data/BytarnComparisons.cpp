#include "data/BytarnComparisons.h"

#include "data/BytarnEntry.h"
#include "host/PSListController.h"
#include "host/PSSpecifier.h"

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

RowComparison comparisonNamed(const std::optional<std::string>& selectorName) {
    if (selectorName == "compareName:") return compareName;
    if (selectorName == "compareUsage:") return compareUsage;
    return nullptr;
}
