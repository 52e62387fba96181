// The Settings application's command line. Everything it runs lives in the bytarn_settings
// library, where the tests reach it too.
#include <CLI/CLI.hpp>

#include <iostream>

#include "settings/SessionOptions.h"
#include "settings/SettingsSession.h"

namespace {

void addSessionOptions(CLI::App& command, SessionOptions& options) {
    command.add_option("--now", options.now,
                       "Start the clock at this local time (YYYY-MM-DDTHH:MM:SS); it then moves "
                       "only when the script advances it");
    command.add_option("--tz", options.timeZone, "Time zone, an Olson name such as Europe/Berlin");
    command.add_option("--locale", options.locale, "Locale, such as en_US or de_DE.UTF-8");
    command.add_flag("--no-collector", options.noCollector,
                     "Run without starting a usage collector");
    command.add_option("--bundles", options.bundlesDirectory,
                       "Directory holding the *.bundle directories");
}

}  // namespace

int main(int argc, char** argv) {
    CLI::App app{"Bytarn: per-application Wi-Fi and cellular usage in a Settings application"};
    app.require_subcommand(0, 1);

    SessionOptions scriptOptions;
    CLI::App* script = app.add_subcommand(
        "script", "Run commands (open, dump, tap NAME, ...) from FILE or standard input");
    addSessionOptions(*script, scriptOptions);
    script->add_option("FILE", scriptOptions.scriptFile, "Script to run (default: standard input)");

    SessionOptions viewOptions;
    CLI::App* view = app.add_subcommand("view", "Open the bundle's page and print it as text");
    addSessionOptions(*view, viewOptions);

    CLI11_PARSE(app, argc, argv);

    if (script->parsed()) return runScriptSession(scriptOptions, std::cin, std::cout, std::cerr);
    if (view->parsed()) return runViewSession(viewOptions, std::cout, std::cerr);
    std::cout << app.help();
    return 0;
}
