#pragma once

#include <CLI/CLI.hpp>

#include <iosfwd>
#include <optional>
#include <string>
#include <vector>

// How every Bytarn program (and a bundle's command) parses its command line with CLI11 and
// answers: --help and --version print to standard output and end the program with 0; a usage
// error prints "PROGRAM: message" and a pointer to the help on standard error and ends it with 2.
// PROGRAM is the first word of the application's name ("bytarn" for an App named
// "bytarn report"), so a bundle's command speaks as the program that runs it.
namespace CommandLine {

// The exit status of a usage error.
constexpr int kUsageError = 2;

// Adds --version, which prints "NAME VERSION" (the application's name and `version`).
void addVersionFlag(CLI::App& app, const std::string& version);

// Parses `argc`/`argv`, or `arguments` (in the order given). Nothing when the program goes on;
// else the status to exit with, after --help, --version or a usage error was answered.
std::optional<int> parse(CLI::App& app, int argc, const char* const* argv, std::ostream& out,
                         std::ostream& err);
std::optional<int> parse(CLI::App& app, const std::vector<std::string>& arguments,
                         std::ostream& out, std::ostream& err);

// Reports a usage error that the program found after parsing, as parse reports CLI11's, naming
// the help of the subcommand that was parsed. Returns kUsageError.
int usageError(const CLI::App& app, const std::string& message, std::ostream& err);

// The program's name as its messages start: the first word of the application's name.
std::string programName(const CLI::App& app);

}  // namespace CommandLine
