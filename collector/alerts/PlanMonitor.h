#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "collector/alerts/LimitPause.h"
#include "collector/alerts/PlanAlerts.h"
#include "host/netpolicy/CycleUsage.h"
#include "host/netpolicy/DataPlan.h"
#include "host/netpolicy/DataPlanStore.h"

// What the alerts decide on, from the host's status of a plan.
PlanAlertStatus planAlertStatus(const DataPlan& plan, const PlanStatus& status);

// The running collector's watch over the stored plans: reads them at the start and again when
// the preference store's file changes (DataPlanStore::Watcher, a stat), and hands each plan's
// status at the clock's now to PlanAlerts, and the cellular plan's to LimitPause, which pauses
// mobile data at its limit. Without plans it does nothing: no database read, no bus, no log
// line. Used from the main thread.
class PlanMonitor {
  public:
    explicit PlanMonitor(PlanAlerts::Options options);
    ~PlanMonitor();
    PlanMonitor(const PlanMonitor&) = delete;
    PlanMonitor& operator=(const PlanMonitor&) = delete;

    // Checks every plan when the plans changed since the last call or `usageChanged` says the
    // database's usage did; otherwise costs one stat.
    void check(bool usageChanged);
    // Follows the pause between checks: a resume written by another process, the cycle's end.
    void followPause();
    bool mobileDataPaused() const { return pause_.paused(); }

  private:
    void readPlans();
    void checkPlans();

    PlanAlerts::Options options_;
    DataPlanStore::Watcher watcher_;
    std::vector<DataPlan> plans_;
    std::unique_ptr<PlanAlerts> alerts_;  // made for the first plan
    LimitPause pause_;
    bool databaseProblemLogged_ = false;
};
