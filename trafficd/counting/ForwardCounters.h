// Forwarded traffic (routed by this machine, or bridged between its interfaces into containers
// and virtual machines): nftables counters in the forward hooks, which only forwarded packets
// pass, so local traffic pays nothing for them. One counter per (in-interface, out-interface)
// pair, made by the packet path in a dynamic set of the helper's own tables.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct nft_ctx;

namespace bytarn::trafficd {

struct ForwardReading {
    unsigned inIndex = 0, outIndex = 0;
    bool bridged = false;        // from the bridge table: a frame between two ports of a bridge
    bool interfaceGone = false;  // one of the two interfaces no longer exists
    uint64_t bytes = 0;          // IP bytes since the element was made
    bool operator==(const ForwardReading&) const = default;
};

class ForwardCounters {
  public:
    // `table inet bytarn_trafficd` and `table bridge bytarn_trafficd`; the name is the helper's.
    static constexpr const char* tableName = "bytarn_trafficd";
    // Elements per table: pairs of interfaces, so thousands of containers' links fit.
    static constexpr unsigned maxPairs = 4096;

    // Makes both tables, replacing stale ones of that name. Without nf_tables, its bridge
    // family or the right to use them, logs one line and counts without them.
    ForwardCounters();
    // Deletes the tables (the kernel also deletes them when the helper dies: they are owned by
    // its netlink socket).
    ~ForwardCounters();
    ForwardCounters(const ForwardCounters&) = delete;
    ForwardCounters& operator=(const ForwardCounters&) = delete;

    bool countsRouted() const { return routed_; }
    bool countsBridged() const { return bridged_; }

    // Every element's total; an element whose interface name cannot be resolved in between is
    // left out until the next reading.
    std::vector<ForwardReading> read();
    // Deletes an element (its interfaces are gone and its last growth is taken).
    void remove(const ForwardReading& element);

    // The elements of one `nft -j list set` answer (exposed for tests).
    static std::vector<ForwardReading> parseElements(const std::string& json, bool bridged);

  private:
    // nft's error text (its first line), or nullopt when the command succeeded.
    std::optional<std::string> run(const std::string& command);
    bool makeTable(const char* family);

    nft_ctx* nft_ = nullptr;
    bool routed_ = false, bridged_ = false;
    bool readFailureLogged_ = false;
};

}  // namespace bytarn::trafficd
