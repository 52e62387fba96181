#include "report/PlanCommand.h"

#include <CLI/CLI.hpp>

#include <optional>
#include <ostream>

#include "data/UsageQuery.h"
#include "host/foundation/Clock.h"
#include "host/foundation/CommandLine.h"
#include "host/netpolicy/DataPlanStore.h"
#include "host/netpolicy/DataSize.h"
#include "host/netpolicy/PlanPause.h"
#include "report/PlanUsage.h"
#include "report/ReportFormats.h"

REGISTER_BUNDLE_COMMAND(PlanCommand, "plan");

namespace {

struct Options {
    std::string format = "table";
    std::optional<std::string> database;
    // set and clear
    std::string kind;
    std::optional<int> cycleDay, days;
    std::optional<std::string> start, limit, warning, used;
};

void describe(CLI::App& app, CLI::App& set, CLI::App& clear, Options& options) {
    app.description(
        "Data plans per network kind: the current cycle, used of the limit, the projection to "
        "the cycle's end and the applications that used most. Without a command it prints the "
        "plans.");
    app.add_option("--format", options.format,
                   "table (the default) or json (per plan: kind, from, to, used, warning, limit, "
                   "projected, top); e.g. --format json")
        ->check(CLI::IsMember({"table", "json"}))
        ->option_text("table|json");
    app.add_option("--database", options.database,
                   "The usage database to read (default: the collector's, " + usageDatabasePath() +
                       "); e.g. --database /tmp/usage.sqlite3")
        ->option_text("PATH");
    app.require_subcommand(0, 1);

    // KIND is read as text: an unknown kind gets the plan's own sentence, not CLI11's.
    set.add_option("KIND", options.kind, "cellular or wifi")->required();
    auto* cycleDay = set.add_option("--cycle-day", options.cycleDay,
                                    "A monthly plan whose cycles start on this day of the month "
                                    "(the last day in shorter months); e.g. --cycle-day 15")
                         ->option_text("D");
    auto* start = set.add_option("--start", options.start,
                                 "A one-off pack's first day, with --days; e.g. --start 2026-12-01")
                      ->option_text("YYYY-MM-DD");
    auto* days = set.add_option("--days", options.days,
                                "How many days the pack lasts, with --start; e.g. --days 30")
                     ->option_text("N");
    start->needs(days);
    days->needs(start);
    cycleDay->excludes(start)->excludes(days);
    set.add_option("--limit", options.limit,
                   "The limit, a size in B, KB, MB, GB or TB (powers of 1024), or none; "
                   "e.g. --limit 10GB")
        ->option_text("SIZE|none");
    set.add_option("--warning", options.warning,
                   "The warning, a size or a percentage of the limit, or none; e.g. --warning 80%")
        ->option_text("SIZE|PCT%|none");
    set.add_option("--used", options.used,
                   "The carrier's figure for this cycle so far: used becomes this now and grows "
                   "with the traffic after it; e.g. --used 3.2GB")
        ->option_text("SIZE");
    set.footer(
        "The cycle is given every time; a limit, warning or correction not given keeps the "
        "stored one.");
    // --database may follow the command's own options.
    set.fallthrough();
    clear.add_option("KIND", options.kind, "cellular or wifi")->required();
    app.footer(
        "Examples:\n"
        "  bytarn plan\n"
        "  bytarn plan set cellular --cycle-day 15 --limit 10GB --warning 80%\n"
        "  bytarn plan set cellular --cycle-day 15 --used 3.2GB   (the carrier's figure)\n"
        "  bytarn plan set cellular --start 2026-12-01 --days 30 --limit 5GB   (a prepaid pack)\n"
        "  bytarn plan clear wifi\n"
        "  bytarn plan resume cellular   (mobile data again until the next cycle)\n"
        "  bytarn plan --format json");
}

// A size option: its bytes, "none" as nothing; a usage error on `err` otherwise.
std::optional<std::optional<std::uint64_t>> sizeOption(const std::string& name,
                                                       const std::string& text,
                                                       std::string* error) {
    if (text == "none") return std::optional<std::uint64_t>();
    std::string why;
    auto bytes = parseDataSize(text, &why);
    if (!bytes) {
        *error = name + " " + text + ": " + why;
        return std::nullopt;
    }
    return std::optional<std::uint64_t>(*bytes);
}

// Usage errors name the root application, whose name is the program's, and point at set's help.
int setPlan(const CLI::App& app, const Options& options, std::ostream& err) {
    if (!options.cycleDay && !options.start)
        return CommandLine::usageError(
            app, "a plan needs its cycle: give --cycle-day D, or --start YYYY-MM-DD --days N", err);
    // What is stored for the kind stays unless this command line changes it; an unreadable
    // stored plan is replaced.
    DataPlan plan = DataPlanStore::plan(options.kind).value_or(DataPlan{});
    plan.kind = options.kind;
    if (options.cycleDay) {
        plan.period = DataPlan::Period::Monthly;
        plan.cycleDay = *options.cycleDay;
    } else {
        auto start = parseDay(*options.start);
        if (!start)
            return CommandLine::usageError(
                app, "--start " + *options.start + " is not a day of the form YYYY-MM-DD", err);
        plan.period = DataPlan::Period::OneOff;
        plan.start = *start;
        plan.days = *options.days;
    }
    std::string error;
    if (options.limit) {
        auto limit = sizeOption("--limit", *options.limit, &error);
        if (!limit) return CommandLine::usageError(app, error, err);
        plan.limit = *limit;
    }
    if (options.warning) {
        if (*options.warning == "none") {
            plan.warning.reset();
        } else {
            std::string why;
            auto warning = parsePlanWarning(*options.warning, &why);
            if (!warning)
                return CommandLine::usageError(app, "--warning " + *options.warning + ": " + why,
                                               err);
            plan.warning = *warning;
        }
    }
    std::optional<std::uint64_t> figure;
    if (options.used) {
        auto used = sizeOption("--used", *options.used, &error);
        if (!used || !*used)
            return CommandLine::usageError(
                app, used ? "--used takes the carrier's figure, a size" : error, err);
        figure = **used;
    }
    // The plan is checked whole before anything is read or written.
    if (auto problem = validatePlan(plan)) return CommandLine::usageError(app, *problem, err);
    if (figure) {
        DataPlan uncorrected = plan;
        uncorrected.correction.reset();
        auto status = readPlanStatus(uncorrected, Clock::now(),
                                     options.database.value_or(usageDatabasePath()), &error);
        if (!status) {
            err << "bytarn: " << error << "; the plan was not changed\n";
            return 1;
        }
        plan.correction = correctionForFigure(status->cycle, status->counted, *figure);
    }
    if (!DataPlanStore::store(plan, &error)) {
        err << "bytarn: " << error << "\n";
        return 1;
    }
    return 0;
}

// Only the cellular plan's limit pauses anything; resuming when nothing is paused is no error
// (the wanted state holds), so scripts may resume unconditionally.
int resumeMobileData(const CLI::App& app, const Options& options, std::ostream& out,
                     std::ostream& err) {
    if (!isPlanKind(options.kind)) {
        DataPlan unknown;
        unknown.kind = options.kind;
        return CommandLine::usageError(app, *validatePlan(unknown), err);
    }
    if (!PlanPause::pausesAtLimit(options.kind))
        return CommandLine::usageError(app,
                                       "the " + options.kind +
                                           " plan's limit pauses nothing; only the cellular "
                                           "plan's limit pauses mobile data",
                                       err);
    std::string error;
    switch (PlanPause::resume(options.database.value_or(usageDatabasePath()), options.kind,
                              Clock::now(), &error)) {
        case PlanPause::ResumeResult::Resumed:
            out << "Mobile data resumed; the limit does not pause it again this cycle\n";
            return 0;
        case PlanPause::ResumeResult::NotPaused:
            out << "Mobile data is not paused; nothing to resume\n";
            return 0;
        case PlanPause::ResumeResult::Failed:
            break;
    }
    err << "bytarn: cannot resume mobile data: " << error << "\n";
    return 1;
}

}  // namespace

