#pragma once

#include <set>
#include <string>

// What the collector asks the traffic helper to keep off cellular networks for its user
// (docs/TRAFFIC.md, "Restrictions"): the applications whose "Mobile data" is off, those that
// are always allowed, and whether the plan's limit pauses mobile data.
struct HelperRestrictions {
    std::set<std::string> restricted;
    std::set<std::string> exempt;
    bool paused = false;
    bool operator==(const HelperRestrictions&) const = default;
};

// The lines, each ending in '\n', that take the helper from `sent` to `wanted`: `allow` and
// `unexempt` for what went, `restrict` and `exempt` for what came, then `pause` or `resume`.
// A resume goes first and a pause last, so an application is never held off between them.
std::string restrictionLines(const HelperRestrictions& sent, const HelperRestrictions& wanted);

// What a new connection says first: `clear`, then the whole set.
std::string restrictionLinesOnConnecting(const HelperRestrictions& wanted);
