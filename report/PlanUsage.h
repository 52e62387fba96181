#pragma once

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

#include "host/netpolicy/DataPlan.h"

// A stored plan with its status now, as `bytarn plan` and `bytarn report` print it.
struct PlanReport {
    DataPlan plan;
    PlanStatus status;
};

// The device filter ("C  ", " W ") that selects a plan kind's counter.
std::string devicesOfKind(const std::string& kind);

// The status of a plan at `now` from the usage database: the kind's bytes per day and each
// application's bytes of that kind over the plan's cycle, read by the report's reader (the
// page's own query per application), never a second one. A database that does not exist yet
// has counted nothing; one that cannot be read gives nothing, with the reason.
std::optional<PlanStatus> readPlanStatus(const DataPlan& plan, double now,
                                         const std::string& databasePath, std::string* error);

// Every stored plan, cellular first, with its status at `now`. A stored plan that cannot be read
// is left out after a "bytarn: " line on `err` that says why; nothing, with the reason, when the
// database cannot be read.
std::optional<std::vector<PlanReport>> readPlanReports(double now, const std::string& databasePath,
                                                       std::ostream& err, std::string* error);
