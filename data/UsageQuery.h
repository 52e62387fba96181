#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

class BytarnEntry;
struct sqlite3_stmt;

// Usage per application: bundle identifier to its record.
using AppUsage = std::map<std::string, std::shared_ptr<BytarnEntry>>;

// The usage database the collector writes: the database directory, the collector service name
// and ".sqlite3", with "~" expanded from HOME.
std::string usageDatabasePath();

// Sums every application's counters over the days from `first` to `last`, both inclusive
// ("yyyy-MM-dd" text, compared as text), in one aggregate query over a fresh read-only
// connection. Nothing when the database cannot be opened or the query fails; either failure
// writes its line to the system log. Rows whose application is NULL or not UTF-8 are skipped,
// and a NULL sum counts as 0.
std::optional<AppUsage> queryUsage(const std::string& databasePath,
                                   const std::optional<std::string>& first,
                                   const std::optional<std::string>& last);

// The statement queryUsage runs: ?1 is the first day, ?2 the last. Exposed so that the query-plan
// test and the benchmarks run exactly the text the page runs.
const char* usageQuerySQL();

// Binds a day bound ("yyyy-MM-dd") to parameter `index` of a usage statement; no bound binds
// NULL, which no date passes. Shared with `bytarn report`, whose daily query takes the same bounds.
void bindDateBound(sqlite3_stmt* statement, int index, const std::optional<std::string>& date);

// A sum as the database hands it over in text, read as a signed 64-bit decimal number (the
// signed limit when larger) whose 64 bits are then taken as an unsigned count: "-1" becomes
// 2^64 - 1.
std::uint64_t countFromText(std::string_view text);

// A sum column of a result row as a count: an integer as it is, text through countFromText, NULL
// (every counter of the range was NULL) as 0.
std::uint64_t countFromColumn(sqlite3_stmt* statement, int column);
