// bytarn-trafficd: the privileged helper that counts each application's traffic in the kernel and
// hands every user's collector its own share (docs/TRAFFIC.md).
#include "TrafficHelper.h"

#include <CLI/CLI.hpp>

#include <iostream>

int main(int argc, char** argv) {
    bytarn::trafficd::HelperOptions options;
    CLI::App app{
        "bytarn-trafficd: counts every application's network traffic per cgroup, interface "
        "and user in the kernel (eBPF) and serves each user's share on a Unix socket",
        "bytarn-trafficd"};
    app.set_version_flag("--version", std::string("bytarn-trafficd ") + BYTARN_VERSION,
                         "Print the program's name and version, then exit");
    app.add_option("--socket", options.socket, "Unix socket to serve (mode 0666)")
        ->capture_default_str();
    auto* interfaces =
        app.add_option("--interfaces", options.interfaces,
                       "interface rules: \"PATTERN KIND\" lines, KIND wifi|cellular|unknown|ignore")
            ->capture_default_str();
    app.add_option("--cgroup", options.cgroup,
                   "cgroup v2 directory to count (default: the root of the cgroup v2 hierarchy)");
    app.add_option("--interval", options.interval, "seconds between readings of the counters")
        ->capture_default_str()
        ->check(CLI::Range(0.05, 3600.0));
    app.add_option("--sysfs", options.sysfs, "where network interfaces are listed (for tests)")
        ->capture_default_str();
    // The Bytarn programs' answers (help and version: 0 on standard output; usage errors:
    // "bytarn-trafficd: ..." and 2), written here again: the helper shares no code with them.
    try {
        app.parse(argc, argv);
    } catch (const CLI::Success& done) {
        return app.exit(done);
    } catch (const CLI::ParseError& error) {
        std::cerr << "bytarn-trafficd: " << error.what()
                  << "\nRun \"bytarn-trafficd --help\" for more information.\n";
        return 2;
    }
    options.interfacesGiven = interfaces->count() > 0;
    return bytarn::trafficd::runTrafficHelper(options);
}
