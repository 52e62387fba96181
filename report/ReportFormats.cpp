#include "report/ReportFormats.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <memory>

#include "data/ApplicationTitle.h"
#include "host/foundation/NSDateFormatter.h"
#include "host/foundation/UsageString.h"
#include "host/ui/UIView.h"
#include "root/BytarnController.h"

namespace {

bool byApp(ReportGrouping grouping) {
    return grouping != ReportGrouping::Day;
}
bool byDay(ReportGrouping grouping) {
    return grouping != ReportGrouping::App;
}

// A title on one line of a table: control characters (a desktop entry's escaped newline, say)
// would break the lines and columns, so each becomes "?".
std::string printable(std::string text) {
    for (char& c : text) {
        auto byte = static_cast<unsigned char>(c);
        if (byte < 0x20 || byte == 0x7f) c = '?';
    }
    return text;
}

std::string padRight(const std::string& text, int width) {
    return text +
           std::string(static_cast<size_t>(std::max(0, width - TextMetrics::cells(text))), ' ');
}
std::string padLeft(const std::string& text, int width) {
    return std::string(static_cast<size_t>(std::max(0, width - TextMetrics::cells(text))), ' ') +
           text;
}

// A bar of `usage` against `largest` over kBarCells cells: in eighths of a cell with blocks, in
// whole cells with "#". A usage above 0 always shows at least the smallest mark.
constexpr unsigned kBarCells = 40;
std::string bar(std::uint64_t usage, std::uint64_t largest, bool blocks) {
    if (usage == 0 || largest == 0) return {};
    static const char* const kEighths[] = {"", "▏", "▎", "▍", "▌", "▋", "▊", "▉"};
    unsigned steps = blocks ? kBarCells * 8 : kBarCells;
    // 128-bit, so that counts near 2^64 scale without overflowing.
    auto scaled = static_cast<unsigned>(static_cast<unsigned __int128>(usage) * steps / largest);
    scaled = std::max(scaled, 1u);
    if (!blocks) return std::string(scaled, '#');
    std::string out;
    for (unsigned i = 0; i < scaled / 8; ++i) out += "█";
    return out + kEighths[scaled % 8];
}

// A bound the query used, when it is a real date: the eternity's "0000-00-00" and a stored date
// that does not parse are not.
nlohmann::ordered_json dateOrNull(const std::optional<std::string>& date) {
    if (!date || !periodDateFormatter()->dateFromString(*date)) return nullptr;
    return *date;
}

nlohmann::ordered_json countsJSON(const UsageLine& line) {
    nlohmann::ordered_json counts;
    counts["wifi"] = line.wifi;
    counts["cellular"] = line.cellular;
    counts["other"] = line.unknown;
    counts["usage"] = line.usage;
    return counts;
}

std::string csvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string out = "\"";
    for (char c : text) {
        if (c == '"') out += '"';
        out += c;
    }
    return out + "\"";
}

