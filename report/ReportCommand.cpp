#include "report/ReportCommand.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <map>
#include <optional>
#include <ostream>

#include "data/ApplicationTitle.h"
#include "data/BytarnComparisons.h"
#include "data/UsageQuery.h"
#include "host/foundation/Clock.h"
#include "host/foundation/CommandLine.h"
#include "host/foundation/Locale.h"
#include "host/foundation/NSBundle.h"
#include "host/foundation/NSDateFormatter.h"
#include "host/netpolicy/DataPlanStore.h"
#include "report/PlanUsage.h"
#include "report/ReportFormats.h"
#include "report/UsageHistory.h"
#include "root/BytarnController.h"

REGISTER_BUNDLE_COMMAND(ReportCommand, "report");

namespace {

// An address inside this library: the bundle that holds the library holds the settings plist.
const char kBundleAnchor = 0;

const std::map<std::string, std::string> kPeriods = {
    {"today", "Today"}, {"week", "This week"}, {"month", "This month"}, {"eternity", "Eternity"}};
// The page offers the first three; "other" (wired and every network that is neither Wi-Fi nor
// cellular, the "U" of a device filter) and "all" are the report's own.
const std::map<std::string, std::string> kNetworks = {
    {"cellular", "C  "}, {"wifi", " W "}, {"both", "CW "}, {"other", "  U"}, {"all", "CWU"}};
// The report's own period: the current cycle of a data plan (bytarn plan).
const char* const kCyclePeriod = "cycle";
const std::map<std::string, std::string> kSorts = {{"usage", "compareUsage:"},
                                                   {"name", "compareName:"}};
const std::map<std::string, ReportGrouping> kGroupings = {{"app", ReportGrouping::App},
                                                          {"day", ReportGrouping::Day},
                                                          {"app,day", ReportGrouping::AppDay}};

struct Options {
    std::optional<std::string> period, from, to, networks, sort, database;
    std::string by = "app";
    std::string format = "table";
};

std::vector<std::string> keysOf(const auto& map) {
    std::vector<std::string> keys;
    for (const auto& [key, value] : map) keys.push_back(key);
    return keys;
}

// A day the user named: exactly "YYYY-MM-DD" and a date that exists.
bool isDay(const std::string& text) {
    if (text.size() != 10 || text[4] != '-' || text[7] != '-') return false;
    for (size_t i : {0, 1, 2, 3, 5, 6, 8, 9})
        if (!std::isdigit(static_cast<unsigned char>(text[i]))) return false;
    auto formatter = periodDateFormatter();
    auto date = formatter->dateFromString(text);
    // The formatter is lenient about days past a month's end; the round trip is not.
    return date && formatter->stringFromDate(*date) == text;
}

void describe(CLI::App& app, Options& options) {
    app.description(
        "Usage history from the collector's database, for scripts, spreadsheets and "
        "monitoring. Without options it prints what the Bytarn page shows: the page's stored "
        "period, networks and order.");
    std::vector<std::string> periods = keysOf(kPeriods);
    periods.push_back(kCyclePeriod);
    app.add_option("--period", options.period,
                   "today, week (the last 7 days), month (the last 28 days) or eternity, as "
                   "the page counts them, or cycle (the current cycle of the data plan of "
                   "--networks, cellular by default); e.g. --period month")
        ->check(CLI::IsMember(periods))
        ->option_text("today|week|month|eternity|cycle");
    auto* from = app.add_option("--from", options.from,
                                "First day of a custom period, with --to; e.g. --from 2026-11-01")
                     ->check(CLI::Validator(
                         [](std::string& day) {
                             return isDay(day) ? std::string() : "not a day of the form YYYY-MM-DD";
                         },
                         "YYYY-MM-DD"))
                     ->option_text("YYYY-MM-DD");
    auto* to = app.add_option("--to", options.to,
                              "Last day of a custom period, with --from; e.g. --to 2026-11-30")
                   ->check(CLI::Validator(
                       [](std::string& day) {
                           return isDay(day) ? std::string() : "not a day of the form YYYY-MM-DD";
                       },
                       "YYYY-MM-DD"))
                   ->option_text("YYYY-MM-DD");
    from->needs(to);
    to->needs(from);
    app.get_option("--period")->excludes(from)->excludes(to);
    app.add_option("--by", options.by,
                   "One line per app (the default), per day, or per app and day; "
                   "e.g. --by day")
        // IsMember would list "app,day" among the others as if it were two choices.
        ->check(CLI::Validator(
            [](std::string& by) {
                return kGroupings.count(by) ? std::string() : "expected app, day or app,day";
            },
            "app|day|app,day"))
        ->option_text("app|day|app,day");
    app.add_option("--networks", options.networks,
                   "cellular, wifi or both, as the page's Networks setting, or other (wired and "
                   "other networks, which the page does not show) or all; e.g. --networks "
                   "cellular")
        ->check(CLI::IsMember(keysOf(kNetworks)))
        ->option_text("cellular|wifi|both|other|all");
    app.add_option("--sort", options.sort,
                   "usage (largest first) or name, as the page's Sort by setting; "
                   "e.g. --sort name")
        ->check(CLI::IsMember(keysOf(kSorts)))
        ->option_text("usage|name");
    app.add_option("--format", options.format,
                   "table (the default, on a terminal or not), json, csv or openmetrics "
                   "(counters per app and network, --by app only, and gauges per data plan); "
                   "e.g. --format json")
        ->check(CLI::IsMember({"table", "json", "csv", "openmetrics"}))
        ->option_text("table|json|csv|openmetrics");
    app.add_option("--database", options.database,
                   "The usage database to read (default: the collector's, " + usageDatabasePath() +
                       "); e.g. --database /tmp/usage.sqlite3")
        ->option_text("PATH");
    app.footer(
        "Examples:\n"
        "  bytarn report --period month --networks cellular\n"
        "  bytarn report --period week --networks all   (wired traffic too)\n"
        "  bytarn report --period cycle --networks cellular   (the data plan's cycle)\n"
        "  bytarn report --by day --from 2026-11-01 --to 2026-11-30 --format json\n"
        "  bytarn report --period eternity --format openmetrics > "
        "/var/lib/node_exporter/bytarn.prom.$$ && mv /var/lib/node_exporter/bytarn.prom.$$ "
        "/var/lib/node_exporter/bytarn.prom\n"
        "Tables draw bars with block characters, and with \"#\" when NO_COLOR is set or the "
        "locale is not UTF-8.");
}

// The lines in the page's order: by application the page's comparison, by day the date first.
void sortLines(std::vector<UsageLine>& lines, bool byUsage) {
    std::stable_sort(lines.begin(), lines.end(), [byUsage](const UsageLine& a, const UsageLine& b) {
        if (a.date != b.date) return a.date < b.date;
        NSComparisonResult order = byUsage ? compareUsages(a.usage, a.title, b.usage, b.title)
                                           : compareTitles(a.title, b.title);
        return order == NSOrderedAscending;
    });
}

}  // namespace

