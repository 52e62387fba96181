#include "collector/alerts/PlanMonitor.h"

#include <algorithm>
#include <exception>
#include <stdexcept>
#include <string_view>

#include "host/foundation/Clock.h"
#include "host/foundation/SystemLog.h"

PlanAlertStatus planAlertStatus(const DataPlan& plan, const PlanStatus& status) {
    PlanAlertStatus alert;
    alert.kind = plan.kind;
    alert.cycleStart = dayString(status.cycle.first);
    alert.used = status.used;
    alert.warning = status.warning.value_or(0);
    alert.limit = status.limit.value_or(0);
    alert.projected = status.projected;
    if (!status.top.empty()) {
        alert.topApplication = status.top.front().identifier;
        alert.topApplicationBytes = status.top.front().bytes;
    }
    return alert;
}

PlanMonitor::PlanMonitor(PlanAlerts::Options options)
    : options_(std::move(options)), pause_(options_.databasePath) {
    // The limit notification's "Resume".
    if (!options_.resume) options_.resume = [this] { pause_.resume(Clock::now()); };
    readPlans();
    checkPlans();
}

PlanMonitor::~PlanMonitor() = default;

void PlanMonitor::check(bool usageChanged, bool unsavedChanged) {
    if (watcher_.changed())
        readPlans();
    else if (!usageChanged && !unsavedChanged)
        return;
    if (usageChanged) savedUsage_.clear();
    checkPlans();
}

std::optional<CycleUsage> PlanMonitor::cycleUsage(const DataPlan& plan, const PlanCycle& cycle) {
    auto saved = savedUsage_.find(plan.kind);
    if (saved == savedUsage_.end() || saved->second.cycle != cycle) {
        std::string error;
        auto usage = readCycleUsage(options_.databasePath, plan.kind, cycle, &error);
        if (!usage) {
            if (!databaseProblemLogged_)
                SystemLog::writef(
                    "PlanMonitor: cannot read the usage database (%s); plan alerts "
                    "wait until it answers",
                    error.c_str());
            databaseProblemLogged_ = true;
            return std::nullopt;
        }
        databaseProblemLogged_ = false;
        saved = savedUsage_.insert_or_assign(plan.kind, SavedUsage{cycle, std::move(*usage)}).first;
    }
    CycleUsage usage = saved->second.usage;
    if (!unsaved_) return usage;
    CycleUsage unsaved = unsaved_(plan.kind, cycle);
    for (const auto& [day, bytes] : unsaved.bytesByDay) usage.bytesByDay[day] += bytes;
    for (auto& application : unsaved.applications) {
        auto same = std::find_if(usage.applications.begin(), usage.applications.end(),
                                 [&](const ApplicationBytes& known) {
                                     return known.identifier == application.identifier;
                                 });
        if (same != usage.applications.end())
            same->bytes += application.bytes;
        else
            usage.applications.push_back(std::move(application));
    }
    return usage;
}

void PlanMonitor::followPause() {
    pause_.follow(Clock::now());
}

void PlanMonitor::readPlans() {
    plans_.clear();
    for (std::string_view kind : {kCellularKind, kWifiKind}) {
        std::string problem;
        auto plan = DataPlanStore::plan(kind, &problem);
        if (plan)
            plans_.push_back(std::move(*plan));
        else if (!problem.empty())
            SystemLog::writef("PlanMonitor: %s; no alerts for it until it is set again",
                              problem.c_str());
    }
    if (!plans_.empty() && !alerts_) alerts_ = std::make_unique<PlanAlerts>(options_);
}

void PlanMonitor::checkPlans() {
    const double now = Clock::now();
    bool cellularLimit = false;
    for (const auto& plan : plans_) {
        // A plan without a warning or a limit has nothing to alert on.
        if (!plan.limit && !plan.warning) continue;
        PlanCycle cycle = cycleFor(plan, localDayOf(now));
        auto usage = cycleUsage(plan, cycle);
        if (!usage) return;
        auto status = planStatus(plan, now, usage->bytesByDay, std::move(usage->applications));
        alerts_->update(planAlertStatus(plan, status));
        if (plan.limit && PlanPause::pausesAtLimit(plan.kind)) {
            cellularLimit = true;
            pause_.update(status, now);
        }
    }
    if (!cellularLimit) pause_.noLimit();
}
