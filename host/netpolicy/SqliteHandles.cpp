#include "host/netpolicy/SqliteHandles.h"

#include <filesystem>
#include <stdexcept>

PreparedStatement prepareStatement(sqlite3* db, const char* sql) {
    sqlite3_stmt* statement = nullptr;
    if (sqlite3_prepare_v2(db, sql, -1, &statement, nullptr) != SQLITE_OK) {
        sqlite3_finalize(statement);
        throw std::runtime_error(sqlite3_errmsg(db));
    }
    return {statement, &sqlite3_finalize};
}

SqliteDatabase openExistingDatabase(const std::string& path, int flags, int busyMilliseconds) {
    std::error_code ec;
    if (!std::filesystem::exists(path, ec)) return {nullptr, &sqlite3_close_v2};
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &raw, flags, nullptr);
    SqliteDatabase db(raw, &sqlite3_close_v2);
    if (rc != SQLITE_OK)
        throw std::runtime_error("cannot open " + path + ": " +
                                 (raw ? sqlite3_errmsg(raw) : "out of memory"));
    sqlite3_busy_timeout(raw, busyMilliseconds);
    return db;
}

std::string columnText(sqlite3_stmt* statement, int column) {
    const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(statement, column));
    return std::string(text ? text : "",
                       static_cast<size_t>(sqlite3_column_bytes(statement, column)));
}
