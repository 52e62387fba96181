#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "host/foundation/NSString.h"

class BytarnEntry;
class PSSpecifier;

// What an application row's comparisons need from the page the row was made for.
class DeviceFilterOwner {
  public:
    virtual ~DeviceFilterOwner() = default;
    // The page's device filter ("CW ", "C  " or " W "), or nothing.
    virtual const std::optional<std::string>& devices() const = 0;
};

// An application row carries its usage record under the property "Bytarn_entry".
std::shared_ptr<BytarnEntry> entry(const PSSpecifier& row);
// Stores the record; nothing removes the property instead.
void setEntry(PSSpecifier& row, std::shared_ptr<BytarnEntry> entry);

// Titles, case-insensitively under the user's locale, ascending.
NSComparisonResult compareName(const PSSpecifier& row, const PSSpecifier& other);
// The two orders on titles and usages alone, which the row comparisons and `bytarn report` share:
// titles as compareName, and usage largest first, then title.
NSComparisonResult compareTitles(const std::string& title, const std::string& other);
NSComparisonResult compareUsages(std::uint64_t usage, const std::string& title,
                                 std::uint64_t otherUsage, const std::string& otherTitle);
// Filtered usage, largest first; rows of equal usage sort by title. The filter is that of the
// page the row was made for; a row without a record counts as 0.
NSComparisonResult compareUsage(const PSSpecifier& row, const PSSpecifier& other);

using RowComparison = NSComparisonResult (*)(const PSSpecifier&, const PSSpecifier&);

// Sorts rows stably, ascending by `compare`: the order of std::stable_sort with
// compare(a, b) == NSOrderedAscending. By usage, when every row has the same page, each row's
// usage is read once instead of at every comparison.
void sortRows(std::vector<std::shared_ptr<PSSpecifier>>& rows, RowComparison compare);

// The comparison a stored name selects: "compareName:" or "compareUsage:". Nothing for any
// other name.
RowComparison comparisonNamed(const std::optional<std::string>& selectorName);
