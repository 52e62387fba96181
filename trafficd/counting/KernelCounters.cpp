#include "trafficd/counting/KernelCounters.h"

#include "traffic.skel.h"
#include "trafficd/Log.h"

#include <bpf/bpf.h>
#include <bpf/libbpf.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#ifndef SO_NETNS_COOKIE
#define SO_NETNS_COOKIE 71
#endif

namespace bytarn::trafficd {

namespace {

const char* permissionHint =
    "no permission to use BPF: bytarn-trafficd needs CAP_BPF and CAP_NET_ADMIN (CAP_SYS_ADMIN "
    "on kernels before 5.8), and CAP_PERFMON for naming short-lived cgroups";

// The program types and helpers the object uses; on a kernel without one of them, say which.
void checkKernelSupport() {
    struct Need {
        bpf_prog_type type;
        bpf_func_id helper;
        const char* what;
    };
    const Need needs[] = {
        {BPF_PROG_TYPE_CGROUP_SKB, BPF_FUNC_skb_cgroup_id,
         "cgroup_skb programs with bpf_skb_cgroup_id"},
        {BPF_PROG_TYPE_CGROUP_SKB, BPF_FUNC_sk_storage_get,
         "socket storage in cgroup_skb programs"},
        {BPF_PROG_TYPE_CGROUP_SOCK, BPF_FUNC_sk_storage_get,
         "socket storage in cgroup/sock_create programs"},
        {BPF_PROG_TYPE_CGROUP_SOCK, BPF_FUNC_get_current_comm,
         "bpf_get_current_comm in cgroup/sock_create programs"},
        {BPF_PROG_TYPE_CGROUP_SOCK, BPF_FUNC_get_netns_cookie,
         "bpf_get_netns_cookie in cgroup/sock_create programs"},
        {BPF_PROG_TYPE_CGROUP_SOCK, BPF_FUNC_get_socket_cookie,
         "bpf_get_socket_cookie in cgroup/sock_create programs"},
        {BPF_PROG_TYPE_CGROUP_SOCK, BPF_FUNC_get_current_cgroup_id,
         "bpf_get_current_cgroup_id in cgroup/sock_create programs"},
        {BPF_PROG_TYPE_CGROUP_SOCK, BPF_FUNC_get_current_ancestor_cgroup_id,
         "bpf_get_current_ancestor_cgroup_id in cgroup/sock_create programs"},
    };
    for (const auto& need : needs) {
        int supported = libbpf_probe_bpf_helper(need.type, need.helper, nullptr);
        if (supported == -EPERM || supported == -EACCES) throw StartError(permissionHint);
        if (supported == 0)
            throw StartError(std::string("this kernel lacks ") + need.what +
                             "; bytarn-trafficd needs Linux 6.1 or later with BPF enabled");
    }
}

// Whether cgroup_skb programs may call bpf_get_netns_cookie on this kernel, tried by loading
// one: libbpf's probe answers yes to every helper on some kernels.
bool tryPacketNetns() {
    const bpf_insn program[] = {
        // code, dst_reg, src_reg, off, imm
        {BPF_JMP | BPF_CALL, 0, 0, 0, BPF_FUNC_get_netns_cookie},
        {BPF_ALU64 | BPF_MOV | BPF_K, BPF_REG_0, 0, 0, 1},
        {BPF_JMP | BPF_EXIT, 0, 0, 0, 0},
    };
    int fd = bpf_prog_load(BPF_PROG_TYPE_CGROUP_SKB, nullptr, "GPL", program,
                           sizeof program / sizeof *program, nullptr);
    if (fd < 0) return false;
    ::close(fd);
    return true;
}

// libbpf's own messages repeat what the helper says in one line; BYTARN_TRAFFICD_DEBUG=1 shows
// them (verifier logs included).
int libbpfMessage(enum libbpf_print_level, const char* format, va_list arguments) {
    static const bool debug = std::getenv("BYTARN_TRAFFICD_DEBUG") != nullptr;
    return debug ? std::vfprintf(stderr, format, arguments) : 0;
}

uint64_t ownNetnsCookie() {
    int fd = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    uint64_t cookie = 0;
    socklen_t length = sizeof cookie;
    if (fd < 0 || ::getsockopt(fd, SOL_SOCKET, SO_NETNS_COOKIE, &cookie, &length) != 0) {
        logLine(
            "cannot learn this network namespace's cookie (Linux 5.14 or later); traffic of "
            "other namespaces may be counted");
        cookie = 0;
    }
    if (fd >= 0) ::close(fd);
    return cookie;
}

}  // namespace

KernelCounters::KernelCounters(const std::filesystem::path& attachCgroup, NewCgroup onNewCgroup,
                               uint32_t slots, TableShares shares, bool packetNetns)
    : onNewCgroup_(std::move(onNewCgroup)) {
    libbpf_set_print(libbpfMessage);
    cgroupFd_ = ::open(attachCgroup.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (cgroupFd_ < 0)
        throw StartError("cannot open cgroup " + attachCgroup.string() + ": " +
                         std::strerror(errno));
    try {
        checkKernelSupport();
        const uint64_t netnsCookie = ownNetnsCookie();
        const bool packetsKnowNetns = packetNetns && tryPacketNetns();
        // Without that, accepted connections are placed by a sock_ops program instead; a
        // kernel that refuses it loads the rest without it.
        bool placeAccepted = !packetsKnowNetns;
        // The cgroup_mkdir program reads kernel structures through BTF relocations; without the
        // kernel's BTF it stays out and scans alone name cgroups.
        bool followCgroups = ::access("/sys/kernel/btf/vmlinux", R_OK) == 0;
        // The connect/sendmsg programs of restrictions and the sock_ops refinement are each
        // left out by a kernel that refuses them, the rest loaded without: every combination
        // is tried, both first. (The verifier refuses with EACCES too, so only the last try
        // blames privileges.)
        struct Attempt {
            bool refuseAddresses, placeAccepted;
        };
        std::vector<Attempt> attempts{{true, placeAccepted}, {false, placeAccepted}};
        if (placeAccepted) attempts.insert(attempts.end(), {{true, false}, {false, false}});
        bool refuseAddresses = true;
        for (size_t attempt = 0;; ++attempt) {
            refuseAddresses = attempts[attempt].refuseAddresses;
            placeAccepted = attempts[attempt].placeAccepted;
            skeleton_ = traffic_bpf__open();
            if (!skeleton_)
                throw StartError(std::string("cannot open the embedded BPF object: ") +
                                 std::strerror(errno));
            skeleton_->rodata->helper_netns_cookie = netnsCookie;
            skeleton_->rodata->packets_know_netns = packetsKnowNetns;
            skeleton_->rodata->bucket_level = shares.bucketLevel;
            skeleton_->rodata->bucket_key_share = shares.keys;
            skeleton_->rodata->bucket_name_share = shares.names;
            if (!followCgroups) bpf_program__set_autoload(skeleton_->progs.name_new_cgroup, false);
            bpf_program__set_autoload(skeleton_->progs.place_accepted_socket, placeAccepted);
            for (auto* program :
                 {skeleton_->progs.refuse_connect4, skeleton_->progs.refuse_sendmsg4,
                  skeleton_->progs.refuse_connect6, skeleton_->progs.refuse_sendmsg6})
                bpf_program__set_autoload(program, refuseAddresses);
            int error = traffic_bpf__load(skeleton_);
            if (error == 0) break;
            traffic_bpf__destroy(skeleton_);
            skeleton_ = nullptr;
            if (error == -EPERM || attempt + 1 == attempts.size()) {
                if (error == -EPERM || error == -EACCES) throw StartError(permissionHint);
                throw StartError(std::string("the kernel refused the BPF programs (") +
                                 std::strerror(-error) +
                                 "); bytarn-trafficd needs Linux 6.1 or later with BPF enabled");
            }
        }
        if (!refuseAddresses)
            logLine(
                "this kernel refused the cgroup connect/sendmsg programs: restricted "
                "applications' connections over cellular links are dropped rather than refused "
                "at once");
        // Said once the programs are in, so that a start that fails for want of privileges
        // does not blame the kernel first.
        if (!packetsKnowNetns)
            logLine(std::string("this kernel does not tell cgroup_skb programs a packet's "
                                "network namespace: sockets that existed before "
                                "bytarn-trafficd started") +
                    (placeAccepted ? "" : ", and connections they accept,") +
                    " are counted even when they belong to another network namespace");
        // Every slot is free before the first packet is counted.
        int freeSlots = bpf_map__fd(skeleton_->maps.free_slots);
        for (uint32_t slot = 0; slot < std::min<uint32_t>(slots, BYTARN_TRAFFIC_MAX_ENTRIES);
             ++slot)
            if (bpf_map_update_elem(freeSlots, nullptr, &slot, BPF_ANY) != 0)
                throw StartError(std::string("cannot fill the kernel's table of free slots: ") +
                                 std::strerror(errno));
        int freePrograms = bpf_map__fd(skeleton_->maps.free_programs);
        for (uint16_t number = 1; number <= BYTARN_PROGRAMS_MAX; ++number)
            if (bpf_map_update_elem(freePrograms, nullptr, &number, BPF_ANY) != 0)
                throw StartError(
                    std::string("cannot fill the kernel's table of program numbers: ") +
                    std::strerror(errno));
        for (auto* program : {skeleton_->progs.record_socket_origin, skeleton_->progs.forget_socket,
                              skeleton_->progs.count_ingress, skeleton_->progs.count_egress}) {
            bpf_link* link = bpf_program__attach_cgroup(program, cgroupFd_);
            if (!link) {
                int error = errno;
                if (error == EPERM || error == EACCES) throw StartError(permissionHint);
                throw StartError(std::string("cannot attach ") + bpf_program__name(program) +
                                 " to " + attachCgroup.string() + ": " + std::strerror(error));
            }
            links_.push_back(link);
        }
        if (placeAccepted) {
            if (bpf_link* link =
                    bpf_program__attach_cgroup(skeleton_->progs.place_accepted_socket, cgroupFd_))
                links_.push_back(link);
            else
                logLine(std::string("cannot place accepted connections in their network "
                                    "namespace (") +
                        std::strerror(errno) +
                        "); those of older servers in other namespaces will be counted");
        }
        // Naming cgroups as they appear is a refinement: without it, scans still name every
        // cgroup that lives until the next reading.
        if (bpf_link* link = !followCgroups
                                 ? nullptr
                                 : bpf_program__attach_raw_tracepoint(
                                       skeleton_->progs.name_new_cgroup, "cgroup_mkdir")) {
            links_.push_back(link);
            events_ = ring_buffer__new(bpf_map__fd(skeleton_->maps.new_cgroups),
                                       &KernelCounters::onEvent, this, nullptr);
        }
        if (!events_)
            logLine(std::string("cannot follow new cgroups (") + std::strerror(errno) +
                    "); cgroups that vanish between two readings will be named by program only");
    } catch (...) {
        release();
        throw;
    }
}

KernelCounters::~KernelCounters() {
    release();
}

void KernelCounters::release() {
    if (events_) ring_buffer__free(events_);
    events_ = nullptr;
    for (auto* link : links_) bpf_link__destroy(link);
    links_.clear();
    if (skeleton_) traffic_bpf__destroy(skeleton_);
    skeleton_ = nullptr;
    if (cgroupFd_ >= 0) ::close(cgroupFd_);
    cgroupFd_ = -1;
}

int KernelCounters::eventsFd() const {
    return events_ ? ring_buffer__epoll_fd(events_) : -1;
}

void KernelCounters::drainEvents() {
    if (events_) ring_buffer__consume(events_);
}

int KernelCounters::onEvent(void* self, void* data, size_t size) {
    if (size < sizeof(new_cgroup)) return 0;
    auto* event = static_cast<const new_cgroup*>(data);
    std::string path(event->path, strnlen(event->path, sizeof event->path));
    // A path that filled the buffer may be cut short; the scan names that cgroup instead.
    auto& onNewCgroup = static_cast<KernelCounters*>(self)->onNewCgroup_;
    if (onNewCgroup && !path.empty() && path.size() < sizeof event->path - 1)
        onNewCgroup(event->id, std::move(path));
    return 0;
}

std::vector<CounterReading> KernelCounters::read() {
    drainEvents();  // names first, so that every counter below can be named
    releaseRemovedSlots();
    std::vector<CounterReading> readings;
    int keys = bpf_map__fd(skeleton_->maps.traffic);
    int bytes = bpf_map__fd(skeleton_->maps.slot_bytes);
    int cpus = libbpf_num_possible_cpus();
    std::vector<uint64_t> values(cpus > 0 ? cpus : 1);
    traffic_key key{}, next{};
    bool first = true;
    while (bpf_map_get_next_key(keys, first ? nullptr : &key, &next) == 0) {
        first = false;
        key = next;
        traffic_slot slot{};
        if (bpf_map_lookup_elem(keys, &key, &slot) != 0) continue;  // deleted meanwhile
        if (bpf_map_lookup_elem(bytes, &slot.slot, values.data()) != 0) continue;
        uint64_t total = 0;
        for (auto value : values) total += value;
        readings.push_back({key, total, programName(key.program)});
    }
    if (++readingsDone_ % std::max<uint32_t>(programPassEvery, 1) == 0)
        releaseUnusedPrograms(readings);
    return readings;
}

void KernelCounters::refund(uint64_t bucket, uint64_t keys, uint64_t names) {
    if (bucket == 0) return;
    // The helper is the only writer of this map: read, add, write back.
    int fd = bpf_map__fd(skeleton_->maps.bucket_refunded);
    bucket_charges refunded{};
    bpf_map_lookup_elem(fd, &bucket, &refunded);
    refunded.keys += keys;
    refunded.names += names;
    bpf_map_update_elem(fd, &bucket, &refunded, BPF_ANY);
}

void KernelCounters::releaseUnusedPrograms(const std::vector<CounterReading>& readings) {
    std::vector<bool> inCounters(BYTARN_PROGRAMS_MAX + 1);
    for (const auto& reading : readings)
        if (reading.key.program <= BYTARN_PROGRAMS_MAX) inCounters[reading.key.program] = true;
    int uses = bpf_map__fd(skeleton_->maps.program_uses);
    auto unused = [&](uint16_t number, program_use* use) {
        uint32_t index = number;
        return bpf_map_lookup_elem(uses, &index, use) == 0 && use->sockets <= 0 &&
               !inCounters[number];
    };
    // Second step: a number whose name left a pass ago, still unused, goes back with its share.
    int freePrograms = bpf_map__fd(skeleton_->maps.free_programs);
    std::erase_if(retiringPrograms_, [&](uint16_t number) {
        program_use use{};
        if (!unused(number, &use)) return false;
        uint32_t index = number;
        program_use none{};
        bpf_map_update_elem(uses, &index, &none, BPF_ANY);
        refund(use.bucket, 0, 1);
        programNames_.erase(number);
        bpf_map_update_elem(freePrograms, nullptr, &number, BPF_ANY);
        return true;
    });
    // First step: names of numbers that nothing uses leave the table, so no new socket takes
    // their number; a socket that took it just before shows up as a user by the next pass.
    int programs = bpf_map__fd(skeleton_->maps.programs);
    std::vector<program_name> leaving;
    program_name name{}, next{};
    bool first = true;
    while (bpf_map_get_next_key(programs, first ? nullptr : &name, &next) == 0) {
        first = false;
        name = next;
        uint16_t number = 0;
        program_use use{};
        if (bpf_map_lookup_elem(programs, &name, &number) == 0 && number != 0 &&
            unused(number, &use)) {
            programName(number);  // keep its name for counters read meanwhile
            leaving.push_back(name);
            retiringPrograms_.push_back(number);
        }
    }
    for (const auto& gone : leaving) bpf_map_delete_elem(programs, &gone);
}

RestrictionHooks KernelCounters::restrictionHooks() const {
    RestrictionHooks hooks;
    hooks.cellularLinks = bpf_map__fd(skeleton_->maps.cellular_links);
    hooks.cellularLinksHigh = bpf_map__fd(skeleton_->maps.cellular_links_high);
    hooks.blockedCgroups = bpf_map__fd(skeleton_->maps.blocked_cgroups);
    hooks.listedPrograms = bpf_map__fd(skeleton_->maps.listed_programs);
    hooks.routes4 = bpf_map__fd(skeleton_->maps.routes4);
    hooks.routes6 = bpf_map__fd(skeleton_->maps.routes6);
    hooks.restrictionsOn = &skeleton_->bss->restrictions_on;
    hooks.routesKnown = &skeleton_->bss->routes_known;
    hooks.generation = &skeleton_->bss->restriction_generation;
    for (auto* program : {skeleton_->progs.refuse_connect4, skeleton_->progs.refuse_sendmsg4,
                          skeleton_->progs.refuse_connect6, skeleton_->progs.refuse_sendmsg6})
        if (bpf_program__fd(program) >= 0) hooks.addressPrograms.push_back(program);
    hooks.cgroupFd = cgroupFd_;
    return hooks;
}

std::vector<std::pair<uint16_t, std::string>> KernelCounters::programNumbers() const {
    std::vector<std::pair<uint16_t, std::string>> numbers;
    int fd = bpf_map__fd(skeleton_->maps.programs);
    program_name name{}, next{};
    bool first = true;
    while (bpf_map_get_next_key(fd, first ? nullptr : &name, &next) == 0) {
        first = false;
        name = next;
        uint16_t number = 0;
        if (bpf_map_lookup_elem(fd, &name, &number) == 0 && number != 0)
            numbers.emplace_back(number,
                                 std::string(name.comm, strnlen(name.comm, sizeof name.comm)));
    }
    return numbers;
}

size_t KernelCounters::programsHeld() const {
    int programs = bpf_map__fd(skeleton_->maps.programs);
    size_t count = 0;
    program_name name{}, next{};
    bool first = true;
    while (bpf_map_get_next_key(programs, first ? nullptr : &name, &next) == 0) {
        first = false;
        name = next;
        ++count;
    }
    return count;
}

int64_t KernelCounters::socketsOf(const std::string& program) const {
    program_name name{};
    std::memcpy(name.comm, program.data(), std::min(program.size(), sizeof name.comm - 1));
    uint16_t number = 0;
    program_use use{};
    uint32_t index = 0;
    if (bpf_map_lookup_elem(bpf_map__fd(skeleton_->maps.programs), &name, &number) != 0) return 0;
    index = number;
    if (bpf_map_lookup_elem(bpf_map__fd(skeleton_->maps.program_uses), &index, &use) != 0) return 0;
    return use.sockets;
}

void KernelCounters::remove(const traffic_key& key) {
    int keys = bpf_map__fd(skeleton_->maps.traffic);
    traffic_slot slot{};
    if (bpf_map_lookup_elem(keys, &key, &slot) != 0) return;
    // The new generation first: a socket that remembers the slot goes back to its key, finds it
    // gone and takes a fresh slot, never this one.
    int generations = bpf_map__fd(skeleton_->maps.slot_generations);
    uint32_t generation = slot.generation + 1;
    bpf_map_update_elem(generations, &slot.slot, &generation, BPF_ANY);
    if (bpf_map_delete_elem(keys, &key) == 0) {
        removedSlots_.push_back(slot.slot);
        refund(slot.bucket, 1, 0);
    }
}

void KernelCounters::releaseRemovedSlots() {
    // A reading later, no packet is still adding to a removed slot: zero it and free it.
    int bytes = bpf_map__fd(skeleton_->maps.slot_bytes);
    int freeSlots = bpf_map__fd(skeleton_->maps.free_slots);
    int cpus = libbpf_num_possible_cpus();
    std::vector<uint64_t> zeros(cpus > 0 ? cpus : 1, 0);
    for (uint32_t slot : removedSlots_)
        if (bpf_map_update_elem(bytes, &slot, zeros.data(), BPF_ANY) == 0)
            bpf_map_update_elem(freeSlots, nullptr, &slot, BPF_ANY);
    removedSlots_.clear();
}

const std::string& KernelCounters::programName(uint16_t number) {
    static const std::string unknown;
    if (number == 0 || number > BYTARN_PROGRAMS_MAX) return unknown;
    auto known = programNames_.find(number);
    if (known != programNames_.end()) return known->second;
    // A number not seen before: read the names the kernel has given out since the last time.
    for (auto& [value, name] : programNumbers()) programNames_.try_emplace(value, std::move(name));
    known = programNames_.find(number);
    return known != programNames_.end() ? known->second : unknown;
}

}  // namespace bytarn::trafficd
