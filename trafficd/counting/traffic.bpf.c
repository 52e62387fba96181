// SPDX-License-Identifier: GPL-2.0
// Kernel half of bytarn-trafficd: counts every packet of every socket per (cgroup, interface,
// direction, creating program) and always lets it pass. All policy (names, kinds, users) lives
// in user space; this file only counts.
#include <linux/bpf.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_core_read.h>

#include "traffic.h"

char LICENSE[] SEC("license") = "GPL";

// The helper's own network namespace: interface numbers only mean something there. 0 = unknown.
const volatile __u64 helper_netns_cookie = 0;

// The counters live in numbered slots, and a socket remembers, per direction, the slot of its
// last packet's interface: a packet then costs one socket-storage look-up and two array
// look-ups (which the kernel inlines), where a hash look-up on every packet cost tens of
// nanoseconds more. `traffic` gives each key its slot; the helper reads through it.
struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, BYTARN_TRAFFIC_MAX_ENTRIES);
    __type(key, struct traffic_key);
    __type(value, struct traffic_slot);
} traffic SEC(".maps");

// Bytes per slot, per CPU: no other writer, no atomic add.
struct {
    __uint(type, BPF_MAP_TYPE_PERCPU_ARRAY);
    __uint(max_entries, BYTARN_TRAFFIC_MAX_ENTRIES);
    __type(key, __u32);
    __type(value, __u64);
} slot_bytes SEC(".maps");

// Each slot's generation: the helper moves it on when it takes a slot from its key, and every
// socket that still remembers the slot then finds its memory stale.
struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, BYTARN_TRAFFIC_MAX_ENTRIES);
    __type(key, __u32);
    __type(value, __u32);
} slot_generations SEC(".maps");

// Slots no key holds; the helper fills it at start and gives slots back once nothing counts
// into them any more.
struct {
    __uint(type, BPF_MAP_TYPE_QUEUE);
    __uint(max_entries, BYTARN_TRAFFIC_MAX_ENTRIES);
    __type(value, __u32);
} free_slots SEC(".maps");

// Program names and their numbers, 1 and up, given out as sockets are created: the counters'
// key carries the number, not the name. User space reads this map to name the numbers.
struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, BYTARN_PROGRAMS_MAX);
    __type(key, struct program_name);
    __type(value, __u16);
} programs SEC(".maps");

__u32 programs_numbered = 0;

// Who created each socket, and in which network namespace.
struct socket_origin {
    __u64 netns_cookie;
    __u64 cgroup_id; // the creator's, which is the socket's for its whole life
    __u16 program;
    // Per direction, the slot of the last packet: interface << 32 | slot << 16 | generation's low
    // 16 bits, one 64-bit word so that packets on two CPUs never see half of another's; 0 = none.
    __u64 last_slot[2];
};

struct {
    __uint(type, BPF_MAP_TYPE_SK_STORAGE);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __type(key, int);
    __type(value, struct socket_origin);
} socket_origins SEC(".maps");

// New cgroups, so that a scope that is gone before the next reading still has a name.
struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, 1 << 20);
} new_cgroups SEC(".maps");

// The current task's program number, numbering its name if it is new; 0 once all are given out.
static __always_inline __u16 current_program(void)
{
    struct program_name name = {};
    bpf_get_current_comm(name.comm, sizeof name.comm);
    __u16 *known = bpf_map_lookup_elem(&programs, &name);
    if (known)
        return *known;
    // Checked before taking a number, so that a full table never wraps the count around.
    if (programs_numbered >= BYTARN_PROGRAMS_MAX)
        return 0;
    __u16 number = __sync_fetch_and_add(&programs_numbered, 1) + 1;
    if (number > BYTARN_PROGRAMS_MAX)
        return 0;
    if (bpf_map_update_elem(&programs, &name, &number, BPF_NOEXIST) == 0)
        return number;
    // Another CPU numbered the same name first: take its number (this one stays unused).
    known = bpf_map_lookup_elem(&programs, &name);
    return known ? *known : 0;
}

