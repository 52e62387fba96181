#pragma once

#include <cstdint>
#include <iosfwd>
#include <string>

// What `bytarn-collector run` is told.
struct CollectorDaemonOptions {
    enum class Source { None, Synthetic, StandardInput, Kernel };

    Source source = Source::None;
    std::uint64_t seed = 1;  // for the synthetic source
    double saveIntervalSeconds = 60;
    std::string databasePath;   // the default database when empty
    std::string busAddress;     // the session bus when empty
    std::string trafficSocket;  // the traffic helper's default socket when empty
};

// The collector as a daemon on the bus: owns the collector's bus name, serves its messages,
// counts what the source reports, saves on "save", every save interval and on SIGINT or
// SIGTERM, and then ends. Runs the main run loop in real time. Returns the exit status: 0
// after a signal and a final save that succeeded, 1 when it cannot start, the bus goes away or
// counts could not be saved at the end. Why it cannot start ("bytarn-collector: ...") goes to
// `err`; what it does while it runs goes to the system log.
int runCollectorDaemon(const CollectorDaemonOptions& options, std::ostream& err);
