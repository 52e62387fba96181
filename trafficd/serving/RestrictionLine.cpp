#include "trafficd/serving/RestrictionLine.h"

#include <array>
#include <utility>

namespace bytarn::trafficd {

namespace {

struct Keyword {
    std::string_view word;
    RestrictionVerb verb;
    bool takesApp;
};

constexpr std::array<Keyword, 7> keywords{{{"clear", RestrictionVerb::clear, false},
                                           {"restrict", RestrictionVerb::restrict, true},
                                           {"allow", RestrictionVerb::allow, true},
                                           {"exempt", RestrictionVerb::exempt, true},
                                           {"unexempt", RestrictionVerb::unexempt, true},
                                           {"pause", RestrictionVerb::pause, false},
                                           {"resume", RestrictionVerb::resume, false}}};

const Keyword* keywordOf(std::string_view line) {
    auto word = line.substr(0, line.find(' '));
    for (const auto& keyword : keywords)
        if (keyword.word == word) return &keyword;
    return nullptr;
}

}  // namespace

bool isRestrictionLine(std::string_view line) {
    return keywordOf(line) != nullptr;
}

std::string_view restrictionKeyword(RestrictionVerb verb) {
    for (const auto& keyword : keywords)
        if (keyword.verb == verb) return keyword.word;
    return {};
}

std::optional<RestrictionLine> parseRestrictionLine(std::string_view line, std::string* error) {
    auto refuse = [&](std::string why) -> std::optional<RestrictionLine> {
        if (error) *error = std::move(why);
        return std::nullopt;
    };
    if (line.size() > maxRestrictionLineBytes)
        return refuse("a restriction line is at most " + std::to_string(maxRestrictionLineBytes) +
                      " bytes");
    const Keyword* keyword = keywordOf(line);
    if (!keyword) return refuse("unknown keyword");
    if (!keyword->takesApp) {
        if (line.size() != keyword->word.size())
            return refuse(std::string(keyword->word) + " takes nothing after it");
        return RestrictionLine{keyword->verb, {}};
    }
    if (line.size() < keyword->word.size() + 2)
        return refuse(std::string(keyword->word) + " needs one space and a name");
    return RestrictionLine{keyword->verb, std::string(line.substr(keyword->word.size() + 1))};
}

}  // namespace bytarn::trafficd
