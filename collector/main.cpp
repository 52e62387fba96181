// bytarn-collector: the usage collector's command line. For now it has one command, `seed`,
// which fills the usage database with synthetic traffic.
#include <CLI/CLI.hpp>

#include <cstdint>
#include <exception>
#include <iostream>
#include <string>

#include "collector/SyntheticTraffic.h"
#include "collector/UsageDatabase.h"

int main(int argc, char** argv) {
    CLI::App app{"Bytarn usage collector"};
    app.require_subcommand(1);

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

    CLI11_PARSE(app, argc, argv);

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
