// The Settings application's command line. Everything it runs lives in the bytarn_settings
// library, where the tests reach it too.
#include <CLI/CLI.hpp>

#include <unistd.h>

#include <algorithm>
#include <iostream>

#include "host/foundation/CommandLine.h"
#include "settings/core/BundleCommandSession.h"
#include "settings/core/NetworksCommand.h"
#include "settings/core/SessionOptions.h"
#include "settings/script/ScriptSession.h"
#include "settings/terminal/TerminalSession.h"
#ifdef BYTARN_WITH_GUI
#include "settings/gui/GuiSession.h"
#endif

namespace {

// A CLI11 check by one of the session's problem functions, so that a bad value is a usage error
// that says what is wrong and what is expected.
CLI::Validator checkedBy(std::optional<std::string> (*problem)(const std::string&)) {
    return CLI::Validator([problem](std::string& value) { return problem(value).value_or(""); },
                          "");
}

// What --now means differs: the scripted front ends keep a virtual clock, the interactive ones
// let it run on, and a bundle command counts back from it.
const char* const kNowOfScripts =
    "Start the clock at this local time; it moves only when a script advances it; e.g. --now "
    "2026-12-08T12:00:00";
const char* const kNowOfInteractive =
    "Start the clock at this local time; it then runs in real time; e.g. --now "
    "2026-12-08T12:00:00";
const char* const kNowOfApplication =
    "Start the clock at this local time; it then runs in real time; before a subcommand, as "
    "that subcommand's --now; e.g. --now 2026-12-08T12:00:00";
const char* const kNowOfCommand =
    "The local time to count the periods back from (report) or whose cycle to show "
    "(plan), instead of now; e.g. --now "
    "2026-12-08T12:00:00";

// The options every subcommand takes, a bundle command included: the clock, the zone and locale
// it reads in, and where the bundles are. Each description ends with an example.
void addEnvironmentOptions(CLI::App& command, SessionOptions& options, const char* nowMeaning) {
    command.add_option("--now", options.now, nowMeaning)
        ->check(checkedBy(localInstantProblem))
        ->option_text("YYYY-MM-DDTHH:MM:SS");
    command
        .add_option("--tz", options.timeZone, "Time zone, an Olson name; e.g. --tz Europe/Berlin")
        ->check(checkedBy(timeZoneProblem))
        ->option_text("ZONE");
    command
        .add_option("--locale", options.locale,
                    "Locale of titles and dates; e.g. --locale de_DE.UTF-8")
        ->check(checkedBy(localeProblem))
        ->option_text("NAME");
    command
        .add_option("--bundles", options.bundlesDirectory,
                    "Directory holding the *.bundle directories; e.g. --bundles "
                    "/usr/local/lib/bytarn/bundles")
        ->option_text("DIR");
}

// The options of the front ends that open pages and run a usage collector, which a bundle command
// and a script (whose `open NAME` says which page) have no use for.
const char* const kCollectorOptions[] = {"--collector", "--no-collector", "--synthetic-traffic",
                                         "--page"};

void addSessionOptions(CLI::App& command, SessionOptions& options, const char* nowMeaning) {
    addEnvironmentOptions(command, options, nowMeaning);
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
            ->check(CLI::IsMember({"embedded", "bus", "none"}))
            ->option_text("embedded|bus|none");
    command
        .add_flag("--no-collector", options.noCollector,
                  "Run without a usage collector (the same as --collector none)")
        ->excludes(collector);
    command.add_flag("--synthetic-traffic", options.syntheticTraffic,
                     "Feed the embedded collector with live synthetic traffic (a demo)");
}

// The page an interactive session or the printed view opens on.
void addPageOption(CLI::App& command, SessionOptions& options) {
    command
        .add_option("--page", options.page,
                    "Open this page first: a bundle's name, e.g. --page dataplan (the Data plan "
                    "page) or --page bytarn")
        ->option_text("NAME");
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
    CLI::App app{"Bytarn: per-application Wi-Fi and cellular usage in a Settings application",
                 "bytarn"};
    CommandLine::addVersionFlag(app, BYTARN_VERSION);
    app.require_subcommand(0, 1);

    // `bytarn` alone runs the terminal front end, so the application takes the session options
    // itself; given before a subcommand, they apply to it.
    SessionOptions beforeCommand;
    addSessionOptions(app, beforeCommand, kNowOfApplication);
    addPageOption(app, beforeCommand);

    SessionOptions scriptOptions;
    CLI::App* script = app.add_subcommand(
        "script", "Run commands (open, dump, tap NAME, ...) from FILE or standard input");
    addSessionOptions(*script, scriptOptions, kNowOfScripts);
    script->add_option("FILE", scriptOptions.scriptFile, "Script to run (default: standard input)");

    SessionOptions viewOptions;
    CLI::App* view = app.add_subcommand("view", "Open the bundle's page and print it as text");
    addSessionOptions(*view, viewOptions, kNowOfScripts);
    addPageOption(*view, viewOptions);

    // The interactive application: `bytarn ui`, or `bytarn` alone on a terminal.
    SessionOptions uiOptions;
    CLI::App* ui = app.add_subcommand("ui", "Open the Settings application in the terminal");
    addSessionOptions(*ui, uiOptions, kNowOfInteractive);
    addPageOption(*ui, uiOptions);

    // `bytarn report`, `bytarn plan` and the restriction commands: the bundle's own commands. Their
    // options, --help among them, pass through to them; the application keeps only those it applies
    // before the bundle is loaded.
    struct BundleCommandLine {
        const char* name;
        const char* description;
        SessionOptions options;
        CLI::App* command = nullptr;
    };
    BundleCommandLine bundleCommands[] = {
        {"report",
         "Print usage history as a table, JSON, CSV or OpenMetrics (bytarn report --help)",
         {}},
        {"plan",
         "Print, set or clear the data plans: cycle, limit, warning, used; resume mobile data "
         "(bytarn plan --help)",
         {}},
        {"restrict", "Keep an application off mobile data (bytarn restrict --help)", {}},
        {"allow", "Let an application use mobile data again (bytarn allow --help)", {}},
        {"restrictions",
         "Print the applications kept off mobile data, those always allowed, and the limit's "
         "pause (bytarn restrictions --help)",
         {}},
    };
    for (auto& bundleCommand : bundleCommands) {
        bundleCommand.command = app.add_subcommand(bundleCommand.name, bundleCommand.description);
        addEnvironmentOptions(*bundleCommand.command, bundleCommand.options, kNowOfCommand);
        bundleCommand.command->set_help_flag();
        bundleCommand.command->allow_extras();
    }

    // The desktop window: `bytarn gui`.
    SessionOptions guiOptions;
    CLI::App* gui = app.add_subcommand("gui", "Open the Settings application in a desktop window");
    addSessionOptions(*gui, guiOptions, kNowOfInteractive);
    addPageOption(*gui, guiOptions);
    std::optional<std::string> screenshots;
    // For the documentation (scripts/screenshots); not one of the options users need.
    gui->add_option("--screenshots", screenshots,
                    "Take the screenshots that steps on standard input ask for into DIR, then quit")
        ->group("");

    // `bytarn networks`: which network counts as what, from the traffic helper.
    CLI::App* networks = app.add_subcommand(
        "networks",
        "Show each network interface's kind (Wi-Fi, cellular, other) and why, as the traffic "
        "helper counts it now");
    std::string trafficSocket = defaultTrafficSocketPath();
    std::string networksFormat = "table";
    networks
        ->add_option("--traffic-socket", trafficSocket,
                     "The traffic helper's socket; e.g. --traffic-socket /run/bytarn/traffic.sock")
        ->capture_default_str()
        ->option_text("PATH");
    networks
        ->add_option("--format", networksFormat, "table (the default) or json; e.g. --format json")
        ->check(CLI::IsMember({"table", "json"}))
        ->option_text("table|json");

    // Set once the subcommands are there: CLI11 gives a new subcommand its parent's footer.
    app.footer(
        "Run bytarn alone on a terminal for the interactive application (bytarn ui).\n"
        "Options given before a subcommand apply to it as if given after it, where it does not "
        "give them itself:\n"
        "  bytarn --now 2026-12-06T12:00:00 report  is  bytarn report --now 2026-12-06T12:00:00\n"
        "report, plan, restrict, allow and restrictions take only --now, --tz, --locale and "
        "--bundles; the collector options "
        "before them are refused; networks takes none of them.");

    if (auto status = CommandLine::parse(app, argc, argv, std::cout, std::cerr)) return *status;

    for (auto& [name, description, options, command] : bundleCommands) {
        if (!command->parsed()) continue;
        for (const char* option : kCollectorOptions)
            if (app.get_option(option)->count() > 0)
                return CommandLine::usageError(app,
                                               std::string(option) + " does not apply to " + name +
                                                   ", which reads what is stored, opens no page "
                                                   "and runs no collector; leave it "
                                                   "out",
                                               std::cerr);
        takeOptionsGivenBefore(options, beforeCommand);
        std::vector<std::string> arguments = command->remaining();
        int status = runBundleCommand(options, name, arguments, std::cout, std::cerr);
        bool help = std::any_of(arguments.begin(), arguments.end(),
                                [](const std::string& a) { return a == "--help" || a == "-h"; });
        if (status == 0 && help) std::cout << commandSessionOptionsHelp(*command);
        return status;
    }

    if (networks->parsed()) {
        // It opens no page and runs no collector: the session options do not apply.
        for (const CLI::Option* option :
             app.get_options([](const CLI::Option* option) { return option->count() > 0; }))
            return CommandLine::usageError(
                app, option->get_name() + " does not apply to networks; leave it out", std::cerr);
        return runNetworksCommand(trafficSocket, networksFormat == "json", std::cout, std::cerr);
    }

    if (gui->parsed()) {
#ifdef BYTARN_WITH_GUI
        takeOptionsGivenBefore(guiOptions, beforeCommand);
        return runGuiSession(guiOptions, screenshots, std::cin, std::cerr);
#else
        std::cerr << "bytarn: this bytarn was built without the desktop front end (GTK 4 and "
                     "libadwaita); try bytarn ui\n";
        return 1;
#endif
    }

    if (script->parsed()) {
        if (beforeCommand.page)
            return CommandLine::usageError(
                app, "--page does not apply to script; open a page with the script's open NAME",
                std::cerr);
        takeOptionsGivenBefore(scriptOptions, beforeCommand);
        return runScriptSession(scriptOptions, std::cin, std::cout, std::cerr);
    }
    if (view->parsed()) {
        takeOptionsGivenBefore(viewOptions, beforeCommand);
        return runViewSession(viewOptions, std::cout, std::cerr);
    }
    // Options given to `bytarn` alone ask for the terminal front end, which says so when there
    // is no terminal; with none, off a terminal, the help is the answer.
    bool optionsGiven =
        !app.get_options([](const CLI::Option* option) { return option->count() > 0; }).empty();
    if (ui->parsed() || optionsGiven || (isatty(STDIN_FILENO) && isatty(STDOUT_FILENO))) {
        takeOptionsGivenBefore(uiOptions, beforeCommand);
        return runTerminalSession(uiOptions, std::cerr);
    }
    std::cout << app.help();
    return 0;
}
