#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "host/netpolicy/DataPlan.h"

// A plan kind's usage over one cycle, from the usage database: the kind's bytes per day
// ("yyyy-MM-dd") over every row, and each application's bytes of that kind, as planStatus takes
// them. The one plan reader of the collector's alerts and of the Data plan bundle: both live
// beside the host only, so it is here rather than in either of them. `bytarn plan` reads the
// same figures with the report's own reader, so that they equal `bytarn report --period cycle`.
struct CycleUsage {
    std::map<std::string, std::uint64_t> bytesByDay;
    std::vector<ApplicationBytes> applications;
};

// Reads over a read-only connection that never creates the file. A database that does not exist
// yet has counted nothing. Nothing, with SQLite's message in `error`, when it cannot be read.
std::optional<CycleUsage> readCycleUsage(const std::string& databasePath, const std::string& kind,
                                         const PlanCycle& cycle, std::string* error);

// Every application the usage database holds a row of, in any column and on any day, in name
// order: the applications the user may keep off mobile data. Read as readCycleUsage reads; a
// database that does not exist yet holds none.
std::optional<std::vector<std::string>> readUsageApplications(const std::string& databasePath,
                                                              std::string* error);
