#include "trafficd/counting/ForwardCounters.h"

#include "trafficd/Log.h"

#include <net/if.h>
#include <nftables/libnftables.h>
#include <nlohmann/json.hpp>

#include <charconv>

namespace bytarn::trafficd {

namespace {

// The set keyed by the packet's two interface numbers, one counter per element. The forward
// hook sees only packets this machine forwards. Priority 100, after the filters at 0 (iptables,
// Docker's and firewalld's chains): a packet they drop never left, and is not counted.
// `flags owner`: the table belongs to the helper's netlink socket, so nobody else can change
// it, `nft flush ruleset` leaves it, and the kernel deletes it when the helper dies.
// The bridge table counts IPv4 and IPv6 frames only (usage is counted in IP bytes); at the
// bridge hook a frame's length is without its Ethernet header.
std::string tableText(const std::string& family) {
    std::string table = family + " " + ForwardCounters::tableName;
    std::string match = family == "bridge" ? "meta protocol { ip, ip6 } " : "";
    // Adding and deleting first replaces a stale table of that name in one transaction.
    return "add table " + table + "\ndelete table " + table + "\ntable " + table + R"( {
  flags owner
  set forwarded {
    type iface_index . iface_index
    size )" +
           std::to_string(ForwardCounters::maxPairs) +
           R"(
    flags dynamic
    counter
  }
  chain forward {
    type filter hook forward priority 100; policy accept;
    )" + match +
           R"(update @forwarded { meta iif . meta oif }
  }
}
)";
}

// nft prints an interface number by its name while the interface exists, else as the number.
// nullopt: a name that no longer resolves (gone since the listing; a number next time).
std::optional<unsigned> interfaceIndex(const nlohmann::json& value, bool& gone) {
    if (value.is_number_unsigned()) {
        gone = true;
        return value.get<unsigned>();
    }
    if (!value.is_string()) return std::nullopt;
    auto text = value.get<std::string>();
    if (unsigned index = if_nametoindex(text.c_str())) return index;
    unsigned number = 0;
    auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), number);
    if (error != std::errc() || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    gone = true;
    return number;
}

}  // namespace

ForwardCounters::ForwardCounters() : nft_(nft_ctx_new(NFT_CTX_DEFAULT)) {
    if (!nft_) {
        logLine("forwarded traffic is not counted: libnftables could not start");
        return;
    }
    nft_ctx_buffer_output(nft_);
    nft_ctx_buffer_error(nft_);
    nft_ctx_output_set_flags(nft_, NFT_CTX_OUTPUT_JSON);
    routed_ = makeTable("inet");
    bridged_ = routed_ && makeTable("bridge");
}

ForwardCounters::~ForwardCounters() {
    if (!nft_) return;
    if (routed_) run(std::string("delete table inet ") + tableName);
    if (bridged_) run(std::string("delete table bridge ") + tableName);
    nft_ctx_free(nft_);
}

bool ForwardCounters::makeTable(const char* family) {
    auto error = run(tableText(family));
    if (!error) return true;
    // One line: without nf_tables (or the right to use it) the bridge table is not tried.
    bool bridge = std::string(family) == "bridge";
    logLine(std::string(bridge ? "bridged traffic" : "forwarded traffic (routed and bridged)") +
            " is not counted: cannot make the nftables table " + family + " " + tableName + " (" +
            *error + "); the kernel may lack nf_tables" + (bridge ? "' bridge family" : "") +
            ", or the helper CAP_NET_ADMIN, or another bytarn-trafficd owns the table");
    return false;
}

std::optional<std::string> ForwardCounters::run(const std::string& command) {
    int status = nft_run_cmd_from_buffer(nft_, command.c_str());
    std::string error = nft_ctx_get_error_buffer(nft_);  // also empties it for the next command
    if (status == 0) return std::nullopt;
    // nft's first line says why ("Error: Could not process rule: Operation not supported");
    // the rest quotes the command.
    auto end = error.find('\n');
    error = error.substr(0, end);
    if (error.starts_with("Error: ")) error.erase(0, 7);
    return error.empty() ? "nft failed" : error;
}

std::vector<ForwardReading> ForwardCounters::read() {
    std::vector<ForwardReading> readings;
    for (bool bridged : {false, true}) {
        if (!(bridged ? bridged_ : routed_)) continue;
        auto error = run(std::string("list set ") + (bridged ? "bridge " : "inet ") + tableName +
                         " forwarded");
        std::string output = nft_ctx_get_output_buffer(nft_);
        if (error) {
            if (!readFailureLogged_)
                logLine("cannot read the forwarded traffic's counters: " + *error);
            readFailureLogged_ = true;
            continue;
        }
        auto elements = parseElements(output, bridged);
        readings.insert(readings.end(), elements.begin(), elements.end());
    }
    return readings;
}

std::vector<ForwardReading> ForwardCounters::parseElements(const std::string& json, bool bridged) {
    std::vector<ForwardReading> readings;
    auto answer = nlohmann::json::parse(json, nullptr, false);
    if (!answer.is_object() || !answer.contains("nftables") || !answer["nftables"].is_array())
        return readings;
    for (const auto& item : answer["nftables"]) {
        if (!item.is_object() || !item.contains("set")) continue;
        const auto& set = item["set"];
        if (!set.is_object() || !set.contains("elem") || !set["elem"].is_array()) continue;
        for (const auto& wrapped : set["elem"]) {
            // {"elem": {"val": {"concat": [IN, OUT]}, "counter": {"packets": P, "bytes": B}}}
            if (!wrapped.is_object() || !wrapped.contains("elem")) continue;
            const auto& element = wrapped["elem"];
            if (!element.is_object() || !element.contains("val") || !element.contains("counter"))
                continue;
            const auto& value = element["val"];
            const auto& counter = element["counter"];
            if (!value.is_object() || !value.contains("concat") || !value["concat"].is_array() ||
                value["concat"].size() != 2 || !counter.is_object() || !counter.contains("bytes") ||
                !counter["bytes"].is_number_unsigned())
                continue;
            ForwardReading reading;
            reading.bridged = bridged;
            auto in = interfaceIndex(value["concat"][0], reading.interfaceGone);
            auto out = interfaceIndex(value["concat"][1], reading.interfaceGone);
            if (!in || !out) continue;
            reading.inIndex = *in;
            reading.outIndex = *out;
            reading.bytes = counter["bytes"].get<uint64_t>();
            readings.push_back(reading);
        }
    }
    return readings;
}

void ForwardCounters::remove(const ForwardReading& element) {
    // Numbers: a gone interface has no name (nft takes a number for an index).
    auto error = run(std::string("delete element ") + (element.bridged ? "bridge " : "inet ") +
                     tableName + " forwarded { " + std::to_string(element.inIndex) + " . " +
                     std::to_string(element.outIndex) + " }");
    if (error)
        logLine("cannot delete the forwarded traffic's counter of interfaces " +
                std::to_string(element.inIndex) + " and " + std::to_string(element.outIndex) +
                ": " + *error);
}

}  // namespace bytarn::trafficd
