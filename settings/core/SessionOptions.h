#pragma once

#include <optional>
#include <string>

// Where the session's usage collector runs.
enum class CollectorMode {
    Automatic,  // the bus when a collector serves there, else embedded
    Embedded,   // in this process, on the in-process transports
    Bus,        // a `bytarn-collector run` on the session bus
    None,       // no collector: messages go nowhere, the page shows the database as it is
};

// "embedded", "bus", "none" (and "automatic"); nothing for another name.
std::optional<CollectorMode> collectorModeNamed(const std::string& name);
const char* collectorModeName(CollectorMode mode);

// What a front end (script, view, ui, gui) or a bundle command is told on the command line.
struct SessionOptions {
    // Local time "YYYY-MM-DDTHH:MM:SS" at which the virtual clock starts.
    std::optional<std::string> now;
    // An Olson zone and a locale identifier that replace the process defaults.
    std::optional<std::string> timeZone;
    std::optional<std::string> locale;
    // --collector; --no-collector is the same as --collector none and wins over it.
    CollectorMode collector = CollectorMode::Automatic;
    bool noCollector = false;
    // Feed an embedded collector with live synthetic traffic (demos).
    bool syntheticTraffic = false;
    // The directory holding the *.bundle directories; searched for when not given.
    std::optional<std::string> bundlesDirectory;
    // The page to open first, as SettingsApplication::openBundleNamed reads it ("dataplan").
    std::optional<std::string> page;
    // The script to read; standard input when not given.
    std::optional<std::string> scriptFile;
};

// The collector mode the options ask for, --no-collector included.
CollectorMode requestedCollectorMode(const SessionOptions& options);

// Reads strict "YYYY-MM-DDTHH:MM:SS" as a wall-clock time in the default time zone and returns
// seconds since 1970. A time that a daylight-saving change skips resolves to the later side.
// Nothing, with the reason, for malformed text or impossible dates.
std::optional<double> parseLocalInstant(const std::string& text, std::string* error);

// Why a value of --now, --tz or --locale cannot be used (what is wrong and what is expected),
// or nothing when it can. Nothing is changed. The command line checks them as it reads them, so
// that a bad value is a usage error.
std::optional<std::string> localInstantProblem(const std::string& text);
std::optional<std::string> timeZoneProblem(const std::string& olsonIdentifier);
std::optional<std::string> localeProblem(const std::string& identifier);

// The options given before a subcommand (`bytarn --now T report`) apply to it where it was not
// given the same option itself: its own value wins. --collector and --no-collector count as one
// choice.
void takeOptionsGivenBefore(SessionOptions& own, const SessionOptions& before);

// Applies the time zone and locale, then pins the clock: at --now when given, else at the real
// current time, so that only `advance` moves it. Returns false, with the reason, changing at most
// what came before the failing option.
bool applySessionEnvironment(const SessionOptions& options, std::string* error);
