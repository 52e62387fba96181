// bytarn-collector: the usage collector's command line. `run` is the collector itself, a daemon
// on the session bus; `seed` fills the usage database with synthetic traffic.
#include <CLI/CLI.hpp>

#include <cstdint>
#include <exception>
#include <filesystem>
#include <iostream>
#include <map>
#include <string>

#include "collector/CollectorDaemon.h"
#include "collector/SyntheticTraffic.h"
#include "collector/UsageDatabase.h"
#include "collector/sources/KernelTrafficSource.h"
#include "host/foundation/CommandLine.h"

int main(int argc, char** argv) {
    CLI::App app{"Bytarn usage collector", "bytarn-collector"};
    CommandLine::addVersionFlag(app, BYTARN_VERSION);
    // One at most, and checked after parsing, so that a misspelt subcommand is named as such.
    app.require_subcommand(0, 1);

    int days = 60;
    std::uint64_t seed = 1;
    std::string database = UsageDatabase::defaultPath();
    std::string desktopEntries;
    CLI::App* seedCommand =
        app.add_subcommand("seed", "Add synthetic usage for the last days to the usage database");
    seedCommand->add_option("--days", days, "Number of days, ending today")
        ->check(CLI::Range(1, 36600))
        ->capture_default_str();
    seedCommand->add_option("--seed", seed, "Seed of the random generator")->capture_default_str();
    seedCommand->add_option("--database", database, "Usage database to add the rows to")
        ->capture_default_str();
    seedCommand->add_option("--desktop-entries", desktopEntries,
                            "Also write a desktop entry per synthetic application into this "
                            "directory");

    CollectorDaemonOptions daemon;
    CLI::App* runCommand = app.add_subcommand(
        "run",
        "Count traffic and serve the collector's messages on the session bus until "
        "SIGINT or SIGTERM");
    std::string source = "none";
    runCommand
        ->add_option("--source", source,
                     "Where traffic comes from: none, synthetic (a made-up mix every 2 s), "
                     "stdin (lines \"record APP wifi|cellular|unknown BYTES\") or kernel (the "
                     "traffic helper bytarn-trafficd)")
        ->check(CLI::IsMember({"none", "synthetic", "stdin", "kernel"}))
        ->capture_default_str();
    runCommand->add_option("--seed", daemon.seed, "Seed of the synthetic source")
        ->capture_default_str();
    runCommand
        ->add_option("--save-interval", daemon.saveIntervalSeconds,
                     "Seconds between saves of the counters to the database")
        ->check(CLI::Range(0.1, 31536000.0))
        ->capture_default_str();
    runCommand->add_option("--traffic-socket", daemon.trafficSocket,
                           std::string("The traffic helper's socket, for --source kernel "
                                       "(default: ") +
                               KernelTrafficSource::kDefaultSocketPath + ")");
    runCommand->add_option("--database", daemon.databasePath,
                           "Usage database (default: " + UsageDatabase::defaultPath() + ")");

    if (auto status = CommandLine::parse(app, argc, argv, std::cout, std::cerr)) return *status;
    if (app.get_subcommands().empty())
        return CommandLine::usageError(app, "a subcommand is required: seed or run", std::cerr);

    if (runCommand->parsed()) {
        const std::map<std::string, CollectorDaemonOptions::Source> sources{
            {"none", CollectorDaemonOptions::Source::None},
            {"synthetic", CollectorDaemonOptions::Source::Synthetic},
            {"stdin", CollectorDaemonOptions::Source::StandardInput},
            {"kernel", CollectorDaemonOptions::Source::Kernel},
        };
        daemon.source = sources.at(source);
        return runCollectorDaemon(daemon, std::cerr);
    }

    // SQLite's own words for a directory are "unable to open database file".
    std::error_code ec;
    if (std::filesystem::is_directory(database, ec)) {
        std::cerr << "bytarn-collector: " << database
                  << " is a directory, not a usage database; --database names the file\n";
        return 1;
    }
    try {
        auto rows = SyntheticTraffic::generate(days, seed);
        UsageDatabase usage(database);
        SyntheticTraffic::writeTo(usage, rows);
        std::cout << "added " << rows.size() << " rows for " << days << " days to " << usage.path()
                  << "\n";
        if (!desktopEntries.empty()) {
            auto written = SyntheticTraffic::writeDesktopEntries(desktopEntries);
            std::cout << "wrote " << written.size() << " desktop entries to " << desktopEntries
                      << "\n";
        }
    } catch (const std::exception& error) {
        std::cerr << "bytarn-collector: " << error.what() << "\n";
        return 1;
    }
    return 0;
}
