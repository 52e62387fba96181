#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// What a report is grouped by: one line per application, per day, or per application and day.
enum class ReportGrouping { App, Day, AppDay };

// One line of a report. Counters wrap as the page's do.
struct UsageLine {
    std::string date;   // "yyyy-MM-dd" as stored; empty when the report is not by day
    std::string app;    // the application's identifier; empty when the report is not by app
    std::string title;  // the application's title as the page shows it
    std::uint64_t wifi = 0;
    std::uint64_t cellular = 0;
    std::uint64_t unknown = 0;
    std::uint64_t usage = 0;  // what the device filter selects
};

// Reads the usage database read-only, never creating it, between the days `first` and `last`
// (both inclusive, compared as text as the page compares them). By application it runs the
// page's own query; by day its own, one statement either way. Rows the page skips (a NULL or
// non-UTF-8 application) are skipped, as are lines whose filtered usage is 0, as the page leaves
// them out. Lines by day come in date order; titles are left empty. Nothing, with the reason,
// when the database is missing or cannot be read.
std::optional<std::vector<UsageLine>> readUsageHistory(const std::string& databasePath,
                                                       const std::optional<std::string>& first,
                                                       const std::optional<std::string>& last,
                                                       ReportGrouping grouping,
                                                       const std::optional<std::string>& devices,
                                                       std::string* error);
