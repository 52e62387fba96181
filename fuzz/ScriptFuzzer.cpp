// `bytarn script` with an untrusted script, run against a scratch session: the built bundle, an
// embedded collector and a small usage database. Every line the runner prints must be one JSON
// object, and the run's status must be 1 exactly when some command printed an error.
//
// "sql" lines are left out: they run whatever SQL they hold, and ATTACH would let the fuzzer
// create files anywhere the user may write. So are "advance" lines once a script has advanced a
// day: an advance fires the page's 15-second save timer at every one of its fire dates, so a long
// one takes time in proportion (a year is two million saves), which is slow, not wrong.
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <sstream>
#include <string>
#include <utility>

#include "collector/UsageDatabase.h"
#include "fuzz/FuzzSupport.h"
#include "settings/script/ScriptSession.h"

namespace {

using FuzzSupport::fail;

constexpr double kMostAdvance = 86400;

// The command word of a line and the argument after it, the way the runner splits them.
std::pair<std::string, std::string> commandOf(const std::string& line) {
    std::size_t start = line.find_first_not_of(" \t");
    if (start == std::string::npos) return {};
    std::size_t end = line.find_first_of(" \t\r", start);
    if (end == std::string::npos) return {line.substr(start), ""};
    return {line.substr(start, end - start), line.substr(end + 1)};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzSupport::resetForInput();
    std::string script;
    std::istringstream lines{std::string(FuzzSupport::textOf(data, size))};
    double advanced = 0;
    for (std::string line; std::getline(lines, line);) {
        auto [word, argument] = commandOf(line);
        if (word == "sql") continue;
        if (word == "advance") {
            double seconds = std::strtod(argument.c_str(), nullptr);
            if (!(seconds <= kMostAdvance - advanced)) continue;  // NaN included
            if (seconds > 0) advanced += seconds;
        }
        script += line + "\n";
    }

    {
        UsageDatabase database;
        database.addUsage("org.example.mail", "2026-12-06", 1500, 250000, 7);
        database.addUsage("org.example.maps", "2026-12-05", 0, 1048576, 0);
        database.addUsage("com.example.Notes", "2026-11-02", 42, 0, 0);
    }

    SessionOptions options;
    options.now = "2026-12-06T12:00:00";
    options.bundlesDirectory = BYTARN_BUILD_BUNDLES_DIR;
    options.collector = CollectorMode::Embedded;
    std::istringstream in(script);
    std::ostringstream out, err;
    int status = runScriptSession(options, in, out, err);
    if (status != 0 && status != 1) fail("the run ended with an unexpected status", err.str());

    bool printedError = false;
    std::istringstream printed(out.str());
    for (std::string line; std::getline(printed, line);) {
        auto json = nlohmann::json::parse(line, nullptr, false);
        if (json.is_discarded() || !json.is_object())
            fail("a printed line is not a JSON object", line);
        if (json.contains("error")) printedError = true;
    }
    if (printedError != (status == 1))
        fail("the status does not tell whether a command failed", out.str() + err.str());
    return 0;
}
