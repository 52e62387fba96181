// Restrictions turned into kernel state: which cgroups' sockets (and, where a cgroup is named by
// its programs, which programs' sockets in it) are kept off cellular, which interfaces are
// cellular now, and which routes leave by them. Prepared, probed and installed as the kernel
// object's other parts are: the maps are the counting object's (its packet hooks drop before
// they count), the connect/sendmsg programs are attached here through links the helper's
// descriptors own, so nothing stays blocked once the helper stops or dies.
#pragma once

#include "trafficd/counting/KernelCounters.h"
#include "trafficd/restrictions/RestrictionPolicy.h"

#include <cstdint>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <unordered_map>
#include <utility>
#include <vector>

struct bpf_link;

namespace bytarn::trafficd {

class CgroupDirectory;
class InterfaceKinds;
struct RoutingTables;

// The sockets kept off cellular, as the kernel's maps hold them (traffic.h).
struct BlockedSockets {
    std::map<uint64_t, uint8_t> cgroups;               // id -> BYTARN_BLOCK_*
    std::set<std::pair<uint64_t, uint16_t>> programs;  // (cgroup id, program number) listed
    bool operator==(const BlockedSockets&) const = default;
};

// Which sockets the policy keeps off cellular, given every known cgroup (id, path below the
// mount) and the programs the kernel has numbered. A cgroup named by an application unit or a
// unit is blocked whole when its name is kept off; a cgroup named by its programs (no
// application unit) is blocked per program: the programs whose names are restricted, or while
// paused every program but the exempt ones (program 0, unknown, goes by the unit's name).
// What a cgroup's path says about its names: owner, whether it goes by its programs' names, its
// name when it does not (or when its program is unknown).
struct CgroupNames {
    std::string path;
    std::optional<uid_t> owner;
    bool byProgram = false;
    std::string app;
};
using CgroupNamesCache = std::unordered_map<uint64_t, CgroupNames>;

// `cache` (may be null) keeps each cgroup's names from one call to the next: the helper calls
// this on every new cgroup, and a path is read once.
BlockedSockets blockedSockets(const RestrictionPolicy& policy,
                              const std::vector<std::pair<uint64_t, std::string>>& cgroups,
                              const std::vector<std::pair<uint16_t, std::string>>& programs,
                              std::string_view countedRoot, CgroupNamesCache* cache = nullptr);

// The route tries' entries: (family, prefix, length) -> whether the route's interfaces are all
// cellular. Main-table routes by lowest metric, local-table routes (this machine's own
// addresses) over them.
struct RouteEntry {
    int family;
    std::vector<uint8_t> prefix;
    uint8_t length;
    bool operator<(const RouteEntry& other) const {
        return std::tie(family, prefix, length) <
               std::tie(other.family, other.prefix, other.length);
    }
};
std::map<RouteEntry, bool> cellularRoutes(const RoutingTables& tables,
                                          const std::set<unsigned>& cellularInterfaces);

class CellularBlocking {
  public:
    // Attaches the connect/sendmsg programs; a kernel that refuses them is logged, and packets
    // are still dropped at the hooks.
    explicit CellularBlocking(RestrictionHooks hooks);
    ~CellularBlocking();  // detaches them and lets everything through
    CellularBlocking(const CellularBlocking&) = delete;
    CellularBlocking& operator=(const CellularBlocking&) = delete;

    // Brings the kernel's state to the policy's: after a policy change, a new cgroup, a
    // reading (new program names, interface kinds, routes). `programs` and `routes` are read
    // by the caller only while something is restricted (restricting() says so).
    void update(const RestrictionPolicy& policy, CgroupDirectory& cgroups,
                const std::vector<std::pair<uint16_t, std::string>>& programs,
                InterfaceKinds& interfaces, const RoutingTables* routes);

    bool restricting() const { return on_; }

  private:
    void writeSockets(const BlockedSockets& wanted);
    void writeLinks(const std::set<unsigned>& wanted);
    void writeRoutes(const std::map<RouteEntry, bool>& wanted);
    void switchOff();

    RestrictionHooks hooks_;
    std::vector<bpf_link*> links_;
    BlockedSockets sockets_;
    std::set<unsigned> cellular_;
    std::map<RouteEntry, bool> routes_;
    CgroupNamesCache names_;
    bool on_ = false;
    bool fullLogged_ = false;
};

}  // namespace bytarn::trafficd
