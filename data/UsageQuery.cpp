#include "data/UsageQuery.h"

#include <sqlite3.h>

#include <deque>

#include "data/BytarnEntry.h"
#include "host/foundation/NSString.h"
#include "host/foundation/Paths.h"
#include "host/foundation/SystemLog.h"

namespace {

// The date bounds are bound as parameters: the stored custom dates come from a file anyone can
// edit, and must never become part of the SQL text.
const char* const kQuery =
    "SELECT app, SUM(usage_wifi), SUM(usage_cellular), SUM(usage_unknown) FROM usage"
    " WHERE date >= ?1 and date <= ?2 GROUP BY app;";

}  // namespace

const char* usageQuerySQL() {
    return kQuery;
}

void bindDateBound(sqlite3_stmt* statement, int index, const std::optional<std::string>& date) {
    if (date)
        sqlite3_bind_text(statement, index, date->c_str(), static_cast<int>(date->size()),
                          SQLITE_TRANSIENT);
    else
        sqlite3_bind_null(statement, index);
}

std::string usageDatabasePath() {
    return Paths::expandTilde(std::string(BYTARN_DATABASE_DIRECTORY) + BYTARN_COLLECTOR_SERVICE +
                              ".sqlite3");
}

std::uint64_t countFromText(std::string_view text) {
    return static_cast<std::uint64_t>(NSString::longLongValue(text));
}

std::uint64_t countFromColumn(sqlite3_stmt* statement, int column) {
    // An integer sum reads back exactly as its decimal text would, without rendering the text.
    if (sqlite3_column_type(statement, column) == SQLITE_INTEGER)
        return static_cast<std::uint64_t>(sqlite3_column_int64(statement, column));
    const unsigned char* text = sqlite3_column_text(statement, column);
    if (!text) return 0;  // a NULL sum: every counter of the range was NULL
    return countFromText(reinterpret_cast<const char*>(text));
}

std::optional<AppUsage> queryUsage(const std::string& databasePath,
                                   const std::optional<std::string>& first,
                                   const std::optional<std::string>& last) {
    sqlite3* db = nullptr;
    if (sqlite3_open_v2(databasePath.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) != SQLITE_OK) {
        SystemLog::writef("BytarnSettings: Unable to open database: %s",
                          db ? sqlite3_errmsg(db) : "out of memory");
        sqlite3_close(db);
        return std::nullopt;
    }

    AppUsage apps;
    // The records of one query are made together and share one owner: a record keeps them all
    // (a few dozen bytes each) while anything holds it. A deque never moves what it holds.
    auto records = std::make_shared<std::deque<BytarnEntry>>();
    bool failed = false;
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, kQuery, -1, &statement, nullptr) != SQLITE_OK) {
        failed = true;
    } else {
        bindDateBound(statement, 1, first);
        bindDateBound(statement, 2, last);
        int rc;
        while ((rc = sqlite3_step(statement)) == SQLITE_ROW) {
            const unsigned char* app = sqlite3_column_text(statement, 0);
            if (!app) continue;
            std::string identifier(reinterpret_cast<const char*>(app),
                                   static_cast<size_t>(sqlite3_column_bytes(statement, 0)));
            if (!NSString::isValidUTF8(identifier)) continue;
            BytarnEntry& record = records->emplace_back();
            record.setUsage_wifi(countFromColumn(statement, 1));
            record.setUsage_cellular(countFromColumn(statement, 2));
            record.setUsage_unknown(countFromColumn(statement, 3));
            // GROUP BY usually returns the applications in order: the end is the likely place.
            apps.insert_or_assign(apps.end(), std::move(identifier),
                                  std::shared_ptr<BytarnEntry>(records, &record));
        }
        failed = rc != SQLITE_DONE;
    }
    if (failed) SystemLog::writef("BytarnSettings: Unable to SELECT: %s", sqlite3_errmsg(db));
    sqlite3_finalize(statement);
    sqlite3_close(db);
    if (failed) return std::nullopt;
    return apps;
}
