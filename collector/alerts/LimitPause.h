#pragma once

#include <memory>
#include <optional>
#include <string>

#include "host/netpolicy/DataPlan.h"
#include "host/netpolicy/PlanPause.h"

class UsageDatabase;

// The pause of mobile data at the cellular plan's limit, decided by the running collector
// (docs/DATAPLAN.md): when the limit is reached in a cycle, mobile data is paused for every
// application of the user that is not "Always allowed", unless the user resumed in that cycle;
// it ends when the cycle does, when the user resumes (`bytarn plan resume cellular`, the
// notification's "Resume"), or when the limit is no longer reached (raised, removed). Kept in
// table `plan_pauses` of the usage database (host PlanPause), so a restarted collector keeps a
// pause and a resume. Each pause and each end is one log line. Used from the main thread.
class LimitPause {
  public:
    explicit LimitPause(std::string databasePath);
    ~LimitPause();
    LimitPause(const LimitPause&) = delete;
    LimitPause& operator=(const LimitPause&) = delete;

    // The cellular plan's status at `now`: pauses when its limit is reached in a cycle that had
    // no pause; ends a pause of another cycle, or one whose limit is no longer reached.
    void update(const PlanStatus& status, double now);
    // There is no cellular plan with a limit (any more): a pause in effect ends.
    void noLimit();
    // Follows a resume that another process wrote, and the end of the paused cycle. Costs
    // nothing while nothing is paused, one small query otherwise.
    void follow(double now);
    // The user resumes (the notification's action): as `bytarn plan resume cellular` does.
    void resume(double now);

    bool paused() const { return pause_.has_value(); }
    const std::optional<PlanPause::Record>& pause() const { return pause_; }

  private:
    UsageDatabase& database();
    // The pause in effect becomes `pause`; logs the change with `why`.
    void become(std::optional<PlanPause::Record> pause, const std::string& why);
    void databaseProblem(const std::string& what);

    std::string databasePath_;
    std::unique_ptr<UsageDatabase> database_;  // opened at the first use, again after a failure
    std::optional<PlanPause::Record> pause_;
    bool databaseProblemLogged_ = false;
};
