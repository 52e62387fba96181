#include "host/foundation/CommandLine.h"

#include <algorithm>
#include <ostream>

namespace CommandLine {

namespace {

// "bytarn report": the application's name and the subcommands parsed under it, so that the
// pointer to the help names the help that lists the options at fault.
std::string commandPath(const CLI::App& app) {
    std::string path = app.get_name();
    for (const CLI::App* command = &app;;) {
        auto parsed = command->get_subcommands();
        if (parsed.empty()) break;
        command = parsed.front();
        path += " " + command->get_name();
    }
    return path;
}

template <class Parse>
std::optional<int> answer(CLI::App& app, Parse parse, std::ostream& out, std::ostream& err) {
    try {
        parse();
    } catch (const CLI::Success& done) {
        // --help and --version: CLI11 prints the text of the subcommand asked for.
        return app.exit(done, out, err);
    } catch (const CLI::ParseError& error) {
        return usageError(app, error.what(), err);
    }
    return std::nullopt;
}

}  // namespace

void addVersionFlag(CLI::App& app, const std::string& version) {
    app.set_version_flag("--version", programName(app) + " " + version,
                         "Print the program's name and version, then exit");
}

std::optional<int> parse(CLI::App& app, int argc, const char* const* argv, std::ostream& out,
                         std::ostream& err) {
    return answer(
        app, [&] { app.parse(argc, argv); }, out, err);
}

std::optional<int> parse(CLI::App& app, const std::vector<std::string>& arguments,
                         std::ostream& out, std::ostream& err) {
    // CLI11 takes a vector of arguments last first.
    std::vector<std::string> reversed(arguments.rbegin(), arguments.rend());
    return answer(
        app, [&] { app.parse(reversed); }, out, err);
}

int usageError(const CLI::App& app, const std::string& message, std::ostream& err) {
    err << programName(app) << ": " << message << "\nRun \"" << commandPath(app)
        << " --help\" for more information.\n";
    err.flush();
    return kUsageError;
}

std::string programName(const CLI::App& app) {
    const std::string& name = app.get_name();
    return name.substr(0, std::min(name.find(' '), name.size()));
}

}  // namespace CommandLine
