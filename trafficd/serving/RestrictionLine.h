// The lines by which a user's collector tells the helper which of its applications to keep off
// cellular links: a keyword, and for most of them one space and an application's identifier.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace bytarn::trafficd {

enum class RestrictionVerb { clear, restrict, allow, exempt, unexempt, pause, resume };

struct RestrictionLine {
    RestrictionVerb verb;
    std::string app;  // empty for clear, pause and resume
};

// The longest restriction line, in bytes (without its newline).
constexpr std::size_t maxRestrictionLineBytes = 320;

// Whether line starts with one of the restriction keywords (followed by nothing or a space):
// the line is then the grammar's to accept or refuse.
bool isRestrictionLine(std::string_view line);

// The line read by the strict grammar: "clear", "pause", "resume", or "restrict APP", "allow
// APP", "exempt APP", "unexempt APP" with exactly one space; at most maxRestrictionLineBytes.
// APP is taken as written here (whether it is a name the helper takes is the policy's to say).
// nullopt with *error saying why otherwise.
std::optional<RestrictionLine> parseRestrictionLine(std::string_view line, std::string* error);

// The keyword of a verb, as written in the lines.
std::string_view restrictionKeyword(RestrictionVerb verb);

}  // namespace bytarn::trafficd
