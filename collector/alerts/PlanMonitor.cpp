#include "collector/alerts/PlanMonitor.h"

#include <sqlite3.h>

#include <exception>
#include <stdexcept>
#include <string_view>

#include "collector/UsageDatabase.h"
#include "host/foundation/Clock.h"
#include "host/foundation/SystemLog.h"

namespace {

// Runs `sql` with the cycle's first and last day bound, and adds each row's (text, count) to
// `add`. The kind's column is one of two fixed names, never text from outside.
template <typename Add>
void readSums(sqlite3* db, const std::string& sql, const PlanCycle& cycle, Add add) {
    auto statement = prepareStatement(db, sql.c_str());
    sqlite3_stmt* raw = statement.get();
    const std::string first = dayString(cycle.first), last = dayString(cycle.last);
    sqlite3_bind_text(raw, 1, first.c_str(), -1, SQLITE_TRANSIENT);
    sqlite3_bind_text(raw, 2, last.c_str(), -1, SQLITE_TRANSIENT);
    int rc;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(raw, 0));
        std::string key(text ? text : "", static_cast<size_t>(sqlite3_column_bytes(raw, 0)));
        // Counters are never negative; the collector saturates them at SQLite's largest integer.
        add(std::move(key), static_cast<std::uint64_t>(sqlite3_column_int64(raw, 1)));
    }
    if (rc != SQLITE_DONE) throw std::runtime_error(sqlite3_errmsg(db));
}

}  // namespace

std::optional<CycleUsage> readCycleUsage(const std::string& databasePath, const std::string& kind,
                                         const PlanCycle& cycle, std::string* error) {
    const std::string column = kind == kWifiKind ? "usage_wifi" : "usage_cellular";
    CycleUsage usage;
    try {
        UsageDatabase database(databasePath);
        sqlite3* db = database.handle();
        readSums(
            db,
            "SELECT date, SUM(" + column + ") FROM usage WHERE date BETWEEN ? AND ? GROUP BY date;",
            cycle, [&](std::string day, std::uint64_t bytes) {
                if (bytes > 0) usage.bytesByDay[std::move(day)] = bytes;
            });
        readSums(
            db,
            "SELECT app, SUM(" + column + ") FROM usage WHERE date BETWEEN ? AND ? GROUP BY app;",
            cycle, [&](std::string app, std::uint64_t bytes) {
                if (bytes > 0) usage.applications.push_back({std::move(app), bytes});
            });
    } catch (const std::exception& problem) {
        *error = problem.what();
        return std::nullopt;
    }
    return usage;
}

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

PlanMonitor::PlanMonitor(PlanAlerts::Options options) : options_(std::move(options)) {
    readPlans();
    checkPlans();
}

PlanMonitor::~PlanMonitor() = default;

void PlanMonitor::check(bool usageChanged) {
    if (watcher_.changed())
        readPlans();
    else if (!usageChanged)
        return;
    checkPlans();
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
    for (const auto& plan : plans_) {
        // A plan without a warning or a limit has nothing to alert on.
        if (!plan.limit && !plan.warning) continue;
        PlanCycle cycle = cycleFor(plan, localDayOf(now));
        std::string error;
        auto usage = readCycleUsage(options_.databasePath, plan.kind, cycle, &error);
        if (!usage) {
            if (!databaseProblemLogged_)
                SystemLog::writef(
                    "PlanMonitor: cannot read the usage database (%s); plan alerts "
                    "wait until it answers",
                    error.c_str());
            databaseProblemLogged_ = true;
            return;
        }
        databaseProblemLogged_ = false;
        auto status = planStatus(plan, now, usage->bytesByDay, std::move(usage->applications));
        alerts_->update(planAlertStatus(plan, status));
    }
}
