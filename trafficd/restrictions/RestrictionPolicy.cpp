#include "trafficd/restrictions/RestrictionPolicy.h"

#include "trafficd/Log.h"
#include "trafficd/accounting/TrafficAccounting.h"
#include "trafficd/cgroups/ApplicationName.h"

namespace bytarn::trafficd {

std::optional<std::string> RestrictionPolicy::apply(uid_t uid, const RestrictionLine& line,
                                                    Outcome* outcome) {
    Outcome result;
    // Appended, not "\"" + ...: g++ 12 warns wrongly (-Wrestrict) on a literal plus a temporary.
    std::string quoted(1, '"');
    quoted.append(printable(line.app, 80)).push_back('"');
    auto& set = sets_[uid];
    bool named = line.verb != RestrictionVerb::clear && line.verb != RestrictionVerb::pause &&
                 line.verb != RestrictionVerb::resume;
    if (named && !isCleanApplicationName(line.app)) {
        if (set.restricted.empty() && set.exempt.empty() && !set.paused) sets_.erase(uid);
        return "not an application name (1-255 bytes of UTF-8, no control character, no '/', "
               "no leading '.')";
    }
    auto holds = [&] { return set.restricted.size() + set.exempt.size(); };
    auto add = [&](std::set<std::string>& names, const char* what) -> std::optional<std::string> {
        if (names.contains(line.app)) return std::nullopt;
        if (holds() >= maxNamesPerUid)
            return "at most " + std::to_string(maxNamesPerUid) +
                   " names may be restricted or exempt per user";
        names.insert(line.app);
        result = {true, what + quoted};
        return std::nullopt;
    };
    auto remove = [&](std::set<std::string>& names, const char* what) {
        if (names.erase(line.app)) result = {true, what + quoted};
    };
    std::optional<std::string> refusal;
    switch (line.verb) {
        case RestrictionVerb::clear:
            if (holds() || set.paused)
                result = {true, "cleared " + std::to_string(set.restricted.size()) +
                                    " restricted and " + std::to_string(set.exempt.size()) +
                                    " exempt names" + (set.paused ? ", and the pause" : "")};
            set = {};
            break;
        case RestrictionVerb::restrict:
            if (line.app == TrafficAccounting::otherUsers ||
                line.app == TrafficAccounting::sharedConnection) {
                refusal = quoted + " is not an application and cannot be restricted";
                break;
            }
            refusal = add(set.restricted, "restricted ");
            break;
        case RestrictionVerb::allow:
            remove(set.restricted, "allowed ");
            break;
        case RestrictionVerb::exempt:
            refusal = add(set.exempt, "exempted ");
            break;
        case RestrictionVerb::unexempt:
            remove(set.exempt, "no longer exempted ");
            break;
        case RestrictionVerb::pause:
            if (!set.paused) result = {true, "paused mobile data"};
            set.paused = true;
            break;
        case RestrictionVerb::resume:
            if (set.paused) result = {true, "resumed mobile data"};
            set.paused = false;
            break;
    }
    if (set.restricted.empty() && set.exempt.empty() && !set.paused) sets_.erase(uid);
    if (outcome) *outcome = refusal ? Outcome{} : result;
    return refusal;
}

bool RestrictionPolicy::keepsOffCellular(std::optional<uid_t> owner, const std::string& app) const {
    auto found = sets_.find(owner.value_or(0));
    if (found == sets_.end()) return false;
    const auto& set = found->second;
    return set.restricted.contains(app) || (set.paused && !set.exempt.contains(app));
}

bool RestrictionPolicy::restrictsAnything() const {
    for (const auto& [uid, set] : sets_)
        if (set.paused || !set.restricted.empty()) return true;
    return false;
}

}  // namespace bytarn::trafficd
