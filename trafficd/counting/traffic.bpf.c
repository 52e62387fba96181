// SPDX-License-Identifier: GPL-2.0
// Kernel half of bytarn-trafficd: counts every packet of every socket per (cgroup, interface,
// direction, creating program). It drops a packet only for a restriction (an application kept
// off cellular links), checked before counting so that a dropped packet is never counted, and
// refuses connect() and sendto() for the same sockets where the route is known. All policy
// (names, kinds, users, which cgroups are restricted) lives in user space; this file only
// counts and looks up what the helper decided.
#include <linux/bpf.h>
#include <bpf/bpf_helpers.h>
#include <bpf/bpf_core_read.h>
#include <bpf/bpf_endian.h>

#include "traffic.h"

char LICENSE[] SEC("license") = "GPL";

// The helper's own network namespace: interface numbers only mean something there. 0 = unknown.
const volatile __u64 helper_netns_cookie = 0;
// Whether this kernel offers bpf_get_netns_cookie to cgroup_skb programs (the helper tries it
// before loading): then a socket with no recorded origin is placed in its namespace on its first
// packet. Without it, such sockets count as before, wherever they are.
const volatile __u8 packets_know_netns = 0;

// Shares of the tables. A socket's bucket is its creator's cgroup's ancestor at bucket_level (the
// level of user.slice/user-<UID>.slice below the counted root): only root creates cgroups at that
// level, so a user cannot make buckets of its own. 0 = no shares.
const volatile __u32 bucket_level = 0;
const volatile __u64 bucket_key_share = 0;   // counter keys per bucket
const volatile __u64 bucket_name_share = 0;  // program names per bucket

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
// key carries the number, not the name. User space reads this map to name the numbers, and
// deletes names that no live socket and no counter uses.
struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, BYTARN_PROGRAMS_MAX);
    __type(key, struct program_name);
    __type(value, __u16);
} programs SEC(".maps");

// Program numbers no name holds; the helper fills it at start and gives numbers back.
struct {
    __uint(type, BPF_MAP_TYPE_QUEUE);
    __uint(max_entries, BYTARN_PROGRAMS_MAX);
    __type(value, __u16);
} free_programs SEC(".maps");

// By program number (index 0 unused).
struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, BYTARN_PROGRAMS_MAX + 1);
    __type(key, __u32);
    __type(value, struct program_use);
} program_uses SEC(".maps");

// What each bucket took (the kernel's additions) and gave back (the helper's).
struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, BYTARN_BUCKETS_MAX);
    __type(key, __u64);
    __type(value, struct bucket_charges);
} bucket_charged SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, BYTARN_BUCKETS_MAX);
    __type(key, __u64);
    __type(value, struct bucket_charges);
} bucket_refunded SEC(".maps");

// Who created each socket, and in which network namespace.
struct socket_origin {
    __u64 netns_cookie;
    __u64 cgroup_id; // the creator's, which is the socket's for its whole life
    __u64 bucket;    // the creator's cgroup's ancestor at bucket_level; 0 = none
    // The socket cookie of the socket that recorded this origin. A socket that a listener
    // accepts gets a copy of the listener's origin (cgroup/sock_create never runs for it), so
    // its namespace, cgroup, bucket and program are the listener's; only the creator itself
    // holds a use of the program number. 0 = no creator (an origin found on a packet).
    __u64 creator;
    __u16 program;
    // Whether the socket is kept off cellular links, as decided when restriction_generation
    // last had the value in `decided`: a packet on a cellular link then reads it here rather
    // than looking the socket's cgroup and program up again.
    __u8 restricted;
    __u32 decided;
    // Per direction, the slot of the last packet: interface << 32 | slot << 16 | generation's low
    // 16 bits, one 64-bit word so that packets on two CPUs never see half of another's; 0 = none.
    __u64 last_slot[2];
};

struct {
    __uint(type, BPF_MAP_TYPE_SK_STORAGE);
    __uint(map_flags, BPF_F_NO_PREALLOC | BPF_F_CLONE);
    __type(key, int);
    __type(value, struct socket_origin);
} socket_origins SEC(".maps");

