#include "report/PlanUsage.h"

#include <filesystem>
#include <map>
#include <ostream>

#include "host/netpolicy/DataPlanStore.h"
#include "report/UsageHistory.h"

std::string devicesOfKind(const std::string& kind) {
    return kind == kWifiKind ? " W " : "C  ";
}

std::optional<PlanStatus> readPlanStatus(const DataPlan& plan, double now,
                                         const std::string& databasePath, std::string* error) {
    PlanCycle cycle = cycleFor(plan, localDayOf(now));
    std::map<std::string, std::uint64_t> bytesByDay;
    std::vector<ApplicationBytes> applications;
    // Before the collector's first save there is no database: nothing has been counted yet,
    // which is no reason to refuse a plan's figures.
    std::error_code ec;
    if (std::filesystem::exists(databasePath, ec)) {
        std::string devices = devicesOfKind(plan.kind);
        std::string first = dayString(cycle.first), last = dayString(cycle.last);
        auto days =
            readUsageHistory(databasePath, first, last, ReportGrouping::Day, devices, error);
        if (!days) return std::nullopt;
        for (const auto& line : *days) bytesByDay[line.date] += line.usage;
        auto perApplication =
            readUsageHistory(databasePath, first, last, ReportGrouping::App, devices, error);
        if (!perApplication) return std::nullopt;
        for (auto& line : *perApplication)
            applications.push_back({std::move(line.app), line.usage});
    }
    return planStatus(plan, now, bytesByDay, std::move(applications));
}

std::optional<std::vector<PlanReport>> readPlanReports(double now, const std::string& databasePath,
                                                       std::ostream& err, std::string* error) {
    std::vector<PlanReport> reports;
    for (std::string_view kind : {kCellularKind, kWifiKind}) {
        std::string problem;
        auto plan = DataPlanStore::plan(kind, &problem);
        if (!plan) {
            if (!problem.empty()) err << "bytarn: " << problem << "; it is left out\n";
            continue;
        }
        auto status = readPlanStatus(*plan, now, databasePath, error);
        if (!status) return std::nullopt;
        reports.push_back({std::move(*plan), std::move(*status)});
    }
    return reports;
}
