#include "collector/MobileDataRestrictions.h"

#include <string>
#include <vector>

#include "host/foundation/SystemLog.h"

MobileDataRestrictions::MobileDataRestrictions(Sender send) : send_(std::move(send)) {
    readChoices();
}

void MobileDataRestrictions::readChoices() {
    std::vector<std::string> problems;
    RestrictionStore::Restrictions choices = RestrictionStore::read(&problems);
    // The reasons quote no stored text but names that passed the rule: nothing raw is logged.
    for (const auto& problem : problems)
        SystemLog::writef("MobileDataRestrictions: %s; left out", problem.c_str());
    current_.restricted = std::move(choices.restricted);
    current_.exempt = std::move(choices.alwaysAllowed);
}

void MobileDataRestrictions::check(bool paused) {
    if (watcher_.changed()) readChoices();
    current_.paused = paused;
    if (sent_ == current_) return;
    sent_ = current_;
    if (send_) send_(current_);
}