// Restrictions, written by the helper (trafficd/restrictions/). While restrictions_on is 0 no
// packet looks at the maps below: one load and a branch is all a packet pays.
volatile __u32 restrictions_on = 0;
// Moved on by the helper whenever it changes which sockets are kept off (never 0 once on).
volatile __u32 restriction_generation = 0;
// Whether the route tries mirror the routing decision (no policy routing rules beyond the
// default ones): only then are connect() and sendto() refused early.
volatile __u32 routes_known = 0;

// The interfaces whose kind is cellular now (the helper's namespace), by number: 1 in the array
// below BYTARN_LINK_ARRAY, present in the hash from there on.
struct {
    __uint(type, BPF_MAP_TYPE_ARRAY);
    __uint(max_entries, BYTARN_LINK_ARRAY);
    __type(key, __u32);
    __type(value, __u8);
} cellular_links SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, BYTARN_CELLULAR_LINKS_MAX);
    __type(key, __u32);
    __type(value, __u8);
} cellular_links_high SEC(".maps");

// Cgroups with sockets kept off cellular, and how (BYTARN_BLOCK_*).
struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, BYTARN_BLOCKED_CGROUPS_MAX);
    __type(key, __u64);
    __type(value, __u8);
} blocked_cgroups SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_HASH);
    __uint(max_entries, BYTARN_LISTED_PROGRAMS_MAX);
    __type(key, struct listed_program);
    __type(value, __u8);
} listed_programs SEC(".maps");

// Routes of the main and local tables: prefix -> 1 when the route's interface is cellular.
struct {
    __uint(type, BPF_MAP_TYPE_LPM_TRIE);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __uint(max_entries, BYTARN_CELLULAR_ROUTES_MAX);
    __type(key, struct route_key4);
    __type(value, __u8);
} routes4 SEC(".maps");

struct {
    __uint(type, BPF_MAP_TYPE_LPM_TRIE);
    __uint(map_flags, BPF_F_NO_PREALLOC);
    __uint(max_entries, BYTARN_CELLULAR_ROUTES_MAX);
    __type(key, struct route_key6);
    __type(value, __u8);
} routes6 SEC(".maps");

// New cgroups, so that a scope that is gone before the next reading still has a name.
struct {
    __uint(type, BPF_MAP_TYPE_RINGBUF);
    __uint(max_entries, 1 << 20);
} new_cgroups SEC(".maps");

// Charges one entry of a table to bucket; 0 when the bucket is over its share (nothing charged).
// Only for a new key or a new name, never on a packet of a known key.
static __always_inline int charge(__u64 bucket, int names)
{
    if (!bucket || !bucket_level)
        return 1;
    struct bucket_charges *charged = bpf_map_lookup_elem(&bucket_charged, &bucket);
    if (!charged) {
        struct bucket_charges none = {};
        bpf_map_update_elem(&bucket_charged, &bucket, &none, BPF_NOEXIST);
        charged = bpf_map_lookup_elem(&bucket_charged, &bucket);
        if (!charged)
            return 0; // no room to keep its share: coarse, like a bucket over its share
    }
    struct bucket_charges *refunded = bpf_map_lookup_elem(&bucket_refunded, &bucket);
    __u64 share = names ? bucket_name_share : bucket_key_share;
    __u64 back = refunded ? (names ? refunded->names : refunded->keys) : 0;
    __u64 *taken = names ? &charged->names : &charged->keys;
    // Added first, checked after: two CPUs can never both slip past the share.
    __u64 before = __sync_fetch_and_add(taken, 1);
    if (before - back >= share) {
        __sync_fetch_and_sub(taken, 1);
        return 0;
    }
    return 1;
}

static __always_inline void uncharge(__u64 bucket, int names)
{
    if (!bucket || !bucket_level)
        return;
    struct bucket_charges *charged = bpf_map_lookup_elem(&bucket_charged, &bucket);
    if (charged)
        __sync_fetch_and_sub(names ? &charged->names : &charged->keys, 1);
}

