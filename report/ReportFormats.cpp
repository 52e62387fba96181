#include "report/ReportFormats.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdint>
#include <memory>

#include "data/UsageString.h"
#include "host/foundation/NSDateFormatter.h"
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
    return out + "# EOF\n";
}