int PlanCommand::run(const std::vector<std::string>& arguments, std::ostream& out,
                     std::ostream& err) {
    CLI::App app("", "bytarn plan");
    Options options;
    CLI::App* set = app.add_subcommand(
        "set",
        "Set the plan of a network kind: KIND (--cycle-day D | --start DATE --days N) "
        "[--limit SIZE] [--warning SIZE|PCT%] [--used SIZE]");
    CLI::App* clear = app.add_subcommand("clear", "Remove the plan of a network kind: KIND");
    CLI::App* resume = app.add_subcommand(
        "resume", "End the pause of mobile data that the cellular plan's limit began: KIND");
    describe(app, *set, *clear, options);
    resume->add_option("KIND", options.kind, "cellular, the plan whose limit pauses")->required();
    resume->fallthrough();
    if (auto status = CommandLine::parse(app, arguments, out, err)) return *status;

    if (set->parsed()) return setPlan(app, options, err);
    if (clear->parsed()) {
        if (!isPlanKind(options.kind)) {
            DataPlan unknown;
            unknown.kind = options.kind;
            return CommandLine::usageError(app, *validatePlan(unknown), err);
        }
        if (!DataPlanStore::clear(options.kind)) {
            err << "bytarn: removing the " << options.kind << " plan failed\n";
            return 1;
        }
        return 0;
    }

    if (resume->parsed()) return resumeMobileData(app, options, out, err);

    std::string error;
    auto plans =
        readPlanReports(Clock::now(), options.database.value_or(usageDatabasePath()), err, &error);
    if (!plans) {
        err << "bytarn: " << error << "\n";
        return 1;
    }
    out << (options.format == "json" ? formatPlanJSON(*plans) : formatPlanTable(*plans));
    out.flush();
    if (!out) {
        err << "bytarn: writing the plans failed\n";
        return 1;
    }
    return 0;
}
