// SPDX-License-Identifier: GPL-2.0
// Programs that do nothing but let every packet pass, one for each place a per-packet counter
// could hook egress: what the kernel's own path to any program costs, without Bytarn's counting
// (`make bench-traffic`, the hook floor).
#include <linux/bpf.h>
#include <bpf/bpf_helpers.h>

char LICENSE[] SEC("license") = "GPL";

SEC("cgroup_skb/egress")
int floor_cgroup(struct __sk_buff *skb)
{
    return 1; // pass
}

SEC("tc")
int floor_tc(struct __sk_buff *skb)
{
    return 0; // TC_ACT_OK
}
