#include "report/RestrictionCommands.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <functional>
#include <optional>
#include <ostream>
#include <set>

#include "data/UsageQuery.h"
#include "host/foundation/Clock.h"
#include "host/foundation/CommandLine.h"
#include "host/foundation/NSDateFormatter.h"
#include "host/netpolicy/DataPlan.h"
#include "host/netpolicy/PlanPause.h"
#include "host/netpolicy/RestrictionStore.h"

REGISTER_BUNDLE_COMMAND(RestrictCommand, "restrict");
REGISTER_BUNDLE_COMMAND(AllowCommand, "allow");
REGISTER_BUNDLE_COMMAND(RestrictionsCommand, "restrictions");

namespace {

const char* const kGrammar =
    "Examples:\n"
    "  bytarn restrict org.example.Video                  (Mobile data off)\n"
    "  bytarn allow org.example.Video                     (Mobile data on again)\n"
    "  bytarn allow --always org.example.Maps             (on, even while the limit pauses "
    "mobile data)\n"
    "  bytarn restrict --only-when-paused org.example.Maps  (on, but paused with the others)\n"
    "  bytarn restrictions --format json\n"
    "  bytarn plan resume cellular                        (end the limit's pause)";

// The identifier as the usage rows and `bytarn report` name applications.
void addApplication(CLI::App& app, std::string& name) {
    app.add_option("APP", name,
                   "The application's identifier, as bytarn report lists it; e.g. "
                   "org.example.Video")
        ->required();
}

// Checks the name before anything is read or written; the store then does what is asked.
int store(const CLI::App& app, const std::string& name, std::ostream& err,
          const std::function<bool(std::string*)>& write) {
    if (auto problem = RestrictionStore::nameProblem(name))
        return CommandLine::usageError(app, *problem, err);
    std::string error;
    if (!write(&error)) {
        err << "bytarn: " << error << "\n";
        return 1;
    }
    return 0;
}

std::string localTime(double instant) {
    NSDateFormatter formatter;
    formatter.setLocale("en_US_POSIX");
    formatter.setDateFormat("yyyy-MM-dd HH:mm");
    return formatter.stringFromDate(NSDate{instant}).value_or("");
}

}  // namespace

int RestrictCommand::run(const std::vector<std::string>& arguments, std::ostream& out,
                         std::ostream& err) {
    CLI::App app(
        "Turn an application's mobile data off: the traffic helper keeps it off "
        "cellular networks.",
        "bytarn restrict");
    std::string name;
    bool onlyWhenPaused = false;
    addApplication(app, name);
    app.add_flag("--only-when-paused", onlyWhenPaused,
                 "Instead: leave its mobile data on, but no longer always allowed, so the "
                 "limit's pause holds it off like the others");
    app.footer(kGrammar);
    if (auto status = CommandLine::parse(app, arguments, out, err)) return *status;
    return store(app, name, err, [&](std::string* error) {
        if (!onlyWhenPaused) return RestrictionStore::setMobileData(name, false, error);
        return RestrictionStore::setMobileData(name, true, error) &&
               RestrictionStore::setAlwaysAllowed(name, false, error);
    });
}

int AllowCommand::run(const std::vector<std::string>& arguments, std::ostream& out,
                      std::ostream& err) {
    CLI::App app(
        "Turn an application's mobile data on again; its \"Always allowed\" mark is "
        "kept as it is.",
        "bytarn allow");
    std::string name;
    bool always = false;
    addApplication(app, name);
    app.add_flag("--always", always,
                 "Also mark it \"Always allowed\": it keeps mobile data while the cellular plan's "
                 "limit pauses it for the others");
    app.footer(kGrammar);
    if (auto status = CommandLine::parse(app, arguments, out, err)) return *status;
    return store(app, name, err, [&](std::string* error) {
        return RestrictionStore::setMobileData(name, true, error) &&
               (!always || RestrictionStore::setAlwaysAllowed(name, true, error));
    });
}

int RestrictionsCommand::run(const std::vector<std::string>& arguments, std::ostream& out,
                             std::ostream& err) {
    CLI::App app(
        "The applications whose mobile data is off, those always allowed, and whether "
        "the cellular plan's limit pauses mobile data now.",
        "bytarn restrictions");
    std::string format = "table";
    std::optional<std::string> database;
    app.add_option("--format", format, "table (the default) or json; e.g. --format json")
        ->check(CLI::IsMember({"table", "json"}))
        ->option_text("table|json");
    app.add_option("--database", database,
                   "The usage database, which keeps the pause (default: the collector's, " +
                       usageDatabasePath() + ")")
        ->option_text("PATH");
    app.footer(kGrammar);
    if (auto status = CommandLine::parse(app, arguments, out, err)) return *status;

    std::vector<std::string> problems;
    RestrictionStore::Restrictions choices = RestrictionStore::read(&problems);
    for (const auto& problem : problems) err << "bytarn: " << problem << "; left out\n";
    std::string error;
    const double now = Clock::now();
    auto pause = PlanPause::current(database.value_or(usageDatabasePath()),
                                    std::string(kCellularKind), now, &error);
    if (!error.empty()) {
        err << "bytarn: cannot read the pause of mobile data: " << error << "\n";
        return 1;
    }

    if (format == "json") {
        nlohmann::ordered_json document;
        document["restricted"] = choices.restricted;
        document["alwaysAllowed"] = choices.alwaysAllowed;
        document["paused"] = pause.has_value();
        if (pause)
            document["pause"] = {{"kind", pause->kind},
                                 {"cycle", pause->cycle},
                                 {"since", static_cast<std::int64_t>(pause->since)},
                                 {"until", static_cast<std::int64_t>(pause->until)}};
        else
            document["pause"] = nullptr;
        out << document.dump(2) << "\n";
    } else {
        auto list = [&](const char* title, const std::set<std::string>& names) {
            out << title << (names.empty() ? ": none\n" : ":\n");
            for (const auto& name : names) out << "  " << name << "\n";
        };
        list("Mobile data off", choices.restricted);
        list("Always allowed", choices.alwaysAllowed);
        if (pause)
            out << "Mobile data paused at the cellular limit since " << localTime(pause->since)
                << ", until the cycle ends at " << localTime(pause->until)
                << " (bytarn plan resume cellular)\n";
        else
            out << "Mobile data is not paused\n";
    }
    out.flush();
    if (!out) {
        err << "bytarn: writing the restrictions failed\n";
        return 1;
    }
    return 0;
}