int ReportCommand::run(const std::vector<std::string>& arguments, std::ostream& out,
                       std::ostream& err) {
    CLI::App app("", "bytarn report");
    Options options;
    describe(app, options);
    if (auto status = CommandLine::parse(app, arguments, out, err)) return *status;
    ReportGrouping grouping = kGroupings.at(options.by);
    if (options.format == "openmetrics" && grouping != ReportGrouping::App)
        return CommandLine::usageError(
            app, "--format openmetrics reports per app only; leave out --by", err);
    if (options.from && *options.from > *options.to)
        return CommandLine::usageError(
            app, "--from " + *options.from + " is after --to " + *options.to, err);
    // The plan's cycle: its days are the custom period's, its kind the networks'.
    std::optional<PlanCycle> cycle;
    if (options.period == kCyclePeriod) {
        std::string kind = options.networks.value_or(std::string(kCellularKind));
        if (!isPlanKind(kind))
            return CommandLine::usageError(
                app, "--period cycle reports a data plan's cycle: give --networks cellular or wifi",
                err);
        std::string problem;
        auto plan = DataPlanStore::plan(kind, &problem);
        if (!plan)
            return CommandLine::usageError(
                app,
                (problem.empty() ? "there is no " + kind + " data plan"
                                 : problem + ", so there is no " + kind + " data plan") +
                    " for --period cycle: set one with bytarn plan set " + kind + " --cycle-day D",
                err);
        cycle = cycleFor(*plan, localDayOf(Clock::now()));
        options.networks = kind;
    }

    // The page's settings, read by the page's own code from a page that is never shown; the
    // command line then changes them for this run only (nothing is stored).
    auto page = std::make_shared<BytarnController>();
    page->setBundle(NSBundle::bundleContainingAddress(&kBundleAnchor));
    page->loadSettings();
    if (cycle) {
        page->setPeriod("Custom");
        page->setStartDate(dayString(cycle->first));
        page->setEndDate(dayString(cycle->last));
    } else if (options.period) {
        page->setPeriod(kPeriods.at(*options.period));
    }
    if (options.from) {
        page->setPeriod("Custom");
        page->setStartDate(options.from);
        page->setEndDate(options.to);
    }
    if (options.networks) page->setDevices(kNetworks.at(*options.networks));
    if (options.sort) page->setComparator(kSorts.at(*options.sort));

    Report report;
    report.grouping = grouping;
    report.first = page->startDateStr();
    report.last = page->endDateStr();
    report.period = cycle ? "Cycle" : page->periodStr().value_or("Custom");
    report.devices = page->devices();
    // The page names only its own filters; the report's own two get names of their own.
    std::string prefix = page->settingsSummaryPrefix();
    if (options.networks == "other") prefix = "Other networks' usage";
    if (options.networks == "all") prefix = "Usage on all networks";
    if (cycle) prefix += " for the plan's cycle,";
    report.summary = prefix + page->settingsSummarySuffix();

    std::string error;
    auto lines = readUsageHistory(options.database.value_or(usageDatabasePath()), report.first,
                                  report.last, grouping, report.devices, &error);
    if (!lines) {
        err << "bytarn: " << error << "\n";
        return 1;
    }
    for (auto& line : *lines) {
        if (!line.app.empty()) line.title = applicationTitle(line.app);
        report.total.wifi += line.wifi;
        report.total.cellular += line.cellular;
        report.total.unknown += line.unknown;
        report.total.usage += line.usage;
    }
    if (options.format == "openmetrics") {
        auto plans = readPlanReports(Clock::now(), options.database.value_or(usageDatabasePath()),
                                     err, &error);
        if (!plans) {
            err << "bytarn: " << error << "\n";
            return 1;
        }
        report.plans = std::move(*plans);
    }
    // A comparator naming no comparison sorts by name, as on the page.
    sortLines(*lines, comparisonNamed(page->comparator()) == compareUsage);
    report.lines = std::move(*lines);

    std::string text;
    if (options.format == "json")
        text = formatJSON(report);
    else if (options.format == "csv")
        text = formatCSV(report);
    else if (options.format == "openmetrics")
        text = formatOpenMetrics(report);
    else {
        const char* noColor = std::getenv("NO_COLOR");
        bool blocks = !(noColor && *noColor) && Locale::characterSetIsUTF8();
        text = formatTable(report, blocks);
    }
    out << text;
    out.flush();
    if (!out) {
        err << "bytarn: writing the report failed\n";
        return 1;
    }
    return 0;
}
