// Shared by traffic.bpf.c and the helper: the layout of the kernel's counters and events.
#pragma once

#include <linux/types.h>

#define BYTARN_COMM_LEN 16
#define BYTARN_CGROUP_PATH_LEN 480
#define BYTARN_TRAFFIC_MAX_ENTRIES 65536
// Distinct program names the kernel numbers; sockets of programs beyond that count unnamed.
#define BYTARN_PROGRAMS_MAX 4096
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

// Where a key's bytes are counted: a slot number and the slot's generation when the key got it.
struct traffic_slot {
    __u32 slot;
    __u32 generation;
};

// A program's name as the kernel keeps it (the task's comm), zero-padded: the key of `programs`.
struct program_name {
    char comm[BYTARN_COMM_LEN];
};

struct new_cgroup {
    __u64 id;
    char path[BYTARN_CGROUP_PATH_LEN];  // relative to the cgroup2 mount, starting with '/'
};
