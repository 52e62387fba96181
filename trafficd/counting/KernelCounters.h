// The eBPF side: loads the embedded object, attaches it to a cgroup through BPF links (detached
// again by the destructor), and reads and trims the per-CPU counters.
#pragma once

#include "trafficd/counting/traffic.h"

#include <cstdint>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <string>
#include <unordered_map>
#include <vector>

struct traffic_bpf;
struct bpf_link;
struct bpf_program;
struct ring_buffer;

namespace bytarn::trafficd {

// A reason the helper cannot count, worded for the person starting it.
class StartError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Each bucket's share of the kernel's tables (traffic.bpf.c): a bucket is the cgroup at
// bucketLevel above a socket's (user.slice/user-<UID>.slice when the counted root is at level
// bucketLevel - 2). bucketLevel 0 turns shares off.
// A quarter of the counters: one user cannot take more than that, and a burst of short-lived
// scopes (a build, a test run: thousands a second, each a new key until a reading gives its key
// back) stays within it; at 1/16 such a burst of 10,000 scopes put 6% of its bytes under
// "Other programs".
struct TableShares {
    uint32_t bucketLevel = 0;
    uint64_t keys = BYTARN_TRAFFIC_MAX_ENTRIES / 4;
    uint64_t names = BYTARN_PROGRAMS_MAX / 8;
};

struct CounterReading {
    traffic_key key;
    uint64_t bytes;       // total since the entry was created, over all CPUs
    std::string program;  // the name of key.program; empty when unknown
};

// The restriction side of the kernel object (traffic.bpf.c): the maps the helper fills, its two
// switches, and the connect/sendmsg programs, attached by whoever enforces restrictions. The
// packet hooks that drop are the counting programs themselves: a dropped packet is not counted.
struct RestrictionHooks {
    int cellularLinks = -1, cellularLinksHigh = -1, blockedCgroups = -1, listedPrograms = -1,
        routes4 = -1, routes6 = -1;
    volatile uint32_t* restrictionsOn = nullptr;  // 0: no packet looks at the maps
    volatile uint32_t* generation = nullptr;      // moved on when the blocked sockets change
    volatile uint32_t* routesKnown = nullptr;     // the route tries mirror the routing decision
    std::vector<bpf_program*> addressPrograms;    // connect4, sendmsg4, connect6, sendmsg6
    int cgroupFd = -1;                            // where the counters are attached
};

class KernelCounters {
  public:
    // Told of each cgroup made while the counters run; may be empty (tests).
    using NewCgroup = std::function<void(uint64_t id, std::string path)>;

    // Throws StartError when the kernel or the privileges fall short. `slots` of the kernel's
    // table are handed out (at most BYTARN_TRAFFIC_MAX_ENTRIES; tests use fewer).
    // packetNetns false: count as on a kernel whose cgroup_skb programs cannot tell a packet's
    // network namespace (tests; such a kernel is found and logged by itself).
    KernelCounters(const std::filesystem::path& attachCgroup, NewCgroup onNewCgroup,
                   uint32_t slots = BYTARN_TRAFFIC_MAX_ENTRIES, TableShares shares = {},
                   bool packetNetns = true);
    ~KernelCounters();
    KernelCounters(const KernelCounters&) = delete;
    KernelCounters& operator=(const KernelCounters&) = delete;

    // A descriptor that is readable when cgroup_mkdir events wait; -1 without them.
    int eventsFd() const;
    // Hands waiting cgroup_mkdir events to onNewCgroup.
    void drainEvents();

    // Every counter. Every `programPassEvery` readings it also gives back program numbers that
    // no live socket and no counter uses (their names first leave the kernel's table; the number
    // itself goes back a pass later, when no socket can still be taking it).
    std::vector<CounterReading> read();
    // Deletes an entry; a packet that arrives later starts it again from zero. Its slot is given
    // back at the next reading, once no packet can still be counting into it, and its bucket's
    // share is refunded.
    void remove(const traffic_key& key);

    RestrictionHooks restrictionHooks() const;
    // Every program name the kernel has numbered now, by number.
    std::vector<std::pair<uint16_t, std::string>> programNumbers() const;

    uint32_t programPassEvery = 10;
    // Program names the kernel holds now (tests, figures).
    size_t programsHeld() const;
    // The live sockets the kernel counts as users of a program name's number; 0 for a name it
    // does not hold (tests).
    int64_t socketsOf(const std::string& program) const;

  private:
    void release();
    static int onEvent(void* self, void* data, size_t size);
    const std::string& programName(uint16_t number);

    void releaseRemovedSlots();
    void releaseUnusedPrograms(const std::vector<CounterReading>& readings);
    void refund(uint64_t bucket, uint64_t keys, uint64_t names);

    // Program numbers already named: the kernel never renumbers a name while the helper runs.
    std::unordered_map<uint16_t, std::string> programNames_;
    std::vector<uint32_t> removedSlots_;      // taken from their keys since the last reading
    std::vector<uint16_t> retiringPrograms_;  // names deleted, numbers not yet given back
    uint64_t readingsDone_ = 0;
    NewCgroup onNewCgroup_;
    traffic_bpf* skeleton_ = nullptr;
    std::vector<bpf_link*> links_;
    ring_buffer* events_ = nullptr;
    int cgroupFd_ = -1;
};

}  // namespace bytarn::trafficd
