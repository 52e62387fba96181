// Shared by traffic.bpf.c and the helper: the layout of the kernel's counters and events.
#pragma once

#include <linux/types.h>

#define BYTARN_COMM_LEN 16
#define BYTARN_CGROUP_PATH_LEN 480
#define BYTARN_TRAFFIC_MAX_ENTRIES 65536
#define BYTARN_DIRECTION_IN 0
#define BYTARN_DIRECTION_OUT 1

struct traffic_key {
    __u64 cgroup_id;
    __u32 ifindex;
    __u32 direction;
    char comm[BYTARN_COMM_LEN];  // the program that created the socket; empty when unknown
};

struct new_cgroup {
    __u64 id;
    char path[BYTARN_CGROUP_PATH_LEN];  // relative to the cgroup2 mount, starting with '/'
};
