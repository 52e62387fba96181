// Shared by traffic.bpf.c and the helper: the layout of the kernel's counters and events.
#pragma once

#include <linux/types.h>

#define BYTARN_COMM_LEN 16
#define BYTARN_CGROUP_PATH_LEN 480
#define BYTARN_TRAFFIC_MAX_ENTRIES 65536
// Distinct program names the kernel numbers at once (1 and up); sockets of programs beyond that
// count unnamed. A number goes back once no live socket and no counter uses it.
#define BYTARN_PROGRAMS_MAX 4096
// The program number of a coarse key: a bucket over its share counts new keys under the bucket's
// own cgroup with this number ("Other programs") instead of taking more of the table.
#define BYTARN_PROGRAM_OVER_SHARE 0xffff
// Buckets that hold shares of the tables: the cgroups at the level of user.slice/user-<UID>.slice
// below the counted root (each user's slice, each system service).
#define BYTARN_BUCKETS_MAX 8192
#define BYTARN_DIRECTION_IN 0
#define BYTARN_DIRECTION_OUT 1

// Sixteen bytes: the programs hash this key on every packet, and a longer key costs them time.
struct traffic_key {
    __u64 cgroup_id;
    __u32 ifindex;
    __u16 direction;
    __u16
        program;  // the number of the program that created the socket (see `programs`); 0 = unknown
};

// Where a key's bytes are counted: a slot number and the slot's generation when the key got it,
// and the bucket the key is charged to (0: none), refunded when the helper deletes the key.
struct traffic_slot {
    __u32 slot;
    __u32 generation;
    __u64 bucket;
};

// What a bucket holds of the tables: counters keys and program names. The kernel adds to one
// map of these (atomically), the helper to another as it gives entries back; what a bucket
// holds is the difference.
struct bucket_charges {
    __u64 keys;
    __u64 names;
};

// Per program number: its live sockets (sock_create adds one, sock_release takes it away) and
// the bucket its name is charged to.
struct program_use {
    __s64 sockets;
    __u64 bucket;
};

// A program's name as the kernel keeps it (the task's comm), zero-padded: the key of `programs`.
struct program_name {
    char comm[BYTARN_COMM_LEN];
};

// Keeping restricted applications off cellular links (filled by trafficd/restrictions/). A
// socket is kept off when its cgroup is in `blocked_cgroups` and the mode there says so for its
// program: every socket (all), only those of the programs listed for that cgroup in
// `listed_programs` (listed), or every socket but theirs (unlisted). Program 0: unknown.
#define BYTARN_BLOCK_ALL 1
#define BYTARN_BLOCK_LISTED 2
#define BYTARN_BLOCK_UNLISTED 3
#define BYTARN_BLOCKED_CGROUPS_MAX 16384
#define BYTARN_LISTED_PROGRAMS_MAX 65536
// Interfaces numbered below this are looked up in an array (inlined by the kernel, on every
// packet while something is restricted); higher numbers, rare, in a hash.
#define BYTARN_LINK_ARRAY 4096
#define BYTARN_CELLULAR_LINKS_MAX 1024
#define BYTARN_CELLULAR_ROUTES_MAX 16384

struct listed_program {
    __u64 cgroup_id;
    __u32 program;
    __u32 unused;  // zero
};

// Keys of the route tries: the helper mirrors the routes of the main and local tables, each
// with whether its output interface is cellular, so that connect() and sendto() can be refused
// where the route is known there.
struct route_key4 {
    __u32 prefixlen;
    __u8 address[4];
};
struct route_key6 {
    __u32 prefixlen;
    __u8 address[16];
};

struct new_cgroup {
    __u64 id;
    char path[BYTARN_CGROUP_PATH_LEN];  // relative to the cgroup2 mount, starting with '/'
};