std::string labelValue(const std::string& text) {
    std::string out;
    for (char c : text) {
        if (c == '\\')
            out += "\\\\";
        else if (c == '"')
            out += "\\\"";
        else if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

// "Cellular", "Wi-Fi": a plan's kind as the pages name it.
std::string kindTitle(const std::string& kind) {
    return kind == kWifiKind ? "Wi-Fi" : "Cellular";
}

// A Unix time as a metrics value: whole seconds as an integer, as day starts are.
std::string unixTime(double instant) {
    if (instant == std::floor(instant) && std::abs(instant) < 9e15)
        return std::to_string(static_cast<long long>(instant));
    char text[64];
    std::snprintf(text, sizeof text, "%.3f", instant);
    return text;
}

// The gauges of the plans: one family per figure, a sample per plan with that figure, labelled
// with the plan's network kind (a fixed word, never user text).
std::string planGauges(const std::vector<PlanReport>& plans) {
    if (plans.empty()) return {};
    struct Family {
        const char* name;
        const char* help;
        std::optional<std::string> (*value)(const PlanReport&);
    };
    static const Family kFamilies[] = {
        {"bytarn_plan_limit_bytes", "The data plan's limit for its network kind.",
         [](const PlanReport& p) -> std::optional<std::string> {
             if (!p.status.limit) return std::nullopt;
             return std::to_string(*p.status.limit);
         }},
        {"bytarn_plan_warning_bytes", "The data plan's warning level for its network kind.",
         [](const PlanReport& p) -> std::optional<std::string> {
             if (!p.status.warning) return std::nullopt;
             return std::to_string(*p.status.warning);
         }},
        {"bytarn_plan_used_bytes",
         "Bytes of the plan's network kind used in its current cycle, with the carrier's "
         "correction.",
         [](const PlanReport& p) -> std::optional<std::string> {
             return std::to_string(p.status.used);
         }},
        {"bytarn_plan_cycle_start_seconds",
         "Start of the plan's current cycle as a Unix time: the first instant of its first day.",
         [](const PlanReport& p) -> std::optional<std::string> {
             return unixTime(cycleStartInstant(p.status.cycle));
         }},
        {"bytarn_plan_cycle_end_seconds",
         "End of the plan's current cycle as a Unix time, exclusive: the first instant after "
         "the cycle (the start of the day after its last day).",
         [](const PlanReport& p) -> std::optional<std::string> {
             return unixTime(cycleEndInstant(p.status.cycle));
         }},
    };
    std::string out;
    for (const Family& family : kFamilies) {
        out += std::string("# HELP ") + family.name + " " + family.help + "\n";
        out += std::string("# TYPE ") + family.name + " gauge\n";
        for (const PlanReport& plan : plans)
            if (auto value = family.value(plan))
                out += std::string(family.name) + "{network=\"" + plan.plan.kind + "\"} " + *value +
                       "\n";
    }
    return out;
}

}  // namespace

std::vector<std::string> selectedNetworks(const std::optional<std::string>& devices) {
    std::vector<std::string> networks;
    const std::string d = devices.value_or("");
    if (d.size() > 1 && d[1] == 'W') networks.push_back("wifi");
    if (d.size() > 0 && d[0] == 'C') networks.push_back("cellular");
    if (d.size() > 2 && d[2] == 'U') networks.push_back("other");
    return networks;
}

std::string formatTable(const Report& report, bool blocks) {
    const bool apps = byApp(report.grouping), days = byDay(report.grouping);
    struct Cells {
        std::string date, title, usage;
    };
    std::vector<Cells> rows;
    rows.reserve(report.lines.size() + 2);
    rows.push_back({"Day", "Application", "Usage"});
    for (const auto& line : report.lines)
        rows.push_back({line.date, printable(line.title), usageString(line.usage)});
    // The total's label goes in the first column: the day's, or by application alone the title's.
    rows.push_back({"Total", days ? "" : "Total", usageString(report.total.usage)});

    int dateWidth = 0, titleWidth = 0, usageWidth = 0;
    for (const auto& row : rows) {
        dateWidth = std::max(dateWidth, TextMetrics::cells(row.date));
        titleWidth = std::max(titleWidth, TextMetrics::cells(row.title));
        usageWidth = std::max(usageWidth, TextMetrics::cells(row.usage));
    }
    std::uint64_t largest = 0;
    for (const auto& line : report.lines) largest = std::max(largest, line.usage);

    std::string out = printable(report.summary) + "\n";
    for (size_t i = 0; i < rows.size(); ++i) {
        const Cells& row = rows[i];
        bool isTotal = i + 1 == rows.size();
        std::string text;
        if (days && apps) {
            text = padRight(row.date, dateWidth) + "  " + padRight(row.title, titleWidth) + "  ";
        } else if (days) {
            text = padRight(row.date, dateWidth) + "  ";
        } else {
            text = padRight(row.title, titleWidth) + "  ";
        }
        text += padLeft(row.usage, usageWidth);
        if (days && !apps && i > 0 && !isTotal)
            text += "  " + bar(report.lines[i - 1].usage, largest, blocks);
        // A bar or a short title may leave spaces at the end; none are printed.
        text.erase(text.find_last_not_of(' ') + 1);
        out += text + "\n";
    }
    return out;
}

std::string formatJSON(const Report& report) {
    nlohmann::ordered_json document;
    document["period"] = {{"name", report.period},
                          {"from", dateOrNull(report.first)},
                          {"to", dateOrNull(report.last)}};
    document["networks"] = selectedNetworks(report.devices);
    document["summary"] = report.summary;
    document["by"] = report.grouping == ReportGrouping::App   ? "app"
                     : report.grouping == ReportGrouping::Day ? "day"
                                                              : "app,day";
    auto rows = nlohmann::ordered_json::array();
    for (const auto& line : report.lines) {
        nlohmann::ordered_json row;
        if (byDay(report.grouping)) row["date"] = line.date;
        if (byApp(report.grouping)) {
            row["app"] = line.app;
            row["title"] = line.title;
        }
        row.update(countsJSON(line));
        rows.push_back(std::move(row));
    }
    document["rows"] = std::move(rows);
    document["total"] = countsJSON(report.total);
    // Everything read is UTF-8 already; a stored date that is not would become U+FFFD here
    // rather than stop the report.
    return document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

std::string formatCSV(const Report& report) {
    const bool apps = byApp(report.grouping), days = byDay(report.grouping);
    std::string out;
    if (days) out += "date,";
    if (apps) out += "app,title,";
    out += "wifi,cellular,other,usage\r\n";
    for (const auto& line : report.lines) {
        if (days) out += csvField(line.date) + ",";
        if (apps) out += csvField(line.app) + "," + csvField(line.title) + ",";
        out += std::to_string(line.wifi) + "," + std::to_string(line.cellular) + "," +
               std::to_string(line.unknown) + "," + std::to_string(line.usage) + "\r\n";
    }
    return out;
}

std::string formatOpenMetrics(const Report& report) {
    // The family is "bytarn_bytes" and its samples "bytarn_bytes_total", as OpenMetrics has
    // counters; the Prometheus text parser reads the same lines as the series
    // "bytarn_bytes_total" and skips "# EOF" as a comment (docs/REPORT.md).
    std::string out =
        "# HELP bytarn_bytes Bytes each application moved over the reporting period.\n"
        "# TYPE bytarn_bytes counter\n";
    auto networks = selectedNetworks(report.devices);
    for (const auto& line : report.lines) {
        for (const auto& network : networks) {
            std::uint64_t bytes = network == "wifi"       ? line.wifi
                                  : network == "cellular" ? line.cellular
                                                          : line.unknown;
            out += "bytarn_bytes_total{app=\"" + labelValue(line.app) + "\",network=\"" + network +
                   "\"} " + std::to_string(bytes) + "\n";
        }
    }
    return out + planGauges(report.plans) + "# EOF\n";
}

std::string formatPlanTable(const std::vector<PlanReport>& plans) {
    if (plans.empty())
        return "No data plan. Set one with, e.g.: bytarn plan set cellular --cycle-day 1 "
               "--limit 10GB\n";
    std::string out;
    for (const auto& [plan, status] : plans) {
        if (!out.empty()) out += "\n";
        out += kindTitle(plan.kind) + " plan: ";
        out += plan.period == DataPlan::Period::Monthly
                   ? "monthly from day " + std::to_string(plan.cycleDay)
                   : "a pack of " + std::to_string(plan.days) + " days";
        out += "\n";
        std::vector<std::pair<std::string, std::string>> rows;
        rows.emplace_back("Cycle", dayString(status.cycle.first) + " to " +
                                       dayString(status.cycle.last) + ", " +
                                       std::to_string(status.daysLeft) + " days left");
        std::string used = usageString(status.used);
        if (status.limit) {
            used += " of " + usageString(*status.limit) + " (" +
                    // 128-bit, so that counts near 2^64 neither overflow nor wrap.
                    std::to_string(static_cast<std::uint64_t>(std::min<unsigned __int128>(
                        static_cast<unsigned __int128>(status.used) * 100 / *status.limit,
                        UINT64_MAX))) +
                    "%)";
            if (status.limitReached) used += ", limit reached";
        }
        if (status.warningReached && !status.limitReached) used += ", warning reached";
        rows.emplace_back("Used", used);
        std::string warning = status.warning ? usageString(*status.warning) : "none";
        if (plan.warning && plan.warning->percent) {
            char percent[32];
            std::snprintf(percent, sizeof percent, "%g", *plan.warning->percent);
            warning += std::string(" (") + percent + "% of the limit)";
        }
        rows.emplace_back("Warning", warning);
        rows.emplace_back("Limit", status.limit ? usageString(*status.limit) : "none");
        std::string projected = usageString(status.projected) + " by the cycle's end";
        if (status.rapidUse)
            projected += ", far above the limit";
        else if (status.limit && status.projected > *status.limit)
            projected += ", above the limit";
        rows.emplace_back("Projected", projected);
        // The applications as a small aligned table inside the row.
        int titleWidth = 0, usageWidth = 0;
        for (const auto& application : status.top) {
            titleWidth =
                std::max(titleWidth,
                         TextMetrics::cells(printable(applicationTitle(application.identifier))));
            usageWidth = std::max(usageWidth, TextMetrics::cells(usageString(application.bytes)));
        }
        for (size_t i = 0; i < status.top.size(); ++i) {
            const auto& application = status.top[i];
            rows.emplace_back(
                i == 0 ? "Most used" : "",
                padRight(printable(applicationTitle(application.identifier)), titleWidth) + "  " +
                    padLeft(usageString(application.bytes), usageWidth));
        }
        for (const auto& [name, value] : rows) out += "  " + padRight(name, 11) + value + "\n";
    }
    return out;
}

std::string formatPlanJSON(const std::vector<PlanReport>& plans) {
    auto list = nlohmann::ordered_json::array();
    for (const auto& [plan, status] : plans) {
        nlohmann::ordered_json entry;
        entry["kind"] = plan.kind;
        if (plan.period == DataPlan::Period::Monthly) {
            entry["period"] = "monthly";
            entry["cycleDay"] = plan.cycleDay;
        } else {
            entry["period"] = "once";
            entry["start"] = dayString(plan.start);
            entry["days"] = plan.days;
        }
        entry["from"] = dayString(status.cycle.first);
        entry["to"] = dayString(status.cycle.last);
        entry["daysLeft"] = status.daysLeft;
        entry["counted"] = status.counted;
        entry["used"] = status.used;
        entry["warning"] = status.warning ? nlohmann::ordered_json(*status.warning) : nullptr;
        entry["limit"] = status.limit ? nlohmann::ordered_json(*status.limit) : nullptr;
        entry["projected"] = status.projected;
        entry["warningReached"] = status.warningReached;
        entry["limitReached"] = status.limitReached;
        entry["rapidUse"] = status.rapidUse;
        auto top = nlohmann::ordered_json::array();
        for (const auto& application : status.top)
            top.push_back({{"app", application.identifier},
                           {"title", applicationTitle(application.identifier)},
                           {"bytes", application.bytes}});
        entry["top"] = std::move(top);
        list.push_back(std::move(entry));
    }
    nlohmann::ordered_json document;
    document["plans"] = std::move(list);
    return document.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}
