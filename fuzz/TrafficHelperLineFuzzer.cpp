// The kernel source's reader of the traffic helper's lines, whose socket anyone may own: every
// line is refused with a reason or read into a message whose fields keep their ranges, and an
// accepted message, written out again, reads the same. And the names in those lines: each input
// line, taken as a program's or a scope's name (which a user may choose freely), comes out of the
// helper's cleaning as a name the collector counts, in a delta line it reads whole. And each
// line as a client's restriction line to the helper: refused with a reason, or read within its
// bound into a keyword and a name that write the same line again, which the policy takes only
// as a clean name, within its bound, and logs without a control character.
#include <nlohmann/json.hpp>

#include <algorithm>
#include <string>
#include <string_view>
#include <variant>

#include "collector/sources/RecordLineReader.h"
#include "collector/sources/TrafficHelperLine.h"
#include "fuzz/FuzzSupport.h"
#include "trafficd/Log.h"
#include "trafficd/cgroups/ApplicationName.h"
#include "trafficd/restrictions/RestrictionPolicy.h"
#include "trafficd/serving/LineFormat.h"
#include "trafficd/serving/RestrictionLine.h"

namespace {

using FuzzSupport::fail;
using json = nlohmann::json;

bool isEpoch(const std::string& epoch) {
    if (epoch.size() != 16) return false;
    for (char c : epoch)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

json written(const TrafficHelperMessage& message) {
    if (auto* hello = std::get_if<TrafficHelperHello>(&message))
        return {{"hello", "bytarn-trafficd"},
                {"version", hello->version},
                {"uid", hello->uid},
                {"epoch", hello->epoch}};
    if (auto* refusal = std::get_if<TrafficHelperRefusal>(&message))
        return {{"error", refusal->reason}};
    const auto& delta = std::get<TrafficDelta>(message);
    json usage = json::array();
    for (const auto& entry : delta.usage)
        usage.push_back(
            {{"app", entry.app}, {"kind", networkKindName(entry.kind)}, {"bytes", entry.bytes}});
    return {{"epoch", delta.epoch}, {"seq", delta.seq}, {"time", delta.time}, {"usage", usage}};
}

void check(std::string_view line) {
    std::string error;
    auto message = parseTrafficHelperLine(line, &error);
    if (!message) {
        if (error.empty()) fail("a refused line gave no reason", std::string(line));
        return;
    }
    if (auto* hello = std::get_if<TrafficHelperHello>(&*message)) {
        if (hello->version < 1 || hello->uid < 0 || !isEpoch(hello->epoch))
            fail("a hello out of range was accepted", std::string(line));
    } else if (auto* delta = std::get_if<TrafficDelta>(&*message)) {
        if (!isEpoch(delta->epoch) || delta->seq < 1 || delta->time < 0 ||
            delta->time > kLatestDeltaTime || (delta->usage.empty() && delta->skipped.empty()))
            fail("a delta out of range was accepted", std::string(line));
        for (const auto& entry : delta->skipped)
            if (entry.reason.empty()) fail("a usage entry was skipped without a reason", "");
        for (const auto& entry : delta->usage)
            if (entry.app.empty() || !checkApplicationIdentifier(entry.app, nullptr) ||
                entry.bytes < 1 || entry.bytes > 0x7fff'ffff'ffff'ffffULL)
                fail("a usage entry out of range was accepted", std::string(line));
    } else if (auto* listed = std::get_if<TrafficHelperInterfaces>(&*message)) {
        // Printed by `bytarn networks`, reasons shortened: checked, not read back.
        for (const auto& interface : listed->interfaces) {
            if (interface.name.empty() || interface.name.size() > 15 || interface.index < 1 ||
                interface.index > 0xffff'ffffLL)
                fail("an interface out of range was accepted", std::string(line));
            for (unsigned char c : interface.name + interface.reason)
                if (c < 0x20 || c == 0x7f) fail("an interface keeps a control character", "");
        }
        return;
    } else {
        // A refusal is only logged, shortened: it is not read back.
        for (unsigned char c : std::get<TrafficHelperRefusal>(*message).reason)
            if (c < 0x20 || c == 0x7f) fail("a refusal keeps a control character", "");
        return;
    }
    // A delta whose every entry was skipped is read as nothing to count (its seq is still
    // acknowledged); the helper never writes such a line, so there is nothing to read back.
    if (const auto* delta = std::get_if<TrafficDelta>(&*message); delta && delta->usage.empty())
        return;
    std::string again = written(*message).dump();
    auto reread = parseTrafficHelperLine(again, &error);
    if (!reread || written(*reread) != written(*message))
        fail("an accepted line reads differently written out", again);
}

void checkName(std::string_view name) {
    namespace trafficd = bytarn::trafficd;
    std::string clean = trafficd::cleanApplicationName(name);
    if (!trafficd::isCleanApplicationName(clean)) fail("a cleaned name is not clean", clean);
    if (trafficd::cleanApplicationName(clean) != clean)
        fail("cleaning changed a clean name", clean);
    if (trafficd::isCleanApplicationName(name) && clean != name)
        fail("cleaning changed a clean name", std::string(name));
    std::string why;
    if (!checkApplicationIdentifier(clean, &why)) fail("the collector refuses a cleaned name", why);
    trafficd::Delta delta;
    delta.seq = 1;
    delta.bytes[{clean, "wifi"}] = 1;
    std::string line = trafficd::deltaLine("9f1c0b7e5a3d2e11", delta);
    line.pop_back();  // the newline
    std::string error;
    auto message = parseTrafficHelperLine(line, &error);
    const auto* read = message ? std::get_if<TrafficDelta>(&*message) : nullptr;
    if (!read || !read->skipped.empty() || read->usage.size() != 1 || read->usage[0].app != clean)
        fail("the collector does not count a delta of a cleaned name", line);
}

void checkRestriction(std::string_view line, bytarn::trafficd::RestrictionPolicy& policy) {
    namespace trafficd = bytarn::trafficd;
    std::string error;
    auto parsed = trafficd::parseRestrictionLine(line, &error);
    if (!parsed) {
        if (error.empty()) fail("a refused restriction line gave no reason", std::string(line));
        return;
    }
    if (line.size() > trafficd::maxRestrictionLineBytes)
        fail("a restriction line past the bound was read", std::string(line));
    std::string again(trafficd::restrictionKeyword(parsed->verb));
    if (!parsed->app.empty()) again += " " + parsed->app;
    if (again != line) fail("a restriction line reads differently written out", again);
    trafficd::RestrictionPolicy::Outcome outcome;
    auto refusal = policy.apply(1000, *parsed, &outcome);
    if (refusal) {
        if (refusal->empty() || outcome.changed)
            fail("a refused restriction changed something", "");
        return;
    }
    bool named = !parsed->app.empty();
    if (named && !trafficd::isCleanApplicationName(parsed->app))
        fail("the policy took a name the helper never sends", parsed->app);
    for (unsigned char c : outcome.summary)
        if (c < 0x20 || c == 0x7f) fail("a restriction's log text keeps a control character", "");
    size_t held = 0;
    for (const auto& [uid, set] : policy.sets())
        held = std::max(held, set.restricted.size() + set.exempt.size());
    if (held > trafficd::RestrictionPolicy::maxNamesPerUid)
        fail("a uid holds more names than its bound", "");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzSupport::resetForInput();
    std::string_view text = FuzzSupport::textOf(data, size);
    bytarn::trafficd::RestrictionPolicy policy;  // one client's lines in order
    for (std::size_t at = 0; at <= text.size();) {
        std::size_t newline = text.find('\n', at);
        if (newline == std::string_view::npos) newline = text.size();
        check(text.substr(at, newline - at));
        checkName(text.substr(at, newline - at));
        checkRestriction(text.substr(at, newline - at), policy);
        at = newline + 1;
    }
    return 0;
}
