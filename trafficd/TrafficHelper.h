// bytarn-trafficd's run: load and attach the counters, read them every interval, keep the
// per-user deltas and serve them until SIGTERM or SIGINT.
#pragma once

#include <filesystem>

namespace bytarn::trafficd {

struct HelperOptions {
    std::filesystem::path socket = "/run/bytarn/traffic.sock";
    std::filesystem::path interfaces = "/etc/bytarn/interfaces";
    bool interfacesGiven = false;  // the default file may be missing; a named one should exist
    std::filesystem::path cgroup;  // empty: the root of the cgroup2 hierarchy
    double interval = 1.0;         // seconds between readings
    std::filesystem::path sysfs = "/sys/class/net";
};

// The exit status: 0 after a signal, 1 when it cannot start (the reason is logged).
int runTrafficHelper(const HelperOptions& options);

}  // namespace bytarn::trafficd
