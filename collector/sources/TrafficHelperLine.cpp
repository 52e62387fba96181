#include "collector/sources/TrafficHelperLine.h"

#include <nlohmann/json.hpp>

#include "collector/sources/RecordLineReader.h"

namespace {

using json = nlohmann::json;

constexpr std::uint64_t kLargestCount = 0x7fff'ffff'ffff'ffffULL;
// Values of a usage entry sit at depth 3; nothing the helper sends goes deeper.
constexpr int kDeepestValue = 3;

bool fail(std::string* error, std::string why) {
    if (error) *error = std::move(why);
    return false;
}

bool readEpoch(const json& object, std::string* epoch, std::string* error) {
    auto found = object.find("epoch");
    if (found == object.end() || !found->is_string())
        return fail(error, "\"epoch\" is missing or not a string");
    const auto& text = found->get_ref<const std::string&>();
    bool hex = text.size() == 16;
    for (char c : text) hex = hex && ((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'));
    if (!hex)
        return fail(error,
                    "\"epoch\" " + printableExcerpt(text, 40) + " is not 16 lower-case hex digits");
    *epoch = text;
    return true;
}

// An integer field from `least` to `most`; floats, strings and the like are refused.
bool readInteger(const json& object, const char* name, std::uint64_t least, std::uint64_t most,
                 std::int64_t* value, std::string* error) {
    auto found = object.find(name);
    if (found == object.end()) return fail(error, std::string("\"") + name + "\" is missing");
    std::string range = " from " + std::to_string(least) + " to " + std::to_string(most);
    if (!found->is_number_integer())
        return fail(error, std::string("\"") + name + "\" is not an integer" + range);
    if (!found->is_number_unsigned())  // a negative integer
        return fail(error, std::string("\"") + name + "\" is out of range (expected" + range + ")");
    auto number = found->get<std::uint64_t>();
    if (number < least || number > most)
        return fail(error, std::string("\"") + name + "\" " + std::to_string(number) +
                               " is out of range (expected" + range + ")");
    *value = static_cast<std::int64_t>(number);
    return true;
}

// Why an entry cannot be counted, or nothing when it can (then it is added to *usage).
std::optional<std::string> readUsageEntry(const json& entry,
                                          std::vector<UsageCollector::Traffic>* usage) {
    if (!entry.is_object()) return "not an object";
    auto app = entry.find("app");
    if (app == entry.end() || !app->is_string() || app->get_ref<const std::string&>().empty())
        return "\"app\" is missing, empty or not a string";
    std::string why;
    if (!checkApplicationIdentifier(app->get_ref<const std::string&>(), &why)) return why;
    auto kindField = entry.find("kind");
    std::optional<NetworkKind> kind;
    if (kindField != entry.end() && kindField->is_string())
        kind = networkKindNamed(kindField->get_ref<const std::string&>());
    if (!kind) return "\"kind\" is missing or not one of wifi, cellular and unknown";
    std::int64_t bytes = 0;
    if (!readInteger(entry, "bytes", 1, kLargestCount, &bytes, &why)) return why;
    usage->push_back(
        {app->get_ref<const std::string&>(), *kind, static_cast<std::uint64_t>(bytes)});
    return std::nullopt;
}

bool readUsage(const json& object, TrafficDelta* delta, std::string* error) {
    auto found = object.find("usage");
    if (found == object.end() || !found->is_array() || found->empty())
        return fail(error, "\"usage\" is missing or not a non-empty list");
    for (std::size_t index = 0; index < found->size(); ++index) {
        const json& entry = (*found)[index];
        if (auto why = readUsageEntry(entry, &delta->usage)) {
            std::string app;
            if (entry.is_object())
                if (auto name = entry.find("app"); name != entry.end() && name->is_string())
                    app = name->get<std::string>();
            delta->skipped.push_back(
                {std::move(app), "usage entry " + std::to_string(index + 1) + ": " + *why});
        }
    }
    return true;
}

bool readInterfaces(const json& list, std::vector<TrafficHelperInterface>* interfaces,
                    std::string* error) {
    if (!list.is_array()) return fail(error, "\"interfaces\" is not a list");
    for (std::size_t index = 0; index < list.size(); ++index) {
        const json& entry = list[index];
        std::string where = "interface " + std::to_string(index + 1) + ": ";
        if (!entry.is_object()) return fail(error, where + "not an object");
        TrafficHelperInterface interface;
        auto name = entry.find("name");
        bool named = name != entry.end() && name->is_string();
        if (named) {
            // The kernel's own rule for a name (dev_valid_name), and at most IFNAMSIZ - 1 bytes.
            const auto& text = name->get_ref<const std::string&>();
            named = !text.empty() && text.size() <= 15 && text != "." && text != "..";
            for (char c : text)
                named = named && static_cast<unsigned char>(c) > 0x20 && c != 0x7f && c != '/' &&
                        c != ':';
            if (named) interface.name = text;
        }
        if (!named) return fail(error, where + "\"name\" is missing or not an interface name");
        std::string why;
        if (!readInteger(entry, "index", 1, 0xffff'ffffULL, &interface.index, &why))
            return fail(error, where + why);
        auto kind = entry.find("kind");
        if (kind == entry.end() || !kind->is_string() ||
            (*kind != "wifi" && *kind != "cellular" && *kind != "unknown" && *kind != "ignore"))
            return fail(error, where +
                                   "\"kind\" is missing or not one of wifi, cellular, unknown and "
                                   "ignore");
        interface.kind = kind->get<std::string>();
        auto reason = entry.find("reason");
        if (reason == entry.end() || !reason->is_string())
            return fail(error, where + "\"reason\" is missing or not a string");
        interface.reason = printableExcerpt(reason->get_ref<const std::string&>());
        interfaces->push_back(std::move(interface));
    }
    return true;
}

}  // namespace

std::string printableExcerpt(std::string_view text, std::size_t limit) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (char c : text) {
        if (out.size() >= limit) {
            out += "...";
            break;
        }
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) {
            out += "\\x";
            out += kHex[byte >> 4];
            out += kHex[byte & 0xf];
        } else {
            out += c;
        }
    }
    return out;
}

std::optional<TrafficHelperMessage> parseTrafficHelperLine(std::string_view line,
                                                           std::string* error) {
    bool tooDeep = false;
    json::parser_callback_t depthLimit = [&tooDeep](int depth, json::parse_event_t, json&) {
        if (depth > kDeepestValue) tooDeep = true;
        return !tooDeep;
    };
    json object;
    try {
        object = json::parse(line.begin(), line.end(), depthLimit);
    } catch (const json::parse_error& parseError) {
        fail(error, "not JSON (at byte " + std::to_string(parseError.byte) + ")");
        return std::nullopt;
    } catch (const json::exception&) {
        // A number beyond a double's range is well-formed JSON that the reader cannot hold.
        fail(error, "not JSON that can be read (a number out of range)");
        return std::nullopt;
    }
    if (tooDeep) {
        fail(error, "nested deeper than a message of the helper");
        return std::nullopt;
    }
    if (!object.is_object()) {
        fail(error, "not a JSON object");
        return std::nullopt;
    }

    if (auto refusal = object.find("error"); refusal != object.end()) {
        if (!refusal->is_string()) {
            fail(error, "\"error\" is not a string");
            return std::nullopt;
        }
        return TrafficHelperRefusal{printableExcerpt(refusal->get_ref<const std::string&>())};
    }
    if (auto hello = object.find("hello"); hello != object.end()) {
        if (*hello != "bytarn-trafficd") {
            fail(error, "a hello from something other than bytarn-trafficd");
            return std::nullopt;
        }
        TrafficHelperHello parsed;
        if (!readInteger(object, "version", 1, kLargestCount, &parsed.version, error) ||
            !readInteger(object, "uid", 0, 0xffff'ffffULL, &parsed.uid, error) ||
            !readEpoch(object, &parsed.epoch, error))
            return std::nullopt;
        return parsed;
    }
    if (auto list = object.find("interfaces"); list != object.end()) {
        TrafficHelperInterfaces parsed;
        if (!readInterfaces(*list, &parsed.interfaces, error)) return std::nullopt;
        return parsed;
    }
    if (object.contains("epoch")) {
        TrafficDelta delta;
        if (!readEpoch(object, &delta.epoch, error) ||
            !readInteger(object, "seq", 1, kLargestCount, &delta.seq, error) ||
            !readInteger(object, "time", 0, kLatestDeltaTime, &delta.time, error) ||
            !readUsage(object, &delta, error))
            return std::nullopt;
        return delta;
    }
    fail(error, "neither a hello, a delta, the interfaces nor an error");
    return std::nullopt;
}