// The current task's program number, numbering its name if it is new; 0 once all are given out
// or the bucket holds its share of names. Counts the socket as a user of the number.
static __always_inline __u16 current_program(__u64 bucket)
{
    struct program_name name = {};
    bpf_get_current_comm(name.comm, sizeof name.comm);
    __u16 number = 0;
    __u16 *known = bpf_map_lookup_elem(&programs, &name);
    if (known) {
        number = *known;
    } else {
        if (!charge(bucket, 1))
            return 0;
        if (bpf_map_pop_elem(&free_programs, &number) != 0) {
            uncharge(bucket, 1);
            return 0;
        }
        __u32 index = number;
        struct program_use *use = bpf_map_lookup_elem(&program_uses, &index);
        if (use)
            use->bucket = bucket;
        if (bpf_map_update_elem(&programs, &name, &number, BPF_NOEXIST) != 0) {
            // Another CPU numbered the same name first: give this number back and take that one.
            bpf_map_push_elem(&free_programs, &number, 0);
            uncharge(bucket, 1);
            known = bpf_map_lookup_elem(&programs, &name);
            if (!known)
                return 0;
            number = *known;
        }
    }
    __u32 index = number;
    struct program_use *use = bpf_map_lookup_elem(&program_uses, &index);
    if (use)
        __sync_fetch_and_add(&use->sockets, 1);
    return number;
}

