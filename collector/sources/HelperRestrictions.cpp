#include "collector/sources/HelperRestrictions.h"

namespace {

// `keyword NAME` for each name of `from` that is not in `without`.
void addEach(std::string& lines, const char* keyword, const std::set<std::string>& from,
             const std::set<std::string>& without) {
    for (const auto& name : from)
        if (!without.count(name)) lines += std::string(keyword) + " " + name + "\n";
}

}  // namespace

std::string restrictionLines(const HelperRestrictions& sent, const HelperRestrictions& wanted) {
    std::string lines;
    if (sent.paused && !wanted.paused) lines += "resume\n";
    addEach(lines, "allow", sent.restricted, wanted.restricted);
    addEach(lines, "unexempt", sent.exempt, wanted.exempt);
    addEach(lines, "exempt", wanted.exempt, sent.exempt);
    addEach(lines, "restrict", wanted.restricted, sent.restricted);
    if (!sent.paused && wanted.paused) lines += "pause\n";
    return lines;
}

std::string restrictionLinesOnConnecting(const HelperRestrictions& wanted) {
    return "clear\n" + restrictionLines({}, wanted);
}
