#pragma once

#include <string>
#include <vector>

// Generated usage databases for the benchmarks.
//
// A data set is a scratch home with a usage database in the collector's schema (made by
// UsageDatabase) and one desktop entry per application, so that the title service reads real
// files. Beside the home lies a second database with the same rows in the first collectors'
// schema (schema 0: the table and its index on (date, app)), for the schema's targets. It covers
// the 365 days ending on a pinned "today", with one to three rows per application and day. Data
// sets are written once under the build directory and reused by later runs; a stamp file marks a
// complete one, so an interrupted generation starts again.
namespace BenchData {

// The pinned "today" (local time, Europe/Berlin) and the length of the history.
constexpr int kDays = 365;
constexpr const char* kToday = "2026-06-15";

struct Dataset {
    int applications = 0;
    std::string home;           // the scratch home: HOME, XDG_CONFIG_HOME, XDG_DATA_HOME below it
    std::string databasePath;   // the usage database inside it
    std::string oldSchemaPath;  // the same rows in schema 0, outside the home
    long long usageRows = 0;    // rows in the usage table
    std::vector<std::string> identifiers;  // the applications, in generation order
};

// Pins what the page depends on besides the files: the virtual clock at kToday 12:00, the time
// zone and the locale. Call once, before any data set is used.
void pinEnvironment();

// The data set of that many applications, generated on first use (in this build directory, ever)
// and read back from its stamp afterwards.
const Dataset& dataset(int applications);

// Points HOME and the XDG variables at a data set's home, so that the page and the title service
// find its database and its desktop entries.
void enter(const Dataset& data);

// A database file's size in bytes, its write-ahead log included.
long long fileBytes(const std::string& databasePath);

// The process's resident set size in KiB (VmRSS of /proc/self/status); 0 when unreadable.
long residentKiB();

}  // namespace BenchData
