#pragma once

#include <optional>
#include <string>

// What both front ends (script and view) are told on the command line.
struct SessionOptions {
    // Local time "YYYY-MM-DDTHH:MM:SS" at which the virtual clock starts.
    std::optional<std::string> now;
    // An Olson zone and a locale identifier that replace the process defaults.
    std::optional<std::string> timeZone;
    std::optional<std::string> locale;
    // Runs without a collector of its own. The application starts none yet; the flag is taken so
    // that scripts and demos can always pass it.
    bool noCollector = false;
    // The directory holding the *.bundle directories; searched for when not given.
    std::optional<std::string> bundlesDirectory;
    // The script to read; standard input when not given.
    std::optional<std::string> scriptFile;
};

// Reads strict "YYYY-MM-DDTHH:MM:SS" as a wall-clock time in the default time zone and returns
// seconds since 1970. A time that a daylight-saving change skips resolves to the later side.
// Nothing, with the reason, for malformed text or impossible dates.
std::optional<double> parseLocalInstant(const std::string& text, std::string* error);

// Applies the time zone and locale, then pins the clock: at --now when given, else at the real
// current time, so that only `advance` moves it. Returns false, with the reason, changing at most
// what came before the failing option.
bool applySessionEnvironment(const SessionOptions& options, std::string* error);