SEC("cgroup/sock_create")
int record_socket_origin(struct bpf_sock *sk)
{
    struct socket_origin *origin =
        bpf_sk_storage_get(&socket_origins, sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
    if (origin) {
        origin->netns_cookie = bpf_get_netns_cookie(sk);
        origin->cgroup_id = bpf_get_current_cgroup_id();
        origin->program = current_program();
    }
    return 1;
}

static __always_inline __u64 slot_memory(__u32 ifindex, __u32 slot, __u32 generation)
{
    return (__u64)ifindex << 32 | (__u64)(slot & 0xffff) << 16 | (generation & 0xffff);
}

static __always_inline void add_bytes(__u32 slot, __u64 length)
{
    __u64 *bytes = bpf_map_lookup_elem(&slot_bytes, &slot);
    if (bytes)
        *bytes += length; // per-CPU value: no other writer
}

static __always_inline int count_packet(struct __sk_buff *skb, __u32 direction)
{
    struct traffic_key key = {};
    struct socket_origin *origin = 0;
    __u32 ifindex = skb->ifindex;
    __u64 length = skb->len;
    struct bpf_sock *sk = skb->sk;
    if (sk) {
        // The storage lookup itself answers nothing for a socket that is not a full one (a
        // request or time-wait socket): no separate bpf_sk_fullsock call on every packet.
        origin = bpf_sk_storage_get(&socket_origins, sk, 0, 0);
        if (origin) {
            if (helper_netns_cookie && origin->netns_cookie != helper_netns_cookie)
                return 1;
            __u64 last = origin->last_slot[direction & 1];
            if (last && (__u32)(last >> 32) == ifindex) {
                __u32 slot = (last >> 16) & 0xffff;
                __u32 *generation = bpf_map_lookup_elem(&slot_generations, &slot);
                if (generation && (*generation & 0xffff) == (last & 0xffff)) {
                    add_bytes(slot, length);
                    return 1;
                }
            }
            key.program = origin->program;
            key.cgroup_id = origin->cgroup_id;
        }
    }
    if (!key.cgroup_id)
        key.cgroup_id = bpf_skb_cgroup_id(skb);
    key.ifindex = ifindex;
    key.direction = direction;

    // The key's slot, taking a free one for a new key.
    struct traffic_slot found;
    struct traffic_slot *entry = bpf_map_lookup_elem(&traffic, &key);
    if (entry) {
        found = *entry;
    } else {
        __u32 slot;
        if (bpf_map_pop_elem(&free_slots, &slot) != 0)
            return 1; // every slot taken: the helper says so in its log
        __u32 *generation = bpf_map_lookup_elem(&slot_generations, &slot);
        found.slot = slot;
        found.generation = generation ? *generation : 0;
        if (bpf_map_update_elem(&traffic, &key, &found, BPF_NOEXIST) != 0) {
            // Another CPU gave the key a slot first: give this one back and use that one.
            bpf_map_push_elem(&free_slots, &slot, 0);
            entry = bpf_map_lookup_elem(&traffic, &key);
            if (!entry)
                return 1;
            found = *entry;
        }
    }
    add_bytes(found.slot, length);
    if (origin && ifindex)
        origin->last_slot[direction & 1] = slot_memory(ifindex, found.slot, found.generation);
    return 1;
}

SEC("cgroup_skb/ingress")
int count_ingress(struct __sk_buff *skb)
{
    return count_packet(skb, BYTARN_DIRECTION_IN);
}

SEC("cgroup_skb/egress")
int count_egress(struct __sk_buff *skb)
{
    return count_packet(skb, BYTARN_DIRECTION_OUT);
}

// Just enough of the kernel's types for the cgroup_mkdir tracepoint; libbpf relocates the field
// offsets against the running kernel's BTF.
struct kernfs_node {
    __u64 id;
} __attribute__((preserve_access_index));
struct cgroup_root {
    int hierarchy_id;
} __attribute__((preserve_access_index));
struct cgroup {
    struct kernfs_node *kn;
    struct cgroup_root *root;
} __attribute__((preserve_access_index));

SEC("raw_tracepoint/cgroup_mkdir")
int name_new_cgroup(struct bpf_raw_tracepoint_args *ctx)
{
    struct cgroup *cgroup = (struct cgroup *)ctx->args[0];
    const char *path = (const char *)ctx->args[1];
    // Hierarchy 0 is the unified (v2) one; v1 hierarchies have ids of their own.
    if (BPF_CORE_READ(cgroup, root, hierarchy_id) != 0)
        return 0;
    struct new_cgroup *event = bpf_ringbuf_reserve(&new_cgroups, sizeof *event, 0);
    if (!event)
        return 0; // user space rescans the hierarchy for ids it does not know
    event->id = BPF_CORE_READ(cgroup, kn, id);
    if (bpf_probe_read_kernel_str(event->path, sizeof event->path, path) < 0)
        event->path[0] = 0;
    bpf_ringbuf_submit(event, 0);
    return 0;
}