SEC("cgroup/sock_create")
int record_socket_origin(struct bpf_sock *sk)
{
    struct socket_origin *origin =
        bpf_sk_storage_get(&socket_origins, sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
    if (origin) {
        origin->netns_cookie = bpf_get_netns_cookie(sk);
        origin->creator = bpf_get_socket_cookie(sk);
        origin->cgroup_id = bpf_get_current_cgroup_id();
        origin->bucket = bucket_level ? bpf_get_current_ancestor_cgroup_id(bucket_level) : 0;
        origin->program = current_program(origin->bucket);
    }
    return 1;
}

// A socket goes: its program number has one user less, and may be given back once it has none.
// Accepted sockets go through here too, with their listener's origin: they never took a use.
// Either way the socket's last packets (a closing handshake) count unnamed, never under a
// number that may by then name another program.
SEC("cgroup/sock_release")
int forget_socket(struct bpf_sock *sk)
{
    struct socket_origin *origin = bpf_sk_storage_get(&socket_origins, sk, 0, 0);
    if (origin && origin->program) {
        if (origin->creator == bpf_get_socket_cookie(sk)) {
            __u32 index = origin->program;
            struct program_use *use = bpf_map_lookup_elem(&program_uses, &index);
            if (use)
                __sync_fetch_and_sub(&use->sockets, 1);
        }
        origin->program = 0;
    }
    return 1;
}

static __always_inline int on_cellular(__u32 ifindex)
{
    if (ifindex < BYTARN_LINK_ARRAY) {
        __u8 *cellular = bpf_map_lookup_elem(&cellular_links, &ifindex);
        return cellular && *cellular;
    }
    return bpf_map_lookup_elem(&cellular_links_high, &ifindex) != 0;
}

// Whether a socket of this cgroup, created by this program, is kept off cellular links.
static __always_inline int socket_restricted(__u64 cgroup_id, __u16 program)
{
    __u8 *mode = bpf_map_lookup_elem(&blocked_cgroups, &cgroup_id);
    if (!mode)
        return 0;
    if (*mode == BYTARN_BLOCK_ALL)
        return 1;
    struct listed_program key = {.cgroup_id = cgroup_id, .program = program};
    int listed = bpf_map_lookup_elem(&listed_programs, &key) != 0;
    return *mode == BYTARN_BLOCK_LISTED ? listed : !listed;
}

static __always_inline __u64 slot_memory(__u32 ifindex, __u32 slot, __u32 generation)
{
    return (__u64)ifindex << 32 | (__u64)(slot & 0xffff) << 16 | (generation & 0xffff);
}

// Only on a kernel whose cgroup_skb programs cannot tell a packet's namespace (the helper
// attaches it there alone): a connection accepted from a listener with no recorded origin (one
// that existed before the helper started) gets an origin holding its namespace, so that an
// older server in another namespace still never counts what it accepts. Runs once per
// connection, never on a packet.
SEC("sockops")
int place_accepted_socket(struct bpf_sock_ops *ops)
{
    if (ops->op != BPF_SOCK_OPS_PASSIVE_ESTABLISHED_CB)
        return 1;
    struct bpf_sock *sk = ops->sk;
    if (!sk)
        return 1;
    // A copy of its listener's origin when there is one; else new, and its cgroup is read from
    // its packets (cgroup_id 0).
    struct socket_origin *origin =
        bpf_sk_storage_get(&socket_origins, sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
    if (origin && !origin->netns_cookie)
        origin->netns_cookie = bpf_get_netns_cookie(ops);
    return 1;
}

static __always_inline void add_bytes(__u32 slot, __u64 length)
{
    __u64 *bytes = bpf_map_lookup_elem(&slot_bytes, &slot);
    if (bytes)
        *bytes += length; // per-CPU value: no other writer
}

// A socket with no recorded origin (one that existed before the helper started, a kernel
// socket) of the helper's namespace: new storage for it, so that its next packets take the fast
// path. 0 when there is no room (the packet then counts by its socket's cgroup, as before).
static __always_inline struct socket_origin *adopt_socket(struct __sk_buff *skb,
                                                          struct bpf_sock *sk, __u64 netns_cookie)
{
    struct socket_origin *origin =
        bpf_sk_storage_get(&socket_origins, sk, 0, BPF_SK_STORAGE_GET_F_CREATE);
    if (origin && !origin->netns_cookie) {
        origin->cgroup_id = bpf_skb_cgroup_id(skb);
        origin->bucket = bucket_level ? bpf_skb_ancestor_cgroup_id(skb, bucket_level) : 0;
        origin->netns_cookie = netns_cookie;
    }
    return origin;
}

static __always_inline int count_packet(struct __sk_buff *skb, __u32 direction)
{
    struct traffic_key key = {};
    struct socket_origin *origin = 0;
    __u64 bucket = 0;
    __u32 ifindex = skb->ifindex;
    __u64 length = skb->len;
    struct bpf_sock *sk = skb->sk;
    if (sk) {
        // The storage lookup itself answers nothing for a socket that is not a full one (a
        // request or time-wait socket): no separate bpf_sk_fullsock call on every packet.
        origin = bpf_sk_storage_get(&socket_origins, sk, 0, 0);
        if (!origin && packets_know_netns) {
            // Once per socket with no recorded origin: its namespace from the packet.
            __u64 netns_cookie = bpf_get_netns_cookie(skb);
            if (helper_netns_cookie && netns_cookie != helper_netns_cookie)
                return 1;
            origin = adopt_socket(skb, sk, netns_cookie);
        }
        if (origin) {
            if (helper_netns_cookie && origin->netns_cookie != helper_netns_cookie)
                return 1;
            // Checked before counting: a packet dropped here is not counted. The socket's
            // decision does not depend on the link, so only a restricted socket's packets pay
            // for the lookup of their link's kind.
            if (restrictions_on) {
                __u32 generation = restriction_generation;
                if (origin->decided != generation) {
                    origin->restricted = socket_restricted(
                        origin->cgroup_id ? origin->cgroup_id : bpf_skb_cgroup_id(skb),
                        origin->program);
                    origin->decided = generation;
                }
                if (origin->restricted && on_cellular(ifindex))
                    return 0;
            }
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
            bucket = origin->bucket;
        }
    }
    if (!key.cgroup_id)
        key.cgroup_id = bpf_skb_cgroup_id(skb);
    // A packet of a socket with no origin (a request socket, an older socket): its cgroup, no
    // program known.
    if (!origin && restrictions_on && on_cellular(ifindex) && socket_restricted(key.cgroup_id, 0))
        return 0;
    key.ifindex = ifindex;
    key.direction = direction;

    // The key's slot, taking a free one for a new key.
    struct traffic_slot found = {};
    struct traffic_slot *entry = bpf_map_lookup_elem(&traffic, &key);
    if (!entry && bucket && !charge(bucket, 0)) {
        // The bucket holds its share: count under its coarse key, which it has one of per
        // interface and direction (its own cgroup, "Other programs"), charged to no one.
        key.cgroup_id = bucket;
        key.program = BYTARN_PROGRAM_OVER_SHARE;
        bucket = 0;
        entry = bpf_map_lookup_elem(&traffic, &key);
    }
    if (entry) {
        found = *entry;
    } else {
        __u32 slot;
        if (bpf_map_pop_elem(&free_slots, &slot) != 0) {
            uncharge(bucket, 0);
            return 1; // every slot taken: the helper says so in its log
        }
        __u32 *generation = bpf_map_lookup_elem(&slot_generations, &slot);
        found.slot = slot;
        found.generation = generation ? *generation : 0;
        found.bucket = bucket;
        if (bpf_map_update_elem(&traffic, &key, &found, BPF_NOEXIST) != 0) {
            // Another CPU gave the key a slot first: give this one back and use that one.
            bpf_map_push_elem(&free_slots, &slot, 0);
            uncharge(bucket, 0);
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

// connect() and sendto() of a restricted socket towards an address whose route leaves by a
// cellular interface fail at once with EPERM, rather than their packets being dropped at the
// hook (a TCP connect would wait for its retransmissions to time out). Where the route is not
// known here (policy routing), the packets are dropped at the hooks above.
static __always_inline int route_cellular4(__u32 address)
{
    struct route_key4 key = {.prefixlen = 32};
    __builtin_memcpy(key.address, &address, 4);
    __u8 *cellular = bpf_map_lookup_elem(&routes4, &key);
    return cellular && *cellular;
}

// Whether the socket of this connect() or sendto() is kept off cellular, and its address leaves
// by a cellular interface (the one it is bound to, else its route's).
static __always_inline int refused(struct bpf_sock_addr *ctx, int v6)
{
    if (!restrictions_on)
        return 0;
    if (helper_netns_cookie && bpf_get_netns_cookie(ctx) != helper_netns_cookie)
        return 0;
    struct bpf_sock *sk = ctx->sk;
    if (!sk)
        return 0;
    __u64 cgroup_id = 0;
    __u16 program = 0;
    struct socket_origin *origin = bpf_sk_storage_get(&socket_origins, sk, 0, 0);
    if (origin) {
        cgroup_id = origin->cgroup_id;
        program = origin->program;
    }
    if (!cgroup_id)
        cgroup_id = bpf_get_current_cgroup_id();
    if (!socket_restricted(cgroup_id, program))
        return 0;
    __u32 bound = sk->bound_dev_if;
    if (bound)
        return on_cellular(bound);
    if (!routes_known)
        return 0;
    if (!v6)
        return route_cellular4(ctx->user_ip4);
    __u32 words[4] = {ctx->user_ip6[0], ctx->user_ip6[1], ctx->user_ip6[2], ctx->user_ip6[3]};
    // ::ffff:a.b.c.d, an IPv4 peer of a dual-stack socket: routed as IPv4.
    if (words[0] == 0 && words[1] == 0 && words[2] == bpf_htonl(0xffff))
        return route_cellular4(words[3]);
    struct route_key6 key = {.prefixlen = 128};
    __builtin_memcpy(key.address, words, 16);
    __u8 *cellular = bpf_map_lookup_elem(&routes6, &key);
    return cellular && *cellular;
}

SEC("cgroup/connect4")
int refuse_connect4(struct bpf_sock_addr *ctx)
{
    return !refused(ctx, 0);
}

SEC("cgroup/sendmsg4")
int refuse_sendmsg4(struct bpf_sock_addr *ctx)
{
    return !refused(ctx, 0);
}

SEC("cgroup/connect6")
int refuse_connect6(struct bpf_sock_addr *ctx)
{
    return !refused(ctx, 1);
}

SEC("cgroup/sendmsg6")
int refuse_sendmsg6(struct bpf_sock_addr *ctx)
{
    return !refused(ctx, 1);
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
