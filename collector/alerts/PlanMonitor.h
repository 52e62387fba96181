#pragma once

#include <cstdint>
#include <functional>
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

    // The bytes of a kind over a cycle that the collector holds but has not saved yet. The plans
    // add them to the database's, so a limit pauses mobile data as the traffic reaches it, not up
    // to a save interval later.
    using UnsavedUsage = std::function<CycleUsage(const std::string& kind, const PlanCycle& cycle)>;
    void followUnsaved(UnsavedUsage unsaved) { unsaved_ = std::move(unsaved); }

    // Checks every plan when the plans changed since the last call, `usageChanged` says the
    // database's usage did or `unsavedChanged` the unsaved counts did; otherwise costs one stat.
    // The database is read again only for the first two.
    void check(bool usageChanged, bool unsavedChanged = false);
    // Follows the pause between checks: a resume written by another process, the cycle's end.
    void followPause();
    bool mobileDataPaused() const { return pause_.paused(); }

  private:
    void readPlans();
    void checkPlans();
    // The plan's usage over `cycle`: the database's, read when `savedUsage_` has nothing for the
    // kind's cycle, plus the unsaved counts. Nothing when the database cannot be read.
    std::optional<CycleUsage> cycleUsage(const DataPlan& plan, const PlanCycle& cycle);

    struct SavedUsage {
        PlanCycle cycle;
        CycleUsage usage;
    };

    PlanAlerts::Options options_;
    DataPlanStore::Watcher watcher_;
    std::vector<DataPlan> plans_;
    std::unique_ptr<PlanAlerts> alerts_;  // made for the first plan
    LimitPause pause_;
    bool databaseProblemLogged_ = false;
    UnsavedUsage unsaved_;
    std::map<std::string, SavedUsage> savedUsage_;  // by kind; emptied when the database changes
};
