#pragma once

#include <optional>
#include <string>
#include <vector>

#include "report/PlanUsage.h"
#include "report/UsageHistory.h"

// A report ready to print: its lines in their final order and what they cover.
struct Report {
    ReportGrouping grouping = ReportGrouping::App;
    // The period as the page names it ("Today", "This week", "This month", "Eternity",
    // "Custom") and the first and last day the query bound.
    std::string period;
    std::optional<std::string> first;
    std::optional<std::string> last;
    // The device filter ("CW ", "C  ", " W ", ...) and the page's summary title for it and the
    // period ("Cellular usage for this month").
    std::optional<std::string> devices;
    std::string summary;
    std::vector<UsageLine> lines;
    // The lines added up (date, app and title empty).
    UsageLine total;
    // The stored plans with their status, for the metrics' gauges.
    std::vector<PlanReport> plans;
};

// Every format builds the whole text in memory; nothing is printed before it is complete.

// Aligned columns by display width, usage strings as the page prints them, a total line; by day a
// bar per day scaled to the largest, of Unicode blocks or, when `blocks` is false, of "#".
std::string formatTable(const Report& report, bool blocks);
// One JSON document; its schema is in docs/REPORT.md.
std::string formatJSON(const Report& report);
// RFC 4180: CRLF line ends, a header row, fields quoted when they need it, bytes as integers.
std::string formatCSV(const Report& report);
// Counters per application and network over the period, for a metrics text file: only for a
// report by application. Gauges per plan follow: its limit, warning and used bytes, and its
// cycle's start and end as Unix times.
std::string formatOpenMetrics(const Report& report);

// `bytarn plan`: each plan with its cycle, days left, used of the limit, warning, projection and
// the applications that used most in the cycle, sizes as the page prints them.
std::string formatPlanTable(const std::vector<PlanReport>& plans);
// One JSON document: {"plans": [...]}, its schema in docs/DATAPLAN.md.
std::string formatPlanJSON(const std::vector<PlanReport>& plans);

// The networks a device filter selects, in the order wifi, cellular, other (the usage_unknown
// counter: wired and every network that is neither Wi-Fi nor cellular).
std::vector<std::string> selectedNetworks(const std::optional<std::string>& devices);
