#include "report/UsageHistory.h"

#include <sqlite3.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <memory>

#include "data/BytarnEntry.h"
#include "data/UsageQuery.h"
#include "host/foundation/NSString.h"

namespace {

// The dates are bound as parameters: stored custom dates come from a file anyone can edit.
const char* const kDailyQuery =
    "SELECT date, app, SUM(usage_wifi), SUM(usage_cellular), SUM(usage_unknown) FROM usage"
    " WHERE date >= ?1 AND date <= ?2 GROUP BY date, app ORDER BY date;";

// Names the columns both queries read, so that a file that is no usage database fails here with
// SQLite's own reason instead of later inside the page's query.
const char* const kShapeCheck =
    "SELECT date, app, usage_wifi, usage_cellular, usage_unknown FROM usage LIMIT 0;";

struct ConnectionCloser {
    void operator()(sqlite3* db) const { sqlite3_close(db); }
};
using Connection = std::unique_ptr<sqlite3, ConnectionCloser>;
struct StatementFinalizer {
    void operator()(sqlite3_stmt* statement) const { sqlite3_finalize(statement); }
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

bool fail(std::string* error, std::string why) {
    if (error) *error = std::move(why);
    return false;
}

// Why the file at `path`, which SQLite could not read as a usage database, is none: in words
// for the user rather than SQLite's ("disk I/O error" for a directory).
std::string unreadableBecause(const std::string& path, sqlite3* db) {
    int code = db ? sqlite3_errcode(db) : SQLITE_NOMEM;
    std::string message = db ? sqlite3_errmsg(db) : "out of memory";
    if (code == SQLITE_NOTADB) return path + " is not an SQLite database, so no usage database";
    if (message.rfind("no such table", 0) == 0 || message.rfind("no such column", 0) == 0)
        return path + " is an SQLite database, but not a usage database (" + message + ")";
    return "cannot read the usage database " + path + ": " + message;
}

// Opens read-only: SQLITE_OPEN_READONLY never creates the file. A missing file is told apart
// from an unreadable one, since it usually means the collector has not run yet; a directory and
// a file this user may not read are named as such before SQLite tries them.
Connection openReadOnly(const std::string& path, std::string* error) {
    std::error_code ec;
    auto status = std::filesystem::status(path, ec);
    if (!std::filesystem::exists(status)) {
        fail(error, "no usage database at " + path +
                        " yet: start the collector (systemctl --user enable --now "
                        "bytarn-collector), or make one with synthetic usage (bytarn-collector "
                        "seed)");
        return nullptr;
    }
    if (std::filesystem::is_directory(status)) {
        fail(error, path + " is a directory, not a usage database");
        return nullptr;
    }
    if (access(path.c_str(), R_OK) != 0) {
        fail(error, "cannot read the usage database " + path + ": " + std::strerror(errno));
        return nullptr;
    }
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr);
    Connection connection(db);
    if (rc != SQLITE_OK) {
        fail(error, unreadableBecause(path, db));
        return nullptr;
    }
    // The collector writes in WAL mode; a reader waits briefly rather than fail at once.
    sqlite3_busy_timeout(db, 2000);
    sqlite3_stmt* check = nullptr;
    rc = sqlite3_prepare_v2(db, kShapeCheck, -1, &check, nullptr);
    Statement checked(check);
    if (rc != SQLITE_OK) {
        fail(error, unreadableBecause(path, db));
        return nullptr;
    }
    return connection;
}

std::optional<std::string> columnText(sqlite3_stmt* statement, int column) {
    const unsigned char* text = sqlite3_column_text(statement, column);
    if (!text) return std::nullopt;
    std::string value(reinterpret_cast<const char*>(text),
                      static_cast<size_t>(sqlite3_column_bytes(statement, column)));
    if (!NSString::isValidUTF8(value)) return std::nullopt;
    return value;
}

UsageLine lineOf(std::string date, std::string app, const BytarnEntry& record,
                 const std::optional<std::string>& devices) {
    UsageLine line;
    line.date = std::move(date);
    line.app = std::move(app);
    line.wifi = record.usage_wifi();
    line.cellular = record.usage_cellular();
    line.unknown = record.usage_unknown();
    line.usage = record.relevantUsage(devices);
    return line;
}

}  // namespace

std::optional<std::vector<UsageLine>> readUsageHistory(const std::string& databasePath,
                                                       const std::optional<std::string>& first,
                                                       const std::optional<std::string>& last,
                                                       ReportGrouping grouping,
                                                       const std::optional<std::string>& devices,
                                                       std::string* error) {
    Connection db = openReadOnly(databasePath, error);
    if (!db) return std::nullopt;
    std::vector<UsageLine> lines;

    if (grouping == ReportGrouping::App) {
        db.reset();
        // The page's own query, so that the report and the page never disagree.
        auto apps = queryUsage(databasePath, first, last);
        if (!apps) {
            fail(error, "reading the usage database " + databasePath + " failed");
            return std::nullopt;
        }
        for (const auto& [identifier, record] : *apps) {
            UsageLine line = lineOf({}, identifier, *record, devices);
            if (line.usage != 0) lines.push_back(std::move(line));
        }
        return lines;
    }

    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db.get(), kDailyQuery, -1, &raw, nullptr) != SQLITE_OK) {
        fail(error,
             "cannot read the usage database " + databasePath + ": " + sqlite3_errmsg(db.get()));
        return std::nullopt;
    }
    Statement statement(raw);
    bindDateBound(raw, 1, first);
    bindDateBound(raw, 2, last);
    // By day, a day's applications are added up first; a day is one line.
    std::string day;
    BytarnEntry dayRecord;
    auto closeDay = [&] {
        UsageLine line = lineOf(day, {}, dayRecord, devices);
        if (line.usage != 0) lines.push_back(std::move(line));
        dayRecord = BytarnEntry();
    };
    bool anyDay = false;
    int rc;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
        auto date = columnText(raw, 0);
        auto app = columnText(raw, 1);
        if (!date || !app) continue;
        BytarnEntry record;
        record.setUsage_wifi(countFromColumn(raw, 2));
        record.setUsage_cellular(countFromColumn(raw, 3));
        record.setUsage_unknown(countFromColumn(raw, 4));
        if (grouping == ReportGrouping::AppDay) {
            UsageLine line = lineOf(std::move(*date), std::move(*app), record, devices);
            if (line.usage != 0) lines.push_back(std::move(line));
            continue;
        }
        if (anyDay && *date != day) closeDay();
        anyDay = true;
        day = std::move(*date);
        dayRecord.updateFromDictionary({{"usage_wifi", record.usage_wifi()},
                                        {"usage_cellular", record.usage_cellular()},
                                        {"usage_unknown", record.usage_unknown()}});
    }
    if (rc != SQLITE_DONE) {
        fail(error,
             "reading the usage database " + databasePath + " failed: " + sqlite3_errmsg(db.get()));
        return std::nullopt;
    }
    if (anyDay) closeDay();
    return lines;
}
