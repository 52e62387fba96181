// The Settings application's command line. Everything it runs lives in the bytarn_settings
// library, where the tests reach it too.
#include <CLI/CLI.hpp>

#include <unistd.h>

#include <algorithm>
#include <iostream>

#include "settings/core/BundleCommandSession.h"
#include "settings/core/SessionOptions.h"
#include "settings/script/ScriptSession.h"
#include "settings/terminal/TerminalSession.h"
#ifdef BYTARN_WITH_GUI
#include "settings/gui/GuiSession.h"
#endif

namespace {

void addSessionOptions(CLI::App& command, SessionOptions& options) {
    command.add_option("--now", options.now,
                       "Start the clock at this local time (YYYY-MM-DDTHH:MM:SS); it then moves "
                       "only when the script advances it");
    command.add_option("--tz", options.timeZone, "Time zone, an Olson name such as Europe/Berlin");
    command.add_option("--locale", options.locale, "Locale, such as en_US or de_DE.UTF-8");
    auto* collector =
        command
            .add_option_function<std::string>(
                "--collector",
                [&options](const std::string& name) {
                    options.collector = *collectorModeNamed(name);
                },
                "Where the usage collector runs: embedded (in this process), bus (a "
                "bytarn-collector on the session bus) or none; by default the bus when a "
                "collector serves there, else embedded")
            ->check(CLI::IsMember({"embedded", "bus", "none"}));
    command
        .add_flag("--no-collector", options.noCollector,
                  "Run without a usage collector (the same as --collector none)")
        ->excludes(collector);
    command.add_flag("--synthetic-traffic", options.syntheticTraffic,
                     "Feed the embedded collector with live synthetic traffic (a demo)");
    command.add_option("--bundles", options.bundlesDirectory,
                       "Directory holding the *.bundle directories");
}

// The options of the application that a bundle command shares: the time, zone and locale it
// reads in, and where its bundle is. Each description ends with an example.
void addCommandSessionOptions(CLI::App& command, SessionOptions& options) {
    command
        .add_option("--now", options.now,
                    "The local time (YYYY-MM-DDTHH:MM:SS) to count the periods back from, "
                    "instead of now; e.g. --now 2026-12-08T12:00:00")
        ->option_text("YYYY-MM-DDTHH:MM:SS");
    command
        .add_option("--tz", options.timeZone, "Time zone, an Olson name; e.g. --tz Europe/Berlin")
        ->option_text("ZONE");
    command
        .add_option("--locale", options.locale,
                    "Locale of titles and dates; e.g. --locale de_DE.UTF-8")
        ->option_text("NAME");
    command
        .add_option("--bundles", options.bundlesDirectory,
                    "Directory holding the *.bundle directories; e.g. --bundles "
                    "/usr/local/lib/bytarn/bundles")
        ->option_text("DIR");
}

// Those shared options, for the end of the command's own help.
std::string commandSessionOptionsHelp(const CLI::App& command) {
    std::string text = "\nOptions of the application:\n";
    for (const CLI::Option* option : command.get_options()) {
        std::string name = option->get_name() + " " + option->get_option_text();
        name.resize(std::max<size_t>(name.size() + 2, 24), ' ');
        text += "  " + name + option->get_description() + "\n";
    }
    return text;
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

    // The interactive application: `bytarn ui`, or `bytarn` alone on a terminal.
    SessionOptions uiOptions;
    CLI::App* ui = app.add_subcommand("ui", "Open the Settings application in the terminal");
    for (CLI::App* command : {&app, ui}) {
        addSessionOptions(*command, uiOptions);
        command->get_option("--now")->description(
            "Start the clock at this local time (YYYY-MM-DDTHH:MM:SS); it then runs in real time");
    }

    // `bytarn report`: the bundle's own command. Its options, --help among them, pass through
    // to it; the application keeps only those it applies before the bundle is loaded.
    SessionOptions reportOptions;
    CLI::App* report = app.add_subcommand(
        "report",
        "Print usage history as a table, JSON, CSV or OpenMetrics (bytarn report --help)");
    addCommandSessionOptions(*report, reportOptions);
    report->set_help_flag();
    report->allow_extras();

    // The desktop window: `bytarn gui`.
    SessionOptions guiOptions;
    CLI::App* gui = app.add_subcommand("gui", "Open the Settings application in a desktop window");
    addSessionOptions(*gui, guiOptions);
    std::optional<std::string> screenshots;
    // For the documentation (scripts/screenshots); not one of the options users need.
    gui->add_option("--screenshots", screenshots,
                    "Take the screenshots that steps on standard input ask for into DIR, then quit")
        ->group("");
    gui->get_option("--now")->description(
        "Start the clock at this local time (YYYY-MM-DDTHH:MM:SS); it then runs in real time");

    CLI11_PARSE(app, argc, argv);

    if (report->parsed()) {
        std::vector<std::string> arguments = report->remaining();
        int status = runBundleCommand(reportOptions, "report", arguments, std::cout, std::cerr);
        bool help = std::any_of(arguments.begin(), arguments.end(),
                                [](const std::string& a) { return a == "--help" || a == "-h"; });
        if (status == 0 && help) std::cout << commandSessionOptionsHelp(*report);
        return status;
    }

    if (gui->parsed()) {
#ifdef BYTARN_WITH_GUI
        return runGuiSession(guiOptions, screenshots, std::cin, std::cerr);
#else
        std::cerr << "bytarn: this bytarn was built without the desktop front end (GTK 4 and "
                     "libadwaita); try bytarn ui\n";
        return 1;
#endif
    }

    if (script->parsed()) return runScriptSession(scriptOptions, std::cin, std::cout, std::cerr);
    if (view->parsed()) return runViewSession(viewOptions, std::cout, std::cerr);
    if (ui->parsed() || (isatty(STDIN_FILENO) && isatty(STDOUT_FILENO)))
        return runTerminalSession(uiOptions, std::cerr);
    std::cout << app.help();
    return 0;
}
