// The kernel source's reader of the traffic helper's lines, whose socket anyone may own: every
// line is refused with a reason or read into a message whose fields keep their ranges, and an
// accepted message, written out again, reads the same. And the names in those lines: each input
// line, taken as a program's or a scope's name (which a user may choose freely), comes out of the
// helper's cleaning as a name the collector counts, in a delta line it reads whole.
#include <nlohmann/json.hpp>

#include <string>
#include <string_view>
#include <variant>

#include "collector/sources/RecordLineReader.h"
#include "collector/sources/TrafficHelperLine.h"
#include "fuzz/FuzzSupport.h"
#include "trafficd/cgroups/ApplicationName.h"
#include "trafficd/serving/LineFormat.h"

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

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzSupport::resetForInput();
    std::string_view text = FuzzSupport::textOf(data, size);
    for (std::size_t at = 0; at <= text.size();) {
        std::size_t newline = text.find('\n', at);
        if (newline == std::string_view::npos) newline = text.size();
        check(text.substr(at, newline - at));
        checkName(text.substr(at, newline - at));
        at = newline + 1;
    }
    return 0;
}
