#include "collector/alerts/LimitPause.h"

#include <exception>

#include "collector/UsageDatabase.h"
#include "host/foundation/SystemLog.h"

namespace {

const std::string kKind(kCellularKind);

}  // namespace

LimitPause::LimitPause(std::string databasePath) : databasePath_(std::move(databasePath)) {}

LimitPause::~LimitPause() = default;

UsageDatabase& LimitPause::database() {
    if (!database_) database_ = std::make_unique<UsageDatabase>(databasePath_);
    return *database_;
}

void LimitPause::databaseProblem(const std::string& what) {
    // A fresh connection next time: the file may have been replaced or repaired.
    database_.reset();
    if (databaseProblemLogged_) return;
    databaseProblemLogged_ = true;
    SystemLog::writef("LimitPause: %s; the pause of mobile data waits until the database answers",
                      what.c_str());
}

void LimitPause::become(std::optional<PlanPause::Record> pause, const std::string& why) {
    if (pause == pause_) return;
    const bool was = pause_.has_value();
    pause_ = std::move(pause);
    if (pause_ && !was)
        SystemLog::writef(
            "LimitPause: mobile data paused %s: applications that are not always allowed are "
            "kept off cellular networks until the cycle from %s ends or the user resumes "
            "(bytarn plan resume cellular)",
            why.c_str(), pause_->cycle.c_str());
    else if (!pause_ && was)
        SystemLog::writef("LimitPause: mobile data resumed: %s", why.c_str());
}

void LimitPause::update(const PlanStatus& status, double now) {
    const std::string cycle = dayString(status.cycle.first);
    try {
        sqlite3* db = database().handle();
        if (pause_ && pause_->cycle != cycle) {
            // The plan's cycle moved (a new cycle, or a changed plan): that pause is over, and
            // one of a cycle still running is no pause the user should see any more.
            if (now < pause_->until) PlanPause::withdraw(db, kKind, pause_->cycle);
            become(std::nullopt, "the cellular plan's cycle from " + pause_->cycle + " is over");
        }
        if (!status.limitReached) {
            if (pause_) {
                PlanPause::withdraw(db, kKind, cycle);
                become(std::nullopt, "the cellular plan's limit is no longer reached");
            }
        } else if (!pause_) {
            PlanPause::Record pause{kKind, cycle, now, cycleEndInstant(status.cycle), {}};
            if (PlanPause::begin(db, pause)) {
                become(pause, "at the cellular plan's limit (" + std::to_string(status.used) +
                                  " of " + std::to_string(status.limit.value_or(0)) +
                                  " bytes used)");
            } else if (auto kept = PlanPause::ofCycle(db, kKind, cycle); kept && !kept->resumed) {
                // Paused before this collector started: the same pause goes on.
                become(kept, "(since before the collector started)");
            }
            // Otherwise the user resumed in this cycle: no second pause until the next one.
        }
        databaseProblemLogged_ = false;
    } catch (const std::exception& error) {
        databaseProblem(error.what());
    }
}

void LimitPause::noLimit() {
    if (!pause_) return;
    try {
        PlanPause::withdraw(database().handle(), kKind, pause_->cycle);
        databaseProblemLogged_ = false;
    } catch (const std::exception& error) {
        databaseProblem(error.what());
    }
    become(std::nullopt, "the cellular plan has no limit any more");
}

void LimitPause::follow(double now) {
    if (!pause_) return;
    if (now >= pause_->until) {
        become(std::nullopt, "the cellular plan's cycle from " + pause_->cycle + " ended");
        return;
    }
    try {
        auto stored = PlanPause::ofCycle(database().handle(), kKind, pause_->cycle);
        databaseProblemLogged_ = false;
        if (!stored)
            become(std::nullopt, "its record is gone");
        else if (stored->resumed)
            become(std::nullopt, "the user resumed");
    } catch (const std::exception& error) {
        databaseProblem(error.what());
    }
}

void LimitPause::resume(double now) {
    std::string error;
    if (PlanPause::resume(databasePath_, kKind, now, &error) == PlanPause::ResumeResult::Failed)
        SystemLog::writef("LimitPause: cannot resume mobile data: %s", error.c_str());
    follow(now);
}
